#include "service/command_runner.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dorvek::service {

int ProcessCommandRunner::Run(const std::vector<std::string>& argv) {
  if (argv.empty()) throw std::invalid_argument("no command to run");
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  // A pipe that closes on exec tells a program that could not be started from one that
  // ran and failed.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0)
    throw std::runtime_error(argv[0] + ": " + std::strerror(errno));
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw std::runtime_error(argv[0] + ": " + std::strerror(error));
  }
  if (pid == 0) {
    ::close(report[0]);
    ::execvp(args[0], args.data());
    const int error = errno;
    [[maybe_unused]] const ssize_t n = ::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(report[1]);
  int exec_error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof exec_error))
    throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(exec_error));
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string CommandText(const std::vector<std::string>& argv) {
  std::string text;
  for (const auto& word : argv) {
    if (!text.empty()) text += ' ';
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789-_./=:,+@%") == std::string::npos;
    if (plain) {
      text += word;
      continue;
    }
    text += '\'';
    for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += '\'';
  }
  return text;
}

}  // namespace dorvek::service
