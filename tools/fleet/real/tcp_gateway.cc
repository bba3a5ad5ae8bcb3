#include "fleet/real/tcp_gateway.h"

#include <fstream>
#include <sstream>

#include "core/codepage.h"

namespace dorvek::fleet {

using asio::ip::tcp;

TcpGateway::TcpGateway(std::function<void(const std::string&)> received, std::function<double()> clock)
    : received_(std::move(received)), clock_(std::move(clock)), acceptor_(io_), notices_(io_) {}

TcpGateway::~TcpGateway() {
  io_.stop();
  if (thread_.joinable()) thread_.join();
}

void TcpGateway::Start() {
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  port_ = acceptor_.local_endpoint().port();
  notices_.open(asio::ip::udp::v4());
  notices_.bind({asio::ip::make_address("127.0.0.1"), 0});
  notice_port_ = notices_.local_endpoint().port();
  ReceiveNotices();
  Accept();
  thread_ = std::thread([this] { io_.run(); });
}

void TcpGateway::ReceiveNotices() {
  notices_.async_receive(asio::buffer(notice_buffer_), [this](asio::error_code error, std::size_t) {
    if (error == asio::error::operation_aborted) return;
    {
      std::lock_guard lock(mutex_);
      if (!error) ++datagrams_;
    }
    ReceiveNotices();
  });
}

void TcpGateway::Accept() {
  acceptor_.async_accept([this](asio::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (error) {
      auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
      timer->async_wait([this, timer](asio::error_code) { Accept(); });
      return;
    }
    asio::error_code ignored;
    const auto peer = socket.remote_endpoint(ignored);
    socket_.emplace(std::move(socket));
    framer_.Reset();
    ++generation_;
    {
      std::lock_guard lock(mutex_);
      connected_ = true;
      service_port_ = peer.port();
      written_bytes_ = 0;
      ConnectionSpan span;
      span.number = static_cast<int>(connections_.size()) + 1;
      span.opened_s = clock_();
      connections_.push_back(span);
    }
    changed_.notify_all();
    Read(generation_);
    Pump();
  });
}

void TcpGateway::Read(unsigned generation) {
  socket_->async_read_some(asio::buffer(buffer_), [this, generation](asio::error_code error, std::size_t n) {
    if (generation != generation_ || !socket_) return;
    if (error) {
      Closed({});
      return;
    }
    const std::string text = core::Cp1252ToUtf8({buffer_.data(), n});
    for (const std::string& packet : framer_.Feed(text)) {
      {
        std::lock_guard lock(mutex_);
        ReceivedPacket p;
        p.seq = static_cast<long long>(received_log_.size()) + 1;
        p.connection = static_cast<int>(connections_.size());
        p.real_s = clock_();
        p.text = packet;
        received_log_.push_back(std::move(p));
      }
      received_(packet);
    }
    Read(generation);
  });
}

void TcpGateway::Closed(const std::string& why) {
  asio::error_code ignored;
  if (socket_) socket_->close(ignored);
  socket_.reset();
  ++generation_;
  writing_ = false;
  {
    std::lock_guard lock(mutex_);
    connected_ = false;
    if (!connections_.empty() && connections_.back().closed_s < 0) {
      connections_.back().closed_s = clock_();
      connections_.back().closed_by = !why.empty() ? why : !ending_.empty() ? ending_ : "service";
    }
    ending_.clear();
  }
  changed_.notify_all();
  Accept();
}

void TcpGateway::Deliver(long long seq, const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    pending_.emplace_back(seq, core::Utf8ToCp1252(text));
  }
  asio::post(io_, [this] { Pump(); });
}

void TcpGateway::Pump() {
  if (writing_ || !socket_) return;
  std::shared_ptr<std::pair<long long, std::string>> next;
  {
    std::lock_guard lock(mutex_);
    if (held_ || pending_.empty()) return;
    next = std::make_shared<std::pair<long long, std::string>>(pending_.front());
  }
  writing_ = true;
  const unsigned generation = generation_;
  int connection;
  {
    std::lock_guard lock(mutex_);
    connection = static_cast<int>(connections_.size());
  }
  asio::async_write(*socket_, asio::buffer(next->second),
                    [this, next, generation, connection](asio::error_code error, std::size_t) {
    // A packet written whole is the service's, even when the connection has ended since;
    // one that was not is written again on the next connection.
    if (!error) {
      std::lock_guard lock(mutex_);
      pending_.pop_front();
      if (connection == static_cast<int>(connections_.size())) written_bytes_ += static_cast<long long>(next->second.size());
      Written& w = written_[next->first];
      w.connection = connection;
      w.at = clock_();
      w.end = written_bytes_;
    }
    changed_.notify_all();
    if (generation != generation_) return;
    writing_ = false;
    if (error) {
      Closed({});
      return;
    }
    Pump();
  });
}

bool TcpGateway::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

bool TcpGateway::WaitConnected(std::chrono::milliseconds deadline) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, deadline, [this] { return connected_; });
}

std::size_t TcpGateway::pending() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

long long TcpGateway::received_count() const {
  std::lock_guard lock(mutex_);
  return static_cast<long long>(received_log_.size());
}

long long TcpGateway::datagrams() const {
  std::lock_guard lock(mutex_);
  return datagrams_;
}

void TcpGateway::HoldWrites() {
  std::unique_lock lock(mutex_);
  held_ = true;
  // The write under way finishes (or the connection ends) within a second on loopback.
  const std::size_t before = pending_.size();
  changed_.wait_for(lock, std::chrono::seconds(1), [&] { return pending_.size() < before || !connected_; });
}

void TcpGateway::ReleaseWrites() {
  {
    std::lock_guard lock(mutex_);
    held_ = false;
  }
  asio::post(io_, [this] { Pump(); });
}

std::optional<long long> TcpGateway::UnreadByService() const {
  std::uint16_t service_port;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) return std::nullopt;
    service_port = service_port_;
  }
  // Lines "sl local rem st tx_queue:rx_queue ...", ports in hexadecimal.
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream in(line);
    std::string sl, local, remote, state, queues;
    in >> sl >> local >> remote >> state >> queues;
    const auto port_of = [](const std::string& address) {
      return static_cast<std::uint16_t>(std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
    };
    if (local.find(':') == std::string::npos || remote.find(':') == std::string::npos) continue;
    if (port_of(local) == service_port && port_of(remote) == port_)
      return std::stoll(queues.substr(queues.find(':') + 1), nullptr, 16);
  }
  return std::nullopt;
}

void TcpGateway::MarkUnread(long long bytes) {
  std::lock_guard lock(mutex_);
  const int connection = static_cast<int>(connections_.size());
  for (auto& [seq, w] : written_)
    if (w.connection == connection && w.end > written_bytes_ - bytes) w.unread_at_kill = true;
}

void TcpGateway::EndingBecause(const std::string& why) {
  std::lock_guard lock(mutex_);
  ending_ = why;
}

void TcpGateway::Close() {
  EndingBecause("gateway");
  asio::post(io_, [this] {
    if (!socket_) return;
    asio::error_code ignored;
    // The service reads what was written, then the end, and closes its side.
    socket_->shutdown(tcp::socket::shutdown_send, ignored);
    const unsigned generation = generation_;
    auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::seconds(5));
    timer->async_wait([this, timer, generation](asio::error_code) {
      if (generation == generation_ && socket_) Closed("gateway");
    });
  });
}

void TcpGateway::Annotate(Record& record) const {
  std::lock_guard lock(mutex_);
  record.connections = connections_;
  record.received = received_log_;
  for (const auto& [seq, w] : written_) record.NoteWritten(seq, w.connection, w.at, w.unread_at_kill);
}

}  // namespace dorvek::fleet
