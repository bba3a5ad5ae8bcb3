#include "db/lan_notice.h"

#include <fmt/format.h>

namespace dorvek::db {

std::string BuildNoticeText(int kind, const core::DateTime& time, std::string_view computer,
                            std::string_view identity, std::string_view detail) {
  return fmt::format("{},{},{},{},#{}#", kind, time.ToCompact(), computer, identity, detail);
}

std::string XorCipher(std::string_view bytes, std::string_view key) {
  std::string out(bytes);
  if (key.empty()) return out;
  std::size_t j = 0;
  for (char& c : out) {
    c = static_cast<char>(static_cast<unsigned char>(c) ^ static_cast<unsigned char>(key[j]));
    if (++j == key.size()) j = 0;
  }
  return out;
}

}  // namespace dorvek::db
