#include "service/service_user.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fake_command_runner.h"
#include "support/service_process.h"

namespace dorvek::service {
namespace {

using test_support::FakeCommandRunner;
using test_support::FakeUserDatabase;

// Ids no account on a test machine has; root may give files to them all the same.
constexpr uid_t kServiceUid = 64123;
constexpr gid_t kServiceGid = 64124;
constexpr Account kServiceAccount{kServiceUid, kServiceGid};

bool Contains(const std::vector<std::string>& words, const std::vector<std::string>& run) {
  return std::search(words.begin(), words.end(), run.begin(), run.end()) != words.end();
}

TEST(ServiceUser, AMissingUserIsCreatedAsASystemUserWithoutHomeOrShellThenLookedUpAgain) {
  FakeUserDatabase users;
  FakeCommandRunner runner;
  runner.effect = [&](const std::vector<std::string>&) { users.users[kServiceUserName] = kServiceAccount; };

  const Account account = EnsureServiceUser(kServiceUserName, users, runner);

  EXPECT_EQ(account.uid, kServiceUid);
  EXPECT_EQ(account.gid, kServiceGid);
  ASSERT_EQ(runner.commands.size(), 1u);
  const auto& command = runner.commands[0];
  EXPECT_EQ(command, CreateUserCommand(kServiceUserName));
  EXPECT_EQ(command.front(), "/usr/sbin/useradd");
  EXPECT_EQ(command.back(), "dorvekzol");
  EXPECT_TRUE(Contains(command, {"--system"}));
  EXPECT_TRUE(Contains(command, {"--user-group"}));
  EXPECT_TRUE(Contains(command, {"--no-create-home"}));
  EXPECT_TRUE(Contains(command, {"--home-dir", "/nonexistent"}));
  EXPECT_TRUE(Contains(command, {"--shell", "/usr/sbin/nologin"}));
}

TEST(ServiceUser, AnExistingUserIsTakenAsItIsAndNothingRuns) {
  FakeUserDatabase users;
  users.users[kServiceUserName] = kServiceAccount;
  FakeCommandRunner runner;
  EXPECT_EQ(EnsureServiceUser(kServiceUserName, users, runner).uid, kServiceUid);
  EXPECT_TRUE(runner.commands.empty());
}

struct CreationFailure {
  const char* name;
  int exit_status;
  bool cannot_start;
  bool adds_user;
  const char* message;
};

class ServiceUserCreation : public ::testing::TestWithParam<CreationFailure> {};

TEST_P(ServiceUserCreation, FailsInstallationWithTheCommandsOwnWords) {
  const auto& c = GetParam();
  FakeUserDatabase users;
  FakeCommandRunner runner;
  runner.exit_status = c.exit_status;
  runner.cannot_start = c.cannot_start;
  if (c.adds_user)
    runner.effect = [&](const std::vector<std::string>&) { users.users[kServiceUserName] = kServiceAccount; };
  try {
    EnsureServiceUser(kServiceUserName, users, runner);
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceUserCreation,
    ::testing::Values(
        CreationFailure{"ExitStatus9", 9, false, true,
                        "/usr/sbin/useradd --system --user-group --no-create-home --home-dir /nonexistent "
                        "--shell /usr/sbin/nologin --comment 'DorvekZOL service' dorvekzol failed with status 9"},
        CreationFailure{"SucceedsButNoUser", 0, false, false, "there is still no user dorvekzol"},
        CreationFailure{"CannotStart", 0, true, false, "cannot run /usr/sbin/useradd"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServiceUser, CommandTextQuotesWhatAShellWouldSplit) {
  EXPECT_EQ(CommandText({"systemctl", "enable", "DorvekZOL.service"}), "systemctl enable DorvekZOL.service");
  EXPECT_EQ(CommandText({"echo", "a b", "it's", ""}), "echo 'a b' 'it'\\''s' ''");
}

TEST(ServiceUser, TheRealRunnerReportsExitStatusAndAProgramThatCannotStart) {
  ProcessCommandRunner runner;
  EXPECT_EQ(runner.Run({"/bin/sh", "-c", "exit 3"}), 3);
  EXPECT_EQ(runner.Run({"true"}), 0);
  EXPECT_THROW(runner.Run({"/nonexistent/dorvek-no-such-program"}), std::runtime_error);
}

struct SharedDirectory {
  const char* name;
  const char* path;
};

class BaseDirectoryShared : public ::testing::TestWithParam<SharedDirectory> {};

TEST_P(BaseDirectoryShared, IsRefused) {
  EXPECT_THROW(CheckBaseDirectory(GetParam().path), std::runtime_error) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Cases, BaseDirectoryShared,
                         ::testing::Values(SharedDirectory{"Root", "/"}, SharedDirectory{"UsrBin", "/usr/bin"},
                                           SharedDirectory{"UsrBinSlash", "/usr/bin/"},
                                           SharedDirectory{"Bin", "/bin"},
                                           SharedDirectory{"UsrLocalBin", "/usr/local/bin"},
                                           SharedDirectory{"Opt", "/opt"},
                                           SharedDirectory{"OptDotDot", "/opt/dorvekzol/.."}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ServiceUser, ADirectoryOfItsOwnIsAcceptedButNotWithASymbolicLinkForADataDirectory) {
  test_support::TempDir tmp;
  EXPECT_NO_THROW(CheckBaseDirectory("/opt/dorvekzol"));
  EXPECT_NO_THROW(CheckBaseDirectory(tmp.path()));
  std::filesystem::create_directory(tmp.path() / "elsewhere");
  std::filesystem::create_directory_symlink(tmp.path() / "elsewhere", tmp.path() / "VmrZOLData");
  EXPECT_THROW(CheckBaseDirectory(tmp.path()), std::runtime_error);
}

// Ownership needs root; the test command runs as root.
class BaseDirectoryHandOver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
    base_ = tmp_.path() / "base";
    std::filesystem::create_directories(base_ / "VmrZOLData/Config");
    std::filesystem::create_directories(base_ / "VmrZOLData/Logs/old");
    Write(base_ / "dorvekzol", 0755);
    Write(base_ / "VmrZOLData/Config/readme.xml", 0600);
    Write(base_ / "VmrZOLData/Logs/old/queue.db", 0600);
    Write(base_ / "VmrZOLConfig.xml", 0644);
    Write(outside_, 0644);
    std::filesystem::create_symlink(outside_, base_ / "VmrZOLData/Logs/link");
    std::filesystem::permissions(base_, std::filesystem::perms(0755));
  }

  static void Write(const std::filesystem::path& file, int mode) {
    std::ofstream(file) << "x";
    std::filesystem::permissions(file, std::filesystem::perms(mode));
  }

  static struct stat Lstat(const std::filesystem::path& path) {
    struct stat st{};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  test_support::TempDir tmp_;
  std::filesystem::path base_;
  std::filesystem::path outside_ = tmp_.path() / "outside.txt";
};

TEST_F(BaseDirectoryHandOver, DataAndConfigurationBecomeTheUsersTheExecutableStaysRootsAndNoLinkIsFollowed) {
  EXPECT_TRUE(GiveBaseDirectory(base_, kServiceAccount).empty());

  const auto base = Lstat(base_);
  EXPECT_EQ(base.st_uid, 0u);
  EXPECT_EQ(base.st_gid, kServiceGid);
  EXPECT_EQ(base.st_mode & 07777, 01775u);

  const auto executable = Lstat(base_ / "dorvekzol");
  EXPECT_EQ(executable.st_uid, 0u);
  EXPECT_EQ(executable.st_gid, 0u);
  EXPECT_EQ(executable.st_mode & 07777, 0755u);

  for (const char* path : {"VmrZOLData", "VmrZOLData/Config", "VmrZOLData/Config/readme.xml", "VmrZOLData/Logs",
                           "VmrZOLData/Logs/old", "VmrZOLData/Logs/old/queue.db", "VmrZOLData/Logs/link"}) {
    const auto st = Lstat(base_ / path);
    EXPECT_EQ(st.st_uid, kServiceUid) << path;
    EXPECT_EQ(st.st_gid, kServiceGid) << path;
  }
  const auto config = Lstat(base_ / "VmrZOLConfig.xml");
  EXPECT_EQ(config.st_uid, kServiceUid);
  EXPECT_EQ(config.st_mode & 07777, 0600u) << "it holds the database password";

  const auto outside = Lstat(outside_);
  EXPECT_EQ(outside.st_uid, 0u) << "the link's target was given away";
  EXPECT_EQ(outside.st_mode & 07777, 0644u);
}

TEST_F(BaseDirectoryHandOver, ABaseDirectoryTheServiceOwnedGoesBackToRoot) {
  ASSERT_EQ(::chown(base_.c_str(), kServiceUid, 0), 0);
  GiveBaseDirectory(base_, kServiceAccount);
  EXPECT_EQ(Lstat(base_).st_uid, 0u) << "an owner of the directory could replace the executable";
}

TEST_F(BaseDirectoryHandOver, AConfigurationThatIsALinkIsLeftAloneWithAWarning) {
  std::filesystem::remove(base_ / "VmrZOLConfig.xml");
  std::filesystem::create_symlink(outside_, base_ / "VmrZOLConfig.xml");
  const auto warnings = GiveBaseDirectory(base_, kServiceAccount);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("symbolic link"), std::string::npos) << warnings[0];
  EXPECT_EQ(Lstat(outside_).st_uid, 0u);
  EXPECT_EQ(Lstat(outside_).st_mode & 07777, 0644u);
}

TEST_F(BaseDirectoryHandOver, MayWriteFollowsOwnerGroupAndOtherBits) {
  struct Case {
    uid_t uid;
    gid_t gid;
    int mode;
    bool directory;
    bool expected;
  };
  const Case cases[] = {
      {kServiceUid, 0, 0600, false, true},   {kServiceUid, 0, 0400, false, false},
      {0, kServiceGid, 0660, false, true},   {0, kServiceGid, 0640, false, false},
      {0, 0, 0666, false, true},             {0, 0, 0644, false, false},
      {0, kServiceGid, 01775, true, true},   {0, kServiceGid, 0765, true, false},
      {kServiceUid, 0, 0300, true, true},    {0, 0, 0755, true, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    const auto path = tmp_.path() / ("case" + std::to_string(n++));
    if (c.directory) {
      std::filesystem::create_directory(path);
    } else {
      std::ofstream(path) << "x";
    }
    ASSERT_EQ(::chown(path.c_str(), c.uid, c.gid), 0);
    std::filesystem::permissions(path, std::filesystem::perms(c.mode));
    EXPECT_EQ(MayWrite(path, kServiceAccount), c.expected)
        << "owner " << c.uid << " group " << c.gid << " mode " << std::oct << c.mode;
  }
  EXPECT_FALSE(MayWrite(tmp_.path() / "missing", kServiceAccount));
}

}  // namespace
}  // namespace dorvek::service
