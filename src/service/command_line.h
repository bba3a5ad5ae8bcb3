#pragma once
// The executable's command line.

#include <optional>
#include <string>
#include <vector>

namespace dorvek::service {

enum class RunMode { kService, kInstall, kUninstall, kCheck, kHelp, kVersion };

struct CommandLine {
  RunMode mode = RunMode::kService;
  bool silent = false;
  std::string base_dir;   // empty: the executable's directory
  std::string event_log;  // empty: no JSON file
  std::string lan_target; // empty: the LAN broadcast
};

// The switches INSTALL, UNINSTALL and SILENT are matched without regard to case, with
// or without a leading "/" or "-". Throws std::invalid_argument with a readable text
// for anything it does not know.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText(const std::string& program);

}  // namespace dorvek::service
