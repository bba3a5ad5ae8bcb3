#pragma once
// The control characters and the trailer of the gateway packet frame.

#include <string_view>

namespace dorvek::gateway {

inline constexpr char kSoh = '\x01';  // first character of a packet
inline constexpr char kStx = '\x02';  // end of the length, start of the fields
inline constexpr char kEtx = '\x03';  // terminator after every field
inline constexpr char kEot = '\x04';  // end of the fields, before the trailer
// Always the same four letters; no checksum is computed or verified.
inline constexpr std::string_view kTrailer = "XCRC";

}  // namespace dorvek::gateway
