#include "outbound/send_pump.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "core/codepage.h"

namespace dorvek::outbound {

void SendNextPacket(gateway::PacketQueue* queue, gateway::GatewayLink& link, core::EventLog& log,
                    std::function<void()> sent, int packets) {
  try {
    if (queue == nullptr || link.state() != gateway::SocketState::kConnected || link.sending()) return;
    // The head packets up to this one are on the wire, awaiting acknowledgement. Only
    // their acknowledgements remove entries, always the head, so the count stays the
    // index of the first packet not yet written.
    const std::size_t next = link.unacknowledged();
    // A held packet (its message-box row's marking, or the work of the packet it replies
    // to, not known to have committed yet) waits, and so does everything behind it: the
    // order stays, and a packet taken back was never written.
    if (next >= queue->size() || queue->entry(next).bbo_id != 0 || queue->entry(next).reply_to != 0) return;
    // Completions run on the event loop, where nothing may escape; a log that cannot
    // be written has nowhere else to go.
    auto written = [queue, &link, &log, sent, packets](std::optional<std::string> failure) {
      try {
        if (failure) {
          log.Warning(*failure);
        } else if (packets > 1) {
          SendNextPacket(queue, link, log, sent, packets - 1);
        }
      } catch (...) {
      }
    };
    auto acknowledged = [queue, sent] {
      try {
        if (queue->empty()) return;
        queue->pop_front();
        if (sent) sent();
      } catch (...) {
      }
    };
    link.Send(core::Utf8ToCp1252((*queue)[next]), std::move(written), std::move(acknowledged));
  } catch (const std::exception& e) {
    log.Warning(e.what());
  }
}

}  // namespace dorvek::outbound
