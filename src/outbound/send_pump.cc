#include "outbound/send_pump.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "core/codepage.h"

namespace dorvek::outbound {

void SendNextPacket(gateway::PacketQueue* queue, gateway::GatewayLink& link, core::EventLog& log,
                    std::function<void()> sent) {
  try {
    if (queue == nullptr || queue->empty() || link.state() != gateway::SocketState::kConnected) return;
    if (link.sending()) return;
    // Only this pump removes entries and it starts no write while one is in flight, so
    // the head is still the packet written when the write ends.
    link.Send(core::Utf8ToCp1252(queue->front()), [queue, &log, sent = std::move(sent)](
                                                      std::optional<std::string> failure) {
      try {
        if (failure) {
          log.Warning(*failure);
        } else if (!queue->empty()) {
          queue->pop_front();
          if (sent) sent();
        }
      } catch (...) {
        // A completion runs on the event loop, where nothing may escape; a log that
        // cannot be written has nowhere else to go.
      }
    });
  } catch (const std::exception& e) {
    log.Warning(e.what());
  }
}

}  // namespace dorvek::outbound
