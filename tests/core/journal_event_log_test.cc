#include "core/journal_event_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace dorvek::core {
namespace {

using ::testing::ElementsAre;

TEST(JournalFields, CarryTextPriorityIdentifierAndEntryNumbers) {
  EXPECT_THAT(JournalFields({"DorvekZOL", EntryType::kWarning, 1, 0, "a b\tc"}),
              ElementsAre("MESSAGE=a b\tc", "PRIORITY=4", "SYSLOG_IDENTIFIER=DorvekZOL",
                          "DORVEK_TYPE=2", "DORVEK_CATEGORY=1", "DORVEK_EVENT_ID=0"));
}

// journalctl shows a message holding controls as a blob: MESSAGE names them, and the
// exact text follows in a field of its own.
TEST(JournalFields, ControlsAreNamedInTheMessageAndTheExactTextIsKept) {
  const struct {
    std::string text, message;
  } cases[] = {
      {"Ontvangen pakket: \x01" "0004\x02" "1\x03\x04XCRC", "Ontvangen pakket: <SOH>0004<STX>1<ETX><EOT>XCRC"},
      {"regel\r\nTAG=1\r\n", "regel\nTAG=1\n"},
      {"los\rCR \x7F", "los<CR>CR <0x7F>"},
      {"cli\xC3\xABnt \xC2\x81 \xFF", "cli\xC3\xABnt <0x81> <0xFF>"},
  };
  for (const auto& c : cases) {
    const auto fields = JournalFields({"DorvekZOL", EntryType::kInformation, 1, 0, c.text});
    ASSERT_EQ(fields.size(), 7u) << c.message;
    EXPECT_EQ(fields[0], "MESSAGE=" + c.message);
    EXPECT_EQ(fields[6], "DORVEK_TEXT=" + c.text);
  }
}

TEST(JournalFields, HostEntryUsesItsOwnSource) {
  const auto fields = JournalFields({"dorvekzol", EntryType::kError, 0, 0, "x"});
  EXPECT_EQ(fields[1], "PRIORITY=3");
  EXPECT_EQ(fields[2], "SYSLOG_IDENTIFIER=dorvekzol");
  EXPECT_EQ(fields[3], "DORVEK_TYPE=1");
  EXPECT_EQ(fields[4], "DORVEK_CATEGORY=0");
}

TEST(JournalPriority, InformationIsSix) { EXPECT_EQ(JournalPriority(EntryType::kInformation), 6); }

TEST(JournalEventLog, WriteDoesNotThrowWithOrWithoutAJournal) {
  JournalEventLog log;
  EXPECT_NO_THROW(log.Info("dorvek core test: journal sink"));
  EXPECT_NO_THROW(log.Write({"", EntryType::kError, 0, 0, std::string("nul\0byte", 8)}));
}

}  // namespace
}  // namespace dorvek::core
