#include "gateway/receive_path.h"

#include "core/codepage.h"

namespace dorvek::gateway {

ReceivePath::ReceivePath(core::EventLog& log)
    : log_(log), framer_([this](const std::string& text) { log_.Warning(text); }) {}

void ReceivePath::QClientSocketDataAvailable(std::string_view bytes, PacketQueue* queue) {
  const std::string text = core::Cp1252ToUtf8(bytes);
  if (text.find("XGATE") == std::string::npos) log_.Info("Ontvangen pakket: " + text);
  for (std::string& packet : framer_.Feed(text))
    if (queue != nullptr) queue->push_back(std::move(packet));
}

}  // namespace dorvek::gateway
