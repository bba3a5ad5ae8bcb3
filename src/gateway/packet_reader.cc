#include "gateway/packet_reader.h"

#include <cstring>

#include "gateway/control_chars.h"

namespace dorvek::gateway {
namespace {

constexpr std::size_t kHeaderCount = std::size(kHeaderNames);

// The first max_chars code points of text. A continuation byte never starts a
// character, so the cut never splits one.
std::string_view CutToChars(std::string_view text, std::size_t max_chars) {
  // Fewer bytes than the limit means fewer characters too: the common case costs nothing.
  if (text.size() <= max_chars) return text;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == max_chars) return text.substr(0, i);
      ++chars;
    }
  }
  return text;
}

}  // namespace

PakketVelden ReadPacket(std::string_view text) {
  PakketVelden fields;
  const std::size_t stx = text.find(kStx);
  if (stx == std::string_view::npos) return fields;

  std::string_view rest = text.substr(stx + 1);
  std::size_t position = 1;
  std::string pending_key;
  while (true) {
    const void* found = rest.empty() ? nullptr : std::memchr(rest.data(), kEtx, rest.size());
    if (found == nullptr) break;
    const std::size_t etx = static_cast<const char*>(found) - rest.data();
    const std::string_view field = rest.substr(0, etx);
    if (position <= kHeaderCount) {
      fields.Add(std::string(kHeaderNames[position - 1]), std::string(field));
    } else if (!pending_key.empty()) {
      fields.Add(std::move(pending_key), std::string(field));
      pending_key.clear();
    } else {
      pending_key = field;  // an empty field leaves no key pending
    }
    ++position;
    rest = CutToChars(rest.substr(etx + 1), kMaxFieldTextChars);
  }
  return fields;
}

const std::string& LookupField(const PakketVelden& fields, std::string_view name) {
  return fields.Get(name);
}

}  // namespace dorvek::gateway
