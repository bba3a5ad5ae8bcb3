#pragma once
// A CommandRunner that runs nothing: it records every command, answers with the exit
// status it is told, can fail to start, and can act as the command would (a useradd
// that adds the user to a FakeUserDatabase).

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/command_runner.h"
#include "service/service_user.h"

namespace dorvek::test_support {

class FakeCommandRunner : public service::CommandRunner {
 public:
  int Run(const std::vector<std::string>& argv) override {
    commands.push_back(argv);
    if (cannot_start) throw std::runtime_error("cannot run " + argv.at(0) + ": No such file or directory");
    if (effect) effect(argv);
    return exit_status;
  }

  std::vector<std::vector<std::string>> commands;
  int exit_status = 0;
  bool cannot_start = false;
  std::function<void(const std::vector<std::string>&)> effect;
};

class FakeUserDatabase : public service::UserDatabase {
 public:
  std::optional<service::Account> Find(const std::string& name) const override {
    const auto it = users.find(name);
    if (it == users.end()) return std::nullopt;
    return it->second;
  }

  std::map<std::string, service::Account> users;
};

}  // namespace dorvek::test_support
