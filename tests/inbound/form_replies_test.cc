#include "inbound/form_replies.h"

#include <gtest/gtest.h>

#include "support/control_text.h"
#include "support/handler_fixture.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;
using test_support::Body;
using test_support::ControlText;
using test_support::TerminalPacket;

using Texts = std::vector<std::string>;

class FormRepliesTest : public test_support::HandlerFixture {
 protected:
  // A message-number-0 packet of vehicle 17 (wag_id 1, mux4711).
  void Reply(const std::string& type, const std::string& status, const Body& body, const std::string& unit = "4711") {
    Handle(TerminalPacket(type, status, "2024-05-01 12:30:05", unit, "000", body));
  }
  void CallableRide104(const std::string& bellen, const std::string& telefoon) {
    fixture_.file().Run("UPDATE planning SET pla_bellen=" + bellen + ", pla_telefoon=" + telefoon +
                        " WHERE pla_id=104");
  }
  static std::string NoShowReply(const std::string& ride) {
    return ControlText("[SOH]0051[STX]123[ETX]FORM[ETX]NEW[ETX]120[ETX]mux4711[ETX]0[ETX]001[ETX]0[ETX]" + ride +
                       "[ETX][EOT]XCRC");
  }
};

TEST_P(FormRepliesTest, AcknowledgementsAndStaleMessages) {
  Reply("FORM", "ACK", {{"000", "104"}});
  EXPECT_EQ(Ride(104).Int("pla_com_status"), 1);
  Reply("FORM", "ACK", {{"000", "0"}});
  Reply("FORM", "ACK", {});
  Reply("MACRO", "ACK", {{"000", "103"}});  // only a form is acknowledged here
  Reply("MACRO", "NAK", {{"002", "MESSAGE STALE"}}, "4712");
  Reply("MACRO", "NAK", {{"002", "Message stale"}}, "4712");
  EXPECT_EQ(Ride(103).Int("pla_com_status"), 0);
  // The gateway-level NAK handling (101) runs before this handler on both NAK packets.
  EXPECT_EQ(Notifications(), (Texts{"108: Wagen 17 rit 104 aangenomen", "108: Wagen 17 bericht aangenomen",
                                    "108: Wagen 17 bericht aangenomen", "101: Wagen 23 meld een berichtstoring",
                                    "109: Wagen 23 bericht niet ontvangen", "101: Wagen 23 meld een berichtstoring"}));
}

TEST_P(FormRepliesTest, CallRequestNeedsARideThatAsksForACallAndHasANumber) {
  CallableRide104("1", "'040-1234567'");
  Reply("FORM", "NEW", {{"000", "104"}, {"032", "1"}});
  Reply("FORM", "NEW", {{"000", "104"}, {"032", "2"}});
  Reply("FORM", "NEW", {{"000", "104"}, {"032", "3"}});
  Reply("FORM", "NEW", {{"000", "9999"}, {"032", "1"}});
  for (const auto& [bellen, telefoon] : {std::pair{"0", "'040-1234567'"}, {"1", "''"}, {"1", "NULL"}}) {
    CallableRide104(bellen, telefoon);
    Reply("FORM", "NEW", {{"000", "104"}, {"032", "1"}});
  }
  const auto calls = fixture_.Select("select * from skype order by ID");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Text("SkypeNumber"), "040-1234567");
  EXPECT_EQ(calls[0].Int("SkypeStatus", -1), 0);
  EXPECT_EQ(calls[0].Int("SkypeRitnummer"), 104);
  EXPECT_EQ(calls[0].Date("SkypeDate")->ToSql(), clock_.LocalNow().ToSql());
  EXPECT_EQ(Notifications(), (Texts{"110: Wagen 17 bellen klant geactiveerd", "110: Wagen 17 bellen klant geactiveerd"}));
}

TEST_P(FormRepliesTest, RefusalReturnsTheRideToTheDispatchers) {
  Reply("FORM", "NEW", {{"001", "006"}});
  EXPECT_EQ(Notifications(), Texts{"111: Wagen 17 weigering van het bericht"});
  EXPECT_EQ(Ride(101).Text("pla_status"), "W");
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "B");
}

TEST_P(FormRepliesTest, NoShowClosesTheRideFreesTheSheetAndRepliesToTheTerminal) {
  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='B' WHERE lsn_id=1");
  Reply("FORM", "NEW", {{"000", "101"}, {"001", "004"}, {"016", "063"}});
  const db::Row ride = Ride(101);
  EXPECT_EQ(ride.Int("pla_com_status"), 2);
  EXPECT_EQ(ride.Text("pla_status"), "L");
  EXPECT_EQ(ride.Date("pla_tijdstip_bestemmen")->ToSql(), "2024-05-01 12:30:05");
  EXPECT_EQ(ride.Date("pla_tijdstip_vrijmelden")->ToSql(), "2024-05-01 12:30:05");
  EXPECT_EQ(ride.Text("pla_redenloosmelden"), "Geen medische begeleiding");
  EXPECT_EQ(ride.Int("pla_retour_rbs"), 1);  // owner empty
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "L");
  EXPECT_EQ(RouteStatusCalls(1), 1);
  EXPECT_EQ(Notifications(), Texts{"112: Wagen 17 loos Geen medische begeleiding"});
  EXPECT_EQ(outbound_, (gateway::PacketQueue{NoShowReply("000101")}));
  EXPECT_TRUE(Logged(EntryType::kInformation, "Taxis Dorvek ZOL pakket aangeboden \r\n" + NoShowReply("000101")));
}

// The reply is in the queue file, bound to its packet, before the packet's work commits;
// a commit whose answer was lost keeps it, and the packet handled again, its work found
// done, sends that reply rather than its own.
TEST_P(FormRepliesTest, NoShowReplyIsSafeBeforeTheCommitAndSentOnceWhenTheCommitsAnswerIsLost) {
  fixture_.file().Run("UPDATE ritstaten SET lsn_actie='B' WHERE lsn_id=1");
  gateway::QueuedPacket packet;
  packet.text = TerminalPacket("FORM", "NEW", "2024-05-01 12:30:05", "4711", "000",
                               {{"000", "101"}, {"001", "004"}, {"016", "063"}});
  packet.store_id = 7;
  inbound_.push_back(packet);
  std::vector<std::int64_t> bound_at_save;
  const auto make_safe = [&] {
    for (std::size_t i = 0; i < outbound_.size(); ++i) bound_at_save.push_back(outbound_.entry(i).reply_to);
    return true;
  };
  db_.FailAfter("COMMIT");
  EXPECT_EQ(controller_.HandleNext(inbound_, &outbound_, VehicleLookup::kAfresh, make_safe), HandleResult::kKept);
  EXPECT_EQ(bound_at_save, (std::vector<std::int64_t>{7}));
  EXPECT_EQ(Ride(101).Text("pla_status"), "L");  // committed all the same
  ASSERT_EQ(outbound_.size(), 1u);
  EXPECT_EQ(outbound_.entry(0).reply_to, 7);

  outbound_.entry(0).store_id = 8;  // as the store wrote it
  EXPECT_EQ(controller_.HandleNext(inbound_, &outbound_, VehicleLookup::kAfresh, make_safe), HandleResult::kTaken);
  EXPECT_TRUE(inbound_.empty());
  EXPECT_EQ(outbound_, (gateway::PacketQueue{NoShowReply("000101")}));
  EXPECT_EQ(outbound_.entry(0).reply_to, 0);
  ASSERT_EQ(outbound_.changed().size(), 1u);
  EXPECT_EQ(outbound_.changed()[0].store_id, 8);
  EXPECT_EQ(outbound_.changed()[0].reply_to, 0);
}

TEST_P(FormRepliesTest, NoShowReasons) {
  const std::pair<const char*, const char*> kCases[] = {
      {"000", "Adres niet gevonden"},     {"001", "Passagier niet gevonden"},
      {"002", "Passagier wil niet mee"},  {"063", "Geen medische begeleiding"},
      {"079", "Te veel koffers"},         {"123", "123"},
      {"63", "63"},                       {nullptr, ""},
  };
  // Owner "000" leaves pla_retour_rbs as it was.
  fixture_.file().Run("UPDATE planning SET pla_eigenaar='000' WHERE pla_id=104");
  for (const auto& [code, text] : kCases) {
    SCOPED_TRACE(code ? code : "missing");
    log_.Clear();
    fixture_.file().Run("DELETE FROM StatusMeldingen");
    Body body = {{"000", "104"}, {"001", "004"}};
    if (code) body.push_back({"016", code});
    Reply("FORM", "NEW", body);
    EXPECT_EQ(Ride(104).Text("pla_redenloosmelden"), text);
    EXPECT_TRUE(Ride(104).IsNull("pla_retour_rbs"));
    EXPECT_EQ(Notifications(), Texts{std::string("112: Wagen 17 loos ") + text});
  }
}

TEST_P(FormRepliesTest, NoShowForAnUnknownRideOrARouteStillRunsEveryStatement) {
  Reply("FORM", "NEW", {{"000", "42"}, {"001", "004"}, {"016", "000"}});
  EXPECT_NE(std::find(db_.executed().begin(), db_.executed().end(),
                      "UPDATE RITSTATEN SET lsn_actie='L' where lsn_route=0 AND lsn_id=0"),
            db_.executed().end());
  Reply("FORM", "NEW", {{"000", "1234567"}, {"001", "004"}});
  Reply("FORM", "NEW", {{"000", "-5"}, {"001", "004"}});  // answered as no ride, not a failure
  EXPECT_EQ(outbound_, (gateway::PacketQueue{NoShowReply("000042"), NoShowReply("234567"), NoShowReply("000000")}));
  EXPECT_EQ(RouteStatusCalls(1), 3);
  EXPECT_EQ(Notifications().size(), 3u);
  // Vehicle 23's trip sheet runs route 17 and keeps its action code.
  Reply("FORM", "NEW", {{"000", "102"}, {"001", "004"}}, "4712");
  EXPECT_EQ(Ride(102).Text("pla_status"), "L");
  EXPECT_EQ(Sheet(2).Text("lsn_actie"), "K");
  EXPECT_TRUE(Entries(EntryType::kWarning).empty());
}

TEST_P(FormRepliesTest, FailureInAGuardedStepIsAWarningAndTheNextStepGoesOn) {
  CallableRide104("1", "'040-1234567'");
  db_.FailWhenSqlContains("INSERT INTO skype", "skype weg");
  db_.FailWhenSqlContains("update planning set pla_com_status=1", "planning op slot");
  // One packet that acknowledges, asks for a call and refuses.
  Reply("FORM", "ACK", {{"000", "104"}, {"032", "1"}, {"001", "006"}});
  EXPECT_TRUE(Logged(EntryType::kError, "planning op slot"));  // the acceptance reports itself
  EXPECT_EQ(Entries(EntryType::kWarning), Texts{"skype weg"});
  EXPECT_EQ(Notifications(), (Texts{"108: Wagen 17 rit 104 aangenomen", "111: Wagen 17 weigering van het bericht"}));
  EXPECT_EQ(Ride(101).Text("pla_status"), "W");
}

TEST_P(FormRepliesTest, NoShowDatabaseFailureEndsThePacketBeforeNotificationAndReply) {
  for (const char* failing : {"UPDATE planning", "PROC_ROUTESTATUS_CONTROLE", "UPDATE RITSTATEN"}) {
    SCOPED_TRACE(failing);
    log_.Clear();
    db_.ClearFailures();
    db_.FailWhenSqlContains(failing, std::string(failing) + " mislukt");
    Reply("FORM", "NEW", {{"000", "101"}, {"001", "004"}});
    EXPECT_EQ(Entries(EntryType::kWarning), Texts{std::string(failing) + " mislukt"});
  }
  EXPECT_EQ(Ride(101).Text("pla_status"), "L");  // what ran before the failure stays done
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "K");
  EXPECT_TRUE(Notifications().empty());
  EXPECT_TRUE(outbound_.empty());

  // A failed notification does not keep the reply back.
  db_.ClearFailures();
  db_.FailWhenSqlContains("StatusMeldingen", "meldingen weg");
  Reply("FORM", "NEW", {{"000", "101"}, {"001", "004"}});
  EXPECT_TRUE(Logged(EntryType::kWarning, "meldingen weg"));
  EXPECT_EQ(outbound_.size(), 1u);
}

TEST_P(FormRepliesTest, NoShowWithoutAnOutboundQueueLogsTheReplyAndDropsIt) {
  outbound_present_ = false;
  Reply("FORM", "NEW", {{"000", "101"}, {"001", "004"}});
  EXPECT_TRUE(Logged(EntryType::kInformation, "Taxis Dorvek ZOL pakket aangeboden \r\n" + NoShowReply("000101")));
  EXPECT_TRUE(Logged(EntryType::kWarning, "Taxis Dorvek ZOL antwoord niet verzonden: de service is niet gestart"));
  EXPECT_EQ(Ride(101).Text("pla_status"), "L");
}

INSTANTIATE_TEST_SUITE_P(AllPaths, FormRepliesTest, test_support::AllDbPaths(), test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::inbound
