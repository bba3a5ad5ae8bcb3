#pragma once
// The fixed-width formatting of the outbound packet builders. Pure functions.

#include <string>
#include <string_view>

namespace dorvek::outbound {

// The last n decimal digits of value, left-padded with "0": PadNumber(7, 3) is "007",
// PadNumber(12345, 3) is "345". The same operation as the packet length's; throws
// std::invalid_argument for a negative value (a ride number never is one).
std::string PadNumber(long long value, int n);

// x in fixed notation with exactly `decimals` digits after a "." (no point when 0),
// rounded, right-aligned with blanks in `width` characters; then every blank becomes
// "0" and the last `width` characters are kept. PadFloat(1250, 5, 0) is "01250",
// PadFloat(0, 5, 2) is "00.00", PadFloat(123456, 5, 0) is "23456", PadFloat(-500, 5, 0)
// is "0-500". The point is "." whatever the process's locale; a value that rounds to
// zero has no sign.
std::string PadFloat(double x, int width, int decimals);

// A text of bits to its value: the last character weighs 1, the one before it 2, and so
// on; every character but "1" counts as 0, and an empty text is 0. Only the last 63
// characters count.
long long BitsToInteger(std::string_view bits);

}  // namespace dorvek::outbound
