// The Debian package as built by CPack, installed into a scratch root with dpkg-deb -x
// and read back: its files, owners and modes, its maintainer scripts and what they run,
// and a Depends that names the package of every library the executable links.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/service_process.h"

namespace dorvek {
namespace {

namespace fs = std::filesystem;
using test_support::ReadFileBytes;
using test_support::RunProgram;

const fs::path kPackage = DORVEK_PACKAGE_FILE;
const fs::path kSourceDir = DORVEK_SOURCE_DIR;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The package names of a Depends field, alternatives included, versions left out.
std::set<std::string> DependedOn(const std::string& depends) {
  std::set<std::string> names;
  const std::regex name(R"((?:^|[,|])\s*([a-z0-9][a-z0-9+.-]*))");
  for (std::sregex_iterator it(depends.begin(), depends.end(), name), end; it != end; ++it) names.insert((*it)[1]);
  return names;
}

// The package unpacked once for every test: dpkg-deb -x into root/, its control files
// (dpkg-deb -e) into control/.
class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(fs::exists(kPackage)) << kPackage << " is missing: the test package.build makes it";
    scratch_ = std::make_unique<test_support::TempDir>();
    ASSERT_EQ(DpkgDeb({"-x", kPackage.string(), root().string()}).exit_code, 0);
    ASSERT_EQ(DpkgDeb({"-e", kPackage.string(), control().string()}).exit_code, 0);
  }
  static void TearDownTestSuite() { scratch_.reset(); }

  static test_support::ProgramResult DpkgDeb(const std::vector<std::string>& args) {
    auto result = RunProgram("/usr/bin/dpkg-deb", args, {}, scratch_->path());
    EXPECT_EQ(result.err, "") << "dpkg-deb " << args.at(0);
    return result;
  }
  static std::string Field(const std::string& name) {
    std::string value = DpkgDeb({"-f", kPackage.string(), name}).out;
    while (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
  }
  static fs::path root() { return scratch_->path() / "root"; }
  static fs::path control() { return scratch_->path() / "control"; }

  static std::unique_ptr<test_support::TempDir> scratch_;
};

std::unique_ptr<test_support::TempDir> Package::scratch_;

TEST_F(Package, HoldsTheExecutableTheDatabaseScriptsTheAlertsTheReadmeAndTheManualPageAndNothingElse) {
  std::map<std::string, unsigned> expected = {
      {"opt/dorvekzol/dorvekzol", 0755},
      {"usr/share/dorvekzol/dorvekzol.rules.yml", 0644},
      {"usr/share/doc/dorvekzol/README.md", 0644},
      {"usr/share/man/man8/dorvekzol.8.gz", 0644},
  };
  // Every database script of the sources, so one added later is packaged too.
  for (const auto& entry : fs::directory_iterator(kSourceDir / "src/db/schema"))
    if (entry.path().extension() == ".sql") {
      const std::string packaged = "usr/share/dorvekzol/" + entry.path().filename().string();
      expected[packaged] = 0644;
      EXPECT_EQ(ReadFileBytes(root() / packaged), ReadFileBytes(entry.path())) << packaged;
    }
  EXPECT_GE(expected.size(), 7u);
  EXPECT_EQ(ReadFileBytes(root() / "usr/share/doc/dorvekzol/README.md"), ReadFileBytes(kSourceDir / "README.md"));

  std::map<std::string, unsigned> found;
  for (const auto& entry : fs::recursive_directory_iterator(root())) {
    struct stat st{};
    ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
    const std::string path = entry.path().lexically_relative(root()).string();
    if (S_ISDIR(st.st_mode)) {
      EXPECT_EQ(st.st_mode & 07777, 0755u) << path;
    } else {
      EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
      found[path] = st.st_mode & 07777;
    }
  }
  EXPECT_EQ(found, expected);
}

TEST_F(Package, EveryEntryIsRootsAndTheExecutableRuns) {
  const auto listing = Lines(DpkgDeb({"-c", kPackage.string()}).out);
  ASSERT_FALSE(listing.empty());
  for (const auto& line : listing) EXPECT_NE(line.find(" root/root "), std::string::npos) << line;

  test_support::TempDir tmp;
  const auto version = RunProgram(root() / "opt/dorvekzol/dorvekzol", {"--version"}, {}, tmp.path());
  EXPECT_EQ(version.exit_code, 0) << version.err;
  // The package's version, and the commit the executable was built from.
  EXPECT_TRUE(std::regex_match(
      version.out, std::regex("dorvekzol " DORVEK_VERSION_TEXT R"( \(commit ([0-9a-f]{12}(-dirty)?|unknown)\)\n)")))
      << version.out;
  EXPECT_EQ(Field("Version"), DORVEK_VERSION_TEXT);
  EXPECT_EQ(Field("Package"), "dorvekzol");
}

TEST_F(Package, InstallingItRegistersNothing) {
  std::set<std::string> control_files;
  for (const auto& entry : fs::directory_iterator(control())) control_files.insert(entry.path().filename().string());
  // No preinst: nothing runs before the files are in place. The postinst restarts the
  // service after an upgrade, the prerm unregisters it when the package is removed.
  EXPECT_EQ(control_files, (std::set<std::string>{"control", "md5sums", "postinst", "prerm"}));
  EXPECT_FALSE(fs::exists(root() / "etc"));
  EXPECT_FALSE(fs::exists(root() / "lib"));
  EXPECT_FALSE(fs::exists(root() / "usr/lib"));

  test_support::TempDir tmp;
  for (const char* script : {"postinst", "prerm"}) {
    EXPECT_EQ(fs::status(control() / script).permissions(), fs::perms(0755)) << script;
    const auto syntax = RunProgram("/bin/sh", {"-n", (control() / script).string()}, {}, tmp.path());
    EXPECT_EQ(syntax.exit_code, 0) << script << ": " << syntax.err;
  }
}

// The maintainer scripts outside dpkg, with systemctl, deb-systemd-invoke and the
// executable replaced by fakes on PATH that record their arguments, and the machine's
// paths in the scripts moved into a scratch directory, so that "systemd runs" and "a
// unit of this package is registered" can be played without either.
struct ScriptCase {
  const char* script;
  std::vector<std::string> args;
  bool systemd_runs;
  int active;  // exit status of systemctl is-active (3: inactive)
  int status;  // exit status of every other call; a failed restart is a warning
  std::vector<std::string> calls;
};

TEST_F(Package, AnUpgradeRestartsARunningServiceAndARemovalStopsIt) {
  test_support::TempDir tmp;
  const fs::path bin = tmp.path() / "bin", log = tmp.path() / "calls";
  fs::create_directories(bin);
  const auto write = [](const fs::path& file, const std::string& text) {
    std::ofstream(file) << text;
    fs::permissions(file, fs::perms(0755));
  };
  for (const char* fake : {"systemctl", "deb-systemd-invoke", "dorvekzol"})
    write(bin / fake, fmt::format("#!/bin/sh\necho \"{} $*\" >> {}\n"
                                  "[ \"$1\" = is-active ] && exit $ACTIVE\nexit $STATUS\n",
                                  fake, log.string()));
  write(tmp.path() / "unit", "ExecStart=\"" + (bin / "dorvekzol").string() + "\"\n");

  const std::vector<std::string> restarted = {"systemctl is-active --quiet DorvekZOL.service",
                                              "deb-systemd-invoke try-restart DorvekZOL.service"};
  const ScriptCase cases[] = {
      {"postinst", {"configure", "0.1.0"}, true, 0, 0, restarted},
      {"postinst", {"configure", "0.1.0"}, true, 0, 1, restarted},
      {"postinst", {"configure", "0.1.0"}, true, 3, 0, {restarted[0]}},    // stopped: stays so
      {"postinst", {"configure", "0.1.0"}, false, 0, 0, {}},               // a chroot
      {"postinst", {"configure", ""}, true, 0, 0, {}},                     // first installation
      {"postinst", {"configure", DORVEK_VERSION_TEXT}, true, 0, 0, {}},    // reinstallation
      {"prerm", {"upgrade", "9.9.9"}, true, 0, 0, {}},                     // runs on until the postinst
      {"prerm", {"remove"}, true, 0, 0, {"systemctl stop DorvekZOL.service", "dorvekzol UNINSTALL SILENT"}},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << &c - cases << ": " << c.script << " " << c.args[0]);
    std::string text = ReadFileBytes(control() / c.script);
    ASSERT_NE(text.find("/run/systemd/system"), std::string::npos) << "no longer asks whether systemd runs";
    const fs::path moved[] = {tmp.path() / (c.systemd_runs ? "" : "no"), tmp.path() / "unit", bin / "dorvekzol"};
    for (int i = 0; const char* path : {"/run/systemd/system", "/etc/systemd/system/DorvekZOL.service",
                                        "/opt/dorvekzol/dorvekzol"})
      text = std::regex_replace(text, std::regex(path), moved[i++].string());
    write(tmp.path() / c.script, text);
    fs::remove(log);
    const auto run = RunProgram(tmp.path() / c.script, c.args,
                                {"PATH=" + bin.string() + ":" + std::getenv("PATH"), fmt::format("ACTIVE={}", c.active),
                                 fmt::format("STATUS={}", c.status)},
                                tmp.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Lines(ReadFileBytes(log)), c.calls);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find("could not be restarted") != std::string::npos, c.status != 0) << run.err;
  }
}

TEST_F(Package, DependsNamesThePackageOfEveryLinkedLibraryTheOdbcDriverAndTheTools) {
  const std::string depends = Field("Depends");
  const std::set<std::string> names = DependedOn(depends);
  for (const char* needed : {"tdsodbc", "passwd", "systemd", "libodbc2", "libsystemd0", "libstdc++6", "libc6"})
    EXPECT_TRUE(names.count(needed)) << needed << " missing from: " << depends;

  // Each library the packaged executable names as NEEDED, traced to its package here.
  test_support::TempDir tmp;
  const fs::path executable = root() / "opt/dorvekzol/dorvekzol";
  const auto dynamic = RunProgram("/usr/bin/objdump", {"-p", executable.string()}, {}, tmp.path());
  ASSERT_EQ(dynamic.exit_code, 0) << dynamic.err;
  std::set<std::string> needed;
  const std::regex needed_line(R"(^\s*NEEDED\s+(\S+))");
  for (const auto& line : Lines(dynamic.out)) {
    std::smatch m;
    if (std::regex_search(line, m, needed_line)) needed.insert(m[1]);
  }
  ASSERT_GE(needed.size(), 5u) << dynamic.out;

  std::map<std::string, std::string> resolved;  // soname -> path
  const auto ldd = RunProgram("/usr/bin/ldd", {executable.string()}, {}, tmp.path());
  const std::regex ldd_line(R"(^\s*(\S+) => (/\S+))");
  for (const auto& line : Lines(ldd.out)) {
    std::smatch m;
    if (std::regex_search(line, m, ldd_line)) resolved[m[1]] = m[2];
  }
  // One dpkg -S for all: it knows a library under one side of the /usr merge.
  std::vector<std::string> search{"-S"};
  for (const auto& soname : needed) {
    ASSERT_TRUE(resolved.count(soname)) << soname << " not found by ldd:\n" << ldd.out;
    const fs::path path = resolved[soname];
    search.push_back(path.string());
    search.push_back((fs::path("/usr") / path.relative_path()).string());
  }
  const auto owners = RunProgram("/usr/bin/dpkg", search, {}, tmp.path());
  std::map<std::string, std::string> owner_of;  // path -> package
  const std::regex owner_line(R"(^([^:,\s]+)(?::[^:\s]+)?: (/\S+)$)");
  for (const auto& line : Lines(owners.out)) {
    std::smatch m;
    if (std::regex_search(line, m, owner_line)) owner_of[m[2]] = m[1];
  }
  for (const auto& soname : needed) {
    const fs::path path = resolved[soname];
    std::string owner = owner_of[path.string()];
    if (owner.empty()) owner = owner_of[(fs::path("/usr") / path.relative_path()).string()];
    ASSERT_FALSE(owner.empty()) << "no package holds " << path << ":\n" << owners.out << owners.err;
    EXPECT_TRUE(names.count(owner)) << soname << " comes from " << owner << ", which Depends lacks: " << depends;
  }
}

TEST_F(Package, TheManualPageIsTheSourceWithItsVersionFilledIn) {
  test_support::TempDir tmp;
  const auto page = RunProgram("/usr/bin/gzip", {"-dc", (root() / "usr/share/man/man8/dorvekzol.8.gz").string()},
                               {}, tmp.path());
  ASSERT_EQ(page.exit_code, 0) << page.err;
  EXPECT_EQ(page.out.find('@'), std::string::npos) << "a placeholder is left";
  EXPECT_NE(page.out.find("\"dorvekzol " DORVEK_VERSION_TEXT "\""), std::string::npos);
  EXPECT_NE(page.out.find(".SH NAME\ndorvekzol \\- "), std::string::npos);
}

}  // namespace
}  // namespace dorvek
