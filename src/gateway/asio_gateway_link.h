#pragma once
// The gateway connection over an Asio TCP socket, run on the service's event loop.
// Keep-alive probes and a bound on unacknowledged data notice a gateway host that died
// without a word within about half a minute; an attempt that is not answered ends after
// the connect time-out. Nagle is left on. A numeric address is used as it stands; a
// host name is resolved off the loop when the attempt starts, and a name that cannot be
// resolved fails the start of the attempt. Writes are asynchronous and bounded by the
// write time-out: a gateway that stays connected but stops reading cannot hold the loop.
//
// Each write is one packet. The link remembers where each one ends in the byte stream
// and, while some are not acknowledged, asks the kernel on a short timer how many bytes
// the peer has not acknowledged yet (SIOCOUTQ): a packet whose last byte is acknowledged
// is reported, in order. A closing by the service (Close) is orderly: the sending side is
// shut down, the packets written get up to `close_grace` to be acknowledged, and only
// when some still are not is the connection reset. Every other ending resets at once.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <asio.hpp>

#include "gateway/gateway_link.h"
#include "gateway/host_resolver.h"

namespace dorvek::gateway {

// How long a write to the gateway may stay unfinished before it fails and the
// connection is closed.
inline constexpr std::chrono::milliseconds kGatewayWriteTimeout{10000};
// How long an attempt may wait for the gateway's answer (a filtered address, a host
// that drops packets) before it fails as timed out.
inline constexpr std::chrono::milliseconds kGatewayConnectTimeout{10000};
// How long written data may stay unacknowledged before the connection is given up
// (TCP_USER_TIMEOUT); keep-alive probes of an idle connection end it as soon.
inline constexpr std::chrono::milliseconds kGatewayUserTimeout{30000};
// How long Close waits for the packets written to be acknowledged.
inline constexpr std::chrono::milliseconds kGatewayCloseGrace{2000};
// How often the unacknowledged bytes are looked at while some are outstanding.
inline constexpr std::chrono::milliseconds kAckPollInterval{50};

struct AsioGatewayLinkOptions {
  std::chrono::milliseconds write_timeout = kGatewayWriteTimeout;
  std::chrono::milliseconds connect_timeout = kGatewayConnectTimeout;
  std::chrono::milliseconds user_timeout = kGatewayUserTimeout;
  std::chrono::milliseconds close_grace = kGatewayCloseGrace;
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
  void Send(std::string_view bytes, SendDone done, Acknowledged acknowledged) override;
  std::size_t unacknowledged() const override { return unacknowledged_.size(); }
  void Close() override;
  void Abandon() override;
  void PauseReading() override;
  void ResumeReading() override;
  bool reading_paused() const override { return reading_paused_; }

 private:
  // How a connection ends: with a reset (at once, unsent data dropped) or orderly.
  enum class Ending { kReset, kOrderly };
  // What reads the socket now: a read, or while paused a wait that only looks whether
  // the connection has ended.
  enum class ReadOp { kNone, kRead, kWatch };
  struct Unacknowledged {
    std::uint64_t end = 0;  // the stream offset after the packet's last byte
    Acknowledged acknowledged;
  };

  void StartConnect(const Endpoints& endpoints);
  void OnConnect(std::error_code ec);
  void Read();  // the next read, or the watch while paused
  void Watch();
  void OnWritten(std::error_code ec);
  // Reports, in order, the packets whose bytes the peer has acknowledged.
  void ReportAcknowledged();
  void PollAcknowledgements();
  // Packets written whole and not yet acknowledged.
  bool AwaitingAcknowledgement() const;
  // Ends the connection: a write in flight fails with `write_failure`, then the closed
  // event is reported.
  void Shut(const std::string& write_failure, std::error_code ec, Ending ending);
  void Lost(std::error_code ec);  // the gateway or the network ended the connection
  // Closes the socket quietly, forgets the remote, drops every completion.
  void Reset(Ending ending = Ending::kReset);

  GatewayEvents& events_;
  AsioGatewayLinkOptions options_;
  std::unique_ptr<HostResolver> own_resolver_;
  HostResolver& resolver_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer connect_timer_;
  asio::steady_timer write_timer_;
  asio::steady_timer ack_timer_;
  SocketState state_ = SocketState::kClosed;
  std::string host_, port_;
  // Completions of an attempt, read or write that was abandoned or closed meanwhile
  // carry an older generation and are ignored.
  unsigned generation_ = 0;
  std::array<char, 65536> buffer_{};
  ReadOp read_op_ = ReadOp::kNone;
  bool reading_paused_ = false;
  asio::cancellation_signal read_cancel_;  // ends the read (or watch) outstanding
  // The write in flight: its number (the time-out of an earlier write must not end a
  // later one) and its `done`, empty when no write is in flight.
  unsigned write_number_ = 0;
  SendDone send_done_;
  // This connection's stream: bytes handed to writes, and bytes of writes completed.
  std::uint64_t started_ = 0;
  std::uint64_t written_ = 0;
  std::deque<Unacknowledged> unacknowledged_;
  bool ack_timer_running_ = false;
  bool send_side_shut_ = false;  // the FIN then counts among the kernel's unacknowledged bytes
};

}  // namespace dorvek::gateway
