#include "core/json_file_event_log.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::core {
namespace {

namespace fs = std::filesystem;

// Decodes the body of a JSON string as JsonQuote writes it; enough to show that
// what is written reads back to the same text.
std::string Unquote(std::string_view quoted) {
  EXPECT_TRUE(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
  std::string out;
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    const char c = quoted[i];
    EXPECT_GE(static_cast<unsigned char>(c), 0x20u) << "raw control character in JSON";
    if (c != '\\') {
      out += c;
      continue;
    }
    const char e = quoted[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 'u': {
        const unsigned code = std::stoul(std::string(quoted.substr(i + 1, 4)), nullptr, 16);
        EXPECT_LT(code, 0x80u);
        out += static_cast<char>(code);
        i += 4;
        break;
      }
      default: ADD_FAILURE() << "unexpected escape " << e;
    }
  }
  return out;
}

struct QuoteCase {
  const char* what;
  std::string text;
  std::string json;
};

class JsonQuoteTable : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(JsonQuoteTable, EscapesAndRoundTrips) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(JsonQuote(c.text), c.json) << c.what;
  EXPECT_EQ(Unquote(JsonQuote(c.text)), c.text) << c.what;
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Cases, JsonQuoteTable,
    ::testing::Values(QuoteCase{"plain", "abc", R"("abc")"},
                      QuoteCase{"empty", "", R"("")"},
                      QuoteCase{"quote and backslash", R"(a"b\c)", R"("a\"b\\c")"},
                      QuoteCase{"line breaks", "a\r\nb\nc", R"("a\r\nb\nc")"},
                      QuoteCase{"tab", "a\tb", R"("a\tb")"},
                      QuoteCase{"other controls", "\x01\x1f"s, R"("\u0001\u001f")"},
                      QuoteCase{"NUL byte", "a\0b"s, R"("a\u0000b")"},
                      QuoteCase{"DEL passes", "\x7f", "\"\x7f\""},
                      QuoteCase{"slash passes", "a/b", R"("a/b")"},
                      QuoteCase{"UTF-8 passes", "cliënt geïnstalleerd €", "\"cliënt geïnstalleerd €\""}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.what); });

TEST(JsonQuote, InvalidUtf8BytesBecomeReplacementCharacters) {
  EXPECT_EQ(JsonQuote("cli\xEBnt"), R"("cli\ufffdnt")");
  EXPECT_EQ(JsonQuote("\xC3"), R"("\ufffd")");        // cut sequence at the end
  EXPECT_EQ(JsonQuote("\xED\xA0\x80"), R"("\ufffd\ufffd\ufffd")");  // surrogate
}

TEST(FormatJsonEntry, HasEveryFieldInOrder) {
  const LogEntry entry{"DorvekZOL", EntryType::kInformation, 1, 0,
                       "Taxis Dorvek ZOL cliënt werd normaal gestart"};
  const DateTime time{2026, 12, 8, 1, 43, 38, 123};
  EXPECT_EQ(FormatJsonEntry(entry, time),
            R"({"time":"2026-12-08T01:43:38.123","source":"DorvekZOL","type":4,"category":1,)"
            R"("id":0,"text":"Taxis Dorvek ZOL cliënt werd normaal gestart"})");
}

TEST(FormatJsonEntry, TypesAreTheirNumbers) {
  const DateTime time{2026, 1, 2, 3, 4, 5, 6};
  EXPECT_NE(FormatJsonEntry({"x", EntryType::kError, 0, 0, ""}, time).find(R"("type":1,)"),
            std::string::npos);
  EXPECT_NE(FormatJsonEntry({"x", EntryType::kWarning, 0, 0, ""}, time).find(R"("type":2,)"),
            std::string::npos);
}

class JsonFileEventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "dorvek-json-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    file_ = dir_ / "events.jsonl";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<std::string> Lines() const {
    std::ifstream in(file_, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  ManualClock clock_;
  fs::path dir_, file_;
};

TEST_F(JsonFileEventLogTest, OneLinePerEntryEvenWithLineBreaksInText) {
  JsonFileEventLog log(file_, clock_);
  log.Info("eerste\r\ntweede");
  log.Warning("derde");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(R"("text":"eerste\r\ntweede")"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(R"("type":2,"category":1,"id":0,"text":"derde")"), std::string::npos);
}

TEST_F(JsonFileEventLogTest, EntryIsOnDiskWhenWriteReturns) {
  JsonFileEventLog log(file_, clock_);
  log.Error("fout");
  EXPECT_EQ(Lines().size(), 1u);  // read while the log is still open
}

TEST_F(JsonFileEventLogTest, TimeIsTheClocksLocalTimeWithMilliseconds) {
  clock_.Advance(std::chrono::milliseconds(123));
  JsonFileEventLog log(file_, clock_);
  log.Info("x");
  const std::string expected = "{\"time\":\"" + clock_.LocalNow().ToIsoMillis() + "\",";
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_TRUE(Lines()[0].starts_with(expected)) << Lines()[0];
  EXPECT_TRUE(clock_.LocalNow().ToIsoMillis().ends_with(".123"));
}

TEST_F(JsonFileEventLogTest, AppendsToAnExistingFile) {
  { std::ofstream(file_) << "earlier\n"; }
  JsonFileEventLog log(file_, clock_);
  log.Info("x");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier");
}

TEST_F(JsonFileEventLogTest, TwoLogsOnOneFileInterleaveWholeLines) {
  JsonFileEventLog a(file_, clock_);
  JsonFileEventLog b(file_, clock_);
  a.Info("a1");
  b.Info("b1");
  a.Info("a2");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find(R"("text":"b1")"), std::string::npos);
  EXPECT_NE(lines[2].find(R"("text":"a2")"), std::string::npos);
}

TEST_F(JsonFileEventLogTest, UnopenableFileThrowsWithItsName) {
  const fs::path bad = dir_ / "no-such-dir" / "events.jsonl";
  try {
    JsonFileEventLog log(bad, clock_);
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(bad.string()), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace dorvek::core
