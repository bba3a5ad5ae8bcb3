#pragma once
// The service binary as a child of the fleet simulator: started in its base directory
// with its event log in a JSON lines file and its LAN notices to a loopback port,
// signalled, waited for (every wait bounded), and looked at through /proc: resident
// memory, open descriptors and CPU time.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dorvek::fleet {

struct ServiceLaunch {
  std::filesystem::path binary;
  std::filesystem::path base_dir;
  std::filesystem::path event_log;
  std::filesystem::path output;  // stdout and stderr, appended
  std::uint16_t notice_port = 0;
  std::vector<std::string> env;  // NAME=value added to this process's environment
};

struct ProcessFigures {
  long long rss_kib = 0;
  long long fds = 0;
  double cpu_s = 0;  // user and system time so far
};

class ServiceProcess {
 public:
  explicit ServiceProcess(ServiceLaunch launch) : launch_(std::move(launch)) {}
  ~ServiceProcess();

  // Throws std::runtime_error when the binary cannot be started.
  void Start();
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int signal);
  // The exit status or 128 + the signal; after the deadline the child is killed and
  // nothing is returned.
  std::optional<int> WaitForExit(std::chrono::milliseconds deadline);
  // Nothing once it has ended.
  std::optional<ProcessFigures> Figures() const;

 private:
  ServiceLaunch launch_;
  pid_t pid_ = -1;
};

}  // namespace dorvek::fleet
