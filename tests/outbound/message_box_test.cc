// The message box against a real SQLite file, natively and through ODBC, on a virtual
// clock: the dispatch side writes berichtenbox rows straight into the file, and each
// firing is one call, as the timer list makes it every 5 s.

#include "outbound/message_box.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/codepage.h"
#include "core/memory_event_log.h"
#include "db/forwarding_database.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"
#include "support/dispatch_fixture.h"
#include "support/failing_database.h"
#include "support/schema_statements.h"
#include "support/fake_gateway_link.h"
#include "outbound/vehicle_packets.h"
#include "support/test_database.h"

namespace dorvek::outbound {
namespace {

using namespace std::chrono_literals;
using core::EntryType;
using test_support::DbPath;
using ::testing::HasSubstr;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// A database that runs an action of another program just before the first statement
// whose SQL contains a text, then passes everything on.
class InterleavingDatabase : public db::ForwardingDatabase {
 public:
  explicit InterleavingDatabase(db::Database& inner) : ForwardingDatabase(inner), inner_(inner) {}
  void Before(std::string text, std::function<void()> action) {
    text_ = std::move(text);
    action_ = std::move(action);
  }
  std::vector<db::Row> Query(std::string_view sql, const db::Params& params = {}) override {
    Interleave(sql);
    return inner_.Query(sql, params);
  }
  void Execute(std::string_view sql, const db::Params& params = {}) override {
    Interleave(sql);
    inner_.Execute(sql, params);
  }

 private:
  void Interleave(std::string_view sql) {
    if (action_ && sql.find(text_) != std::string_view::npos) std::exchange(action_, nullptr)();
  }
  db::Database& inner_;
  std::string text_;
  std::function<void()> action_;
};

class MessageBoxTest : public ::testing::TestWithParam<DbPath> {
 protected:
  MessageBoxTest()
      : dispatch_(GetParam()), interleaving_(dispatch_.db()), db_(interleaving_), box_({log_, clock_, db_, link_}) {
    link_.SetRemote("127.0.0.1", "4001");
    link_.Connect();
    link_.CompleteAttempt();
  }

  // A row as the dispatch side writes it; gives its bbo_id.
  long long AddRow(const std::string& datum, long long actie, long long wag_id, long long pla_id = 0,
                   const std::string& pakket = "", int soort = 6, int verwerkt = 0) {
    dispatch_.file().Run(
        "insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_pakket,"
        " bbo_pla_id, bbo_actie) values (" +
        std::to_string(soort) + ", 1, " + std::to_string(wag_id) + ", " + Quoted(datum) + ", " +
        std::to_string(verwerkt) + ", " + Quoted(pakket) + ", " + std::to_string(pla_id) + ", " +
        std::to_string(actie) + ")");
    return dispatch_.Select("select max(bbo_id) as id from berichtenbox").at(0).Int("id");
  }

  // One firing, then the 5 s to the next.
  void Fire() {
    box_.HandleNext(&queue_);
    clock_.Advance(5s);
  }
  // A firing whose failure the timer list would catch; gives its text.
  std::string FireFailing() {
    try {
      box_.HandleNext(&queue_);
    } catch (const std::exception& e) {
      clock_.Advance(5s);
      return e.what();
    }
    clock_.Advance(5s);
    ADD_FAILURE() << "the firing did not fail";
    return {};
  }

  bool Processed(long long bbo_id) {
    return dispatch_.Select("select bbo_verwerkt from berichtenbox where bbo_id=" + std::to_string(bbo_id))
               .at(0)
               .Int("bbo_verwerkt") == 1;
  }
  std::string Datum(long long bbo_id) {
    return dispatch_.Select("select bbo_datum from berichtenbox where bbo_id=" + std::to_string(bbo_id))
        .at(0)
        .Date("bbo_datum")
        ->ToSql();
  }
  std::vector<std::string> Warnings() const {
    std::vector<std::string> texts;
    for (const auto& e : log_.entries())
      if (e.type == EntryType::kWarning) texts.push_back(e.text);
    return texts;
  }
  // The unit and the type of each queued packet.
  std::vector<std::string> Queued() const {
    std::vector<std::string> summary;
    for (const auto& packet : queue_) {
      const auto fields = gateway::ReadPacket(packet);
      summary.push_back(fields.Get("UNIT") + " " + fields.Get("TYPE") + " " + fields.Get("NUMBER"));
    }
    return summary;
  }

  // Every table named and column written is one the service declares it uses.
  void TearDown() override { test_support::ExpectStatementsInSchema(db_.executed()); }

  core::MemoryEventLog log_;
  core::ManualClock clock_;
  test_support::DispatchFixture dispatch_;
  InterleavingDatabase interleaving_;
  test_support::FailingDatabase db_;
  test_support::FakeGatewayLink link_;
  gateway::PacketQueue queue_;
  MessageBox box_;
};

// ---------------------------------------------------------------------------------
// Order, marking and the gateway

TEST_P(MessageBoxTest, OldestRowFirstOnePerFiringEachMarkedWithItsProcessingTime) {
  const long long later = AddRow("2026-12-08 10:00:02", kTerminalReset, 1);
  const long long earlier = AddRow("2026-12-08 10:00:01", kRittenWissen, 2);

  const std::string first_time = clock_.LocalNow().ToSql();
  Fire();
  EXPECT_EQ(Queued(), std::vector<std::string>{"mux4712 MACRO 3"});
  EXPECT_TRUE(Processed(earlier));
  EXPECT_EQ(Datum(earlier), first_time);
  EXPECT_FALSE(Processed(later));

  const std::string second_time = clock_.LocalNow().ToSql();
  Fire();
  EXPECT_EQ(Queued(), (std::vector<std::string>{"mux4712 MACRO 3", "mux4711 MACRO 0"}));
  EXPECT_TRUE(Processed(later));
  EXPECT_EQ(Datum(later), second_time);

  Fire();
  EXPECT_EQ(queue_.size(), 2u) << "processed rows are never read again";
  EXPECT_TRUE(Warnings().empty());
}

TEST_P(MessageBoxTest, RowsOfTheSameMomentGoInTheOrderWritten) {
  const long long offer = AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 101);
  const long long withdrawal = AddRow("2026-12-08 10:00:00", kRitIntrekken, 1, 101);
  Fire();
  EXPECT_TRUE(Processed(offer));
  EXPECT_FALSE(Processed(withdrawal));
  Fire();
  ASSERT_EQ(queue_.size(), 2u);
  EXPECT_EQ(gateway::ReadPacket(queue_[0]).Get("SIZE"), "037");
  EXPECT_EQ(gateway::ReadPacket(queue_[1]).Get("SIZE"), "001");
}

TEST_P(MessageBoxTest, RowsOfOtherKindsProcessedOnesAndThoseOfUnknownVehiclesAreNeverTouched) {
  const long long other_kind = AddRow("2026-01-01 10:00:00", kTerminalReset, 1, 0, "", 5);
  const long long done = AddRow("2026-01-01 10:00:00", kTerminalReset, 1, 0, "", 6, 1);
  const long long no_vehicle = AddRow("2026-01-01 10:00:00", kTerminalReset, 99);
  for (int i = 0; i < 3; ++i) Fire();
  EXPECT_TRUE(queue_.empty());
  EXPECT_EQ(dispatch_.Count("berichtenbox", "bbo_verwerkt=0 and bbo_datum='2026-01-01 10:00:00'"), 2);
  EXPECT_FALSE(Processed(other_kind));
  EXPECT_FALSE(Processed(no_vehicle));
  EXPECT_EQ(Datum(done), "2026-01-01 10:00:00");
  EXPECT_TRUE(Warnings().empty());
}

TEST_P(MessageBoxTest, NothingIsReadQueuedOrMarkedWhileTheGatewayIsNotConnected) {
  const long long first = AddRow("2026-12-08 10:00:01", kTerminalReset, 1);
  const long long second = AddRow("2026-12-08 10:00:02", kAlarmReset, 2);
  link_.GatewayCloses();
  Fire();
  link_.SetRemote("127.0.0.1", "4001");
  link_.Connect();  // an attempt in progress is not connected either
  Fire();
  EXPECT_TRUE(queue_.empty());
  EXPECT_TRUE(db_.executed().empty());
  EXPECT_FALSE(Processed(first));

  link_.CompleteAttempt();
  Fire();
  Fire();
  EXPECT_EQ(Queued(), (std::vector<std::string>{"mux4711 MACRO 0", "mux4712 MACRO 1"}));
  EXPECT_TRUE(Processed(first));
  EXPECT_TRUE(Processed(second));
}

TEST_P(MessageBoxTest, NothingWithoutAQueue) {
  const long long row = AddRow("2026-12-08 10:00:01", kTerminalReset, 1);
  box_.HandleNext(nullptr);
  EXPECT_FALSE(Processed(row));
}

// ---------------------------------------------------------------------------------
// Every action's packet and event-log text

TEST_P(MessageBoxTest, EveryActionQueuesItsPacketAndLogsItWithItsText) {
  dispatch_.file().Run(
      "update planning set pla_tijdstip='2026-12-08 09:30:00', pla_ophnummer='12', pla_bedrag=12.5,"
      " pla_combineren=1, pla_lopers=2 where pla_id=101;"
      "update wagens set wag_imei='' where wag_id=3;"
      "insert into zolinstellingen (zol_bdr_id, zol_vor_id, zol_rc, zol_taximeter, zol_ontvangstbewijs,"
      " zol_reserved1, zol_reserved2, zol_betaalinfo, zol_printinfo, zol_autoprint) values"
      " (1, 'A', 0, '11', '12', '13', '14', '15', '16', '17');");
  struct Expected {
    long long actie;
    long long wag_id;
    long long pla_id;
    std::string pakket;
    std::string log_text;
    std::vector<std::string> fields;
  };
  const std::vector<Expected> table = {
      {kTerminalReset, 1, 0, "", "Taxis Dorvek ZOL terminal reset ", {"123", "MACRO", "NEW", "60", "mux4711", "0", "0"}},
      {kRittenWissen, 2, 0, "", "Taxis Dorvek ZOL ritten wissen ", {"123", "MACRO", "NEW", "60", "mux4712", "3", "0"}},
      {kGeforceerdUitloggen, 1, 0, "", "Taxis Dorvek ZOL geforceerd uitloggen ",
       {"123", "FORM", "NEW", "60", "mux4711", "4", "001", "3", "0"}},
      {kAlarmReset, 2, 0, "", "Taxis Dorvek ZOL alarm reset ", {"123", "MACRO", "NEW", "60", "mux4712", "1", "0"}},
      {kChatbericht99, 1, 0, "Hénri,\r\nkom naar de\nstandplaats", "Taxis Dorvek ZOL chatbericht ",
       {"123", "FORM", "NEW", "60", "mux4711", "014", "001", "1", "Hénri,kom naar destandplaats"}},
      {kChatbericht98, 1, 0, "Hénri,\r\nkom naar de\nstandplaats", "Taxis Dorvek ZOL chatbericht ",
       {"123", "FORM", "NEW", "60", "mux4711", "014", "001", "1", "Hénri,kom naar destandplaats"}},
      {kTerminalReset, 3, 0, "", "Taxis Dorvek ZOL terminal reset ", {"123", "MACRO", "NEW", "60", "", "0", "0"}},
      {kRitIntrekken, 2, 101, "", "Taxis Dorvek ZOL pakket aangeboden ",
       {"101", "FORM", "NEW", "120", "mux4712", "0", "001", "0", "0000000101"}},
      {kRitAanbieden, 2, 101, "", "Taxis Dorvek ZOL pakket aangeboden (11121413151617)",
       {"101", "FORM", "NEW", "120", "mux4712", "0", "037", "0", "0000000101", "1", "0", "2", "",
        "3", "Stationsplein 12", "4", "Eindhoven", "5", "0930", "6", "Markt ", "7", "Geldrop", "9", "",
        "11", "0", "12", "01250", "13", "2", "14", "0", "17", "11121413151617", "28", "", "29", "", "30", "0",
        "31", "", "32", "1", "58", "", "59", "", "65", "0", "91", "NL", "92", "", "93", "12", "100", "NL",
        "101", "", "102", "", "110", "Memo:", "111", "", "113", "", "115", "", "117", "", "119", "", "121", "",
        "123", "", "125", ""}},
  };
  for (const Expected& e : table) {
    SCOPED_TRACE(e.log_text);
    const long long row = AddRow("2026-12-08 10:00:00", e.actie, e.wag_id, e.pla_id, e.pakket);
    const std::size_t entries = log_.entries().size();
    Fire();
    ASSERT_EQ(queue_.size(), 1u);
    const std::string packet = gateway::BuildPacket(e.fields);
    EXPECT_EQ(queue_.front(), packet);
    const auto logged = log_.entries();
    ASSERT_EQ(logged.size(), entries + 1);
    EXPECT_EQ(logged.back().type, EntryType::kInformation);
    EXPECT_EQ(logged.back().source, "DorvekZOL");
    EXPECT_EQ(logged.back().category, 1);
    EXPECT_EQ(logged.back().text, e.log_text + "\r\n" + packet);
    EXPECT_TRUE(Processed(row));
    queue_.clear();
  }
}

TEST_P(MessageBoxTest, RideOfferTakesTheTripOptionsOfItsCompanyTransportAndRcWithTheDefaultOtherwise) {
  // A quote in the kind of transport is a value like any other: the offer goes out, with
  // the trip options of exactly that kind.
  dispatch_.file().Run(
      "update planning set pla_soortvervoer='''', pla_rc=1 where pla_id=102;"
      "insert into zolinstellingen (zol_bdr_id, zol_vor_id, zol_rc, zol_taximeter, zol_ontvangstbewijs,"
      " zol_reserved1, zol_reserved2, zol_betaalinfo, zol_printinfo, zol_autoprint) values"
      " (1, '''', 1, 'q1', 'q2', 'q3', 'q4', 'q5', 'q6', 'q7'), (1, 'A', 1, 'a1', 'a2', 'a3', 'a4', 'a5', 'a6', 'a7'),"
      " (2, 'A', 0, 'b1', 'b2', 'b3', 'b4', 'b5', 'b6', 'b7');");
  AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 102);
  AddRow("2026-12-08 10:00:01", kRitAanbieden, 1, 101);  // company 1, 'A', rc 0: no row
  Fire();
  Fire();
  ASSERT_EQ(queue_.size(), 2u);
  EXPECT_EQ(gateway::ReadPacket(queue_[0]).Get("17"), "q1q2q4q3q5q6q7");
  EXPECT_EQ(gateway::ReadPacket(queue_[1]).Get("17"), "01050201040002");
  EXPECT_THAT(log_.texts()[0], HasSubstr("Taxis Dorvek ZOL pakket aangeboden (q1q2q4q3q5q6q7)\r\n"));
  EXPECT_EQ(dispatch_.Count("planning", "pla_com_status<>0"), 0) << "the offer changes no ride";
}

TEST_P(MessageBoxTest, AmountsOfRcRidesAreHiddenWhenConfigured) {
  dispatch_.file().Run("update planning set pla_rc=1, pla_bedrag=7.25 where pla_id in (101, 102);");
  AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 101);
  Fire();
  box_.Configure({.amounts = Amounts::kSuppressed});
  AddRow("2026-12-08 10:00:01", kRitAanbieden, 1, 102);
  Fire();
  ASSERT_EQ(queue_.size(), 2u);
  EXPECT_EQ(gateway::ReadPacket(queue_[0]).Get("12"), "00725");
  EXPECT_EQ(gateway::ReadPacket(queue_[1]).Get("12"), "00.00");
}

TEST_P(MessageBoxTest, LongFreeTextAndAccentsSurviveTheDatabase) {
  std::string tekst;
  while (core::Utf8Length(tekst) < 100000) tekst += "Cliënt wacht bij de ingang; één koffer. ";
  dispatch_.file().Run("update planning set pla_tekst=" + Quoted(tekst) +
                       ", pla_naam_reiziger='Hénri Çelik' where pla_id=101;");
  AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 101);
  Fire();
  ASSERT_EQ(queue_.size(), 1u);
  const auto fields = gateway::ReadPacket(queue_[0]);
  EXPECT_EQ(fields.Get("2"), "Hénri Çelik");
  EXPECT_EQ(fields.Get("111"), "Cliënt wacht bij de ingang  één koffer.");
  EXPECT_EQ(fields.Get("125"), "Cliënt wacht bij de ingang  één koffer.");
}

// ---------------------------------------------------------------------------------
// Rows that cannot be handled are set aside; the rows behind them go on

TEST_P(MessageBoxTest, VehicleGoneSinceTheRowWasReadIsMarkedWithoutAPacket) {
  const long long row = AddRow("2026-12-08 10:00:00", kTerminalReset, 3);
  interleaving_.Before("from wagens\nwhere wag_id", [&] { dispatch_.file().Run("delete from wagens where wag_id=3"); });
  Fire();
  EXPECT_TRUE(queue_.empty());
  EXPECT_TRUE(Processed(row));
  EXPECT_TRUE(log_.entries().empty());
}

TEST_P(MessageBoxTest, RowWhoseRideDoesNotExistIsSetAsideAndOfferedOnceTheRideAppears) {
  const long long missing = AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 999);
  const long long behind = AddRow("2026-12-08 10:00:01", kTerminalReset, 2);
  // The row that sends nothing does not use up the firing: the one behind it goes at once.
  Fire();
  EXPECT_EQ(Warnings(), std::vector<std::string>{
                            "Taxis Dorvek ZOL berichtenbox " + std::to_string(missing) +
                            " overgeslagen: rit 999 niet gevonden; nieuwe poging over 300 s, het bericht blijft "
                            "onverwerkt"});
  EXPECT_EQ(box_.set_aside(), 1u);
  EXPECT_EQ(Queued(), std::vector<std::string>{"mux4712 MACRO 0"});
  EXPECT_TRUE(Processed(behind));
  EXPECT_FALSE(Processed(missing));

  // Tried again after five minutes: still missing, aside again without a second warning.
  for (int i = 0; i < 60; ++i) Fire();
  EXPECT_EQ(queue_.size(), 1u);
  EXPECT_EQ(Warnings().size(), 1u);
  EXPECT_FALSE(Processed(missing));

  dispatch_.file().Run(
      "insert into planning (pla_id, pla_bdr_id, pla_ophstraat, pla_soortvervoer) values (999, 1, 'Laat', 'A')");
  for (int i = 0; i < 60 && !Processed(missing); ++i) Fire();
  EXPECT_TRUE(Processed(missing));
  ASSERT_EQ(queue_.size(), 2u);
  EXPECT_EQ(gateway::ReadPacket(queue_[1]).Get("0"), "0000000999");
  EXPECT_EQ(box_.set_aside(), 0u);
}

TEST_P(MessageBoxTest, WithdrawalOfARideThatDoesNotExistIsSetAside) {
  const long long missing = AddRow("2026-12-08 10:00:00", kRitIntrekken, 1, 998);
  AddRow("2026-12-08 10:00:01", kAlarmReset, 2);
  Fire();
  Fire();
  EXPECT_EQ(Queued(), std::vector<std::string>{"mux4712 MACRO 1"});
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_THAT(Warnings()[0], HasSubstr("berichtenbox " + std::to_string(missing) + " overgeslagen: rit 998"));
}

TEST_P(MessageBoxTest, RowWithAnActionNotInTheTableIsSetAsideAndStaysUnprocessed) {
  const long long unknown = AddRow("2026-12-08 10:00:00", 5, 1);
  const long long behind = AddRow("2026-12-08 10:00:01", kGeforceerdUitloggen, 2);
  Fire();
  Fire();
  EXPECT_EQ(Queued(), std::vector<std::string>{"mux4712 FORM 4"});
  EXPECT_TRUE(Processed(behind));
  EXPECT_FALSE(Processed(unknown));
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_THAT(Warnings()[0], HasSubstr("berichtenbox " + std::to_string(unknown) + " overgeslagen: onbekende actie 5"));
}

TEST_P(MessageBoxTest, RowFailingThreeFiringsInARowIsSetAsideAndTriedAgainLater) {
  const long long failing = AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 101);
  const long long behind = AddRow("2026-12-08 10:00:01", kTerminalReset, 2);
  db_.FailWhenSqlContains("from zolinstellingen", "Ongeldige kolomnaam 'zol_vor_id'");

  EXPECT_EQ(FireFailing(), "Ongeldige kolomnaam 'zol_vor_id'");
  EXPECT_EQ(FireFailing(), "Ongeldige kolomnaam 'zol_vor_id'");
  EXPECT_TRUE(Warnings().empty()) << "two failures are not yet the row's fault";
  EXPECT_EQ(FireFailing(), "Ongeldige kolomnaam 'zol_vor_id'");
  EXPECT_EQ(Warnings(), std::vector<std::string>{
                            "Taxis Dorvek ZOL berichtenbox " + std::to_string(failing) +
                            " overgeslagen: 3 keer na elkaar mislukt: Ongeldige kolomnaam 'zol_vor_id'; nieuwe "
                            "poging over 300 s, het bericht blijft onverwerkt"});
  EXPECT_TRUE(queue_.empty()) << "a failed offer queues nothing";
  Fire();
  EXPECT_EQ(Queued(), std::vector<std::string>{"mux4712 MACRO 0"});
  EXPECT_TRUE(Processed(behind));
  EXPECT_FALSE(Processed(failing));

  // Back after five minutes and failing at once: aside again, without another warning.
  for (int i = 0; i < 58; ++i) Fire();
  EXPECT_EQ(FireFailing(), "Ongeldige kolomnaam 'zol_vor_id'");
  Fire();
  EXPECT_EQ(Warnings().size(), 1u);
  EXPECT_EQ(box_.set_aside(), 1u);

  db_.ClearFailures();
  for (int i = 0; i < 61 && !Processed(failing); ++i) Fire();
  EXPECT_TRUE(Processed(failing));
  EXPECT_EQ(queue_.size(), 2u);
}

TEST_P(MessageBoxTest, DatabaseDownSetsNothingAsideAndCountsAfresh) {
  const long long row = AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 101);
  db_.FailWhenSqlContains("from zolinstellingen");
  FireFailing();
  FireFailing();
  // The database goes: the list of rows cannot be read, for longer than three firings.
  db_.FailWhenSqlContains("bbo_verwerkt=0", "Communication link failure");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(FireFailing(), "Communication link failure");
  EXPECT_EQ(box_.set_aside(), 0u);
  EXPECT_TRUE(Warnings().empty());

  db_.ClearFailures();
  db_.FailWhenSqlContains("from zolinstellingen");
  FireFailing();
  FireFailing();
  EXPECT_EQ(box_.set_aside(), 0u) << "the failures before the database went are forgotten";
  FireFailing();
  EXPECT_EQ(box_.set_aside(), 1u);
  EXPECT_FALSE(Processed(row));
}

TEST_P(MessageBoxTest, BrokenConnectionIsNotCountedAgainstTheRowAndQueuesNothing) {
  const long long row = AddRow("2026-12-08 10:00:00", kRitAanbieden, 1, 101);
  db_.FailWhenSqlContains("from zolinstellingen", "Communication link failure", db::FailureKind::kConnection);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(FireFailing(), "Communication link failure");
  EXPECT_EQ(box_.set_aside(), 0u);
  EXPECT_TRUE(Warnings().empty());
  EXPECT_TRUE(queue_.empty());
  db_.ClearFailures();
  Fire();
  EXPECT_TRUE(Processed(row));
  EXPECT_EQ(queue_.size(), 1u);
}

TEST_P(MessageBoxTest, FailedMarkingTakesThePacketBackAndLeavesTheRowForTheNextFiring) {
  queue_.push_back("earlier");
  const long long row = AddRow("2026-12-08 10:00:00", kAlarmReset, 1);
  db_.FailNext(0);
  db_.FailWhenSqlContains("UPDATE berichtenbox", "De database is alleen-lezen");
  EXPECT_EQ(FireFailing(), "De database is alleen-lezen");
  EXPECT_FALSE(Processed(row));
  // The packet was queued before the marking, and taken back when the marking failed:
  // the row is taken again, and its packet must not go out twice.
  EXPECT_EQ(queue_, (gateway::PacketQueue{"earlier"}));
  db_.ClearFailures();
  Fire();
  EXPECT_TRUE(Processed(row));
  EXPECT_EQ(queue_.size(), 2u);
}

TEST_P(MessageBoxTest, TextTooLongForOnePacketIsCutToFitWithAWarningAndSent) {
  std::string text = "Begin\r\n";
  while (core::Utf8Length(text) < 100000) text += "Ä bientôt, één regel tekst. ";
  const long long row = AddRow("2026-12-08 10:00:00", kChatbericht99, 1, 0, text);
  Fire();
  ASSERT_EQ(queue_.size(), 1u);
  EXPECT_EQ(core::Utf8Length(queue_[0]), 9999u);
  EXPECT_EQ(queue_[0].substr(1, 4), "9999");
  EXPECT_TRUE(core::IsValidUtf8(queue_[0]));
  // The reader of the packet would see only 1000 characters of the value; look at the text.
  EXPECT_THAT(queue_[0], HasSubstr("\x03" "014\x03" "001\x03" "1\x03" "BeginÄ bientôt, één regel tekst. Ä"));
  EXPECT_TRUE(queue_[0].ends_with("\x03\x04XCRC"));
  EXPECT_TRUE(Processed(row));
  const auto warnings = Warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("Taxis Dorvek ZOL chatbericht van berichtenbox " + std::to_string(row) +
                                     " ingekort van " + std::to_string(core::Utf8Length(text) - 2) + " tot "));
  EXPECT_THAT(log_.texts().back(), HasSubstr("Taxis Dorvek ZOL chatbericht \r\n"));
}

// ---------------------------------------------------------------------------------
// The packet and the marking go together, whatever fails

TEST_P(MessageBoxTest, ThePacketStaysQueuedExactlyWhenItsRowIsMarked) {
  enum class Fault { kNone, kNotSafe, kMarkingFails, kAnswerLostMarked, kAnswerLostNotMarked };
  struct Case {
    const char* name;
    Fault fault;
    bool queued_after_firing;  // and held, when its marking is not known
    bool marked_in_the_end;
  };
  for (const Case& c : {Case{"all well", Fault::kNone, true, true},
                        Case{"queue file cannot be written", Fault::kNotSafe, false, true},
                        Case{"marking fails", Fault::kMarkingFails, false, true},
                        Case{"answer lost, row marked", Fault::kAnswerLostMarked, true, true},
                        Case{"answer lost, row not marked", Fault::kAnswerLostNotMarked, true, true}}) {
    SCOPED_TRACE(c.name);
    queue_.clear();
    db_.ClearFailures();
    const long long row = AddRow("2026-12-08 10:00:00", kAlarmReset, 1);
    bool safe = c.fault != Fault::kNotSafe;
    if (c.fault == Fault::kMarkingFails) db_.FailWhenSqlContains("UPDATE berichtenbox", "alleen-lezen");
    if (c.fault == Fault::kAnswerLostMarked) db_.FailAfter("UPDATE berichtenbox");
    if (c.fault == Fault::kAnswerLostNotMarked)
      db_.FailWhenSqlContains("UPDATE berichtenbox", "Communication link failure", db::FailureKind::kConnection);
    try {
      box_.HandleNext(&queue_, [&] { return safe; });
    } catch (const std::exception&) {
    }
    EXPECT_EQ(queue_.size(), c.queued_after_firing ? 1u : 0u);
    const bool unknown = c.fault == Fault::kAnswerLostMarked || c.fault == Fault::kAnswerLostNotMarked;
    if (!queue_.empty()) {
      EXPECT_EQ(queue_.entry(0).bbo_id, unknown ? row : 0) << "held while not known";
    }
    // The next firings, once all is well again, settle the held packet and take the row
    // again where it was not marked: in the end exactly one packet, its row marked.
    db_.ClearFailures();
    safe = true;
    for (int i = 0; i < 3; ++i) Fire();
    EXPECT_EQ(Processed(row), c.marked_in_the_end);
    ASSERT_EQ(queue_.size(), 1u);
    EXPECT_EQ(queue_.entry(0).bbo_id, 0);
    dispatch_.file().Run("delete from berichtenbox");
  }
}

// No row overtakes, none blocks: rows that send nothing do not use up the firing, and a
// row set aside goes stale once a later row for its ride or vehicle has been handled.
TEST_P(MessageBoxTest, NoRowOvertakesAndNoneBlocks) {
  for (int i = 0; i < 61; ++i) AddRow("2026-12-08 10:00:00", 5, 1);  // an action not in the table
  const long long good = AddRow("2026-12-08 10:00:01", kTerminalReset, 2);
  Fire();
  EXPECT_EQ(Queued(), std::vector<std::string>{"mux4712 MACRO 0"}) << "in the first firing";
  EXPECT_TRUE(Processed(good));
  EXPECT_EQ(box_.set_aside(), 61u);
  EXPECT_EQ(Warnings().size(), 61u);

  // A withdrawal handled after its offer was set aside: the offer is never sent.
  dispatch_.file().Run("update berichtenbox set bbo_verwerkt=1");
  queue_.clear();
  log_.Clear();
  const long long offer = AddRow("2026-12-08 11:00:00", kRitAanbieden, 1, 101);
  const long long withdrawal = AddRow("2026-12-08 11:00:01", kRitIntrekken, 1, 101);
  db_.FailWhenSqlContains("from zolinstellingen", "Ongeldige kolomnaam");
  for (int i = 0; i < 3; ++i) FireFailing();
  db_.ClearFailures();
  Fire();
  EXPECT_TRUE(Processed(withdrawal));
  for (int i = 0; i < 70; ++i) Fire();  // well past the five minutes
  EXPECT_FALSE(Processed(offer));
  EXPECT_EQ(Queued(), std::vector<std::string>{"mux4711 FORM 0"});
  EXPECT_THAT(Warnings().back(), HasSubstr("berichtenbox " + std::to_string(offer) + " vervallen: berichtenbox " +
                                           std::to_string(withdrawal) + " voor dezelfde rit 101"));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, MessageBoxTest, test_support::AllDbPaths(), test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::outbound
