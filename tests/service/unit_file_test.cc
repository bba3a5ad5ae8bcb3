#include "service/unit_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "core/memory_event_log.h"
#include "service/service_user.h"
#include "service/unit_grants.h"
#include "support/fake_command_runner.h"
#include "support/service_process.h"

namespace dorvek::service {
namespace {

UnitOptions Unit(const std::string& executable, const std::string& base, const std::string& extra = "") {
  UnitOptions options;
  options.executable = executable;
  options.base_dir = base;
  options.extra_arguments = extra;
  return options;
}

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l == line) return true;
  return false;
}

TEST(UnitFile, RunsTheExecutableAsANotifyServiceWithWatchdog) {
  const std::string unit = BuildUnitFile(Unit("/opt/dorvek/dorvekzol", "/opt/dorvek"));
  EXPECT_TRUE(HasLine(unit, "Description=Taxis Dorvek cliënt voor ZOL"));
  EXPECT_TRUE(HasLine(unit, "ExecStart=\"/opt/dorvek/dorvekzol\""));
  EXPECT_TRUE(HasLine(unit, "Type=notify"));
  EXPECT_TRUE(HasLine(unit, "TimeoutStartSec=5s"));
  EXPECT_TRUE(HasLine(unit, "Restart=on-failure"));
  EXPECT_TRUE(HasLine(unit, "RestartSec=5s"));
  EXPECT_TRUE(HasLine(unit, "WantedBy=multi-user.target"));
  // Stopped before the system bus at a poweroff, so the stop can still ask whether the
  // machine is shutting down.
  EXPECT_TRUE(HasLine(unit, "After=network-online.target dbus.service"));
  EXPECT_TRUE(HasLine(unit, "LogRateLimitIntervalSec=1s"));
  EXPECT_TRUE(HasLine(unit, "LogRateLimitBurst=100000"));
}

// The loop's longest wait is about 30 s (database statement after login); it pings the
// watchdog every half WatchdogSec, and a stop may follow such a wait, reconnect for its
// notification (30 s) and ask systemd's state (1 s).
TEST(UnitFile, WatchdogAndStopTimeOutLeaveAMarginOverTheLongestWaitsAndAFailedStartStaysDown) {
  const std::string unit = BuildUnitFile(Unit("/opt/dorvek/dorvekzol", "/opt/dorvek"));
  EXPECT_TRUE(HasLine(unit, "WatchdogSec=90s"));
  EXPECT_TRUE(HasLine(unit, "TimeoutStopSec=90s"));
  EXPECT_TRUE(HasLine(unit, "RestartPreventExitStatus=78"));
  EXPECT_EQ(kExitStartFailed, 78);
  constexpr int kLongestLoopWait = 30;
  EXPECT_GT(kWatchdogSec, kWatchdogSec / 2 + kLongestLoopWait + 10);
  EXPECT_GT(kTimeoutStopSec, kLongestLoopWait + kLongestLoopWait + 1 + 10);
}

TEST(UnitFile, LeavesOnlyTheBaseDirectoryWritable) {
  const std::string unit = BuildUnitFile(Unit("/opt/dorvek/dorvekzol", "/srv/zol data"));
  EXPECT_TRUE(HasLine(unit, "ProtectSystem=strict"));
  EXPECT_TRUE(HasLine(unit, "ReadWritePaths=\"/srv/zol data\""));
  EXPECT_TRUE(HasLine(unit, "ReadOnlyPaths=/run -/dev/shm -/dev/mqueue"));
  EXPECT_TRUE(HasLine(unit, "ProtectHome=yes"));
  EXPECT_TRUE(HasLine(unit, "NoNewPrivileges=yes"));
  EXPECT_TRUE(HasLine(unit, "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX"));
}

TEST(UnitFile, BaseDirectoryInAHomeDirectoryKeepsHomesVisible) {
  const std::string unit = BuildUnitFile(Unit("/root/zol/dorvekzol", "/root/zol"));
  EXPECT_FALSE(HasLine(unit, "ProtectHome=yes"));
}

TEST(UnitFile, RunsAsTheServiceUserWhenOneIsNamed) {
  UnitOptions options = Unit("/opt/dorvekzol/dorvekzol", "/opt/dorvekzol");
  EXPECT_EQ(BuildUnitFile(options).find("User="), std::string::npos);
  options.user = kServiceUserName;
  EXPECT_TRUE(HasLine(BuildUnitFile(options), "User=dorvekzol"));
}

TEST(UnitFile, ReachesTheLocalNetworksAndTheAllowedAddressesOnly) {
  UnitOptions options = Unit("/opt/dorvekzol/dorvekzol", "/opt/dorvekzol");
  std::string unit = BuildUnitFile(options);
  EXPECT_TRUE(HasLine(unit, "IPAddressDeny=any"));
  EXPECT_TRUE(HasLine(unit, "IPAddressAllow=" + std::string(kLocalNetworks)));
  options.allowed_addresses = {"203.0.113.7", "2001:db8::1"};
  unit = BuildUnitFile(options);
  EXPECT_TRUE(HasLine(unit, "IPAddressAllow=" + std::string(kLocalNetworks) + " 203.0.113.7 2001:db8::1"));
}

TEST(UnitFile, FurtherWritePathsMayBeMissingAndOneUnderTheHomesKeepsThemVisible) {
  UnitOptions options = Unit("/opt/dorvekzol/dorvekzol", "/opt/dorvekzol");
  options.write_paths = {"/srv/zol data"};
  std::string unit = BuildUnitFile(options);
  EXPECT_TRUE(HasLine(unit, "ReadWritePaths=\"/opt/dorvekzol\" \"-/srv/zol data\""));
  EXPECT_TRUE(HasLine(unit, "ProtectHome=yes"));
  options.write_paths = {"/home/dispatch"};
  EXPECT_FALSE(HasLine(BuildUnitFile(options), "ProtectHome=yes"));
}

// DORVEKZOL_UNIT_DIR set for the test's length.
class RedirectedUnitDirectory : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("DORVEKZOL_UNIT_DIR", tmp_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("DORVEKZOL_UNIT_DIR"); }

  test_support::TempDir tmp_;
};

TEST_F(RedirectedUnitDirectory, InstallAndUninstallWriteThereAndRunNoSystemctl) {
  EXPECT_TRUE(UnitDirectoryRedirected());
  EXPECT_FALSE(ShouldCallSystemctl());
  test_support::FakeCommandRunner runner;
  core::MemoryEventLog log;
  UnitOptions options = Unit("/opt/dorvekzol/dorvekzol", "/opt/dorvekzol");
  options.user = kServiceUserName;
  InstallUnit(options, runner, log);
  EXPECT_TRUE(HasLine(test_support::ReadFileBytes(tmp_.path() / kUnitFileName), "User=dorvekzol"));
  UninstallUnit(runner, log);
  EXPECT_FALSE(std::filesystem::exists(tmp_.path() / kUnitFileName));
  EXPECT_TRUE(runner.commands.empty());
}

TEST(UnitFile, ExtraArgumentsFollowTheQuotedPathAndPercentIsEscaped) {
  const std::string unit = BuildUnitFile(Unit("/opt/100%/dorvekzol", "/opt/x", "--base-dir /opt/x"));
  EXPECT_TRUE(HasLine(unit, "ExecStart=\"/opt/100%%/dorvekzol\" --base-dir /opt/x"));
}

}  // namespace
}  // namespace dorvek::service
