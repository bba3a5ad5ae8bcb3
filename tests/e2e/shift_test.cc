// A whole shift of one taxi, end to end: the real binary, the gateway simulator playing
// taxi 31's terminal, and the sample dispatch database, with a dispatcher writing ride
// offers into the message box while the shift runs. Each step waits for its rows, so a
// failure names the step; the packets the simulator received are compared whole, length
// field included.
//
// The service paces itself: one inbound packet a second, one outbound packet every five
// seconds. The script asks for nothing else, so the shift takes about 20 s.

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/packet_notation.h"
#include "gateway/packet_writer.h"
#include "gateway_fixture.h"
#include "support/row_text.h"

namespace dorvek {
namespace {

using namespace e2e;  // NOLINT: the fixture and its helpers
using test_support::Show;

// Taxi 31 (vehicle 3, terminal mux4713) has no open trip sheet in the sample data; its
// shift opens trip sheet 3. Ride 105 is added here, so the street-hail ride becomes 106.
constexpr long long kSheet = 3;
constexpr long long kStreetHail = 106;

// What the simulator receives, in order, as it prints them (control characters by name).
constexpr const char* kLogInReply =
    "<SOH>0070<STX>123<ETX>FORM<ETX>NEW<ETX>60<ETX>mux4713<ETX>4<ETX>3<ETX>3<ETX>4<ETX>15<ETX>"
    "Hénri de Vries<ETX>37<ETX>01234<ETX><EOT>XCRC";
constexpr const char* kOffer104 =
    "<SOH>0356<STX>104<ETX>FORM<ETX>NEW<ETX>120<ETX>mux4713<ETX>0<ETX>037<ETX>0<ETX>0000000104<ETX>1<ETX>0<ETX>"
    "2<ETX>Mevr. Jansen<ETX>3<ETX>Hoogstraat 12<ETX>4<ETX>Eindhoven<ETX>5<ETX>0745B<ETX>6<ETX>Vestdijk 8<ETX>"
    "7<ETX>Eindhoven<ETX>9<ETX>Rollator mee<ETX>11<ETX>0<ETX>12<ETX>02350<ETX>13<ETX>1<ETX>14<ETX>0<ETX>"
    "17<ETX>01050201040002<ETX>28<ETX><ETX>29<ETX><ETX>30<ETX>0<ETX>31<ETX><ETX>32<ETX>0<ETX>"
    "58<ETX>Rollator mee<ETX>59<ETX><ETX>65<ETX>34<ETX>91<ETX>NL<ETX>92<ETX>5615PA<ETX>93<ETX>12<ETX>"
    "100<ETX>NL<ETX>101<ETX>5611CA<ETX>102<ETX>8<ETX>110<ETX>Memo:<ETX>111<ETX>Bel aan bij de buren<ETX>"
    "113<ETX><ETX>115<ETX><ETX>117<ETX><ETX>119<ETX><ETX>121<ETX><ETX>123<ETX><ETX>125<ETX><ETX><EOT>XCRC";
constexpr const char* kOffer105 =
    "<SOH>0307<STX>105<ETX>FORM<ETX>NEW<ETX>120<ETX>mux4713<ETX>0<ETX>037<ETX>0<ETX>0000000105<ETX>1<ETX>0<ETX>"
    "2<ETX>Dhr. Bakker<ETX>3<ETX>Kerkstraat 4<ETX>4<ETX>Veldhoven<ETX>5<ETX>0830<ETX>6<ETX>Catharinaplein 1<ETX>"
    "7<ETX>Eindhoven<ETX>9<ETX><ETX>11<ETX>0<ETX>12<ETX>00000<ETX>13<ETX>2<ETX>14<ETX>0<ETX>"
    "17<ETX>01050201040002<ETX>28<ETX><ETX>29<ETX><ETX>30<ETX>0<ETX>31<ETX><ETX>32<ETX>1<ETX>"
    "58<ETX><ETX>59<ETX><ETX>65<ETX>0<ETX>91<ETX>NL<ETX>92<ETX>5504AB<ETX>93<ETX>4<ETX>"
    "100<ETX>NL<ETX>101<ETX><ETX>102<ETX>1<ETX>110<ETX>Memo:<ETX>111<ETX><ETX>"
    "113<ETX><ETX>115<ETX><ETX>117<ETX><ETX>119<ETX><ETX>121<ETX><ETX>123<ETX><ETX>125<ETX><ETX><EOT>XCRC";
constexpr const char* kNoShowReply =
    "<SOH>0051<STX>123<ETX>FORM<ETX>NEW<ETX>120<ETX>mux4713<ETX>0<ETX>001<ETX>0<ETX>000105<ETX><EOT>XCRC";

// The terminal's packets, in notation; the shift runs on 8 December 2026 from 07:00.
constexpr const char* kLogIn =
    R"(TAG=201 TYPE=FORM STATUS=NEW TIME="2026-12-08 07:00:00" UNIT=4713 NUMBER=004 003=003 001=01234 )"
    "005=50000 004=ochtenddienst";
constexpr const char* kStreetHailStart =
    R"(TAG=202 TYPE=FORM STATUS=NEW TIME="2026-12-08 07:10:00" UNIT=4713 NUMBER=001 001=5 )"
    R"(003="Stationsplein 1" 004="Eindhoven, NLD" 036=50012 042="+51 26 28.70" 043="+005 28 40.12")";
constexpr const char* kStreetHailEnd =
    R"(TAG=203 TYPE=FORM STATUS=NEW TIME="2026-12-08 07:25:00" UNIT=4713 NUMBER=001 001=3 )"
    R"(003="Markt 5" 004=Geldrop 036=50135 012=1850 011=2 034=1 060=72 063=1 064=3 069=1850 033=100)";
constexpr const char* kAck104 =
    R"(TAG=104 TYPE=FORM STATUS=ACK TIME="2026-12-08 07:40:00" UNIT=4713 NUMBER=000 000=104)";
constexpr const char* kBoarded =
    R"(TAG=204 TYPE=FORM STATUS=NEW TIME="2026-12-08 07:50:00" UNIT=4713 NUMBER=000 000=104 001=002 )"
    R"(003="Hoogstraat 12" 004=Eindhoven 036=50200 031=P77 062=120)";
constexpr const char* kAlighted =
    R"(TAG=205 TYPE=FORM STATUS=NEW TIME="2026-12-08 08:10:00" UNIT=4713 NUMBER=000 000=104 001=003 )"
    R"(003="Vestdijk 8" 004=Eindhoven 036=50312 031=P77 012=2350 011=1 034=2 060=64 063=1 064=0 069=2500 033=150)";
constexpr const char* kAck105 =
    R"(TAG=105 TYPE=FORM STATUS=ACK TIME="2026-12-08 08:20:00" UNIT=4713 NUMBER=000 000=105)";
constexpr const char* kNoShow =
    R"(TAG=206 TYPE=FORM STATUS=NEW TIME="2026-12-08 08:35:00" UNIT=4713 NUMBER=000 000=105 001=004 016=001)";
constexpr const char* kRefuelling =
    R"(TAG=207 TYPE=FORM STATUS=NEW TIME="2026-12-08 09:00:00" UNIT=4713 NUMBER=004 019=4250 036=50400 120=7399)";
constexpr const char* kBreakRequest =
    R"(TAG=208 TYPE=FORM STATUS=NEW TIME="2026-12-08 09:30:00" UNIT=4713 NUMBER=004 003=005 004=15)";
constexpr const char* kStatusEvent =
    R"(TAG=209 TYPE=FORM STATUS=NEW TIME="2026-12-08 09:31:00" UNIT=4713 NUMBER=004 201=014)";
constexpr const char* kShiftEnd =
    R"(TAG=210 TYPE=FORM STATUS=NEW TIME="2026-12-08 10:00:00" UNIT=4713 NUMBER=004 003=000 036=50500)";

constexpr int kTerminalPackets = 12;

// Where the simulator printed what it received as this text; npos when it did not.
std::size_t Received(const std::string& output, const std::string& shown, std::size_t from = 0) {
  return output.find("\n    " + shown + "\n", from);
}

class ShiftEndToEnd : public GatewayEndToEnd {
 protected:
  void SetUp() override {
    GatewayEndToEnd::SetUp();
    // The company's constants, and the two rides the dispatcher will plan for taxi 31:
    // ride 104 of the sample data and ride 105, both still without a vehicle.
    test_support::RunSqliteScript(
        database_,
        "insert into constanten (con_bdr_id, con_contant, con_tarief, con_land, con_standaard_uren)"
        " values (1, 1, 3, 'NLD', 600);"
        "update planning set pla_tijdstip='2026-12-08 07:45:00', pla_naam_reiziger='Mevr. Jansen',"
        " pla_ophstraat='Hoogstraat', pla_ophnummer='12', pla_ophpostcode='5615 PA', pla_besstraat='Vestdijk',"
        " pla_bestnummer='8', pla_bestpostcode='5611 CA', pla_telefoon='040-2345678', pla_bellen=1,"
        " pla_bedrag=23.5, pla_lopers=1, pla_rollers=0, pla_rolstoel=0, pla_voorin=1, pla_combineren=0,"
        " pla_opmerking='Rollator mee', pla_tekst='Bel aan bij de buren' where pla_id=104;"
        "insert into planning (pla_id, pla_bdr_id, pla_datum, pla_tijdstip, pla_naam_reiziger, pla_ophstraat,"
        " pla_ophnummer, pla_ophpostcode, pla_ophstad, pla_besstraat, pla_bestnummer, pla_beststad, pla_wagen,"
        " pla_lsn, pla_route, pla_status, pla_com_status, pla_soortvervoer, pla_rc, pla_lopers, pla_rollers,"
        " pla_combineren) values (105, 1, '2026-12-08 08:00:00', '2026-12-08 08:30:00', 'Dhr. Bakker',"
        " 'Kerkstraat', '4', '5504 AB', 'Veldhoven', 'Catharinaplein', '1', 'Eindhoven', 0, 0, 0, 'P', 0, 'A',"
        " 0, 2, 0, 1);");
  }

  // The dispatcher gives both rides to taxi 31's new trip sheet and offers them, ride
  // 104 first, through the message box.
  void DispatcherOffersRides() {
    const std::string sheet = std::to_string(kSheet);
    reader_->Execute("update planning set pla_wagen=3, pla_lsn=" + sheet + " where pla_id in (104, 105)");
    reader_->Execute(
        "insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_pla_id,"
        " bbo_actie) values (6, 1, 3, datetime('now', 'localtime'), 0, 104, 1),"
        " (6, 1, 3, datetime('now', 'localtime', '+1 second'), 0, 105, 1)");
  }

  // Sends one terminal packet and waits until the query gives one row: the last effect of
  // its handling, as each statement commits on its own.
  void SendAndWait(const char* packet, const std::string& until,
                   std::chrono::milliseconds deadline = test_support::kDefaultWait) {
    gateway_->Step(packet);
    ASSERT_TRUE(PollUntil([&] { return reader_->Select(until).size() == 1; }, deadline))
        << "no effect of " << packet << "\n(waited for " << until << ")";
  }

  std::string Sheet() {
    return Show(reader_->One("select * from ritstaten where lsn_id=" + std::to_string(kSheet)),
                {"lsn_wag_id", "lsn_chf_id", "lsn_status", "lsn_actie", "lsn_rit", "lsn_route"});
  }

  // Queries that give one row once that many calls of the route-status procedure were
  // made, or once that notification text was posted.
  static std::string RouteStatusCalls(int calls) {
    return "select n from (select count(*) as n from PROC_ROUTESTATUS_CONTROLE) where n=" + std::to_string(calls);
  }
  static std::string Note(const std::string& text) {
    return "select * from StatusMeldingen where mel_opmerking='" + text + "'";
  }

  long long Kilometres() { return reader_->One("select wag_kmstand from wagens where wag_id=3").Int("wag_kmstand"); }

  // "status text" of every notification about taxi 31, in order; each of type 1.
  std::vector<std::string> TaxiNotes() {
    std::vector<std::string> notes;
    for (const auto& row : reader_->Select("select * from StatusMeldingen where mel_wagen=3 order by rowid")) {
      EXPECT_EQ(row.Int("mel_type"), 1);
      notes.push_back(row.Text("mel_status") + " " + row.Text("mel_opmerking"));
    }
    return notes;
  }
};

TEST_F(ShiftEndToEnd, OneTaxiFromLogInToShiftEnd) {
  auto service = Launch();
  ExpectNotice(*service, "700");
  ASSERT_NO_FATAL_FAILURE(ExpectConnected(*service, 1));

  // Log-in: trip sheet 3 opens in action "B" with a planned end 600 minutes on, the
  // odometer goes to the vehicle, and the reply is queued for the terminal.
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kLogIn, "select * from StatusMeldingen where mel_status=116"));
  EXPECT_EQ(Sheet(), "lsn_wag_id=3 lsn_chf_id=1 lsn_status=0 lsn_actie=B lsn_rit=0 lsn_route=0");
  EXPECT_EQ(Kilometres(), 5000);
  DispatcherOffersRides();

  // A street-hail ride: a new ride in "K" bound to the trip sheet, then completed with the
  // trip computer's figures and the route status checked. The trip sheet keeps "K": the
  // dispatch database's procedure decides what it does next, and the SQLite stand-in
  // only records the call.
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kStreetHailStart, "select * from StatusMeldingen where mel_status=106"));
  EXPECT_EQ(Sheet(), "lsn_wag_id=3 lsn_chf_id=1 lsn_status=0 lsn_actie=K lsn_rit=106 lsn_route=0");
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kStreetHailEnd, RouteStatusCalls(1)));
  EXPECT_EQ(reader_->One("select pla_status from planning where pla_id=" + std::to_string(kStreetHail))
                .Text("pla_status"),
            "V");

  // The dispatcher's first offer reaches the terminal, which acknowledges it; the
  // passenger boards and alights.
  gateway_->Step("expect TAG=104");
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kAck104, Note("Wagen 31 rit 104 aangenomen"), 20s));
  EXPECT_EQ(reader_->One("select pla_com_status from planning where pla_id=104").Int("pla_com_status"), 1);
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kBoarded, "select * from StatusMeldingen where mel_status=113"));
  EXPECT_EQ(reader_->One("select pla_status from planning where pla_id=104").Text("pla_status"), "K");
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kAlighted, RouteStatusCalls(3)));

  // The second offer: acknowledged, then the passenger is not there. The no-show frees
  // the trip sheet ("L") and is answered.
  gateway_->Step("expect TAG=105");
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kAck105, Note("Wagen 31 rit 105 aangenomen"), 20s));
  EXPECT_EQ(reader_->One("select pla_com_status from planning where pla_id=105").Int("pla_com_status"), 1);
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kNoShow, "select * from StatusMeldingen where mel_status=112"));
  EXPECT_EQ(Sheet(), "lsn_wag_id=3 lsn_chf_id=1 lsn_status=0 lsn_actie=L lsn_rit=106 lsn_route=0");

  // Refuelling, a break, a status event, and the end of the shift.
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kRefuelling, "select * from StatusMeldingen where mel_status=117"));
  gateway_->Step(kBreakRequest);
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kStatusEvent, "select * from StatusMeldingen where mel_status=999"));
  // The odometer statement comes last.
  ASSERT_NO_FATAL_FAILURE(SendAndWait(kShiftEnd, "select * from wagens where wag_kmstand=5050 and wag_id=3"));
  EXPECT_EQ(Sheet(), "lsn_wag_id=3 lsn_chf_id=1 lsn_status=1 lsn_actie=E lsn_rit=106 lsn_route=0");

  // The four packets for the terminal, one per send-pump firing: the no-show's reply is
  // the last, queued about 5 s after the second offer was sent.
  ASSERT_TRUE(PollUntil([&] { return Received(gateway_->Output(), kNoShowReply) != std::string::npos; }, 15s))
      << gateway_->Output();
  ASSERT_TRUE(gateway_->StepsDone());
  ExpectCleanStop(*service);
  EXPECT_EQ(gateway_->Finish(), 0);

  // What the terminal received: exactly these packets, in this order, each offer before
  // the terminal's acknowledgement of it was sent.
  const std::string output = gateway_->Output();
  {
    std::size_t from = 0;
    for (const char* shown : {kLogInReply, kOffer104, kOffer105, kNoShowReply}) {
      const std::size_t at = Received(output, shown, from);
      ASSERT_NE(at, std::string::npos) << "not received in its turn:\n" << shown << "\n" << output;
      from = at + 1;
    }
    std::size_t packets = 0;
    for (auto at = output.find("<<< packet"); at != std::string::npos; at = output.find("<<< packet", at + 1))
      ++packets;
    EXPECT_EQ(packets, 4u);
    EXPECT_EQ(output.find("(length field"), std::string::npos) << "a length field that does not count";
    EXPECT_EQ(output.find("!!!"), std::string::npos) << output;
    const auto sent = [&](const char* notation) {
      return output.find(">>> sent " + gateway::ShowControlChars(gateway::BuildPacket(gateway::ParseNotation(notation))));
    };
    EXPECT_LT(Received(output, kOffer104), sent(kAck104));
    EXPECT_LT(Received(output, kOffer105), sent(kAck105));
    EXPECT_LT(sent(kNoShow), Received(output, kNoShowReply));
  }

  // The trip sheet of the whole shift.
  EXPECT_EQ(Show(reader_->One("select * from ritstaten where lsn_id=3"),
                 {"lsn_bdr_id", "lsn_wag_id", "lsn_chf_id", "lsn_status", "lsn_actie", "lsn_rit", "lsn_route",
                  "lsn_aanvang", "lsn_aanvang_bct", "lsn_einde", "lsn_einde_bct", "lsn_kilometerstand_aanvang",
                  "lsn_kilometerstand_einde"}),
            "lsn_bdr_id=1 lsn_wag_id=3 lsn_chf_id=1 lsn_status=1 lsn_actie=E lsn_rit=106 lsn_route=0"
            " lsn_aanvang=2026-12-08 07:00:00 lsn_aanvang_bct=2026-12-08 07:00:00 lsn_einde=2026-12-08 10:00:00"
            " lsn_einde_bct=2026-12-08 10:00:00 lsn_kilometerstand_aanvang=5000.00 lsn_kilometerstand_einde=5050.00");
  EXPECT_TRUE(std::regex_match(reader_->One("select lsn_omschrijving from ritstaten where lsn_id=3").Text("lsn_omschrijving"),
                               std::regex("ZOL-20[0-9]{6}-3-1")));

  // The street-hail ride, from its start and its end.
  EXPECT_EQ(Show(reader_->One("select * from planning where pla_id=106"),
                 {"pla_cloud", "pla_wagen", "pla_chauffeur", "pla_bdr_id", "pla_lsn", "pla_status", "pla_filter",
                  "pla_rc", "pla_lopers", "pla_reiziger", "pla_tarief_bedrijf", "pla_oph_land", "pla_ophstraat",
                  "pla_ophstad", "pla_start_straat", "pla_start_stad", "pla_besstraat", "pla_beststad",
                  "pla_eind_straat", "pla_eind_stad", "pla_opmerking", "pla_naam_reiziger", "pla_soortvervoer",
                  "pla_soortwagen", "pla_soortrit", "pla_tijdstip_locatie", "pla_tijdstip_vrijmelden", "pla_odo_start",
                  "pla_odo_stop", "pla_km_map", "pla_bedrag_1", "pla_tx_payment_type", "pla_tx_stop_type",
                  "pla_tx_max_speed", "pla_tx_beladen", "pla_tx_arrival_stop", "pla_tx_paid_amount",
                  "pla_tx_paid_extra"}),
            "pla_cloud=2 pla_wagen=3 pla_chauffeur=1 pla_bdr_id=1 pla_lsn=3 pla_status=V pla_filter=I pla_rc=0"
            " pla_lopers=1 pla_reiziger=1 pla_tarief_bedrijf=3 pla_oph_land=NL pla_ophstraat=Stationsplein 1"
            " pla_ophstad=Eindhoven pla_start_straat=Stationsplein 1 pla_start_stad=Eindhoven, NLD"
            " pla_besstraat=Markt 5 pla_beststad=Geldrop pla_eind_straat=Markt 5 pla_eind_stad=Geldrop"
            " pla_opmerking=INSTAPRIT pla_naam_reiziger=INSTAPRIT pla_soortvervoer=P pla_soortwagen=B"
            " pla_soortrit=S pla_tijdstip_locatie=2026-12-08 07:10:00 pla_tijdstip_vrijmelden=2026-12-08 07:25:00"
            " pla_odo_start=5001.20 pla_odo_stop=5013.50 pla_km_map=12.30 pla_bedrag_1=18.50 pla_tx_payment_type=2"
            " pla_tx_stop_type=1 pla_tx_max_speed=72 pla_tx_beladen=1 pla_tx_arrival_stop=3"
            " pla_tx_paid_amount=18.50 pla_tx_paid_extra=1.00");

  // The dispatched ride with its fare, and the no-show.
  EXPECT_EQ(Show(reader_->One("select * from planning where pla_id=104"),
                 {"pla_status", "pla_com_status", "pla_cloud", "pla_lsn", "pla_tijdstip_bestemmen",
                  "pla_tijdstip_vrijmelden", "pla_start_straat", "pla_start_stad", "pla_eind_straat", "pla_eind_stad",
                  "pla_pasnummer", "pla_wachtseconden", "pla_odo_start", "pla_odo_stop", "pla_km_map", "pla_bedrag_1",
                  "pla_tx_payment_type", "pla_tx_stop_type", "pla_tx_max_speed", "pla_tx_beladen",
                  "pla_tx_arrival_stop", "pla_tx_paid_amount", "pla_tx_paid_extra", "pla_retour_rbs"}),
            "pla_status=V pla_com_status=1 pla_cloud=2 pla_lsn=3 pla_tijdstip_bestemmen=2026-12-08 07:50:00"
            " pla_tijdstip_vrijmelden=2026-12-08 08:10:00 pla_start_straat=Hoogstraat 12 pla_start_stad=Eindhoven"
            " pla_eind_straat=Vestdijk 8 pla_eind_stad=Eindhoven pla_pasnummer=P77 pla_wachtseconden=120"
            " pla_odo_start=5020.00 pla_odo_stop=5031.20 pla_km_map=11.20 pla_bedrag_1=23.50"
            " pla_tx_payment_type=1 pla_tx_stop_type=2 pla_tx_max_speed=64 pla_tx_beladen=1 pla_tx_arrival_stop=0"
            " pla_tx_paid_amount=25.00 pla_tx_paid_extra=1.50 pla_retour_rbs=1");
  EXPECT_EQ(Show(reader_->One("select * from planning where pla_id=105"),
                 {"pla_status", "pla_com_status", "pla_tijdstip_bestemmen", "pla_tijdstip_vrijmelden",
                  "pla_redenloosmelden", "pla_retour_rbs"}),
            "pla_status=L pla_com_status=2 pla_tijdstip_bestemmen=2026-12-08 08:35:00"
            " pla_tijdstip_vrijmelden=2026-12-08 08:35:00 pla_redenloosmelden=Passagier niet gevonden pla_retour_rbs=1");
  // The other vehicles' rides and trip sheets are untouched.
  for (const auto& ride : reader_->Select("select * from planning where pla_id in (101, 102, 103)"))
    EXPECT_EQ(Show(ride, {"pla_status", "pla_com_status"}), "pla_status=P pla_com_status=0");
  EXPECT_EQ(reader_->One("select count(*) as n from ritstaten where lsn_status=0 and lsn_actie='K'").Int("n"), 2);

  // The refuelling, the position of the street-hail start, the stored procedure once per
  // ride event that asks for it, and the two message-box rows marked processed.
  EXPECT_EQ(Show(reader_->One("select * from brandstof"),
                 {"bra_bdr_id", "bra_wag_id", "bra_chf_id", "bra_liters", "bra_datum", "bra_odometer_huidig",
                  "bra_odometer_vorig", "bra_bedrag"}),
            "bra_bdr_id=1 bra_wag_id=3 bra_chf_id=1 bra_liters=42.50 bra_datum=2026-12-08 09:00:00"
            " bra_odometer_huidig=5040.00 bra_odometer_vorig=0.00 bra_bedrag=73.99");
  {
    const auto position = reader_->One("select * from gps");
    EXPECT_EQ(Show(position, {"GPS_Imei", "GPS_Datum_UTC"}), "GPS_Imei=mux4713 GPS_Datum_UTC=2026-12-08 07:10:00");
    EXPECT_EQ(position.Text("GPS_Latitude") + " " + position.Text("GPS_Longitude"), "51.4413 5.4778");
  }
  EXPECT_EQ(reader_->One("select count(*) as n from PROC_ROUTESTATUS_CONTROLE where wag_id=3").Int("n"), 4);
  EXPECT_EQ(reader_->Count("PROC_ROUTESTATUS_CONTROLE"), 4);
  EXPECT_EQ(reader_->One("select count(*) as n from berichtenbox where bbo_verwerkt=1 and bbo_soort=6").Int("n"), 2);
  EXPECT_EQ(reader_->Count("berichtenbox"), 2);
  EXPECT_EQ(reader_->Count("skype"), 0);
  EXPECT_EQ(reader_->Count("sectoren"), 0);

  // The dispatchers were told every step, in order.
  EXPECT_EQ(TaxiNotes(), (std::vector<std::string>{
                             "116 Wagen 31 aanvang dienst ochtenddienst",
                             "106 Wagen 31 heeft een instaprit",
                             "107 Wagen 31 einde instaprit",
                             "108 Wagen 31 rit 104 aangenomen",
                             "113 Wagen 31 klant ingestapt Hoogstraat 12 Eindhoven",
                             "115 Wagen 31 klant uitgestapt Vestdijk 8 Eindhoven",
                             "108 Wagen 31 rit 105 aangenomen",
                             "112 Wagen 31 loos Passagier niet gevonden",
                             "117 Wagen 31 registratie tankbeurt",
                             "102 Wagen 31 verzoek pauze - 15 minuten",
                             "999 Wagen 31 start pauze",
                             "118 Wagen 31 einde dienst - 50500",
                         }));
  EXPECT_EQ(reader_->NotificationCodes(),
            (std::vector<long long>{4006, 116, 106, 107, 108, 113, 115, 108, 112, 117, 102, 999, 118, 4007, 4008}));

  // The event log: one field list per terminal packet, every packet for the terminal
  // with the entry that queued it, and nothing but information.
  const auto entries = service->Entries();
  long field_lists = 0;
  for (const auto& e : entries) {
    EXPECT_EQ(e.type, 4) << e.text;
    if (e.text.rfind("TAG=", 0) == 0) ++field_lists;
  }
  EXPECT_EQ(field_lists, kTerminalPackets) << Texts(entries);
  const auto packet = [](const char* shown) { return gateway::ParseControlNames(shown); };
  EXPECT_EQ(CountOf(entries, "Taxis Dorvek ZOL pakket aangeboden \r\n" + packet(kLogInReply)), 1) << Texts(entries);
  EXPECT_EQ(CountOf(entries, "Taxis Dorvek ZOL pakket aangeboden (01050201040002)\r\n" + packet(kOffer104)), 1);
  EXPECT_EQ(CountOf(entries, "Taxis Dorvek ZOL pakket aangeboden (01050201040002)\r\n" + packet(kOffer105)), 1);
  EXPECT_EQ(CountOf(entries, "Taxis Dorvek ZOL pakket aangeboden \r\n" + packet(kNoShowReply)), 1);
  EXPECT_GE(IndexOf(entries, "TAG=201\r\nTYPE=FORM\r\nSTATUS=NEW\r\nTIME=2026-12-08 07:00:00\r\nUNIT=4713\r\n"
                             "NUMBER=004\r\nSIZE=4\r\n003=003\r\n001=01234\r\n005=50000\r\n004=ochtenddienst\r\n"),
            0)
      << Texts(entries);

  // No LAN notice but start and stop: the gateway sent nothing of its own.
  EXPECT_FALSE(service->WaitForNotice(0ms));
}

}  // namespace
}  // namespace dorvek
