#pragma once
// What an outbound packet is, in the words of the journal, read back from its own
// fields: for entries about packets that wait in the queue, which keeps only their text.
// Pure.

#include <string>
#include <string_view>

namespace dorvek::outbound {

struct PacketKind {
  std::string kind;  // "ritaanbieding", "terminal reset", ... ; "pakket" when not recognised
  std::string unit;  // the terminal it is for (UNIT)
};

PacketKind KindOfPacket(std::string_view packet);

}  // namespace dorvek::outbound
