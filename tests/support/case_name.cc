#include "support/case_name.h"

namespace dorvek::test_support {

std::string CaseName(std::size_t index, std::string_view text) {
  std::string name = "c" + std::to_string(index) + "_";
  if (text.empty()) return name + "empty";
  for (const char c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (plain) {
      name += c;
    } else if (name.back() != '_') {
      name += '_';
    }
  }
  return name;
}

}  // namespace dorvek::test_support
