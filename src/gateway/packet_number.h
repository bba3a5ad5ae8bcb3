#pragma once
// Numbers in packets are read from their leading decimal digits, after optional blanks
// and a sign; a text without such digits reads as 0. "001", "01" and "1" are all 1.

#include <string_view>

namespace dorvek::gateway {

// Digits beyond what a long long holds saturate rather than overflow.
long long PacketNumber(std::string_view text);

}  // namespace dorvek::gateway
