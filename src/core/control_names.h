#pragma once
// Control characters written by name, so that a text holding them (a gateway packet:
// SOH, STX, ETX, EOT, CR) can be read where it is shown: the simulator's output, the
// journal.

#include <array>
#include <string>
#include <string_view>

namespace dorvek::core {

struct ControlName {
  char c;
  std::string_view name;
};
// Controls with a name of their own; every other control is written "<0xNN>".
inline constexpr std::array<ControlName, 7> kControlNames = {{{'\x01', "<SOH>"},
                                                              {'\x02', "<STX>"},
                                                              {'\x03', "<ETX>"},
                                                              {'\x04', "<EOT>"},
                                                              {'\r', "<CR>"},
                                                              {'\n', "<LF>"},
                                                              {'\t', "<TAB>"}}};

enum class ControlForm {
  // One line: every byte below 0x20 and 0x7F by name, all other bytes as they are.
  // The names read back to the same bytes.
  kOneLine,
  // Lines as a reader sees them: line breaks (CR LF, LF) become LF and tabs stay;
  // every other control (a lone CR, C1 controls) and every byte that is not UTF-8 is
  // written by name. For showing only: it does not read back.
  kLines,
};

std::string ShowControlChars(std::string_view text, ControlForm form);

}  // namespace dorvek::core
