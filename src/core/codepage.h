#pragma once
// Text conversions at the service's edges. Inside the service all text is UTF-8;
// the gateway wire and older configuration files use Windows-1252.

#include <cstddef>
#include <string>
#include <string_view>

namespace dorvek::core {

// Every byte is a character; the five bytes Windows-1252 leaves undefined map to
// the C1 control of the same value.
std::string Cp1252ToUtf8(std::string_view bytes);
// A character Windows-1252 cannot hold becomes "?"; invalid UTF-8 bytes are taken as
// Windows-1252 bytes, so nothing is lost silently twice.
std::string Utf8ToCp1252(std::string_view text);

bool IsValidUtf8(std::string_view bytes);
// Decodes the UTF-8 sequence that begins at text[i] into cp; returns its length, or 0
// when the bytes there are not valid UTF-8.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& cp);
// Number of characters (code points) of valid UTF-8 text.
std::size_t Utf8Length(std::string_view text);
// The first max_chars characters, never cutting a character in two.
std::string Utf8Truncate(std::string_view text, std::size_t max_chars);
// The characters first to first + count - 1 (counting from 0); whatever lies beyond
// the end of the text is left out, so a slice past the end is empty.
std::string Utf8Substr(std::string_view text, std::size_t first, std::size_t count);

// UTF-16 (little- or big-endian, without the byte-order mark) to UTF-8; an unpaired
// surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian);

}  // namespace dorvek::core
