#pragma once
// The gateway simulator (tools/gateway_simulator) as a child process for end-to-end
// tests. Its script comes through a socket on its standard input, one step per call, so
// the test decides when the next step goes; its output goes to a file. Killed at
// destruction if it still runs; on a failed test the destructor prints its output.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "support/service_process.h"

namespace dorvek::test_support {

class GatewaySimulator {
 public:
  // Listens on a free loopback port; `timeout` bounds every wait of its script.
  explicit GatewaySimulator(const std::filesystem::path& dir, std::chrono::seconds timeout = 40s);
  ~GatewaySimulator();
  GatewaySimulator(const GatewaySimulator&) = delete;
  GatewaySimulator& operator=(const GatewaySimulator&) = delete;

  static bool Available();

  // The port it listens on, once it has written the port file.
  int Port() const;

  // One script line; the simulator runs it when the steps before it are done.
  void Step(const std::string& line);

  // True once every step given so far has run: an echo after them has been printed.
  bool StepsDone(std::chrono::milliseconds deadline = kDefaultWait);

  // Ends the script and gives the exit status; nothing when it did not end in time.
  std::optional<int> Finish(std::chrono::milliseconds deadline = kDefaultWait);

  std::string Output() const;

 private:
  std::filesystem::path port_file_;
  std::filesystem::path output_file_;
  int script_fd_ = -1;
  pid_t pid_ = -1;
  int syncs_ = 0;
};

}  // namespace dorvek::test_support
