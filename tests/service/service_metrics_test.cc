// PakkettenPerTick, the backlog and the metrics file as the service drives them, on a
// virtual clock.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "service/metrics_file.h"
#include "service/service_test_fixture.h"

namespace dorvek::service {
namespace {

class ServiceMetricsTest : public ServiceTest {
 protected:
  // The template with PakkettenPerTick added (it is not in the template).
  void WriteConfigPerTick(const std::string& per_tick) {
    std::vector<std::string> lines = ConfigTemplateLines(base_dir_);
    lines.insert(lines.begin() + 2, "<PakkettenPerTick>" + per_tick + "</PakkettenPerTick>");
    std::ofstream(base_dir_ / kConfigFileName, std::ios::binary) << CrLfJoined(lines);
  }
  void DeliverKeepAlives(int count, const std::string& unit = "4711") {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += KeepAlivePacket(std::to_string(100 + i), unit);
    link_.Deliver(bytes);
  }
  std::string MetricsFile() const { return ReadWholeFile(base_dir_ / kMetricsFilePath); }
  static void ExpectLines(const std::string& text, const std::vector<std::string>& lines) {
    for (const auto& line : lines) EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << " in\n" << text;
  }
};

TEST_F(ServiceMetricsTest, PakkettenPerTickHandlesThatManyPacketsATick) {
  WriteConfigPerTick("3");
  Start();
  DeliverKeepAlives(7);
  Advance(1000ms);
  EXPECT_EQ(HandledTags().size(), 3u);
  Advance(1000ms);
  EXPECT_EQ(HandledTags().size(), 6u);
  Advance(1000ms);
  EXPECT_EQ(HandledTags(), (std::vector<std::string>{"100", "101", "102", "103", "104", "105", "106"}));
  EXPECT_EQ(KeepAlivesHandled(), 7);
}

TEST_F(ServiceMetricsTest, WithoutTheElementOnePacketATick) {
  Start();
  DeliverKeepAlives(3);
  Advance(1000ms);
  EXPECT_EQ(HandledTags().size(), 1u);
}

// A database that takes 600 ms of the virtual clock for each statement.
class SlowDatabase : public test_support::FailingDatabase {
 public:
  SlowDatabase(db::Database& inner, core::ManualClock& clock) : FailingDatabase(inner), clock_(clock) {}
  void Execute(std::string_view sql, const db::Params& params = {}) override {
    clock_.Advance(600ms);
    FailingDatabase::Execute(sql, params);
  }

 private:
  core::ManualClock& clock_;
};

TEST_F(ServiceMetricsTest, ATickOverItsBudgetGoesOnAfterTheLoopHadItsTurn) {
  WriteConfigPerTick("3");
  SlowDatabase slow(dispatch_.db(), clock_);
  DorvekService service(ServiceParts{log_, clock_, slow, udp_, link_, base_dir_, "PC01", "dorvekzol", {}});
  link_.set_events(&service);
  service.ServiceStart();
  link_.Deliver(KeepAlivePacket("1") + KeepAlivePacket("2") + KeepAlivePacket("3") + KeepAlivePacket("4"));
  clock_.Advance(1000ms);
  service.JvTimerList1().RunDue();
  // 600 ms after the first the second is taken; 1,200 ms after, the tick gives way.
  EXPECT_EQ(service.inbound_size(), std::optional<std::size_t>(2));
  // It goes on 1 ms later with the third of its three; the fourth waits a whole interval.
  EXPECT_EQ(service.JvTimerList1().NextDue(), clock_.Steady() + 1ms);
  clock_.Advance(1ms);
  service.JvTimerList1().RunDue();
  EXPECT_EQ(service.inbound_size(), std::optional<std::size_t>(1));
  EXPECT_EQ(service.JvTimerList1().interval(DorvekService::kPakketController), 1000ms);
  clock_.Advance(999ms);
  service.JvTimerList1().RunDue();
  EXPECT_EQ(service.inbound_size(), std::optional<std::size_t>(1));
  clock_.Advance(1ms);
  service.JvTimerList1().RunDue();
  EXPECT_EQ(service.inbound_size(), std::optional<std::size_t>(0));
  service.ServiceStop();
  link_.set_events(service_.get());
}

TEST_F(ServiceMetricsTest, BacklogOverAMinuteWarnsOnceAndItsEndIsSaid) {
  Start();
  DeliverKeepAlives(70);
  ASSERT_EQ(CountText("Taxis Dorvek ZOL achterstand: 70 pakketten wachten, ongeveer 70 s werk bij het huidige "
                      "tempo (PakkettenPerTick 1)"),
            1u);
  Advance(39s);
  EXPECT_EQ(service().backlog().waiting(), 31u);
  DeliverKeepAlives(1);  // still behind: no second warning
  Advance(2s);
  EXPECT_EQ(CountText("Taxis Dorvek ZOL achterstand ingehaald: 30 pakketten wachten, ongeveer 30 s werk"), 1u);
  std::size_t warnings = 0;
  for (const auto& e : log_.entries()) warnings += e.type == core::EntryType::kWarning;
  EXPECT_EQ(warnings, 1u);
}

TEST_F(ServiceMetricsTest, FiguresAreWrittenEvery15SecondsWhilePausedAndAtStop) {
  WriteConfigPerTick("5");
  Start();
  ExpectLines(MetricsFile(), {"dorvekzol_running 1", "dorvekzol_packets_received_total 0"});
  Advance(10s);  // ControleTimer: the database opens and the gateway attempt starts
  link_.CompleteAttempt();
  DeliverKeepAlives(3);
  DeliverKeepAlives(1, "9999");
  const std::string delivered = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(clock_.Now().time_since_epoch()).count());
  dispatch_.file().Run(
      "insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, bbo_verwerkt, bbo_actie) "
      "values (6, 1, 1, '2026-12-08 10:00:00', 0, 3)");
  Advance(5s);  // 15 s: the message box, the send pump, then the figures

  ExpectLines(MetricsFile(), {"dorvekzol_running 1", "dorvekzol_paused 0", "dorvekzol_inbound_queue_packets 0",
                              "dorvekzol_packets_received_total 4",
                              "dorvekzol_packets_handled_total{family=\"packet_controller\"} 4",
                              "dorvekzol_packets_handled_total{family=\"keep_alive\"} 3",
                              "dorvekzol_packets_unknown_vehicle_total 1", "dorvekzol_packets_sent_total 1",
                              "dorvekzol_message_box_rows_handled_total 1", "dorvekzol_database_connected 1",
                              "dorvekzol_gateway_connected 1", "dorvekzol_gateway_reconnects_total 0",
                              "dorvekzol_packets_per_tick 5",
                              "dorvekzol_gateway_last_packet_time_seconds " + delivered});

  service().ServicePause();
  service().JvTimerList1().SetSuspended(true);
  DeliverKeepAlives(2);
  Advance(15s);
  ExpectLines(MetricsFile(), {"dorvekzol_paused 1", "dorvekzol_inbound_queue_packets 2",
                              "dorvekzol_inbound_backlog_age_seconds 15", "dorvekzol_packets_received_total 6"});

  service().JvTimerList1().SetSuspended(false);
  service().ServiceContinue();
  service().ServiceStop();
  // The stop closes the database and opens it again for its last notification: no reconnect.
  ExpectLines(MetricsFile(), {"dorvekzol_running 0", "dorvekzol_inbound_queue_packets 0",
                              "dorvekzol_gateway_connected 0", "dorvekzol_database_reconnects_total 0"});
}

TEST_F(ServiceMetricsTest, AFileThatCannotBeWrittenIsOneWarning) {
  std::filesystem::create_directories(base_dir_ / "VmrZOLData");
  std::ofstream(base_dir_ / "VmrZOLData/metrics") << "a file where the directory belongs";
  Start();
  Advance(45s);  // the start's write and three more
  std::size_t warnings = 0;
  for (const auto& e : log_.entries())
    warnings += e.type == core::EntryType::kWarning && e.text.find("dorvekzol.prom") != std::string::npos;
  EXPECT_EQ(warnings, 1u);
}

}  // namespace
}  // namespace dorvek::service
