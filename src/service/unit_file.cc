#include "service/unit_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include "service/unit_grants.h"

namespace dorvek::service {

// systemd quotes with double quotes and backslash escapes; "%" starts a specifier.
std::string QuoteArgument(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') {
      out += "%%";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

namespace {

// A path setting such as WorkingDirectory= is taken whole and unquoted, but its "%"
// still starts a specifier.
std::string EscapeSpecifiers(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

bool UnderHomes(const std::filesystem::path& p) {
  const std::string s = p.lexically_normal().string();
  for (const char* prefix : {"/home/", "/root/", "/run/user/"})
    if (s.rfind(prefix, 0) == 0 || s + "/" == prefix) return true;
  return false;
}

// Runs systemctl with the arguments; a failure is logged, and installation goes on.
void Systemctl(const std::vector<std::string>& args, CommandRunner& runner, core::EventLog& log) {
  std::vector<std::string> argv{"systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  try {
    const int status = runner.Run(argv);
    if (status != 0) log.Warning(fmt::format("{} failed with status {}", CommandText(argv), status));
  } catch (const std::exception& e) {
    log.Warning(e.what());
  }
}

}  // namespace

std::string BuildUnitFile(const UnitOptions& o) {
  const std::string base = o.base_dir.string();
  std::string exec = QuoteArgument(o.executable.string());
  if (!o.extra_arguments.empty()) exec += " " + o.extra_arguments;
  // The base directory must exist; a further directory may be missing ("-"), and then
  // only the database in it fails, not the whole start.
  std::string write_paths = QuoteArgument(base);
  for (const auto& path : o.write_paths) write_paths += " " + QuoteArgument("-" + path.string());
  std::string allowed(kLocalNetworks);
  for (const auto& address : o.allowed_addresses) allowed += " " + address;
  const std::string user = o.user.empty() ? std::string() : "User=" + EscapeSpecifiers(o.user) + "\n";
  std::string unit = fmt::format(R"([Unit]
Description={display}
Wants=network-online.target dbus.service
After=network-online.target dbus.service

[Service]
Type=notify
NotifyAccess=main
{user}ExecStart={exec}
WorkingDirectory={base}
TimeoutStartSec=5s
TimeoutStopSec={stop_sec}s
WatchdogSec={watchdog_sec}s
Restart=on-failure
RestartSec=5s
RestartPreventExitStatus={start_failed}
UMask=0077
# Every entry stems from a packet, a timer or a control, so the service's own pace
# bounds them; journald's default (10,000 in 30 s) would drop entries of a backlog
# drained at thousands of packets a second.
LogRateLimitIntervalSec={log_interval_sec}s
LogRateLimitBurst={log_burst}

# Hardening: the service writes only its base directory (and a SQLite database's),
# talks TCP and UDP over IPv4 or IPv6 to the local networks (and the addresses its
# configuration names) and to the journal socket, and needs no privilege.
NoNewPrivileges=yes
CapabilityBoundingSet=
AmbientCapabilities=
ProtectSystem=strict
ReadWritePaths={write_paths}
# ProtectProc= and ProcSubset= bring their own API file systems, and with them a /run
# (and /dev/shm, /dev/mqueue) that strict leaves writable. Sockets there (the journal,
# the notifications to systemd, the system bus) work on a read-only mount.
ReadOnlyPaths=/run -/dev/shm -/dev/mqueue
IPAddressDeny=any
IPAddressAllow={allowed}
PrivateTmp=yes
PrivateDevices=yes
DevicePolicy=closed
PrivateMounts=yes
PrivateUsers=yes
ProtectClock=yes
ProtectHostname=yes
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectProc=invisible
ProcSubset=pid
RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
RemoveIPC=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
KeyringMode=private
SystemCallArchitectures=native
SystemCallFilter=@system-service
SystemCallFilter=~@privileged @resources
SystemCallErrorNumber=EPERM
)",
                                 fmt::arg("display", kDisplayName), fmt::arg("exec", exec),
                                 fmt::arg("stop_sec", kTimeoutStopSec), fmt::arg("watchdog_sec", kWatchdogSec),
                                 fmt::arg("start_failed", kExitStartFailed),
                                 fmt::arg("log_interval_sec", kLogRateLimitIntervalSec),
                                 fmt::arg("log_burst", kLogRateLimitBurst),
                                 fmt::arg("write_paths", write_paths), fmt::arg("allowed", allowed),
                                 fmt::arg("user", user), fmt::arg("base", EscapeSpecifiers(base)));
  // A directory to write inside the home directories cannot be hidden from the service.
  bool under_homes = UnderHomes(o.base_dir);
  for (const auto& path : o.write_paths) under_homes = under_homes || UnderHomes(path);
  if (!under_homes) unit += "ProtectHome=yes\n";
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  return unit;
}

std::filesystem::path UnitDirectory() {
  const char* dir = std::getenv("DORVEKZOL_UNIT_DIR");
  if (dir && *dir) return dir;
  return "/etc/systemd/system";
}

bool UnitDirectoryRedirected() {
  const char* dir = std::getenv("DORVEKZOL_UNIT_DIR");
  return dir && *dir;
}

bool ShouldCallSystemctl() { return !UnitDirectoryRedirected() && sd_booted() > 0; }

void InstallUnit(const UnitOptions& options, CommandRunner& runner, core::EventLog& log) {
  const auto path = UnitDirectory() / kUnitFileName;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
    out << BuildUnitFile(options);
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  std::error_code ec;
  std::filesystem::permissions(path, std::filesystem::perms(0644), ec);
  if (ShouldCallSystemctl()) {
    Systemctl({"daemon-reload"}, runner, log);
    Systemctl({"enable", kUnitFileName}, runner, log);
  }
}

void UninstallUnit(CommandRunner& runner, core::EventLog& log) {
  const auto path = UnitDirectory() / kUnitFileName;
  if (ShouldCallSystemctl()) Systemctl({"disable", kUnitFileName}, runner, log);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec) throw std::runtime_error("cannot remove " + path.string() + ": " + ec.message());
  if (ShouldCallSystemctl()) Systemctl({"daemon-reload"}, runner, log);
}

}  // namespace dorvek::service
