#pragma once
// A gateway link that records what the service does with it and is driven by the test:
// the test decides when an attempt completes, fails, or the gateway closes.

#include <stdexcept>
#include <string>
#include <vector>

#include "gateway/gateway_link.h"

namespace dorvek::test_support {

class FakeGatewayLink : public gateway::GatewayLink {
 public:
  void set_events(gateway::GatewayEvents* events) { events_ = events; }

  gateway::SocketState state() const override { return state_; }
  void SetRemote(const std::string& host, const std::string& port) override {
    host_ = host;
    port_ = port;
    remotes_set.push_back(host + ":" + port);
  }
  void Connect() override {
    ++connect_calls;
    if (state_ != gateway::SocketState::kClosed) throw std::runtime_error("attempt in progress");
    if (host_.empty() || port_.empty()) throw std::runtime_error("No gateway address or port set");
    attempts.push_back(host_ + ":" + port_);
    state_ = gateway::SocketState::kConnecting;
  }
  void Send(std::string_view bytes) override {
    if (fail_sends > 0) {
      --fail_sends;
      throw std::runtime_error("send failed");
    }
    if (state_ != gateway::SocketState::kConnected) throw std::runtime_error("Gateway not connected");
    sent.emplace_back(bytes);
  }
  void Close() override {
    if (state_ != gateway::SocketState::kConnected) return;
    Forget();
    if (events_) events_->OnClosed({});
  }
  void Abandon() override {
    ++abandons;
    Forget();
  }

  // Test side.
  void CompleteAttempt() {
    state_ = gateway::SocketState::kConnected;
    if (events_) events_->OnConnected({});
  }
  void FailAttempt() {
    Forget();
    const auto ec = std::make_error_code(std::errc::connection_refused);
    if (events_) {
      events_->OnConnected(ec);
      events_->OnClosed(ec);
    }
  }
  void GatewayCloses() {
    Forget();
    if (events_) events_->OnClosed(std::make_error_code(std::errc::connection_reset));
  }
  void Deliver(std::string_view bytes) {
    if (events_) events_->OnData(bytes);
  }
  const std::string& host() const { return host_; }
  const std::string& port() const { return port_; }

  std::vector<std::string> remotes_set, attempts, sent;
  int connect_calls = 0;
  int abandons = 0;
  int fail_sends = 0;

 private:
  void Forget() {
    state_ = gateway::SocketState::kClosed;
    host_.clear();
    port_.clear();
  }
  gateway::GatewayEvents* events_ = nullptr;
  gateway::SocketState state_ = gateway::SocketState::kClosed;
  std::string host_, port_;
};

}  // namespace dorvek::test_support
