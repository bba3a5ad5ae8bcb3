#include "service/dorvek_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/build_info.h"
#include "service/config_file.h"
#include "service/service_test_fixture.h"

namespace dorvek::service {
namespace {

namespace fs = std::filesystem;
using core::EntryType;

constexpr char kInstalledEntry[] = "Taxis Dorvek ZOL cliënt werd met succes geïnstalleerd (VmrZOLConfig.xml)";
const std::string kVersionEntry = "Taxis Dorvek ZOL " + VersionText();
constexpr char kStartedEntry[] = "Taxis Dorvek ZOL cliënt werd normaal gestart";
constexpr char kConfiguredEntry[] =
    "Taxis Dorvek ZOL cliënt werd met succes geconfigureerd op 127.0.0.1 via poort 4001";

// ---------------------------------------------------------------------------------
// Start

using ServiceStartTest = ServiceTest;

TEST_F(ServiceStartTest, FirstStartInAnEmptyDirectoryCreatesTheTreeAndBothFiles) {
  Start();
  for (const auto dir : kDataDirectories) EXPECT_TRUE(fs::is_directory(base_dir_ / dir)) << dir;
  const std::string template_text = CrLfJoined(ConfigTemplateLines(base_dir_));
  EXPECT_EQ(ReadWholeFile(base_dir_ / kReadmePath), template_text);
  EXPECT_EQ(ReadWholeFile(base_dir_ / kConfigFileName), template_text);
}

TEST_F(ServiceStartTest, FirstStartLogsInstallationStartAndGatewayInThatOrder) {
  Start();
  EXPECT_EQ(log_.texts(), (std::vector<std::string>{kInstalledEntry, kVersionEntry, kStartedEntry, kConfiguredEntry}));
  for (const auto& e : log_.entries()) {
    EXPECT_EQ(e.source, "DorvekZOL");
    EXPECT_EQ(e.type, EntryType::kInformation);
    EXPECT_EQ(e.category, 1);
    EXPECT_EQ(e.id, 0);
  }
}

TEST_F(ServiceStartTest, StartAnnouncesItselfWithOneEncipheredNotice700) {
  Start();
  ASSERT_EQ(udp_.datagrams.size(), 1u);
  const std::string expected =
      "700," + core::DateTime::FromTimePoint(clock_.Now()).ToCompact() + ",PC01,ZOLFFFFFFF,#0000#";
  EXPECT_EQ(Notices()[0], expected);
  EXPECT_NE(udp_.datagrams[0], expected) << "sent in the clear";
}

TEST_F(ServiceStartTest, StartSetsTheGatewayButConnectsToNothing) {
  Start();
  EXPECT_EQ(link_.remotes_set, std::vector<std::string>{"127.0.0.1:4001"});
  EXPECT_EQ(link_.connect_calls, 0);
  EXPECT_FALSE(db_.IsOpen());
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(0));
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(0));
  EXPECT_TRUE(service().JvTimerList1().active());
}

TEST_F(ServiceStartTest, StartHandsTheSettingsReadToTheDatabaseOnce) {
  WriteConfig({{"SQLServer", "dispatch01"}, {"SQLDatabase", "DORVEK"}});
  Start();
  ASSERT_EQ(configured_.size(), 1u);
  EXPECT_EQ(configured_[0].sql_server, "dispatch01");
  EXPECT_EQ(configured_[0].sql_database, "DORVEK");
  EXPECT_EQ(configured_[0].zol_id, "mux");
}

TEST_F(ServiceStartTest, StartWithEverythingPresentWritesNothingAndLogsNoInstallation) {
  for (const auto dir : kDataDirectories) fs::create_directory(base_dir_ / dir);
  std::ofstream(base_dir_ / kReadmePath) << "a readme of our own";
  WriteConfig({{"Bedragen", "1"}});
  const std::string config_before = ReadWholeFile(base_dir_ / kConfigFileName);

  Start();
  EXPECT_EQ(ReadWholeFile(base_dir_ / kReadmePath), "a readme of our own");
  EXPECT_EQ(ReadWholeFile(base_dir_ / kConfigFileName), config_before);
  EXPECT_EQ(log_.texts(), (std::vector<std::string>{kVersionEntry, kStartedEntry, kConfiguredEntry}));
}

TEST_F(ServiceStartTest, EmptyConfigurationFileIsKeptAndLeavesTheGatewayUnset) {
  std::ofstream(base_dir_ / kConfigFileName).flush();
  Start();
  EXPECT_EQ(ReadWholeFile(base_dir_ / kConfigFileName), "");
  EXPECT_EQ(log_.texts(), (std::vector<std::string>{kVersionEntry, kStartedEntry}));
  EXPECT_TRUE(link_.remotes_set.empty());
  // The file exists, so the packet controller runs and the notice goes out.
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kPakketController));
  EXPECT_EQ(udp_.datagrams.size(), 1u);
}

TEST_F(ServiceStartTest, TemplateThatCannotBeWrittenFailsTheStart) {
  std::ofstream(base_dir_ / "VmrZOLData") << "a file where the data directory belongs";
  EXPECT_THROW(Start(), std::runtime_error);
  EXPECT_EQ(CountText(kStartedEntry), 0u);
  EXPECT_FALSE(service().JvTimerList1().active());
  EXPECT_TRUE(udp_.datagrams.empty());
}

TEST_F(ServiceStartTest, UnreadableConfigurationIsAWarningAndLeavesThePacketControllerOff) {
  fs::create_directory(base_dir_ / kConfigFileName);  // exists, but cannot be read
  Start();
  const auto entries = log_.entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].text, kStartedEntry);
  EXPECT_EQ(entries[2].type, EntryType::kWarning);
  EXPECT_TRUE(entries[2].text.starts_with("Cannot read file")) << entries[2].text;
  EXPECT_TRUE(service().JvTimerList1().active());
  EXPECT_FALSE(service().JvTimerList1().enabled(DorvekService::kPakketController));
  EXPECT_TRUE(link_.remotes_set.empty());
  EXPECT_TRUE(udp_.datagrams.empty());
}

TEST_F(ServiceStartTest, NoticeThatCannotBeSentIsAWarningAndStartGoesOn) {
  udp_.fail = true;
  Start();
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "Network is unreachable"));
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kPakketController));
}

// ---------------------------------------------------------------------------------
// Stop

class ServiceStopTest : public ServiceTest {
 protected:
  void StartConnected() {
    Start();
    Advance(10s);
    link_.CompleteAttempt();
  }
};

TEST_F(ServiceStopTest, StopWhileConnectedPosts4007Before4008) {
  StartConnected();
  service().ServiceStop();
  EXPECT_EQ(NotificationCodes(), (std::vector<long long>{4006, 4007, 4008}));
  const auto last = Notifications().back();
  EXPECT_EQ(last.text, "Taxis Dorvek ZOL cliënt werd normaal gestopt op PC01");
  EXPECT_EQ(last.type, 1);
  EXPECT_EQ(last.vehicle, 0);
  EXPECT_EQ(log_.texts().back(), "Taxis Dorvek ZOL cliënt verbinding gestopt");
}

TEST_F(ServiceStopTest, StopClosesTheDatabaseAndOpensItAgainForTheStopNotification) {
  StartConnected();
  const std::size_t before = dispatch_.db_log().entries().size();
  service().ServiceStop();
  const auto texts = dispatch_.db_log().texts();
  EXPECT_EQ(std::vector<std::string>(texts.begin() + before, texts.end()),
            (std::vector<std::string>{"Taxis Dorvek ZOL database verbinding verbroken",
                                      "Taxis Dorvek ZOL database gekoppeld"}));
}

TEST_F(ServiceStopTest, StopAnnouncesItselfWithNotice701) {
  StartConnected();
  service().ServiceStop();
  ASSERT_EQ(udp_.datagrams.size(), 2u);
  EXPECT_EQ(Notices()[1], NoticeNow(701, "0000"));
}

TEST_F(ServiceStopTest, AfterStopQueuesTimersAndLinkAreGone) {
  StartConnected();
  link_.Deliver(KeepAlivePacket());
  service().outbound_queue()->push_back("waiting");
  service().ServiceStop();
  EXPECT_FALSE(service().inbound_size().has_value());
  EXPECT_FALSE(service().outbound_size().has_value());
  EXPECT_FALSE(service().JvTimerList1().active());
  EXPECT_FALSE(service().JvTimerList1().NextDue().has_value());
  EXPECT_FALSE(service().JvTimerList1().enabled(DorvekService::kPakketController));
  EXPECT_EQ(link_.abandons, 1);
}

TEST_F(ServiceStopTest, DataDeliveredAfterStopIsDropped) {
  StartConnected();
  service().ServiceStop();
  link_.Deliver(KeepAlivePacket());
  link_.Deliver(
      std::string("\x01"
                  "0012\x02half",
                  10));
  Advance(2min);
  EXPECT_FALSE(service().inbound_size().has_value());
  EXPECT_EQ(KeepAlivesHandled(), 0);
  EXPECT_EQ(CountText(kSupervisionLine), 0u);
  EXPECT_TRUE(link_.sent.empty());
}

TEST_F(ServiceStopTest, QueuedPacketsAreNeverHandledAfterStop) {
  Start();
  for (int i = 0; i < 3; ++i) link_.Deliver(KeepAlivePacket());
  service().ServiceStop();
  Advance(10s);
  EXPECT_EQ(KeepAlivesHandled(), 0);
}

TEST_F(ServiceStopTest, StopWhileAnAttemptIsInProgressPostsNo4007AndAbandonsTheLink) {
  Start();
  Advance(10s);
  ASSERT_EQ(link_.state(), gateway::SocketState::kConnecting);
  service().ServiceStop();
  EXPECT_EQ(NotificationCodes(), std::vector<long long>{4008});
  EXPECT_EQ(link_.abandons, 1);
  EXPECT_EQ(link_.state(), gateway::SocketState::kClosed);
  EXPECT_EQ(CountText("Taxis Dorvek ZOL cliënt verbinding gestopt"), 0u);
}

TEST_F(ServiceStopTest, StopNotificationThatCannotBeWrittenIsAWarning) {
  Start();
  db_.FailOpen("Server not found");
  service().ServiceStop();
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "Server not found"));
  EXPECT_TRUE(NotificationCodes().empty());
}

// ---------------------------------------------------------------------------------
// Pause and continue, with the host's suspension of the timer list between them.

class ServicePauseTest : public ServiceTest {
 protected:
  void Pause() {
    service().ServicePause();
    service().JvTimerList1().SetSuspended(true);
  }
  void Continue() {
    service().ServiceContinue();
    service().JvTimerList1().SetSuspended(false);
    service().JvTimerList1().RunDue();
  }
};

TEST_F(ServicePauseTest, PauseAnnouncesItselfWithNotice701AndAnEntry) {
  Start();
  Pause();
  ASSERT_EQ(udp_.datagrams.size(), 2u);
  EXPECT_EQ(Notices()[1], NoticeNow(701, "0000"));
  EXPECT_EQ(log_.texts().back(), "Taxis Dorvek ZOL cliënt werd onderbroken door pauze actie");
}

TEST_F(ServicePauseTest, NoTimerRunsWhileSuspended) {
  Start();
  Pause();
  const std::size_t before = log_.entries().size();
  Advance(2min);
  EXPECT_TRUE(TextsFrom(before).empty());
  EXPECT_EQ(link_.connect_calls, 0);
  EXPECT_FALSE(db_.IsOpen());
}

TEST_F(ServicePauseTest, DataReceivedDuringPauseIsQueuedAndHandledAfterContinue) {
  Start();
  Pause();
  link_.Deliver(KeepAlivePacket());
  Advance(10s);
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(1));
  EXPECT_EQ(KeepAlivesHandled(), 0);

  Continue();
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(0));
  EXPECT_EQ(KeepAlivesHandled(), 1);
}

TEST_F(ServicePauseTest, ConnectionStaysOpenThroughAPause) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  Pause();
  Advance(1min);
  Continue();
  EXPECT_EQ(link_.state(), gateway::SocketState::kConnected);
  EXPECT_EQ(NotificationCodes(), std::vector<long long>{4006});
}

TEST_F(ServicePauseTest, ContinueWithNoPacketProcessedCarriesZero) {
  Start();
  Pause();
  Continue();
  ASSERT_EQ(udp_.datagrams.size(), 3u);
  EXPECT_EQ(Notices()[2], NoticeNow(700, "0"));
  EXPECT_EQ(log_.texts().back(), "Taxis Dorvek ZOL cliënt werd na een pauze gestart");
}

TEST_F(ServicePauseTest, ContinueCarriesTheTaxiNumberOfTheLastPacketsVehicle) {
  Start();
  link_.Deliver(KeepAlivePacket("1", "4711"));  // vehicle 17
  Advance(1s);
  ASSERT_EQ(KeepAlivesHandled(), 1);
  Pause();
  Continue();
  EXPECT_EQ(Notices().back(), NoticeNow(700, "17"));
}

TEST_F(ServicePauseTest, ContinueAfterAnUnknownVehicleCarriesZero) {
  Start();
  link_.Deliver(KeepAlivePacket("1", "4711"));
  link_.Deliver(KeepAlivePacket("2", "9999"));  // no such terminal
  Advance(2s);
  ASSERT_TRUE(log_.Contains(EntryType::kWarning, "Taxis Dorvek ZOL wagen niet gevonden: mux9999"));
  Pause();
  Continue();
  EXPECT_EQ(Notices().back(), NoticeNow(700, "0"));
}

// ---------------------------------------------------------------------------------
// Shutdown

using ServiceShutdownTest = ServiceTest;

TEST_F(ServiceShutdownTest, ShutdownAnnouncesAndLogsButPostsNoNotification) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  service().ServiceShutdown();
  EXPECT_EQ(Notices().back(), NoticeNow(701, "0000"));
  EXPECT_EQ(log_.texts().back(), "Taxis Dorvek ZOL cliënt werd gestopt wegens het afsluiten van de computer");
  EXPECT_EQ(NotificationCodes(), std::vector<long long>{4006});
  EXPECT_EQ(dispatch_.Count("StatusMeldingen", "mel_status=4008"), 0);
}

TEST_F(ServiceShutdownTest, NothingFiresAfterShutdown) {
  Start();
  link_.Deliver(KeepAlivePacket());
  service().ServiceShutdown();
  const std::size_t before = log_.entries().size();
  Advance(2min);
  EXPECT_TRUE(TextsFrom(before).empty());
  EXPECT_EQ(KeepAlivesHandled(), 0);
}

// ---------------------------------------------------------------------------------
// The host's catch around every timer handler

using TimerFailureTest = ServiceTest;

TEST_F(TimerFailureTest, FailureEscapingATimerIsTheHostsErrorEntryAndTheEventFiresOn) {
  Start();
  TimerList& timers = service().JvTimerList1();
  const int extra = timers.Add("Extra", 1000ms, true, false,
                               [] { throw std::runtime_error("Onverwachte fout in de timer"); });
  timers.SetEnabled(extra, true);

  Advance(1s);
  auto entries = HostEntries();
  ASSERT_EQ(entries.size(), 1u);
  ExpectHostError(entries[0], "Onverwachte fout in de timer");
  Advance(1s);
  EXPECT_EQ(HostEntries().size(), 2u);
}

// ---------------------------------------------------------------------------------
// PakketController: one inbound packet per second

using PakketControllerTest = ServiceTest;

TEST_F(PakketControllerTest, DisabledBeforeStartEnabledByStart) {
  EXPECT_FALSE(service().JvTimerList1().enabled(DorvekService::kPakketController));
  EXPECT_FALSE(service().inbound_size().has_value());
  Start();
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kPakketController));
}

TEST_F(PakketControllerTest, FivePacketsInFiveReadsAreHandledOnePerSecondInArrivalOrder) {
  Start();
  const std::vector<std::string> units = {"4711", "4712", "4713", "4711", "4712"};
  for (int i = 0; i < 5; ++i) link_.Deliver(KeepAlivePacket(std::to_string(i + 1), units[i]));
  ASSERT_EQ(service().inbound_size(), std::optional<std::size_t>(5));

  for (std::size_t second = 1; second <= 5; ++second) {
    Advance(999ms);
    EXPECT_EQ(HandledTags().size(), second - 1) << "before second " << second;
    Advance(1ms);
    EXPECT_EQ(HandledTags().size(), second) << "at second " << second;
    EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(5 - second));
  }
  EXPECT_EQ(HandledTags(), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(KeepAlivesHandled(), 5);
}

TEST_F(PakketControllerTest, FailedHandlingLeavesTheTimerRunningForTheNextPacket) {
  Start();
  link_.Deliver(KeepAlivePacket("1"));
  link_.Deliver(KeepAlivePacket("2"));
  db_.FailWhenSqlContains("wag_imei", "Verbinding met de server verbroken");
  Advance(1s);
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "Verbinding met de server verbroken"));
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(1)) << "the failed packet is not retried";
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kPakketController));

  db_.ClearFailures();
  Advance(1s);
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(0));
  EXPECT_EQ(KeepAlivesHandled(), 1);
  EXPECT_EQ(HandledTags(), (std::vector<std::string>{"1", "2"}));
}

TEST_F(PakketControllerTest, PacketsQueuedBeforeAClosingAreHandledAfterIt) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  link_.Deliver(KeepAlivePacket("1"));
  link_.Deliver(KeepAlivePacket("2"));
  link_.GatewayCloses();
  Advance(2s);
  EXPECT_EQ(HandledTags(), (std::vector<std::string>{"1", "2"}));
}

TEST_F(PakketControllerTest, HalfPacketOfAClosedConnectionIsNotJoinedToTheNextStream) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  const std::string packet = KeepAlivePacket("1");
  link_.Deliver(packet.substr(0, 12));
  link_.GatewayCloses();
  Advance(20s);  // the supervision tick reconnects
  link_.CompleteAttempt();
  link_.Deliver(packet.substr(12));  // the rest, without its start, on the new connection
  link_.Deliver(KeepAlivePacket("2"));
  Advance(3s);
  EXPECT_EQ(HandledTags(), std::vector<std::string>{"2"});
}

// ---------------------------------------------------------------------------------
// Send pump: UitgaandVerzenden, every 5 s, one packet while connected

using SendPumpServiceTest = ServiceTest;

TEST_F(SendPumpServiceTest, PacketsWaitWhileTheLinkIsDownThenLeaveOnePerFiringInOrder) {
  Start();
  for (const char* p : {"een", "twee", "drie"}) service().outbound_queue()->push_back(p);
  Advance(12s);  // two firings; the first attempt (at 10 s) is still in progress
  EXPECT_TRUE(link_.sent.empty());
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(3));

  link_.CompleteAttempt();
  Advance(2999ms);
  EXPECT_TRUE(link_.sent.empty()) << "nothing leaves between firings";
  Advance(1ms);  // 15 s
  EXPECT_EQ(link_.sent, std::vector<std::string>{"een"});
  Advance(5s);
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een", "twee"}));
  Advance(5s);
  EXPECT_EQ(link_.sent, (std::vector<std::string>{"een", "twee", "drie"}));
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(0));
  Advance(10s);
  EXPECT_EQ(link_.sent.size(), 3u);
}

TEST_F(SendPumpServiceTest, PacketWhoseSendFailsStaysAtTheHeadForTheNextFiring) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  service().outbound_queue()->push_back("een");
  service().outbound_queue()->push_back("twee");
  link_.fail_sends = 1;
  Advance(5s);  // 15 s
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "send failed"));
  EXPECT_TRUE(link_.sent.empty());
  Advance(5s);
  EXPECT_EQ(link_.sent, std::vector<std::string>{"een"});
}

// Writes end later: a write still in flight at a firing starts nothing, and one that
// does not complete in time is the pump's failure and closes the connection.
TEST_F(SendPumpServiceTest, WriteInFlightHoldsThePumpAndALateWriteClosesTheConnection) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  link_.writes = test_support::FakeWrites::kHeld;
  service().outbound_queue()->push_back("een");
  service().outbound_queue()->push_back("twee");
  Advance(5s);  // 15 s
  EXPECT_EQ(link_.in_flight(), "een");
  Advance(5s);  // 20 s: still in flight
  EXPECT_EQ(link_.writes_started, 1);
  link_.CompleteWrite();
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(1));
  Advance(5s);  // 25 s
  EXPECT_EQ(link_.in_flight(), "twee");

  const std::size_t before = log_.entries().size();
  link_.FailWrite("Gateway write not completed within 10 s");
  EXPECT_EQ(TextsFrom(before), (std::vector<std::string>{"Gateway write not completed within 10 s",
                                                         "Taxis Dorvek ZOL cliënt verbinding gestopt"}));
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "Gateway write not completed within 10 s"));
  EXPECT_EQ(NotificationCodes(), (std::vector<long long>{4006, 4007}));
  EXPECT_EQ(*service().outbound_queue(), (gateway::PacketQueue{"twee"}));

  Advance(5s);  // 30 s: supervision reopens the connection
  EXPECT_EQ(link_.attempts.size(), 2u);
  link_.CompleteAttempt();
  Advance(5s);  // 35 s: the packet goes again
  EXPECT_EQ(link_.in_flight(), "twee");
}

TEST_F(SendPumpServiceTest, StopWithAWriteInFlightFailsItBefore4007AndNothingArrivesLater) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  link_.writes = test_support::FakeWrites::kHeld;
  service().outbound_queue()->push_back("een");
  Advance(5s);
  ASSERT_TRUE(link_.sending());
  const std::size_t before = log_.entries().size();
  service().ServiceStop();
  const auto texts = TextsFrom(before);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], "closed before the write completed");
  EXPECT_EQ(texts[1], "Taxis Dorvek ZOL cliënt verbinding gestopt");
  EXPECT_EQ(NotificationCodes(), (std::vector<long long>{4006, 4007, 4008}));
  EXPECT_FALSE(link_.sending());
}

// ---------------------------------------------------------------------------------
// UitgaandeBerichten: the message box, every 5 s, one row while connected

class MessageBoxServiceTest : public ServiceTest {
 protected:
  void AddRow(const std::string& datum, int actie, int wag_id, int pla_id = 0) {
    dispatch_.file().Run("insert into berichtenbox (bbo_soort, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_pla_id,"
                         " bbo_actie) values (6, " + std::to_string(wag_id) + ", '" + datum + "', 0, " +
                         std::to_string(pla_id) + ", " + std::to_string(actie) + ")");
  }
  long long Waiting() { return dispatch_.Count("berichtenbox", "bbo_soort=6 and bbo_verwerkt=0"); }
};

TEST_F(MessageBoxServiceTest, RowsWaitForTheGatewayThenBecomePacketsOnePerFiringAndLeaveThroughThePump) {
  AddRow("2026-12-08 10:00:02", 8, 2);
  AddRow("2026-12-08 10:00:01", 3, 1);
  Start();
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kUitgaandeBerichten));
  Advance(10s);  // two firings; the first attempt (at 10 s) is still in progress
  EXPECT_EQ(Waiting(), 2);
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(0));

  link_.CompleteAttempt();
  Advance(5s);  // 15 s
  EXPECT_EQ(Waiting(), 1);
  Advance(5s);  // 20 s
  EXPECT_EQ(Waiting(), 0);
  Advance(5s);
  ASSERT_EQ(link_.sent.size(), 2u);
  EXPECT_NE(link_.sent[0].find("MACRO\x03NEW\x03" "60\x03mux4711\x03" "0\x03"), std::string::npos);
  EXPECT_NE(link_.sent[1].find("MACRO\x03NEW\x03" "60\x03mux4712\x03" "1\x03"), std::string::npos);
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kUitgaandeBerichten));
}

TEST_F(MessageBoxServiceTest, BedragenZeroHidesTheFareOfRcRides) {
  dispatch_.file().Run("update planning set pla_rc=1, pla_bedrag=12.5 where pla_id=101");
  AddRow("2026-12-08 10:00:00", 1, 1, 101);
  Start();  // the template's Bedragen is "0"
  Advance(10s);
  link_.CompleteAttempt();
  Advance(10s);
  ASSERT_EQ(link_.sent.size(), 1u);
  EXPECT_NE(link_.sent[0].find("\x03" "12\x03" "00.00\x03"), std::string::npos);
}

TEST_F(MessageBoxServiceTest, FailureIsTheHostsErrorEntryAndTheNextFiringComesFiveSecondsLater) {
  AddRow("2026-12-08 10:00:00", 3, 1);
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  db_.FailWhenSqlContains("berichtenbox", "Ongeldige objectnaam 'berichtenbox'");
  Advance(5s);
  auto entries = HostEntries();
  ASSERT_EQ(entries.size(), 1u);
  ExpectHostError(entries[0], "Ongeldige objectnaam 'berichtenbox'");
  EXPECT_TRUE(service().JvTimerList1().enabled(DorvekService::kUitgaandeBerichten));
  Advance(4999ms);
  EXPECT_EQ(HostEntries().size(), 1u);
  Advance(1ms);
  EXPECT_EQ(HostEntries().size(), 2u);

  db_.ClearFailures();
  Advance(10s);
  EXPECT_EQ(Waiting(), 0);
  EXPECT_EQ(link_.sent.size(), 1u);
}

TEST_F(MessageBoxServiceTest, DatabaseOutageIsOneHostEntryAndTheRowsWaitInTheTable) {
  AddRow("2026-12-08 10:00:01", 3, 1);
  AddRow("2026-12-08 10:00:02", 8, 2);
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  for (int outage = 1; outage <= 2; ++outage) {
    dispatch_.db().Close();
    db_.FailOpen("could not connect to server " + std::to_string(outage));
    Advance(30s);  // six firings
    const auto entries = HostEntries();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(outage));
    ExpectHostError(entries.back(), "could not connect to server " + std::to_string(outage));
    db_.ClearFailures();
    Advance(5s);
  }
  Advance(10s);
  EXPECT_EQ(Waiting(), 0);
  EXPECT_EQ(link_.sent.size(), 2u);
}

// ---------------------------------------------------------------------------------
// Both queues in the store: what they hold at a stop is there after the next start

class QueueStoreServiceTest : public MessageBoxServiceTest {
 protected:
  static constexpr const char* kLoaded = "Taxis Dorvek ZOL wachtrijen geladen: ";
  void Restart() {
    service().ServiceStop();
    Start();
  }
  std::size_t LoadEntries() const {
    std::size_t n = 0;
    for (const auto& text : log_.texts()) n += text.starts_with(kLoaded);
    return n;
  }
};

TEST_F(QueueStoreServiceTest, PacketsQueuedAtAStopAreHandledAfterTheNextStartOnce) {
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  link_.Deliver(KeepAlivePacket("1") + KeepAlivePacket("2"));
  link_.Deliver(KeepAlivePacket("3"));
  service().ServiceStop();  // before the controller's next tick
  EXPECT_EQ(KeepAlivesHandled(), 0);

  Start();
  EXPECT_TRUE(log_.Contains(EntryType::kInformation, std::string(kLoaded) + "3 inkomende en 0 uitgaande pakketten"));
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(3));
  Advance(5s);
  EXPECT_EQ(HandledTags(), (std::vector<std::string>{"1", "2", "3"}));
  Restart();
  Advance(5s);
  EXPECT_EQ(KeepAlivesHandled(), 3);
  EXPECT_EQ(LoadEntries(), 1u);
}

TEST_F(QueueStoreServiceTest, OffersQueuedAtAStopAreSentAfterTheNextStartOnce) {
  AddRow("2026-12-08 10:00:01", 3, 1);
  AddRow("2026-12-08 10:00:02", 8, 2);
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  link_.writes = test_support::FakeWrites::kHeld;
  Advance(10s);  // both rows queued and marked; the first packet's write never ends
  EXPECT_EQ(Waiting(), 0);
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(2));
  service().ServiceStop();

  link_.writes = test_support::FakeWrites::kCompleteAtOnce;
  Start();
  EXPECT_TRUE(log_.Contains(EntryType::kInformation, std::string(kLoaded) + "0 inkomende en 2 uitgaande pakketten"));
  Advance(10s);
  link_.CompleteAttempt();
  Advance(10s);
  ASSERT_EQ(link_.sent.size(), 2u);
  EXPECT_NE(link_.sent[0].find("mux4711"), std::string::npos);
  EXPECT_NE(link_.sent[1].find("mux4712"), std::string::npos);
  Restart();
  Advance(10s);
  link_.CompleteAttempt();
  Advance(10s);
  EXPECT_EQ(link_.sent.size(), 2u);
  EXPECT_EQ(LoadEntries(), 1u);
}

// What waits in the queue file across a stop: offers that have waited too long are not
// sent, rows set aside stay aside, and while the file cannot be written nothing new is
// taken on trust.
TEST_F(QueueStoreServiceTest, AfterALongStopStalePacketsAreNotSentAndRowsSetAsideStayAside) {
  WriteConfig();
  AddRow("2026-12-08 10:00:00", 5, 1);  // an action not in the table: set aside
  AddRow("2026-12-08 10:00:01", 3, 1);
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  link_.writes = test_support::FakeWrites::kHeld;
  Advance(5s);
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(1));
  EXPECT_EQ(service().message_box().set_aside(), 1u);
  service().ServiceStop();

  clock_.Advance(11min);
  link_.writes = test_support::FakeWrites::kCompleteAtOnce;
  const std::size_t before = log_.entries().size();
  Start();
  EXPECT_EQ(service().outbound_size(), std::optional<std::size_t>(0));
  EXPECT_TRUE(log_.Contains(EntryType::kWarning,
                            "Taxis Dorvek ZOL terminal reset voor mux4711 niet verzonden: 660 s oud, ouder dan de "
                            "600 s van MaxLeeftijdUitgaand"));
  EXPECT_EQ(service().message_box().set_aside(), 1u) << "remembered, not walked through again";
  Advance(10s);
  link_.CompleteAttempt();
  Advance(10s);
  EXPECT_TRUE(link_.sent.empty());
  std::size_t warnings = 0;
  for (std::size_t i = before; i < log_.entries().size(); ++i)
    warnings += log_.entries()[i].type == EntryType::kWarning;
  EXPECT_EQ(warnings, 1u);
}

TEST_F(QueueStoreServiceTest, AFullInboundQueueStopsTheReadingUntilThereIsRoomAgain) {
  WriteConfig();
  std::ofstream(base_dir_ / kConfigFileName, std::ios::app) << "<MaxInkomendePakketten>3</MaxInkomendePakketten>\r\n";
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  service().ServicePause();
  service().JvTimerList1().SetSuspended(true);
  for (int i = 0; i < 5; ++i) link_.Deliver(KeepAlivePacket(std::to_string(i)));
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(3)) << "the rest waits in TCP";
  EXPECT_TRUE(link_.reading_paused());
  EXPECT_EQ(CountText("Taxis Dorvek ZOL inkomende wachtrij vol (3 pakketten, MaxInkomendePakketten): de gateway "
                      "wordt niet meer gelezen tot er weer plaats is"),
            1u);
  service().JvTimerList1().SetSuspended(false);
  Advance(10s);
  EXPECT_FALSE(link_.reading_paused());
  EXPECT_EQ(KeepAlivesHandled(), 5) << "nothing dropped";
}

TEST_F(QueueStoreServiceTest, WhileTheQueueFileCannotBeWrittenNothingIsTakenAndTheSocketIsNotRead) {
  test_support::FailingSqliteVfs vfs("dorvek-service-failing");
  QueueStore::Options options;
  options.vfs = vfs.name();
  Rebuild(options);
  Start();
  Advance(10s);
  link_.CompleteAttempt();
  vfs.FailWrites(true);
  link_.Deliver(KeepAlivePacket("1"));
  EXPECT_FALSE(service().reading());
  Advance(5s);
  EXPECT_EQ(KeepAlivesHandled(), 0) << "a packet not on disk is not handled";
  vfs.FailWrites(false);
  Advance(2s);
  EXPECT_TRUE(service().reading());
  EXPECT_EQ(KeepAlivesHandled(), 1);
  // A crash now: the new service finds nothing left to handle.
  Rebuild();
  Start();
  EXPECT_EQ(service().inbound_size(), std::optional<std::size_t>(0));
}

// ---------------------------------------------------------------------------------
// Registration handlers

using InstallationTest = ServiceTest;

TEST_F(InstallationTest, AfterInstallWritesTheInstallationReadmeAndTheTemplate) {
  service().ServiceAfterInstall();
  for (const auto dir : kDataDirectories) EXPECT_TRUE(fs::is_directory(base_dir_ / dir)) << dir;
  EXPECT_EQ(ReadWholeFile(base_dir_ / kReadmePath), CrLfJoined(ReadmeInstallLines(base_dir_)));
  EXPECT_EQ(ReadWholeFile(base_dir_ / kConfigFileName), CrLfJoined(ConfigTemplateLines(base_dir_)));
  EXPECT_EQ(log_.texts(), std::vector<std::string>{"Taxis Dorvek ZOL cliënt werd met succes geïnstalleerd"});
  EXPECT_FALSE(service().JvTimerList1().active());
  EXPECT_TRUE(udp_.datagrams.empty());
}

TEST_F(InstallationTest, AfterInstallKeepsFilesThatExist) {
  fs::create_directories(base_dir_ / "VmrZOLData/Config");
  std::ofstream(base_dir_ / kReadmePath) << "own readme";
  std::ofstream(base_dir_ / kConfigFileName) << "own config";
  service().ServiceAfterInstall();
  EXPECT_EQ(ReadWholeFile(base_dir_ / kReadmePath), "own readme");
  EXPECT_EQ(ReadWholeFile(base_dir_ / kConfigFileName), "own config");
}

TEST_F(InstallationTest, BeforeUninstallLogsAndLeavesTheFilesInPlace) {
  service().ServiceAfterInstall();
  log_.Clear();
  service().ServiceBeforeUninstall();
  EXPECT_EQ(log_.texts(),
            std::vector<std::string>{"De installatie van Taxis Dorvek ZOL cliënt werd verwijderd"});
  EXPECT_TRUE(fs::exists(base_dir_ / kReadmePath));
  EXPECT_TRUE(fs::exists(base_dir_ / kConfigFileName));
}

}  // namespace
}  // namespace dorvek::service
