#include "gateway/packet_writer.h"

#include <stdexcept>

#include "core/codepage.h"
#include "gateway/control_chars.h"

namespace dorvek::gateway {

std::string BuildPacket(const std::vector<std::string>& fields) {
  std::string packet;
  std::size_t size = 1 + 4 + 1 + 1 + kTrailer.size();
  for (const auto& field : fields) size += field.size() + 1;
  packet.reserve(size);

  packet += kSoh;
  packet += "0000";
  packet += kStx;
  for (const auto& field : fields) {
    // There is no escaping: a frame character inside a field would end it early.
    for (char c : field) packet += (c == kSoh || c == kStx || c == kEtx || c == kEot) ? ' ' : c;
    packet += kEtx;
  }
  packet += kEot;
  packet += kTrailer;

  // The length has four characters in both passes, so it fits in place of "0000".
  const std::string length =
      ZeroPadded(static_cast<long long>(core::Utf8Length(packet)), 4);
  packet.replace(1, 4, length);
  return packet;
}

std::string ZeroPadded(long long n, int width) {
  if (n < 0) throw std::invalid_argument("ZeroPadded: negatief getal " + std::to_string(n));
  if (width < 0) throw std::invalid_argument("ZeroPadded: negatieve breedte");
  std::string digits(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0 && n > 0; --i) {
    digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  return digits;
}

}  // namespace dorvek::gateway
