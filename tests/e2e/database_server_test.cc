// The real binary against networked database servers on loopback:
// - a PostgreSQL server through psqlODBC, configured like SQL Server (SQLServer as
//   "host,port", login, a password holding ";" and braces, SQLDatabase): the gateway's
//   packets and the operator notifications reach its tables;
// - a SQL Server that takes the connection and never answers (FreeTDS, SQLServer =
//   127.0.0.1,PORT of a loopback listener): the first opening fails within the login
//   time-out with a warning, the gateway's packets wait meanwhile (the packet controller
//   tries the oldest once a second, each failing at once with the same text, with one
//   warning for the outage), and SIGTERM stops
//   the service well within the unit's stop time-out (90 s), even when it comes while
//   the login is still waiting.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "support/dispatch_fixture.h"
#include "support/gateway_simulator_process.h"
#include "support/service_config.h"
#include "support/service_process.h"
#include "support/stalled_listener.h"
#include "support/test_database.h"

namespace dorvek {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using test_support::JournalEntry;
using test_support::PollUntil;
using test_support::ShowEntries;
using test_support::ReadFileBytes;
using test_support::ServiceOptions;
using test_support::ServiceProcess;
namespace fs = std::filesystem;

constexpr const char* kGatewayConnected = "Taxis Dorvek ZOL cliënt werd verbonden";
constexpr const char* kDbConnected = "Taxis Dorvek ZOL database gekoppeld";
constexpr const char* kUnitPacket = "UNIT=4711";
// The service's defaults: login time-out 10 s; the unit's TimeoutStopSec 90 s.
constexpr auto kLoginTimeout = 10s;
constexpr auto kStopTimeout = 90s;
constexpr int kHttpTimerMs = 1000;

std::chrono::milliseconds Since(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
}

// The gateway simulator: a keep-alive of terminal 4711 every second once the service is
// connected, for 40 seconds.
std::unique_ptr<test_support::GatewaySimulator> KeepAliveGateway(const fs::path& dir) {
  auto gateway = std::make_unique<test_support::GatewaySimulator>(dir, 60s);
  gateway->Step("wait-connection");
  for (int i = 0; i < 40; ++i) {
    gateway->Step("TAG=0" + std::to_string(10 + i) + " TYPE=NOOP STATUS=NEW TIME=now UNIT=4711 NUMBER=000");
    gateway->Step("pause 1000");
  }
  return gateway;
}

struct SqlSettings {
  std::string driver;  // SQLDriver; empty leaves the element out (FreeTDS)
  std::string server, user, password, database;
};

class DatabaseServerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    ASSERT_TRUE(test_support::GatewaySimulator::Available()) << "build the gateway_simulator target first";
    base_ = tmp_.path() / "base";
    fs::create_directory(base_);
    gateway_ = KeepAliveGateway(tmp_.path());
  }

  void WriteConfig(const SqlSettings& sql) {
    test_support::WriteServiceConfig(
        base_, {.http_timer_ms = kHttpTimerMs, .port = gateway_->Port(), .sql_driver = sql.driver,
                .sql_server = sql.server, .sql_user = sql.user, .sql_password = sql.password,
                .sql_database = sql.database});
  }

  std::unique_ptr<ServiceProcess> Launch() {
    ServiceOptions options;
    options.binary = DORVEK_BINARY;
    options.base_dir = base_;
    options.work_dir = tmp_.path();
    options.name = "service";
    launched_ = SteadyClock::now();
    return std::make_unique<ServiceProcess>(options);
  }

  // SIGTERM, then the time until the process has ended with status 0.
  std::chrono::milliseconds StopTime(ServiceProcess& service) {
    const auto start = SteadyClock::now();
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(kStopTimeout), 0);
    return Since(start);
  }

  test_support::TempDir tmp_;
  fs::path base_;
  std::unique_ptr<test_support::GatewaySimulator> gateway_;
  SteadyClock::time_point launched_;
};

TEST_F(DatabaseServerEndToEnd, PostgresServerConfiguredLikeSqlServerTakesTheRows) {
  test_support::TestDatabase dispatch(test_support::DbPath::kPostgres);
  dispatch.Run(test_support::SampleDataScript());
  const db::ConnectionSettings s = dispatch.Settings();
  WriteConfig({s.driver, s.server, s.user, s.password, s.database});
  core::MemoryEventLog reader_log;
  db::SociDatabase reader(s, reader_log);
  const auto count = [&](const std::string& table, const std::string& where) {
    return reader.Query("select count(*) as n from " + table + " where " + where).at(0).Int("n");
  };

  auto service = Launch();
  ASSERT_TRUE(service->WaitForEntry(kDbConnected, 10s)) << ShowEntries(service->Entries());
  ASSERT_TRUE(service->WaitForEntry(kGatewayConnected, 10s)) << ShowEntries(service->Entries());
  // The gateway connection's notification and the keep-alives of terminal 4711.
  ASSERT_TRUE(PollUntil([&] { return count("StatusMeldingen", "mel_status=4006") == 1; }, 10s));
  ASSERT_TRUE(PollUntil([&] { return count("berichtenbox", "bbo_wag_id=1") >= 2; }, 10s))
      << ShowEntries(service->Entries());
  service->Signal(SIGTERM);
  EXPECT_EQ(service->WaitForExit(20s), 0);
  EXPECT_EQ(count("StatusMeldingen", "mel_status=4008"), 1);
  for (const auto& e : service->Entries()) {
    EXPECT_NE(e.type, 1) << e.text;
    EXPECT_EQ(e.text.find(s.password), std::string::npos) << e.text;
  }
}

class StalledDatabaseEndToEnd : public DatabaseServerEndToEnd {
 protected:
  void SetUp() override {
    DatabaseServerEndToEnd::SetUp();
    WriteConfig({"", "127.0.0.1," + std::to_string(database_.port()), "sa", "geheim", "DORVEK"});
  }

  test_support::StalledListener database_;
};

TEST_F(StalledDatabaseEndToEnd, LoginTimesOutTimersKeepRunningAndStopIsQuick) {
  auto service = Launch();
  // ControleTimer opens the database first: the login waits out its time-out.
  const auto failure = service->WaitForEntry(
      [](const JournalEntry& e) { return e.type == 2; }, kLoginTimeout + 10s);
  ASSERT_TRUE(failure) << ShowEntries(service->Entries());
  const auto failed_after = Since(launched_);
  EXPECT_GE(failed_after, kLoginTimeout - 1s);
  EXPECT_LT(failed_after, std::chrono::milliseconds(kHttpTimerMs) + kLoginTimeout + 5s);
  EXPECT_EQ(database_.connections(), 1);
  std::printf("login failure logged %lld ms after start: %s\n",
              static_cast<long long>(failed_after.count()), failure->text.c_str());

  // Then the gateway connects, and its packets wait: the packet controller tries the
  // oldest once a second, each lookup failing at once with the opening's text, without
  // a new login. The outage is one warning, and the waiting packet's fields are logged
  // once, not at every try.
  ASSERT_TRUE(service->WaitForEntry(kGatewayConnected, 10s)) << ShowEntries(service->Entries());
  const auto count = [&](auto&& match) {
    const auto entries = service->Entries();
    return std::count_if(entries.begin(), entries.end(), match);
  };
  const auto received = [](const JournalEntry& e) {
    return e.type == 4 && e.text.starts_with("Ontvangen pakket: ") && e.text.find("4711") != std::string::npos;
  };
  const auto field_list = [](const JournalEntry& e) {
    return e.type == 4 && e.text.find(kUnitPacket) != std::string::npos;
  };
  const std::string away = "Taxis Dorvek ZOL database niet bereikbaar, de pakketten wachten: " + failure->text;
  const auto packets_from = SteadyClock::now();
  ASSERT_TRUE(PollUntil([&] { return count(received) >= 4; }, 10s)) << ShowEntries(service->Entries());
  EXPECT_LT(Since(packets_from), 8s);
  const auto entries = service->Entries();
  EXPECT_EQ(count(field_list), 1) << ShowEntries(entries);
  EXPECT_EQ(count([&](const JournalEntry& e) { return e.text == away; }), 1) << ShowEntries(entries);
  // ControleTimer's own, and the gateway connection's notification that cannot be
  // written; the message box reports the outage once, as an error.
  EXPECT_EQ(count([&](const JournalEntry& e) { return e.type == 2 && e.text == failure->text; }), 2)
      << ShowEntries(entries);
  EXPECT_EQ(count([&](const JournalEntry& e) { return e.type == 1 && e.text == failure->text; }), 1)
      << ShowEntries(entries);
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const JournalEntry& e) { return e.text == kDbConnected; }),
            0);
  EXPECT_EQ(database_.connections(), 1) << "no new login during the pause";

  const auto stop = StopTime(*service);
  std::printf("stopped %lld ms after SIGTERM\n", static_cast<long long>(stop.count()));
  EXPECT_LT(stop, 10s);
}

TEST_F(StalledDatabaseEndToEnd, SigtermDuringTheLoginStopsSoonAfterTheTimeout) {
  auto service = Launch();
  // ControleTimer fires after HTTPTimer and the login starts waiting.
  ASSERT_TRUE(PollUntil([&] { return database_.connections() >= 1; }, 10s));
  const auto stop = StopTime(*service);
  std::printf("stopped %lld ms after SIGTERM during the login\n", static_cast<long long>(stop.count()));
  EXPECT_LT(stop, kLoginTimeout + 5s);
  EXPECT_LT(stop, kStopTimeout / 3);
}

}  // namespace
}  // namespace dorvek
