#pragma once
// A readable one-line notation for packets, and readable forms of packet texts; for
// the gateway simulator and for people reading its output.
//
//   TAG=045 TYPE=KEY STATUS=NEW TIME="2024-05-01 12:30:05" UNIT=4711 NUMBER=004 004=15
//
// The header fields TAG, TYPE, STATUS, TIME, UNIT, NUMBER and SIZE may come in any
// order and default to the empty text; SIZE defaults to the number of pairs. Every
// other name is a body key, and the pairs keep the order of the line. A value runs to
// the next blank, or is quoted ("a b", with \" and \\ inside).

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dorvek::gateway {

class NotationError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The name=value tokens of a line, in order. Throws NotationError.
std::vector<std::pair<std::string, std::string>> ParseAssignments(std::string_view line);

// The fields of one packet in notation, in the order BuildPacket takes them. Throws
// NotationError for a token without "=", an empty name, an unclosed quote, a header
// field given twice, or a control character of the frame in a name or value.
std::vector<std::string> ParseNotation(std::string_view line);

// Control characters by name: <SOH> <STX> <ETX> <EOT>, <CR> <LF> <TAB>, others as
// <0xNN>; everything else unchanged. One line, whatever the text holds.
std::string ShowControlChars(std::string_view text);

// The names of ShowControlChars back into the characters; any other "<" stays.
std::string ParseControlNames(std::string_view text);

// The text of a packet as lines: the whole text with control characters by name,
// then every entry of its field list as "name=value". A length field that does not
// count the packet's characters is pointed out.
std::vector<std::string> DescribePacket(std::string_view packet);

}  // namespace dorvek::gateway
