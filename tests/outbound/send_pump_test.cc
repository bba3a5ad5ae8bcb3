#include "outbound/send_pump.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "core/memory_event_log.h"
#include "gateway/asio_gateway_link.h"
#include "support/fake_gateway_link.h"

namespace dorvek::outbound {
namespace {

using namespace std::chrono_literals;
using test_support::FakeWrites;

// Each call of SendNextPacket stands for one firing of the pump.
class SendPumpTest : public ::testing::Test {
 protected:
  void Connect() {
    link_.SetRemote("127.0.0.1", "4001");
    link_.Connect();
    link_.CompleteAttempt();
  }
  void Fire() { SendNextPacket(&queue_, link_, log_); }
  gateway::PacketQueue queue_;
  test_support::FakeGatewayLink link_;
  core::MemoryEventLog log_;
};

TEST_F(SendPumpTest, OnePacketPerFiringInTheOrderQueued) {
  Connect();
  queue_ = {"een", "twee", "drie"};
  Fire();
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een"}));
  Fire();
  Fire();
  Fire();
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een", "twee", "drie"}));
  EXPECT_TRUE(queue_.empty());
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SendPumpTest, NothingLeavesOrIsLoggedWhileNotConnected) {
  queue_ = {"een"};
  Fire();
  link_.SetRemote("127.0.0.1", "4001");
  link_.Connect();  // connecting is not connected
  Fire();
  EXPECT_EQ(link_.writes_started, 0);
  EXPECT_EQ(queue_.size(), 1u);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SendPumpTest, WriteThatCannotStartIsAWarningAndThePacketStaysAtTheHead) {
  Connect();
  queue_ = {"een", "twee"};
  link_.fail_sends = 1;
  Fire();
  EXPECT_TRUE(link_.sent.empty());
  ASSERT_EQ(queue_.size(), 2u);
  EXPECT_EQ(queue_.front(), "een");
  EXPECT_TRUE(log_.Contains(core::EntryType::kWarning, "send failed"));
  Fire();
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een"}));
}

TEST_F(SendPumpTest, WriteInFlightStartsNothingNewAndTheHeadGoesOnlyWhenItCompletes) {
  Connect();
  link_.writes = FakeWrites::kHeld;
  queue_ = {"een", "twee"};
  Fire();
  EXPECT_EQ(link_.in_flight(), "een");
  EXPECT_EQ(queue_.size(), 2u) << "not removed before the write has succeeded";
  Fire();
  Fire();
  EXPECT_EQ(link_.writes_started, 1) << "a firing while a write is in flight starts nothing";
  link_.CompleteWrite();
  EXPECT_EQ(queue_, (gateway::PacketQueue{"twee"}));
  Fire();
  EXPECT_EQ(link_.in_flight(), "twee");
  link_.CompleteWrite();
  EXPECT_TRUE(queue_.empty());
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een", "twee"}));
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SendPumpTest, WriteThatFailsLaterIsAWarningAndThePacketGoesAgainOnTheNextConnection) {
  Connect();
  link_.writes = FakeWrites::kHeld;
  queue_ = {"een", "twee"};
  Fire();
  link_.FailWrite("Gateway write not completed within 10 s");
  EXPECT_EQ(log_.texts(), std::vector<std::string>{"Gateway write not completed within 10 s"});
  EXPECT_TRUE(log_.Contains(core::EntryType::kWarning, "Gateway write not completed within 10 s"));
  EXPECT_EQ(queue_, (gateway::PacketQueue{"een", "twee"}));
  EXPECT_EQ(link_.state(), gateway::SocketState::kClosed);
  Fire();  // closed: nothing, and nothing logged
  EXPECT_EQ(link_.writes_started, 1);
  EXPECT_EQ(log_.entries().size(), 1u);
  Connect();
  Fire();
  EXPECT_EQ(link_.in_flight(), "een");
}

TEST_F(SendPumpTest, AbandonedWriteNeverTouchesTheQueue) {
  Connect();
  link_.writes = FakeWrites::kHeld;
  queue_ = {"een"};
  Fire();
  link_.Abandon();
  EXPECT_FALSE(link_.sending());
  EXPECT_EQ(queue_.size(), 1u);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SendPumpTest, TextLeavesInWindows1252) {
  Connect();
  queue_ = {"\x01" "caf\xc3\xa9 \xe2\x82\xac"};  // "café €"
  Fire();
  ASSERT_EQ(link_.sent.size(), 1u);
  EXPECT_EQ(link_.sent[0], std::string("\x01" "caf\xe9 \x80"));
}

TEST_F(SendPumpTest, MissingQueueIsNotAFailure) {
  Connect();
  SendNextPacket(nullptr, link_, log_);
  EXPECT_TRUE(log_.entries().empty());
}

// ---------------------------------------------------------------------------------
// Acknowledgement: a packet leaves the queue when the gateway host has acknowledged it.
// Steps, one letter each: F a firing, W the held write completes, A the host
// acknowledges the oldest written packet, D the connection drops, C it is made again,
// S the held packet's marking turns out done.

struct AckCase {
  std::string name;
  int per_send;
  FakeWrites writes;
  std::string steps;
  std::string gateway_got;  // the packets written, in order
  std::string queue_left;
  int held = -1;  // the packet whose message-box row's marking is not known
  bool reply = false;  // held instead as a reply whose packet's work is not known
};

class SendPumpAcknowledgement : public ::testing::TestWithParam<AckCase> {};

TEST_P(SendPumpAcknowledgement, LeavesOnlyWhenAcknowledgedAndGoesAgainInOrderAfterALoss) {
  const AckCase& c = GetParam();
  test_support::FakeGatewayLink link;
  link.acks = test_support::FakeAcks::kHeld;
  link.writes = c.writes;
  core::MemoryEventLog log;
  gateway::PacketQueue queue = {"a", "b", "c", "d"};
  std::string removed;
  auto connect = [&] {
    link.SetRemote("127.0.0.1", "4001");
    link.Connect();
    link.CompleteAttempt();
  };
  connect();
  const auto hold = [&](int i, long long value) { c.reply ? queue.SetReplyTo(i, value) : queue.SetBboId(i, value); };
  if (c.held >= 0) hold(c.held, 7);
  for (char step : c.steps) {
    if (step == 'F') SendNextPacket(&queue, link, log, [&] { removed += "x"; }, c.per_send);
    if (step == 'W') link.CompleteWrite();
    if (step == 'A') link.Acknowledge();
    if (step == 'D') link.GatewayCloses();
    if (step == 'C') connect();
    if (step == 'S') hold(c.held - static_cast<int>(removed.size()), 0);
  }
  std::string got, left;
  for (const auto& p : link.sent) got += p;
  for (std::size_t i = 0; i < queue.size(); ++i) left += queue[i];
  EXPECT_EQ(got, c.gateway_got);
  EXPECT_EQ(left, c.queue_left);
  EXPECT_EQ(removed.size(), 4 - left.size()) << "sent once per packet removed";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendPumpAcknowledgement,
    ::testing::Values(
        AckCase{"WrittenIsNotRemoved", 1, FakeWrites::kCompleteAtOnce, "F", "a", "abcd"},
        AckCase{"NextGoesWhileEarlierAwaitAcknowledgement", 1, FakeWrites::kCompleteAtOnce, "FFAF", "abc", "bcd"},
        AckCase{"AllOnTheWireWritesNothingMore", 1, FakeWrites::kCompleteAtOnce, "FFFFFFAAAA", "abcd", ""},
        AckCase{"UnacknowledgedGoAgainInOrderAfterAReconnect", 1, FakeWrites::kCompleteAtOnce, "FFFADFCFFAA",
                "abcbc", "d"},
        AckCase{"DropWithEverythingAcknowledgedRepeatsNothing", 1, FakeWrites::kCompleteAtOnce, "FFAADCF", "abc",
                "cd"},
        AckCase{"SeveralPerFiringEachInAWriteOfItsOwn", 3, FakeWrites::kCompleteAtOnce, "FAF", "abcd", "bcd"},
        AckCase{"SeveralPerFiringOneWriteAtATime", 3, FakeWrites::kHeld, "FWFWWFW", "abcd", "abcd"},
        AckCase{"WriteInFlightAtADropGoesAgain", 2, FakeWrites::kHeld, "FWADCFWW", "abc", "bcd"},
        AckCase{"HeldPacketWaitsAndSoDoesWhatFollows", 3, FakeWrites::kCompleteAtOnce, "FFAFSF", "abcd", "bcd", 1},
        AckCase{"HeldReplyWaitsAndSoDoesWhatFollows", 3, FakeWrites::kCompleteAtOnce, "FFAFSF", "abcd", "bcd", 1,
                true}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------
// The pump on the real link, against a loopback gateway that accepts and never reads.

struct ClosedCounter : gateway::GatewayEvents {
  void OnConnected(std::error_code) override {}
  void OnClosed(std::error_code) override { ++closed; }
  void OnData(std::string_view) override {}
  int closed = 0;
};

TEST(SendPumpOnLoopback, GatewayThatStopsReadingTimesTheWriteOutAndThePacketStaysAtTheHead) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  acceptor.set_option(asio::socket_base::receive_buffer_size(4096));  // fills sooner
  asio::ip::tcp::socket gateway(io);
  acceptor.async_accept(gateway, [](std::error_code) {});
  ClosedCounter events;
  gateway::AsioGatewayLink link(io, events, {.write_timeout = 300ms});
  link.SetRemote("127.0.0.1", std::to_string(acceptor.local_endpoint().port()));
  link.Connect(nullptr);
  auto run_until = [&](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      io.restart();
      io.run_for(10ms);
    }
    return done();
  };
  ASSERT_TRUE(run_until([&] { return link.state() == gateway::SocketState::kConnected && gateway.is_open(); }));

  // 64 packets of 256 KiB, far more than the socket buffers hold, each marked by its number.
  gateway::PacketQueue queue;
  std::vector<std::string> packets;
  for (int i = 0; i < 64; ++i) packets.push_back(std::to_string(i) + ":" + std::string(256 << 10, 'x'));
  for (const std::string& packet : packets) queue.push_back(packet);
  core::MemoryEventLog log;
  // The pump fires every 20 ms on the loop.
  asio::steady_timer timer(io);
  int firings = 0;
  std::function<void()> fire = [&] {
    timer.expires_after(20ms);
    timer.async_wait([&](std::error_code ec) {
      if (ec) return;
      ++firings;
      SendNextPacket(&queue, link, log);
      fire();
    });
  };
  fire();
  ASSERT_TRUE(run_until([&] { return events.closed > 0; }));
  const std::size_t left = queue.size();
  const int firings_at_close = firings;
  run_until([&] { return firings >= firings_at_close + 5; });  // firings while closed

  EXPECT_EQ(log.texts(), std::vector<std::string>{"Gateway write not completed within 300 ms"});
  EXPECT_TRUE(log.Contains(core::EntryType::kWarning, "Gateway write not completed within 300 ms"));
  ASSERT_GT(left, 0u);
  EXPECT_EQ(queue.size(), left) << "nothing leaves while closed";
  EXPECT_EQ(queue.front(), packets[packets.size() - left]) << "the packet that timed out is still the head";
  EXPECT_EQ(events.closed, 1);
  EXPECT_EQ(link.state(), gateway::SocketState::kClosed);
  EXPECT_GE(firings_at_close, 300 / 20 / 2) << "the pump's timer went on firing while the write waited";
}

}  // namespace
}  // namespace dorvek::outbound
