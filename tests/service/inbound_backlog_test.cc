#include "service/inbound_backlog.h"

#include <gtest/gtest.h>

#include <string>

#include "core/memory_event_log.h"

namespace dorvek::service {
namespace {

using namespace std::chrono_literals;

struct DrainCase {
  std::string name;
  std::size_t waiting;
  int per_tick;
  double seconds_per_packet;
  double seconds;
};

class DrainSecondsTable : public ::testing::TestWithParam<DrainCase> {};

TEST_P(DrainSecondsTable, WholeTicksAtTheMeasuredPace) {
  Pace pace;
  pace.packets_per_tick = GetParam().per_tick;
  pace.seconds_per_packet = GetParam().seconds_per_packet;
  EXPECT_DOUBLE_EQ(DrainSeconds(GetParam().waiting, pace), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DrainSecondsTable,
    ::testing::Values(DrainCase{"Empty", 0, 1, 0.5, 0}, DrainCase{"OnePerTick", 61, 1, 0, 61},
                      DrainCase{"HandlingTimeAdds", 10, 1, 0.5, 15},
                      DrainCase{"TenPerTick", 95, 10, 0, 10},
                      DrainCase{"ManyPerTickWithHandlingTime", 6000, 4000, 0.0005, 2 + 6000 * 0.0005}),
    [](const auto& info) { return info.param.name; });

class InboundBacklogTest : public ::testing::Test {
 protected:
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (const auto& e : log_.entries())
      out.push_back((e.type == core::EntryType::kWarning ? "W " : "I ") + e.text);
    return out;
  }

  core::MemoryEventLog log_;
  core::ManualClock clock_;
  InboundBacklog backlog_{log_, clock_};
};

TEST_F(InboundBacklogTest, AgeIsThatOfTheOldestPacketStillWaiting) {
  EXPECT_EQ(backlog_.AgeSeconds(), 0);
  backlog_.Sync(2);  // two arrive
  clock_.Advance(3s);
  backlog_.Sync(3);  // a third
  clock_.Advance(2s);
  EXPECT_DOUBLE_EQ(backlog_.AgeSeconds(), 5);
  backlog_.Sync(1);  // two taken from the head: the third is the oldest
  EXPECT_DOUBLE_EQ(backlog_.AgeSeconds(), 2);
  backlog_.Sync(1);  // a packet put back at the head keeps its age
  EXPECT_DOUBLE_EQ(backlog_.AgeSeconds(), 2);
  backlog_.Clear();
  EXPECT_EQ(backlog_.AgeSeconds(), 0);
}

TEST_F(InboundBacklogTest, WarnsOnceAboveAMinuteAndSaysOnceWhenBackAtHalf) {
  backlog_.Configure(1);
  backlog_.Sync(60);  // 60 s: on the line, not over it
  EXPECT_TRUE(log_.entries().empty());
  backlog_.Sync(61);
  backlog_.Sync(90);
  backlog_.Sync(45);  // under the line, not yet at half
  backlog_.Sync(70);
  EXPECT_EQ(Entries(), std::vector<std::string>{
                           "W Taxis Dorvek ZOL achterstand: 61 pakketten wachten, ongeveer 61 s werk bij het "
                           "huidige tempo (PakkettenPerTick 1)"});
  backlog_.Sync(30);
  backlog_.Sync(10);
  ASSERT_EQ(log_.entries().size(), 2u);
  EXPECT_EQ(Entries()[1], "I Taxis Dorvek ZOL achterstand ingehaald: 30 pakketten wachten, ongeveer 30 s werk");
}

TEST_F(InboundBacklogTest, MorePacketsPerTickMoveTheLine) {
  backlog_.Configure(100);
  backlog_.Sync(6000);  // 60 ticks
  EXPECT_TRUE(log_.entries().empty());
  backlog_.TickDone(100, 1s);  // 10 ms a packet: 60 ticks of 1 s work and 1 s pause each
  backlog_.Sync(6000);
  EXPECT_EQ(log_.entries().size(), 1u);
  EXPECT_DOUBLE_EQ(backlog_.DrainSecondsNow(), 120);
}

}  // namespace
}  // namespace dorvek::service
