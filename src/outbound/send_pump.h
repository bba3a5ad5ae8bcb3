#pragma once
// The send pump: at most one queued packet leaves per firing, from the head of the
// outbound queue, and only while the gateway is connected.

#include "core/event_log.h"
#include "gateway/gateway_link.h"
#include "gateway/packet_queue.h"

namespace dorvek::outbound {

// Writes the head packet in Windows-1252 with nothing added and removes it only after
// the write succeeded; a failure is a warning and the packet stays at the head for the
// next firing. Nothing happens (and nothing is logged) while the queue is empty or
// missing or the link is not connected.
void SendNextPacket(gateway::PacketQueue* queue, gateway::GatewayLink& link, core::EventLog& log);

}  // namespace dorvek::outbound
