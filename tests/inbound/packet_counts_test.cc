// What the packet controller counts for the monitoring: each packet once for the
// controller's own steps and once for each handler family that ran, as handled or
// failed, on every database path.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "inbound/handler_test_fixture.h"

namespace dorvek::inbound {
namespace {

struct CountCase {
  std::string name;
  std::string packet;    // notation
  std::string fail_sql;  // a statement containing this fails; empty: none
  std::string counts;    // "family handled/failed" of every family that counted
  long long unknown_vehicle = 0;
};

// The counts of the families that counted anything, in name order.
std::string Counts(const core::Metrics& metrics) {
  std::string out;
  for (const auto& [family, c] : metrics.packets)
    if (c.handled + c.failed > 0)
      out += (out.empty() ? "" : ", ") + family + " " + std::to_string(c.handled) + "/" + std::to_string(c.failed);
  return out;
}

const std::vector<CountCase> kCases = {
    // Message number 0 is routed to the form replies too, which find nothing to do.
    {"KeepAlive", "NUMBER=0 TYPE=NOOP STATUS=NEW UNIT=4711", "",
     "form_replies 1/0, keep_alive 1/0, packet_controller 1/0"},
    {"Position", R"(NUMBER=099 TYPE=KEY STATUS=NEW UNIT=4711 042="+52 21 12.34" 043="+004 53 47.12")", "",
     "packet_controller 1/0, position_report 1/0"},
    // The conversion's warning is the handler's failure; the row is still written.
    {"UnreadablePosition", "NUMBER=099 TYPE=KEY STATUS=NEW UNIT=4711 042=weg 043=kwijt", "",
     "packet_controller 1/0, position_report 0/1"},
    // A failed gps row never ends the packet: the keep-alive after it still runs.
    {"PositionRowFailsKeepAliveGoesOn",
     R"(NUMBER=0 TYPE=NOOP STATUS=NEW UNIT=4711 042="+52 21 12.34" 043="+004 53 47.12")", "INSERT INTO gps",
     "form_replies 1/0, keep_alive 1/0, packet_controller 1/0, position_report 0/1"},
    // A failure that ends the packet counts for the handler it came from.
    {"KeepAliveFails", "NUMBER=0 TYPE=NOOP STATUS=NEW UNIT=4711", "INSERT INTO berichtenbox",
     "keep_alive 0/1, packet_controller 1/0"},
    {"BreakRequestWithStatusEvent", "NUMBER=004 TYPE=KEY STATUS=NEW UNIT=4711 201=27", "",
     "key_events 1/0, packet_controller 1/0, shift_forms 1/0, status_events 1/0"},
    {"UnknownVehicle", "NUMBER=0 TYPE=NOOP STATUS=NEW UNIT=9999", "", "packet_controller 1/0", 1},
    {"GatewaysOwn", "NUMBER=0 TYPE=NOOP STATUS=NEW UNIT=XGATE", "", "packet_controller 1/0"},
    {"InvalidTime", R"(TIME="2024-13-01 10:00:00" NUMBER=0 TYPE=NOOP STATUS=NEW UNIT=4711)", "",
     "packet_controller 0/1"},
    {"VehicleLookupFails", "NUMBER=0 TYPE=NOOP STATUS=NEW UNIT=4711", "wag_imei =:imei", "packet_controller 0/1"},
};

using PacketCountsTest = HandlerTest;

TEST_P(PacketCountsTest, EachPacketCountsOnceForTheControllerAndOnceForEachFamilyThatRan) {
  for (const CountCase& c : kCases) {
    SCOPED_TRACE(c.name);
    metrics_ = core::Metrics();
    db_.ClearFailures();
    if (!c.fail_sql.empty()) db_.FailWhenSqlContains(c.fail_sql);
    Handle(c.packet);
    EXPECT_EQ(Counts(metrics_), c.counts);
    EXPECT_EQ(metrics_.packets_unknown_vehicle, c.unknown_vehicle);
  }
}

TEST_P(PacketCountsTest, EveryFamilyIsKnownBeforeItsFirstPacket) {
  core::Metrics metrics;
  PacketController controller({log_, clock_, db_, udp_, vehicle_, &metrics});
  std::vector<std::string> families;
  for (const auto& [family, counts] : metrics.packets) families.push_back(family);
  EXPECT_EQ(families, (std::vector<std::string>{"form_replies", "keep_alive", "key_events", "packet_controller",
                                                "position_report", "ride_progress", "shift_forms", "status_events",
                                                "street_hail"}));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, PacketCountsTest, test_support::AllDbPaths(), test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::inbound
