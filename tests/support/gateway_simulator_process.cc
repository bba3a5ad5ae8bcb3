#include "support/gateway_simulator_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace dorvek::test_support {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTool = DORVEK_TOOLS_DIR "/gateway_simulator";

}  // namespace

GatewaySimulator::GatewaySimulator(const fs::path& dir, std::chrono::seconds timeout,
                                   const SimulatorNetwork& network)
    : port_file_(dir / "gateway.port"), output_file_(dir / "gateway.txt") {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  script_fd_ = ends[0];

  std::vector<std::string> args = {kTool,       "--listen",  network.listen,
                                   "--script",  "-",         "--timeout",
                                   std::to_string(timeout.count()), "--port-file", port_file_.string()};
  if (!network.netns.empty()) {
    args.insert(args.begin(), {"ip", "netns", "exec", network.netns});
    args.push_back("--private-network");
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = ChildEnvironment({});
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_file_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int error = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (error != 0) {
    ::close(script_fd_);
    throw std::runtime_error(std::string("cannot start the gateway simulator: ") + std::strerror(error));
  }
}

GatewaySimulator::~GatewaySimulator() {
  if (script_fd_ >= 0) ::close(script_fd_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (::testing::Test::HasFailure())
    std::fprintf(stderr, "--- gateway simulator ---\n%s--- end of gateway simulator ---\n", Output().c_str());
}

bool GatewaySimulator::Available() { return fs::exists(kTool); }

int GatewaySimulator::Port() const {
  if (!PollUntil([&] { return fs::exists(port_file_); }, kDefaultWait))
    throw std::runtime_error("the gateway simulator wrote no port file\n" + Output());
  return std::stoi(ReadFileBytes(port_file_));
}

void GatewaySimulator::Step(const std::string& line) {
  const std::string bytes = line + "\n";
  ASSERT_EQ(::send(script_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()))
      << "the gateway simulator no longer reads its script: " << std::strerror(errno);
}

bool GatewaySimulator::StepsDone(std::chrono::milliseconds deadline) {
  const std::string mark = "sync " + std::to_string(++syncs_);
  Step("echo " + mark);
  return PollUntil([&] { return Output().find(mark + "\n") != std::string::npos; }, deadline);
}

std::optional<int> GatewaySimulator::Finish(std::chrono::milliseconds deadline) {
  ::close(script_fd_);
  script_fd_ = -1;
  std::optional<int> code;
  PollUntil(
      [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return true;
      },
      deadline);
  return code;
}

std::string GatewaySimulator::Output() const { return ReadFileBytes(output_file_); }

}  // namespace dorvek::test_support
