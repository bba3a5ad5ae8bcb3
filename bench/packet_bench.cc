// Throughput of the packet reader, the writer and the stream framer, beside a plain
// memchr scan over the same bytes as the floor of what any framing can cost.

#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "gateway/control_chars.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"
#include "gateway/stream_framer.h"

namespace dorvek::gateway {
namespace {

std::vector<std::string> PositionReport() {
  return {"045", "KEY", "NEW", "2024-05-01 12:30:05", "mux356938035643809", "001", "4",
          "001", "000", "042", "52.370216", "043", "4.895168", "009", "17"};
}

std::vector<std::string> KeepAlive() {
  return {"046", "NOOP", "NEW", "2024-05-01 12:30:06", "mux356938035643809", "000", "0"};
}

// A ride offer: 37 numbered fields of the kind the dispatch side sends.
std::vector<std::string> RideOffer() {
  std::vector<std::string> fields = {"981", "FORM", "NEW", "120", "mux356938035643809", "0", "37"};
  const char* values[] = {"1234981", "Dorpsstraat 12", "Amsterdam", "Centraal Station",
                          "Utrecht", "2024-05-01 13:00", "Hénri de Vries", "0612345678"};
  for (int key = 1; key <= 37; ++key) {
    fields.push_back(std::to_string(key));
    fields.push_back(values[key % 8]);
  }
  return fields;
}

// Eight position reports, a keep-alive and a ride offer, repeated: about 64 KiB.
std::string RealisticStream() {
  const std::string position = BuildPacket(PositionReport());
  const std::string keep_alive = BuildPacket(KeepAlive());
  const std::string offer = BuildPacket(RideOffer());
  std::string stream;
  while (stream.size() < 64 * 1024) {
    for (int i = 0; i < 8; ++i) stream += position;
    stream += keep_alive;
    stream += offer;
  }
  return stream;
}

std::size_t CountSoh(const std::string& stream) {
  std::size_t n = 0;
  const char* p = stream.data();
  const char* end = p + stream.size();
  while ((p = static_cast<const char*>(std::memchr(p, kSoh, end - p))) != nullptr) {
    ++n;
    ++p;
  }
  return n;
}

void BM_ReadPositionReport(benchmark::State& state) {
  const std::string packet = BuildPacket(PositionReport());
  for (auto _ : state) benchmark::DoNotOptimize(ReadPacket(packet));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * packet.size());
}
BENCHMARK(BM_ReadPositionReport);

void BM_ReadRideOffer(benchmark::State& state) {
  const std::string packet = BuildPacket(RideOffer());
  for (auto _ : state) benchmark::DoNotOptimize(ReadPacket(packet));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * packet.size());
}
BENCHMARK(BM_ReadRideOffer);

void BM_BuildRideOffer(benchmark::State& state) {
  const std::vector<std::string> fields = RideOffer();
  const std::size_t size = BuildPacket(fields).size();
  for (auto _ : state) benchmark::DoNotOptimize(BuildPacket(fields));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_BuildRideOffer);

// The stream is fed in reads of range(0) bytes, as the socket might deliver it.
void BM_FrameStream(benchmark::State& state) {
  const std::string stream = RealisticStream();
  const std::size_t packets_per_pass = CountSoh(stream);
  const auto read_size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    StreamFramer framer;
    std::size_t packets = 0;
    for (std::size_t at = 0; at < stream.size(); at += read_size)
      packets += framer.Feed(std::string_view(stream).substr(at, read_size)).size();
    if (packets != packets_per_pass) state.SkipWithError("framer lost packets");
    benchmark::DoNotOptimize(packets);
  }
  state.SetItemsProcessed(state.iterations() * packets_per_pass);
  state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_FrameStream)->Arg(64)->Arg(1460)->Arg(64 * 1024);

// The physical floor: finding every SOH of the same stream with memchr.
void BM_MemchrSohBaseline(benchmark::State& state) {
  const std::string stream = RealisticStream();
  const std::size_t packets_per_pass = CountSoh(stream);
  for (auto _ : state) benchmark::DoNotOptimize(CountSoh(stream));
  state.SetItemsProcessed(state.iterations() * packets_per_pass);
  state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_MemchrSohBaseline);

// Framing and reading every packet: the whole receive-side cost per packet.
void BM_FrameAndReadStream(benchmark::State& state) {
  const std::string stream = RealisticStream();
  const std::size_t packets_per_pass = CountSoh(stream);
  for (auto _ : state) {
    StreamFramer framer;
    std::size_t fields = 0;
    for (std::size_t at = 0; at < stream.size(); at += 1460) {
      for (const auto& packet : framer.Feed(std::string_view(stream).substr(at, 1460)))
        fields += ReadPacket(packet).size();
    }
    benchmark::DoNotOptimize(fields);
  }
  state.SetItemsProcessed(state.iterations() * packets_per_pass);
  state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_FrameAndReadStream);

}  // namespace
}  // namespace dorvek::gateway

BENCHMARK_MAIN();
