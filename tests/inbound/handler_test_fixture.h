#pragma once
// The handler fixture with packets written in the gateway simulator's notation.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/packet_notation.h"
#include "gateway/packet_writer.h"
#include "support/handler_fixture.h"

namespace dorvek::inbound {

class HandlerTest : public test_support::HandlerFixture {
 protected:
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
    for (const db::Row& row : fixture_.Select("select * from StatusMeldingen order by " + fixture_.InsertionOrder())) {
      EXPECT_EQ(row.Int("mel_type"), 1);
      EXPECT_EQ(row.Int("mel_actief"), 1);
      notes.push_back(row.Text("mel_status") + " " + row.Text("mel_opmerking"));
    }
    return notes;
  }
  void ClearNotes() { fixture_.file().Run("DELETE FROM StatusMeldingen;"); }

  // The one row sql selects.
  db::Row One(const std::string& sql) { return Only(sql); }
};

}  // namespace dorvek::inbound
