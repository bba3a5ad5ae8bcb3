// Fault runs: the real binary, the gateway simulator and real database servers on
// loopback, with the faults a service meets over the years. Nothing the gateway has
// delivered and nothing the dispatchers have queued may be lost or handled twice:
// - the database server stopped for 30 s under traffic, with message-box rows waiting;
// - the gateway dropping the connection three times under traffic;
// - SIGKILL with packets waiting in both queues, then a restart;
// - a megabyte of noise on the gateway stream between packets;
// - the database refusing the login.
// Every packet a test sends carries its own time, so rows count exactly once.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "service/queue_store.h"
#include "support/dispatch_fixture.h"
#include "support/gateway_simulator_process.h"
#include "support/postgres_server.h"
#include "support/service_config.h"
#include "support/service_process.h"
#include "support/test_database.h"

namespace dorvek {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using test_support::GatewaySimulator;
using test_support::JournalEntry;
using test_support::PollUntil;
using test_support::ShowEntries;
using test_support::ServiceOptions;
using test_support::ServiceProcess;
namespace fs = std::filesystem;

constexpr const char* kGatewayConnected = "Taxis Dorvek ZOL cliënt werd verbonden";
constexpr const char* kGatewayClosed = "Taxis Dorvek ZOL cliënt verbinding gestopt";
constexpr const char* kSupervisionFailed = "Taxis Dorvek ZOL cliënt controle is mislukt, herstart aangevraagd";
constexpr const char* kDbConnected = "Taxis Dorvek ZOL database gekoppeld";
constexpr const char* kDbDisconnected = "Taxis Dorvek ZOL database verbinding verbroken";
constexpr const char* kDbAway = "Taxis Dorvek ZOL database niet bereikbaar, de pakketten wachten: ";
constexpr const char* kDbBack = "Taxis Dorvek ZOL database weer bereikbaar na ";
constexpr const char* kPaused = "Taxis Dorvek ZOL cliënt werd onderbroken door pauze actie";
constexpr const char* kStarted = "Taxis Dorvek ZOL cliënt werd normaal gestart";

long Count(const std::vector<JournalEntry>& entries, const std::function<bool(const JournalEntry&)>& match) {
  return static_cast<long>(std::count_if(entries.begin(), entries.end(), match));
}
std::function<bool(const JournalEntry&)> Is(const std::string& text) {
  return [text](const JournalEntry& e) { return e.text == text; };
}
std::function<bool(const JournalEntry&)> StartsWith(const std::string& text) {
  return [text](const JournalEntry& e) { return e.text.starts_with(text); };
}
std::function<bool(const JournalEntry&)> OfType(int type) {
  return [type](const JournalEntry& e) { return e.type == type; };
}

// A position of terminal 4711 whose packet time is 10:00 plus `second` seconds: its gps
// row is told apart from every other by GPS_Datum_UTC.
std::string Position(int second, const std::string& unit = "4711") {
  return fmt::format(
      "TAG={:03} TYPE=KEY STATUS=NEW TIME=\"2026-12-08 10:{:02}:{:02}\" UNIT={} NUMBER=099 "
      "042=\"+52 21 12.34\" 043=\"+004 53 47.12\"",
      second % 1000, second / 60, second % 60, unit);
}
std::string KeepAlive(int tag, const std::string& unit = "4712") {
  return fmt::format("TAG={:03} TYPE=NOOP STATUS=NEW TIME=now UNIT={} NUMBER=000", tag % 1000, unit);
}

// The dispatch database as the dispatchers' programs see it: a connection of its own,
// which opens afresh once after the server has been away.
class Dispatch {
 public:
  explicit Dispatch(const db::ConnectionSettings& settings) : db_(settings, log_) {}

  long long Count(const std::string& table, const std::string& where = "1=1") {
    return Query("select count(*) as n from " + table + " where " + where).Int("n");
  }
  // Rows of gps, and how many different packet times they have: equal when no position
  // was written twice.
  std::pair<long long, long long> Positions() {
    const auto row = Query("select count(*) as n, count(distinct GPS_Datum_UTC) as d from gps");
    return {row.Int("n"), row.Int("d")};
  }
  void Run(const std::string& sql) { db_.Execute(sql); }

 private:
  db::Row Query(const std::string& sql) {
    try {
      return db_.Query(sql).at(0);
    } catch (const db::DatabaseError& e) {
      if (e.kind() != db::FailureKind::kConnection) throw;
      return db_.Query(sql).at(0);
    }
  }

  core::MemoryEventLog log_;
  db::SociDatabase db_;
};

class FaultRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    ASSERT_TRUE(GatewaySimulator::Available()) << "build the gateway_simulator target first";
    base_ = tmp_.path() / "base";
    fs::create_directory(base_);
    gateway_ = std::make_unique<GatewaySimulator>(tmp_.path(), 120s);
  }

  // A SQLite dispatch database with the sample company, beside the service.
  db::ConnectionSettings SqliteDispatch() {
    const fs::path file = base_ / "dispatch.db";
    test_support::RunSqliteScript(file, test_support::ReadFileBytes(test_support::SqliteSchemaPath()));
    test_support::RunSqliteScript(file, test_support::SampleDataScript());
    db::ConnectionSettings settings;
    settings.driver = "sqlite";
    settings.database = file.string();
    return settings;
  }

  void WriteConfig(const db::ConnectionSettings& sql, int packets_per_tick = 0) {
    test_support::WriteServiceConfig(
        base_, {.http_timer_ms = 500, .port = gateway_->Port(), .sql_driver = sql.driver,
                .sql_server = sql.server, .sql_user = sql.user, .sql_password = sql.password,
                .sql_database = sql.database, .packets_per_tick = packets_per_tick});
  }

  std::unique_ptr<ServiceProcess> Launch(const std::string& name = "service") {
    ServiceOptions options;
    options.binary = DORVEK_BINARY;
    options.base_dir = base_;
    options.work_dir = tmp_.path();
    options.name = name;
    options.env = {test_support::PsqlOdbcLeakSuppression(tmp_.path())};
    return std::make_unique<ServiceProcess>(options);
  }

  // Sends the steps, then waits until the simulator has run them all.
  void Play(const std::vector<std::string>& steps, std::chrono::milliseconds deadline) {
    for (const auto& step : steps) gateway_->Step(step);
    ASSERT_TRUE(gateway_->StepsDone(deadline)) << gateway_->Output();
  }

  // Packets the simulator has received from the service.
  long Received() const {
    const std::string out = gateway_->Output();
    long n = 0;
    for (auto at = out.find("<<< packet"); at != std::string::npos; at = out.find("<<< packet", at + 1)) ++n;
    return n;
  }

  void ExpectCleanStop(ServiceProcess& service) {
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(30s), 0);
  }

  test_support::TempDir tmp_;
  fs::path base_;
  std::unique_ptr<GatewaySimulator> gateway_;
};

// ---------------------------------------------------------------------------------

TEST_F(FaultRun, DatabaseServerGoneForThirtySecondsLosesNothing) {
  constexpr int kSeconds = 30;
  const auto server = test_support::PostgresServer::Start();
  test_support::TestDatabase database(server->address());
  database.Run(test_support::SampleDataScript());
  const db::ConnectionSettings sql = database.Settings();
  // Ten packets a tick, as a fleet of this traffic needs: the 60 waiting packets drain in
  // seconds once the server is back, and no backlog warning joins the outage's one.
  WriteConfig(sql, 10);
  Dispatch dispatch(sql);

  auto service = Launch();
  ASSERT_TRUE(service->WaitForEntry(kDbConnected, 10s)) << ShowEntries(service->Entries());
  ASSERT_TRUE(service->WaitForEntry(kGatewayConnected, 10s)) << ShowEntries(service->Entries());
  gateway_->Step("wait-connection");

  // Rows for the terminals, then the server goes before they can all be sent.
  dispatch.Run(
      "insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_pla_id, bbo_actie) "
      "values (6, 1, 1, '2026-12-08 10:00:01', 0, 0, 3), (6, 1, 2, '2026-12-08 10:00:02', 0, 0, 7), "
      "(6, 1, 3, '2026-12-08 10:00:03', 0, 0, 8)");
  test_support::StopPostgresServer(server->address());
  const auto stopped = SteadyClock::now();

  std::vector<std::string> traffic;
  for (int i = 0; i < kSeconds; ++i) {
    traffic.push_back(Position(i));
    traffic.push_back(KeepAlive(i));
    traffic.push_back("pause 1000");
  }
  Play(traffic, 60s);
  std::this_thread::sleep_for(std::chrono::seconds(kSeconds) - (SteadyClock::now() - stopped));
  test_support::StartPostgresAgain(server->address());
  const auto started = SteadyClock::now();

  const bool drained = PollUntil(
      [&] {
        return dispatch.Positions().first >= kSeconds &&
               dispatch.Count("berichtenbox", "bbo_soort=1") >= kSeconds &&
               dispatch.Count("berichtenbox", "bbo_soort=6 and bbo_verwerkt=0") == 0 && Received() >= 3;
      },
      150s);
  const auto drain = std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - started);
  const auto entries = service->Entries();
  ASSERT_TRUE(drained) << ShowEntries(entries);
  std::this_thread::sleep_for(2s);  // anything handled twice would show now

  const auto [positions, distinct] = dispatch.Positions();
  const long long keep_alives = dispatch.Count("berichtenbox", "bbo_soort=1");
  std::printf("outage: %d positions and %d keep-alives sent while the server was down; handled %lld and %lld "
              "(%lld distinct), lost %lld; message-box packets received %ld of 3; drained %lld s after the "
              "server came back\n",
              kSeconds, kSeconds, positions, keep_alives, distinct, 2 * kSeconds - positions - keep_alives,
              Received(), static_cast<long long>(drain.count()));
  EXPECT_EQ(positions, kSeconds);
  EXPECT_EQ(distinct, kSeconds);
  EXPECT_EQ(keep_alives, kSeconds);
  EXPECT_EQ(Received(), 3) << gateway_->Output();

  // One warning for the outage, the box's one error, the connection closed once and
  // opened again without a restart.
  EXPECT_EQ(Count(entries, StartsWith(kDbAway)), 1) << ShowEntries(entries);
  EXPECT_EQ(Count(entries, OfType(2)), 1) << ShowEntries(entries);
  EXPECT_LE(Count(entries, OfType(1)), 1) << ShowEntries(entries);
  EXPECT_EQ(Count(entries, Is(kDbDisconnected)), 1) << ShowEntries(entries);
  EXPECT_EQ(Count(entries, Is(kDbConnected)), 2) << ShowEntries(entries);
  EXPECT_EQ(Count(entries, StartsWith(kDbBack)), 1) << ShowEntries(entries);
  for (const auto& e : entries)
    if (e.type != 4 || e.text.starts_with(kDbBack)) std::printf("  [%d] %s\n", e.type, e.text.c_str());
  EXPECT_EQ(Count(entries, Is(kStarted)), 1);
  ExpectCleanStop(*service);
}

TEST_F(FaultRun, GatewayDroppedThreeTimesUnderTrafficLosesNothing) {
  constexpr int kDrops = 3, kPerConnection = 10;
  const db::ConnectionSettings sql = SqliteDispatch();
  WriteConfig(sql);
  Dispatch dispatch(sql);
  auto service = Launch();
  const auto launched = SteadyClock::now();

  // Each connection carries a second of traffic and is then dropped by the gateway.
  std::vector<std::string> steps;
  for (int drop = 0; drop < kDrops; ++drop) {
    steps.push_back("wait-connection");
    for (int i = 0; i < kPerConnection; ++i) {
      steps.push_back(Position(drop * kPerConnection + i));
      steps.push_back("pause 100");
    }
    steps.push_back("close");
  }
  steps.push_back("wait-connection");
  // The supervision ticks every 30 s from start: the last reconnection comes at 90 s.
  Play(steps, 110s);
  ASSERT_TRUE(PollUntil([&] { return Count(service->Entries(), Is(kGatewayConnected)) >= kDrops + 1; }, 10s));
  ASSERT_TRUE(PollUntil([&] { return dispatch.Positions().first >= kDrops * kPerConnection; }, 20s));
  std::this_thread::sleep_for(2s);

  const auto entries = service->Entries();
  const auto [positions, distinct] = dispatch.Positions();
  std::printf("gateway drops: %d packets sent before %d drops, handled %lld (%lld distinct) in %lld s\n",
              kDrops * kPerConnection, kDrops, positions, distinct,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - launched).count()));
  EXPECT_EQ(positions, kDrops * kPerConnection);
  EXPECT_EQ(distinct, kDrops * kPerConnection);
  EXPECT_EQ(dispatch.Count("StatusMeldingen", "mel_status=4007"), kDrops);
  EXPECT_EQ(dispatch.Count("StatusMeldingen", "mel_status=4006"), kDrops + 1);
  // Each drop: closed, then the next supervision tick finds it down and reconnects.
  long at = 0;
  for (int drop = 0; drop < kDrops; ++drop) {
    const auto from = entries.begin() + at;
    const auto closed = std::find_if(from, entries.end(), Is(kGatewayClosed));
    const auto supervision = std::find_if(closed, entries.end(), Is(kSupervisionFailed));
    const auto again = std::find_if(supervision, entries.end(), Is(kGatewayConnected));
    ASSERT_NE(again, entries.end()) << "drop " << drop << "\n" << ShowEntries(entries);
    at = again - entries.begin();
  }
  EXPECT_EQ(Count(entries, Is(kSupervisionFailed)), kDrops) << ShowEntries(entries);
  EXPECT_EQ(Count(entries, OfType(2)) + Count(entries, OfType(1)), 0) << ShowEntries(entries);
  ExpectCleanStop(*service);
}

// SIGKILL with 50 terminal packets waiting and 3 replies queued (the gateway gone, so
// none was sent): after a restart every one is handled or sent once.
TEST_F(FaultRun, KilledWithBothQueuesFullLosesNothingAndRepeatsNothing) {
  constexpr int kWaiting = 50, kReplies = 3;
  const db::ConnectionSettings sql = SqliteDispatch();
  Dispatch dispatch(sql);
  // Three drivers who may each start a shift on vehicle 31 (terminal 4713).
  dispatch.Run(
      "insert into chauffeurs (chf_id, chf_naam, chf_pasnummer, chf_bdr_id) values "
      "(2, 'Anna Jansen', '2222', 1), (3, 'Bram de Wit', '3333', 1)");
  WriteConfig(sql);
  auto service = Launch("first");

  std::vector<std::string> steps = {"wait-connection", "together " + std::to_string(kReplies + kWaiting)};
  for (const char* pass : {"1234", "2222", "3333"})
    steps.push_back(std::string("TAG=200 TYPE=FORM STATUS=NEW TIME=\"2026-12-08 06:00:00\" UNIT=4713 NUMBER=004 "
                                "003=003 001=") + pass);
  for (int i = 0; i < kWaiting; ++i) steps.push_back(Position(i));
  steps.push_back("close");
  Play(steps, 20s);

  // The log-ins are handled one a second, each queuing its reply; then the pause (which
  // comes between two ticks, after the store has its tick) and the kill.
  const auto replies = [&] { return Count(service->Entries(), StartsWith("Taxis Dorvek ZOL pakket aangeboden")); };
  ASSERT_TRUE(PollUntil([&] { return replies() >= kReplies; }, 20s)) << ShowEntries(service->Entries());
  service->Signal(SIGUSR1);
  ASSERT_TRUE(service->WaitForEntry(kPaused, 5s));
  service->Signal(SIGKILL);
  EXPECT_EQ(service->WaitForExit(10s), 128 + SIGKILL);
  ASSERT_EQ(replies(), kReplies);
  ASSERT_EQ(dispatch.Count("ritstaten", "lsn_wag_id=3"), kReplies);
  ASSERT_EQ(dispatch.Positions().first, 0);
  {
    db::ConnectionSettings store;
    store.driver = "sqlite";
    store.database = (base_ / service::kQueueStorePath).string();
    Dispatch file(store);
    EXPECT_EQ(file.Count("pakketten", "wachtrij=1"), kWaiting);
    EXPECT_EQ(file.Count("pakketten", "wachtrij=2"), kReplies);
  }

  auto again = Launch("second");
  ASSERT_TRUE(again->WaitForEntry(fmt::format("Taxis Dorvek ZOL wachtrijen geladen: {} inkomende en {} uitgaande "
                                              "pakketten",
                                              kWaiting, kReplies),
                                  10s))
      << ShowEntries(again->Entries());
  ASSERT_TRUE(PollUntil([&] { return dispatch.Positions().first >= kWaiting && Received() >= kReplies; }, 90s))
      << ShowEntries(again->Entries());
  std::this_thread::sleep_for(6s);  // a send-pump firing more: nothing goes twice
  const auto [positions, distinct] = dispatch.Positions();
  std::printf("kill: %d packets waiting and %d replies queued at SIGKILL; after the restart %lld handled "
              "(%lld distinct), %ld replies sent, %lld shifts started\n",
              kWaiting, kReplies, positions, distinct, Received(), dispatch.Count("ritstaten", "lsn_wag_id=3"));
  EXPECT_EQ(positions, kWaiting);
  EXPECT_EQ(distinct, kWaiting);
  EXPECT_EQ(Received(), kReplies) << gateway_->Output();
  EXPECT_EQ(dispatch.Count("ritstaten", "lsn_wag_id=3"), kReplies) << "no log-in handled twice";
  const std::string out = gateway_->Output();
  for (const char* name : {"Hénri de Vries", "Anna Jansen", "Bram de Wit"})
    EXPECT_NE(out.find(name), std::string::npos) << name;
  ExpectCleanStop(*again);
}

TEST_F(FaultRun, MegabyteOfNoiseOnTheStreamKeepsTheLinkAndEveryPacketAfterIt) {
  const db::ConnectionSettings sql = SqliteDispatch();
  WriteConfig(sql);
  Dispatch dispatch(sql);
  auto service = Launch();
  Play({"wait-connection", Position(1), "random 1048576 20261208", Position(2), KeepAlive(3), Position(4)}, 20s);
  ASSERT_TRUE(PollUntil([&] { return dispatch.Positions().first >= 3 && dispatch.Count("berichtenbox") >= 1; }, 20s))
      << ShowEntries(service->Entries());
  std::this_thread::sleep_for(1s);
  const auto entries = service->Entries();
  EXPECT_EQ(dispatch.Positions(), (std::pair<long long, long long>{3, 3}));
  EXPECT_EQ(dispatch.Count("berichtenbox"), 1);
  EXPECT_EQ(Count(entries, Is(kGatewayConnected)), 1);
  EXPECT_EQ(Count(entries, Is(kGatewayClosed)), 0) << ShowEntries(entries);
  std::printf("noise: %zu journal entries, %ld warnings\n", entries.size(), Count(entries, OfType(2)));
  ExpectCleanStop(*service);
}

TEST_F(FaultRun, RefusedLoginNamesServerAndUserNeverThePasswordAndIsTriedAtEveryUse) {
  constexpr const char* kWrong = "Verkeerd;Wachtwoord42";
  test_support::TestDatabase database(test_support::DbPath::kPostgres);
  db::ConnectionSettings sql = database.Settings();
  const std::string right = sql.password;
  sql.password = kWrong;
  WriteConfig(sql);
  const auto refusals = [&] {
    const std::string log = test_support::PostgresServerLog(test_support::TestPostgres());
    const std::string line = "password authentication failed for user \"" + sql.user + "\"";
    long n = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  };
  const long refused_before = refusals();

  auto service = Launch();
  std::vector<std::string> steps = {"wait-connection"};
  for (int i = 0; i < 8; ++i) {
    steps.push_back(KeepAlive(i, "4711"));
    steps.push_back("pause 1000");
  }
  Play(steps, 30s);
  const auto entries = service->Entries();
  const long tries = refusals() - refused_before;
  const long warnings = Count(entries, OfType(2)), errors = Count(entries, OfType(1));
  std::printf("refused login: %ld logins refused by the server, %ld warnings and %ld errors in the journal\n",
              tries, warnings, errors);
  // Tried at every use: the controller's tick each second, and the message box.
  EXPECT_GE(tries, 6);
  // Said once per kind: ControleTimer's opening, the gateway's notification 4006, the
  // packet controller's outage; the message box's error.
  EXPECT_LE(warnings, 3) << ShowEntries(entries);
  EXPECT_LE(errors, 1) << ShowEntries(entries);
  EXPECT_EQ(Count(entries, StartsWith(kDbAway)), 1) << ShowEntries(entries);
  const std::string where = "(server " + sql.server + "; gebruiker " + sql.user + ")";
  for (const auto& e : entries) {
    if (e.type == 1 || e.type == 2) {
      EXPECT_NE(e.text.find("password authentication failed"), std::string::npos) << e.text;
      EXPECT_NE(e.text.find(where), std::string::npos) << e.text;
    }
    EXPECT_EQ(e.text.find("Wachtwoord42"), std::string::npos) << e.text;
    EXPECT_EQ(e.text.find(right), std::string::npos) << e.text;
  }
  ExpectCleanStop(*service);
}

}  // namespace
}  // namespace dorvek
