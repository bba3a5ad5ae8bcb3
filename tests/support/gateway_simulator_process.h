#pragma once
// The gateway simulator (tools/gateway_simulator) as a child process for end-to-end
// tests. Its script comes through a socket on its standard input, one step per call, so
// the test decides when the next step goes and looks at the database and the event log
// between the steps; its output goes to a file. Every wait is bounded.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/service_process.h"

namespace dorvek::test_support {

// Where the tool listens: by default on a free loopback port of this process's network;
// or, in a network namespace the test created (`ip netns`), on an address of it.
struct SimulatorNetwork {
  std::string netns;
  std::string listen = "127.0.0.1:0";
};

class GatewaySimulator {
 public:
  // Starts the tool listening as `network` says; its port file and its output go into
  // dir; `timeout` bounds every wait of its script. Throws std::runtime_error when it
  // cannot be started.
  explicit GatewaySimulator(const std::filesystem::path& dir,
                            std::chrono::seconds timeout = std::chrono::seconds(40),
                            const SimulatorNetwork& network = {});
  // Kills it if it still runs; on a failed test prints its output.
  ~GatewaySimulator();

  GatewaySimulator(const GatewaySimulator&) = delete;
  GatewaySimulator& operator=(const GatewaySimulator&) = delete;

  // False when the tool has not been built.
  static bool Available();

  // The port it listens on, once it has written the port file.
  int Port() const;

  // One script line; the simulator runs it when the steps before it are done.
  void Step(const std::string& line);

  // True once every step given so far has run: an echo after them has been printed.
  bool StepsDone(std::chrono::milliseconds deadline = kDefaultWait);

  // Ends the script and gives the exit status; nothing when it did not end in time.
  std::optional<int> Finish(std::chrono::milliseconds deadline = kDefaultWait);

  // Everything it has printed so far.
  std::string Output() const;

 private:
  std::filesystem::path port_file_;
  std::filesystem::path output_file_;
  int script_fd_ = -1;
  pid_t pid_ = -1;
  int syncs_ = 0;
};

}  // namespace dorvek::test_support
