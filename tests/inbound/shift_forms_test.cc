#include "inbound/shift_forms.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "inbound/handler_test_fixture.h"
#include "support/control_text.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ShiftFormsTest : public HandlerTest {
 protected:
  std::string Exact(const db::Row& row, const char* column) { return row.Exact(column).ToString(); }
  std::string Date(const db::Row& row, const char* column) {
    const auto date = row.Date(column);
    return date ? date->ToSql() : "NULL";
  }
  long long Kmstand(int wag_id) {
    return One("select wag_kmstand from wagens where wag_id=" + std::to_string(wag_id)).Int("wag_kmstand");
  }
  // Vehicle 31 (wag_id 3) has no open trip sheet; driver 1 has pass 1234 and open
  // sheets on the other two vehicles, which do not stand in the way.
  static constexpr const char* kLogIn = "NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4713 003=003 001=01234 ";
};

TEST_P(ShiftFormsTest, LogInOpensATripSheetAndQueuesTheReply) {
  fixture_.file().Run("INSERT INTO constanten (con_bdr_id, con_standaard_uren) VALUES (1, 480);");
  Handle(std::string(kLogIn) + "TIME=\"2026-12-31 20:00:00\" 005=1234567 004=\"late dienst\"");

  const db::Row sheet = One("select * from ritstaten where lsn_wag_id=3");
  EXPECT_EQ(sheet.Int("lsn_bdr_id"), 1);
  EXPECT_EQ(sheet.Int("lsn_chf_id"), 1);
  EXPECT_EQ(sheet.Int("lsn_status"), 0);
  EXPECT_EQ(sheet.Text("lsn_actie"), "B");
  EXPECT_EQ(Date(sheet, "lsn_aanvang"), "2026-12-31 20:00:00");
  EXPECT_EQ(Date(sheet, "lsn_aanvang_bct"), "2026-12-31 20:00:00");
  // The standard length is added as minutes.
  EXPECT_EQ(Date(sheet, "lsn_einde"), "2027-01-01 04:00:00");
  EXPECT_EQ(Date(sheet, "lsn_einde_bct"), "2027-01-01 04:00:00");
  EXPECT_EQ(sheet.Text("lsn_omschrijving"), "ZOL-" + clock_.LocalNow().ToCompact().substr(0, 8) + "-3-1");
  EXPECT_EQ(Exact(sheet, "lsn_kilometerstand_aanvang"), "123456.70");
  EXPECT_TRUE(sheet.IsNull("lsn_kilometerstand_einde"));
  EXPECT_EQ(Kmstand(3), 123456);
  EXPECT_THAT(Notes(), ElementsAre("116 Wagen 31 aanvang dienst late dienst"));

  // The length counts characters: "Hénri" has five.
  const std::string reply = test_support::ControlText(
      "[SOH]0070[STX]123[ETX]FORM[ETX]NEW[ETX]60[ETX]mux4713[ETX]4[ETX]3[ETX]3[ETX]4[ETX]15[ETX]"
      "Hénri de Vries[ETX]37[ETX]01234[ETX][EOT]XCRC");
  EXPECT_THAT(outbound_, ElementsAre(reply));
  EXPECT_TRUE(Logged(EntryType::kInformation, "Taxis Dorvek ZOL pakket aangeboden \r\n" + reply));
}

TEST_P(ShiftFormsTest, LogInWithoutOdometerOrConstants) {
  auto fields = gateway::ParseNotation(std::string(kLogIn) + "TIME=\"2026-12-08 06:30:00\"");
  fields.back() += '\x01';  // the pass number
  HandleFields(fields, &outbound_);
  const db::Row sheet = One("select * from ritstaten where lsn_wag_id=3");
  EXPECT_EQ(Date(sheet, "lsn_einde"), "2026-12-08 06:30:00");
  EXPECT_TRUE(sheet.IsNull("lsn_kilometerstand_aanvang"));
  EXPECT_EQ(Kmstand(3), 5000);
  // A frame character in the echoed pass number would break the reply.
  ASSERT_EQ(outbound_.size(), 1u);
  EXPECT_THAT(outbound_.front(),
              ::testing::EndsWith(test_support::ControlText("[ETX]37[ETX]01234 [ETX][EOT]XCRC")));
}

// A reading that is missing or empty is not written; one of 0 is, but does not set the
// vehicle's odometer. One table per form: each packet (after reset) and select's row after.
TEST_P(ShiftFormsTest, MissingReadingsAreNotWritten) {
  using Rows = std::vector<std::pair<std::string, std::string>>;
  const auto table = [&](const std::string& reset, const std::string& select,
                         std::initializer_list<const char*> columns, const Rows& rows) {
    for (const auto& [packet, after] : rows) {
      fixture_.file().Run(reset);
      Handle(packet);
      EXPECT_EQ(test_support::Show(One(select), columns), after) << packet;
    }
  };
  const std::string log_in = kLogIn, end = "NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 003=000",
                    fuel = "NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 019=4250";
  table("DELETE FROM ritstaten WHERE lsn_wag_id=3; UPDATE wagens SET wag_kmstand=5000 WHERE wag_id=3",
        "select * from ritstaten, wagens where lsn_wag_id=3 and wag_id=3",
        {"lsn_kilometerstand_aanvang", "wag_kmstand"},
        {{log_in + "005=1234567", "lsn_kilometerstand_aanvang=123456.70 wag_kmstand=123456"},
         {log_in + "005=0", "lsn_kilometerstand_aanvang=0.00 wag_kmstand=5000"},
         {log_in + "005=", "lsn_kilometerstand_aanvang=NULL wag_kmstand=5000"},
         {log_in, "lsn_kilometerstand_aanvang=NULL wag_kmstand=5000"}});
  table("UPDATE ritstaten SET lsn_status=0, lsn_actie='B', lsn_kilometerstand_einde=11111.10 WHERE lsn_id=1;"
        "UPDATE wagens SET wag_kmstand=120000 WHERE wag_id=1",
        "select * from ritstaten, wagens where lsn_id=1 and wag_id=1",
        {"lsn_status", "lsn_kilometerstand_einde", "wag_kmstand"},
        {{end + " 036=123456", "lsn_status=1 lsn_kilometerstand_einde=12345.60 wag_kmstand=12345"},
         {end + " 036=", "lsn_status=1 lsn_kilometerstand_einde=11111.10 wag_kmstand=120000"},
         {end, "lsn_status=1 lsn_kilometerstand_einde=11111.10 wag_kmstand=120000"}});
  table("DELETE FROM brandstof", "select * from brandstof", {"bra_liters", "bra_odometer_huidig"},
        {{fuel + " 036=123456", "bra_liters=42.50 bra_odometer_huidig=12345.60"},
         {fuel + " 036=", "bra_liters=42.50 bra_odometer_huidig=NULL"},
         {fuel, "bra_liters=42.50 bra_odometer_huidig=NULL"}});
}

TEST_P(ShiftFormsTest, RefusedLogInIsInformationAndSkipsTheRestOfThePacket) {
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4713 003=003 001=999 038=1 019=100");
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 003=003 001=1234 038=1 019=100");
  EXPECT_TRUE(Logged(EntryType::kInformation,
                     "Taxis Dorvek ZOL in dienst nemen chauffeur mislukt voor wagen 31. "
                     "Geen beschikbaar chauffeursnummer gevonden: 999"));
  EXPECT_TRUE(Logged(EntryType::kInformation,
                     "Taxis Dorvek ZOL in dienst nemen chauffeur mislukt voor wagen 17. "
                     "Wagen of chauffeur was reeds in dienst"));
  EXPECT_EQ(fixture_.Count("ritstaten"), 2);
  EXPECT_EQ(fixture_.Count("brandstof"), 0);
  EXPECT_THAT(Notes(), IsEmpty());
  EXPECT_THAT(outbound_, IsEmpty());
}

// Which failures the log-in survives: the odometer statement and the notification are
// guarded, the rest ends the packet (and with it the speech request it also carries).
TEST_P(ShiftFormsTest, LogInFailureScopes) {
  struct Case {
    std::string failing_sql;
    bool queue;
    bool sheet_written;
    std::vector<std::string> notes;
    bool replied;
  };
  const std::vector<Case> cases = {
      {"update wagens", true, true, {"116 Wagen 31 aanvang dienst ", "1 Wagen 31 verzoekt om spraak"}, true},
      {"INSERT INTO StatusMeldingen", true, true, {}, true},
      {"INSERT INTO ritstaten", true, false, {}, false},
      {"from constanten", true, false, {}, false},
      {"from chauffeurs", true, false, {}, false},
      // Without a queue (before start, after stop) the reply is dropped with a warning;
      // what the log-in wrote stays.
      {"", false, true, {"116 Wagen 31 aanvang dienst ", "1 Wagen 31 verzoekt om spraak"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing_sql);
    fixture_.file().Run("DELETE FROM ritstaten WHERE lsn_wag_id=3; DELETE FROM StatusMeldingen;");
    log_.Clear();
    outbound_.clear();
    db_.ClearFailures();
    if (!c.failing_sql.empty()) db_.FailWhenSqlContains(c.failing_sql, "mislukt: " + c.failing_sql);
    Handle(std::string(kLogIn) + "005=50 038=1", c.queue ? &outbound_ : nullptr);
    EXPECT_EQ(fixture_.Count("ritstaten", "lsn_wag_id=3"), c.sheet_written ? 1 : 0);
    EXPECT_EQ(Notes(), c.notes);
    EXPECT_EQ(outbound_.size(), c.replied ? 1u : 0u);
    EXPECT_TRUE(Logged(EntryType::kWarning,
                       c.queue ? "mislukt: " + c.failing_sql
                               : "Taxis Dorvek ZOL antwoord niet verzonden: de service is niet gestart"));
  }
}

TEST_P(ShiftFormsTest, RefuellingWritesExactDecimals) {
  fixture_.file().Run(
      "INSERT INTO brandstof (bra_wag_id, bra_odometer_huidig) VALUES (1, 12000.5), (1, 11000), (2, 99999);");
  Handle(
      "NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 TIME=\"2026-12-08 11:15:00\" 019=4250 036=123456 120=7399");
  const db::Row row = One("select * from brandstof where bra_liters is not null");
  EXPECT_EQ(Exact(row, "bra_liters"), "42.50");
  EXPECT_EQ(Exact(row, "bra_odometer_huidig"), "12345.60");
  EXPECT_EQ(Exact(row, "bra_bedrag"), "73.99");
  EXPECT_EQ(Exact(row, "bra_odometer_vorig"), "12000.50");
  EXPECT_EQ(row.Int("bra_chf_id"), 1);
  EXPECT_EQ(row.Int("bra_bdr_id"), 1);
  EXPECT_EQ(row.Int("bra_wag_id"), 1);
  EXPECT_EQ(Date(row, "bra_datum"), "2026-12-08 11:15:00");
  EXPECT_TRUE(row.IsNull("bra_odometer_verschil"));
  EXPECT_TRUE(row.IsNull("bra_verbruik"));
  EXPECT_THAT(Notes(), ElementsAre("117 Wagen 17 registratie tankbeurt"));
}

TEST_P(ShiftFormsTest, TwoFuelsGiveTwoRowsAlike) {
  // Vehicle 31 has neither fuel rows nor an open trip sheet.
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4713 019=4250 119=1001 036=123456 120=7399");
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4713 019=0 119=");
  const auto rows = fixture_.Select("select * from brandstof order by bra_id");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(Exact(rows[0], "bra_liters"), "42.50");
  EXPECT_EQ(Exact(rows[1], "bra_liters"), "10.01");
  for (const db::Row& row : rows) {
    EXPECT_EQ(Exact(row, "bra_odometer_vorig"), "0.00");
    EXPECT_EQ(Exact(row, "bra_odometer_huidig"), "12345.60");
    EXPECT_EQ(Exact(row, "bra_bedrag"), "73.99");
    EXPECT_EQ(row.Int("bra_chf_id"), 0);
    EXPECT_EQ(Date(row, "bra_datum"), clock_.LocalNow().ToSql());
  }
  EXPECT_THAT(Notes(),
              ElementsAre("117 Wagen 31 registratie tankbeurt", "117 Wagen 31 registratie tankbeurt"));
}

TEST_P(ShiftFormsTest, FailedFuelRowEndsThePacket) {
  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='B' WHERE lsn_id=1;");
  db_.FailWhenSqlContains("INSERT INTO brandstof", "brandstof op slot");
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 019=4250 119=1000 003=000 036=123456");
  EXPECT_TRUE(Logged(EntryType::kWarning, "brandstof op slot"));
  EXPECT_THAT(Notes(), IsEmpty());
  EXPECT_EQ(One("select * from ritstaten where lsn_id=1").Int("lsn_status"), 0);
}

TEST_P(ShiftFormsTest, ShiftEndClosesOnlyASheetWithoutPassenger) {
  for (const char* actie : {"B", "L", "M", "K"}) {
    SCOPED_TRACE(actie);
    fixture_.file().Run(
        std::string("UPDATE ritstaten SET lsn_status=0, lsn_actie='") + actie +
        "', lsn_einde=NULL WHERE lsn_id=1; UPDATE wagens SET wag_kmstand=120000 WHERE wag_id=1;"
        "DELETE FROM StatusMeldingen;");
    log_.Clear();
    Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 TIME=\"2026-12-08 17:45:00\" 003=000 036=123456");
    EXPECT_THAT(Notes(), ElementsAre("118 Wagen 17 einde dienst - 123456"));
    const db::Row sheet = One("select * from ritstaten where lsn_id=1");
    if (std::string(actie) == "K") {
      EXPECT_TRUE(Logged(EntryType::kInformation,
                         "Taxis Dorvek ZOL uit dienst nemen chauffeur mislukt voor wagen 17. "
                         "Status van de ritstaat niet geschikt"));
      EXPECT_EQ(sheet.Int("lsn_status"), 0);
      EXPECT_EQ(Kmstand(1), 120000);
      continue;
    }
    EXPECT_EQ(sheet.Int("lsn_status"), 1);
    EXPECT_EQ(sheet.Text("lsn_actie"), "E");
    EXPECT_EQ(Date(sheet, "lsn_einde"), "2026-12-08 17:45:00");
    EXPECT_EQ(Date(sheet, "lsn_einde_bct"), "2026-12-08 17:45:00");
    EXPECT_EQ(Exact(sheet, "lsn_kilometerstand_einde"), "12345.60");
    EXPECT_EQ(Kmstand(1), 12345);
  }
}

TEST_P(ShiftFormsTest, ShiftEndWithoutOpenSheetOnlyNotifies) {
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4713 003=000 036=50");
  EXPECT_THAT(Notes(), ElementsAre("118 Wagen 31 einde dienst - 50"));
  EXPECT_EQ(Kmstand(3), 5000);
  EXPECT_EQ(log_.entries().back().type, EntryType::kInformation);  // the field log only
}

TEST_P(ShiftFormsTest, ShiftEndOdometerFailureEndsThePacketAfterTheSheetClosed) {
  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='B' WHERE lsn_id=1;");
  db_.FailWhenSqlContains("update wagens", "wagens op slot");
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 003=000 036=123456");
  EXPECT_EQ(log_.entries().back().type, EntryType::kWarning);
  EXPECT_EQ(log_.entries().back().text, "wagens op slot");
  EXPECT_EQ(One("select * from ritstaten where lsn_id=1").Int("lsn_status"), 1);  // no transaction
}

TEST_P(ShiftFormsTest, SpeechAndBreakRequestForms) {
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 003=005 004=10 038=1");
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 038=2");
  EXPECT_THAT(Notes(),
              ElementsAre("1 Wagen 17 verzoekt om spraak", "102 Wagen 17 verzoek pauze - 10 minuten"));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, ShiftFormsTest, test_support::AllDbPaths(),
                         test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::inbound
