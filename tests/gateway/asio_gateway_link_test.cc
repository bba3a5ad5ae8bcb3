#include "gateway/asio_gateway_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace dorvek::gateway {
namespace {

using namespace std::chrono_literals;

// Records the link's events in order.
class Recorder : public GatewayEvents {
 public:
  void OnConnected(std::error_code e) override { events.push_back(e ? "connected:error" : "connected"); }
  void OnClosed(std::error_code) override { events.push_back("closed"); }
  void OnData(std::string_view bytes) override { data += bytes; }
  std::vector<std::string> events;
  std::string data;
};

class AsioGatewayLinkTest : public ::testing::Test {
 protected:
  // Runs the loop until done() holds, for at most five seconds.
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      io_.restart();
      io_.run_for(10ms);
    }
    return true;
  }
  std::string Port() const { return std::to_string(acceptor_.local_endpoint().port()); }
  void Accept() {
    acceptor_.async_accept(peer_, [](std::error_code) {});
  }

  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
  asio::ip::tcp::socket peer_{io_};
  Recorder events_;
  AsioGatewayLink link_{io_, events_};
};

TEST_F(AsioGatewayLinkTest, StartsClosedAndRefusesToConnectWithoutRemote) {
  EXPECT_EQ(link_.state(), SocketState::kClosed);
  EXPECT_THROW(link_.Connect(), std::runtime_error);
  link_.SetRemote("127.0.0.1", "");
  EXPECT_THROW(link_.Connect(), std::runtime_error);
  EXPECT_TRUE(events_.events.empty());
}

TEST_F(AsioGatewayLinkTest, ConnectsReceivesSendsAndCloses) {
  Accept();
  link_.SetRemote("127.0.0.1", Port());
  link_.Connect();
  EXPECT_EQ(link_.state(), SocketState::kConnecting);
  EXPECT_THROW(link_.Connect(), std::runtime_error);  // one attempt at a time
  ASSERT_TRUE(RunUntil([&] { return link_.state() == SocketState::kConnected && peer_.is_open(); }));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected"}));

  asio::write(peer_, asio::buffer(std::string("\x01hallo")));
  ASSERT_TRUE(RunUntil([&] { return events_.data == "\x01hallo"; }));

  link_.Send("antwoord");
  std::string got(8, '\0');
  asio::read(peer_, asio::buffer(got));
  EXPECT_EQ(got, "antwoord");

  link_.Close();
  EXPECT_EQ(link_.state(), SocketState::kClosed);
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected", "closed"}));
  // The remote is forgotten after a closing.
  EXPECT_THROW(link_.Connect(), std::runtime_error);
}

TEST_F(AsioGatewayLinkTest, RefusedAttemptReportsConnectedThenClosed) {
  const std::string port = Port();
  acceptor_.close();  // nothing listens there any more
  link_.SetRemote("127.0.0.1", port);
  link_.Connect();
  ASSERT_TRUE(RunUntil([&] { return events_.events.size() == 2; }));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"connected:error", "closed"}));
  EXPECT_EQ(link_.state(), SocketState::kClosed);
}

TEST_F(AsioGatewayLinkTest, GatewayClosingIsReported) {
  Accept();
  link_.SetRemote("localhost", Port());  // a host name is resolved
  link_.Connect();
  ASSERT_TRUE(RunUntil([&] { return link_.state() == SocketState::kConnected && peer_.is_open(); }));
  peer_.close();
  ASSERT_TRUE(RunUntil([&] { return events_.events.size() == 2; }));
  EXPECT_EQ(events_.events[1], "closed");
  EXPECT_EQ(link_.state(), SocketState::kClosed);
}

TEST_F(AsioGatewayLinkTest, AbandonedAttemptReportsNothing) {
  Accept();
  link_.SetRemote("127.0.0.1", Port());
  link_.Connect();
  link_.Abandon();
  RunUntil([&] { return peer_.is_open(); });
  io_.restart();
  io_.run_for(50ms);
  EXPECT_TRUE(events_.events.empty());
  EXPECT_EQ(link_.state(), SocketState::kClosed);
}

TEST_F(AsioGatewayLinkTest, SendWhileClosedFails) { EXPECT_THROW(link_.Send("x"), std::runtime_error); }

}  // namespace
}  // namespace dorvek::gateway
