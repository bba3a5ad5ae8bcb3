#include "gateway/asio_gateway_link.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <thread>
#include <utility>

namespace dorvek::gateway {
namespace {

// "10 s", or "250 ms" for a time-out that is not whole seconds.
std::string DurationText(std::chrono::milliseconds d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

// Keep-alive probes once the connection has been idle a third of the user time-out,
// then every 5 s; the user time-out ends the connection once nothing has been heard
// (or nothing acknowledged) for that long.
void WatchForADeadPeer(asio::ip::tcp::socket& socket, std::chrono::milliseconds user_timeout) {
  std::error_code ignored;
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  const int fd = socket.native_handle();
  const int idle = std::max<int>(1, static_cast<int>(user_timeout.count() / 3000));
  const int interval = 5;
  const int count = 4;
  const unsigned timeout_ms = static_cast<unsigned>(user_timeout.count());
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
}

}  // namespace

AsioGatewayLink::AsioGatewayLink(asio::io_context& io, GatewayEvents& events, AsioGatewayLinkOptions options)
    : events_(events),
      options_(options),
      own_resolver_(options.resolver ? nullptr : std::make_unique<SystemHostResolver>(io)),
      resolver_(options.resolver ? *options.resolver : *own_resolver_),
      socket_(io),
      connect_timer_(io),
      write_timer_(io),
      ack_timer_(io) {}

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
  // An attempt nobody answers fails like a refused one, after the connect time-out.
  connect_timer_.expires_after(options_.connect_timeout);
  connect_timer_.async_wait([this, generation](std::error_code ec) {
    if (ec || generation != generation_ || state_ != SocketState::kConnecting) return;
    OnConnect(std::make_error_code(std::errc::timed_out));
  });
}

void AsioGatewayLink::OnConnect(std::error_code ec) {
  connect_timer_.cancel();
  if (ec) {
    // A failed attempt is reported as connected with its error, then as closed.
    Reset();
    events_.OnConnected(ec);
    events_.OnClosed(ec);
    return;
  }
  WatchForADeadPeer(socket_, options_.user_timeout);
  state_ = SocketState::kConnected;
  events_.OnConnected({});
  if (state_ == SocketState::kConnected && read_op_ == ReadOp::kNone) Read();
}

void AsioGatewayLink::Read() {
  if (reading_paused_) {
    Watch();
    return;
  }
  const unsigned generation = generation_;
  read_op_ = ReadOp::kRead;
  socket_.async_read_some(
      asio::buffer(buffer_),
      asio::bind_cancellation_slot(read_cancel_.slot(), [this, generation](std::error_code ec, std::size_t n) {
        if (generation != generation_) return;
        read_op_ = ReadOp::kNone;
        if (ec == asio::error::operation_aborted) {  // paused: nothing was read
          Read();
          return;
        }
        if (ec) {
          Lost(ec);
          return;
        }
        events_.OnData(std::string_view(buffer_.data(), n));
        // OnData may have paused or resumed reading, or ended the connection.
        if (generation == generation_ && state_ == SocketState::kConnected && read_op_ == ReadOp::kNone) Read();
      }));
}

void AsioGatewayLink::Watch() {
  const unsigned generation = generation_;
  read_op_ = ReadOp::kWatch;
  socket_.async_wait(
      asio::ip::tcp::socket::wait_read,
      asio::bind_cancellation_slot(read_cancel_.slot(), [this, generation](std::error_code ec) {
        if (generation != generation_) return;
        read_op_ = ReadOp::kNone;
        if (ec && ec != asio::error::operation_aborted) {
          Lost(ec);
          return;
        }
        if (!ec) {
          // Readable while paused: the gateway closed, the connection failed, or bytes
          // came. Bytes stay for the reads after the pause, and so does a closing behind
          // them; the watch ends, as the socket stays readable.
          char byte = 0;
          const ssize_t n = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
          if (n == 0) {
            Lost(asio::error::eof);
            return;
          }
          if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Lost(std::error_code(errno, std::system_category()));
            return;
          }
          if (n > 0 && reading_paused_) return;
        }
        Read();
      }));
}

void AsioGatewayLink::PauseReading() {
  if (reading_paused_) return;
  reading_paused_ = true;
  // A read that has not completed ends without taking anything; its completion starts
  // the watch.
  if (read_op_ == ReadOp::kRead) read_cancel_.emit(asio::cancellation_type::terminal);
}

void AsioGatewayLink::ResumeReading() {
  if (!reading_paused_) return;
  reading_paused_ = false;
  if (state_ != SocketState::kConnected) return;
  if (read_op_ == ReadOp::kWatch) {
    read_cancel_.emit(asio::cancellation_type::terminal);  // its completion reads
  } else if (read_op_ == ReadOp::kNone) {
    Read();
  }
}

void AsioGatewayLink::Lost(std::error_code ec) {
  Shut("Gateway connection lost before the write completed: " + ec.message(), ec, Ending::kReset);
}

void AsioGatewayLink::Send(std::string_view bytes, SendDone done, Acknowledged acknowledged) {
  if (state_ != SocketState::kConnected) throw std::runtime_error("Gateway not connected");
  if (send_done_) throw std::runtime_error("A write to the gateway is still in progress");
  // The bytes live with the write's completion, which runs even after a closing.
  auto out = std::make_shared<std::string>(bytes);
  send_done_ = std::move(done);
  started_ += out->size();
  unacknowledged_.push_back({started_, std::move(acknowledged)});
  const unsigned generation = generation_;
  const unsigned number = ++write_number_;
  asio::async_write(socket_, asio::buffer(*out), [this, generation, out](std::error_code ec, std::size_t) {
    if (generation != generation_) return;
    OnWritten(ec);
  });
  write_timer_.expires_after(options_.write_timeout);
  write_timer_.async_wait([this, generation, number](std::error_code ec) {
    if (ec || generation != generation_ || number != write_number_ || !send_done_) return;
    Shut("Gateway write not completed within " + DurationText(options_.write_timeout),
         std::make_error_code(std::errc::timed_out), Ending::kReset);
  });
}

void AsioGatewayLink::OnWritten(std::error_code ec) {
  write_timer_.cancel();
  if (ec) {
    // Part of the packet may have left: the stream can no longer be trusted, so the
    // connection ends and the packet goes again, whole, on the next one.
    Shut("Gateway write failed: " + ec.message(), ec, Ending::kReset);
    return;
  }
  written_ = started_;
  const unsigned generation = generation_;
  SendDone done = std::exchange(send_done_, nullptr);
  if (done) done(std::nullopt);
  if (generation == generation_) PollAcknowledgements();
}

bool AsioGatewayLink::AwaitingAcknowledgement() const {
  return !unacknowledged_.empty() && unacknowledged_.front().end <= written_;
}

void AsioGatewayLink::PollAcknowledgements() {
  if (ack_timer_running_ || !AwaitingAcknowledgement() || state_ != SocketState::kConnected) return;
  ack_timer_running_ = true;
  const unsigned generation = generation_;
  ack_timer_.expires_after(kAckPollInterval);
  ack_timer_.async_wait([this, generation](std::error_code ec) {
    if (ec || generation != generation_) return;
    ack_timer_running_ = false;
    ReportAcknowledged();
    if (generation == generation_) PollAcknowledgements();
  });
}

void AsioGatewayLink::ReportAcknowledged() {
  int queued = 0;  // bytes handed to the kernel and not yet acknowledged by the peer
  if (::ioctl(socket_.native_handle(), SIOCOUTQ, &queued) != 0 || queued < 0) return;
  std::uint64_t outstanding = static_cast<std::uint64_t>(queued);
  if (send_side_shut_ && outstanding > 0) --outstanding;  // the FIN's sequence number
  // Counted against completed writes only: a write in flight may have handed part of
  // its bytes already, so this never reports too much.
  const std::uint64_t acknowledged = written_ > outstanding ? written_ - outstanding : 0;
  const unsigned generation = generation_;
  while (!unacknowledged_.empty() && unacknowledged_.front().end <= acknowledged) {
    Acknowledged done = std::move(unacknowledged_.front().acknowledged);
    unacknowledged_.pop_front();
    if (done) done();
    if (generation != generation_) return;
  }
}

void AsioGatewayLink::Shut(const std::string& write_failure, std::error_code ec, Ending ending) {
  SendDone done = std::exchange(send_done_, nullptr);
  Reset(ending);
  if (done) done(write_failure);
  events_.OnClosed(ec);
}

void AsioGatewayLink::Close() {
  if (state_ != SocketState::kConnected) return;
  // What the gateway has sent and our TCP has acknowledged counts as delivered at its
  // end: what waits unread in the socket is taken before closing, so a stop loses none
  // of it. Bounded by what the receive buffer holds.
  std::array<char, 65536> drained;
  for (int reads = 0; reads < 1024; ++reads) {
    std::error_code ec;
    if (socket_.available(ec) == 0 || ec) break;
    socket_.non_blocking(true, ec);
    const std::size_t n = ec ? 0 : socket_.read_some(asio::buffer(drained), ec);
    if (ec || n == 0) break;
    const unsigned generation = generation_;
    events_.OnData(std::string_view(drained.data(), n));
    if (generation != generation_ || state_ != SocketState::kConnected) return;
  }
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  send_side_shut_ = true;
  // What was written still leaves; a short, bounded moment for its acknowledgement, so
  // the sender counts it delivered rather than writing it again next time.
  const unsigned generation = generation_;
  const auto until = std::chrono::steady_clock::now() + options_.close_grace;
  for (;;) {
    ReportAcknowledged();
    if (generation != generation_) return;  // a completion ended the connection
    if (!AwaitingAcknowledgement() || std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Shut("Gateway connection closed before the write completed", {},
       unacknowledged_.empty() ? Ending::kOrderly : Ending::kReset);
}

void AsioGatewayLink::Abandon() { Reset(); }

void AsioGatewayLink::Reset(Ending ending) {
  ++generation_;
  resolver_.Cancel();
  connect_timer_.cancel();
  write_timer_.cancel();
  ack_timer_.cancel();
  ack_timer_running_ = false;
  send_done_ = nullptr;
  unacknowledged_.clear();
  started_ = written_ = 0;
  send_side_shut_ = false;
  read_op_ = ReadOp::kNone;
  std::error_code ignored;
  if (socket_.is_open()) {
    // A reset drops what is unsent; an orderly closing has sent its FIN already.
    if (ending == Ending::kReset) socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    socket_.close(ignored);
  }
  state_ = SocketState::kClosed;
  host_.clear();
  port_.clear();
}

}  // namespace dorvek::gateway
