#pragma once
// A gateway link that records what the service does with it and is driven by the test:
// the test decides when an attempt completes, fails, or the gateway closes, whether a
// name lookup fails, whether a write completes at once, later or not at all, and when
// the gateway host acknowledges what was written. Bytes delivered while reading is
// paused wait, as in the TCP buffers, until it resumes.

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gateway/gateway_link.h"

namespace dorvek::test_support {

// What becomes of a write the service starts.
enum class FakeWrites {
  kCompleteAtOnce,  // done(success) before Send returns
  kHeld,            // in flight until CompleteWrite or FailWrite
};

// When the gateway host acknowledges a completed write.
enum class FakeAcks {
  kAtOnce,  // as soon as the write has completed
  kHeld,    // when the test calls Acknowledge
};

class FakeGatewayLink : public gateway::GatewayLink {
 public:
  void set_events(gateway::GatewayEvents* events) { events_ = events; }

  gateway::SocketState state() const override { return state_; }
  void SetRemote(const std::string& host, const std::string& port) override {
    host_ = host;
    port_ = port;
    remotes_set.push_back(host + ":" + port);
  }
  void Connect(StartFailure on_start_failure) override {
    ++connect_calls;
    if (state_ != gateway::SocketState::kClosed) throw std::runtime_error("attempt in progress");
    if (host_.empty() || port_.empty()) throw std::runtime_error("No gateway address or port set");
    attempts.push_back(host_ + ":" + port_);
    state_ = attempt_state;
    on_start_failure_ = std::move(on_start_failure);
  }
  void Connect() { Connect(nullptr); }
  bool sending() const override { return static_cast<bool>(in_flight_done_); }
  std::size_t unacknowledged() const override { return unacknowledged_.size() + (in_flight_done_ ? 1 : 0); }
  void Send(std::string_view bytes, SendDone done, Acknowledged acknowledged) override {
    if (fail_sends > 0) {
      --fail_sends;
      throw std::runtime_error("send failed");
    }
    if (state_ != gateway::SocketState::kConnected) throw std::runtime_error("Gateway not connected");
    if (in_flight_done_) throw std::runtime_error("write in flight");
    ++writes_started;
    if (writes == FakeWrites::kCompleteAtOnce) {
      sent.emplace_back(bytes);
      Written(std::move(done), std::move(acknowledged));
      return;
    }
    in_flight_ = std::string(bytes);
    in_flight_done_ = std::move(done);
    in_flight_ack_ = std::move(acknowledged);
  }
  void Close() override {
    if (state_ != gateway::SocketState::kConnected) return;
    ++closes;
    Shut("closed before the write completed", {});
  }
  void PauseReading() override { paused_ = true; }
  void ResumeReading() override {
    paused_ = false;
    while (!held_.empty() && !paused_) {
      const std::string bytes = std::move(held_.front());
      held_.erase(held_.begin());
      if (events_) events_->OnData(bytes);
    }
    if (held_.empty() && std::exchange(close_held_, false)) GatewayCloses();
  }
  bool reading_paused() const override { return paused_; }
  void Abandon() override {
    ++abandons;
    Forget();
  }

  // Test side.
  // The name lookup of the attempt in progress has answered.
  void CompleteLookup() { state_ = gateway::SocketState::kConnecting; }
  // The name lookup of the attempt in progress has failed: back to closed, no events.
  void FailLookup(const std::string& text) {
    auto failure = std::exchange(on_start_failure_, nullptr);
    Forget();
    if (failure) failure(text);
  }
  void CompleteAttempt() {
    state_ = gateway::SocketState::kConnected;
    if (events_) events_->OnConnected({});
  }
  // The attempt fails as the real link reports it: connected with the error, then closed.
  void FailAttempt(std::errc reason = std::errc::connection_refused) {
    Forget();
    const auto ec = std::make_error_code(reason);
    if (events_) {
      events_->OnConnected(ec);
      events_->OnClosed(ec);
    }
  }
  // Closed while bytes wait unread: found after them, when reading resumes.
  void GatewayCloses() {
    if (!held_.empty()) {
      close_held_ = true;
      return;
    }
    Shut("connection lost", std::make_error_code(std::errc::connection_reset));
  }
  // The held write has left whole.
  void CompleteWrite() {
    if (!in_flight_done_) throw std::logic_error("no write in flight");
    sent.push_back(std::move(in_flight_));
    Written(std::exchange(in_flight_done_, nullptr), std::exchange(in_flight_ack_, nullptr));
  }
  // The gateway host acknowledges the oldest `count` completed writes, in order.
  void Acknowledge(std::size_t count = 1) {
    for (; count > 0 && !unacknowledged_.empty(); --count) {
      Acknowledged done = std::move(unacknowledged_.front());
      unacknowledged_.erase(unacknowledged_.begin());
      if (done) done();
    }
  }
  // The held write fails (or times out) as the real link's does: the failure, then the
  // connection closes.
  void FailWrite(const std::string& text) {
    if (!in_flight_done_) throw std::logic_error("no write in flight");
    Shut(text, std::make_error_code(std::errc::timed_out));
  }
  void Deliver(std::string_view bytes) {
    if (paused_) {
      held_.emplace_back(bytes);
    } else if (events_) {
      events_->OnData(bytes);
    }
  }
  std::size_t held() const { return held_.size(); }
  const std::string& host() const { return host_; }
  const std::string& port() const { return port_; }
  const std::string& in_flight() const { return in_flight_; }

  std::vector<std::string> remotes_set, attempts, sent;
  int connect_calls = 0;
  int abandons = 0;
  int fail_sends = 0;  // Sends that throw before anything starts
  int writes_started = 0;
  int closes = 0;
  FakeWrites writes = FakeWrites::kCompleteAtOnce;
  FakeAcks acks = FakeAcks::kAtOnce;
  // The state an attempt starts in: kOther stands for a name lookup still running.
  gateway::SocketState attempt_state = gateway::SocketState::kConnecting;

 private:
  void Written(SendDone done, Acknowledged acknowledged) {
    unacknowledged_.push_back(std::move(acknowledged));
    done(std::nullopt);
    if (acks == FakeAcks::kAtOnce) Acknowledge(unacknowledged_.size());
  }
  void Shut(const std::string& write_failure, std::error_code ec) {
    auto done = std::exchange(in_flight_done_, nullptr);
    Forget();
    if (done) done(write_failure);
    if (events_) events_->OnClosed(ec);
  }
  void Forget() {
    state_ = gateway::SocketState::kClosed;
    host_.clear();
    port_.clear();
    in_flight_.clear();
    in_flight_done_ = nullptr;
    in_flight_ack_ = nullptr;
    unacknowledged_.clear();
    held_.clear();
    close_held_ = false;
    on_start_failure_ = nullptr;
  }
  gateway::GatewayEvents* events_ = nullptr;
  gateway::SocketState state_ = gateway::SocketState::kClosed;
  std::string host_, port_;
  std::string in_flight_;
  SendDone in_flight_done_;
  Acknowledged in_flight_ack_;
  std::vector<Acknowledged> unacknowledged_;  // completed writes, oldest first
  std::vector<std::string> held_;             // delivered while paused
  bool paused_ = false;
  bool close_held_ = false;
  StartFailure on_start_failure_;
};

}  // namespace dorvek::test_support
