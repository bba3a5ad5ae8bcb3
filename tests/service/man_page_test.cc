// The manual page dorvekzol(8) against what the program really accepts and reads: every
// switch, option and signal --help names, every setting of the table of known elements
// and every environment variable the sources look up must be documented, and groff must take
// the page without a warning.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "service/command_line.h"
#include "service/settings.h"
#include "support/service_process.h"

namespace dorvek::service {
namespace {

const std::filesystem::path kSourceDir = DORVEK_SOURCE_DIR;
const std::filesystem::path kManPage = kSourceDir / "doc/dorvekzol.8.in";

// The page's words as a reader sees them: font changes dropped, "\-" a hyphen.
std::string PlainText(std::string roff) {
  roff = std::regex_replace(roff, std::regex(R"(\\f[BIRP])"), "");
  roff = std::regex_replace(roff, std::regex(R"(\\-)"), "-");
  return roff;
}

bool HasWord(const std::string& text, const std::string& word) {
  auto is_word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; };
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const bool starts = at == 0 || !is_word(text[at - 1]) || word[0] == '-';
    const std::size_t end = at + word.size();
    if (starts && (end == text.size() || !is_word(text[end]))) return true;
  }
  return false;
}

std::set<std::string> Matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) found.insert((*it)[1]);
  return found;
}

// Every match of the pattern's first group in the sources under src/.
std::set<std::string> InSources(const std::regex& pattern) {
  std::set<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kSourceDir / "src")) {
    const auto ext = entry.path().extension();
    if (ext != ".cc" && ext != ".h") continue;
    for (const auto& m : Matches(test_support::ReadFileBytes(entry.path()), pattern)) found.insert(m);
  }
  return found;
}

class ManPage : public ::testing::Test {
 protected:
  void ExpectDocumented(const std::set<std::string>& names, const char* kind) {
    EXPECT_FALSE(names.empty()) << "no " << kind << " found: the search itself is broken";
    for (const auto& name : names) EXPECT_TRUE(HasWord(page_, name)) << kind << " " << name << " is not in " << kManPage;
  }

  std::string page_ = PlainText(test_support::ReadFileBytes(kManPage));
};

TEST_F(ManPage, DocumentsEverySwitchOptionAndSignalOfTheUsage) {
  const std::string usage = UsageText("dorvekzol");
  ExpectDocumented(Matches(usage, std::regex(R"((--[a-z][a-z-]*))")), "option");
  ExpectDocumented(Matches(usage, std::regex(R"(\n  ([A-Z]{3,}) )")), "switch");
  ExpectDocumented(Matches(usage, std::regex(R"(\b(SIG[A-Z0-9]+)\b)")), "signal");
}

TEST_F(ManPage, DocumentsEverySettingAndEnvironmentVariableTheSourcesRead) {
  std::set<std::string> settings;
  for (const KnownElement& e : KnownElements())
    if (e.kind != ElementKind::kStructure) settings.insert(std::string(e.name));
  ExpectDocumented(settings, "setting");
  // A setting read past the table would be one that --check calls unknown.
  for (const auto& name : InSources(std::regex(R"re(ReadXMLTag\(\s*\w+\s*,\s*"(\w+)"\s*\))re")))
    EXPECT_NE(FindKnownElement(name), nullptr) << name << " is read but not one of KnownElements()";
  ExpectDocumented(InSources(std::regex(R"re(getenv\(\s*"(\w+)"\s*\))re")), "environment variable");
}

TEST_F(ManPage, GroffTakesItWithoutAWarning) {
  test_support::TempDir tmp;
  const auto result =
      test_support::RunProgram("/usr/bin/groff", {"-man", "-ww", "-z", kManPage.string()}, {}, tmp.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace dorvek::service
