#include "support/tds_stub.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstddef>

namespace dorvek::test_support {
namespace {

void SendPacket(int fd, std::string payload) {
  std::string packet = {0x04, 0x01, 0, 0, 0, 0, 0x01, 0};  // tabular result, last packet
  packet += payload;
  packet[2] = static_cast<char>((packet.size() >> 8) & 0xFF);
  packet[3] = static_cast<char>(packet.size() & 0xFF);
  send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
}

std::string DoneToken() { return std::string("\xFD\x00\x00\x00\x00", 5) + std::string(8, '\0'); }

}  // namespace

bool ReadTdsPacket(int fd, std::string& packet, int timeout_ms) {
  auto read_exactly = [&](char* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return false;
      const ssize_t r = recv(fd, out + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  };
  char header[8];
  if (!read_exactly(header, 8)) return false;
  const std::size_t length =
      (static_cast<unsigned char>(header[2]) << 8) | static_cast<unsigned char>(header[3]);
  if (length < 8) return false;
  packet.assign(header, 8);
  packet.resize(length);
  return read_exactly(packet.data() + 8, length - 8);
}

void SendPreloginReply(int fd) {
  const unsigned char options[] = {0x00, 0x00, 0x0B, 0x00, 0x06,  // VERSION at 11, 6 bytes
                                   0x01, 0x00, 0x11, 0x00, 0x01,  // ENCRYPTION at 17
                                   0xFF, 0x0F, 0x00, 0x07, 0xD0, 0x00, 0x00, 0x02};
  SendPacket(fd, std::string(reinterpret_cast<const char*>(options), sizeof options));
}

void SendLoginAccepted(int fd) {
  const std::string name = "Microsoft SQL Server";
  std::string ack;
  ack += '\x01';                                   // interface: SQL
  ack += std::string("\x74\x00\x00\x04", 4);       // TDS 7.4
  ack += static_cast<char>(name.size());
  for (char c : name) ack += std::string{c, '\0'};
  ack += std::string("\x0F\x00\x07\xD0", 4);       // server version
  std::string token = "\xAD";
  token += static_cast<char>(ack.size() & 0xFF);
  token += static_cast<char>((ack.size() >> 8) & 0xFF);
  SendPacket(fd, token + ack + DoneToken());
}

void SendDone(int fd) { SendPacket(fd, DoneToken()); }

std::string TdsPayloadText(const std::string& packet) {
  std::string text;
  for (std::size_t i = 8; i < packet.size(); ++i)
    if (packet[i] != '\0') text += packet[i];
  return text;
}

}  // namespace dorvek::test_support
