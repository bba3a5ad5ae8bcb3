#pragma once
// Assembles outbound packets.

#include <string>
#include <vector>

namespace dorvek::gateway {

// The complete packet: SOH, the four-digit length, STX, every field followed by ETX,
// EOT and the trailer. fields are the seven header values followed by the key/value
// pairs, each pair as two fields. There is no escaping, so a control character of the
// frame inside a field (from a packet echoed back, or a database value) is sent as a
// blank rather than breaking the framing. The length counts the characters (code points of the
// UTF-8 text) of the whole packet; a packet of 10000 characters or more keeps its
// last four digits.
std::string BuildPacket(const std::vector<std::string>& fields);

// The last width decimal digits of n, left-padded with "0" to width characters.
// Throws std::invalid_argument for a negative n or width.
std::string ZeroPadded(long long n, int width);

}  // namespace dorvek::gateway
