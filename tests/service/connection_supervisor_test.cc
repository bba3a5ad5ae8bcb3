#include "service/connection_supervisor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/memory_event_log.h"
#include "service/service_test_fixture.h"
#include "support/case_name.h"

namespace dorvek::service {
namespace {

using core::EntryType;

// ---------------------------------------------------------------------------------
// The supervisor on its own: the link's state decides what each tick does, and each
// event is reported to the log and to StatusMeldingen.

class ConnectionSupervisorTest : public ::testing::Test {
 protected:
  // The link's events, as the service passes them on.
  struct Events : gateway::GatewayEvents {
    explicit Events(ConnectionSupervisor& s) : supervisor(s) {}
    void OnConnected(std::error_code e) override { supervisor.Connected(e); }
    void OnClosed(std::error_code e) override { supervisor.Closed(e); }
    void OnData(std::string_view) override {}
    ConnectionSupervisor& supervisor;
  };

  ConnectionSupervisorTest() {
    settings_.binding = "127.0.0.1";
    settings_.port = "4001";
    link_.set_events(&events_);
  }

  void Connect() {
    link_.SetRemote("127.0.0.1", "4001");
    link_.Connect();
    link_.CompleteAttempt();
  }
  void StartAttempt() {
    link_.SetRemote("127.0.0.1", "4001");
    link_.Connect();
  }

  std::vector<long long> NotificationCodes() {
    std::vector<long long> codes;
    for (const auto& row : dispatch_.Select("select mel_status from StatusMeldingen order by rowid"))
      codes.push_back(row.Int("mel_status"));
    return codes;
  }

  core::MemoryEventLog log_;
  test_support::DispatchFixture dispatch_;
  test_support::FailingDatabase db_{dispatch_.db()};
  test_support::FakeGatewayLink link_;
  Settings settings_;
  core::Metrics metrics_;
  ConnectionSupervisor supervisor_{log_, db_, link_, settings_, "PC01", &metrics_};
  Events events_{supervisor_};
};

TEST_F(ConnectionSupervisorTest, ConnectionsAndFailedAttemptsAreCounted) {
  settings_.binding = "127.0.0.1";
  settings_.port = "4001";
  link_.SetRemote("127.0.0.1", "4001");  // as start sets it
  supervisor_.ControleTimer();
  link_.FailAttempt();  // refused: connected event with the error, then closed
  supervisor_.Socketcontrole();
  link_.FailLookup("Host not found");
  supervisor_.Socketcontrole();
  link_.CompleteAttempt();
  link_.GatewayCloses();
  supervisor_.Socketcontrole();
  link_.CompleteAttempt();
  EXPECT_EQ(metrics_.gateway.connections, 2u);
  EXPECT_EQ(metrics_.gateway.failures, 2u);
}

TEST_F(ConnectionSupervisorTest, SocketcontroleLeavesAConnectedSocketAloneAndLogsNothing) {
  Connect();
  log_.Clear();
  supervisor_.Socketcontrole();
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_EQ(link_.connect_calls, 1);
}

TEST_F(ConnectionSupervisorTest, SocketcontroleWhileConnectingOnlyLogsTheLine) {
  StartAttempt();
  supervisor_.Socketcontrole();
  EXPECT_EQ(log_.texts(), std::vector<std::string>{kSupervisionLine});
  EXPECT_EQ(link_.connect_calls, 1);
  EXPECT_EQ(link_.remotes_set.size(), 1u);
}

TEST_F(ConnectionSupervisorTest, SocketcontroleOnAClosedSocketSetsTheConfiguredRemoteThenConnects) {
  supervisor_.Socketcontrole();
  EXPECT_EQ(log_.texts(), std::vector<std::string>{kSupervisionLine});
  EXPECT_EQ(link_.remotes_set, std::vector<std::string>{"127.0.0.1:4001"});
  EXPECT_EQ(link_.attempts, std::vector<std::string>{"127.0.0.1:4001"});
  EXPECT_EQ(link_.state(), gateway::SocketState::kConnecting);
}

TEST_F(ConnectionSupervisorTest, SocketcontroleAfterAClosingSetsTheRemoteAgain) {
  Connect();
  link_.GatewayCloses();  // the socket forgets its remote
  supervisor_.Socketcontrole();
  EXPECT_EQ(link_.attempts, (std::vector<std::string>{"127.0.0.1:4001", "127.0.0.1:4001"}));
}

TEST_F(ConnectionSupervisorTest, SocketcontroleWithoutPortWarnsWithTheSocketLayersText) {
  settings_.port = "";
  settings_.binding = "";
  supervisor_.Socketcontrole();
  ASSERT_EQ(log_.entries().size(), 2u);
  EXPECT_EQ(log_.entries()[0].text, kSupervisionLine);
  EXPECT_EQ(log_.entries()[1].type, EntryType::kWarning);
  EXPECT_EQ(log_.entries()[1].text, "No gateway address or port set");
  EXPECT_TRUE(link_.attempts.empty());
}

TEST_F(ConnectionSupervisorTest, ControleTimerOpensAClosedDatabaseAndConnectsWithTheRemoteSetAtStart) {
  link_.SetRemote("127.0.0.1", "4001");  // as start leaves it
  ASSERT_FALSE(db_.IsOpen());
  supervisor_.ControleTimer();
  EXPECT_TRUE(db_.IsOpen());
  EXPECT_TRUE(dispatch_.db_log().Contains(EntryType::kInformation, "Taxis Dorvek ZOL database gekoppeld"));
  EXPECT_EQ(link_.attempts, std::vector<std::string>{"127.0.0.1:4001"});
  EXPECT_EQ(link_.remotes_set.size(), 1u) << "ControleTimer sets no remote of its own";
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(ConnectionSupervisorTest, ControleTimerLeavesAnOpenDatabaseAsItIs) {
  db_.Open();
  dispatch_.db_log().Clear();
  link_.SetRemote("127.0.0.1", "4001");
  supervisor_.ControleTimer();
  EXPECT_TRUE(dispatch_.db_log().entries().empty());
}

TEST_F(ConnectionSupervisorTest, ControleTimerDatabaseFailureIsAWarningAndTheAttemptStillStarts) {
  db_.FailOpen("Login failed for user 'sa'");
  link_.SetRemote("127.0.0.1", "4001");
  supervisor_.ControleTimer();
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "Login failed for user 'sa'"));
  EXPECT_EQ(link_.attempts.size(), 1u);
}

TEST_F(ConnectionSupervisorTest, ControleTimerWithoutRemoteWarns) {
  supervisor_.ControleTimer();
  EXPECT_EQ(log_.texts(), std::vector<std::string>{"No gateway address or port set"});
  EXPECT_EQ(log_.entries()[0].type, EntryType::kWarning);
}

TEST_F(ConnectionSupervisorTest, ControleTimerLeavesASocketThatIsNotClosed) {
  StartAttempt();
  supervisor_.ControleTimer();
  EXPECT_EQ(link_.connect_calls, 1);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(ConnectionSupervisorTest, ConnectedEventLogsAndPosts4006) {
  Connect();
  EXPECT_EQ(log_.texts(), std::vector<std::string>{"Taxis Dorvek ZOL cliënt werd verbonden"});
  const auto rows = dispatch_.Select("select * from StatusMeldingen");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Int("mel_status"), 4006);
  EXPECT_EQ(rows[0].Int("mel_type"), 1);
  EXPECT_EQ(rows[0].Int("mel_wagen"), 0);
  EXPECT_EQ(rows[0].Text("mel_opmerking"), "Taxis Dorvek ZOL cliënt verbinding gestart op PC01");
}

// A failed attempt is no connection: one warning with the system's reason per outage,
// no notification; the outage ends when a connection is made.
TEST_F(ConnectionSupervisorTest, FailedAttemptsAreOneWarningPerOutageAndNoNotification) {
  const std::string refused =
      "Taxis Dorvek ZOL cliënt kon geen verbinding maken met 127.0.0.1:4001: Connection refused";
  StartAttempt();
  link_.FailAttempt();
  EXPECT_EQ(log_.texts(), std::vector<std::string>{refused});
  EXPECT_EQ(log_.entries()[0].type, EntryType::kWarning);
  StartAttempt();
  link_.FailAttempt(std::errc::timed_out);
  EXPECT_EQ(log_.entries().size(), 1u) << "the same outage";
  EXPECT_TRUE(NotificationCodes().empty());
  EXPECT_EQ(link_.state(), gateway::SocketState::kClosed);

  Connect();
  link_.GatewayCloses();
  StartAttempt();
  link_.FailAttempt();
  EXPECT_EQ(log_.texts(), (std::vector<std::string>{refused, "Taxis Dorvek ZOL cliënt werd verbonden",
                                                    "Taxis Dorvek ZOL cliënt verbinding gestopt", refused}));
  EXPECT_EQ(NotificationCodes(), (std::vector<long long>{4006, 4007}));
}

// The unit's firewall refuses with EPERM, or drops a connect until it times out: the
// warning names the unit's allow list then, for a time-out only outside the local
// networks (where an address of INSTALL's list may be missing).
TEST_F(ConnectionSupervisorTest, AnAddressTheFirewallMayRefuseNamesTheUnitsAllowList) {
  const struct {
    std::string binding;
    std::errc reason;
    std::string hint;
  } cases[] = {
      {"127.0.0.1", std::errc::operation_not_permitted, "Operation not permitted (het adres valt buiten IPAddressAllow="},
      {"198.51.100.1", std::errc::timed_out, "Connection timed out (een adres buiten de lokale netwerken moet in IPAddressAllow="},
      {"10.9.9.2", std::errc::timed_out, "Connection timed out"},
  };
  for (const auto& c : cases) {
    settings_.binding = c.binding;
    log_.Clear();
    Connect();  // a connection ends the last case's outage
    link_.GatewayCloses();
    log_.Clear();
    StartAttempt();
    link_.FailAttempt(c.reason);
    ASSERT_EQ(log_.entries().size(), 1u) << c.binding;
    const std::string text = log_.entries()[0].text;
    EXPECT_NE(text.find(c.binding + ":4001: " + c.hint), std::string::npos) << text;
    EXPECT_EQ(text.find("IPAddressAllow=") != std::string::npos, c.hint.find("IPAddressAllow=") != std::string::npos)
        << text;
  }
}

TEST_F(ConnectionSupervisorTest, GatewayClosingLogsAndPosts4007) {
  Connect();
  log_.Clear();
  link_.GatewayCloses();
  EXPECT_EQ(log_.texts(), std::vector<std::string>{"Taxis Dorvek ZOL cliënt verbinding gestopt"});
  EXPECT_EQ(NotificationCodes(), (std::vector<long long>{4006, 4007}));
  const auto rows = dispatch_.Select("select * from StatusMeldingen where mel_status=4007");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Text("mel_opmerking"), "Taxis Dorvek ZOL cliënt verbinding gestopt op PC01");
  EXPECT_EQ(rows[0].Int("mel_type"), 1);
  EXPECT_EQ(rows[0].Int("mel_wagen"), 0);
}

TEST_F(ConnectionSupervisorTest, NotificationThatCannotBeWrittenIsAWarningAndTheConnectionStands) {
  db_.FailWhenSqlContains("StatusMeldingen", "Database is down");
  Connect();
  EXPECT_EQ(log_.texts(),
            (std::vector<std::string>{"Taxis Dorvek ZOL cliënt werd verbonden", "Database is down"}));
  EXPECT_EQ(log_.entries()[1].type, EntryType::kWarning);
  EXPECT_EQ(link_.state(), gateway::SocketState::kConnected);
  EXPECT_TRUE(NotificationCodes().empty());
}

// ---------------------------------------------------------------------------------
// Supervision in time, through the service and its timer list.

using SupervisionTimingTest = ServiceTest;

TEST_F(SupervisionTimingTest, HttpTimerOf10000MakesTheFirstAttemptAfter10Seconds) {
  WriteConfig({{"HTTPTimer", "10000"}});
  Start();
  Advance(9999ms);
  EXPECT_EQ(link_.connect_calls, 0);
  EXPECT_FALSE(db_.IsOpen());
  Advance(1ms);
  EXPECT_TRUE(db_.IsOpen());
  EXPECT_TRUE(dispatch_.db_log().Contains(EntryType::kInformation, "Taxis Dorvek ZOL database gekoppeld"));
  EXPECT_EQ(link_.attempts, std::vector<std::string>{"127.0.0.1:4001"});
  EXPECT_EQ(link_.remotes_set.size(), 1u) << "only start set the remote";
}

TEST_F(SupervisionTimingTest, FirstSupervisionTickFindsTheEarlyConnectionUpAndLogsNothing) {
  WriteConfig({{"HTTPTimer", "10000"}});
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  const std::size_t before = log_.entries().size();
  Advance(20s);  // to 30 s: the first Socketcontrole tick
  EXPECT_TRUE(TextsFrom(before).empty());
  EXPECT_EQ(link_.connect_calls, 1);
}

TEST_F(SupervisionTimingTest, ControleTimerFiresOnceOnly) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  link_.GatewayCloses();
  link_.SetRemote("127.0.0.1", "4001");  // so only a Socketcontrole tick would connect
  Advance(19999ms);
  EXPECT_EQ(link_.connect_calls, 1);
}

// When the first connections are made, by HTTPTimer.
struct FirstConnectionCase {
  std::string http_timer;
  std::chrono::milliseconds at;
};

class FirstConnectionTime : public ServiceTest, public ::testing::WithParamInterface<FirstConnectionCase> {};

TEST_P(FirstConnectionTime, DatabaseOpensWhenControleTimerFires) {
  WriteConfig({{"HTTPTimer", GetParam().http_timer}});
  Start();
  EXPECT_EQ(service().JvTimerList1().interval(DorvekService::kControleTimer), GetParam().at);
  Advance(GetParam().at - 1ms);
  EXPECT_FALSE(db_.IsOpen());
  Advance(1ms);
  EXPECT_TRUE(db_.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(HttpTimer, FirstConnectionTime,
                         ::testing::Values(FirstConnectionCase{"10000", 10s},
                                           FirstConnectionCase{"$2710", 10s},
                                           FirstConnectionCase{"45000", 45s}, FirstConnectionCase{"", 60s},
                                           FirstConnectionCase{"0", 60s}, FirstConnectionCase{"-5", 60s},
                                           FirstConnectionCase{"soon", 60s}),
                         [](const auto& info) {
                           return test_support::CaseName(info.index, info.param.http_timer);
                         });

// A huge HTTPTimer used to overflow when added to the clock and connect at once.
TEST_F(ServiceTest, HugeHttpTimerIsClampedAndDoesNotConnectAtOnce) {
  WriteConfig({{"HTTPTimer", "9300000000000"}});
  Start();
  EXPECT_EQ(service().JvTimerList1().interval(DorvekService::kControleTimer), 2147483647ms);
  Advance(1min);
  EXPECT_FALSE(db_.IsOpen());
}

// HTTPTimer not positive: ControleTimer keeps its minute, so Socketcontrole makes the
// first attempt at 30 s.
class NonPositiveHttpTimer : public ServiceTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    WriteConfig({{"HTTPTimer", GetParam()}});
    Start();
  }
};

TEST_P(NonPositiveHttpTimer, SocketcontroleMakesTheFirstAttemptAt30Seconds) {
  const std::size_t before = log_.entries().size();
  Advance(29999ms);
  EXPECT_EQ(link_.connect_calls, 0);
  Advance(1ms);
  EXPECT_EQ(TextsFrom(before), std::vector<std::string>{kSupervisionLine});
  EXPECT_EQ(link_.attempts, std::vector<std::string>{"127.0.0.1:4001"});
}

TEST_P(NonPositiveHttpTimer, ControleTimerAt60SecondsLeavesAnAttemptStillInProgress) {
  Advance(30s);
  const std::size_t before = log_.entries().size();
  Advance(30s);
  EXPECT_TRUE(db_.IsOpen()) << "ControleTimer has fired";
  EXPECT_EQ(link_.connect_calls, 1);
  // Only the second supervision tick's line: the attempt is still running.
  EXPECT_EQ(TextsFrom(before), std::vector<std::string>{kSupervisionLine});
}

TEST_P(NonPositiveHttpTimer, ControleTimerAfterAFailedAttemptHasNoRemoteAndWarns) {
  Advance(30s);
  link_.FailAttempt();  // the socket forgets the remote start set
  const std::size_t before = log_.entries().size();
  Advance(30s);
  const auto texts = TextsFrom(before);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "No gateway address or port set");
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "No gateway address or port set"));
  // The supervision tick at the same moment tries again as usual.
  EXPECT_EQ(texts[1], kSupervisionLine);
  EXPECT_EQ(link_.attempts.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(HttpTimer, NonPositiveHttpTimer, ::testing::Values("", "0", "-5"),
                         [](const auto& info) {
                           const std::string& v = info.param;
                           return v.empty()  ? std::string("Empty")
                                  : v == "0" ? std::string("Zero")
                                             : std::string("Negative");
                         });

// Port not positive: the gateway is never set, and every tick reports it.
class UnusablePort : public ServiceTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    WriteConfig({{"Port", GetParam()}});
    Start();
  }
};

TEST_P(UnusablePort, StartSetsNoRemoteAndLogsNoConfiguredEntry) {
  EXPECT_TRUE(link_.remotes_set.empty());
  for (const auto& text : log_.texts()) EXPECT_EQ(text.find("geconfigureerd"), std::string::npos) << text;
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kPakketController));
}

TEST_P(UnusablePort, EverySupervisionTickLogsTheLineAndAWarning) {
  Advance(10s);  // ControleTimer: no remote
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "No gateway address or port set"));
  for (int tick = 1; tick <= 3; ++tick) {
    const std::size_t before = log_.entries().size();
    Advance(tick == 1 ? 20s : 30s);
    EXPECT_EQ(TextsFrom(before),
              (std::vector<std::string>{kSupervisionLine, "No gateway address or port set"}))
        << "tick " << tick;
  }
  EXPECT_TRUE(link_.attempts.empty());
}

INSTANTIATE_TEST_SUITE_P(Port, UnusablePort, ::testing::Values("", "0", "-1"), [](const auto& info) {
  const std::string& v = info.param;
  return v.empty() ? std::string("Empty") : v == "0" ? std::string("Zero") : std::string("Negative");
});

TEST_F(SupervisionTimingTest, HexadecimalPortIsSetAsDecimalText) {
  WriteConfig({{"Port", "$FA1"}});
  Start();
  EXPECT_EQ(link_.remotes_set, std::vector<std::string>{"127.0.0.1:4001"});
  EXPECT_EQ(CountText("Taxis Dorvek ZOL cliënt werd met succes geconfigureerd op 127.0.0.1 via poort 4001"),
            1u);
}

TEST_F(SupervisionTimingTest, GatewayClosingIsFollowedByAReconnectWithin30Seconds) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  Advance(5s);
  link_.GatewayCloses();
  EXPECT_EQ(NotificationCodes(), (std::vector<long long>{4006, 4007}));
  Advance(15s);  // 30 s: the next supervision tick
  EXPECT_EQ(link_.attempts, (std::vector<std::string>{"127.0.0.1:4001", "127.0.0.1:4001"}));
  EXPECT_LE(Elapsed(), 30s);
  link_.CompleteAttempt();
  EXPECT_EQ(NotificationCodes(), (std::vector<long long>{4006, 4007, 4006}));
}

TEST_F(SupervisionTimingTest, GatewayNotListeningIsTriedAgainEvery30SecondsWithOneWarning) {
  Start();
  Advance(10s);
  link_.FailAttempt();
  EXPECT_EQ(CountText("Taxis Dorvek ZOL cliënt kon geen verbinding maken met 127.0.0.1:4001: Connection refused"),
            1u);
  for (int tick = 1; tick <= 3; ++tick) {
    const std::size_t before = log_.entries().size();
    Advance(tick == 1 ? 20s : 30s);
    ASSERT_EQ(link_.state(), gateway::SocketState::kConnecting) << "tick " << tick;
    link_.FailAttempt();
    EXPECT_EQ(TextsFrom(before), std::vector<std::string>{kSupervisionLine}) << "tick " << tick;
  }
  EXPECT_EQ(link_.attempts.size(), 4u);
  EXPECT_TRUE(NotificationCodes().empty());
}

// A host name is looked up off the loop: a lookup still running is an attempt still
// running, and one that fails is a failure to start the attempt.
TEST_F(SupervisionTimingTest, HostNameLookupStillRunningThenFailingIsAWarningWithoutEvents) {
  WriteConfig({{"Binding", "gateway.zol"}});
  link_.attempt_state = gateway::SocketState::kOther;
  Start();
  Advance(10s);  // ControleTimer starts the lookup
  EXPECT_EQ(link_.attempts, std::vector<std::string>{"gateway.zol:4001"});
  std::size_t before = log_.entries().size();
  Advance(20s);  // the supervision tick finds it still running
  EXPECT_EQ(TextsFrom(before), std::vector<std::string>{kSupervisionLine});
  EXPECT_EQ(link_.connect_calls, 1);

  before = log_.entries().size();
  link_.FailLookup("gateway.zol:4001: Name or service not known");
  EXPECT_EQ(TextsFrom(before), std::vector<std::string>{"gateway.zol:4001: Name or service not known"});
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "gateway.zol:4001: Name or service not known"));
  EXPECT_TRUE(NotificationCodes().empty()) << "no connected or closed event";
  EXPECT_EQ(link_.state(), gateway::SocketState::kClosed);

  Advance(30s);  // the next tick starts a new attempt with the configured remote
  EXPECT_EQ(link_.attempts, (std::vector<std::string>{"gateway.zol:4001", "gateway.zol:4001"}));
}

}  // namespace
}  // namespace dorvek::service
