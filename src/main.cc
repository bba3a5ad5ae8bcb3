// dorvekzol: couples the taxi dispatch database with the vehicle terminals.

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "service/command_line.h"
#include "service/service_host.h"

int main(int argc, char** argv) {
  using namespace dorvek::service;
  BlockControlSignals();
  HostOptions options;
  std::error_code ec;
  options.executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) options.executable = std::filesystem::absolute(argv[0]);
  try {
    options.command_line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dorvekzol: %s\nTry 'dorvekzol --help'.\n", e.what());
    return 2;
  }
  return RunHost(options);
}
