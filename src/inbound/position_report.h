#pragma once
// Position reports: any packet from a known vehicle whose body carries both "042"
// (latitude) and "043" (longitude) adds one row to gps, before its other handlers run.

#include <optional>
#include <string_view>

#include "inbound/packet_context.h"
#include "inbound/zol_gps.h"

namespace dorvek::inbound {

bool HasPosition(const gateway::PakketVelden& velden);

// Converts the coordinates (a failure keeps the last good ones) and appends the gps
// row. A failed row is a warning and never ends the packet.
Outcome HandlePositionReport(const HandlerParts& parts, const PacketContext& packet, Position& position);

// A coordinate text written with either mark as a number; empty or unreadable gives
// nothing (NULL in the row).
std::optional<double> CoordinateValue(std::string_view text);

}  // namespace dorvek::inbound
