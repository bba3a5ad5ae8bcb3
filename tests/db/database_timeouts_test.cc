// No use of the database keeps the event loop waiting past the time-outs: a server that
// takes the connection and never answers, a statement that runs too long, a server that
// drops the connection, a refused login. Short time-outs keep the tests quick.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "support/postgres_server.h"
#include "support/stalled_listener.h"
#include "support/tds_stub.h"
#include "support/test_database.h"

namespace dorvek::db {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using test_support::DbPath;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::chrono::milliseconds Since(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
}

// The failure text of one opening, and how long it took.
struct Attempt {
  std::string text;
  std::chrono::milliseconds took{};
  FailureKind kind = FailureKind::kStatement;
};

Attempt OpenAndFail(SociDatabase& db) {
  const auto start = SteadyClock::now();
  try {
    db.Open();
  } catch (const DatabaseError& e) {
    return {e.what(), Since(start), e.kind()};
  }
  ADD_FAILURE() << "the opening did not fail";
  return {};
}

struct StalledCase {
  const char* name;
  std::string driver;
};

// A server that accepts and never answers, through each networked driver.
class StalledServer : public ::testing::TestWithParam<StalledCase> {
 protected:
  ConnectionSettings Settings() const {
    ConnectionSettings s;
    s.driver = GetParam().driver;
    s.server = "127.0.0.1," + std::to_string(listener_.port());
    s.user = "dorvek";
    s.password = "geheim-wachtwoord";
    s.database = "DORVEK";
    s.timeouts.login = 2s;
    s.timeouts.statement = 4s;
    s.timeouts.reopen_pause = 20s;
    return s;
  }

  test_support::StalledListener listener_;
  core::MemoryEventLog log_;
  core::ManualClock clock_;
};

TEST_P(StalledServer, OpeningFailsWithinTheLoginTimeoutThenPausesWithTheSameText) {
  SociDatabase db(Settings(), log_, clock_);
  const Attempt first = OpenAndFail(db);
  EXPECT_GE(first.took, 1s) << first.text;  // it did wait for the server
  EXPECT_LT(first.took, 2s + 2s) << first.text;
  EXPECT_FALSE(first.text.empty());
  EXPECT_THAT(first.text, Not(HasSubstr("geheim-wachtwoord")));
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(listener_.connections(), 1);

  // During the pause every use fails at once with the same text, and nothing connects.
  for (auto step : {0s, 10s, 9s}) {
    clock_.Advance(step);
    const Attempt again = OpenAndFail(db);
    EXPECT_EQ(again.text, first.text);
    EXPECT_LT(again.took, 200ms);
  }
  EXPECT_THROW(db.Query("select 1"), DatabaseError);
  EXPECT_EQ(listener_.connections(), 1);

  // After it, the next use tries again, and pauses again.
  clock_.Advance(1s);
  EXPECT_GE(OpenAndFail(db).took, 1s);
  EXPECT_EQ(listener_.connections(), 2);
  EXPECT_LT(OpenAndFail(db).took, 200ms);

  // New settings end a pause at once.
  db.Configure(Settings());
  EXPECT_GE(OpenAndFail(db).took, 1s);
  EXPECT_EQ(listener_.connections(), 3);
  EXPECT_TRUE(log_.texts().empty()) << "neither gekoppeld nor verbroken";
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, StalledServer,
    ::testing::Values(StalledCase{"FreeTds", ""},
                      StalledCase{"PsqlOdbc", std::string(test_support::kPostgresOdbcDriver)}),
    [](const auto& info) { return std::string(info.param.name); });

// A SQL Server stand-in that accepts the login and answers every batch, until one holds
// "stall": that one it never answers, nor the cancel FreeTDS sends after it.
class FreeTdsStallingServer {
 public:
  FreeTdsStallingServer() {
    const auto socket = test_support::ListenOnLoopback(4);
    listener_ = socket.fd;
    port_ = socket.port;
    thread_ = std::thread([this] { Serve(); });
  }
  ~FreeTdsStallingServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  FreeTdsStallingServer(const FreeTdsStallingServer&) = delete;
  FreeTdsStallingServer& operator=(const FreeTdsStallingServer&) = delete;

  int port() const { return port_; }
  bool stalled() const { return stalled_; }

 private:
  // Waits up to 100 ms for the socket to have something to read.
  bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 100) > 0;
  }

  void Serve() {
    int fd = -1;
    for (int i = 0; i < 100 && !stop_ && fd < 0; ++i)
      if (Readable(listener_)) fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string packet;
    if (test_support::ReadTdsPacket(fd, packet) && packet[0] == 0x12) {
      test_support::SendPreloginReply(fd);
      if (test_support::ReadTdsPacket(fd, packet) && packet[0] == 0x10) {
        test_support::SendLoginAccepted(fd);
        while (!stop_) {
          if (!Readable(fd)) continue;
          if (!test_support::ReadTdsPacket(fd, packet)) break;  // the client hung up
          if (test_support::TdsPayloadText(packet).find("stall") != std::string::npos) stalled_ = true;
          if (!stalled_) test_support::SendDone(fd);
        }
      }
    }
    close(fd);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stalled_{false};
  std::thread thread_;
};

// FreeTDS gives up on a statement after its time-out, sends a cancel and waits as long
// again before it drops the connection: the statement is given half the time-out, so
// both waits together stay within it.
TEST(FreeTdsStatementTimeout, StalledStatementFailsWithinTheTimeoutAndClosesTheConnection) {
  FreeTdsStallingServer server;
  ConnectionSettings settings;
  settings.server = "127.0.0.1," + std::to_string(server.port());
  settings.user = "sa";
  settings.password = "geheim";
  settings.database = "DORVEK";
  settings.timeouts.login = 5s;
  settings.timeouts.statement = 4s;
  core::MemoryEventLog log;
  SociDatabase db(settings, log);
  db.Open();
  EXPECT_EQ(db.dialect(), Dialect::kSqlServer);
  const auto start = SteadyClock::now();
  try {
    db.Execute("select 'stall' as x");
    FAIL() << "no failure";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("HYT00"));
  }
  EXPECT_TRUE(server.stalled());
  EXPECT_GE(Since(start), 3s);
  EXPECT_LT(Since(start), 4s + 2s);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_THAT(log.texts(), ElementsAre("Taxis Dorvek ZOL database gekoppeld",
                                              "Taxis Dorvek ZOL database verbinding verbroken"));
}

// A statement that runs past the statement time-out fails, its connection is closed, and
// the next use opens a fresh one.
class StatementTimeout : public ::testing::TestWithParam<DbPath> {
 protected:
  // A statement that takes far longer than the time-out on each path.
  std::string SlowStatement() const {
    if (GetParam() == DbPath::kPostgres) return "select pg_sleep(30) as slept";
    return "with recursive c(x) as (select 1 union all select x + 1 from c where x < 2000000000)"
           " select count(*) as n from c";
  }

  test_support::TestDatabase file_{GetParam()};
  core::MemoryEventLog log_;
};

// A statement ends at its time-out, or sooner at the deadline of the work it belongs
// to, as a time-out that keeps the connection; past the deadline nothing starts at all.
TEST_P(StatementTimeout, SlowStatementFailsAtItsTimeOutOrTheWorksDeadline) {
  if (GetParam() == DbPath::kOdbc)
    GTEST_SKIP() << "the SQLite ODBC driver has no statement time-out, only its busy time-out";
  struct Case {
    const char* name;
    std::optional<std::chrono::milliseconds> deadline;  // from the start of the statement
    std::chrono::milliseconds at_least, less_than;
  };
  ConnectionSettings settings = file_.Settings();
  settings.timeouts.statement = 3s;
  SociDatabase db(settings, log_);
  db.Open();
  for (const Case& c : {Case{"its own time-out", std::nullopt, 2s, 3s + 3s},
                        Case{"the deadline first", 1s, 500ms, 1s + 2s},
                        Case{"the deadline passed", -1ms, 0ms, 100ms}}) {
    SCOPED_TRACE(c.name);
    if (c.deadline) db.SetDeadline(SteadyClock::now() + *c.deadline);
    const auto start = SteadyClock::now();
    try {
      db.Query(SlowStatement());
      ADD_FAILURE() << "the statement ran to its end";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(e.kind(), FailureKind::kTimeout) << e.what();
    }
    EXPECT_LT(Since(start), c.less_than);
    EXPECT_GE(Since(start), c.at_least);
    db.SetDeadline(std::nullopt);
    EXPECT_TRUE(db.IsOpen());
    EXPECT_EQ(db.Query("select 7 as n").at(0).Int("n"), 7);
  }
  EXPECT_THAT(log_.texts(), ElementsAre("Taxis Dorvek ZOL database gekoppeld"));
}

TEST_P(StatementTimeout, StatementsWithinTheTimeoutKeepTheConnection) {
  ConnectionSettings settings = file_.Settings();
  settings.timeouts.statement = 2s;
  SociDatabase db(settings, log_);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(db.Query("select count(*) as n from planning").at(0).Int("n", -1), 0);
  EXPECT_TRUE(db.IsOpen());
  EXPECT_THAT(log_.texts(), ElementsAre("Taxis Dorvek ZOL database gekoppeld"));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, StatementTimeout, test_support::AllDbPaths(),
                         test_support::DbPathTestName());

// The real networked server going away and coming back, and refusing a login.
class PostgresConnection : public ::testing::Test {
 protected:
  // Refused logins of the test login, as the server logged them.
  static long Refusals() {
    const std::string log = test_support::PostgresServerLog(test_support::TestPostgres());
    const std::string line = "password authentication failed for user \"dorvek\"";
    long count = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
  }

  test_support::TestDatabase file_{DbPath::kPostgres};
  core::MemoryEventLog log_;
};

TEST_F(PostgresConnection, DialectIsWhatTheServerCallsItself) {
  SociDatabase db(file_.Settings(), log_);
  db.Open();
  EXPECT_EQ(db.dialect(), Dialect::kPostgreSql);
}

TEST_F(PostgresConnection, LostConnectionFailsOnceThenTheNextUseReconnects) {
  SociDatabase db(file_.Settings(), log_);
  EXPECT_EQ(db.Query("select count(*) as n from wagens").at(0).Int("n", -1), 0);
  // The server ends every other session on the database, as a restart would.
  test_support::RunPostgresAdmin(
      test_support::TestPostgres(),
      "select pg_terminate_backend(pid) from pg_stat_activity where datname = '" +
          file_.Settings().database + "' and pid <> pg_backend_pid()");
  try {
    db.Query("select count(*) as n from wagens");
    ADD_FAILURE() << "no failure";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.kind(), FailureKind::kConnection) << e.what();
  }
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.Query("select count(*) as n from wagens").at(0).Int("n", -1), 0);
  EXPECT_THAT(log_.texts(), ElementsAre("Taxis Dorvek ZOL database gekoppeld",
                                        "Taxis Dorvek ZOL database verbinding verbroken",
                                        "Taxis Dorvek ZOL database gekoppeld"));
}

TEST_F(PostgresConnection, RefusedLoginFailsFastEveryTimeWithoutShowingThePassword) {
  ConnectionSettings settings = file_.Settings();
  settings.password = "fout;wachtwoord}";
  settings.timeouts.login = 5s;
  core::ManualClock clock;  // never moves: a pause would last for ever
  SociDatabase db(settings, log_, clock);
  const long refused_before = Refusals();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Attempt a = OpenAndFail(db);
    EXPECT_LT(a.took, 3s);
    EXPECT_THAT(a.text, HasSubstr("password authentication failed"));
    EXPECT_THAT(a.text, Not(HasSubstr("wachtwoord")));
    // Where and as whom, so the journal says which login to mend.
    EXPECT_THAT(a.text, HasSubstr("(server " + settings.server + "; gebruiker " + settings.user + ")"));
    EXPECT_EQ(a.kind, FailureKind::kConnection);
  }
  // Both attempts reached the server: a refusal gets no pause.
  EXPECT_GE(Refusals(), refused_before + 2);
}

}  // namespace
}  // namespace dorvek::db
