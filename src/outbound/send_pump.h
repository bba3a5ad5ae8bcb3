#pragma once
// The send pump: at most one queued packet leaves per firing, from the head of the
// outbound queue, and only while the gateway is connected.

#include <functional>

#include "core/event_log.h"
#include "gateway/gateway_link.h"
#include "gateway/packet_queue.h"

namespace dorvek::outbound {

// Starts writing the head packet in Windows-1252 with nothing added; the write ends
// later, on the event loop, and the head is removed only when it succeeded. A failure
// (the write could not start, failed, or did not complete in time) is a warning and the
// packet stays at the head for a later firing. Nothing happens (and nothing is logged)
// while the queue is empty or missing, the link is not connected, or the previous
// packet's write is still in flight.
//
// The queue must outlive the write: the link's Abandon, before the queue is destroyed,
// drops the write's completion. `sent`, when given, is called once the head has been
// removed after a successful write.
void SendNextPacket(gateway::PacketQueue* queue, gateway::GatewayLink& link, core::EventLog& log,
                    std::function<void()> sent = {});

}  // namespace dorvek::outbound
