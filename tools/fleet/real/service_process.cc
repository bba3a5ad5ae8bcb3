#include "fleet/real/service_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/service_process.h"

namespace dorvek::fleet {

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void ServiceProcess::Start() {
  const std::vector<std::string> args = {"--base-dir",  launch_.base_dir.string(), "--event-log",
                                         launch_.event_log.string(), "--lan-target",
                                         "127.0.0.1:" + std::to_string(launch_.notice_port)};
  // Appended, so what every instance of a run wrote stays.
  pid_ = test_support::SpawnChild(launch_.binary, args, test_support::ChildEnvironment(launch_.env), launch_.output,
                                  launch_.output, test_support::OutputFiles::kAppend);
}

void ServiceProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::optional<int> ServiceProcess::WaitForExit(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) return std::nullopt;
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return std::nullopt;
}

std::optional<ProcessFigures> ServiceProcess::Figures() const {
  if (pid_ <= 0) return std::nullopt;
  const std::string dir = "/proc/" + std::to_string(pid_);
  ProcessFigures f;
  std::ifstream status(dir + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmRSS:")) f.rss_kib = std::atoll(line.c_str() + 6);
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(dir + "/fd", error); !error && it != std::filesystem::directory_iterator();
       it.increment(error))
    ++f.fds;
  // Fields 14 and 15 of stat, after the command in parentheses.
  std::ifstream stat_file(dir + "/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; rest >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) {
      stime = std::atoll(field.c_str());
      break;
    }
  }
  f.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  return f;
}

}  // namespace dorvek::fleet
