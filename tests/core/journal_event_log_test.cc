#include "core/journal_event_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace dorvek::core {
namespace {

using ::testing::ElementsAre;

TEST(JournalFields, CarryTextPriorityIdentifierAndEntryNumbers) {
  EXPECT_THAT(JournalFields({"DorvekZOL", EntryType::kWarning, 1, 0, "a\r\nb"}),
              ElementsAre("MESSAGE=a\r\nb", "PRIORITY=4", "SYSLOG_IDENTIFIER=DorvekZOL",
                          "DORVEK_TYPE=2", "DORVEK_CATEGORY=1", "DORVEK_EVENT_ID=0"));
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
