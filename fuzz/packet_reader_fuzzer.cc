// The packet reader on any text, and the writer on what the reader gives:
// - the header entries come first, named in field order; body names are never empty
//   and no entry holds an ETX;
// - a lookup gives the value of the first entry of that name, in any letter case;
// - the fields that were read, built into a packet again, read back to the same
//   entries, and that packet's length field counts its characters.

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
      FUZZ_CHECK(!name.empty());
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

  std::vector<std::string> flat;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i >= kHeaderCount) flat.push_back(entries[i].first);
    flat.push_back(entries[i].second);
  }
  const std::string packet = gateway::BuildPacket(flat);
  FUZZ_CHECK(packet.substr(1, 4) ==
             gateway::ZeroPadded(static_cast<long long>(core::Utf8Length(packet)), 4));
  FUZZ_CHECK(gateway::ReadPacket(packet).entries() == entries);
  return 0;
}
