#include "fleet/sim/simulated_gateway.h"

#include <stdexcept>
#include <utility>

#include "core/codepage.h"

namespace dorvek::fleet {

using gateway::SocketState;

// --- the service's end ------------------------------------------------------------------

void SimulatedLink::Connect(StartFailure) {
  if (state_ != SocketState::kClosed) throw std::runtime_error("An attempt to connect is in progress");
  if (remote_.empty()) throw std::runtime_error("No gateway address or port set");
  state_ = SocketState::kConnecting;
  const int epoch = ++epoch_;
  const bool refused = gateway_.rng_.Chance(0.05);
  gateway_.scheduler_.At(gateway_.Now() + gateway_.rng_.Between(1, 200), [this, epoch, refused] {
    if (epoch != epoch_ || life_.dead) return;
    if (refused) {
      const auto error = std::make_error_code(std::errc::connection_refused);
      End("refused", Report::kNothing);
      if (events_) events_->OnConnected(error);
      if (events_) events_->OnClosed(error);
      return;
    }
    state_ = SocketState::kConnected;
    gateway_.Opened(*this);
    if (events_) events_->OnConnected({});
    gateway_.Schedule(gateway_.Now());
  });
}

void SimulatedLink::Send(std::string_view bytes, SendDone done, Acknowledged acknowledged) {
  if (life_.dead) throw std::runtime_error("Simulated: the process was killed");
  if (state_ != SocketState::kConnected) throw std::runtime_error("Gateway not connected");
  if (in_flight_) throw std::runtime_error("A write is in flight");
  in_flight_ = std::make_unique<Write>(Write{std::string(bytes), std::move(done), std::move(acknowledged)});
  const int epoch = epoch_;
  Scheduler& scheduler = gateway_.scheduler_;
  scheduler.At(gateway_.Now() + gateway_.rng_.Between(1, 20), [this, epoch, &scheduler] {
    if (epoch != epoch_ || life_.dead || !in_flight_) return;
    const std::unique_ptr<Write> write = std::move(in_flight_);
    gateway_.Arrived(write->bytes);
    unacknowledged_.push_back(std::move(write->acknowledged));
    last_ack_ = std::max(last_ack_, gateway_.Now() + gateway_.rng_.Between(1, 300));
    scheduler.At(last_ack_, [this, epoch] {
      if (epoch != epoch_ || life_.dead || unacknowledged_.empty()) return;
      const Acknowledged acknowledged = std::move(unacknowledged_.front());
      unacknowledged_.pop_front();
      if (acknowledged) acknowledged();
    });
    if (write->done) write->done(std::nullopt);
  });
}

std::size_t SimulatedLink::unacknowledged() const {
  if (state_ != SocketState::kConnected) return 0;
  return unacknowledged_.size() + (in_flight_ ? 1 : 0);
}

void SimulatedLink::Close() {
  if (state_ != SocketState::kConnected) return;
  // What waits unread comes first: the rest of a packet split over two reads.
  const bool was_paused = std::exchange(paused_, false);
  gateway_.Pump();
  paused_ = was_paused;
  if (state_ != SocketState::kConnected || life_.dead) return;
  // The writes not yet acknowledged get a short moment: most make it, in order.
  while (!unacknowledged_.empty() && gateway_.rng_.Chance(0.8)) {
    const Acknowledged acknowledged = std::move(unacknowledged_.front());
    unacknowledged_.pop_front();
    if (acknowledged) acknowledged();
  }
  // A write in flight fails, though its bytes may have left all the same.
  if (in_flight_ && gateway_.rng_.Chance(0.5)) gateway_.Arrived(in_flight_->bytes);
  End("service", Report::kClosed);
}

void SimulatedLink::ResumeReading() {
  paused_ = false;
  gateway_.Schedule(gateway_.Now());
}

void SimulatedLink::End(const std::string& by, Report report, std::error_code error) {
  const bool was_connected = state_ == SocketState::kConnected;
  ++epoch_;
  state_ = SocketState::kClosed;
  remote_.clear();
  const std::unique_ptr<Write> write = std::move(in_flight_);
  unacknowledged_.clear();
  if (was_connected) gateway_.Ended(*this, by);
  if (report != Report::kClosed) return;
  if (write && write->done) write->done("Simulated: the connection ended before the write completed");
  if (events_) events_->OnClosed(error);
}

// --- the gateway ------------------------------------------------------------------------

SimulatedLink& SimulatedGateway::NewLink(Lifeline& life) {
  links_.push_back(std::make_unique<SimulatedLink>(*this, life));
  return *links_.back();
}

void SimulatedGateway::Deliver(long long seq, const std::string& text) {
  const SimMs ready = std::max(last_ready_, Now() + rng_.Between(0, 30));
  last_ready_ = ready;
  pending_.push_back({seq, core::Utf8ToCp1252(text), ready});
  Schedule(ready);
}

bool SimulatedGateway::connected() const { return link_ != nullptr; }

void SimulatedGateway::Close() {
  if (link_ == nullptr) return;
  ending_ = "gateway";
  // The service reads the rest of a packet it has in part, then the end.
  if (partial_ > 0) {
    closing_ = true;
    return;
  }
  link_->End("gateway", SimulatedLink::Report::kClosed, std::make_error_code(std::errc::connection_reset));
}

void SimulatedGateway::Opened(SimulatedLink& link) {
  link_ = &link;
  framer_.Reset();
  ConnectionSpan span;
  span.number = connection() + 1;
  span.opened_s = static_cast<double>(Now()) / 1000.0;
  spans_.push_back(span);
}

void SimulatedGateway::Ended(SimulatedLink& link, const std::string& by) {
  if (&link != link_) return;
  ConnectionSpan& span = spans_.back();
  span.closed_s = static_cast<double>(Now()) / 1000.0;
  span.closed_by = by == "killed" || ending_.empty() ? by : ending_;
  ending_.clear();
  // A packet written in part goes with the process that had it in part.
  if (partial_ > 0) {
    written_[pending_.front().seq].unread_at_kill = true;
    pending_.pop_front();
    partial_ = 0;
  }
  closing_ = false;
  link_ = nullptr;
}

void SimulatedGateway::Pump() {
  while (link_ != nullptr && !link_->paused_ && !link_->life_.dead) {
    std::string bytes;
    std::vector<long long> seqs;
    if (partial_ > 0) {
      bytes = pending_.front().bytes.substr(partial_);
      seqs.push_back(pending_.front().seq);
      pending_.pop_front();
      partial_ = 0;
    } else {
      const auto reads = static_cast<std::size_t>(rng_.Between(1, 3));
      while (seqs.size() < reads && !pending_.empty() && pending_.front().ready <= Now()) {
        const Pending& head = pending_.front();
        written_[head.seq] = {connection(), static_cast<double>(Now()) / 1000.0, false};
        seqs.push_back(head.seq);
        if (head.bytes.size() > 1 && rng_.Chance(0.1)) {
          partial_ = static_cast<std::size_t>(rng_.Between(1, static_cast<long long>(head.bytes.size()) - 1));
          bytes += head.bytes.substr(0, partial_);
          break;
        }
        bytes += head.bytes;
        pending_.pop_front();
      }
      if (seqs.empty()) return;
    }
    SimulatedLink& link = *link_;
    if (link.events_) link.events_->OnData(bytes);
    // A process killed while it saved this read had it only in its memory.
    if (link.life_.dead) {
      for (long long seq : seqs) written_[seq].unread_at_kill = true;
      return;
    }
    if (closing_ && partial_ == 0) {
      link.End("gateway", SimulatedLink::Report::kClosed, std::make_error_code(std::errc::connection_reset));
      return;
    }
  }
}

void SimulatedGateway::Arrived(std::string_view bytes) {
  for (const std::string& packet : framer_.Feed(core::Cp1252ToUtf8(bytes))) {
    ReceivedPacket p;
    p.seq = static_cast<long long>(received_log_.size()) + 1;
    p.connection = connection();
    p.real_s = static_cast<double>(Now()) / 1000.0;
    p.text = packet;
    received_log_.push_back(p);
    received_(packet);
  }
}

void SimulatedGateway::Annotate(Record& record) const {
  record.connections = spans_;
  record.received = received_log_;
  for (const auto& [seq, w] : written_) record.NoteWritten(seq, w.connection, w.at, w.unread_at_kill);
}

}  // namespace dorvek::fleet
