#include "inbound/ride_progress.h"

#include <gtest/gtest.h>

#include "support/handler_fixture.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;
using test_support::Body;
using test_support::Show;
using test_support::TerminalPacket;

using Texts = std::vector<std::string>;

// Ride 101 on trip sheet 1 of vehicle 17 (wag_id 1, mux4711).
class RideProgressTest : public test_support::HandlerFixture {
 protected:
  void Form(const Body& body, const std::string& time = "2024-05-01 12:30:05") {
    Handle(TerminalPacket("FORM", "NEW", time, "4711", "000", body));
  }
};

TEST_P(RideProgressTest, BoardingThenAlightingGivesOdometerDistanceAndAmount) {
  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='B' WHERE lsn_id=1");
  Form({{"000", "101"}, {"001", "002"}, {"036", "100000"}, {"003", "Stationsplein"}, {"004", "Eindhoven"},
        {"031", "P-77"}, {"062", "120"}});
  EXPECT_EQ(Show(Ride(101), {"pla_cloud", "pla_status", "pla_tijdstip_bestemmen", "pla_bedrag_1", "pla_km_map",
                             "pla_pasnummer", "pla_start_straat", "pla_start_stad", "pla_odo_start",
                             "pla_wachtseconden", "pla_retour_rbs", "pla_com_status"}),
            "pla_cloud=2 pla_status=K pla_tijdstip_bestemmen=2024-05-01 12:30:05 pla_bedrag_1=0.00"
            " pla_km_map=10000.00 pla_pasnummer=P-77 pla_start_straat=Stationsplein pla_start_stad=Eindhoven"
            " pla_odo_start=10000.00 pla_wachtseconden=120 pla_retour_rbs=1 pla_com_status=1");
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "K");
  EXPECT_EQ(RouteStatusCalls(1), 1);

  Form({{"000", "101"}, {"001", "003"}, {"036", "101234"}, {"012", "2350"}, {"003", "Markt"}, {"004", "Geldrop"},
        {"011", "2"}, {"034", "1"}, {"060", "97"}, {"063", "1"}, {"064", "3"}, {"069", "2500"}, {"033", "150"}},
       "2024-05-01 12:55:00");
  EXPECT_EQ(Show(Ride(101), {"pla_com_status", "pla_status", "pla_tijdstip_vrijmelden", "pla_bedrag_1", "pla_km_map",
                             "pla_pasnummer", "pla_eind_straat", "pla_eind_stad", "pla_odo_start", "pla_odo_stop"}),
            "pla_com_status=1 pla_status=V pla_tijdstip_vrijmelden=2024-05-01 12:55:00 pla_bedrag_1=23.50"
            " pla_km_map=123.40 pla_pasnummer=P-77 pla_eind_straat=Markt pla_eind_stad=Geldrop pla_odo_start=10000.00"
            " pla_odo_stop=10123.40");
  EXPECT_EQ(Show(Ride(101), {"pla_tx_payment_type", "pla_tx_stop_type", "pla_tx_max_speed", "pla_tx_beladen",
                             "pla_tx_arrival_stop", "pla_tx_paid_amount", "pla_tx_paid_extra"}),
            "pla_tx_payment_type=2 pla_tx_stop_type=1 pla_tx_max_speed=97 pla_tx_beladen=1 pla_tx_arrival_stop=3"
            " pla_tx_paid_amount=25.00 pla_tx_paid_extra=1.50");
  EXPECT_EQ(RouteStatusCalls(1), 2);

  // A completed ride is not completed again, nor boarded again.
  Form({{"000", "101"}, {"001", "003"}, {"036", "109999"}});
  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='B' WHERE lsn_id=1");
  Form({{"000", "101"}, {"001", "002"}, {"036", "200000"}, {"031", "X"}});
  EXPECT_EQ(Show(Ride(101), {"pla_status", "pla_bedrag_1", "pla_km_map", "pla_pasnummer"}),
            "pla_status=V pla_bedrag_1=23.50 pla_km_map=123.40 pla_pasnummer=P-77");
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "B");
  EXPECT_TRUE(Logged(EntryType::kInformation,
                     "Taxis Dorvek ZOL instappen genegeerd voor wagen 17: rit 101 was al voltooid"));
  EXPECT_EQ(RouteStatusCalls(1), 2);
  EXPECT_EQ(Notifications(), (Texts{"113: Wagen 17 klant ingestapt Stationsplein Eindhoven",
                                    "115: Wagen 17 klant uitgestapt Markt Geldrop", "115: Wagen 17 klant uitgestapt "}));
}

TEST_P(RideProgressTest, WithoutAddressOrWaitingTimeThoseColumnsStayAsTheyWere) {
  fixture_.file().Run(
      "UPDATE planning SET pla_start_straat='Oud', pla_start_stad='Oudstad', pla_wachtseconden=30, "
      "pla_eigenaar='000', pla_retour_rbs=0 WHERE pla_id=101");
  Form({{"000", "101"}, {"001", "002"}, {"062", "0"}});
  const db::Row ride = Ride(101);
  EXPECT_EQ(ride.Text("pla_start_straat") + "|" + ride.Text("pla_start_stad"), "Oud|Oudstad");
  EXPECT_EQ(ride.Int("pla_wachtseconden"), 30);
  EXPECT_EQ(ride.Int("pla_retour_rbs", -1), 0);
  EXPECT_TRUE(ride.IsNull("pla_odo_start"));
  EXPECT_TRUE(ride.IsNull("pla_km_map"));
  Form({{"000", "101"}, {"001", "003"}, {"004", "Geldrop"}});  // a town alone begins with a blank
  EXPECT_EQ(Notifications(), (Texts{"113: Wagen 17 klant ingestapt ", "115: Wagen 17 klant uitgestapt  Geldrop"}));
}

// Readings and the pass number the terminal did not send are not written, and the
// distance needs both readings. Each row: what boarding and alighting carry besides the
// ride, and the ride after; the last has no boarding at all (the planned distance stays).
TEST_P(RideProgressTest, MissingFieldsWriteNothing) {
  const struct {
    Body boarding, alighting;
    std::string after;
    bool boarded = true;
  } rows[] = {
      {{{"036", "100000"}}, {{"036", "101234"}},
       "pla_km_map=123.40 pla_odo_start=10000.00 pla_odo_stop=10123.40 pla_pasnummer=D-1"},
      {{{"036", "100000"}, {"031", "P-77"}}, {{"036", ""}, {"031", ""}},
       "pla_km_map=10000.00 pla_odo_start=10000.00 pla_odo_stop=NULL pla_pasnummer=P-77"},
      {{{"031", ""}}, {{"036", "101234"}, {"031", "Q-2"}},
       "pla_km_map=NULL pla_odo_start=NULL pla_odo_stop=10123.40 pla_pasnummer=Q-2"},
      {{{"036", ""}}, {}, "pla_km_map=NULL pla_odo_start=NULL pla_odo_stop=NULL pla_pasnummer=D-1"},
      {{}, {{"036", "101234"}}, "pla_km_map=55.50 pla_odo_start=NULL pla_odo_stop=10123.40 pla_pasnummer=D-1", false}};
  for (const auto& row : rows) {
    fixture_.file().Run(
        "UPDATE planning SET pla_status='P', pla_km_map=55.50, pla_odo_start=NULL, pla_odo_stop=NULL, "
        "pla_pasnummer='D-1' WHERE pla_id=101");
    Body boarding = {{"000", "101"}, {"001", "002"}}, alighting = {{"000", "101"}, {"001", "003"}};
    boarding.insert(boarding.end(), row.boarding.begin(), row.boarding.end());
    alighting.insert(alighting.end(), row.alighting.begin(), row.alighting.end());
    if (row.boarded) Form(boarding);
    Form(alighting);
    EXPECT_EQ(Show(Ride(101), {"pla_status", "pla_km_map", "pla_odo_start", "pla_odo_stop", "pla_pasnummer"}),
              "pla_status=V " + row.after);
  }
}

TEST_P(RideProgressTest, UnknownOrMissingRides) {
  Form({{"000", "9876"}, {"001", "002"}});
  Form({{"001", "002"}});
  Form({{"000", "0"}, {"001", "003"}});
  EXPECT_EQ(Notifications(), Texts{"114: Wagen 17 rit 9876 niet gevonden"});
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "K");
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE"), 0);
  EXPECT_EQ(fixture_.Count("planning", "pla_cloud IS NOT NULL"), 0);
}

TEST_P(RideProgressTest, TripSheetFailureLeavesTheRideOnBoardWithoutNotification) {
  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='B' WHERE lsn_id=1");
  db_.FailWhenSqlContains("UPDATE RITSTATEN SET lsn_actie='K'", "ritstaten op slot");
  Form({{"000", "101"}, {"001", "002"}, {"003", "Stationsplein"}});
  EXPECT_EQ(Entries(EntryType::kWarning), Texts{"ritstaten op slot"});
  EXPECT_EQ(Ride(101).Text("pla_status"), "K");
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "B");
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE"), 0);
  EXPECT_TRUE(Notifications().empty());

  // A notification that cannot be written does not stop the ride's progress.
  db_.ClearFailures();
  db_.FailWhenSqlContains("StatusMeldingen", "meldingen weg");
  Form({{"000", "101"}, {"001", "003"}, {"036", "5"}});
  EXPECT_TRUE(Logged(EntryType::kWarning, "meldingen weg"));
  EXPECT_EQ(Ride(101).Text("pla_status"), "V");
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE"), 1);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, RideProgressTest, test_support::AllDbPaths(), test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::inbound
