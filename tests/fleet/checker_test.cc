// The checker's own logic, on records and end states made by hand: how it counts lost
// and twice-handled packets and what falls under its allowances, and a few of the
// handlers' rules it works out rows by. It is otherwise tested by running it against
// the service (the fleet runs of the test command).

#include <gtest/gtest.h>

#include "fleet/checker.h"
#include "fleet/expectation.h"
#include "fleet/fleet_setup.h"
#include "fleet/terminal_packets.h"
#include "gateway/packet_writer.h"

namespace dorvek::fleet {
namespace {

class CheckerTest : public ::testing::Test {
 protected:
  CheckerTest() {
    FleetShape shape;
    shape.taxis = 2;
    shape.start = *core::DateTime::FromParts(2026, 12, 8, 6, 0, 0);
    shape.on_duty_at_start = 1.0;
    record_.setup = MakeFleet(shape);
    // The end state of a run in which nothing happened: the rows as they began.
    const KnownIds none;
    const Expectation e = Expect(record_, none, {});
    state_.sheets = e.sheets;
    state_.kmstand = e.kmstand;
    state_.notices[0] = {{4008, "Taxis Dorvek ZOL is gestopt", 0}};  // the stop at the end
  }

  // A packet of taxi `wag` at 06:00 plus `second`, written `written` s into the run.
  SentPacket& Send(long long wag, int second, Pairs pairs, double written, const std::string& kind = "position") {
    const Vehicle& v = *record_.setup.FindVehicle(wag);
    SentPacket p;
    p.wag_id = wag;
    p.kind = kind;
    p.traced = kind == "position";
    if (p.traced) {
      pairs.emplace_back("042", "+51 26 28.70");
      pairs.emplace_back("043", "+005 28 40.12");
    }
    const std::string time = record_.setup.start.AddSeconds(second)->ToSql();
    p.fields = MakePacket({"001", kind == "position" ? "KEY" : "FORM", "NEW", time, v.unit, kind == "position" ? "099" : "001"},
                          pairs);
    p.connection = 1;
    p.written_s = written;
    record_.AddSent(p);
    return record_.sent.back();
  }
  void Positions(long long wag, int second, long long rows, double latitude = 51.4413) {
    state_.positions[{record_.setup.FindVehicle(wag)->imei, record_.setup.start.AddSeconds(second)->ToSql()}] = {
        rows, latitude, 5.4778, 1, "ATU", {}};
  }
  void Row(long long wag, long long actie, long long bbo_id) {
    DeskAction a;
    a.wag_id = wag;
    a.actie = actie;
    a.bbo_id = bbo_id;
    a.text = "Bericht 1";
    record_.AddDesk(a);
    state_.box_rows[bbo_id] = 1;
  }
  void Receive(long long wag, std::vector<std::string> fields, int connection, double real_s) {
    fields.insert(fields.begin(), {"123", fields[0], "NEW", "60", record_.setup.FindVehicle(wag)->imei});
    fields.erase(fields.begin() + 5);
    ReceivedPacket r;
    r.connection = connection;
    r.real_s = real_s;
    r.text = gateway::BuildPacket(fields);
    record_.received.push_back(r);
  }

  Record record_;
  DispatchState state_;
};

TEST_F(CheckerTest, CountsLostAndTwiceAndNamesTheAllowances) {
  record_.faults.push_back({"service killed", 0, 10.0, 1.0, ""});
  Send(1, 10, {}, 1.0);
  Positions(1, 10, 1, 51.5);  // a wrong latitude
  Send(1, 20, {}, 2.0);       // no row: lost
  Send(2, 30, {}, 9.0);
  Positions(2, 30, 2);        // twice, before the kill: its allowance
  Send(2, 40, {}, 11.0);
  Positions(2, 40, 2);        // twice after the kill: no allowance left
  // Not handled by the end, but kept in the queue file (as the service stores it).
  const std::string waiting = gateway::BuildPacket(Send(2, 50, {}, 12.0).fields);
  EXPECT_EQ(record_.NoteQueuedAtEnd({waiting, "junk"}), 1);
  Row(1, 3, 7);               // a terminal reset, in flight as connection 1 ended
  record_.connections.push_back({1, 0.0, 5.0, "gateway closed"});
  state_.notices[0].push_back({4006, "Taxis Dorvek ZOL cliënt verbinding gestart op 127.0.0.1", 0});
  state_.notices[0].push_back({4007, "Taxis Dorvek ZOL cliënt verbinding gestopt op 127.0.0.1", 0});
  Receive(1, {"MACRO", "0", "0"}, 1, 4.0);
  Receive(1, {"MACRO", "0", "0"}, 2, 6.0);
  Row(2, 99, 8);              // a text message, never received

  const Report report = Check(record_, state_);

  const Tally& positions = report.tallies.at("positions");
  EXPECT_EQ(positions.expected, 5);
  EXPECT_EQ(positions.present, 3);
  EXPECT_EQ(positions.lost, 1);
  EXPECT_EQ(positions.twice, 1);
  EXPECT_EQ(positions.wrong, 1);
  EXPECT_EQ(report.tallies.at("terminal packets").lost, 1);
  EXPECT_EQ(report.allowances.at(kTwiceAfterCrash), 1);
  EXPECT_EQ(report.allowances.at(kInFlightAtConnectionEnd), 1);
  EXPECT_EQ(report.allowances.at(kQueuedAtEnd), 1);
  EXPECT_EQ(report.differences.size(), 4u) << report.Text();
  EXPECT_FALSE(report.Passed());
}

TEST_F(CheckerTest, WorksOutStreetHailRowsByTheRules) {
  // A start without odometer in a town with ", NLD" longer than the column; an end with
  // one; a boarding of the completed ride, which must change nothing.
  Send(1, 10, {{"001", "5"}, {"003", "Laan van de Verenigde Naties 1"}, {"004", "Nuenen, Gerwen en Nederwetten, NLD"}},
       1.0, "street-hail start");
  Send(1, 600, {{"001", "3"}, {"036", "1234567"}, {"012", "1850"}}, 2.0, "street-hail end");
  KnownIds ids;
  ids.hail_rides[{1, record_.setup.start.AddSeconds(10)->ToSql()}] = 42;
  SentPacket& boarding = Send(1, 700, {{"000", "42"}, {"001", "002"}, {"036", "1234999"}}, 3.0, "boarding");
  boarding.fields[5] = "000";
  const Expectation e = Expect(record_, ids, {});

  const Cells& ride = e.rides.at(42);
  EXPECT_EQ(ride.at("pla_ophstraat"), Cell("Laan van de Verenigd"));
  EXPECT_EQ(ride.at("pla_ophstad"), Cell("Nuenen, Gerwen en Ne"));
  EXPECT_EQ(ride.at("pla_start_stad"), Cell("Nuenen, Gerwen en Nederwetten, NLD"));
  EXPECT_EQ(ride.at("pla_status"), Cell("V"));
  EXPECT_EQ(ride.at("pla_odo_stop"), Cell("123456.70"));
  EXPECT_FALSE(ride.at("pla_km_map")) << "no distance without the start's reading";
  EXPECT_FALSE(ride.at("pla_odo_start"));
  EXPECT_EQ(ride.at("pla_bedrag_1"), Cell("18.50"));
  const auto& codes = e.notices.at(1);
  ASSERT_EQ(codes.size(), 2u);  // 106 and 107; no 113 for the completed ride
  EXPECT_EQ(codes[0].status, 106);
  EXPECT_EQ(codes[1].status, 107);
}

TEST(ExpectedCoordinate, ConvertsDegreesMinutesSeconds) {
  EXPECT_DOUBLE_EQ(ExpectedCoordinate("+52 21 12.34", 2), 52.3534);
  EXPECT_DOUBLE_EQ(ExpectedCoordinate("+004 53 47.12", 3), 4.8964);
  EXPECT_DOUBLE_EQ(ExpectedCoordinate("522112,34", 2), 52.3534);
}

}  // namespace
}  // namespace dorvek::fleet
