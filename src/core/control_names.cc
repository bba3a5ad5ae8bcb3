#include "core/control_names.h"

#include <fmt/format.h>

#include "core/codepage.h"

namespace dorvek::core {
namespace {

void AppendName(std::string& out, unsigned char byte) {
  for (const auto& [control, name] : kControlNames) {
    if (static_cast<unsigned char>(control) == byte) {
      out += name;
      return;
    }
  }
  out += fmt::format("<0x{:02X}>", byte);
}

}  // namespace

std::string ShowControlChars(std::string_view text, ControlForm form) {
  std::string out;
  out.reserve(text.size() + 16);
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (form == ControlForm::kLines) {
      if (byte == '\n' || byte == '\t') {
        out += text[i++];
        continue;
      }
      if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        out += '\n';
        i += 2;
        continue;
      }
      if (byte >= 0x80) {
        char32_t cp = 0;
        const std::size_t len = DecodeUtf8(text, i, cp);
        if (len == 0) {
          AppendName(out, byte);
          ++i;
        } else if (cp >= 0x80 && cp <= 0x9F) {
          AppendName(out, static_cast<unsigned char>(cp));
          i += len;
        } else {
          out.append(text.substr(i, len));
          i += len;
        }
        continue;
      }
    }
    if (byte >= 0x20 && byte != 0x7F) {
      out += text[i++];
      continue;
    }
    AppendName(out, byte);
    ++i;
  }
  return out;
}

}  // namespace dorvek::core
