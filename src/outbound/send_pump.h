#pragma once
// The send pump: queued packets leave from the head of the outbound queue, in order,
// each in a write of its own, and only while the gateway is connected. A packet leaves
// the queue once the gateway host has acknowledged it, not when it was written: the
// packets written and not yet acknowledged stay at the head, and those the connection
// ends without are written again, in order, on the next one.

#include <functional>

#include "core/event_log.h"
#include "gateway/gateway_link.h"
#include "gateway/packet_queue.h"

namespace dorvek::outbound {

// One firing: writes up to `packets` queued packets (at least one) that are not on the
// wire yet, one after the other, in Windows-1252 with nothing added; the first of them
// follows the packets of this connection still awaiting acknowledgement. Writes end
// later, on the event loop, and each starts only when the one before it has ended. A
// failure (a write could not start, failed, or did not complete in time) is a warning
// and ends the firing; its packet stays where it is for a later one. Nothing happens
// (and nothing is logged) while the queue is missing, the link is not connected, a
// write is still in flight, every queued packet is on the wire, or the next one is held
// (its message-box row's marking, or the work of the packet it replies to, is not known
// to have committed yet): it and those behind it wait.
//
// When the gateway host has acknowledged a packet, the head is removed and `sent`, when
// given, is called; once per packet, in order. The queue must outlive the writes: the
// link's Abandon, before the queue is destroyed, drops their completions.
void SendNextPacket(gateway::PacketQueue* queue, gateway::GatewayLink& link, core::EventLog& log,
                    std::function<void()> sent = {}, int packets = 1);

}  // namespace dorvek::outbound
