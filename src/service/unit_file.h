#pragma once
// The systemd unit of the service, and its installation and removal.

#include <filesystem>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "service/command_runner.h"

namespace dorvek::service {

inline constexpr const char* kServiceName = "DorvekZOL";
inline constexpr const char* kDisplayName = "Taxis Dorvek cliënt voor ZOL";
inline constexpr const char* kUnitFileName = "DorvekZOL.service";

// The exit status of a start that failed ("Service failed on start: …"). The unit does
// not restart on it: a start that failed fails again until someone mends its cause.
// 78 is EX_CONFIG, which systemctl shows as "status=78/CONFIG".
inline constexpr int kExitStartFailed = 78;

// The unit's watchdog and stop time-out, in seconds. The event loop pings the watchdog
// every half WatchdogSec, and the longest wait one of its callbacks can make is about
// 30 s (a database statement time-out after a login time-out): a ping is at most
// 45 + 30 = 75 s after the last. A stop may begin just after such a wait and itself
// reconnect to post its notification (up to 30 s more) after asking systemd's state
// (1 s): 61 s.
inline constexpr int kWatchdogSec = 90;
inline constexpr int kTimeoutStopSec = 90;

// The journal's rate limit for the unit: at most this many entries per interval, per
// priority (journald keeps warnings and errors apart from information, and raises the
// burst with the free disk space). Above the fastest drain of a backlog measured, about
// 21,000 packets a second with a few entries each, so a catch-up loses no entry.
inline constexpr int kLogRateLimitIntervalSec = 1;
inline constexpr int kLogRateLimitBurst = 100000;

struct UnitOptions {
  std::filesystem::path executable;  // absolute
  std::filesystem::path base_dir;    // absolute; the directory the service writes
  std::string extra_arguments;       // appended to ExecStart as they stand
  std::string user;                  // User=; empty runs the service as root
  // Further directories to write (a SQLite database's), each allowed to be missing.
  std::vector<std::filesystem::path> write_paths;
  // IP addresses to reach beyond the local networks (unit_grants.h).
  std::vector<std::string> allowed_addresses;
};

// One argument of ExecStart, quoted as systemd reads it.
std::string QuoteArgument(const std::string& argument);

// The unit's text: Type=notify, ordered after the system bus (a stop asks systemd over
// it whether the machine is shutting down), the wait hint as start time-out, a stop
// time-out and a watchdog above the longest wait of the event loop, a journal rate
// limit above the fastest drain, restart on failure except after a
// failed start, automatic start, the user to run as, and hardening that leaves the
// service its base directory (and the write paths) to write, the local networks (and
// the allowed addresses) to reach over IPv4, IPv6 and the journal socket, and no
// privilege.
std::string BuildUnitFile(const UnitOptions& options);

// /etc/systemd/system, or the directory DORVEKZOL_UNIT_DIR names.
std::filesystem::path UnitDirectory();
// True when DORVEKZOL_UNIT_DIR names the unit directory. INSTALL and UNINSTALL then
// change nothing of the machine's own: no systemctl, no user, no ownership.
bool UnitDirectoryRedirected();
// True when the unit directory is the system's own and systemd runs this machine: only
// then is systemctl asked to reload and enable.
bool ShouldCallSystemctl();

// Writes the unit (mode 0644) and, where ShouldCallSystemctl, reloads and enables it
// through the runner. Throws std::runtime_error when the unit cannot be written.
void InstallUnit(const UnitOptions& options, CommandRunner& runner, core::EventLog& log);
// Disables and removes the unit; a missing unit is not a failure.
void UninstallUnit(CommandRunner& runner, core::EventLog& log);

}  // namespace dorvek::service
