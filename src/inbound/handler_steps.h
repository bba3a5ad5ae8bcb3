#pragma once
// Steps the terminal event handlers share: a step guarded as a whole, a notification
// about the packet's vehicle, and a reply packet queued for the send pump.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "inbound/packet_context.h"

namespace dorvek::inbound {

// "Wagen " + the vehicle's fleet number: how every notification text begins.
std::string Wagen(const CurrentVehicle& vehicle);

// Runs step; a failure inside it is a warning with the failure's own text, the rest
// of the step is skipped and the caller goes on. Never throws.
void Guarded(core::EventLog& log, const std::function<void()>& step);

// Operator notification of type 1 about the packet's vehicle. Never throws: a failure
// to write it is a warning.
void Notify(const HandlerParts& parts, const PacketContext& packet, int status, std::string_view text);

// Builds the packet from its fields, logs it as information and appends it to the
// outbound queue. Before start and after stop there is no queue: the
// packet is then dropped with a warning, as a stop drops what is still queued.
void QueueReply(const HandlerParts& parts, const PacketContext& packet,
                const std::vector<std::string>& fields);

}  // namespace dorvek::inbound
