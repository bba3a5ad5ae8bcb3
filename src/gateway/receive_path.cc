#include "gateway/receive_path.h"

#include <fmt/format.h>

#include "core/codepage.h"

namespace dorvek::gateway {

ReceivePath::ReceivePath(core::EventLog& log, std::size_t max_frame_chars)
    : log_(log), framer_([this](const std::string& text) {
        if (drops_++ == 0) first_drop_ = text;
      }, max_frame_chars) {}

void ReceivePath::QClientSocketDataAvailable(std::string_view bytes, PacketQueue* queue) {
  const std::string text = core::Cp1252ToUtf8(bytes);
  if (text.find("XGATE") == std::string::npos) log_.Info("Ontvangen pakket: " + text);
  drops_ = 0;
  for (std::string& packet : framer_.Feed(text))
    if (queue != nullptr) queue->push_back(std::move(packet));
  // Noise on the stream can hold a frame start every few hundred bytes: one warning per
  // read, not one per fragment, so the journal keeps its room for what matters.
  if (drops_ == 1) log_.Warning(first_drop_);
  if (drops_ > 1)
    log_.Warning(fmt::format("{}, en nog {} stukken verworpen in dezelfde ontvangst", first_drop_, drops_ - 1));
}

}  // namespace dorvek::gateway
