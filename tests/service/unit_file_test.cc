#include "service/unit_file.h"

#include <gtest/gtest.h>

#include <sstream>

namespace dorvek::service {
namespace {

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l == line) return true;
  return false;
}

TEST(UnitFile, RunsTheExecutableAsANotifyServiceWithWatchdog) {
  const std::string unit = BuildUnitFile({"/opt/dorvek/dorvekzol", "/opt/dorvek", ""});
  EXPECT_TRUE(HasLine(unit, "Description=Taxis Dorvek cliënt voor ZOL"));
  EXPECT_TRUE(HasLine(unit, "ExecStart=\"/opt/dorvek/dorvekzol\""));
  EXPECT_TRUE(HasLine(unit, "Type=notify"));
  EXPECT_TRUE(HasLine(unit, "TimeoutStartSec=5s"));
  EXPECT_TRUE(HasLine(unit, "Restart=on-failure"));
  EXPECT_TRUE(HasLine(unit, "RestartSec=5s"));
  EXPECT_TRUE(HasLine(unit, "WantedBy=multi-user.target"));
}

// The loop's longest wait is about 30 s (database statement after login); it pings the
// watchdog every half WatchdogSec, and a stop may follow such a wait, reconnect for its
// notification (30 s) and ask systemd's state (1 s).
TEST(UnitFile, WatchdogAndStopTimeOutLeaveAMarginOverTheLongestWaitsAndAFailedStartStaysDown) {
  const std::string unit = BuildUnitFile({"/opt/dorvek/dorvekzol", "/opt/dorvek", ""});
  EXPECT_TRUE(HasLine(unit, "WatchdogSec=90s"));
  EXPECT_TRUE(HasLine(unit, "TimeoutStopSec=90s"));
  EXPECT_TRUE(HasLine(unit, "RestartPreventExitStatus=78"));
  EXPECT_EQ(kExitStartFailed, 78);
  constexpr int kLongestLoopWait = 30;
  EXPECT_GT(kWatchdogSec, kWatchdogSec / 2 + kLongestLoopWait + 10);
  EXPECT_GT(kTimeoutStopSec, kLongestLoopWait + kLongestLoopWait + 1 + 10);
}

TEST(UnitFile, LeavesOnlyTheBaseDirectoryWritable) {
  const std::string unit = BuildUnitFile({"/opt/dorvek/dorvekzol", "/srv/zol data", ""});
  EXPECT_TRUE(HasLine(unit, "ProtectSystem=strict"));
  EXPECT_TRUE(HasLine(unit, "ReadWritePaths=\"/srv/zol data\""));
  EXPECT_TRUE(HasLine(unit, "ProtectHome=yes"));
  EXPECT_TRUE(HasLine(unit, "NoNewPrivileges=yes"));
  EXPECT_TRUE(HasLine(unit, "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX"));
}

TEST(UnitFile, BaseDirectoryInAHomeDirectoryKeepsHomesVisible) {
  const std::string unit = BuildUnitFile({"/root/zol/dorvekzol", "/root/zol", ""});
  EXPECT_FALSE(HasLine(unit, "ProtectHome=yes"));
}

TEST(UnitFile, ExtraArgumentsFollowTheQuotedPathAndPercentIsEscaped) {
  const std::string unit = BuildUnitFile({"/opt/100%/dorvekzol", "/opt/x", "--base-dir /opt/x"});
  EXPECT_TRUE(HasLine(unit, "ExecStart=\"/opt/100%%/dorvekzol\" --base-dir /opt/x"));
}

}  // namespace
}  // namespace dorvek::service
