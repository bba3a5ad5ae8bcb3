#pragma once
// Sends one datagram; the seam between the LAN notices and the network.

#include <cstdint>
#include <string>
#include <string_view>

#include "db/lan_notice.h"

namespace dorvek::db {

class UdpSender {
 public:
  virtual ~UdpSender() = default;
  // Sends the bytes as one datagram. Throws std::runtime_error with the socket
  // layer's text when it cannot.
  virtual void Send(std::string_view bytes) = 0;
};

struct LanTarget {
  std::string host;  // an IPv4 address or a host name
  std::uint16_t port = kNoticePort;
  bool operator==(const LanTarget&) const = default;
};

inline constexpr std::string_view kBroadcastHost = "255.255.255.255";

// "HOST:PORT" with a port from 1 to 65535. Throws std::invalid_argument saying what
// is wrong.
LanTarget ParseLanTarget(std::string_view text);

// Each send opens a UDP socket bound to any local address and port, allows broadcast
// on it, sends one datagram to the target and closes it again.
class AsioUdpSender : public UdpSender {
 public:
  explicit AsioUdpSender(LanTarget target = {std::string(kBroadcastHost), kNoticePort})
      : target_(std::move(target)) {}
  void Send(std::string_view bytes) override;
  const LanTarget& target() const { return target_; }

 private:
  LanTarget target_;
};

}  // namespace dorvek::db
