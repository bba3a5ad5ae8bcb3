#include "service/command_line.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace dorvek::service {
namespace {

TEST(CommandLine, NoArgumentsRunsTheService) {
  const CommandLine cl = ParseCommandLine({});
  EXPECT_EQ(cl.mode, RunMode::kService);
  EXPECT_FALSE(cl.silent);
  EXPECT_TRUE(cl.base_dir.empty());
}

TEST(CommandLine, SwitchesMatchWithoutRegardToCaseAndWithWindowsPrefixes) {
  for (const char* arg : {"INSTALL", "install", "Install", "/INSTALL", "-install", "/Install"})
    EXPECT_EQ(ParseCommandLine({arg}).mode, RunMode::kInstall) << arg;
  for (const char* arg : {"UNINSTALL", "uninstall", "/uninstall", "-UnInstall"})
    EXPECT_EQ(ParseCommandLine({arg}).mode, RunMode::kUninstall) << arg;
  EXPECT_TRUE(ParseCommandLine({"/install", "/silent"}).silent);
  EXPECT_TRUE(ParseCommandLine({"silent", "INSTALL"}).silent);
}

TEST(CommandLine, OptionsTakeAValueSeparatelyOrAfterEquals) {
  const CommandLine cl = ParseCommandLine(
      {"--base-dir", "/srv/zol", "--event-log=/tmp/e.jsonl", "--lan-target", "127.0.0.1:54999"});
  EXPECT_EQ(cl.base_dir, "/srv/zol");
  EXPECT_EQ(cl.event_log, "/tmp/e.jsonl");
  EXPECT_EQ(cl.lan_target, "127.0.0.1:54999");
}

TEST(CommandLine, HelpAndVersion) {
  EXPECT_EQ(ParseCommandLine({"--help"}).mode, RunMode::kHelp);
  EXPECT_EQ(ParseCommandLine({"--version"}).mode, RunMode::kVersion);
  EXPECT_NE(UsageText("dorvekzol").find("INSTALL"), std::string::npos);
}

TEST(CommandLine, RejectsUnknownMissingAndConflicting) {
  EXPECT_THROW(ParseCommandLine({"--bogus"}), std::invalid_argument);
  EXPECT_THROW(ParseCommandLine({"--base-dir"}), std::invalid_argument);
  EXPECT_THROW(ParseCommandLine({"INSTALL", "UNINSTALL"}), std::invalid_argument);
  // A double-dash option is never taken for a Windows switch.
  EXPECT_THROW(ParseCommandLine({"--install"}), std::invalid_argument);
}

}  // namespace
}  // namespace dorvek::service
