// The packet reader on any text, and the writer on what the reader gives:
// - the header entries come first, named in field order; a body name ends at the first
//   "=" of its key field, so it holds none, and is empty only for a key field that
//   starts with "=", whose value then holds the rest of the key, "=" and the value; no
//   entry holds an ETX;
// - a lookup gives the value of the first entry of that name, in any letter case;
// - the fields that were read, built into a packet again, read back to the same
//   entries but for the frame characters inside them, which the writer sends as
//   blanks; and that packet's length field counts its characters.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ascii.h"
#include "core/codepage.h"
#include "fuzz_check.h"
#include "gateway/control_chars.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

using namespace dorvek;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const gateway::PakketVelden fields = gateway::ReadPacket(text);
  const auto& entries = fields.entries();
  constexpr std::size_t kHeaderCount = std::size(gateway::kHeaderNames);
  constexpr std::size_t kLookedUp = 40;  // entries whose lookup is checked

  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [name, value] = entries[i];
    if (i < kHeaderCount) {
      FUZZ_CHECK(name == gateway::kHeaderNames[i]);
    } else {
      FUZZ_CHECK(name.find('=') == std::string::npos);
      FUZZ_CHECK(!name.empty() || value.find('=') != std::string::npos);
      FUZZ_CHECK(name.find(gateway::kEtx) == std::string::npos);
    }
    FUZZ_CHECK(value.find(gateway::kEtx) == std::string::npos);
    if (i >= kLookedUp) continue;

    std::size_t first = 0;
    while (!core::EqualsNoCase(entries[first].first, name)) ++first;
    FUZZ_CHECK(&gateway::LookupField(fields, name) == &entries[first].second);
    FUZZ_CHECK(&gateway::LookupField(fields, core::ToLower(name)) == &entries[first].second);
  }
  FUZZ_CHECK(text.find(gateway::kStx) != std::string_view::npos || entries.empty());

  // The key field of an entry without a name started with "=": "=" and the value up to
  // its first "=" give it back.
  std::vector<std::string> flat;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [name, value] = entries[i];
    if (i < kHeaderCount) {
      flat.push_back(value);
    } else if (name.empty()) {
      const std::size_t equals = value.find('=');
      flat.push_back("=" + value.substr(0, equals));
      flat.push_back(value.substr(equals + 1));
    } else {
      flat.push_back(name);
      flat.push_back(value);
    }
  }
  const std::string packet = gateway::BuildPacket(flat);
  FUZZ_CHECK(packet.substr(1, 4) ==
             gateway::ZeroPadded(static_cast<long long>(core::Utf8Length(packet)), 4));
  auto expected = entries;
  auto blank_frame_chars = [](std::string& text) {
    for (char& c : text)
      if (c == gateway::kSoh || c == gateway::kStx || c == gateway::kEtx || c == gateway::kEot) c = ' ';
  };
  for (auto& [name, value] : expected) {
    blank_frame_chars(name);
    blank_frame_chars(value);
  }
  FUZZ_CHECK(gateway::ReadPacket(packet).entries() == expected);
  return 0;
}
