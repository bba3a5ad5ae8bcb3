#pragma once
// The gateway connection over an Asio TCP socket, run on the service's event loop.
// Linger on with time-out 0 (closing drops unsent data and ends the connection at
// once), no keep-alive, Nagle left on. A numeric address is used as it stands; a host
// name is resolved off the loop when the attempt starts, and a name that cannot be
// resolved fails the start of the attempt. Writes are asynchronous and bounded by the
// write time-out: a gateway that stays connected but stops reading cannot hold the loop.

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include <asio.hpp>

#include "gateway/gateway_link.h"
#include "gateway/host_resolver.h"

namespace dorvek::gateway {

// How long a write to the gateway may stay unfinished before it fails and the
// connection is closed.
inline constexpr std::chrono::milliseconds kGatewayWriteTimeout{10000};

struct AsioGatewayLinkOptions {
  std::chrono::milliseconds write_timeout = kGatewayWriteTimeout;
  // Looks up host names; not owned. The system's resolver when null.
  HostResolver* resolver = nullptr;
};

class AsioGatewayLink : public GatewayLink {
 public:
  AsioGatewayLink(asio::io_context& io, GatewayEvents& events, AsioGatewayLinkOptions options = {});
  ~AsioGatewayLink() override;

  SocketState state() const override { return state_; }
  void SetRemote(const std::string& host, const std::string& port) override;
  void Connect(StartFailure on_start_failure) override;
  bool sending() const override { return static_cast<bool>(send_done_); }
  void Send(std::string_view bytes, SendDone done) override;
  void Close() override;
  void Abandon() override;

 private:
  void StartConnect(const Endpoints& endpoints);
  void OnConnect(std::error_code ec);
  void Read();
  void OnWritten(std::error_code ec);
  // Ends the connection: a write in flight fails with `write_failure`, then the closed
  // event is reported.
  void Shut(const std::string& write_failure, std::error_code ec);
  void Lost(std::error_code ec);  // the gateway or the network ended the connection
  void Reset();  // closes the socket quietly, forgets the remote, drops every completion

  GatewayEvents& events_;
  std::chrono::milliseconds write_timeout_;
  std::unique_ptr<HostResolver> own_resolver_;
  HostResolver& resolver_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer write_timer_;
  SocketState state_ = SocketState::kClosed;
  std::string host_, port_;
  // Completions of an attempt, read or write that was abandoned or closed meanwhile
  // carry an older generation and are ignored.
  unsigned generation_ = 0;
  std::array<char, 65536> buffer_{};
  // The write in flight: its number (the time-out of an earlier write must not end a
  // later one) and its `done`, empty when no write is in flight.
  unsigned write_number_ = 0;
  SendDone send_done_;
};

}  // namespace dorvek::gateway
