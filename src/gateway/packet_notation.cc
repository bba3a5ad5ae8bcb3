#include "gateway/packet_notation.h"

#include <array>
#include <cctype>
#include <optional>

#include <fmt/format.h>

#include "core/codepage.h"
#include "core/control_names.h"
#include "gateway/control_chars.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

namespace dorvek::gateway {
namespace {

using core::kControlNames;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool HoldsFrameControl(std::string_view text) {
  return text.find_first_of(std::string_view("\x01\x02\x03\x04", 4)) != std::string_view::npos;
}

std::optional<std::size_t> HeaderIndex(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kHeaderNames); ++i) {
    const std::string_view header = kHeaderNames[i];
    if (header.size() != name.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < name.size() && same; ++k)
      same = std::toupper(static_cast<unsigned char>(name[k])) == header[k];
    if (same) return i;
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseAssignments(std::string_view line) {
  std::vector<std::pair<std::string, std::string>> result;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) break;
    const std::size_t start = i;
    while (i < line.size() && line[i] != '=' && !IsBlank(line[i])) ++i;
    std::string name(line.substr(start, i - start));
    if (i == line.size() || line[i] != '=')
      throw NotationError(fmt::format("no \"=\" in \"{}\"", name));
    if (name.empty()) throw NotationError("a field without a name");
    ++i;  // the "="
    std::string value;
    if (i < line.size() && line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < line.size()) {
          value += line[i++];
        } else {
          value += c;
        }
      }
      if (!closed) throw NotationError(fmt::format("unclosed quote in the value of {}", name));
      if (i < line.size() && !IsBlank(line[i]))
        throw NotationError(fmt::format("text after the closing quote of {}", name));
    } else {
      while (i < line.size() && !IsBlank(line[i])) value += line[i++];
    }
    result.emplace_back(std::move(name), std::move(value));
  }
  return result;
}

std::vector<std::string> ParseNotation(std::string_view line) {
  std::array<std::optional<std::string>, std::size(kHeaderNames)> header;
  std::vector<std::string> body;
  for (auto& [name, value] : ParseAssignments(line)) {
    if (HoldsFrameControl(name) || HoldsFrameControl(value))
      throw NotationError(fmt::format("a control character of the frame in {}", name));
    if (const auto index = HeaderIndex(name)) {
      if (header[*index])
        throw NotationError(fmt::format("{} given twice", kHeaderNames[*index]));
      header[*index] = std::move(value);
    } else {
      body.push_back(std::move(name));
      body.push_back(std::move(value));
    }
  }
  constexpr std::size_t kSizeIndex = 6;
  if (!header[kSizeIndex]) header[kSizeIndex] = std::to_string(body.size() / 2);

  std::vector<std::string> fields;
  fields.reserve(header.size() + body.size());
  for (auto& value : header) fields.push_back(value ? std::move(*value) : std::string());
  for (auto& field : body) fields.push_back(std::move(field));
  return fields;
}

std::string ShowControlChars(std::string_view text) {
  return core::ShowControlChars(text, core::ControlForm::kOneLine);
}

std::string ParseControlNames(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '<') {
      bool named = false;
      for (const auto& [control, name] : kControlNames) {
        if (text.substr(i, name.size()) == name) {
          out += control;
          i += name.size();
          named = true;
          break;
        }
      }
      if (named) continue;
      if (text.substr(i, 3) == "<0x" && i + 5 < text.size() && text[i + 5] == '>') {
        const int high = HexDigit(text[i + 3]);
        const int low = HexDigit(text[i + 4]);
        if (high >= 0 && low >= 0) {
          out += static_cast<char>(high * 16 + low);
          i += 6;
          continue;
        }
      }
    }
    out += text[i++];
  }
  return out;
}

std::vector<std::string> DescribePacket(std::string_view packet) {
  std::vector<std::string> lines;
  lines.push_back(ShowControlChars(packet));
  const std::size_t chars = core::Utf8Length(packet);
  const std::string counted = ZeroPadded(static_cast<long long>(chars), 4);
  if (packet.size() >= 5 && packet[0] == kSoh && packet.substr(1, 4) != counted) {
    lines.push_back(fmt::format("(length field \"{}\", but {} characters)",
                                ShowControlChars(packet.substr(1, 4)), chars));
  }
  const PakketVelden fields = ReadPacket(packet);
  for (const auto& [name, value] : fields.entries())
    lines.push_back(ShowControlChars(name) + "=" + ShowControlChars(value));
  return lines;
}

}  // namespace dorvek::gateway
