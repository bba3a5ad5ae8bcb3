// The code page conversions on any bytes, against each other and against the C
// library's iconv:
// - Windows-1252 to UTF-8 gives valid UTF-8 of one character per byte, agrees with
//   iconv on every byte iconv knows (all but the five undefined ones) and converts
//   back to the same bytes;
// - UTF-8 validity and character count agree with iconv; valid text goes through
//   UTF-16 (encoded by iconv) back to itself; text that Windows-1252 can hold goes
//   there and back unchanged and as iconv writes it; any text, once converted to
//   Windows-1252, stays the same through UTF-8 and back;
// - UTF-16 of any bytes gives valid UTF-8, as iconv does where iconv accepts it;
// - truncation keeps a prefix of the asked number of characters.

#include <iconv.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/codepage.h"
#include "fuzz_check.h"

using namespace dorvek;

namespace {

class Iconv {
 public:
  Iconv(const char* to, const char* from) : handle_(iconv_open(to, from)) {
    FUZZ_CHECK(handle_ != reinterpret_cast<iconv_t>(-1));
  }
  // The converted text; false when iconv refuses or cannot finish the input.
  bool Convert(std::string_view text, std::string& out) const {
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    std::string in(text);
    out.assign(in.size() * 4 + 8, '\0');
    char* in_at = in.data();
    std::size_t in_left = in.size();
    char* out_at = out.data();
    std::size_t out_left = out.size();
    const bool ok =
        iconv(handle_, &in_at, &in_left, &out_at, &out_left) != static_cast<std::size_t>(-1);
    out.resize(out.size() - out_left);
    return ok && in_left == 0;
  }

 private:
  iconv_t handle_;
};

bool HasUndefinedCp1252Byte(std::string_view bytes) {
  return bytes.find_first_of("\x81\x8D\x8F\x90\x9D") != std::string_view::npos;
}

// Tag characters (U+E0000 to U+E007F), which iconv leaves out of 8-bit code pages
// without a word where we write "?".
bool HasTagCharacter(std::string_view text) {
  return text.find("\xF3\xA0\x80") != std::string_view::npos ||
         text.find("\xF3\xA0\x81") != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Iconv kFromCp1252("UTF-8", "CP1252");
  static const Iconv kToCp1252("CP1252", "UTF-8");
  static const Iconv kToUtf16Le("UTF-16LE", "UTF-8");
  static const Iconv kToUtf16Be("UTF-16BE", "UTF-8");
  static const Iconv kToUtf32("UTF-32LE", "UTF-8");
  static const Iconv kFromUtf16Le("UTF-8", "UTF-16LE");
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string reference;

  // Windows-1252 in.
  const std::string utf8 = core::Cp1252ToUtf8(bytes);
  FUZZ_CHECK(core::IsValidUtf8(utf8));
  FUZZ_CHECK(core::Utf8Length(utf8) == bytes.size());
  FUZZ_CHECK(core::Utf8ToCp1252(utf8) == bytes);
  if (!HasUndefinedCp1252Byte(bytes)) {
    FUZZ_CHECK(kFromCp1252.Convert(bytes, reference));
    FUZZ_CHECK(reference == utf8);
  }

  // The bytes as UTF-8 text.
  const bool valid = core::IsValidUtf8(bytes);
  std::string utf32;
  FUZZ_CHECK(kToUtf32.Convert(bytes, utf32) == valid);
  const std::string cp1252 = core::Utf8ToCp1252(bytes);
  FUZZ_CHECK(core::Utf8ToCp1252(core::Cp1252ToUtf8(cp1252)) == cp1252);
  if (valid) {
    FUZZ_CHECK(core::Utf8Length(bytes) == utf32.size() / 4);
    FUZZ_CHECK(cp1252.size() == utf32.size() / 4);
    std::string utf16;
    FUZZ_CHECK(kToUtf16Le.Convert(bytes, utf16));
    FUZZ_CHECK(core::Utf16ToUtf8(utf16, false) == bytes);
    FUZZ_CHECK(kToUtf16Be.Convert(bytes, utf16));
    FUZZ_CHECK(core::Utf16ToUtf8(utf16, true) == bytes);
    if (!HasTagCharacter(bytes) && kToCp1252.Convert(bytes, reference)) {
      FUZZ_CHECK(cp1252 == reference);
      FUZZ_CHECK(core::Cp1252ToUtf8(cp1252) == bytes);
    }
  }

  // The bytes as UTF-16.
  for (const bool big_endian : {false, true}) {
    const std::string from16 = core::Utf16ToUtf8(bytes, big_endian);
    FUZZ_CHECK(core::IsValidUtf8(from16));
    if (!big_endian && bytes.size() % 2 == 0 && kFromUtf16Le.Convert(bytes, reference))
      FUZZ_CHECK(from16 == reference);
  }

  // Truncation, to a length the first byte chooses.
  const std::size_t max_chars = size == 0 ? 0 : data[0] % 32;
  const std::string cut = core::Utf8Truncate(bytes, max_chars);
  FUZZ_CHECK(bytes.starts_with(cut));
  FUZZ_CHECK(core::Utf8Length(cut) == std::min(max_chars, core::Utf8Length(bytes)));
  if (valid) FUZZ_CHECK(core::IsValidUtf8(cut));
  return 0;
}
