#include "service/queue_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/clock.h"
#include "core/memory_event_log.h"
#include "support/failing_sqlite_vfs.h"
#include "support/service_process.h"

namespace dorvek::service {
namespace {

using namespace std::chrono_literals;
using core::EntryType;
using gateway::PacketQueue;
using Queue = QueueStore::Queue;

constexpr const char* kUnusable = "Taxis Dorvek ZOL wachtrijbestand ";

class QueueStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir_.path() / "Wachtrijen.db"; }

  // A store with its queues, as the service has them from start to stop.
  struct Run {
    Run(QueueStoreTest& test, const QueueStore::Options& options = {})
        : store(test.log_, test.clock_, test.File(), options) {
      loaded = store.Open(inbound, outbound);
    }
    // One piece of work: packets appended to each queue, then stored.
    void Append(std::initializer_list<const char*> in, std::initializer_list<const char*> out = {}) {
      const auto before = store.Mark();
      for (const char* p : in) inbound.push_back(p);
      for (const char* p : out) outbound.push_back(p);
      store.Save(before);
    }
    // The controller takes n inbound packets in one tick.
    void TakeInbound(std::size_t n) {
      const auto before = store.Mark();
      for (std::size_t i = 0; i < n; ++i) inbound.pop_front();
      store.Save(before);
    }
    // The send pump has written the head.
    void Sent() {
      outbound.pop_front();
      store.Removed(Queue::kOutbound, 1);
    }

    PacketQueue inbound, outbound;
    QueueStore store;
    QueueStore::Lengths loaded;
  };

  // What a fresh start would load from the file now.
  std::pair<PacketQueue, PacketQueue> Reload() {
    core::MemoryEventLog log;
    QueueStore other(log, clock_, File());
    PacketQueue inbound, outbound;
    other.Open(inbound, outbound);
    EXPECT_TRUE(log.entries().empty());
    return {inbound, outbound};
  }

  std::vector<std::string> Warnings() const {
    std::vector<std::string> out;
    for (const auto& e : log_.entries())
      if (e.type == EntryType::kWarning) out.push_back(e.text);
    return out;
  }

  test_support::TempDir dir_;
  core::MemoryEventLog log_;
  core::ManualClock clock_;
};

TEST_F(QueueStoreTest, WhatIsCommittedComesBackInOrderAtTheNextStartWithoutAClose) {
  {
    Run run(*this);
    EXPECT_TRUE(run.store.durable());
    EXPECT_EQ(run.loaded.inbound + run.loaded.outbound, 0u);
    run.Append({"in 1", "in 2"}, {"out 1"});
    run.Append({"in 3"});
    run.Append({}, {"out 2", "out 3"});
    run.TakeInbound(2);
    run.Sent();
    // Still open: every change is on disk at once, as after a crash.
    const auto [inbound, outbound] = Reload();
    EXPECT_EQ(inbound, (PacketQueue{"in 3"}));
    EXPECT_EQ(outbound, (PacketQueue{"out 2", "out 3"}));
  }
  Run again(*this);
  EXPECT_EQ(again.loaded.inbound, 1u);
  EXPECT_EQ(again.loaded.outbound, 2u);
  EXPECT_EQ(again.inbound, (PacketQueue{"in 3"}));
  EXPECT_EQ(again.outbound, (PacketQueue{"out 2", "out 3"}));
  again.TakeInbound(1);
  again.Sent();
  again.Sent();
  again.Append({"in 4"});
  again.store.Close();
  const auto [inbound, outbound] = Reload();
  EXPECT_EQ(inbound, (PacketQueue{"in 4"}));
  EXPECT_TRUE(outbound.empty());
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(QueueStoreTest, PacketTextsAreKeptByteForByte) {
  const std::string odd = std::string("\x01" "0042\x02" "cliënt\x03", 13) + std::string(1, '\0') + "\x04XCRC";
  {
    Run run(*this);
    const auto before = run.store.Mark();
    run.inbound.push_back(odd);
    run.inbound.push_back(std::string(9999, 'x'));
    run.store.Save(before);
  }
  EXPECT_EQ(Reload().first, (PacketQueue{odd, std::string(9999, 'x')}));
}

// The queue in memory is the truth: one changed without the store (only tests do
// that) is written whole at the next save.
TEST_F(QueueStoreTest, QueueChangedBehindTheStoreIsWrittenWholeAtTheNextSave) {
  Run run(*this);
  run.outbound.push_back("direct 1");
  run.outbound.push_back("direct 2");
  run.Sent();
  EXPECT_EQ(Reload().second, (PacketQueue{"direct 2"}));
}

TEST_F(QueueStoreTest, FileThatCannotBeOpenedLeavesTheQueuesInMemoryForThisRunAndIsKept) {
  std::filesystem::create_directory(File());  // where the file belongs
  Run run(*this);
  EXPECT_FALSE(run.store.durable());
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_TRUE(Warnings()[0].starts_with(kUnusable + File().string() + " niet bruikbaar")) << Warnings()[0];
  run.Append({"in 1"}, {"out 1"});
  clock_.Advance(10min);
  run.Append({"in 2"});
  run.TakeInbound(1);
  EXPECT_EQ(run.inbound, (PacketQueue{"in 2"}));
  EXPECT_EQ(log_.entries().size(), 1u) << "said once, and not tried again this run";
  EXPECT_TRUE(std::filesystem::is_directory(File()));
}

TEST_F(QueueStoreTest, UnreadableFileIsLeftAsItIsForTheNextStart) {
  { std::ofstream(File()) << "geen database maar tekst, lang genoeg om een kop te zijn ......................"; }
  const std::string bytes = test_support::ReadFileBytes(File());
  Run run(*this);
  EXPECT_FALSE(run.store.durable());
  EXPECT_TRUE(run.inbound.empty());
  EXPECT_EQ(Warnings().size(), 1u);
  run.Append({"in 1"});
  run.store.Close();
  EXPECT_EQ(test_support::ReadFileBytes(File()), bytes);
}

// A disk that fills up while the service runs: the service goes on in memory, the file
// is removed so nothing stale comes back, and once writes work again the queues are on
// disk again, whole.
TEST_F(QueueStoreTest, FailedWriteGoesOnInMemoryAndRecoversWithTheQueuesWhole) {
  test_support::FailingSqliteVfs vfs("dorvek-failing");
  QueueStore::Options options;
  options.vfs = vfs.name();
  options.retry_after = 1min;
  Run run(*this, options);
  run.Append({"in 1", "in 2"}, {"out 1"});

  vfs.FailWrites(true);
  run.Append({"in 3"});
  EXPECT_GT(vfs.refused(), 0);
  EXPECT_FALSE(run.store.durable());
  EXPECT_FALSE(std::filesystem::exists(File())) << "the file would bring back packets handled since";
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_TRUE(Warnings()[0].starts_with(kUnusable + File().string() + " niet bruikbaar")) << Warnings()[0];
  run.TakeInbound(1);
  clock_.Advance(30s);
  run.Append({"in 4"});  // too early to try again
  EXPECT_FALSE(std::filesystem::exists(File()));
  clock_.Advance(30s);
  run.Append({"in 5"});  // tried, and fails again: not said again
  EXPECT_FALSE(run.store.durable());
  EXPECT_EQ(log_.entries().size(), 1u);

  vfs.FailWrites(false);
  clock_.Advance(1min);
  run.Sent();
  EXPECT_TRUE(run.store.durable());
  EXPECT_TRUE(log_.Contains(EntryType::kInformation,
                            kUnusable + File().string() + " weer in gebruik: 4 inkomende en 0 uitgaande pakketten bewaard"));
  run.TakeInbound(1);
  const auto [inbound, outbound] = Reload();
  EXPECT_EQ(inbound, (PacketQueue{"in 3", "in 4", "in 5"}));
  EXPECT_TRUE(outbound.empty());

  // A later failure is a new spell, said again.
  vfs.FailWrites(true);
  run.Append({"in 6"});
  EXPECT_EQ(Warnings().size(), 2u);
  run.store.Close();
}

}  // namespace
}  // namespace dorvek::service
