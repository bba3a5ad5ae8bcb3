#include "outbound/send_pump.h"

#include <exception>

#include "core/codepage.h"

namespace dorvek::outbound {

void SendNextPacket(gateway::PacketQueue* queue, gateway::GatewayLink& link, core::EventLog& log) {
  try {
    if (queue == nullptr || queue->empty() || link.state() != gateway::SocketState::kConnected) return;
    link.Send(core::Utf8ToCp1252(queue->front()));
    queue->pop_front();
  } catch (const std::exception& e) {
    log.Warning(e.what());
  }
}

}  // namespace dorvek::outbound
