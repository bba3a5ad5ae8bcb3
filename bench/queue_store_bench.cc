// What keeping the packet queues on disk costs: each iteration queues `batch` packets
// in one transaction (as one socket read's packets are) and takes them again in another
// (as one controller tick's removals are), WAL with synchronous FULL, on a file in the
// system's temporary directory. Real time, since a commit waits for the disk.
//   us_per_packet  the whole round (written once, deleted once) divided by the packets
//   us_per_commit  half a round: one transaction with its flush to disk

#include <benchmark/benchmark.h>

#include <string>

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

void BM_QueueStoreRound(benchmark::State& state) {
  const auto batch = static_cast<int>(state.range(0));
  test_support::TempDir dir;
  test_support::NullEventLog log;
  core::SystemClock clock;
  service::QueueStore store(log, clock, dir.path() / "Wachtrijen.db");
  gateway::PacketQueue inbound, outbound;
  store.Open(inbound, outbound);
  if (!store.durable()) state.SkipWithError("the store could not be opened");
  int i = 0;
  for (auto _ : state) {
    auto before = store.Mark();
    for (int k = 0; k < batch; ++k) inbound.push_back(PositionPacket(i++));
    store.Save(before);
    before = store.Mark();
    inbound.clear();
    store.Save(before);
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.counters["us_per_packet"] =
      benchmark::Counter(static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate |
                                                                             benchmark::Counter::kInvert);
  state.counters["us_per_commit"] = benchmark::Counter(static_cast<double>(state.iterations() * 2),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  store.Close();
}
BENCHMARK(BM_QueueStoreRound)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
