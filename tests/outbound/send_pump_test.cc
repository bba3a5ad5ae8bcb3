#include "outbound/send_pump.h"

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "support/fake_gateway_link.h"

namespace dorvek::outbound {
namespace {

class SendPumpTest : public ::testing::Test {
 protected:
  void Connect() {
    link_.SetRemote("127.0.0.1", "4001");
    link_.Connect();
    link_.CompleteAttempt();
  }
  gateway::PacketQueue queue_;
  test_support::FakeGatewayLink link_;
  core::MemoryEventLog log_;
};

TEST_F(SendPumpTest, OnePacketPerFiringInTheOrderQueued) {
  Connect();
  queue_ = {"een", "twee", "drie"};
  SendNextPacket(&queue_, link_, log_);
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een"}));
  SendNextPacket(&queue_, link_, log_);
  SendNextPacket(&queue_, link_, log_);
  SendNextPacket(&queue_, link_, log_);
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een", "twee", "drie"}));
  EXPECT_TRUE(queue_.empty());
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SendPumpTest, NothingLeavesOrIsLoggedWhileNotConnected) {
  queue_ = {"een"};
  SendNextPacket(&queue_, link_, log_);
  link_.SetRemote("127.0.0.1", "4001");
  link_.Connect();  // connecting is not connected
  SendNextPacket(&queue_, link_, log_);
  EXPECT_TRUE(link_.sent.empty());
  EXPECT_EQ(queue_.size(), 1u);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SendPumpTest, FailedWriteIsAWarningAndThePacketStaysAtTheHead) {
  Connect();
  queue_ = {"een", "twee"};
  link_.fail_sends = 1;
  SendNextPacket(&queue_, link_, log_);
  EXPECT_TRUE(link_.sent.empty());
  ASSERT_EQ(queue_.size(), 2u);
  EXPECT_EQ(queue_.front(), "een");
  EXPECT_TRUE(log_.Contains(core::EntryType::kWarning, "send failed"));
  SendNextPacket(&queue_, link_, log_);
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een"}));
}

TEST_F(SendPumpTest, TextLeavesInWindows1252) {
  Connect();
  queue_ = {"\x01" "caf\xc3\xa9 \xe2\x82\xac"};  // "café €"
  SendNextPacket(&queue_, link_, log_);
  ASSERT_EQ(link_.sent.size(), 1u);
  EXPECT_EQ(link_.sent[0], std::string("\x01" "caf\xe9 \x80"));
}

TEST_F(SendPumpTest, MissingQueueIsNotAFailure) {
  Connect();
  SendNextPacket(nullptr, link_, log_);
  EXPECT_TRUE(log_.entries().empty());
}

}  // namespace
}  // namespace dorvek::outbound
