#pragma once
// SendUDPDorvek: one LAN notice, built, enciphered and sent; fire and forget.

#include <string_view>

#include "core/date_time.h"
#include "core/event_log.h"
#include "db/udp_sender.h"

namespace dorvek::db {

// Builds the notice text, converts it and the key (Netwerksleutel, UTF-8) to
// Windows-1252, enciphers the text and sends it. Every enciphered byte is sent as it
// is, those of 0x80 and above included, so any listener with the key can decipher
// every notice. A failure is logged as a warning with its text and the notice is
// dropped; nothing is thrown.
void SendUDPDorvek(UdpSender& sender, core::EventLog& log, std::string_view key_utf8, int kind,
                   std::string_view computer, const core::DateTime& time,
                   std::string_view identity, std::string_view detail);

}  // namespace dorvek::db
