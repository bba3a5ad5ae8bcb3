#pragma once
// Terminal event handlers driven the way the service drives them: packets built by the
// packet writer go through the packet controller (vehicle lookup, packet time, routing
// table, failure frame) into a test dispatch database, on each database path.

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/metrics.h"
#include "core/memory_event_log.h"
#include "gateway/packet_writer.h"
#include "inbound/packet_controller.h"
#include "support/dispatch_fixture.h"
#include "support/failing_database.h"
#include "support/schema_statements.h"
#include "support/fake_udp_sender.h"
#include "support/row_text.h"

namespace dorvek::test_support {

using Body = std::vector<std::pair<std::string, std::string>>;

// A packet from a terminal: the header fields, then the body's key/value pairs.
inline std::string TerminalPacket(const std::string& type, const std::string& status, const std::string& time,
                                  const std::string& unit, const std::string& number, const Body& body = {}) {
  std::vector<std::string> fields = {"045", type, status, time, unit, number, std::to_string(body.size())};
  for (const auto& [key, value] : body) {
    fields.push_back(key);
    fields.push_back(value);
  }
  return gateway::BuildPacket(fields);
}

class HandlerFixture : public ::testing::TestWithParam<DbPath> {
 protected:
  HandlerFixture() { controller_.Configure({"mux", ".", "Wexlor", "PC01"}); }

  // Queues the packet and runs one tick of the controller.
  void Handle(const std::string& packet) {
    inbound_.push_back(packet);
    controller_.HandleNext(inbound_, outbound_present_ ? &outbound_ : nullptr);
  }

  bool Logged(core::EntryType type, const std::string& text) const { return log_.Contains(type, text); }
  // Every entry of that type, in order.
  std::vector<std::string> Entries(core::EntryType type) const {
    std::vector<std::string> out;
    for (const auto& e : log_.entries())
      if (e.type == type) out.push_back(e.text);
    return out;
  }

  // "status: text" of every notification, in order.
  std::vector<std::string> Notifications() {
    std::vector<std::string> out;
    for (const auto& row : fixture_.Select("select * from StatusMeldingen order by " + fixture_.InsertionOrder()))
      out.push_back(std::to_string(row.Int("mel_status")) + ": " + row.Text("mel_opmerking"));
    return out;
  }
  db::Row Ride(long long id) { return Only("select * from planning where pla_id=" + std::to_string(id)); }
  db::Row Sheet(long long id) { return Only("select * from ritstaten where lsn_id=" + std::to_string(id)); }
  long long RouteStatusCalls(long long wag_id) {
    return fixture_.Count("PROC_ROUTESTATUS_CONTROLE", "wag_id=" + std::to_string(wag_id));
  }
  db::Row Only(const std::string& sql) {
    const auto rows = fixture_.Select(sql);
    EXPECT_EQ(rows.size(), 1u) << sql;
    return rows.empty() ? db::Row() : rows.front();
  }

  // Every table named and column written is one the service declares it uses.
  void TearDown() override { ExpectStatementsInSchema(db_.executed()); }

  DispatchFixture fixture_{GetParam()};
  FailingDatabase db_{fixture_.db()};
  core::MemoryEventLog log_;
  core::ManualClock clock_;
  FakeUdpSender udp_;
  inbound::CurrentVehicle vehicle_;
  core::Metrics metrics_;
  inbound::PacketController controller_{{log_, clock_, db_, udp_, vehicle_, &metrics_}};
  gateway::PacketQueue inbound_, outbound_;
  bool outbound_present_ = true;
};

}  // namespace dorvek::test_support
