#include "gateway/receive_path.h"

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "gateway/packet_writer.h"

namespace dorvek::gateway {
namespace {

std::string KeepAlive(const std::string& unit) { return BuildPacket({"123", "NOOP", "NEW", "", unit, "0", "0"}); }

class ReceivePathTest : public ::testing::Test {
 protected:
  core::MemoryEventLog log_;
  ReceivePath path_{log_};
  PacketQueue queue_;
};

TEST_F(ReceivePathTest, EveryReadIsLoggedAndEachPacketQueued) {
  const std::string a = KeepAlive("4711"), b = KeepAlive("4712");
  path_.QClientSocketDataAvailable(a + b, &queue_);
  EXPECT_EQ(queue_, (PacketQueue{a, b}));
  EXPECT_EQ(log_.texts(), (std::vector<std::string>{"Ontvangen pakket: " + a + b}));
}

TEST_F(ReceivePathTest, PacketSplitOverTwoReadsIsOneEntry) {
  const std::string a = KeepAlive("4711");
  path_.QClientSocketDataAvailable(a.substr(0, 10), &queue_);
  EXPECT_TRUE(queue_.empty());
  path_.QClientSocketDataAvailable(a.substr(10), &queue_);
  EXPECT_EQ(queue_, (PacketQueue{a}));
  EXPECT_EQ(log_.entries().size(), 2u);  // both reads logged
}

TEST_F(ReceivePathTest, ReadHoldingXgateIsQueuedUnlogged) {
  const std::string a = KeepAlive("XGATE");
  path_.QClientSocketDataAvailable(a, &queue_);
  EXPECT_EQ(queue_, (PacketQueue{a}));
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(ReceivePathTest, Windows1252BytesBecomeUtf8) {
  const std::string wire = BuildPacket({"123", "KEY", "NEW", "", "4711", "014", "1", "002", "caf\xe9"});
  path_.QClientSocketDataAvailable(wire, &queue_);
  ASSERT_EQ(queue_.size(), 1u);
  EXPECT_NE(queue_[0].find("caf\xc3\xa9"), std::string::npos);
}

TEST_F(ReceivePathTest, OverlongFrameIsAWarningAndFramingGoesOn) {
  path_.QClientSocketDataAvailable("\x01" + std::string(10050, 'x'), &queue_);
  const std::string a = KeepAlive("4711");
  path_.QClientSocketDataAvailable(a, &queue_);
  EXPECT_EQ(queue_, (PacketQueue{a}));
  bool warned = false;
  for (const auto& e : log_.entries()) warned |= e.type == core::EntryType::kWarning;
  EXPECT_TRUE(warned);
}

TEST_F(ReceivePathTest, NoiseIsOneWarningPerReadAndThePacketsBetweenItAreKept) {
  const std::string a = KeepAlive("4711"), b = KeepAlive("4712");
  std::string noise;
  for (int i = 0; i < 300; ++i) noise += "\x01" "ruis" + std::to_string(i);
  path_.QClientSocketDataAvailable("\x01" "kort" + a + noise + b, &queue_);
  EXPECT_EQ(queue_, (PacketQueue{a, b}));
  std::vector<std::string> warnings;
  for (const auto& e : log_.entries())
    if (e.type == core::EntryType::kWarning) warnings.push_back(e.text);
  EXPECT_EQ(warnings, std::vector<std::string>{"Onvolledig pakket van 5 tekens verworpen, en nog 300 stukken "
                                               "verworpen in dezelfde ontvangst"});
}

TEST_F(ReceivePathTest, NewConnectionForgetsAHalfPacket) {
  const std::string a = KeepAlive("4711");
  path_.QClientSocketDataAvailable(a.substr(0, 10), &queue_);
  path_.ConnectionClosed();
  path_.QClientSocketDataAvailable(a.substr(10), &queue_);
  EXPECT_TRUE(queue_.empty());
  path_.QClientSocketDataAvailable(a, &queue_);
  EXPECT_EQ(queue_, (PacketQueue{a}));
}

TEST_F(ReceivePathTest, WithoutAQueueNothingIsKept) {
  path_.QClientSocketDataAvailable(KeepAlive("4711"), nullptr);
  EXPECT_EQ(log_.entries().size(), 1u);
}

}  // namespace
}  // namespace dorvek::gateway
