#pragma once
// The receive path: what one read from the gateway socket becomes. Every read is
// logged ("Ontvangen pakket: " + its text, unless it holds "XGATE"), then cut into whole
// packets, each of which becomes one entry of the inbound queue. A read may hold half a
// packet or several; the framer keeps the half until the rest arrives. What the framer
// drops is one warning per read, however many fragments the read held.

#include <cstddef>
#include <string>
#include <string_view>

#include "core/event_log.h"
#include "gateway/packet_queue.h"
#include "gateway/stream_framer.h"

namespace dorvek::gateway {

class ReceivePath {
 public:
  // max_frame_chars: see StreamFramer.
  explicit ReceivePath(core::EventLog& log, std::size_t max_frame_chars = kMaxFrameChars);

  // The bytes of one read, in the gateway's Windows-1252. With no queue (before start,
  // after stop) the packets are dropped.
  void QClientSocketDataAvailable(std::string_view bytes, PacketQueue* queue);
  // A new connection starts a new stream: a half packet of the old one is forgotten.
  void ConnectionClosed() { framer_.Reset(); }

  std::size_t pending_size() const { return framer_.pending_size(); }

 private:
  core::EventLog& log_;
  StreamFramer framer_;
  std::size_t drops_ = 0;   // fragments dropped in the current read
  std::string first_drop_;  // and what the first of them was
};

}  // namespace dorvek::gateway
