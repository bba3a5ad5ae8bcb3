#include "service/service_host.h"

#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include <asio.hpp>
#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include "core/clock.h"
#include "core/control_names.h"
#include "core/host_event_log.h"
#include "core/json_file_event_log.h"
#include "core/metrics.h"
#include "db/computer_name.h"
#include "db/metered_database.h"
#include "db/soci_database.h"
#include "db/udp_sender.h"
#include "gateway/asio_gateway_link.h"
#include "service/build_info.h"
#include "service/config_check.h"
#include "service/config_file.h"
#include "service/dorvek_service.h"
#include "service/missing_settings.h"
#include "service/service_user.h"
#include "service/system_state.h"
#include "service/unit_file.h"
#include "service/unit_grants.h"

namespace dorvek::service {
namespace {

using namespace std::chrono_literals;

void SetControlSignals(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  pthread_sigmask(how, &set, nullptr);
}

// A LAN notice to a host name looks the name up when it is sent, the start's notice
// too: as long as the resolver may take (glibc: 5 s, twice, for each of up to three
// name servers), and then some.
constexpr std::chrono::seconds kLanLookupStartAllowance{40};

bool NamesAHost(const std::string& lan_target) {
  if (lan_target.empty()) return false;
  asio::error_code error;
  asio::ip::make_address(db::ParseLanTarget(lan_target).host, error);
  return static_cast<bool>(error);
}

// The directory of the configuration and the data: --base-dir, else the executable's.
std::filesystem::path BaseDir(const HostOptions& o) {
  if (!o.command_line.base_dir.empty()) return std::filesystem::absolute(o.command_line.base_dir);
  return o.executable.parent_path();
}

// Forwards the socket's events to the service, which is built after the socket.
class EventsRelay : public gateway::GatewayEvents {
 public:
  void Attach(gateway::GatewayEvents* target) { target_ = target; }
  void OnConnected(std::error_code e) override {
    if (target_) target_->OnConnected(e);
  }
  void OnClosed(std::error_code e) override {
    if (target_) target_->OnClosed(e);
  }
  void OnData(std::string_view bytes) override {
    if (target_) target_->OnData(bytes);
  }

 private:
  gateway::GatewayEvents* target_ = nullptr;
};

class Host {
 public:
  explicit Host(const HostOptions& options)
      : options_(options),
        base_dir_(BaseDir(options)),
        log_(core::MakeHostEventLog(clock_, options.command_line.event_log)),
        db_(db::ConnectionSettings{}, *log_),
        metered_db_(db_, metrics_),
        lan_(LanTarget(options.command_line.lan_target)),
        link_(io_, relay_),
        service_(ServiceParts{*log_, clock_, metered_db_, *lan_, link_, base_dir_, db::ComputerName(),
                              options.executable.filename().string(),
                              [this](const Settings& s) { db_.Configure(DatabaseSettings(s, base_dir_)); },
                              &metrics_, QueueStore::Options{}}),
        timer_(io_),
        watchdog_(io_),
        status_timer_(io_),
        signals_(io_) {
    relay_.Attach(&service_);
  }

  int Run() {
    // Signals are taken from here on, so one that comes during start waits for the loop.
    signals_.add(SIGTERM);
    signals_.add(SIGINT);
    signals_.add(SIGUSR1);
    signals_.add(SIGUSR2);
    SetControlSignals(SIG_UNBLOCK);
    try {
      // A configuration the service cannot read fails the start, rather than running
      // a service that does nothing until someone looks.
      const auto config = base_dir_ / kConfigFileName;
      std::error_code ec;
      if (std::filesystem::exists(config, ec) || ec) LoadConfigLines(config);
      if (NamesAHost(options_.command_line.lan_target))
        sd_notifyf(0, "EXTEND_TIMEOUT_USEC=%lld",
                   static_cast<long long>(std::chrono::microseconds(kLanLookupStartAllowance).count()));
      service_.ServiceStart();
    } catch (const std::exception& e) {
      FailedStart(std::string("Service failed on start: ") + e.what());
      // A queue file another process holds locked may be free at the next start, which
      // the unit makes a few seconds later; anything else needs the administrator, and
      // its own status keeps the unit from restarting it.
      const auto* store = dynamic_cast<const QueueStore::StartError*>(&e);
      if (store != nullptr && store->kind() == QueueStore::StartError::Kind::kLater) return 1;
      return kExitStartFailed;
    }
    ReportMissingSettings();
    service_.JvTimerList1().SetChangeListener([this] { ArmTimer(); });
    ArmTimer();
    WaitSignal();
    StartWatchdog();
    ReportStatus();
    sd_notify(0, "READY=1");
    // Every handler catches its own failures; should one slip through all the same, it
    // is the host's error entry and the loop goes on.
    for (;;) {
      try {
        io_.run();
        break;
      } catch (const std::exception& e) {
        HostFailure(e.what());
      } catch (...) {
        HostFailure("unknown failure");
      }
    }
    return 0;
  }

  // Registers the service: the service user (created when missing), the unit, the data
  // files, and the data handed to the user. With the unit directory redirected, it only
  // says what it would do to the machine.
  int Install() {
    const bool redirected = UnitDirectoryRedirected();
    std::vector<std::string> notes;
    std::vector<std::string> warnings;
    try {
      CheckBaseDirectory(base_dir_);
      const InstallInputs inputs = ReadInstallInputs();
      std::optional<Account> user;
      if (redirected) {
        if (!users_.Find(kServiceUserName))
          notes.push_back("Would run: " + CommandText(CreateUserCommand(kServiceUserName)));
        notes.push_back(fmt::format("Would give {} and {} to the user {}, and {} to its group",
                                    (base_dir_ / "VmrZOLData").string(),
                                    (base_dir_ / kConfigFileName).string(), kServiceUserName,
                                    base_dir_.string()));
      } else {
        user = EnsureServiceUser(kServiceUserName, users_, runner_);
      }
      const UnitGrants grants = GrantsFor(inputs);
      InstallUnit(UnitOptions{options_.executable, base_dir_, ExtraArguments(), kServiceUserName,
                              grants.write_paths, grants.addresses},
                  runner_, *log_);
      service_.ServiceAfterInstall();
      if (user) {
        for (auto& w : GiveBaseDirectory(base_dir_, *user)) warnings.push_back(std::move(w));
        for (auto& w : SqliteAccessWarnings(inputs, *user)) warnings.push_back(std::move(w));
      }
    } catch (const std::exception& e) {
      log_->Error(e.what());
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    for (const auto& w : warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    if (!options_.command_line.silent) {
      std::printf("Service %s installed: %s\nIt runs as the user %s.\n", kServiceName,
                  (UnitDirectory() / kUnitFileName).c_str(), kServiceUserName);
      for (const auto& note : notes) std::printf("%s\n", note.c_str());
    }
    return 0;
  }

  int Uninstall() {
    try {
      service_.ServiceBeforeUninstall();
      UninstallUnit(runner_, *log_);
    } catch (const std::exception& e) {
      log_->Error(e.what());
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    if (!options_.command_line.silent)
      std::printf(
          "Service %s uninstalled.\nThe user %s and the data in %s (%s, VmrZOLData) stay in place; "
          "remove them by hand if they are no longer wanted.\n",
          kServiceName, kServiceUserName, base_dir_.c_str(), std::string(kConfigFileName).c_str());
    return 0;
  }

 private:
  static std::unique_ptr<db::UdpSender> LanTarget(const std::string& target) {
    if (target.empty()) return std::make_unique<db::AsioUdpSender>();
    return std::make_unique<db::AsioUdpSender>(db::ParseLanTarget(target));
  }

  // What the unit must allow, from the configuration as start would read it (when there
  // is one yet) and the machine's name servers.
  InstallInputs ReadInstallInputs() const {
    InstallInputs inputs;
    inputs.base_dir = base_dir_;
    inputs.lan_target = options_.command_line.lan_target;
    const auto config = base_dir_ / kConfigFileName;
    std::error_code ec;
    if (std::filesystem::exists(config, ec)) inputs.settings = ReadSettings(LoadConfigLines(config));
    std::ifstream resolv("/etc/resolv.conf", std::ios::binary);
    std::ostringstream text;
    text << resolv.rdbuf();
    inputs.resolv_conf = text.str();
    return inputs;
  }

  // The options a unit must repeat so the service runs as it was installed.
  std::string ExtraArguments() const {
    std::string args;
    const auto& cl = options_.command_line;
    if (!cl.base_dir.empty()) args += " --base-dir " + QuoteArgument(base_dir_.string());
    if (!cl.lan_target.empty()) args += " --lan-target " + QuoteArgument(cl.lan_target);
    return args.empty() ? args : args.substr(1);
  }

  // The host's entry about a failed start. Under systemd it goes through the unit's
  // stderr stream (priority prefix "<3>"): journald learns the unit of a native entry
  // from the sender's /proc entry, and a process that ends right after its first entry
  // is often gone by then, so the one entry that says why would be missing from
  // journalctl -u and systemctl status.
  void FailedStart(const std::string& text) {
    const core::LogEntry entry{std::string(core::kServiceSource), core::EntryType::kError, 0, 0, text};
    if (!core::StderrIsJournal()) {
      log_->Write(entry);
      return;
    }
    std::fprintf(stderr, "<3>%s\n", core::ShowControlChars(text, core::ControlForm::kOneLine).c_str());
    std::fflush(stderr);
    if (options_.command_line.event_log.empty()) return;
    try {
      core::JsonFileEventLog(options_.command_line.event_log, clock_).Write(entry);
    } catch (const std::exception&) {
      // The journal has it.
    }
  }

  // What the configuration lacks for the service to do anything: an error entry now,
  // and the head of the status line for as long as the service runs.
  void ReportMissingSettings() {
    const auto missing = MissingSettings(service_.settings());
    if (missing.empty()) return;
    std::string what, elements;
    for (const auto& m : missing) {
      what += (what.empty() ? "" : ", ") + m.what;
      elements += fmt::format("{}{} ({})", elements.empty() ? "" : ", ", m.what, fmt::join(m.elements, ", "));
    }
    not_configured_ = "not configured: " + what;
    log_->Error(fmt::format("Taxis Dorvek ZOL cliënt niet geconfigureerd in {}: {}",
                            (base_dir_ / kConfigFileName).string(), elements));
  }

  void HostFailure(const std::string& text) {
    log_->Write(core::LogEntry{options_.executable.filename().string(), core::EntryType::kError, 0, 0, text});
  }

  void ArmTimer() {
    const auto due = service_.JvTimerList1().NextDue();
    if (!due) {
      timer_.cancel();
      armed_.reset();
      return;
    }
    if (armed_ && *armed_ == *due) return;
    armed_ = *due;
    timer_.expires_at(*due);
    timer_.async_wait([this](std::error_code ec) {
      if (ec) return;
      armed_.reset();
      service_.JvTimerList1().RunDue();
      ArmTimer();
    });
  }

  void WaitSignal() {
    signals_.async_wait([this](std::error_code ec, int signal) {
      if (ec) return;
      OnSignal(signal);
      if (!stopped_) WaitSignal();
    });
  }

  void OnSignal(int signal) {
    try {
      switch (signal) {
        case SIGUSR1:
          if (paused_) return;
          sd_notify(0, "STATUS=Pausing");
          service_.ServicePause();
          service_.JvTimerList1().SetSuspended(true);
          paused_ = true;
          ReportStatus();
          break;
        case SIGUSR2:
          if (!paused_) return;
          service_.ServiceContinue();
          paused_ = false;
          service_.JvTimerList1().SetSuspended(false);
          ReportStatus();
          break;
        default:
          Stop();
          break;
      }
    } catch (const std::exception& e) {
      log_->Error(e.what());
    }
  }

  void Stop() {
    sd_notify(0, "STOPPING=1");
    stopped_ = true;
    if (SystemIsStopping()) {
      service_.ServiceShutdown();
    } else {
      service_.ServiceStop();
    }
    signals_.cancel();
    timer_.cancel();
    watchdog_.cancel();
    status_timer_.cancel();
    io_.stop();
  }

  void StartWatchdog() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
    watchdog_interval_ = std::chrono::microseconds(usec / 2);
    KickWatchdog();
  }

  void KickWatchdog() {
    sd_notify(0, "WATCHDOG=1");
    watchdog_.expires_after(watchdog_interval_);
    watchdog_.async_wait([this](std::error_code ec) {
      if (!ec) KickWatchdog();
    });
  }

  // The STATUS= line: gateway, database and both queues, refreshed every 2 s when it changed.
  void ReportStatus() {
    auto size = [](std::optional<std::size_t> n) { return n ? std::to_string(*n) : std::string("-"); };
    const char* gateway = "gateway not connected";
    switch (link_.state()) {
      case gateway::SocketState::kConnected: gateway = "gateway connected"; break;
      case gateway::SocketState::kConnecting:
      case gateway::SocketState::kOther: gateway = "gateway connecting"; break;
      case gateway::SocketState::kClosed: break;
    }
    // The backlog: how long the waiting packets take at the current pace.
    std::string backlog;
    if (service_.inbound_size().value_or(0) > 0)
      backlog = fmt::format(" (backlog {:.0f} s)", service_.backlog().DrainSecondsNow());
    const std::string status =
        fmt::format("{}{}{}, database {}, inbound queue {}{}, outbound queue {}",
                    not_configured_.empty() ? "" : not_configured_ + "; ", paused_ ? "paused, " : "",
                    gateway, db_.IsOpen() ? "connected" : "not connected", size(service_.inbound_size()),
                    backlog, size(service_.outbound_size()));
    if (status != last_status_) {
      sd_notify(0, ("STATUS=" + status).c_str());
      last_status_ = status;
    }
    status_timer_.expires_after(2s);
    status_timer_.async_wait([this](std::error_code ec) {
      if (!ec) ReportStatus();
    });
  }

  const HostOptions& options_;
  std::filesystem::path base_dir_;
  ProcessCommandRunner runner_;
  SystemUserDatabase users_;
  asio::io_context io_;
  core::SystemClock clock_;
  std::unique_ptr<core::EventLog> log_;
  core::Metrics metrics_;
  db::SociDatabase db_;
  db::MeteredDatabase metered_db_;
  std::unique_ptr<db::UdpSender> lan_;
  EventsRelay relay_;
  gateway::AsioGatewayLink link_;
  DorvekService service_;
  asio::steady_timer timer_;
  std::optional<std::chrono::steady_clock::time_point> armed_;
  asio::steady_timer watchdog_;
  std::chrono::microseconds watchdog_interval_{0};
  asio::steady_timer status_timer_;
  asio::signal_set signals_;
  std::string last_status_;
  std::string not_configured_;  // "not configured: …" when the settings lack something
  bool paused_ = false;
  bool stopped_ = false;
};

}  // namespace

void BlockControlSignals() { SetControlSignals(SIG_BLOCK); }

int RunHost(const HostOptions& options) {
  // Only the service takes the signals itself; the other modes (and the programs
  // INSTALL runs, which inherit the mask) get them back as they were.
  if (options.command_line.mode != RunMode::kService) SetControlSignals(SIG_UNBLOCK);
  switch (options.command_line.mode) {
    case RunMode::kHelp:
      std::cout << UsageText(options.executable.filename().string());
      return 0;
    case RunMode::kVersion:
      std::cout << VersionText() << "\n";
      return 0;
    case RunMode::kCheck: {
      // Touches neither the journal nor the service: a report on standard output.
      bool abandoned = false;
      const int code = RunConfigCheck({BaseDir(options)}, std::cout, &abandoned);
      std::cout.flush();
      // A check that never answered still holds a thread: end without waiting for it.
      if (abandoned) std::_Exit(code);
      return code;
    }
    default:
      break;
  }
  try {
    Host host(options);
    if (options.command_line.mode == RunMode::kInstall) return host.Install();
    if (options.command_line.mode == RunMode::kUninstall) return host.Uninstall();
    return host.Run();
  } catch (const std::exception& e) {
    // A service that cannot even be set up (an event-log file it cannot open) is a failed
    // start too: the unit must not restart it every few seconds for ever.
    std::fprintf(stderr, "dorvekzol: %s\n", e.what());
    return options.command_line.mode == RunMode::kService ? kExitStartFailed : 1;
  }
}

}  // namespace dorvek::service
