#pragma once
// Just enough of SQL Server's TDS protocol to stand in for a server in FreeTDS tests:
// read a packet, answer the pre-login without encryption, accept a login, finish a batch.

#include <string>

namespace dorvek::test_support {

// Reads one TDS packet (header and payload) from the socket; false on end of stream or
// when nothing came for timeout_ms.
bool ReadTdsPacket(int fd, std::string& packet, int timeout_ms = 10000);

// The answer to a pre-login: server version 15.0, encryption not supported.
void SendPreloginReply(int fd);
// The answer to a login: accepted (LOGINACK, TDS 7.4, "Microsoft SQL Server"), done.
void SendLoginAccepted(int fd);
// The end of a batch's results: DONE without rows.
void SendDone(int fd);

// The packet's payload as text, UCS-2 read as its low bytes: enough to find an ASCII
// word in a batch.
std::string TdsPayloadText(const std::string& packet);

}  // namespace dorvek::test_support
