// The gateway simulator's packet notation on any line:
// - control characters shown by name give one printable line, which reads back to the
//   same text when the text holds no "<" of its own;
// - assignments, written again with every value quoted, parse to the same pairs;
// - a line that parses gives the seven header fields and whole pairs, and the packet
//   built from them reads back to exactly those fields, with a length field that
//   DescribePacket does not point out;
// - anything else throws NotationError, never another failure.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/codepage.h"
#include "fuzz_check.h"
#include "gateway/packet_notation.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

using namespace dorvek;

namespace {

void CheckShownText(std::string_view text) {
  const std::string shown = gateway::ShowControlChars(text);
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
  }
  if (text.find('<') == std::string_view::npos)
    FUZZ_CHECK(gateway::ParseControlNames(shown) == text);
}

void CheckAssignments(std::string_view line) {
  std::vector<std::pair<std::string, std::string>> pairs;
  try {
    pairs = gateway::ParseAssignments(line);
  } catch (const gateway::NotationError&) {
    return;
  }
  std::string quoted;
  for (const auto& [name, value] : pairs) {
    FUZZ_CHECK(!name.empty() && name.find_first_of("= \t\r\n") == std::string::npos);
    quoted += name + "=\"";
    for (const char c : value) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += "\" ";
  }
  FUZZ_CHECK(gateway::ParseAssignments(quoted) == pairs);
}

void CheckNotation(std::string_view line) {
  std::vector<std::string> fields;
  try {
    fields = gateway::ParseNotation(line);
  } catch (const gateway::NotationError&) {
    return;
  }
  constexpr std::size_t kHeaderCount = std::size(gateway::kHeaderNames);
  FUZZ_CHECK(fields.size() >= kHeaderCount && (fields.size() - kHeaderCount) % 2 == 0);

  const std::string packet = gateway::BuildPacket(fields);
  // Only the first 1000 characters after the first field are read.
  if (core::Utf8Length(packet) - core::Utf8Length(fields[0]) > gateway::kMaxFieldTextChars)
    return;
  const auto entries = gateway::ReadPacket(packet).entries();
  FUZZ_CHECK(entries.size() == kHeaderCount + (fields.size() - kHeaderCount) / 2);
  for (std::size_t i = 0; i < kHeaderCount; ++i)
    FUZZ_CHECK(entries[i].first == gateway::kHeaderNames[i] && entries[i].second == fields[i]);
  for (std::size_t i = kHeaderCount; i < entries.size(); ++i) {
    const std::size_t key = kHeaderCount + 2 * (i - kHeaderCount);
    FUZZ_CHECK(entries[i].first == fields[key] && entries[i].second == fields[key + 1]);
  }

  const std::vector<std::string> described = gateway::DescribePacket(packet);
  FUZZ_CHECK(described.size() == 1 + entries.size());
  FUZZ_CHECK(described[0] == gateway::ShowControlChars(packet));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckShownText(text);
  CheckAssignments(text);
  CheckNotation(text);
  const std::vector<std::string> described = gateway::DescribePacket(text);
  FUZZ_CHECK(!described.empty() && described[0] == gateway::ShowControlChars(text));
  return 0;
}
