// The real binary's registration switches, with the unit directory redirected into a
// scratch directory, and its informational options.

#include <pwd.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/config_file.h"
#include "service/service_user.h"
#include "service/unit_file.h"
#include "service/unit_grants.h"
#include "support/case_name.h"
#include "support/service_process.h"

namespace dorvek {
namespace {

using test_support::ProgramResult;
using test_support::ReadFileBytes;
using test_support::ReadJournal;
using test_support::RunProgram;

constexpr const char* kInstalled = "Taxis Dorvek ZOL cliënt werd met succes geïnstalleerd";
constexpr const char* kUninstalled = "De installatie van Taxis Dorvek ZOL cliënt werd verwijderd";

// The words of a unit-file command line as systemd takes them apart: blanks separate
// words, double quotes group with backslash escapes inside, "%%" stands for "%".
std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    std::string word;
    bool quoted = false;
    for (; i < line.size() && (quoted || line[i] != ' '); ++i) {
      const char c = line[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (c == '\\' && i + 1 < line.size()) {
        word += line[++i];
      } else if (c == '%' && i + 1 < line.size() && line[i + 1] == '%') {
        word += '%';
        ++i;
      } else {
        word += c;
      }
    }
    words.push_back(word);
  }
  return words;
}

// The value of the first "Key=" line; nothing when there is none.
std::optional<std::string> UnitValue(const std::string& unit, const std::string& key) {
  std::istringstream in(unit);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return std::nullopt;
}

// A setting's value with its specifiers resolved, as far as a path may hold them: "%%"
// is "%", and any other "%" would be replaced by systemd, so it gives nothing.
std::optional<std::string> ResolveSpecifiers(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
    } else if (i + 1 < value.size() && value[i + 1] == '%') {
      out += '%';
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& line : lines) bytes += line + "\r\n";
  return bytes;
}

class ServiceInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    unit_dir_ = tmp_.path() / "units";
    base_ = tmp_.path() / "base";
    std::filesystem::create_directory(unit_dir_);
    std::filesystem::create_directory(base_);
  }

  // Runs the binary with the unit directory redirected; a registration switch must
  // never reach the system's own unit directory from a test.
  ProgramResult Run(std::vector<std::string> args) {
    return RunProgram(DORVEK_BINARY, args, {"DORVEKZOL_UNIT_DIR=" + unit_dir_.string()},
                      tmp_.path());
  }

  ProgramResult Install(std::vector<std::string> switches) {
    switches.insert(switches.end(),
                    {"--base-dir", base_.string(), "--event-log", event_log().string()});
    return Run(switches);
  }

  std::filesystem::path unit_file() const { return unit_dir_ / "DorvekZOL.service"; }
  std::filesystem::path event_log() const { return tmp_.path() / "events.jsonl"; }

  test_support::TempDir tmp_;
  std::filesystem::path unit_dir_;
  std::filesystem::path base_;
};

TEST_F(ServiceInstall, SilentInstallWritesTheUnitAndTheDataFilesAndPrintsNothing) {
  const auto result = Install({"INSTALL", "SILENT"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "");

  const std::string unit = ReadFileBytes(unit_file());
  ASSERT_FALSE(unit.empty()) << "no unit written in " << unit_dir_;
  const auto exec = UnitValue(unit, "ExecStart");
  ASSERT_TRUE(exec);
  EXPECT_EQ(SplitCommandLine(*exec),
            (std::vector<std::string>{std::filesystem::canonical(DORVEK_BINARY).string(),
                                      "--base-dir", base_.string()}))
      << *exec;
  EXPECT_EQ(UnitValue(unit, "Type"), "notify");
  EXPECT_EQ(UnitValue(unit, "User"), "dorvekzol");
  EXPECT_EQ(UnitValue(unit, "WantedBy"), "multi-user.target");
  EXPECT_EQ(UnitValue(unit, "WorkingDirectory"), base_.string());
  // Above the event loop's longest bounded wait; no restart after a failed start.
  EXPECT_EQ(UnitValue(unit, "WatchdogSec"), "90s");
  EXPECT_EQ(UnitValue(unit, "TimeoutStopSec"), "90s");
  EXPECT_EQ(UnitValue(unit, "Restart"), "on-failure");
  EXPECT_EQ(UnitValue(unit, "RestartPreventExitStatus"), std::to_string(service::kExitStartFailed));
  EXPECT_EQ(unit.find("events.jsonl"), std::string::npos) << "the event-log file is a test's own";

  for (const char* dir : {"VmrZOLData", "VmrZOLData/Logs", "VmrZOLData/Config", "VmrZOLData/XML"})
    EXPECT_TRUE(std::filesystem::is_directory(base_ / dir)) << dir;
  const std::string readme = ReadFileBytes(base_ / "VmrZOLData/Config/readme.xml");
  EXPECT_EQ(readme, Joined(service::ReadmeInstallLines(base_)));
  std::istringstream lines(readme);
  std::string line;
  for (int i = 0; i < 7; ++i) std::getline(lines, line);
  EXPECT_EQ(line, "<SQL>\r");
  EXPECT_NE(readme.find("<SQLDatabase>DORVEK_FFFFFFFFF</SQLDatabase>"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(base_ / "VmrZOLConfig.xml"), Joined(service::ConfigTemplateLines(base_)));

  const auto entries = ReadJournal(event_log());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text, kInstalled);
  EXPECT_EQ(entries[0].type, 4);
  EXPECT_EQ(entries[0].source, "DorvekZOL");
}

TEST_F(ServiceInstall, UnitKeepsABaseDirectoryWithBlanksAndSpecifiersWhole) {
  // "%n" is a specifier: unescaped, systemd would put the unit's name there.
  base_ = tmp_.path() / "zol data 100%n";
  std::filesystem::create_directory(base_);
  const auto result = Install({"INSTALL", "SILENT"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::string unit = ReadFileBytes(unit_file());
  const auto exec = UnitValue(unit, "ExecStart");
  ASSERT_TRUE(exec);
  const auto words = SplitCommandLine(*exec);
  ASSERT_EQ(words.size(), 3u) << *exec;
  EXPECT_EQ(words[2], base_.string()) << *exec;
  const auto working = UnitValue(unit, "WorkingDirectory");
  ASSERT_TRUE(working);
  // systemd takes this value as a plain absolute path: no quotes, only "%%" escaped.
  EXPECT_EQ(ResolveSpecifiers(*working), base_.string()) << *working;
  const auto writable = UnitValue(unit, "ReadWritePaths");
  ASSERT_TRUE(writable);
  EXPECT_EQ(SplitCommandLine(*writable), std::vector<std::string>{base_.string()}) << *writable;
  EXPECT_TRUE(std::filesystem::is_directory(base_ / "VmrZOLData/XML"));
}

class ServiceInstallSwitch : public ServiceInstall,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(ServiceInstallSwitch, InstallWithoutSilentConfirms) {
  const auto result = Install({GetParam()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("DorvekZOL"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(unit_file().string()), std::string::npos) << result.out;
  EXPECT_TRUE(std::filesystem::exists(unit_file()));
}

INSTANTIATE_TEST_SUITE_P(AnySpelling, ServiceInstallSwitch,
                         ::testing::Values("INSTALL", "/install", "-Install", "install"),
                         [](const auto& info) { return test_support::CaseName(info.index, info.param); });

struct stat Stat(const std::filesystem::path& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// With the unit directory redirected, INSTALL creates no user and changes no owner or
// mode: it says what it would do. The unit names the user all the same.
TEST_F(ServiceInstall, RedirectedInstallSaysWhichUserCommandItWouldRunAndChangesNoOwner) {
  std::filesystem::permissions(base_, std::filesystem::perms(0755));
  const auto result = Install({"INSTALL"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err.find("warning:"), std::string::npos) << result.err;
  EXPECT_EQ(UnitValue(ReadFileBytes(unit_file()), "User"), "dorvekzol");
  EXPECT_NE(result.out.find("It runs as the user dorvekzol."), std::string::npos) << result.out;
  const std::string would_run =
      "Would run: " + service::CommandText(service::CreateUserCommand(service::kServiceUserName)) + "\n";
  if (::getpwnam("dorvekzol") == nullptr) {
    EXPECT_NE(result.out.find(would_run), std::string::npos) << result.out;
  } else {
    EXPECT_EQ(result.out.find("Would run:"), std::string::npos) << "the user exists here already";
  }
  EXPECT_NE(result.out.find("Would give " + (base_ / "VmrZOLData").string()), std::string::npos) << result.out;

  EXPECT_EQ(Stat(base_).st_mode & 07777, 0755u);
  for (const char* path : {"", "VmrZOLData", "VmrZOLData/Config/readme.xml", "VmrZOLConfig.xml"}) {
    EXPECT_EQ(Stat(base_ / path).st_uid, ::geteuid()) << path;
    EXPECT_EQ(Stat(base_ / path).st_gid, ::getegid()) << path;
  }
  EXPECT_EQ(Stat(base_ / "VmrZOLConfig.xml").st_mode & 07777, 0600u);
}

// The unit as systemd reads it: no line it does not understand, and an exposure of 1.0
// or lower.
TEST_F(ServiceInstall, SystemdAcceptsTheUnitAndRatesItsExposureAtMostOnePointZero) {
  // A database elsewhere and a public gateway widen the unit; it must still parse.
  const auto elsewhere = tmp_.path() / "dispatch data";
  std::filesystem::create_directory(elsewhere);
  std::ofstream(base_ / "VmrZOLConfig.xml")
      << "<Binding>203.0.113.7</Binding><Port>4001</Port><SQLDriver>sqlite</SQLDriver>"
      << "<SQLDatabase>" << (elsewhere / "dispatch.db").string() << "</SQLDatabase>";
  ASSERT_EQ(Install({"INSTALL", "SILENT"}).exit_code, 0);
  const std::string unit = ReadFileBytes(unit_file());
  const auto writable = UnitValue(unit, "ReadWritePaths");
  ASSERT_TRUE(writable);
  EXPECT_EQ(SplitCommandLine(*writable), (std::vector<std::string>{base_.string(), "-" + elsewhere.string()}));
  EXPECT_EQ(UnitValue(unit, "IPAddressDeny"), "any");
  EXPECT_EQ(UnitValue(unit, "IPAddressAllow"), std::string(service::kLocalNetworks) + " 203.0.113.7");

  const auto verify = RunProgram("/usr/bin/systemd-analyze", {"verify", unit_file().string()}, {}, tmp_.path());
  EXPECT_EQ(verify.exit_code, 0) << verify.err;
  EXPECT_EQ(verify.err.find(unit_file().string()), std::string::npos) << verify.err;

  // --threshold takes tenths: exposure 1.0 is 10.
  const auto security = RunProgram(
      "/usr/bin/systemd-analyze",
      {"security", "--offline=true", "--threshold=10", "--no-pager", unit_file().string()}, {}, tmp_.path());
  EXPECT_EQ(security.exit_code, 0) << security.out << security.err;
  EXPECT_EQ(security.err.find(unit_file().string()), std::string::npos) << security.err;
  EXPECT_NE(security.out.find("Overall exposure level for DorvekZOL.service:"), std::string::npos)
      << security.out;
}

TEST_F(ServiceInstall, InstallKeepsAnExistingReadmeAndConfiguration) {
  std::filesystem::create_directories(base_ / "VmrZOLData/Config");
  { std::ofstream(base_ / "VmrZOLData/Config/readme.xml") << "mine"; }
  { std::ofstream(base_ / "VmrZOLConfig.xml") << "<Port>5000</Port>"; }
  const auto result = Install({"INSTALL", "SILENT"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(ReadFileBytes(base_ / "VmrZOLData/Config/readme.xml"), "mine");
  EXPECT_EQ(ReadFileBytes(base_ / "VmrZOLConfig.xml"), "<Port>5000</Port>");
}

TEST_F(ServiceInstall, UninstallRemovesTheUnitAndKeepsTheData) {
  ASSERT_EQ(Install({"INSTALL", "SILENT"}).exit_code, 0);
  ASSERT_TRUE(std::filesystem::exists(unit_file()));

  const auto result = Install({"UNINSTALL", "SILENT"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(std::filesystem::exists(unit_file()));
  for (const char* path : {"VmrZOLData/Logs", "VmrZOLData/XML", "VmrZOLData/Config/readme.xml",
                           "VmrZOLConfig.xml"})
    EXPECT_TRUE(std::filesystem::exists(base_ / path)) << path;

  const auto entries = ReadJournal(event_log());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].text, kUninstalled);
  EXPECT_EQ(entries[1].type, 4);
}

TEST_F(ServiceInstall, UninstallWithoutSilentConfirmsAndSaysTheUserAndTheDataStay) {
  ASSERT_EQ(Install({"INSTALL", "SILENT"}).exit_code, 0);
  const auto result = Install({"/uninstall"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("Service DorvekZOL uninstalled"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("The user dorvekzol and the data in " + base_.string()), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("stay in place"), std::string::npos) << result.out;
}

TEST_F(ServiceInstall, ABaseDirectorySharedWithTheSystemIsRefusedBeforeAnythingIsWritten) {
  const auto result = Run({"INSTALL", "SILENT", "--base-dir", "/proc"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("shared with the rest of the system"), std::string::npos) << result.err;
  EXPECT_TRUE(std::filesystem::is_empty(unit_dir_));
  EXPECT_FALSE(std::filesystem::exists("/proc/VmrZOLData"));
}

TEST_F(ServiceInstall, UninstallOfAMissingUnitSucceeds) {
  const auto result = Install({"UNINSTALL", "SILENT"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const auto entries = ReadJournal(event_log());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text, kUninstalled);
}

TEST_F(ServiceInstall, HelpAndVersionPrintAndTouchNothing) {
  const auto help = Run({"--help", "--base-dir", base_.string()});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("Usage: dorvekzol", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("INSTALL"), std::string::npos);

  const auto version = Run({"--version", "--base-dir", base_.string()});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("dorvekzol ", 0), 0u) << version.out;

  EXPECT_TRUE(std::filesystem::is_empty(base_));
  EXPECT_TRUE(std::filesystem::is_empty(unit_dir_));
}

struct BadCommandLine {
  std::vector<std::string> args;
  std::string message;
};

void PrintTo(const BadCommandLine& c, std::ostream* out) { *out << testing::PrintToString(c.args); }

class ServiceCommandLine : public ServiceInstall,
                           public ::testing::WithParamInterface<BadCommandLine> {};

TEST_P(ServiceCommandLine, IsRefusedWithStatus2AndTouchesNothing) {
  std::vector<std::string> args{"--base-dir", base_.string()};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  const auto result = Run(args);
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
  EXPECT_TRUE(std::filesystem::is_empty(base_));
  EXPECT_TRUE(std::filesystem::is_empty(unit_dir_));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceCommandLine,
    ::testing::Values(BadCommandLine{{"--bogus"}, "unknown argument: --bogus"},
                      BadCommandLine{{"REMOVE"}, "unknown argument: REMOVE"},
                      BadCommandLine{{"INSTALL", "UNINSTALL"}, "conflicting switches"},
                      BadCommandLine{{"--event-log"}, "--event-log needs a value"}),
    [](const auto& info) {
      std::string args;
      for (const std::string& arg : info.param.args) args += (args.empty() ? "" : " ") + arg;
      return test_support::CaseName(info.index, args);
    });

}  // namespace
}  // namespace dorvek
