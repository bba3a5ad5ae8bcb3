// The harness's reading of the JSON event-log lines: the end-to-end tests are only as
// good as what it makes of the file.

#include "support/service_process.h"

#include <gtest/gtest.h>

#include "core/date_time.h"
#include "core/json_file_event_log.h"

namespace dorvek::test_support {
namespace {

TEST(ParseJournalLine, ReadsWhatTheFileSinkWrites) {
  const core::LogEntry written{"dorvekzol", core::EntryType::kWarning, 0, 0,
                               "a \"quoted\" \\ cliënt\r\n\ttab \x01 end"};
  const std::string line = core::FormatJsonEntry(written, *core::DateTime::FromParts(2026, 12, 8, 1, 43, 38));
  const auto entry = ParseJournalLine(line);
  ASSERT_TRUE(entry) << line;
  EXPECT_EQ(entry->source, "dorvekzol");
  EXPECT_EQ(entry->type, 2);
  EXPECT_EQ(entry->category, 0);
  EXPECT_EQ(entry->id, 0);
  EXPECT_EQ(entry->text, written.text);
  EXPECT_FALSE(entry->time.empty());
}

TEST(ParseJournalLine, UnicodeEscapesBecomeUtf8) {
  const auto entry = ParseJournalLine(R"({"text":"\u00eb\ufffd"})");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->text, "ë\xEF\xBF\xBD");
}

TEST(ParseJournalLine, RefusesWhatIsNotOneFlatObject) {
  for (const char* line : {"", "{", R"({"text":"open)", R"({"type":})", R"({"type":4} x)",
                           R"({"text":"\q"})", R"(["text"])"})
    EXPECT_FALSE(ParseJournalLine(line)) << line;
}

TEST(SplitNotice, KeepsEmptyFields) {
  EXPECT_EQ(SplitNotice("700,,PC01,ZOLFFFFFFF,#0000#"),
            (std::vector<std::string>{"700", "", "PC01", "ZOLFFFFFFF", "#0000#"}));
  EXPECT_EQ(SplitNotice(""), std::vector<std::string>{""});
}

}  // namespace
}  // namespace dorvek::test_support
