#pragma once
// Running another program to its end: systemctl and useradd at installation. Behind an
// interface so the installation's tests can record the commands, and make them fail,
// without changing the machine.

#include <string>
#include <vector>

namespace dorvek::service {

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs argv[0] (searched in PATH unless it holds a "/") with the rest as its
  // arguments, waits for it, and returns its exit status; a program ended by a signal
  // gives 128 + the signal. Throws std::runtime_error when it cannot be started.
  virtual int Run(const std::vector<std::string>& argv) = 0;
};

// Forks and executes the program; its output goes where this process's goes.
class ProcessCommandRunner final : public CommandRunner {
 public:
  int Run(const std::vector<std::string>& argv) override;
};

// The command as a shell would take it: each word that needs it in single quotes.
std::string CommandText(const std::vector<std::string>& argv);

}  // namespace dorvek::service
