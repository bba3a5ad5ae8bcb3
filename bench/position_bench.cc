// Handling time of position packets against a SQLite file database, back to back rather
// than at the controller's pace of one a second: median and 99th percentile per packet.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "core/clock.h"
#include "core/memory_event_log.h"
#include "gateway/packet_writer.h"
#include "inbound/packet_controller.h"
#include "support/dispatch_fixture.h"
#include "support/fake_udp_sender.h"
#include "support/null_event_log.h"

namespace {

using namespace dorvek;
using test_support::NullEventLog;

std::string PositionPacket(int i) {
  const std::string seconds = std::to_string(10 + i % 40) + ".34";
  return gateway::BuildPacket({"045", "KEY", "NEW", "2026-12-08 09:15:00", i % 2 ? "4711" : "4712", "099", "2",
                               "042", "+52 21 " + seconds, "043", "+004 53 47.12"});
}

void BM_PositionPacket(benchmark::State& state) {
  test_support::DispatchFixture fixture;
  test_support::NullEventLog log;
  core::SystemClock clock;
  test_support::FakeUdpSender udp;
  inbound::CurrentVehicle vehicle;
  inbound::PacketController controller({log, clock, fixture.db(), udp, vehicle});
  controller.Configure({"mux", ".", "Wexlor", "PC01"});
  gateway::PacketQueue inbound, outbound;
  std::vector<double> micros;
  int i = 0;
  for (auto _ : state) {
    inbound.push_back(PositionPacket(i++));
    const auto start = std::chrono::steady_clock::now();
    controller.HandleNext(inbound, &outbound);
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  state.counters["packets"] = static_cast<double>(micros.size());
  state.SetItemsProcessed(static_cast<int64_t>(micros.size()));
}
BENCHMARK(BM_PositionPacket)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
