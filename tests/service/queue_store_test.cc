#include "service/queue_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/clock.h"
#include "core/memory_event_log.h"
#include "support/case_name.h"
#include "support/failing_sqlite_vfs.h"
#include "support/service_process.h"
#include "support/test_database.h"

namespace dorvek::service {
namespace {

using namespace std::chrono_literals;
using core::EntryType;
using gateway::PacketQueue;

class QueueStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir_.path() / "Wachtrijen.db"; }

  // A store with its queues, as the service has them from start to stop.
  struct Run {
    explicit Run(QueueStoreTest& test, const QueueStore::Options& options = {})
        : store(test.log_, test.clock_, test.File(), options) {
      opened = store.Open(inbound, outbound);
    }
    // One piece of work: packets appended to each queue, then stored.
    bool Append(std::initializer_list<const char*> in, std::initializer_list<const char*> out = {}) {
      for (const char* p : in) inbound.push_back(p);
      for (const char* p : out) outbound.push_back(p);
      return store.Save();
    }
    bool TakeInbound(std::size_t n) {
      for (std::size_t i = 0; i < n; ++i) inbound.pop_front();
      return store.Save();
    }
    PacketQueue inbound, outbound;
    QueueStore store;
    QueueStore::Opened opened;
  };

  // What a fresh start would load from the file now.
  std::pair<PacketQueue, PacketQueue> Reload() {
    core::MemoryEventLog log;
    QueueStore other(log, clock_, File());
    PacketQueue inbound, outbound;
    other.Open(inbound, outbound);
    return {inbound, outbound};
  }

  std::vector<std::string> Texts(EntryType type) const {
    std::vector<std::string> out;
    for (const auto& e : log_.entries())
      if (e.type == type) out.push_back(e.text);
    return out;
  }

  test_support::TempDir dir_;
  core::MemoryEventLog log_;
  core::ManualClock clock_;
};

TEST_F(QueueStoreTest, WhatIsSavedComesBackInOrderWithItsBookkeepingAlsoWithoutAClose) {
  const std::string odd = std::string("\x01" "0042\x02" "cliënt\x03", 13) + std::string(1, '\0') + "\x04XCRC";
  {
    Run run(*this);
    EXPECT_TRUE(run.store.durable());
    run.Append({"in 1", "in 2"}, {"out 1"});
    run.Append({"in 3"});
    clock_.Advance(90s);
    gateway::QueuedPacket held;
    held.text = "out held";
    held.bbo_id = 77;
    run.outbound.push_back(held);
    run.outbound.push_back(odd);
    run.outbound.push_back(std::string(9999, 'x'));
    run.store.Save();
    run.TakeInbound(2);
    run.outbound.pop_front();
    run.outbound.SetBboId(1, 0);  // the odd one has nothing to settle: a no-op change
    run.store.Save();
    // Still open: every change is on disk at once, as after a crash.
    const auto [inbound, outbound] = Reload();
    EXPECT_EQ(inbound, (PacketQueue{"in 3"}));
    EXPECT_EQ(outbound, (PacketQueue{"out held", odd, std::string(9999, 'x')}));
    EXPECT_EQ(outbound.entry(0).bbo_id, 77);
    EXPECT_EQ(outbound.entry(0).queued_ms - inbound.entry(0).queued_ms, 90000);
    run.outbound.SetBboId(0, 0);  // its row turned out marked
    run.Append({"in 4"});
  }
  Run again(*this);
  EXPECT_EQ(again.opened.inbound, 2u);
  EXPECT_EQ(again.opened.outbound, 3u);
  EXPECT_EQ(again.inbound, (PacketQueue{"in 3", "in 4"}));
  EXPECT_EQ(again.outbound.entry(0).bbo_id, 0);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_EQ(again.store.Close().packets, 0u);
}

// The files an earlier release wrote, made from that release's own statements.
struct EarlierFormat {
  const char* name;
  int format;
  const char* sql;
};

class QueueFileFormats : public QueueStoreTest, public ::testing::WithParamInterface<EarlierFormat> {};

TEST_P(QueueFileFormats, AreMigratedWithEveryPacketInItsQueueAndOrder) {
  test_support::RunSqliteScript(File(), GetParam().sql);
  Run run(*this);
  EXPECT_EQ(run.opened.migrated_from, GetParam().format);
  EXPECT_EQ(run.inbound, (PacketQueue{"in 1", "in 2", "in 3"}));
  EXPECT_EQ(run.outbound, (PacketQueue{"out 1", "out 2"}));
  EXPECT_GT(run.outbound.entry(0).queued_ms, 0) << "the time the file was last written";
  EXPECT_EQ(Texts(EntryType::kInformation),
            std::vector<std::string>{"Taxis Dorvek ZOL wachtrijbestand " + File().string() + " omgezet van formaat " +
                                     std::to_string(GetParam().format) +
                                     " naar 2: 3 inkomende en 2 uitgaande pakketten behouden"});
  run.TakeInbound(1);
  run.store.Close();
  EXPECT_EQ(Reload().first, (PacketQueue{"in 2", "in 3"}));
}

INSTANTIATE_TEST_SUITE_P(
    Earlier, QueueFileFormats,
    ::testing::Values(EarlierFormat{
        "Format1", 1,
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE IF NOT EXISTS pakketten (id INTEGER PRIMARY KEY, wachtrij INTEGER NOT NULL, tekst TEXT NOT "
        "NULL);"
        "INSERT INTO pakketten (wachtrij, tekst) VALUES (1, 'in 1'), (2, 'out 1'), (1, 'in 2');"
        "INSERT INTO pakketten (wachtrij, tekst) VALUES (2, 'out 2'), (1, 'in 3');"}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.name); });

// Files the store does not touch: the start fails, and every byte stays.
struct Untouched {
  const char* name;
  const char* sql;
  bool fail_writes;
  const char* lock;  // what another process holds on the file, if anything
  QueueStore::StartError::Kind kind;
  const char* says;
};

class UntouchedQueueFiles : public QueueStoreTest, public ::testing::WithParamInterface<Untouched> {};

TEST_P(UntouchedQueueFiles, FailTheStartAndStayByteForByte) {
  const Untouched& c = GetParam();
  test_support::RunSqliteScript(File(), c.sql);
  const std::string bytes = test_support::ReadFileBytes(File());
  test_support::FailingSqliteVfs vfs("dorvek-failing-open");
  vfs.FailWrites(c.fail_writes);
  sqlite3* other = nullptr;
  if (c.lock != nullptr) {
    ASSERT_EQ(sqlite3_open(File().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, c.lock, nullptr, nullptr, nullptr), SQLITE_OK);
  }
  QueueStore::Options options;
  options.vfs = vfs.name();
  options.lock_wait = 50ms;
  QueueStore store(log_, clock_, File(), options);
  PacketQueue inbound, outbound;
  try {
    store.Open(inbound, outbound);
    ADD_FAILURE() << "opened";
  } catch (const QueueStore::StartError& e) {
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(File().string()), std::string::npos) << e.what();
  }
  EXPECT_TRUE(inbound.empty());
  if (other != nullptr) {
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
  }
  EXPECT_EQ(test_support::ReadFileBytes(File()), bytes);
  EXPECT_TRUE(log_.entries().empty());
}

constexpr const char* kFormat1 =
    "CREATE TABLE pakketten (id INTEGER PRIMARY KEY, wachtrij INTEGER NOT NULL, tekst TEXT NOT NULL);"
    "INSERT INTO pakketten (wachtrij, tekst) VALUES (1, 'in 1');";

constexpr const char* kFormat1Wal =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE pakketten (id INTEGER PRIMARY KEY, wachtrij INTEGER NOT NULL, tekst TEXT NOT NULL);"
    "INSERT INTO pakketten (wachtrij, tekst) VALUES (1, 'in 1');";

INSTANTIATE_TEST_SUITE_P(
    Cases, UntouchedQueueFiles,
    ::testing::Values(
        Untouched{"Newer", "CREATE TABLE pakketten (x); PRAGMA user_version=3;", false, nullptr,
                  QueueStore::StartError::Kind::kAdministrator, "formaat 3 is nieuwer dan deze versie kent (formaat 2)"},
        Untouched{"MigrationFails", kFormat1, true, nullptr, QueueStore::StartError::Kind::kAdministrator,
                  "omzetten van formaat 1 naar 2 mislukt"},
        Untouched{"LockedByAnotherProcess", kFormat1, false, "BEGIN EXCLUSIVE", QueueStore::StartError::Kind::kLater,
                  "in gebruik door een ander proces"},
        Untouched{"WriteLockedInWalMode", kFormat1Wal, false, "BEGIN IMMEDIATE",
                  QueueStore::StartError::Kind::kLater, "in gebruik door een ander proces"}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.name); });

// What is not a queue file at all goes aside, named with the time, and a new file holds
// the queues from then on.
struct NotAQueueFile {
  const char* name;
  std::string bytes;  // the file as it is found
  const char* sql;    // or made from this
};

class NotQueueFiles : public QueueStoreTest, public ::testing::WithParamInterface<NotAQueueFile> {};

TEST_P(NotQueueFiles, AreMovedAsideWithTheTimeInTheirNameAndANewOneIsMade) {
  if (GetParam().sql != nullptr)
    test_support::RunSqliteScript(File(), GetParam().sql);
  else
    std::ofstream(File(), std::ios::binary) << GetParam().bytes;
  const std::string bytes = test_support::ReadFileBytes(File());
  {
    Run run(*this);
    const std::filesystem::path aside = File().string() + "." + clock_.LocalNow().ToCompact();
    EXPECT_EQ(run.opened.moved_aside, aside);
    EXPECT_EQ(test_support::ReadFileBytes(aside), bytes);
    const auto errors = Texts(EntryType::kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(File().string()), std::string::npos);
    EXPECT_NE(errors[0].find(aside.string()), std::string::npos);
    EXPECT_TRUE(run.Append({"in 1"}));
  }
  EXPECT_EQ(Reload().first, (PacketQueue{"in 1"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotQueueFiles,
    ::testing::Values(NotAQueueFile{"Junk", std::string(4096, '\x5a'), nullptr},
                      NotAQueueFile{"OtherDatabase", "", "CREATE TABLE klanten (naam TEXT); INSERT INTO klanten VALUES ('x');"}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.name); });

// A disk that fills up while the service runs: nothing is lost and nothing destroyed;
// once writes work again, what changed meanwhile is written.
TEST_F(QueueStoreTest, FailedWriteKeepsTheFileAndWritesWhatChangedOnceItWorksAgain) {
  test_support::FailingSqliteVfs vfs("dorvek-failing");
  QueueStore::Options options;
  options.vfs = vfs.name();
  Run run(*this, options);
  run.Append({"in 1", "in 2"}, {"out 1"});

  vfs.FailWrites(true);
  EXPECT_FALSE(run.Append({"in 3"}));
  EXPECT_FALSE(run.store.healthy());
  EXPECT_FALSE(run.TakeInbound(1));
  run.outbound.pop_front();
  EXPECT_FALSE(run.Append({}, {"out 2"}));
  EXPECT_EQ(Texts(EntryType::kWarning).size(), 1u) << "once per spell";
  EXPECT_TRUE(std::filesystem::exists(File()));
  {
    const auto [inbound, outbound] = Reload();
    EXPECT_EQ(inbound, (PacketQueue{"in 1", "in 2"})) << "the file keeps what it held";
    EXPECT_EQ(outbound, (PacketQueue{"out 1"}));
  }
  vfs.FailWrites(false);
  EXPECT_TRUE(run.store.Save());
  EXPECT_TRUE(run.store.healthy());
  EXPECT_EQ(Texts(EntryType::kInformation).size(), 1u);
  const auto [inbound, outbound] = Reload();
  EXPECT_EQ(inbound, (PacketQueue{"in 2", "in 3"}));
  EXPECT_EQ(outbound, (PacketQueue{"out 2"}));

  // Stopped while behind: the stop says what could not be kept.
  vfs.FailWrites(true);
  run.Append({"in 4", "in 5"});
  run.TakeInbound(1);
  const QueueStore::Unkept unkept = run.store.Close();
  EXPECT_EQ(unkept.packets, 2u);
  EXPECT_EQ(unkept.removals, 1u);
}

TEST_F(QueueStoreTest, RowsSetAsideAreKeptAcrossARestart) {
  {
    Run run(*this);
    outbound::AsideRow row;
    row.bbo_id = 12;
    row.wag_id = 3;
    row.pla_id = 101;
    row.reason = 2;
    row.warned = 2;
    row.until_ms = 1796823024041;
    row.dropped = true;
    EXPECT_TRUE(run.store.SaveAside({row}));
  }
  Run again(*this);
  ASSERT_EQ(again.store.aside_rows().size(), 1u);
  const outbound::AsideRow& row = again.store.aside_rows()[0];
  EXPECT_EQ(row.bbo_id, 12);
  EXPECT_EQ(row.pla_id, 101);
  EXPECT_EQ(row.until_ms, 1796823024041);
  EXPECT_TRUE(row.dropped);
}

TEST_F(QueueStoreTest, ADrainedFileGivesItsSpaceBack) {
  Run run(*this);
  for (int i = 0; i < 2000; ++i) run.inbound.push_back(std::string(2000, 'p'));
  run.store.Save();
  const auto full = std::filesystem::file_size(File());
  run.TakeInbound(2000);
  EXPECT_LT(std::filesystem::file_size(File()), full / 10);
}

}  // namespace
}  // namespace dorvek::service
