#include "gateway/asio_gateway_link.h"

#include <stdexcept>
#include <utility>

namespace dorvek::gateway {
namespace {

// "10 s", or "250 ms" for a time-out that is not whole seconds.
std::string DurationText(std::chrono::milliseconds d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

}  // namespace

AsioGatewayLink::AsioGatewayLink(asio::io_context& io, GatewayEvents& events, AsioGatewayLinkOptions options)
    : events_(events),
      write_timeout_(options.write_timeout),
      own_resolver_(options.resolver ? nullptr : std::make_unique<SystemHostResolver>(io)),
      resolver_(options.resolver ? *options.resolver : *own_resolver_),
      socket_(io),
      write_timer_(io) {}

AsioGatewayLink::~AsioGatewayLink() { Abandon(); }

void AsioGatewayLink::SetRemote(const std::string& host, const std::string& port) {
  host_ = host;
  port_ = port;
}

void AsioGatewayLink::Connect(StartFailure on_start_failure) {
  if (state_ != SocketState::kClosed) throw std::runtime_error("Connection attempt already in progress");
  if (host_.empty() || port_.empty()) throw std::runtime_error("No gateway address or port set");
  if (auto endpoints = NumericEndpoints(host_, port_)) {
    StartConnect(*endpoints);
    return;
  }
  // A name: the attempt stays in a passing state until the lookup has answered.
  const unsigned generation = ++generation_;
  state_ = SocketState::kOther;
  try {
    resolver_.Resolve(host_, port_,
                      [this, generation, on_start_failure = std::move(on_start_failure)](
                          Endpoints endpoints, std::string failure) {
                        if (generation != generation_) return;
                        if (failure.empty() && !endpoints.empty()) {
                          StartConnect(endpoints);
                          return;
                        }
                        const std::string text = host_ + ":" + port_ + ": " + failure;
                        Reset();
                        if (on_start_failure) on_start_failure(text);
                      });
  } catch (...) {
    state_ = SocketState::kClosed;
    throw;
  }
}

void AsioGatewayLink::StartConnect(const Endpoints& endpoints) {
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
  Shut("Gateway connection lost before the write completed: " + ec.message(), ec);
}

void AsioGatewayLink::Send(std::string_view bytes, SendDone done) {
  if (state_ != SocketState::kConnected) throw std::runtime_error("Gateway not connected");
  if (send_done_) throw std::runtime_error("A write to the gateway is still in progress");
  // The bytes live with the write's completion, which runs even after a closing.
  auto out = std::make_shared<std::string>(bytes);
  send_done_ = std::move(done);
  const unsigned generation = generation_;
  const unsigned number = ++write_number_;
  asio::async_write(socket_, asio::buffer(*out), [this, generation, out](std::error_code ec, std::size_t) {
    if (generation != generation_) return;
    OnWritten(ec);
  });
  write_timer_.expires_after(write_timeout_);
  write_timer_.async_wait([this, generation, number](std::error_code ec) {
    if (ec || generation != generation_ || number != write_number_ || !send_done_) return;
    Shut("Gateway write not completed within " + DurationText(write_timeout_),
         std::make_error_code(std::errc::timed_out));
  });
}

void AsioGatewayLink::OnWritten(std::error_code ec) {
  write_timer_.cancel();
  if (ec) {
    // Part of the packet may have left: the stream can no longer be trusted, so the
    // connection ends and the packet goes again, whole, on the next one.
    Shut("Gateway write failed: " + ec.message(), ec);
    return;
  }
  SendDone done = std::exchange(send_done_, nullptr);
  if (done) done(std::nullopt);
}

void AsioGatewayLink::Shut(const std::string& write_failure, std::error_code ec) {
  SendDone done = std::exchange(send_done_, nullptr);
  Reset();
  if (done) done(write_failure);
  events_.OnClosed(ec);
}

void AsioGatewayLink::Close() {
  if (state_ != SocketState::kConnected) return;
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  Shut("Gateway connection closed before the write completed", {});
}

void AsioGatewayLink::Abandon() { Reset(); }

void AsioGatewayLink::Reset() {
  ++generation_;
  resolver_.Cancel();
  write_timer_.cancel();
  send_done_ = nullptr;
  std::error_code ignored;
  if (socket_.is_open()) socket_.close(ignored);
  state_ = SocketState::kClosed;
  host_.clear();
  port_.clear();
}

}  // namespace dorvek::gateway
