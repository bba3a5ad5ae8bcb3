#pragma once
// The gateway simulator running one script to its end, in the background, for the
// end-to-end tests that need only a gateway that accepts, sends and waits.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/service_process.h"

namespace dorvek::test_support {

struct SimulatorRun {
  std::future<ProgramResult> result;  // when the script has ended
  int port = 0;                       // where it listens
};

// Starts the simulator on a free loopback port with the script and waits for its port.
inline SimulatorRun RunSimulatorScript(const std::filesystem::path& dir, const std::string& script) {
  using namespace std::chrono_literals;
  const std::filesystem::path port_file = dir / "gateway.port";
  const std::filesystem::path script_file = dir / "gateway.script";
  std::ofstream(script_file) << script;
  SimulatorRun run;
  run.result = std::async(std::launch::async, [=] {
    return RunProgram(DORVEK_TOOLS_DIR "/gateway_simulator",
                      {"--listen", "127.0.0.1:0", "--port-file", port_file.string(), "--script",
                       script_file.string(), "--timeout", "40"},
                      {}, dir, 60s);
  });
  for (int i = 0; i < 500 && !std::filesystem::exists(port_file); ++i) std::this_thread::sleep_for(20ms);
  if (!std::filesystem::exists(port_file)) throw std::runtime_error("the gateway simulator wrote no port file");
  run.port = std::stoi(ReadFileBytes(port_file));
  return run;
}

}  // namespace dorvek::test_support
