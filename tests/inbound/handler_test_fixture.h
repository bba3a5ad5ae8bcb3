#pragma once
// The packet controller over the sample dispatch database, on one database path, for
// tests of the terminal event handlers. Packets are written in the gateway simulator's
// notation and run through the whole routing table, as in the service.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "gateway/packet_notation.h"
#include "gateway/packet_writer.h"
#include "inbound/packet_controller.h"
#include "support/dispatch_fixture.h"
#include "support/failing_database.h"
#include "support/fake_udp_sender.h"

namespace dorvek::inbound {

class HandlerTest : public ::testing::TestWithParam<test_support::DbPath> {
 protected:
  HandlerTest() : fixture_(GetParam()) { controller_.Configure({"mux", ".", "Wexlor", "PC01"}); }

  // One packet, e.g. "NUMBER=004 TYPE=KEY STATUS=NEW UNIT=4711 004=15", handled in one
  // tick; replies go to outbound.
  void Handle(std::string_view notation, gateway::PacketQueue* outbound) {
    HandleFields(gateway::ParseNotation(notation), outbound);
  }
  void Handle(std::string_view notation) { Handle(notation, &outbound_); }
  // The same for fields that notation cannot write (control characters).
  void HandleFields(const std::vector<std::string>& fields, gateway::PacketQueue* outbound) {
    inbound_.push_back(gateway::BuildPacket(fields));
    controller_.HandleNext(inbound_, outbound);
  }

  // The notifications posted so far, oldest first, as "status text"; every one must be
  // of type 1 and active.
  std::vector<std::string> Notes() {
    std::vector<std::string> notes;
    for (const db::Row& row : fixture_.Select("select * from StatusMeldingen order by rowid")) {
      EXPECT_EQ(row.Int("mel_type"), 1);
      EXPECT_EQ(row.Int("mel_actief"), 1);
      notes.push_back(row.Text("mel_status") + " " + row.Text("mel_opmerking"));
    }
    return notes;
  }
  void ClearNotes() { fixture_.file().Run("DELETE FROM StatusMeldingen;"); }

  bool Logged(core::EntryType type, const std::string& text) const { return log_.Contains(type, text); }

  // The one row sql selects.
  db::Row One(const std::string& sql) {
    auto rows = fixture_.Select(sql);
    EXPECT_EQ(rows.size(), 1u) << sql;
    return rows.empty() ? db::Row() : rows.front();
  }

  test_support::DispatchFixture fixture_;
  test_support::FailingDatabase db_{fixture_.db()};
  core::MemoryEventLog log_;
  core::ManualClock clock_;
  test_support::FakeUdpSender udp_;
  CurrentVehicle vehicle_;
  PacketController controller_{{log_, clock_, db_, udp_, vehicle_}};
  gateway::PacketQueue inbound_, outbound_;
};

}  // namespace dorvek::inbound
