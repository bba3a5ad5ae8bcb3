#include "inbound/packet_controller.h"

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/lan_notice.h"
#include "gateway/packet_writer.h"
#include "support/dispatch_fixture.h"
#include "support/failing_database.h"
#include "support/schema_statements.h"
#include "support/fake_udp_sender.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;

// A packet from a terminal: header fields, then key/value pairs.
std::string Packet(const std::string& type, const std::string& status, const std::string& time,
                   const std::string& unit, const std::string& number,
                   const std::vector<std::pair<std::string, std::string>>& body = {}) {
  std::vector<std::string> fields = {"045", type, status, time, unit, number, std::to_string(body.size())};
  for (const auto& [k, v] : body) {
    fields.push_back(k);
    fields.push_back(v);
  }
  return gateway::BuildPacket(fields);
}

class PacketControllerTest : public ::testing::Test {
 protected:
  PacketControllerTest() {
    controller_.Configure({"mux", ".", "Wexlor", "PC01"});
  }

  // Queues the packet and runs one tick.
  void Handle(const std::string& text) {
    inbound_.push_back(text);
    controller_.HandleNext(inbound_, &outbound_);
  }
  bool Logged(EntryType type, const std::string& text) const { return log_.Contains(type, text); }
  std::vector<std::string> Notices() const {
    std::vector<std::string> out;
    for (const auto& d : udp_.datagrams) out.push_back(db::XorCipher(d, "Wexlor"));
    return out;
  }

  // Every table named and column written is one the service declares it uses.
  void TearDown() override { test_support::ExpectStatementsInSchema(db_.executed()); }

  test_support::DispatchFixture fixture_;
  test_support::FailingDatabase db_{fixture_.db()};
  core::MemoryEventLog log_;
  core::ManualClock clock_;
  test_support::FakeUdpSender udp_;
  CurrentVehicle vehicle_;
  PacketController controller_{{log_, clock_, db_, udp_, vehicle_}};
  gateway::PacketQueue inbound_, outbound_;
};

TEST_F(PacketControllerTest, EmptyQueueDoesNothing) {
  controller_.HandleNext(inbound_, &outbound_);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_TRUE(db_.executed().empty());
}

TEST_F(PacketControllerTest, GatewaysOwnPacketGivesNotice722AndNothingElse) {
  Handle(Packet("NOOP", "NEW", "", "XGATE", "000"));
  EXPECT_TRUE(inbound_.empty());
  ASSERT_EQ(Notices().size(), 1u);
  EXPECT_EQ(Notices()[0], "722," + clock_.LocalNow().ToCompact() + ",PC01,ZOLFFFFFFF,#0000#");
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_TRUE(db_.executed().empty());
}

TEST_F(PacketControllerTest, TextWithoutStxGivesTheNoticeAndIsDropped) {
  Handle("XGATE status ok");
  EXPECT_EQ(Notices().size(), 1u);
  EXPECT_TRUE(log_.entries().empty());
  Handle("ruis");
  EXPECT_EQ(Notices().size(), 1u);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_TRUE(inbound_.empty());
}

TEST_F(PacketControllerTest, EveryFieldIsLoggedOneLineEach) {
  Handle(Packet("KEY", "NEW", "2024-05-01 12:30:05", "4711", "099", {{"004", "15"}}));
  ASSERT_FALSE(log_.entries().empty());
  EXPECT_EQ(log_.entries()[0].type, EntryType::kInformation);
  EXPECT_EQ(log_.entries()[0].text,
            "TAG=045\r\nTYPE=KEY\r\nSTATUS=NEW\r\nTIME=2024-05-01 12:30:05\r\nUNIT=4711\r\nNUMBER=099\r\n"
            "SIZE=1\r\n004=15\r\n");
}

TEST_F(PacketControllerTest, UnitWithOrWithoutPrefixFindsTheVehicle) {
  for (const char* unit : {"4711", "mux4711", "47mux11", " 4711 "}) {
    vehicle_.Clear();
    Handle(Packet("KEY", "NEW", "", unit, "099"));
    ASSERT_TRUE(vehicle_.has_value()) << unit;
    EXPECT_EQ(vehicle_.wag_taxis(), 17) << unit;
    EXPECT_EQ(vehicle_.wag_id(), 1) << unit;
    EXPECT_EQ(vehicle_.bdr_id(), 1) << unit;
  }
}

// Every "mux" goes in one pass: what a removal joins is not removed again.
TEST_F(PacketControllerTest, PrefixIsRemovedInOnePass) {
  Handle(Packet("NOOP", "NEW", "", "mumuxx", "000"));
  EXPECT_TRUE(Logged(EntryType::kWarning, "Taxis Dorvek ZOL wagen niet gevonden: muxmux"));
  Handle(Packet("NOOP", "NEW", "", "muxmux4711mux", "000"));
  EXPECT_EQ(vehicle_.wag_taxis(), 17) << "muxmux4711mux loses all three";
}

TEST_F(PacketControllerTest, UnknownUnitIsAWarningAndEndsThePacket) {
  Handle(Packet("NOOP", "NEW", "", "9999", "000"));
  EXPECT_TRUE(Logged(EntryType::kWarning, "Taxis Dorvek ZOL wagen niet gevonden: mux9999"));
  EXPECT_FALSE(vehicle_.has_value());
  EXPECT_EQ(fixture_.Count("berichtenbox"), 0);
}

TEST_F(PacketControllerTest, PseudoUnitsAreLoggedAndEndThePacket) {
  Handle(Packet("NOOP", "NEW", "", "QUIPMENT_GPRS", "000"));
  EXPECT_TRUE(Logged(EntryType::kInformation, "Taxis Dorvek ZOL update: muxQUIPMENT_GPRS"));
  Handle(Packet("NOOP", "NEW", "", "QUIPMENT_GPRS_KPN", "000"));
  EXPECT_TRUE(Logged(EntryType::kInformation, "Taxis Dorvek ZOL update: muxQUIPMENT_GPRS_KPN"));
  EXPECT_FALSE(vehicle_.has_value());
  EXPECT_EQ(fixture_.Count("berichtenbox"), 0);
}

TEST_F(PacketControllerTest, VehicleRecordStaysCurrentUntilTheNextLookup) {
  Handle(Packet("KEY", "NEW", "", "4712", "099"));
  EXPECT_EQ(vehicle_.wag_taxis(), 23);
  Handle(Packet("KEY", "NEW", "", "0000", "099"));
  EXPECT_FALSE(vehicle_.has_value());
}

TEST_F(PacketControllerTest, KeepAliveAddsOneMessageBoxRowAndSendsNothing) {
  Handle(Packet("NOOP", "NEW", "", "4712", "0"));
  const auto rows = fixture_.Select("select * from berichtenbox");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Int("bbo_soort"), 1);
  EXPECT_EQ(rows[0].Int("bbo_bdr_id"), 1);
  EXPECT_EQ(rows[0].Int("bbo_wag_id"), 2);
  EXPECT_EQ(rows[0].Text("bbo_code"), "ALIVE-NOOP");
  EXPECT_TRUE(outbound_.empty());
}

TEST_F(PacketControllerTest, MessageNumberSelectsTheRows) {
  // "abc" reads as 0, so a NOOP/NEW with it is a keep-alive; "004" is not.
  Handle(Packet("NOOP", "NEW", "", "4711", "abc"));
  EXPECT_EQ(fixture_.Count("berichtenbox"), 1);
  Handle(Packet("NOOP", "NEW", "", "4711", "004"));
  EXPECT_EQ(fixture_.Count("berichtenbox"), 1);
  Handle(Packet("NOOP", "ACK", "", "4711", "000"));
  EXPECT_EQ(fixture_.Count("berichtenbox"), 1);
}

TEST_F(PacketControllerTest, PacketTimeComesFromTheTimeField) {
  Handle(Packet("KEY", "NEW", "2024-05-01 12:30:05", "4711", "099"));
  EXPECT_EQ(controller_.pakket_tijd(), *core::DateTime::FromParts(2024, 5, 1, 12, 30, 5));
  Handle(Packet("KEY", "NEW", "", "4711", "099"));
  EXPECT_EQ(controller_.pakket_tijd(), clock_.LocalNow());
}

TEST_F(PacketControllerTest, ImpossibleTimeEndsThePacketWithAWarningAfterTheLookup) {
  Handle(Packet("NOOP", "NEW", "2024-13-01 10:00:00", "4711", "000"));
  EXPECT_TRUE(vehicle_.has_value());
  EXPECT_EQ(fixture_.Count("berichtenbox"), 0);
  ASSERT_FALSE(log_.entries().empty());
  EXPECT_EQ(log_.entries().back().type, EntryType::kWarning);
  for (const char* time : {"2024-02-30 10:00:00", "2024-05-01 24:00:00", "gisteren"}) {
    log_.Clear();
    Handle(Packet("NOOP", "NEW", time, "4711", "000"));
    EXPECT_EQ(log_.entries().back().type, EntryType::kWarning) << time;
  }
  EXPECT_EQ(fixture_.Count("berichtenbox"), 0);
}

TEST_F(PacketControllerTest, PositionReportWritesTheConvertedRow) {
  Handle(Packet("KEY", "NEW", "2024-05-01 12:30:05", "4711", "099",
                {{"042", "+52 21 12.34"}, {"043", "+004 53 47.12"}}));
  const auto rows = fixture_.Select("select * from gps");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Text("GPS_Imei"), "mux4711");
  EXPECT_DOUBLE_EQ(rows[0].Decimal("GPS_Latitude"), 52.35);  // Decimal() rounds to 2 places
  EXPECT_NEAR(std::get<double>(*rows[0].Find("GPS_Latitude")), 52.3534, 1e-9);
  EXPECT_NEAR(std::get<double>(*rows[0].Find("GPS_Longitude")), 4.8964, 1e-9);
  EXPECT_EQ(rows[0].Text("GPS_Statuscode"), "ATU");
  EXPECT_EQ(rows[0].Int("GOS_bdr_id"), 1);
  EXPECT_EQ(*rows[0].Date("GPS_Datum_UTC"), *core::DateTime::FromParts(2024, 5, 1, 12, 30, 5));
  const core::DateTime now = clock_.LocalNow();
  EXPECT_EQ(rows[0].Date("GPS_Datum")->ToSql(), now.ToSql());
}

TEST_F(PacketControllerTest, PositionNeedsBothCoordinates) {
  Handle(Packet("KEY", "NEW", "", "4711", "099", {{"042", "+52 21 12.34"}}));
  Handle(Packet("KEY", "NEW", "", "4711", "099", {{"043", "+004 53 47.12"}}));
  Handle(Packet("KEY", "NEW", "", "4711", "099", {{"042", ""}, {"043", "+004 53 47.12"}}));
  EXPECT_EQ(fixture_.Count("gps"), 0);
}

// Coordinates kept from an earlier packet may be another vehicle's: an unreadable
// position still gives its row, without coordinates.
TEST_F(PacketControllerTest, UnreadablePositionWritesNullCoordinates) {
  Handle(Packet("KEY", "NEW", "", "4711", "099", {{"042", "weg"}, {"043", "kwijt"}}));
  Handle(Packet("KEY", "NEW", "", "4711", "099", {{"042", "+52 21 12.34"}, {"043", "+004 53 47.12"}}));
  Handle(Packet("KEY", "NEW", "", "4711", "099", {{"042", "weg"}, {"043", "kwijt"}}));
  const auto rows = fixture_.Select("select * from gps order by GPS_id");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_TRUE(rows[0].IsNull("GPS_Latitude"));
  EXPECT_TRUE(rows[0].IsNull("GPS_Longitude"));
  EXPECT_NEAR(std::get<double>(*rows[1].Find("GPS_Latitude")), 52.3534, 1e-9);
  EXPECT_TRUE(rows[2].IsNull("GPS_Latitude"));
  EXPECT_TRUE(rows[2].IsNull("GPS_Longitude"));
  EXPECT_TRUE(Logged(EntryType::kWarning, "GPS FOUT: 'weg' is te kort voor een coördinaat"));
}

TEST_F(PacketControllerTest, FailedPositionRowDoesNotEndThePacket) {
  db_.FailWhenSqlContains("INSERT INTO gps", "gps is vol");
  Handle(Packet("NOOP", "NEW", "", "4711", "0", {{"042", "+52 21 12.34"}, {"043", "+004 53 47.12"}}));
  EXPECT_TRUE(Logged(EntryType::kWarning, "gps is vol"));
  EXPECT_EQ(fixture_.Count("berichtenbox"), 1);  // the keep-alive still ran
}

TEST_F(PacketControllerTest, RefusalReturnsTheRefusingVehiclesRide) {
  // Another vehicle's packet first: the refusal must not fall on it.
  Handle(Packet("KEY", "NEW", "", "4712", "099"));
  Handle(Packet("FORM", "REJ", "", "4711", "000"));
  const auto notes = fixture_.Select("select * from StatusMeldingen");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].Int("mel_status"), 100);
  EXPECT_EQ(notes[0].Int("mel_wagen"), 1);
  EXPECT_EQ(notes[0].Text("mel_opmerking"), "Wagen 17 heeft bericht geweigerd");
  const auto ride = fixture_.Select("select * from planning where pla_id=101");
  EXPECT_EQ(ride[0].Text("pla_status"), "W");
  EXPECT_EQ(ride[0].Int("pla_com_status"), 0);
  EXPECT_EQ(ride[0].Int("pla_spoed"), 1);
  EXPECT_EQ(ride[0].Int("pla_planning_taxis"), 17);
  const auto sheet = fixture_.Select("select * from ritstaten where lsn_id=1");
  EXPECT_EQ(sheet[0].Text("lsn_actie"), "B");
  EXPECT_EQ(sheet[0].Int("lsn_rit"), 0);
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE", "wag_id=1"), 1);
  // Vehicle 23's route is untouched.
  EXPECT_EQ(fixture_.Count("planning", "pla_route=17 and pla_status='P'"), 2);
}

TEST_F(PacketControllerTest, TransmissionFaultIsNotification101) {
  Handle(Packet("MACRO", "NAK", "", "4712", "000"));
  const auto notes = fixture_.Select("select * from StatusMeldingen");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].Int("mel_status"), 101);
  EXPECT_EQ(notes[0].Text("mel_opmerking"), "Wagen 23 meld een berichtstoring");
  EXPECT_EQ(fixture_.Count("planning", "pla_route=17 and pla_status='W'"), 2);
}

TEST_F(PacketControllerTest, RefusalFromAnUnknownVehicleChangesNothing) {
  Handle(Packet("KEY", "NEW", "", "4711", "099"));
  Handle(Packet("FORM", "REJ", "", "8888", "000"));
  EXPECT_TRUE(Logged(EntryType::kWarning, "Taxis Dorvek ZOL wagen niet gevonden: mux8888"));
  EXPECT_EQ(fixture_.Count("StatusMeldingen"), 0);
  EXPECT_EQ(fixture_.Count("planning", "pla_status='W'"), 0);
}

TEST_F(PacketControllerTest, DatabaseFailureEndsThePacketAndTheNextIsHandled) {
  db_.FailNext(1, "verbinding weg");
  Handle(Packet("NOOP", "NEW", "", "4711", "0"));
  EXPECT_TRUE(Logged(EntryType::kWarning, "verbinding weg"));
  EXPECT_TRUE(inbound_.empty());  // removed before the database work, not retried
  Handle(Packet("NOOP", "NEW", "", "4711", "0"));
  EXPECT_EQ(fixture_.Count("berichtenbox"), 1);
}

// ---------------------------------------------------------------------------------
// The database out of reach: packets wait at the head instead of being lost.

class PacketControllerOutageTest : public PacketControllerTest {
 protected:
  using Handling = HandleResult;
  static constexpr const char* kAway = "Taxis Dorvek ZOL database niet bereikbaar, de pakketten wachten: ";

  // The server goes: the open connection is lost and cannot be opened again.
  void ServerGone(const std::string& text) {
    fixture_.db().Close();
    db_.FailOpen(text);
  }
  Handling Tick() { return controller_.HandleNext(inbound_, &outbound_); }
  std::vector<std::string> TextsOf(EntryType type) const {
    std::vector<std::string> out;
    for (const auto& e : log_.entries())
      if (e.type == type) out.push_back(e.text);
    return out;
  }
  long FieldLists() const {
    long n = 0;
    for (const auto& text : log_.texts()) n += text.starts_with("TAG=");
    return n;
  }
};

TEST_F(PacketControllerOutageTest, PacketWaitsAtTheHeadWithOneWarningAndIsHandledOnceTheDatabaseIsBack) {
  // "XGATE" in a body field: the notice belongs to the packet, not to each try.
  const std::string first = Packet("NOOP", "NEW", "", "4711", "0", {{"009", "via XGATE"}});
  inbound_.push_back(first);
  inbound_.push_back(Packet("NOOP", "NEW", "", "4712", "0"));
  ServerGone("could not connect to server: Connection refused");
  for (int tick = 0; tick < 5; ++tick) {
    EXPECT_EQ(Tick(), Handling::kKept);
    clock_.Advance(std::chrono::seconds(1));
  }
  EXPECT_EQ(inbound_.size(), 2u);
  EXPECT_EQ(inbound_.front(), first);
  EXPECT_TRUE(controller_.database_away());
  EXPECT_EQ(TextsOf(EntryType::kWarning),
            std::vector<std::string>{std::string(kAway) + "could not connect to server: Connection refused"});
  EXPECT_EQ(FieldLists(), 1);
  EXPECT_EQ(Notices().size(), 1u);

  db_.ClearFailures();
  EXPECT_EQ(Tick(), Handling::kTaken);
  EXPECT_FALSE(controller_.database_away());
  EXPECT_TRUE(Logged(EntryType::kInformation, "Taxis Dorvek ZOL database weer bereikbaar na 5 s, 2 pakketten wachtten"));
  EXPECT_EQ(Tick(), Handling::kTaken);
  EXPECT_EQ(Tick(), Handling::kQueueEmpty);
  EXPECT_EQ(FieldLists(), 2) << "one field list per packet";
  EXPECT_EQ(Notices().size(), 1u);
  const auto rows = fixture_.Select("select bbo_wag_id from berichtenbox order by bbo_id");
  ASSERT_EQ(rows.size(), 2u) << "each keep-alive handled exactly once";
  EXPECT_EQ(rows[0].Int("bbo_wag_id"), 1);
  EXPECT_EQ(rows[1].Int("bbo_wag_id"), 2);
}

TEST_F(PacketControllerOutageTest, EveryOutageIsWarnedOnceAndEveryReturnIsAnnounced) {
  for (int outage = 0; outage < 2; ++outage) {
    inbound_.push_back(Packet("NOOP", "NEW", "", "4711", "0"));
    ServerGone("server " + std::to_string(outage) + " weg");
    Tick();
    Tick();
    db_.ClearFailures();
    Tick();
  }
  EXPECT_EQ(TextsOf(EntryType::kWarning),
            (std::vector<std::string>{std::string(kAway) + "server 0 weg", std::string(kAway) + "server 1 weg"}));
  long returns = 0;
  for (const auto& text : TextsOf(EntryType::kInformation))
    returns += text.starts_with("Taxis Dorvek ZOL database weer bereikbaar");
  EXPECT_EQ(returns, 2);
  EXPECT_EQ(fixture_.Count("berichtenbox"), 2);
}

// Wherever an outage, a lock or a time-out strikes, the packet's work is undone whole and
// the packet stays for the next tick; a failure of its own ends it, keeping what was
// written before it.
TEST_F(PacketControllerOutageTest, WhatAFailureAtEachStepDoesWithThePacket) {
  struct Case {
    const char* name;
    const char* sql;
    db::FailureKind kind;
    HandleResult result;
    long gps_rows;  // the position row, written before the keep-alive
  };
  const std::string packet = Packet("NOOP", "NEW", "", "4711", "0", {{"042", "+52 21 12.34"}, {"043", "+004 53 47.12"}});
  long gps = 0;
  for (const Case& c : {
           Case{"statement error at the lookup", "wag_imei", db::FailureKind::kStatement, HandleResult::kTaken, 0},
           Case{"statement error at the last step", "berichtenbox", db::FailureKind::kStatement, HandleResult::kTaken, 1},
           Case{"connection lost at the lookup", "wag_imei", db::FailureKind::kConnection, HandleResult::kKept, 0},
           Case{"connection lost after a write", "berichtenbox", db::FailureKind::kConnection, HandleResult::kKept, 0},
           Case{"lock after a write", "berichtenbox", db::FailureKind::kTimeout, HandleResult::kKept, 0},
       }) {
    SCOPED_TRACE(c.name);
    db_.ClearFailures();
    inbound_.clear();
    inbound_.push_back(packet);
    db_.FailWhenSqlContains(c.sql, c.name, c.kind);
    EXPECT_EQ(Tick(), c.result);
    EXPECT_EQ(inbound_.size(), c.result == HandleResult::kKept ? 1u : 0u);
    EXPECT_EQ(Logged(EntryType::kWarning, c.name), c.result == HandleResult::kTaken);
    gps += c.gps_rows;
    EXPECT_EQ(fixture_.Count("gps"), gps) << "a kept packet leaves nothing written";
    EXPECT_EQ(fixture_.Count("berichtenbox"), 0);
    if (c.result == HandleResult::kKept) {
      db_.ClearFailures();
      EXPECT_EQ(Tick(), HandleResult::kTaken);
      EXPECT_EQ(fixture_.Count("gps"), ++gps) << "and is written once when it gets through";
      fixture_.file().Run("delete from berichtenbox");
    }
  }
}

TEST_F(PacketControllerTest, OneEntryPerTickInArrivalOrder) {
  inbound_.push_back(Packet("NOOP", "NEW", "", "4711", "0"));
  inbound_.push_back(Packet("NOOP", "NEW", "", "4712", "0"));
  controller_.HandleNext(inbound_, &outbound_);
  EXPECT_EQ(inbound_.size(), 1u);
  controller_.HandleNext(inbound_, &outbound_);
  const auto rows = fixture_.Select("select bbo_wag_id from berichtenbox order by bbo_id");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Int("bbo_wag_id"), 1);
  EXPECT_EQ(rows[1].Int("bbo_wag_id"), 2);
}

}  // namespace
}  // namespace dorvek::inbound
