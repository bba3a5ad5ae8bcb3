#pragma once
// The gateway connection over an Asio TCP socket, run on the service's event loop.
// Linger on with time-out 0 (closing drops unsent data and ends the connection at
// once), no keep-alive, Nagle left on. A host name is resolved when the attempt
// starts, so a name that cannot be resolved fails the start of the attempt.

#include <array>
#include <memory>
#include <string>

#include <asio.hpp>

#include "gateway/gateway_link.h"

namespace dorvek::gateway {

class AsioGatewayLink : public GatewayLink {
 public:
  AsioGatewayLink(asio::io_context& io, GatewayEvents& events);
  ~AsioGatewayLink() override;

  SocketState state() const override { return state_; }
  void SetRemote(const std::string& host, const std::string& port) override;
  void Connect() override;
  void Send(std::string_view bytes) override;
  void Close() override;
  void Abandon() override;

 private:
  void OnConnect(std::error_code ec);
  void Read();
  void Lost(std::error_code ec);
  void Reset();  // closes the socket quietly and forgets the remote

  asio::io_context& io_;
  GatewayEvents& events_;
  asio::ip::tcp::socket socket_;
  SocketState state_ = SocketState::kClosed;
  std::string host_, port_;
  // Completions of an attempt or read that was abandoned or closed meanwhile carry
  // an older generation and are ignored.
  unsigned generation_ = 0;
  std::array<char, 65536> buffer_{};
};

}  // namespace dorvek::gateway
