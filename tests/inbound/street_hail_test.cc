#include "inbound/street_hail.h"

#include <gtest/gtest.h>

#include "support/handler_fixture.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;
using test_support::Body;
using test_support::TerminalPacket;

constexpr const char* kTime = "2024-05-01 12:30:05";

// Vehicle 31 (wag_id 3, terminal mux4713) on duty without a passenger, company
// constants, and ride numbers that continue at 25000.
class StreetHailTest : public test_support::HandlerFixture {
 protected:
  StreetHailTest() {
    fixture_.file().Run(
        "INSERT INTO constanten (con_bdr_id, con_contant, con_tarief, con_land) VALUES (1, 7, 3, 'NLD');"
        "INSERT INTO ritstaten (lsn_id, lsn_bdr_id, lsn_wag_id, lsn_chf_id, lsn_status, lsn_actie)"
        "  VALUES (3, 1, 3, 1, 0, 'B');"
        "UPDATE sqlite_sequence SET seq=24999 WHERE name='planning';");
  }
  void Hail(const std::string& unit, const Body& body, const std::string& number = "001") {
    Handle(TerminalPacket("FORM", "NEW", kTime, unit, number, body));
  }
  const core::DateTime packet_time_ = *core::DateTime::FromParts(2024, 5, 1, 12, 30, 5);
};

TEST_P(StreetHailTest, StartCreatesTheRideAndEndCompletesIt) {
  Hail("4713", {{"001", "5"}, {"003", "Stationsplein 1"}, {"004", "Utrecht, NLD"}, {"036", "1234567"},
                {"011", "2"}, {"034", "1"}, {"060", "88"}, {"063", "1"}, {"064", "4"}, {"069", "036"},
                {"033", "150"}});
  db::Row ride = Ride(25000);
  EXPECT_EQ(ride.Int("pla_cloud"), 1);
  EXPECT_EQ(ride.Int("pla_wagen"), 3);
  EXPECT_EQ(ride.Int("pla_chauffeur"), 1);
  EXPECT_EQ(ride.Date("pla_datum")->ToSql(), clock_.LocalNow().ToSql());
  EXPECT_EQ(ride.Date("pla_tijdstip")->ToSql(), clock_.LocalNow().ToSql());
  for (const char* column : {"pla_tijdstip_locatie", "pla_tijdstip_toewijzen", "pla_tijdstip_bestemmen"})
    EXPECT_EQ(*ride.Date(column), packet_time_) << column;
  EXPECT_EQ(ride.Text("pla_status"), "K");
  EXPECT_EQ(ride.Int("pla_rc", -1), 0);
  EXPECT_EQ(ride.Int("pla_lopers"), 1);
  EXPECT_EQ(ride.Int("pla_reiziger"), 7);
  EXPECT_EQ(ride.Int("pla_tarief_bedrijf"), 3);
  EXPECT_EQ(ride.Int("pla_lsn"), 3);
  EXPECT_EQ(ride.Int("pla_bdr_id"), 1);
  EXPECT_EQ(ride.Text("pla_oph_land"), "NL");
  EXPECT_EQ(ride.Text("pla_ophstraat"), "Stationsplein 1");
  EXPECT_EQ(ride.Text("pla_ophstad"), "Utrecht");
  EXPECT_EQ(ride.Text("pla_start_straat"), "Stationsplein 1");
  EXPECT_EQ(ride.Text("pla_start_stad"), "Utrecht, NLD");
  EXPECT_EQ(ride.Exact("pla_km_map").ToString(), "123456.70");
  EXPECT_EQ(ride.Exact("pla_odo_start").ToString(), "123456.70");
  for (const char* column : {"pla_opmerking", "pla_naam_reiziger"}) EXPECT_EQ(ride.Text(column), "INSTAPRIT");
  EXPECT_EQ(ride.Int("pla_rolstoel", -1), 0);
  EXPECT_EQ(ride.Int("pla_combineren", -1), 0);
  EXPECT_EQ(ride.Text("pla_soortvervoer") + ride.Text("pla_soortwagen") + ride.Text("pla_soortrit") +
                ride.Text("pla_filter"),
            "PBSI");
  EXPECT_EQ(ride.Int("pla_tx_payment_type"), 2);
  EXPECT_EQ(ride.Int("pla_tx_max_speed"), 88);
  EXPECT_EQ(ride.Int("pla_tx_arrival_stop"), 4);
  EXPECT_EQ(ride.Exact("pla_tx_paid_amount").ToString(), "0.36");
  EXPECT_EQ(ride.Exact("pla_tx_paid_extra").ToString(), "1.50");
  EXPECT_TRUE(ride.IsNull("pla_tijdstip_vrijmelden"));  // not named: left to the database
  db::Row sheet = Sheet(3);
  EXPECT_EQ(sheet.Int("lsn_rit"), 25000);
  EXPECT_EQ(sheet.Int("lsn_route", -1), 0);
  EXPECT_EQ(sheet.Text("lsn_actie"), "K");

  clock_.Advance(std::chrono::minutes(20));
  Hail("4713", {{"000", "25000"}, {"001", "3"}, {"012", "1850"}, {"036", "1234890"}, {"003", "Markt 3"},
                {"004", "Houten"}, {"069", "2000"}});
  ride = Ride(25000);
  EXPECT_EQ(ride.Exact("pla_bedrag_1").ToString(), "18.50");
  EXPECT_EQ(ride.Exact("pla_odo_stop").ToString(), "123489.00");
  EXPECT_EQ(ride.Exact("pla_km_map").ToString(), "32.30");
  EXPECT_EQ(ride.Exact("pla_tx_paid_amount").ToString(), "20.00");
  EXPECT_EQ(ride.Exact("pla_tx_paid_extra").ToString(), "0.00");
  EXPECT_EQ(ride.Text("pla_status"), "V");
  EXPECT_EQ(ride.Int("pla_cloud"), 2);
  EXPECT_EQ(*ride.Date("pla_tijdstip_vrijmelden"), packet_time_);
  EXPECT_EQ(ride.Text("pla_besstraat") + "|" + ride.Text("pla_eind_straat"), "Markt 3|Markt 3");
  EXPECT_EQ(ride.Text("pla_beststad") + "|" + ride.Text("pla_eind_stad"), "Houten|Houten");
  EXPECT_EQ(RouteStatusCalls(3), 1);
  EXPECT_EQ(Notifications(), std::vector<std::string>{"106: Wagen 31 heeft een instaprit"});
}

TEST_P(StreetHailTest, StartTakesTheAddressAsFarAsTheColumnsGo) {
  Hail("4713", {{"001", "5"}});
  db::Row ride = Ride(25000);
  EXPECT_EQ(ride.Text("pla_ophstraat") + "|" + ride.Text("pla_ophstad"), "INSTAPRIT|INSTAPRIT");
  for (const char* column : {"pla_start_straat", "pla_start_stad", "pla_km_map", "pla_odo_start"})
    EXPECT_TRUE(ride.IsNull(column)) << column;

  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='M' WHERE lsn_id=3");
  const std::string street = "Burgemeester van Reenensingel 101";  // 33 characters
  Hail("4713", {{"001", "5"}, {"003", street}, {"004", "Gouda"}});
  ride = Ride(25001);
  EXPECT_EQ(ride.Text("pla_start_straat"), street);
  EXPECT_EQ(ride.Text("pla_ophstraat"), street.substr(0, 20));
  EXPECT_EQ(ride.Text("pla_ophstad"), "Gouda");
}

TEST_P(StreetHailTest, StartIsRefusedWithoutAnAvailableTripSheet) {
  // Vehicle 17's only open trip sheet carries a passenger.
  Hail("4711", {{"001", "5"}});
  EXPECT_TRUE(Logged(EntryType::kInformation,
                     "Taxis Dorvek ZOL aanmaken instaprit mislukt voor wagen 17. Wagen niet in dienst of "
                     "geen beschikbare ritstaat gevonden."));
  // Only NUMBER "001" with STATUS NEW and action 5 or 3 is a street-hail packet.
  Hail("4713", {{"001", "5"}}, "1");
  Hail("4713", {{"001", "4"}});
  Handle(TerminalPacket("FORM", "ACK", kTime, "4713", "001", {{"001", "5"}}));
  EXPECT_EQ(fixture_.Count("planning"), 4);
  EXPECT_TRUE(Notifications().empty());
}

TEST_P(StreetHailTest, RideThatCannotBeFoundAfterPostingIsNotBound) {
  // Another program takes the new ride out of status K at once.
  fixture_.file().Run(
      "CREATE TRIGGER elders AFTER INSERT ON planning BEGIN "
      "UPDATE planning SET pla_status='W' WHERE pla_id=new.pla_id; END;");
  Hail("4713", {{"001", "5"}});
  EXPECT_EQ(Notifications(), std::vector<std::string>{"999: Wagen 31 aanmaken instaprit mislukt"});
  EXPECT_TRUE(Logged(EntryType::kInformation,
                     "Taxis Dorvek ZOL aanmaken instaprit mislukt voor wagen 31. Geen beschikbare rit gevonden."));
  EXPECT_EQ(Ride(25000).Text("pla_naam_reiziger"), "INSTAPRIT");
  EXPECT_EQ(Sheet(3).Text("lsn_actie"), "B");
}

TEST_P(StreetHailTest, EndWithoutRideIdCompletesTheRideOnTheTripSheet) {
  // Ride 101 on vehicle 17's trip sheet, odometer 1000.0 at its start; not a street hail.
  fixture_.file().Run("UPDATE planning SET pla_km_map=1000.00 WHERE pla_id=101");
  Hail("4711", {{"000", "9999"}, {"001", "3"}, {"036", "12345"}, {"003", "Elders 1"}});
  db::Row ride = Ride(101);
  EXPECT_EQ(ride.Exact("pla_km_map").ToString(), "234.50");
  EXPECT_EQ(ride.Text("pla_status"), "V");
  EXPECT_TRUE(ride.IsNull("pla_filter"));
  EXPECT_EQ(ride.Text("pla_besstraat"), "Markt");  // only a street-hail ride takes the terminal's
  EXPECT_TRUE(ride.IsNull("pla_eind_straat"));
  EXPECT_EQ(Notifications(), std::vector<std::string>{"107: Wagen 17 einde instaprit"});
  EXPECT_EQ(RouteStatusCalls(1), 1);

  // Without an odometer reading the stop reads 0 and the distance minus what it was.
  Hail("4711", {{"001", "3"}});
  ride = Ride(101);
  EXPECT_EQ(ride.Exact("pla_odo_stop").ToString(), "0.00");
  EXPECT_EQ(ride.Exact("pla_km_map").ToString(), "-234.50");
}

TEST_P(StreetHailTest, EndOfAnUnknownRideWritesNothing) {
  Hail("4711", {{"000", "25123"}, {"001", "3"}, {"036", "12345"}});
  Hail("4713", {{"001", "3"}});  // no trip sheet with a passenger
  EXPECT_EQ(Notifications(), std::vector<std::string>{"107: Wagen 31 einde instaprit"});
  EXPECT_EQ(fixture_.Count("planning", "pla_status='V'"), 0);
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE"), 0);
}

TEST_P(StreetHailTest, DatabaseFailureEndsThePacketWithItsText) {
  db_.FailWhenSqlContains("INSERT INTO planning", "planning zit vol");
  Hail("4713", {{"001", "5"}});
  EXPECT_EQ(Entries(EntryType::kWarning), std::vector<std::string>{"planning zit vol"});
  EXPECT_EQ(Sheet(3).Text("lsn_actie"), "B");
  EXPECT_TRUE(Notifications().empty());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, StreetHailTest, test_support::AllDbPaths(), test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::inbound
