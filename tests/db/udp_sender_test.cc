#include "db/udp_sender.h"

#include <poll.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::db {
namespace {

using namespace std::string_literals;
using asio::ip::udp;

// A socket on a free loopback port that waits, up to a deadline, for one datagram.
class LoopbackReceiver {
 public:
  LoopbackReceiver() : socket_(io_, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)) {}
  std::uint16_t port() const { return socket_.local_endpoint().port(); }

  std::optional<std::string> Receive(std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    pollfd fd{socket_.native_handle(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(deadline.count())) != 1) return std::nullopt;
    std::string buffer(65536, '\0');
    udp::endpoint from;
    const std::size_t n = socket_.receive_from(asio::buffer(buffer), from);
    buffer.resize(n);
    return buffer;
  }

 private:
  asio::io_context io_;
  udp::socket socket_;
};

struct TargetCase {
  const char* text;
  const char* host;
  std::uint16_t port;
};

class ParseLanTargetGood : public ::testing::TestWithParam<TargetCase> {};

TEST_P(ParseLanTargetGood, SplitsHostAndPort) {
  EXPECT_EQ(ParseLanTarget(GetParam().text), (LanTarget{GetParam().host, GetParam().port}));
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseLanTargetGood,
                         ::testing::Values(TargetCase{"127.0.0.1:54999", "127.0.0.1", 54999},
                                           TargetCase{"255.255.255.255:54200", "255.255.255.255",
                                                      54200},
                                           TargetCase{"localhost:1", "localhost", 1},
                                           TargetCase{"127.0.0.1:65535", "127.0.0.1", 65535}),
                         [](const auto& info) {
                           return test_support::CaseName(info.index, info.param.text);
                         });

class ParseLanTargetBad : public ::testing::TestWithParam<const char*> {};

TEST_P(ParseLanTargetBad, ThrowsNamingTheText) {
  try {
    ParseLanTarget(GetParam());
    FAIL() << "accepted " << GetParam();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam()), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseLanTargetBad,
                         ::testing::Values("127.0.0.1", ":54200", "127.0.0.1:", "127.0.0.1:0",
                                           "127.0.0.1:65536", "127.0.0.1:54x", "127.0.0.1:-1",
                                           "127.0.0.1: 5", ""),
                         [](const auto& info) { return test_support::CaseName(info.index, info.param); });

TEST(AsioUdpSender, DefaultTargetIsTheBroadcastNoticePort) {
  EXPECT_EQ(AsioUdpSender().target(), (LanTarget{"255.255.255.255", 54200}));
}

TEST(AsioUdpSender, LoopbackDatagramArrivesByteForByte) {
  LoopbackReceiver receiver;
  AsioUdpSender sender({"127.0.0.1", receiver.port()});
  const std::string bytes = "\x60\x55\0\xFF\x80 ok"s;
  sender.Send(bytes);
  EXPECT_EQ(receiver.Receive(), bytes);
}

TEST(AsioUdpSender, EachSendIsOneDatagram) {
  LoopbackReceiver receiver;
  AsioUdpSender sender({"127.0.0.1", receiver.port()});
  sender.Send("een");
  sender.Send("");
  sender.Send("drie");
  EXPECT_EQ(receiver.Receive(), "een");
  EXPECT_EQ(receiver.Receive(), "");
  EXPECT_EQ(receiver.Receive(), "drie");
}

TEST(AsioUdpSender, OversizedDatagramThrowsTheSocketText) {
  LoopbackReceiver receiver;
  AsioUdpSender sender({"127.0.0.1", receiver.port()});
  try {
    sender.Send(std::string(70000, 'x'));
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("too long"), std::string::npos) << e.what();
  }
  EXPECT_EQ(receiver.Receive(std::chrono::milliseconds(0)), std::nullopt);
}

TEST(AsioUdpSender, PortZeroIsRefusedBySocketLayer) {
  AsioUdpSender sender({"127.0.0.1", 0});
  EXPECT_THROW(sender.Send("x"), std::runtime_error);
}

}  // namespace
}  // namespace dorvek::db
