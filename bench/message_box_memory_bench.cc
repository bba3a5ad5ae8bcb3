// Memory of one message-box firing with long texts: a ride whose pla_tekst and message
// rows whose bbo_pakket hold 100,000 characters each, behind one another in the box,
// natively and through ODBC on a SQLite file. Beside it the plain `select *` of every
// waiting row with its vehicle, which a firing that read all rows would cost.
//
// Each figure comes from a child process of its own: it opens its connection and runs
// one query to load the driver, hands freed memory back to the system, resets its peak
// resident size, then does the work once. Reported: the growth of the peak resident
// size (everything, the ODBC driver's buffers included) and the peak of the C++ heap
// above where it started (operator new, counted in this binary).

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "core/clock.h"
#include "core/event_log.h"
#include "db/queries.h"
#include "outbound/message_box.h"
#include "support/fake_gateway_link.h"
#include "support/test_database.h"
#include "support/dispatch_fixture.h"
#include "support/null_event_log.h"

namespace {

std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

void Count(long long bytes) {
  const long long live = g_live.fetch_add(bytes) + bytes;
  long long peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
}

}  // namespace

// Every allocation carries its size in front, so a delete knows what it gives back.
void* operator new(std::size_t size) {
  auto* block = static_cast<std::size_t*>(std::malloc(size + sizeof(std::max_align_t)));
  if (block == nullptr) throw std::bad_alloc();
  *block = size;
  Count(static_cast<long long>(size));
  return reinterpret_cast<char*>(block) + sizeof(std::max_align_t);
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = reinterpret_cast<std::size_t*>(static_cast<char*>(p) - sizeof(std::max_align_t));
  Count(-static_cast<long long>(*block));
  std::free(block);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using namespace dorvek;
using test_support::DbPath;
using test_support::NullEventLog;

constexpr std::size_t kLongChars = 100000;

long ProcStatusKb(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// 100,000 characters of Dutch text with accents.
std::string LongText() {
  std::string text;
  std::size_t chars = 0;
  while (chars < kLongChars) {
    text += "Cliënt wacht bij de ingang; één koffer. ";
    chars += 40;
  }
  return text;
}

enum class Work { kFiringOffer, kFiringText, kSelectAllWaiting };

// The box: first the row the firing handles, then `backlog` text messages of 100,000
// characters each.
void FillBox(const test_support::TestDatabase& file, Work work, int backlog) {
  const std::string text = LongText();
  file.Run("update planning set pla_tekst='" + text + "' where pla_id=101;");
  std::string script = "insert into berichtenbox (bbo_soort, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_pla_id,"
                       " bbo_actie, bbo_pakket) values ";
  script += work == Work::kFiringOffer ? "(6, 1, '2026-12-08 09:00:00', 0, 101, 1, null)"
                                       : "(6, 1, '2026-12-08 09:00:00', 0, 0, 99, '" + text + "')";
  for (int i = 0; i < backlog; ++i) script += ", (6, 2, '2026-12-08 10:00:00', 0, 0, 99, '" + text + "')";
  file.Run(script + ";");
}

struct Figures {
  long rss_growth_kb = -1;
  long long heap_peak_bytes = -1;
  long long queued_chars = 0;
};

Figures MeasureInChild(DbPath path, Work work, int backlog) {
  test_support::DispatchFixture dispatch(path);  // the file, made in the parent
  FillBox(dispatch.file(), work, backlog);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    Figures figures;
    {
      test_support::NullEventLog log;
      auto db = dispatch.file().Open(path, log);
      db->Query("select count(*) as n from wagens");  // driver loaded, connection made
      core::ManualClock clock;
      test_support::FakeGatewayLink link;
      link.SetRemote("127.0.0.1", "1");
      link.Connect();
      link.CompleteAttempt();
      outbound::MessageBox box({log, clock, *db, link});
      gateway::PacketQueue queue;

      malloc_trim(0);
      std::ofstream("/proc/self/clear_refs") << "5";
      const long rss_before = ProcStatusKb("VmRSS");
      const long long heap_before = g_live.load();
      g_peak.store(heap_before);
      if (work == Work::kSelectAllWaiting) {
        benchmark::DoNotOptimize(db->Query(db::queries::ADOUitgaand));
      } else {
        box.HandleNext(&queue);
      }
      figures.rss_growth_kb = ProcStatusKb("VmHWM") - rss_before;
      figures.heap_peak_bytes = g_peak.load() - heap_before;
      for (const auto& packet : queue) figures.queued_chars += static_cast<long long>(packet.size());
    }
    (void)!write(pipe_fds[1], &figures, sizeof figures);
    _exit(0);
  }
  close(pipe_fds[1]);
  Figures figures;
  if (read(pipe_fds[0], &figures, sizeof figures) != static_cast<ssize_t>(sizeof figures)) figures = {};
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return figures;
}

void BM_FiringMemory(benchmark::State& state) {
  const DbPath path = state.range(0) == 0 ? DbPath::kNative : DbPath::kOdbc;
  const auto work = static_cast<Work>(state.range(1));
  const int backlog = static_cast<int>(state.range(2));
  Figures figures;
  for (auto _ : state) figures = MeasureInChild(path, work, backlog);
  state.counters["rss_growth_KiB"] = static_cast<double>(figures.rss_growth_kb);
  state.counters["heap_peak_KiB"] = static_cast<double>(figures.heap_peak_bytes) / 1024.0;
  state.counters["queued_bytes"] = static_cast<double>(figures.queued_chars);
  static const char* const kWork[] = {"firing: ride offer", "firing: text message", "select * of all waiting"};
  state.SetLabel(test_support::DbPathName(path) + ", " + kWork[state.range(1)] + ", " + std::to_string(backlog) +
                 " long rows behind");
}

void Scenarios(benchmark::internal::Benchmark* b) {
  for (int path : {0, 1})
    for (int work : {0, 1, 2})
      for (int backlog : {1, 100}) b->Args({path, work, backlog});
}
BENCHMARK(BM_FiringMemory)->Apply(Scenarios)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
