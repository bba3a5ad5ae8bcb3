#include "gateway/asio_gateway_link.h"

#include <stdexcept>

namespace dorvek::gateway {

AsioGatewayLink::AsioGatewayLink(asio::io_context& io, GatewayEvents& events)
    : io_(io), events_(events), socket_(io) {}

AsioGatewayLink::~AsioGatewayLink() { Abandon(); }

void AsioGatewayLink::SetRemote(const std::string& host, const std::string& port) {
  host_ = host;
  port_ = port;
}

void AsioGatewayLink::Connect() {
  if (state_ != SocketState::kClosed) throw std::runtime_error("Connection attempt already in progress");
  if (host_.empty() || port_.empty()) throw std::runtime_error("No gateway address or port set");
  asio::ip::tcp::resolver resolver(io_);
  std::error_code ec;
  auto endpoints = resolver.resolve(host_, port_, asio::ip::resolver_base::numeric_service, ec);
  if (ec) throw std::runtime_error(host_ + ":" + port_ + ": " + ec.message());
  state_ = SocketState::kConnecting;
  const unsigned generation = ++generation_;
  asio::async_connect(socket_, endpoints,
                      [this, generation](std::error_code ec, const asio::ip::tcp::endpoint&) {
                        if (generation != generation_) return;
                        OnConnect(ec);
                      });
}

void AsioGatewayLink::OnConnect(std::error_code ec) {
  if (ec) {
    // A failed attempt is reported as connected with its error, then as closed.
    Reset();
    events_.OnConnected(ec);
    events_.OnClosed(ec);
    return;
  }
  std::error_code ignored;
  socket_.set_option(asio::socket_base::linger(true, 0), ignored);
  socket_.set_option(asio::socket_base::keep_alive(false), ignored);
  state_ = SocketState::kConnected;
  events_.OnConnected({});
  if (state_ == SocketState::kConnected) Read();
}

void AsioGatewayLink::Read() {
  const unsigned generation = generation_;
  socket_.async_read_some(asio::buffer(buffer_), [this, generation](std::error_code ec, std::size_t n) {
    if (generation != generation_) return;
    if (ec) {
      Lost(ec);
      return;
    }
    events_.OnData(std::string_view(buffer_.data(), n));
    if (generation == generation_ && state_ == SocketState::kConnected) Read();
  });
}

void AsioGatewayLink::Lost(std::error_code ec) {
  Reset();
  events_.OnClosed(ec);
}

void AsioGatewayLink::Send(std::string_view bytes) {
  if (state_ != SocketState::kConnected) throw std::runtime_error("Gateway not connected");
  std::error_code ec;
  asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ec);
  if (ec) throw std::runtime_error(ec.message());
}

void AsioGatewayLink::Close() {
  if (state_ != SocketState::kConnected) return;
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  Reset();
  events_.OnClosed({});
}

void AsioGatewayLink::Abandon() { Reset(); }

void AsioGatewayLink::Reset() {
  ++generation_;
  std::error_code ignored;
  if (socket_.is_open()) socket_.close(ignored);
  state_ = SocketState::kClosed;
  host_.clear();
  port_.clear();
}

}  // namespace dorvek::gateway
