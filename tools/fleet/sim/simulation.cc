#include "fleet/sim/simulation.h"

#include <sqlite3.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include <fmt/format.h>

#include "core/clock.h"
#include "core/codepage.h"
#include "db/soci_database.h"
#include "fleet/fleet_model.h"
#include "fleet/fleet_setup.h"
#include "fleet/random.h"
#include "fleet/sim/fault_database.h"
#include "fleet/sim/sim_desk.h"
#include "fleet/sim/simulated_gateway.h"
#include "fleet/sim/virtual_loop.h"
#include "service/dorvek_service.h"
#include "service/settings.h"
#include "support/failing_sqlite_vfs.h"
#include "support/fake_udp_sender.h"
#include "support/service_config.h"

namespace dorvek::fleet {
namespace {

namespace fs = std::filesystem;

// As the real fleet runs set them.
constexpr int kPacketsPerTick = 500;
constexpr int kPacketsPerSend = 10;
// What the service can send (one message-box row and kPacketsPerSend packets every 5 s);
// the fleet asks for half of it, so faults leave room to catch up.
constexpr double kRowsPerHour = 0.5 * 720.0;
constexpr double kPacketsPerHour = 0.5 * 720.0 * kPacketsPerSend;
// After the day, how long the service may take to finish what it was given.
constexpr SimMs kDrainLimit = 30 * kMinute;
constexpr SimMs kLookEvery = 5 * kSecond;
constexpr SimMs kPositionEvery = 30 * kSecond;

enum class FaultKind {
  kCrashAtStatement,
  kCrashAtQueueWrite,
  kConnectionLost,
  kTimeout,
  kLock,
  kAnswerLost,
  kGatewayClosed,
  kJunk,
  kPause,
  kStopStart,
};

struct Weighted {
  FaultKind kind;
  int weight;
};
// Crashes most, as they have the most moments to find.
constexpr Weighted kFaultMix[] = {
    {FaultKind::kCrashAtStatement, 24}, {FaultKind::kCrashAtQueueWrite, 14}, {FaultKind::kConnectionLost, 10},
    {FaultKind::kTimeout, 8},           {FaultKind::kLock, 8},               {FaultKind::kAnswerLost, 8},
    {FaultKind::kGatewayClosed, 8},     {FaultKind::kJunk, 5},               {FaultKind::kPause, 5},
    {FaultKind::kStopStart, 10}};

FaultKind DrawFault(Rng& rng) {
  int total = 0;
  for (const Weighted& w : kFaultMix) total += w.weight;
  long long pick = rng.Between(1, total);
  for (const Weighted& w : kFaultMix) {
    if (pick <= w.weight) return w.kind;
    pick -= w.weight;
  }
  return FaultKind::kCrashAtStatement;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The service's entries: kept only when tracing, with the simulated time.
class TraceLog : public core::EventLog {
 public:
  TraceLog(const Scheduler& scheduler, bool trace) : scheduler_(scheduler), trace_(trace) {}
  void Write(const core::LogEntry& entry) override {
    if (!trace_) return;
    const char* type = entry.type == core::EntryType::kError     ? "error"
                       : entry.type == core::EntryType::kWarning ? "warning"
                                                                 : "info";
    std::fprintf(stderr, "%10.3f s  %-7s %s\n", static_cast<double>(scheduler_.Now()) / 1000.0, type,
                 entry.text.c_str());
  }

 private:
  const Scheduler& scheduler_;
  bool trace_;
};

class Simulation {
 public:
  Simulation(const SimulationOptions& options, fs::path dir)
      : o_(options),
        dir_(std::move(dir)),
        base_(dir_ / "base"),
        loop_(clock_),
        log_(loop_, options.trace),
        rng_(options.seed, 0x5117F),
        vfs_(fmt::format("fleet-sim-{}", options.seed)),
        gateway_(loop_, options.seed, [this](const std::string& text) {
          if (model_) model_->FromService(text);
        }),
        duration_(static_cast<SimMs>(options.hours * kHour)) {}

  SimulationResult Run();

 private:
  // One service process: its object, its connection, its link, its life.
  struct Process {
    Process(Simulation& sim, Lifeline& life)
        : life(life),
          real(db::ConnectionSettings{}, sim.log_, sim.clock_),
          db(real, life, sim.clock_, [&sim](Strike strike, std::string_view sql) { sim.Landed(strike, sql); }),
          link(sim.gateway_.NewLink(life)) {
      service::QueueStore::Options store;
      store.vfs = sim.vfs_.name();
      service = std::make_unique<service::DorvekService>(service::ServiceParts{
          sim.log_, sim.clock_, db, udp, link, sim.base_, "SIM", "dorvekzol",
          [this, &sim](const service::Settings& s) { real.Configure(service::DatabaseSettings(s, sim.base_)); },
          nullptr, store});
      link.set_events(service.get());
    }
    ~Process() { link.set_events(nullptr); }
    Lifeline& life;
    test_support::FakeUdpSender udp;
    db::SociDatabase real;
    FaultDatabase db;
    SimulatedLink& link;
    std::unique_ptr<service::DorvekService> service;
  };

  void MakeDatabase();
  void StartProcess();
  void StopProcess();
  void Killed();
  void AfterStep();
  service::TimerList* timers() { return proc_ ? &proc_->service->JvTimerList1() : nullptr; }
  bool Settled() const;
  void Fault();
  void Landed(Strike strike, std::string_view sql);
  void Note(const std::string& kind, double seconds, const std::string& detail);
  bool Drained();
  long long Count(const std::string& sql);

  const SimulationOptions& o_;
  const fs::path dir_;
  const fs::path base_;
  core::ManualClock clock_;
  VirtualLoop loop_;
  TraceLog log_;
  Rng rng_;
  test_support::FailingSqliteVfs vfs_;
  SimulatedGateway gateway_;
  const SimMs duration_;
  Record record_;
  db::ConnectionSettings sql_;
  std::string pg_database_;
  std::unique_ptr<db::SociDatabase> desk_db_;
  std::unique_ptr<SimDesk> desk_;
  std::unique_ptr<FleetModel> model_;
  std::deque<Lifeline> lives_;  // every process's, for the whole run: its link keeps it
  std::unique_ptr<Process> proc_;
  bool restart_pending_ = false;
  bool paused_ = false;
  SimMs fault_over_at_ = 0;
  std::string crash_where_;
  long long starts_ = 0;
  std::string failure_;
  std::vector<long long> last_counts_;
  SimMs last_change_ = 0;
};

void Simulation::MakeDatabase() {
  const std::string data = FleetDataScript(record_.setup);
  test_support::ServiceConfig config;
  config.port = 4001;
  config.packets_per_tick = kPacketsPerTick;
  config.packets_per_send = kPacketsPerSend;
  if (o_.postgres == nullptr) {
    const fs::path file = base_ / "dispatch.db";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    const std::string script = ReadFile(fs::path(DORVEK_SOURCE_DIR) / "src/db/schema/sqlite.sql") + data;
    char* error = nullptr;
    const int rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &error);
    const std::string text = error ? error : "";
    sqlite3_free(error);
    if (rc == SQLITE_OK) sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot make the dispatch database: " + text);
    sql_.driver = "sqlite";
    sql_.database = file.string();
  } else {
    static int made = 0;
    pg_database_ = fmt::format("sim_{}_{}_{}", ::getpid(), o_.seed, ++made);
    test_support::CreatePostgresDatabase(*o_.postgres, pg_database_);
    test_support::RunPostgresData(*o_.postgres, pg_database_, data);
    sql_.driver = std::string(test_support::kPostgresOdbcDriver);
    sql_.server = "127.0.0.1," + std::to_string(o_.postgres->port);
    sql_.user = std::string(test_support::kPostgresUser);
    sql_.password = std::string(test_support::kPostgresPassword);
    sql_.database = pg_database_;
    config.sql_driver = sql_.driver;
    config.sql_server = sql_.server;
    config.sql_user = sql_.user;
    config.sql_password = sql_.password;
    config.sql_database = sql_.database;
  }
  test_support::WriteServiceConfig(base_, config);
}

void Simulation::StartProcess() {
  restart_pending_ = false;
  vfs_.Revive();
  lives_.emplace_back();
  proc_ = std::make_unique<Process>(*this, lives_.back());
  ++starts_;
  try {
    proc_->service->ServiceStart();
  } catch (const std::exception& e) {
    if (!proc_->life.dead && failure_.empty())
      failure_ = fmt::format("the service did not start at {:.3f} s: {}", loop_.Now() / 1000.0, e.what());
  }
}

void Simulation::StopProcess() {
  if (!proc_) return;
  gateway_.EndingBecause("stopped");
  try {
    proc_->service->ServiceStop();
  } catch (const std::exception& e) {
    if (failure_.empty()) failure_ = fmt::format("the stop failed at {:.3f} s: {}", loop_.Now() / 1000.0, e.what());
  }
  proc_->life.dead = true;  // the process has ended
  proc_.reset();
  paused_ = false;
}

// The process died: nothing of it reaches the database, the queue file or the gateway
// any more; its object goes without its stop, and a new one starts a moment later.
void Simulation::Killed() {
  proc_->life.dead = true;
  vfs_.CrashAt(1);  // whatever the object still writes on its way out never happens
  proc_->link.Kill();
  proc_.reset();
  paused_ = false;
  const SimMs after = rng_.Between(300, 3000);
  Note("service killed", static_cast<double>(after) / 1000.0, crash_where_);
  crash_where_.clear();
  restart_pending_ = true;
  loop_.At(loop_.Now() + after, [this] { StartProcess(); });
}

void Simulation::AfterStep() {
  if (proc_ && proc_->life.dead) Killed();
}

void Simulation::Note(const std::string& kind, double seconds, const std::string& detail) {
  FaultEvent event;
  event.kind = kind;
  event.at = loop_.Now();
  event.real_s = static_cast<double>(loop_.Now()) / 1000.0;
  event.seconds = seconds;
  event.detail = detail;
  if (o_.trace) std::fprintf(stderr, "%10.3f s  FAULT   %s (%.1f s) %s\n", event.real_s, kind.c_str(), seconds, detail.c_str());
  record_.faults.push_back(std::move(event));
}

void Simulation::Landed(Strike strike, std::string_view sql) {
  const std::string statement(sql.substr(0, 70));
  // The process dies with its database connection: its queue file sees no more writes.
  if (strike == Strike::kCrashBefore || strike == Strike::kCrashAfter) vfs_.CrashAt(1);
  switch (strike) {
    case Strike::kCrashBefore: crash_where_ = "before " + statement; return;
    case Strike::kCrashAfter: crash_where_ = "after " + statement; return;
    case Strike::kConnectionLost: Note("database connection lost", 0, statement); return;
    case Strike::kTimeout: Note("statement time-out", 0, statement); return;
    case Strike::kBusy: Note("write lock", 0, statement); return;
    case Strike::kAnswerLost: Note("commit answer lost", 0, statement); return;
  }
}

bool Simulation::Settled() const {
  return proc_ && !restart_pending_ && !paused_ && loop_.Now() >= fault_over_at_ && gateway_.connected() &&
         proc_->db.quiet() && !vfs_.crash_armed();
}

void Simulation::Fault() {
  if (loop_.Now() >= duration_) return;
  const SimMs gap = static_cast<SimMs>(rng_.Real(0.5, 1.5) * kHour / std::max(o_.faults_per_hour, 0.01));
  // A strike that found nothing to strike in its time is called off.
  if (proc_ && loop_.Now() >= fault_over_at_) {
    proc_->db.Calm();
    if (vfs_.crash_armed()) vfs_.CrashAt(0);
  }
  if (!Settled()) {
    loop_.At(loop_.Now() + 30 * kSecond, [this] { Fault(); });
    return;
  }
  loop_.At(loop_.Now() + gap, [this] { Fault(); });
  fault_over_at_ = loop_.Now() + 2 * kMinute;
  switch (DrawFault(rng_)) {
    case FaultKind::kCrashAtStatement:
      proc_->db.Arm(rng_.Chance(0.5) ? Strike::kCrashBefore : Strike::kCrashAfter, rng_.Between(1, 300));
      break;
    case FaultKind::kCrashAtQueueWrite:
      vfs_.CrashAt(rng_.Between(1, 40), [this] {
        if (proc_) proc_->life.dead = true;
        crash_where_ = "at a write of the queue file";
      });
      break;
    case FaultKind::kConnectionLost:
      proc_->db.Arm(Strike::kConnectionLost, rng_.Between(1, 100), std::chrono::milliseconds(rng_.Between(0, 20000)));
      break;
    case FaultKind::kTimeout:
      proc_->db.Arm(Strike::kTimeout, rng_.Between(1, 100));
      break;
    case FaultKind::kLock:
      proc_->db.Arm(Strike::kBusy, rng_.Between(1, 100), std::chrono::milliseconds(rng_.Between(1000, 8000)));
      break;
    case FaultKind::kAnswerLost:
      proc_->db.Arm(Strike::kAnswerLost, rng_.Between(1, 100));
      break;
    case FaultKind::kGatewayClosed:
      Note("gateway closed", 0, "");
      gateway_.Close();
      break;
    case FaultKind::kJunk: {
      std::string bytes(static_cast<std::size_t>(rng_.Between(100, 4000)), '\0');
      for (char& c : bytes) c = static_cast<char>(rng_.Next() & 0xFF);
      Note("junk burst", 0, fmt::format("{} bytes", bytes.size()));
      model_->Junk(core::Cp1252ToUtf8(bytes));
      break;
    }
    case FaultKind::kPause: {
      const SimMs length = rng_.Between(1000, 10000);
      Note("service paused", static_cast<double>(length) / 1000.0, "");
      proc_->service->ServicePause();
      paused_ = true;
      Process* paused = proc_.get();
      loop_.At(loop_.Now() + length, [this, paused] {
        if (proc_.get() != paused || !paused_) return;
        paused_ = false;
        proc_->service->ServiceContinue();
      });
      break;
    }
    case FaultKind::kStopStart: {
      const SimMs after = rng_.Between(300, 3000);
      Note("service stopped", static_cast<double>(after) / 1000.0, "");
      StopProcess();
      restart_pending_ = true;
      loop_.At(loop_.Now() + after, [this] { StartProcess(); });
      break;
    }
  }
}

long long Simulation::Count(const std::string& sql) {
  try {
    const auto rows = desk_db_->Query(sql);
    return rows.empty() ? -1 : rows.front().Int("n");
  } catch (const std::exception&) {
    return -1;
  }
}

bool Simulation::Drained() {
  if (!proc_ || restart_pending_ || paused_ || !desk_->Idle() || gateway_.pending() > 0 || !gateway_.connected())
    return false;
  // Nothing waits in the service: its queues are empty and the gateway has every write.
  if (proc_->service->inbound_size().value_or(1) > 0 || proc_->service->outbound_size().value_or(1) > 0 ||
      proc_->link.unacknowledged() > 0)
    return false;
  // And the message box has done what it will: nothing has changed for a minute (rows
  // it cannot handle, or set aside for good, stay unprocessed).
  const std::vector<long long> counts = {
      Count("select count(*) as n from (select distinct GPS_Imei, GPS_Datum_UTC from gps) d"),
      Count("select count(*) as n from berichtenbox where bbo_verwerkt = 0"), gateway_.received()};
  if (counts != last_counts_) {
    last_counts_ = counts;
    last_change_ = loop_.Now();
    return false;
  }
  return loop_.Now() - last_change_ >= kMinute;
}

SimulationResult Simulation::Run() {
  SimulationResult result;
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
  fs::create_directories(base_);

  FleetShape shape;
  shape.taxis = o_.taxis;
  shape.seed = o_.seed;
  shape.start = *core::DateTime::FromParts(2026, 12, 8, 6, 0, 0);
  shape.on_duty_at_start = 0.6;
  record_.setup = MakeFleet(shape);
  MakeDatabase();
  desk_db_ = std::make_unique<db::SociDatabase>(sql_, log_);
  desk_ = std::make_unique<SimDesk>(loop_, *desk_db_);

  FleetOptions options;
  options.seed = o_.seed;
  options.duration = duration_;
  options.rows_per_hour = kRowsPerHour;
  options.packets_per_hour = kPacketsPerHour;
  // Positions less often than a real fleet sends them: they are most of the packets and
  // the least of the moments, and the simulation is for the moments.
  options.position_interval = kPositionEvery;
  record_.info = {clock_.LocalNow(), o_.seed, o_.taxis, duration_, 1.0,
                  o_.postgres ? "postgres" : "sqlite", o_.faults_per_hour > 0, kPacketsPerTick, kPacketsPerSend};
  model_ = std::make_unique<FleetModel>(record_, options, loop_, gateway_, *desk_);

  StartProcess();
  model_->Start();
  if (o_.faults_per_hour > 0) loop_.At(5 * kMinute, [this] { Fault(); });

  // The day, then the service finishes what it was given.
  SimMs last = -1;
  long long same = 0;
  SimMs look = duration_;
  for (;;) {
    if (!failure_.empty()) break;
    if (!loop_.Step(look, timers())) {
      if (look >= duration_ && Drained()) {
        result.drained = true;
        break;
      }
      if (loop_.Now() >= duration_ + kDrainLimit) break;
      look = loop_.Now() + kLookEvery;
      continue;
    }
    AfterStep();
    same = loop_.Now() == last ? same + 1 : 0;
    last = loop_.Now();
    if (same > 1000000) failure_ = fmt::format("the run stands still at {:.3f} s", last / 1000.0);
  }
  // The run's last stop is not one of its faults.
  if (proc_) {
    proc_->db.Calm();
    vfs_.CrashAt(0);
    StopProcess();
  }
  gateway_.Annotate(record_);
  if (!failure_.empty()) {
    result.failure = failure_;
  } else {
    try {
      result.report = Check(record_, *desk_db_);
    } catch (const std::exception& e) {
      result.failure = std::string("the checker could not read the database: ") + e.what();
    }
  }
  for (const FaultEvent& f : record_.faults) ++result.faults[f.kind];
  result.packets = static_cast<long long>(record_.sent.size());
  result.received = static_cast<long long>(record_.received.size());
  result.starts = starts_;
  if (!result.Passed()) {
    std::ofstream(dir_ / "record.txt") << record_.Dump();
    std::ofstream(dir_ / "checker.txt") << result.report.Text(1000000);
  }
  desk_.reset();
  desk_db_.reset();
  if (!pg_database_.empty()) {
    try {
      test_support::RunPostgresAdmin(*o_.postgres, "DROP DATABASE IF EXISTS " + pg_database_);
    } catch (const std::exception&) {
    }
  }
  return result;
}

}  // namespace

SimulationResult RunSimulation(const SimulationOptions& options, const std::filesystem::path& dir) {
  try {
    Simulation simulation(options, dir);
    return simulation.Run();
  } catch (const std::exception& e) {
    SimulationResult result;
    result.failure = e.what();
    return result;
  }
}

}  // namespace dorvek::fleet
