#include "inbound/key_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "inbound/handler_test_fixture.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using KeyEventsTest = HandlerTest;

TEST_P(KeyEventsTest, RequestKeysAndDriverTexts) {
  Handle("NUMBER=012 TYPE=KEY STATUS=NEW UNIT=4711");
  Handle("NUMBER=012 TYPE=KEY STATUS=ACK UNIT=4711");
  Handle("NUMBER=004 TYPE=KEY STATUS=NEW UNIT=4711 004=15");
  Handle("NUMBER=004 TYPE=KEY STATUS=NEW UNIT=4711");
  Handle("NUMBER=014 TYPE=MACRO STATUS=ACK UNIT=4712 002=\"Stremming op de A2, cliënt is gebeld\"");
  Handle("NUMBER=014 TYPE=MACRO STATUS=NEW UNIT=4712 002=");
  EXPECT_THAT(Notes(), ElementsAre("1 Spraakverzoek wagen 17", "102 Wagen 17 verzoek pauze - 15 minuten",
                                   "102 Wagen 17 verzoek pauze -  minuten",
                                   "103 Wagen 23: Stremming op de A2, cliënt is gebeld"));
  EXPECT_EQ(fixture_.Count("StatusMeldingen", "mel_wagen=1"), 3);
  EXPECT_EQ(fixture_.Count("StatusMeldingen", "mel_wagen=2"), 1);
}

TEST_P(KeyEventsTest, TerminalReportChecksEachFieldOnItsOwn) {
  struct Case {
    std::string body;
    std::vector<std::string> notes;
    std::optional<long long> sector;
  };
  const std::vector<Case> cases = {
      {"035=000 009=7", {"104 Wagen 17 meld een ALARM"}, 7},
      {"009=0", {}, std::nullopt},
      {"009=51", {}, std::nullopt},
      {"009=x", {}, std::nullopt},
      {"009=50", {}, 50},
      {"009=-5", {}, -5},
      {"009=007abc", {}, 7},
      {"035=005", {}, std::nullopt},
      {"035=005 043=\"+004 53 47.12\"", {"105 Wagen 17 aanvang zwarte rit"}, std::nullopt},
      {"035=006 043=\"+004 53 47.12\" 009=3", {"119 Wagen 17 einde zwarte rit"}, 3},
      {"035=006", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ClearNotes();
    fixture_.file().Run("DELETE FROM sectoren;");
    Handle("NUMBER=002 TYPE=MACRO STATUS=NEW UNIT=4711 " + c.body);
    EXPECT_EQ(Notes(), c.notes);
    const auto rows = fixture_.Select("select * from sectoren");
    if (!c.sector) {
      EXPECT_THAT(rows, IsEmpty());
      continue;
    }
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Int("sec_sector"), *c.sector);
    EXPECT_EQ(rows[0].Int("sec_wag_id"), 1);
    EXPECT_EQ(rows[0].Int("sec_bdr_id"), 1);
    EXPECT_EQ(rows[0].Date("sec_datum")->ToSql(), clock_.LocalNow().ToSql());
  }
}

TEST_P(KeyEventsTest, FailedSectorRowEndsThePacketBeforeTheRideChecks) {
  db_.FailWhenSqlContains("INSERT INTO sectoren", "sectoren vol");
  Handle("NUMBER=002 TYPE=MACRO STATUS=NEW UNIT=4711 009=7 035=005 043=\"+004 53 47.12\"");
  EXPECT_TRUE(Logged(EntryType::kWarning, "sectoren vol"));
  EXPECT_THAT(Notes(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, KeyEventsTest, test_support::AllDbPaths(), test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::inbound
