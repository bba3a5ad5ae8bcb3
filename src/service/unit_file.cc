#include "service/unit_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

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

// Runs systemctl with the arguments; the exit status is logged when it is not 0.
void Systemctl(const std::vector<std::string>& args, core::EventLog& log) {
  std::vector<char*> argv;
  std::string program = "systemctl";
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    log.Warning(std::string("systemctl: ") + std::strerror(errno));
    return;
  }
  if (pid == 0) {
    execvp("systemctl", argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string joined;
    for (const auto& a : args) joined += " " + a;
    log.Warning(fmt::format("systemctl{} failed with status {}", joined,
                            WIFEXITED(status) ? WEXITSTATUS(status) : -1));
  }
}

}  // namespace

std::string BuildUnitFile(const UnitOptions& o) {
  const std::string base = o.base_dir.string();
  std::string exec = QuoteArgument(o.executable.string());
  if (!o.extra_arguments.empty()) exec += " " + o.extra_arguments;
  std::string unit = fmt::format(R"([Unit]
Description={display}
Wants=network-online.target
After=network-online.target

[Service]
Type=notify
NotifyAccess=main
ExecStart={exec}
WorkingDirectory={base}
TimeoutStartSec=5s
TimeoutStopSec={stop_sec}s
WatchdogSec={watchdog_sec}s
Restart=on-failure
RestartSec=5s
RestartPreventExitStatus={start_failed}
UMask=0077

# Hardening: the service writes only its base directory, talks TCP and UDP over IPv4
# or IPv6 and the journal socket, and needs no privilege.
NoNewPrivileges=yes
CapabilityBoundingSet=
AmbientCapabilities=
ProtectSystem=strict
ReadWritePaths={base_q}
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
                                 fmt::arg("base_q", QuoteArgument(base)),
                                 fmt::arg("base", EscapeSpecifiers(base)));
  // A base directory inside the home directories cannot be hidden from the service.
  if (!UnderHomes(o.base_dir)) unit += "ProtectHome=yes\n";
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  return unit;
}

std::filesystem::path UnitDirectory() {
  const char* dir = std::getenv("DORVEKZOL_UNIT_DIR");
  if (dir && *dir) return dir;
  return "/etc/systemd/system";
}

bool ShouldCallSystemctl() {
  const char* dir = std::getenv("DORVEKZOL_UNIT_DIR");
  return !(dir && *dir) && sd_booted() > 0;
}

void InstallUnit(const UnitOptions& options, core::EventLog& log) {
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
    Systemctl({"daemon-reload"}, log);
    Systemctl({"enable", kUnitFileName}, log);
  }
}

void UninstallUnit(core::EventLog& log) {
  const auto path = UnitDirectory() / kUnitFileName;
  if (ShouldCallSystemctl()) Systemctl({"disable", kUnitFileName}, log);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec) throw std::runtime_error("cannot remove " + path.string() + ": " + ec.message());
  if (ShouldCallSystemctl()) Systemctl({"daemon-reload"}, log);
}

}  // namespace dorvek::service
