// fleet_simulator: plays a taxi company's day against the real service on loopback and
// checks what came out. It makes a dispatch database (a SQLite file, or a database on
// a private PostgreSQL server of its own), plays the terminal gateway, starts the
// service binary with a configuration pointing at both, and plays N taxis (terminals
// and drivers) and the dispatchers in simulated time, faster than real time. With
// --faults it stops, kills, pauses and disturbs the service, the database and the
// gateway at moments drawn from the seed. At the end it lets the service finish what
// it was given, stops it, and runs the checker over the record and the database.
//
//   fleet_simulator [--fleet N] [--seed S] [--hours H] [--speed X] [--faults]
//                   [--database sqlite|postgres] [--binary PATH] [--work-dir DIR]
//                   [--packets-per-tick N] [--packets-per-send N] [--position-every S]
//                   [--faults-per-hour N] [--on-duty F] [--sample-every S] [--figures]
//                   [--max-findings N]
//
// --fleet 20, --seed 1, --hours 2, --speed 60 and --database sqlite by default.
// --binary defaults to the dorvekzol beside this program. --packets-per-send sets the
// optional PakkettenPerVerzending (10 when the binary knows the setting, else left
// out: one packet per firing). --figures prints the service's resident memory and
// open descriptors through the run, the delay from the gateway's write of a position
// to its row being committed, and the CPU time per packet. --work-dir keeps the run's
// files (the database, the service's event log, the record) there; by default they go
// into a fresh directory under /tmp that is removed after a run without differences.
//
// Everything stays on loopback: the gateway, the LAN notices (--lan-target) and the
// PostgreSQL server listen on 127.0.0.1 only. Every wait is bounded.
//
// Exit status: 0 when the checker finds no difference beyond its named allowances,
// 1 when it does, 2 for bad arguments, 3 when the run could not be made.

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "fleet/checker.h"
#include "fleet/fleet_model.h"
#include "fleet/fleet_setup.h"
#include "fleet/real/desk_worker.h"
#include "fleet/real/fault_injector.h"
#include "fleet/real/real_time_scheduler.h"
#include "fleet/real/run_probes.h"
#include "fleet/real/service_process.h"
#include "fleet/real/tcp_gateway.h"
#include "service/queue_store.h"
#include "support/postgres_server.h"
#include "support/service_config.h"
#include "tool_exit.h"

namespace {

namespace fs = std::filesystem;
namespace fleet = dorvek::fleet;
using namespace std::chrono_literals;

constexpr int kExitDifferences = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBroken = 3;

using dorvek::tools::Exit;

struct Options {
  int taxis = 20;
  unsigned long long seed = 1;
  double hours = 2;
  double speed = 60;
  bool faults = false;
  std::string database = "sqlite";
  fs::path binary;
  fs::path work_dir;
  int packets_per_tick = 500;
  int packets_per_send = 0;  // 0: 10 when the binary knows the setting
  double position_every = 10;
  int faults_per_hour = 4;
  double on_duty = 0.6;
  double sample_every = 5;
  bool figures = false;
  std::size_t max_findings = 50;
};

double Number(const std::string& flag, const std::string& text, double min, double max) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min || value > max)
    throw Exit(kExitUsage, fmt::format("{} needs a number from {} to {}, not \"{}\"", flag, min, max, text));
  return value;
}

Options Parse(int argc, char** argv) {
  Options o;
  o.binary = fs::canonical("/proc/self/exe").parent_path() / "dorvekzol";
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--faults" || flag == "--figures") {
      (flag == "--faults" ? o.faults : o.figures) = true;
      continue;
    }
    if (flag == "--help" || flag == "-h")
      throw Exit(kExitUsage, "usage: fleet_simulator [--fleet N] [--seed S] [--hours H] [--speed X] [--faults] "
                             "[--database sqlite|postgres] [--binary PATH] [--work-dir DIR] [--packets-per-tick N] "
                             "[--packets-per-send N] [--position-every S] [--faults-per-hour N] [--on-duty F] "
                             "[--sample-every S] [--figures] [--max-findings N]");
    if (i + 1 >= argc) throw Exit(kExitUsage, flag + " needs a value");
    const std::string value = argv[++i];
    if (flag == "--fleet") o.taxis = static_cast<int>(Number(flag, value, 1, 2000));
    else if (flag == "--seed") o.seed = static_cast<unsigned long long>(Number(flag, value, 0, 1e15));
    else if (flag == "--hours") o.hours = Number(flag, value, 0.05, 48);
    else if (flag == "--speed") o.speed = Number(flag, value, 0.1, 1000);
    else if (flag == "--database") {
      if (value != "sqlite" && value != "postgres") throw Exit(kExitUsage, "--database is sqlite or postgres");
      o.database = value;
    } else if (flag == "--binary") o.binary = value;
    else if (flag == "--work-dir") o.work_dir = value;
    else if (flag == "--packets-per-tick") o.packets_per_tick = static_cast<int>(Number(flag, value, 1, 100000));
    else if (flag == "--packets-per-send") o.packets_per_send = static_cast<int>(Number(flag, value, 1, 1000));
    else if (flag == "--position-every") o.position_every = Number(flag, value, 1, 3600);
    else if (flag == "--faults-per-hour") o.faults_per_hour = static_cast<int>(Number(flag, value, 0, 100));
    else if (flag == "--on-duty") o.on_duty = Number(flag, value, 0, 1);
    else if (flag == "--sample-every") o.sample_every = Number(flag, value, 0.1, 3600);
    else if (flag == "--max-findings") o.max_findings = static_cast<std::size_t>(Number(flag, value, 0, 1e9));
    else throw Exit(kExitUsage, "unknown option " + flag);
  }
  if (!fs::exists(o.binary)) throw Exit(kExitUsage, "no service binary at " + o.binary.string() + " (--binary)");
  return o;
}

// Whether the binary reads a setting: its name appears among its strings.
bool Knows(const fs::path& binary, const std::string& setting) {
  std::ifstream in(binary, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return bytes.find("<" + setting + ">") != std::string::npos || bytes.find(setting) != std::string::npos;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The texts of the inbound queue the service left in its queue file at its stop; none
// when the file cannot be read.
std::vector<std::string> InboundLeftInQueueFile(const fs::path& file) {
  std::vector<std::string> texts;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT tekst FROM pakketten WHERE wachtrij = ? ORDER BY id", -1, &statement, nullptr) ==
        SQLITE_OK) {
      sqlite3_bind_int(statement, 1, static_cast<int>(dorvek::service::QueueStore::Queue::kInbound));
      while (sqlite3_step(statement) == SQLITE_ROW) {
        const auto* text = static_cast<const char*>(sqlite3_column_blob(statement, 0));
        texts.emplace_back(text == nullptr ? "" : text, static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return texts;
}

// Holds a write lock on a SQLite file for a while, as another program's transaction.
std::string LockSqlite(const fs::path& file, double seconds) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return "could not open the file";
  }
  sqlite3_busy_timeout(db, 10000);
  std::string how = "BEGIN IMMEDIATE held";
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  } else {
    how = std::string("BEGIN IMMEDIATE failed: ") + sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  return how;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(std::min<double>(values.size() - 1, std::floor(p * (values.size() - 1) + 0.5)));
  return values[at];
}

// The service child of this run, so a signal that ends the run ends it too.
std::atomic<pid_t> service_pid{-1};

void EndWithChild(int signal) {
  const pid_t child = service_pid.load();
  if (child > 0) ::kill(child, SIGKILL);
  ::_exit(128 + signal);
}

int Run(const Options& o) {
  struct sigaction action {};
  action.sa_handler = EndWithChild;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  // --- the run's directory and database ---------------------------------------------
  bool own_dir = o.work_dir.empty();
  fs::path dir = o.work_dir;
  if (own_dir) {
    std::string pattern = (fs::temp_directory_path() / "dorvek-fleet-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw Exit(kExitBroken, "cannot make a directory under /tmp");
    dir = pattern;
  }
  const fs::path base = dir / "base";
  fs::create_directories(base);
  const fs::path source = fs::path(DORVEK_SOURCE_DIR);

  fleet::FleetShape shape;
  shape.taxis = o.taxis;
  shape.seed = o.seed;
  shape.start = *dorvek::core::DateTime::FromParts(2026, 12, 8, 6, 0, 0);
  shape.on_duty_at_start = o.on_duty;
  fleet::Record record;
  record.setup = fleet::MakeFleet(shape);
  const std::string data = fleet::FleetDataScript(record.setup);

  dorvek::db::ConnectionSettings sql;
  std::unique_ptr<dorvek::test_support::PostgresServer> postgres;
  dorvek::test_support::ServiceConfig config;
  if (o.database == "sqlite") {
    const fs::path file = base / "dispatch.db";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    const std::string script = ReadFile(source / "src/db/schema/sqlite.sql") + data;
    char* error = nullptr;
    if (sqlite3_exec(db, script.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string text = error ? error : "?";
      sqlite3_free(error);
      sqlite3_close(db);
      throw Exit(kExitBroken, "cannot make the dispatch database: " + text);
    }
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    sql.driver = "sqlite";
    sql.database = file.string();
    config.sql_driver = "sqlite";
    config.sql_database = "dispatch.db";
  } else {
    postgres = dorvek::test_support::PostgresServer::Start();
    const auto& address = postgres->address();
    dorvek::test_support::CreatePostgresDatabase(address, "fleet");
    dorvek::test_support::RunPostgresData(address, "fleet", data);
    sql.driver = std::string(dorvek::test_support::kPostgresOdbcDriver);
    sql.server = "127.0.0.1," + std::to_string(address.port);
    sql.user = std::string(dorvek::test_support::kPostgresUser);
    sql.password = std::string(dorvek::test_support::kPostgresPassword);
    sql.database = "fleet";
    config.sql_driver = sql.driver;
    config.sql_server = sql.server;
    config.sql_user = sql.user;
    config.sql_password = sql.password;
    config.sql_database = sql.database;
  }

  // --- the gateway, the service ----------------------------------------------------------
  fleet::RealTimeScheduler scheduler(o.speed);
  std::unique_ptr<fleet::FleetModel> model;
  fleet::TcpGateway gateway(
      [&](const std::string& packet) { scheduler.Post([&, packet] { model->FromService(packet); }); },
      [&] { return scheduler.RealSeconds(); });
  gateway.Start();

  const bool knows_per_send = Knows(o.binary, "PakkettenPerVerzending");
  const int per_send = o.packets_per_send > 0 ? o.packets_per_send : knows_per_send ? 10 : 1;
  config.http_timer_ms = 500;
  config.port = gateway.port();
  config.packets_per_tick = o.packets_per_tick;
  std::string xml = dorvek::test_support::ServiceConfigXml(config);
  if (per_send > 1 || o.packets_per_send > 0)
    xml.insert(xml.rfind("</DorvekZOLserver>"), fmt::format("<PakkettenPerVerzending>{}</PakkettenPerVerzending>\r\n", per_send));
  std::ofstream(base / "VmrZOLConfig.xml", std::ios::binary) << xml;

  fleet::ServiceLaunch launch;
  launch.binary = o.binary;
  launch.base_dir = base;
  launch.event_log = dir / "events.jsonl";
  launch.output = dir / "service.out";
  launch.notice_port = gateway.notice_port();
  launch.env = {dorvek::test_support::PsqlOdbcLeakSuppression(dir)};
  fleet::ServiceProcess service(launch);
  double cpu_s = 0;  // of the processes that have ended
  int starts = 0;
  std::vector<int> bad_exits;
  std::mutex service_mutex;
  const auto start_service = [&] {
    std::lock_guard lock(service_mutex);
    service.Start();
    service_pid = service.pid();
    ++starts;
  };
  const auto end_service = [&](int signal, bool expect_clean) {
    std::lock_guard lock(service_mutex);
    if (const auto f = service.Figures()) cpu_s += f->cpu_s;
    service.Signal(signal);
    const auto status = service.WaitForExit(90s);
    if (expect_clean && status != 0) bad_exits.push_back(status.value_or(-1));
  };
  start_service();
  if (!gateway.WaitConnected(30s)) throw Exit(kExitBroken, "the service did not connect to the gateway within 30 s");

  // --- the day ------------------------------------------------------------------------
  fleet::FleetOptions options;
  options.seed = o.seed;
  options.duration = static_cast<fleet::SimMs>(o.hours * fleet::kHour);
  // What the service can send: one message-box row and `per_send` packets every 5 s of
  // real time; the fleet asks for half of it, so faults leave room to catch up.
  options.rows_per_hour = 0.5 * 720.0 / o.speed;
  options.packets_per_hour = 0.5 * 720.0 * per_send / o.speed;
  options.position_interval = static_cast<fleet::SimMs>(o.position_every * fleet::kSecond);
  record.info = {std::nullopt, o.seed, o.taxis, options.duration, o.speed, o.database, o.faults, o.packets_per_tick,
                 per_send};
  record.info.wall_start = dorvek::core::DateTime::FromTimePoint(
      std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                             std::chrono::duration<double>(scheduler.RealSeconds())));
  fleet::DeskWorker desk(sql, scheduler);
  model = std::make_unique<fleet::FleetModel>(record, options, scheduler, gateway, desk);

  std::printf("fleet: %d taxis, seed %llu, %.2f simulated hours at %gx (about %.0f s), %s, PakkettenPerTick %d, "
              "PakkettenPerVerzending %d%s, faults %s\n",
              o.taxis, o.seed, o.hours, o.speed, o.hours * 3600 / o.speed, o.database.c_str(), o.packets_per_tick,
              per_send, knows_per_send ? "" : " (not read by this binary: one packet per firing)",
              o.faults ? "on" : "off");
  std::printf("files: %s\n", dir.c_str());
  std::fflush(stdout);

  fleet::FaultControls controls;
  controls.kill_service = [&] { end_service(SIGKILL, false); };
  controls.stop_service = [&] { end_service(SIGTERM, true); };
  controls.start_service = start_service;
  controls.signal_service = [&](int signal) {
    std::lock_guard lock(service_mutex);
    service.Signal(signal);
  };
  if (postgres) {
    controls.stop_database = [&] { dorvek::test_support::StopPostgresServer(postgres->address()); };
    controls.start_database = [&] { dorvek::test_support::StartPostgresAgain(postgres->address()); };
  }
  controls.hold_write_lock = [&](double seconds, unsigned long long seed) -> std::string {
    if (!postgres) return LockSqlite(base / "dispatch.db", seconds);
    const bool table = seed % 2 == 0;
    const std::string how = table ? "LOCK TABLE planning, ritstaten IN EXCLUSIVE MODE"
                                  : "SELECT lsn_id FROM ritstaten WHERE lsn_status = 0 FOR UPDATE";
    try {
      dorvek::test_support::RunPostgresScript(postgres->address(), "fleet",
                                              fmt::format("BEGIN; {}; SELECT pg_sleep({:.1f}); COMMIT;", how, seconds));
    } catch (const std::exception& e) {
      return how + " failed: " + e.what();
    }
    return how + " held";
  };
  controls.junk = [&](std::string bytes) { scheduler.Post([&, bytes] { model->Junk(bytes); }); };
  fleet::FaultInjector injector(
      o.faults ? fleet::PlanFaults(o.seed, options.duration, postgres != nullptr, o.faults_per_hour)
               : std::vector<fleet::PlannedFault>{},
      controls, gateway, scheduler, options.duration);

  fleet::RunProbes probes(
      [&]() -> std::optional<fleet::ProcessFigures> {
        std::lock_guard lock(service_mutex);
        return service.Figures();
      },
      [&] { return scheduler.RealSeconds(); }, sql, o.sample_every, o.figures);

  model->Start();
  injector.Start();
  probes.Start();
  scheduler.Run([&] { return scheduler.Now() >= options.duration; });
  const double played_s = scheduler.RealSeconds();
  injector.Stop();

  // --- let the service finish what it was given -------------------------------------------
  dorvek::core::MemoryEventLog reader_log;
  dorvek::db::SociDatabase reader(sql, reader_log);
  long long traced = 0;
  for (const auto& p : record.sent) traced += p.traced ? 1 : 0;
  const auto count = [&](const std::string& sql_text) -> long long {
    try {
      const auto rows = reader.Query(sql_text);
      return rows.empty() ? -1 : rows.front().Int("n");
    } catch (const std::exception&) {
      return -1;
    }
  };
  std::vector<long long> last_counts;
  double last_change = scheduler.RealSeconds(), last_look = 0;
  bool drained = false;
  const double drain_started = scheduler.RealSeconds();
  scheduler.Run([&] {
    const double now = scheduler.RealSeconds();
    if (now - last_look < 0.5) return false;
    last_look = now;
    const std::vector<long long> counts = {count("select count(*) as n from gps"),
                                           count("select count(*) as n from berichtenbox where bbo_soort = 6 and bbo_verwerkt = 0"),
                                           gateway.received_count(), static_cast<long long>(gateway.pending())};
    if (counts != last_counts) last_change = now;
    last_counts = counts;
    long long unhandleable = 0;
    for (const auto& a : record.desk)
      if (a.kind == fleet::DeskAction::Kind::kMessageRow && (a.actie == 5 || a.pla_id == 99999999)) ++unhandleable;
    drained = desk.Idle() && counts[3] == 0 && gateway.connected() && counts[0] >= traced &&
              counts[1] <= unhandleable && counts[2] >= model->ExpectedOutbound();
    // Done, or nothing has moved for 30 s, or ten minutes have gone.
    return (drained && now - last_change > 2) || now - last_change > 30 || now - drain_started > 600;
  });
  std::printf("played in %.1f s real; the service finished in %.1f s more%s\n", played_s,
              scheduler.RealSeconds() - played_s, drained ? "" : " (not all was there: the checker tells what)");
  std::fflush(stdout);
  probes.Stop();
  desk.Stop();
  gateway.EndingBecause("stopped");
  end_service(SIGTERM, true);
  for (int i = 0; i < 200 && gateway.connected(); ++i) std::this_thread::sleep_for(10ms);
  record.faults = injector.Log();
  gateway.Annotate(record);
  // What the service had not handled by then waits in its queue file for its next start.
  const std::vector<std::string> left = InboundLeftInQueueFile(base / dorvek::service::kQueueStorePath);
  if (!left.empty())
    std::printf("the service's queue file holds %zu inbound packets for its next start; %lld of them found among those "
                "played\n",
                left.size(), record.NoteQueuedAtEnd(left));

  // --- what it played -----------------------------------------------------------------
  std::map<std::string, long long> kinds;
  for (const auto& p : record.sent) ++kinds[p.kind];
  std::map<long long, long long> actions;
  for (const auto& a : record.desk)
    if (a.kind == fleet::DeskAction::Kind::kMessageRow) ++actions[a.actie];
  long long offers = 0, reoffers = 0, withdrawn = 0, freed = 0;
  for (const auto& a : record.desk) {
    offers += a.kind == fleet::DeskAction::Kind::kRideOffered;
    reoffers += a.kind == fleet::DeskAction::Kind::kRideReoffered;
    withdrawn += a.kind == fleet::DeskAction::Kind::kOfferWithdrawn;
    freed += a.kind == fleet::DeskAction::Kind::kSheetFreed;
  }
  std::printf("played: %d taxis (%zu on duty at the start), %zu packets to the service, %zu packets to the terminals, "
              "%zu connections, %d service starts\n",
              o.taxis, record.setup.sheets.size(), record.sent.size(), record.received.size(),
              record.connections.size(), starts);
  std::printf("  packets by kind:");
  for (const auto& [kind, n] : kinds) std::printf(" %s %lld;", kind.c_str(), n);
  std::printf("\n  rides: %lld street hails, %lld dispatched, %lld offered again, %lld withdrawn, %lld sheets freed\n",
              kinds["street-hail start"], offers, reoffers, withdrawn, freed);
  std::printf("  message-box rows by action:");
  for (const auto& [actie, n] : actions) std::printf(" %lld: %lld;", actie, n);
  std::printf("\n  LAN notices received: %lld; dispatchers' database retries: %lld\n", gateway.datagrams(), desk.failures());
  std::map<std::string, long long> fault_kinds;
  for (const auto& f : record.faults) ++fault_kinds[f.kind];
  std::printf("  faults:");
  if (fault_kinds.empty()) std::printf(" none");
  for (const auto& [kind, n] : fault_kinds) std::printf(" %s %lld;", kind.c_str(), n);
  std::printf("\n");
  if (!bad_exits.empty()) {
    std::printf("  the service ended with status");
    for (int s : bad_exits) std::printf(" %d", s);
    std::printf(" after SIGTERM (0 expected)\n");
  }

  // --- figures ------------------------------------------------------------------------
  if (o.figures) {
    const auto samples = probes.samples();
    if (!samples.empty()) {
      const std::size_t half = samples.size() / 2;
      const auto range = [&](std::size_t from, std::size_t to, auto field) {
        long long lo = LLONG_MAX, hi = 0;
        for (std::size_t i = from; i < to; ++i) lo = std::min(lo, field(samples[i])), hi = std::max(hi, field(samples[i]));
        return std::make_pair(lo, hi);
      };
      const auto rss = [](const fleet::Sample& s) { return s.rss_kib; };
      const auto fds = [](const fleet::Sample& s) { return s.fds; };
      const auto [r1, r2] = range(0, std::max<std::size_t>(half, 1), rss);
      const auto [r3, r4] = range(half, samples.size(), rss);
      const auto [f1, f2] = range(0, std::max<std::size_t>(half, 1), fds);
      const auto [f3, f4] = range(half, samples.size(), fds);
      std::printf("figures: %zu samples every %g s; resident memory %lld-%lld KiB in the first half, %lld-%lld KiB in "
                  "the second; open descriptors %lld-%lld, then %lld-%lld\n",
                  samples.size(), o.sample_every, r1, r2, r3, r4, f1, f2, f3, f4);
    }
    const auto seen = probes.seen();
    std::vector<double> delays;
    for (const auto& p : record.sent) {
      if (p.kind != "position" || p.written_s < 0) continue;
      const auto* v = record.setup.FindVehicle(p.wag_id);
      const auto time = fleet::Record::PacketTime(p);
      const auto it = seen.find({v->imei, time->ToSql()});
      if (it != seen.end()) delays.push_back((it->second - p.written_s) * 1000.0);
    }
    const double rate = static_cast<double>(record.sent.size()) / played_s;
    std::printf("figures: gateway write to committed gps row, %zu positions at %.0f packets/s: median %.0f ms, "
                "99th percentile %.0f ms, max %.0f ms (50 ms polling)\n",
                delays.size(), rate, Percentile(delays, 0.5), Percentile(delays, 0.99), Percentile(delays, 1.0));
    std::printf("figures: CPU time of the service %.2f s for %zu packets: %.0f µs a packet\n", cpu_s,
                record.sent.size(), cpu_s * 1e6 / std::max<std::size_t>(record.sent.size(), 1));
  }
  std::fflush(stdout);

  // --- the verdict ------------------------------------------------------------------------
  dorvek::core::MemoryEventLog check_log;
  dorvek::db::SociDatabase check_db(sql, check_log);
  const fleet::Report report = fleet::Check(record, check_db);
  std::printf("%s", report.Text(o.max_findings).c_str());
  {
    std::ofstream out(dir / "checker.txt");
    out << report.Text(1000000);
    std::ofstream(dir / "record.txt") << record.Dump();
    std::ofstream faults(dir / "faults.txt");
    for (const auto& f : record.faults)
      faults << fmt::format("{:.3f} s real, {} ms sim: {} ({:.1f} s) {}\n", f.real_s, f.at, f.kind, f.seconds, f.detail);
  }
  const bool passed = report.Passed() && bad_exits.empty();
  std::printf("verdict: %s (seed %llu)\n", passed ? "PASSED" : "FAILED", o.seed);
  std::fflush(stdout);
  if (passed && own_dir) {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  return passed ? 0 : kExitDifferences;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(Parse(argc, argv));
  } catch (const Exit& e) {
    std::fprintf(stderr, "fleet_simulator: %s\n", e.what());
    return e.status();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleet_simulator: %s\n", e.what());
    return kExitBroken;
  }
}
