#include "fleet/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

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
  std::vector<std::string> args = {launch_.binary.string(),
                                   "--base-dir",
                                   launch_.base_dir.string(),
                                   "--event-log",
                                   launch_.event_log.string(),
                                   "--lan-target",
                                   "127.0.0.1:" + std::to_string(launch_.notice_port)};
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string assignment = *e;
    const std::string name = assignment.substr(0, assignment.find('='));
    // Not tied to a service manager: the child is no unit of ours.
    if (name == "NOTIFY_SOCKET" || name == "WATCHDOG_USEC" || name == "WATCHDOG_PID" || name == "JOURNAL_STREAM" ||
        name == "LISTEN_FDS" || name == "LISTEN_PID")
      continue;
    env.push_back(assignment);
  }
  env.insert(env.end(), launch_.env.begin(), launch_.env.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, launch_.output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE, SIGHUP}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int error = posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + launch_.binary.string() + ": " + std::strerror(error));
  }
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
