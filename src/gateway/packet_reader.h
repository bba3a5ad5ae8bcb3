#pragma once
// Reads the text of one received packet into its field list.

#include <cstddef>
#include <string>
#include <string_view>

#include "gateway/pakket_velden.h"

namespace dorvek::gateway {

// At most this many characters after any field boundary take part in reading.
inline constexpr std::size_t kMaxFieldTextChars = 1000;

// The seven header entries of every packet, in field order.
inline constexpr std::string_view kHeaderNames[] = {"TAG",  "TYPE",   "STATUS", "TIME",
                                                    "UNIT", "NUMBER", "SIZE"};

// Never fails. Text (UTF-8) before the first STX is not examined and a text without
// STX gives an empty list. Every field ends at an ETX; the fields after the seventh
// are key/value pairs, where an empty field in key position is skipped. Whatever
// follows the last ETX, a pending key among it, is ignored. After every field the
// rest is cut to 1000 characters (code points, never half a character); each later
// rest lies inside the first, so nothing beyond 1000 characters after the first
// field's ETX is read. Several packets in one text are read as one.
PakketVelden ReadPacket(std::string_view text);

// The value of the first field named name (without regard to case), or the empty text.
const std::string& LookupField(const PakketVelden& fields, std::string_view name);

}  // namespace dorvek::gateway
