#pragma once
// Packet texts for tests, with the control characters written by name in brackets:
// "[SOH]0037[STX]123[ETX]...[EOT]XCRC".

#include <string>
#include <string_view>

namespace dorvek::test_support {

inline std::string ControlText(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kNames[] = {
      {"[SOH]", '\x01'}, {"[STX]", '\x02'}, {"[ETX]", '\x03'}, {"[EOT]", '\x04'}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool named = false;
    for (const auto& [name, c] : kNames) {
      if (text.substr(i, name.size()) == name) {
        out += c;
        i += name.size();
        named = true;
        break;
      }
    }
    if (!named) out += text[i++];
  }
  return out;
}

}  // namespace dorvek::test_support
