#include "inbound/street_hail.h"

#include <gtest/gtest.h>

#include "support/handler_fixture.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;
using test_support::Body;
using test_support::Show;
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
        // An old ride of no vehicle, so new rides are numbered from 25000 on, above the
        // 10000 an end needs.
        "INSERT INTO planning (pla_id, pla_status) VALUES (24999, 'X');");
  }
  void Hail(const std::string& unit, const Body& body, const std::string& number = "001") {
    Handle(TerminalPacket("FORM", "NEW", kTime, unit, number, body));
  }
};

TEST_P(StreetHailTest, StartCreatesTheRideAndEndCompletesIt) {
  Hail("4713", {{"001", "5"}, {"003", "Stationsplein 1"}, {"004", "Utrecht, NLD"}, {"036", "1234567"},
                {"011", "2"}, {"034", "1"}, {"060", "88"}, {"063", "1"}, {"064", "4"}, {"069", "036"},
                {"033", "150"}});
  const std::string now = clock_.LocalNow().ToSql();
  EXPECT_EQ(Show(Ride(25000), {"pla_cloud", "pla_wagen", "pla_chauffeur", "pla_datum", "pla_tijdstip",
                               "pla_tijdstip_locatie", "pla_tijdstip_toewijzen", "pla_tijdstip_bestemmen",
                               "pla_status", "pla_rc", "pla_lopers", "pla_reiziger", "pla_tarief_bedrijf",
                               "pla_lsn", "pla_bdr_id", "pla_oph_land"}),
            "pla_cloud=1 pla_wagen=3 pla_chauffeur=1 pla_datum=" + now + " pla_tijdstip=" + now +
                " pla_tijdstip_locatie=2024-05-01 12:30:05 pla_tijdstip_toewijzen=2024-05-01 12:30:05"
                " pla_tijdstip_bestemmen=2024-05-01 12:30:05 pla_status=K pla_rc=0 pla_lopers=1 pla_reiziger=7"
                " pla_tarief_bedrijf=3 pla_lsn=3 pla_bdr_id=1 pla_oph_land=NL");
  EXPECT_EQ(Show(Ride(25000), {"pla_ophstraat", "pla_ophstad", "pla_opmerking", "pla_start_straat",
                               "pla_start_stad", "pla_km_map", "pla_odo_start", "pla_rolstoel",
                               "pla_soortvervoer", "pla_soortwagen", "pla_soortrit", "pla_naam_reiziger",
                               "pla_combineren", "pla_filter"}),
            "pla_ophstraat=Stationsplein 1 pla_ophstad=Utrecht pla_opmerking=INSTAPRIT"
            " pla_start_straat=Stationsplein 1 pla_start_stad=Utrecht, NLD pla_km_map=123456.70"
            " pla_odo_start=123456.70 pla_rolstoel=0 pla_soortvervoer=P pla_soortwagen=B pla_soortrit=S"
            " pla_naam_reiziger=INSTAPRIT pla_combineren=0 pla_filter=I");
  const std::initializer_list<const char*> trip = {"pla_tx_payment_type", "pla_tx_stop_type",   "pla_tx_max_speed",
                                                   "pla_tx_beladen",      "pla_tx_arrival_stop", "pla_tx_paid_amount",
                                                   "pla_tx_paid_extra"};
  EXPECT_EQ(Show(Ride(25000), trip),
            "pla_tx_payment_type=2 pla_tx_stop_type=1 pla_tx_max_speed=88 pla_tx_beladen=1 pla_tx_arrival_stop=4"
            " pla_tx_paid_amount=0.36 pla_tx_paid_extra=1.50");
  // Columns the table does not name are left to the database.
  EXPECT_EQ(Show(Ride(25000), {"pla_com_status", "pla_tijdstip_vrijmelden", "pla_besstraat"}),
            "pla_com_status=0 pla_tijdstip_vrijmelden=NULL pla_besstraat=NULL");
  EXPECT_EQ(Show(Sheet(3), {"lsn_rit", "lsn_route", "lsn_actie"}), "lsn_rit=25000 lsn_route=0 lsn_actie=K");

  clock_.Advance(std::chrono::minutes(20));
  Hail("4713", {{"000", "25000"}, {"001", "3"}, {"012", "1850"}, {"036", "1234890"}, {"003", "Markt 3"},
                {"004", "Houten"}, {"069", "2000"}});
  EXPECT_EQ(Show(Ride(25000), {"pla_cloud", "pla_status", "pla_filter", "pla_tijdstip_vrijmelden", "pla_bedrag_1",
                               "pla_km_map", "pla_odo_stop", "pla_besstraat", "pla_eind_straat", "pla_beststad",
                               "pla_eind_stad"}),
            "pla_cloud=2 pla_status=V pla_filter=I pla_tijdstip_vrijmelden=2024-05-01 12:30:05 pla_bedrag_1=18.50"
            " pla_km_map=32.30 pla_odo_stop=123489.00 pla_besstraat=Markt 3 pla_eind_straat=Markt 3"
            " pla_beststad=Houten pla_eind_stad=Houten");
  EXPECT_EQ(Show(Ride(25000), trip),
            "pla_tx_payment_type=0 pla_tx_stop_type=0 pla_tx_max_speed=0 pla_tx_beladen=0 pla_tx_arrival_stop=0"
            " pla_tx_paid_amount=20.00 pla_tx_paid_extra=0.00");
  EXPECT_EQ(RouteStatusCalls(3), 1);
  EXPECT_EQ(Notifications(), std::vector<std::string>{"106: Wagen 31 heeft een instaprit"});

  // The same end again (by its number, or through the trip sheet that still names the
  // ride) leaves the completed ride and its distance as they are.
  Hail("4713", {{"000", "25000"}, {"001", "3"}, {"012", "999"}, {"036", "1234890"}});
  Hail("4713", {{"001", "3"}, {"036", "1234890"}});
  EXPECT_EQ(Show(Ride(25000), {"pla_status", "pla_bedrag_1", "pla_km_map"}),
            "pla_status=V pla_bedrag_1=18.50 pla_km_map=32.30");
  EXPECT_EQ(RouteStatusCalls(3), 1);
  EXPECT_TRUE(Logged(EntryType::kInformation,
                     "Taxis Dorvek ZOL einde instaprit genegeerd voor wagen 31: rit 25000 was al voltooid"));
}

TEST_P(StreetHailTest, StartTakesTheAddressAsFarAsTheColumnsGo) {
  fixture_.file().Run("DELETE FROM constanten");  // a company without constants gives NULLs
  Hail("4713", {{"001", "5"}});
  db::Row ride = Ride(25000);
  EXPECT_EQ(ride.Text("pla_ophstraat") + "|" + ride.Text("pla_ophstad"), "INSTAPRIT|INSTAPRIT");
  EXPECT_EQ(Show(ride, {"pla_start_straat", "pla_start_stad", "pla_km_map", "pla_odo_start", "pla_reiziger",
                        "pla_tarief_bedrijf", "pla_oph_land"}),
            "pla_start_straat=NULL pla_start_stad=NULL pla_km_map=NULL pla_odo_start=NULL pla_reiziger=NULL"
            " pla_tarief_bedrijf=NULL pla_oph_land=NULL");

  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='M' WHERE lsn_id=3");
  const std::string street = "Burgemeester van Reenensingel 101";  // 33 characters
  Hail("4713", {{"001", "5"}, {"003", street}, {"004", "'s-Hertogenbosch, NLD"}});
  ride = Ride(25001);
  EXPECT_EQ(ride.Text("pla_start_straat"), street);
  EXPECT_EQ(ride.Text("pla_ophstraat"), street.substr(0, 20));
  EXPECT_EQ(ride.Text("pla_ophstad"), "'s-Hertogenbosch");  // ", NLD" goes before the cut
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
  EXPECT_EQ(fixture_.Count("planning"), 5);  // the sample's four and the old one
  EXPECT_TRUE(Notifications().empty());
}

TEST_P(StreetHailTest, RideThatCannotBeFoundAfterPostingIsNotBound) {
  // Another program takes the new ride out of status K at once.
  if (GetParam() == test_support::DbPath::kPostgres) {
    fixture_.file().Run(
        "CREATE FUNCTION elders() RETURNS trigger AS $$ BEGIN "
        "UPDATE planning SET pla_status='W' WHERE pla_id=NEW.pla_id; RETURN NULL; END $$ LANGUAGE plpgsql;"
        "CREATE TRIGGER elders AFTER INSERT ON planning FOR EACH ROW EXECUTE FUNCTION elders();");
  } else {
    fixture_.file().Run(
        "CREATE TRIGGER elders AFTER INSERT ON planning BEGIN "
        "UPDATE planning SET pla_status='W' WHERE pla_id=new.pla_id; END;");
  }
  Hail("4713", {{"001", "5"}});
  EXPECT_EQ(Notifications(), std::vector<std::string>{"999: Wagen 31 aanmaken instaprit mislukt"});
  EXPECT_TRUE(Logged(EntryType::kInformation,
                     "Taxis Dorvek ZOL aanmaken instaprit mislukt voor wagen 31. Geen beschikbare rit gevonden."));
  EXPECT_EQ(Ride(25000).Text("pla_naam_reiziger"), "INSTAPRIT");
  EXPECT_EQ(Sheet(3).Text("lsn_actie"), "B");
}

TEST_P(StreetHailTest, EndWithoutRideIdCompletesTheRideOnTheTripSheet) {
  // Ride 101 on vehicle 17's trip sheet, odometer 1000.0 at its start; not a street hail.
  fixture_.file().Run("UPDATE planning SET pla_km_map=1000.00, pla_odo_start=1000.00 WHERE pla_id=101");
  Hail("4711", {{"000", "9999"}, {"001", "3"}, {"036", "12345"}, {"003", "Elders 1"}});
  db::Row ride = Ride(101);
  EXPECT_EQ(ride.Exact("pla_km_map").ToString(), "234.50");
  EXPECT_EQ(ride.Text("pla_status"), "V");
  EXPECT_TRUE(ride.IsNull("pla_filter"));
  EXPECT_EQ(ride.Text("pla_besstraat"), "Markt");  // only a street-hail ride takes the terminal's
  EXPECT_TRUE(ride.IsNull("pla_eind_straat"));
  EXPECT_EQ(Notifications(), std::vector<std::string>{"107: Wagen 17 einde instaprit"});
  EXPECT_EQ(RouteStatusCalls(1), 1);

  // The distance needs both readings, and a reading not sent is not written. Each row:
  // the reading held since the start, the end packet, the ride after.
  const struct {
    std::string held;
    Body end;
    std::string after;
  } rows[] = {{"1234.60", {{"001", "3"}, {"036", "12345"}}, "pla_km_map=-0.10 pla_odo_stop=1234.50"},
              {"1000.50", {{"001", "3"}, {"036", ""}}, "pla_km_map=1000.50 pla_odo_stop=NULL"},
              {"1000.50", {{"001", "3"}}, "pla_km_map=1000.50 pla_odo_stop=NULL"},
              {"NULL", {{"001", "3"}, {"036", "12345"}}, "pla_km_map=NULL pla_odo_stop=1234.50"}};
  for (const auto& row : rows) {
    fixture_.file().Run("UPDATE planning SET pla_status='K', pla_odo_stop=NULL, pla_km_map=" + row.held +
                        ", pla_odo_start=" + row.held + " WHERE pla_id=101");
    Hail("4711", row.end);
    EXPECT_EQ(Show(Ride(101), {"pla_status", "pla_km_map", "pla_odo_stop"}), "pla_status=V " + row.after);
  }
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
