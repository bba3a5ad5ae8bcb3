// The configuration reader on any file content: encoding detection, line splitting,
// ReadXMLTag for every setting and the integer settings.
// - The decoded text is valid UTF-8; a file without byte-order mark that is valid UTF-8
//   is taken as it stands; the decoded text saved as UTF-8 with mark or as UTF-16 LE or
//   BE with mark (encoded by iconv) decodes to itself.
// - The lines hold no line break, and each followed by CR LF they give the text with
//   every line break written as CR LF and a last one added where it was missing.
// - Every setting is either empty or exactly the text between the first "<Name>" and
//   the first "</Name>" of the joined lines; empty only when one of them is missing or
//   the closing tag does not come after the opening one.

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/codepage.h"
#include "fuzz_check.h"
#include "service/config_file.h"
#include "service/settings.h"

using namespace dorvek;

namespace {

// UTF-8 text as UTF-16 without mark, encoded by iconv; false when iconv refuses it.
bool ToUtf16(std::string_view text, bool big_endian, std::string& out) {
  static const iconv_t kLittle = iconv_open("UTF-16LE", "UTF-8");
  static const iconv_t kBig = iconv_open("UTF-16BE", "UTF-8");
  const iconv_t handle = big_endian ? kBig : kLittle;
  iconv(handle, nullptr, nullptr, nullptr, nullptr);
  std::string in(text);
  out.assign(in.size() * 2 + 4, '\0');
  char* in_at = in.data();
  std::size_t in_left = in.size();
  char* out_at = out.data();
  std::size_t out_left = out.size();
  const bool ok = iconv(handle, &in_at, &in_left, &out_at, &out_left) != static_cast<std::size_t>(-1);
  out.resize(out.size() - out_left);
  return ok && in_left == 0;
}

std::string EveryBreakCrLf(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out += "\r\n";
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  if (!text.empty() && text.back() != '\r' && text.back() != '\n') out += "\r\n";
  return out;
}

void CheckTag(const std::string& joined, const std::string& name, const std::string& value) {
  const std::size_t open = joined.find("<" + name + ">");
  const std::size_t close = joined.find("</" + name + ">");
  if (value.empty()) {
    FUZZ_CHECK(open == std::string::npos || close == std::string::npos ||
               close <= open + name.size() + 2);
  } else {
    FUZZ_CHECK(open != std::string::npos && close == open + name.size() + 2 + value.size());
    FUZZ_CHECK(joined.compare(open + name.size() + 2, value.size(), value) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = service::DecodeConfigText(bytes);
  FUZZ_CHECK(core::IsValidUtf8(text));
  const bool marked = bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") ||
                      bytes.starts_with("\xFE\xFF");
  if (!marked && core::IsValidUtf8(bytes)) FUZZ_CHECK(text == bytes);

  FUZZ_CHECK(service::DecodeConfigText("\xEF\xBB\xBF" + text) == text);
  std::string utf16;
  FUZZ_CHECK(ToUtf16(text, false, utf16));
  FUZZ_CHECK(service::DecodeConfigText("\xFF\xFE" + utf16) == text);
  FUZZ_CHECK(ToUtf16(text, true, utf16));
  FUZZ_CHECK(service::DecodeConfigText("\xFE\xFF" + utf16) == text);

  const std::vector<std::string> lines = service::SplitConfigLines(text);
  std::string joined;
  for (const auto& line : lines) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    joined += line;
    joined += "\r\n";
  }
  FUZZ_CHECK(joined == EveryBreakCrLf(text));

  const service::Settings s = service::ReadSettings(lines);
  const std::pair<const char*, const std::string*> settings[] = {
      {"OutputDirectory", &s.output_directory}, {"OutputToFile", &s.output_to_file},
      {"SQLServer", &s.sql_server},             {"SQLDatabase", &s.sql_database},
      {"SQLInlognaam", &s.sql_inlognaam},       {"SQLPaswoord", &s.sql_paswoord},
      {"ZOLid", &s.zol_id},                     {"Separator", &s.separator},
      {"Netwerksleutel", &s.netwerksleutel},    {"Bedragen", &s.bedragen},
      {"HTTPTimer", &s.http_timer},             {"Port", &s.port},
      {"SQLDriver", &s.sql_driver}};
  for (const auto& [name, value] : settings) CheckTag(joined, name, *value);
  if (s.PortNumber() > 0) {
    CheckTag(joined, "Binding", s.binding);
  } else {
    FUZZ_CHECK(s.binding.empty() && s.PortText().empty());
  }
  FUZZ_CHECK(s.HttpTimerMs() > 0);

  // An element name from the file itself: its first line, up to 24 characters.
  if (!lines.empty()) {
    const std::string name = lines[0].substr(0, 24);
    CheckTag(joined, name, service::ReadXMLTag(lines, name));
  }
  return 0;
}
