#include "service/command_line.h"

#include <stdexcept>

#include "core/ascii.h"

namespace dorvek::service {
namespace {

// "INSTALL", "/install", "-Install" all name the switch INSTALL.
std::string SwitchName(const std::string& arg) {
  std::string s = arg;
  if (!s.empty() && (s[0] == '/' || s[0] == '-') && s.rfind("--", 0) != 0) s.erase(0, 1);
  return core::ToUpper(s);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  bool have_mode = false;
  auto set_mode = [&](RunMode mode, const std::string& arg) {
    if (have_mode && cl.mode != mode)
      throw std::invalid_argument("conflicting switches: " + arg);
    cl.mode = mode;
    have_mode = true;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const std::string& option) -> std::string {
      const std::string prefix = option + "=";
      if (arg.rfind(prefix, 0) == 0) return arg.substr(prefix.size());
      if (i + 1 >= args.size()) throw std::invalid_argument(option + " needs a value");
      return args[++i];
    };
    auto is = [&](const std::string& option) {
      return arg == option || arg.rfind(option + "=", 0) == 0;
    };
    if (arg == "--help" || arg == "-h") {
      set_mode(RunMode::kHelp, arg);
    } else if (arg == "--version") {
      set_mode(RunMode::kVersion, arg);
    } else if (arg == "--check") {
      set_mode(RunMode::kCheck, arg);
    } else if (is("--base-dir")) {
      cl.base_dir = value("--base-dir");
    } else if (is("--event-log")) {
      cl.event_log = value("--event-log");
    } else if (is("--lan-target")) {
      cl.lan_target = value("--lan-target");
    } else if (SwitchName(arg) == "INSTALL") {
      set_mode(RunMode::kInstall, arg);
    } else if (SwitchName(arg) == "UNINSTALL") {
      set_mode(RunMode::kUninstall, arg);
    } else if (SwitchName(arg) == "SILENT") {
      cl.silent = true;
    } else {
      throw std::invalid_argument("unknown argument: " + arg);
    }
  }
  return cl;
}

std::string UsageText(const std::string& program) {
  return "Usage: " + program + R"( [options]
       )" + program + R"( INSTALL|UNINSTALL [SILENT] [options]
       )" + program + R"( --check [--base-dir DIR]

Couples the taxi dispatch database with the vehicle terminals through the terminal
gateway. Without a switch it runs as the service DorvekZOL in the foreground, under
systemd (Type=notify) or from a terminal.

Switches (any case, also written /INSTALL or -install):
  INSTALL            create the system user dorvekzol when missing, write and enable
                     the systemd unit DorvekZOL.service, create the data directories
                     and the configuration file and give them to that user
  UNINSTALL          disable and remove the unit; the user, data and configuration stay
  SILENT             print no confirmation

  --check            read the configuration as a start would (creating and writing
                     nothing), print every setting, then try the database, every
                     table and column the service uses, and the gateway's port; one
                     line per check and a verdict; exit status 0 when all passed

Options:
  --base-dir DIR     directory of VmrZOLConfig.xml and VmrZOLData (default: the
                     executable's directory)
  --event-log FILE   also append every event-log entry to FILE, one JSON object a line
  --lan-target H:P   send the LAN notices to H:P instead of 255.255.255.255:54200
  --help, --version

Controls: SIGTERM or SIGINT stop, SIGUSR1 pauses, SIGUSR2 continues.
)";
}

}  // namespace dorvek::service
