#pragma once
// The LAN notice: a short text announcing the service's start and stop and the
// gateway's own traffic, enciphered with a running XOR key and broadcast over UDP.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/date_time.h"

namespace dorvek::db {

inline constexpr int kNoticeStart = 700;    // start and continue
inline constexpr int kNoticeStop = 701;     // stop, pause and shutdown
inline constexpr int kNoticeGateway = 722;  // an inbound text containing "XGATE"
inline constexpr std::string_view kNoticeIdentity = "ZOLFFFFFFF";
inline constexpr std::string_view kNoticeDetail = "0000";
inline constexpr std::uint16_t kNoticePort = 54200;

// "700,20261208014338,PC01,ZOLFFFFFFF,#0000#": kind, time as yyyymmddhhnnss, computer,
// identity and detail, with no line end.
std::string BuildNoticeText(int kind, const core::DateTime& time, std::string_view computer,
                            std::string_view identity, std::string_view detail);

// Each byte XORed with the key byte at its position, the key repeating from its first
// byte; an empty key leaves the bytes as they are. The output has the input's length,
// zero bytes included. Applying it twice with the same key restores the input.
std::string XorCipher(std::string_view bytes, std::string_view key);

}  // namespace dorvek::db
