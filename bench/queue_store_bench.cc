// What keeping the packet queues on disk costs, on a file in the system's temporary
// directory, WAL: additions in one transaction per batch with synchronous FULL, and
// removals one packet a transaction with synchronous NORMAL, as the service makes them.
// Real time, since a commit waits for the disk.
//   us_per_packet  the time per packet added, or per packet removed

#include <benchmark/benchmark.h>

#include <string>
#include <tuple>

#include "core/clock.h"
#include "gateway/packet_writer.h"
#include "service/queue_store.h"
#include "support/service_process.h"
#include "support/null_event_log.h"

namespace {

using namespace dorvek;

// A position report as a terminal sends it, about 90 characters.
std::string PositionPacket(int i) {
  return gateway::BuildPacket({"045", "KEY", "NEW", "2026-12-08 09:15:00", "4711", "099", "2", "042",
                               "+52 21 " + std::to_string(10 + i % 40) + ".34", "043", "+004 53 47.12"});
}

// A store on a fresh file in the system's temporary directory, with its queues.
struct StoreOnDisk {
  StoreOnDisk() : store(log, clock, dir.path() / "Wachtrijen.db") { store.Open(inbound, outbound); }
  ~StoreOnDisk() { store.Close(); }
  test_support::TempDir dir;
  test_support::NullEventLog log;
  core::SystemClock clock;
  service::QueueStore store;
  gateway::PacketQueue inbound, outbound;
};

// Adding: `batch` packets queued and saved in one transaction, flushed to disk (FULL),
// as one socket read's packets are.
void BM_QueueStoreAdd(benchmark::State& state) {
  const auto batch = static_cast<int>(state.range(0));
  StoreOnDisk disk;
  service::QueueStore& store = disk.store;
  gateway::PacketQueue& inbound = disk.inbound;
  int i = 0;
  for (auto _ : state) {
    for (int k = 0; k < batch; ++k) inbound.push_back(PositionPacket(i++));
    store.Save();
    state.PauseTiming();
    inbound.clear();
    store.Save();
    state.ResumeTiming();
  }
  state.counters["us_per_packet"] = benchmark::Counter(static_cast<double>(state.iterations() * batch),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_QueueStoreAdd)->Arg(1)->Arg(10)->Arg(100)->UseRealTime()->MinTime(2.0);

// Removing: one packet taken and its removal saved on its own (NORMAL: it survives a
// crash of the process), as the controller does after each packet.
void BM_QueueStoreRemoveOne(benchmark::State& state) {
  StoreOnDisk disk;
  service::QueueStore& store = disk.store;
  gateway::PacketQueue& inbound = disk.inbound;
  int i = 0;
  for (auto _ : state) {
    if (inbound.empty()) {
      state.PauseTiming();
      for (int k = 0; k < 1000; ++k) inbound.push_back(PositionPacket(i++));
      store.Save();
      state.ResumeTiming();
    }
    inbound.pop_front();
    store.Save();
  }
  state.counters["us_per_packet"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_QueueStoreRemoveOne)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
