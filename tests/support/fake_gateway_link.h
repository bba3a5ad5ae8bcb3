#pragma once
// A gateway link that records what the service does with it and is driven by the test:
// the test decides when an attempt completes, fails, or the gateway closes, whether a
// name lookup fails, and whether a write completes at once, later or not at all.

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
  void Send(std::string_view bytes, SendDone done) override {
    if (fail_sends > 0) {
      --fail_sends;
      throw std::runtime_error("send failed");
    }
    if (state_ != gateway::SocketState::kConnected) throw std::runtime_error("Gateway not connected");
    if (in_flight_done_) throw std::runtime_error("write in flight");
    ++writes_started;
    if (writes == FakeWrites::kCompleteAtOnce) {
      sent.emplace_back(bytes);
      done(std::nullopt);
      return;
    }
    in_flight_ = std::string(bytes);
    in_flight_done_ = std::move(done);
  }
  void Close() override {
    if (state_ != gateway::SocketState::kConnected) return;
    Shut("closed before the write completed", {});
  }
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
  void GatewayCloses() { Shut("connection lost", std::make_error_code(std::errc::connection_reset)); }
  // The held write has left whole.
  void CompleteWrite() {
    if (!in_flight_done_) throw std::logic_error("no write in flight");
    sent.push_back(std::move(in_flight_));
    std::exchange(in_flight_done_, nullptr)(std::nullopt);
  }
  // The held write fails (or times out) as the real link's does: the failure, then the
  // connection closes.
  void FailWrite(const std::string& text) {
    if (!in_flight_done_) throw std::logic_error("no write in flight");
    Shut(text, std::make_error_code(std::errc::timed_out));
  }
  void Deliver(std::string_view bytes) {
    if (events_) events_->OnData(bytes);
  }
  const std::string& host() const { return host_; }
  const std::string& port() const { return port_; }
  const std::string& in_flight() const { return in_flight_; }

  std::vector<std::string> remotes_set, attempts, sent;
  int connect_calls = 0;
  int abandons = 0;
  int fail_sends = 0;  // Sends that throw before anything starts
  int writes_started = 0;
  FakeWrites writes = FakeWrites::kCompleteAtOnce;
  // The state an attempt starts in: kOther stands for a name lookup still running.
  gateway::SocketState attempt_state = gateway::SocketState::kConnecting;

 private:
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
    on_start_failure_ = nullptr;
  }
  gateway::GatewayEvents* events_ = nullptr;
  gateway::SocketState state_ = gateway::SocketState::kClosed;
  std::string host_, port_;
  std::string in_flight_;
  SendDone in_flight_done_;
  StartFailure on_start_failure_;
};

}  // namespace dorvek::test_support
