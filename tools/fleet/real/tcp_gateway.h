#pragma once
// The terminal gateway of a run against the real service: a TCP server on a loopback
// port that takes the service's connection (one at a time), writes the terminals'
// packets to it in order, one whole packet per write, and hands what the service sends
// to the fleet. While no connection is up it keeps the packets, as a gateway keeps its
// terminals' messages, and writes them once the service is back. It also takes the
// service's LAN notices on a loopback UDP port.
//
// The fault injector can hold the writes (before it stops or kills the service, so it
// can tell what the service had not read), close the connection from the gateway's
// side, and name why the current connection is about to end.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "fleet/fleet_ports.h"
#include "gateway/stream_framer.h"
#include "fleet/record.h"

namespace dorvek::fleet {

class TcpGateway : public GatewayPort {
 public:
  // received: called on the gateway's thread for every packet the service sends (UTF-8).
  // clock: seconds since the run began.
  TcpGateway(std::function<void(const std::string&)> received, std::function<double()> clock);
  ~TcpGateway() override;

  // Listens on 127.0.0.1 at free ports and starts the network thread.
  void Start();
  std::uint16_t port() const { return port_; }
  std::uint16_t notice_port() const { return notice_port_; }

  void Deliver(long long seq, const std::string& text) override;

  bool connected() const;
  // Waits until a connection is up; false after the deadline.
  bool WaitConnected(std::chrono::milliseconds deadline) const;
  std::size_t pending() const;  // packets handed over and not yet written
  long long received_count() const;
  long long datagrams() const;  // LAN notices received

  // Holds further writes and waits (up to a second) for the one under way.
  void HoldWrites();
  void ReleaseWrites();
  // Bytes the service's side of the connection has received and not read yet (from the
  // kernel's table of TCP sockets); nothing when there is no connection.
  std::optional<long long> UnreadByService() const;
  // Marks the packets among the last `bytes` written on the current connection as
  // unread when the service was killed.
  void MarkUnread(long long bytes);
  // Why the current connection is about to end ("killed", "stopped"); the next closing
  // is recorded with it.
  void EndingBecause(const std::string& why);
  // Closes the connection from the gateway's side: the service reads what was written,
  // then the end.
  void Close();

  // The gateway's log, for the record: connections, where each packet was written, and
  // what the terminals received.
  void Annotate(Record& record) const;

 private:
  struct Written {
    int connection = 0;
    double at = -1;
    long long end = 0;  // bytes written on its connection up to its end
    bool unread_at_kill = false;
  };
  void Accept();
  void Read(unsigned generation);
  void Pump();
  void Closed(const std::string& why);
  void ReceiveNotices();

  std::function<void(const std::string&)> received_;
  std::function<double()> clock_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ip::udp::socket notices_;
  std::uint16_t port_ = 0;
  std::uint16_t notice_port_ = 0;
  std::thread thread_;

  // Network thread only.
  std::optional<asio::ip::tcp::socket> socket_;
  unsigned generation_ = 0;
  gateway::StreamFramer framer_;
  std::array<char, 65536> buffer_{};
  std::array<char, 2048> notice_buffer_{};
  bool writing_ = false;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<std::pair<long long, std::string>> pending_;  // seq, bytes on the wire
  bool held_ = false;
  bool connected_ = false;
  std::uint16_t service_port_ = 0;
  long long written_bytes_ = 0;  // on the current connection
  std::string ending_;
  std::vector<ConnectionSpan> connections_;
  std::map<long long, Written> written_;
  std::vector<ReceivedPacket> received_log_;
  long long datagrams_ = 0;
};

}  // namespace dorvek::fleet
