#pragma once
// The fixture of the end-to-end tests that couple the real binary to the gateway
// simulator on loopback and to a SQLite dispatch database made from the schema and the
// sample data, with the service's configuration, its start, its LAN notices and its
// stop; and small helpers for the event-log entries.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/computer_name.h"
#include "support/dispatch_fixture.h"
#include "support/dispatch_reader.h"
#include "support/gateway_simulator_process.h"
#include "support/service_config.h"
#include "support/service_process.h"
#include "support/test_database.h"

namespace dorvek::e2e {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using test_support::DispatchReader;
using test_support::GatewaySimulator;
using test_support::JournalEntry;
using test_support::PollUntil;
using test_support::ReadFileBytes;
using test_support::ServiceOptions;
using test_support::ServiceProcess;
namespace fs = std::filesystem;

inline constexpr const char* kGatewayConnected = "Taxis Dorvek ZOL cliënt werd verbonden";
inline constexpr const char* kGatewayClosed = "Taxis Dorvek ZOL cliënt verbinding gestopt";
inline constexpr const char* kSupervisionFailed =
    "Taxis Dorvek ZOL cliënt controle is mislukt, herstart aangevraagd";
inline constexpr const char* kUnknownVehicle = "Taxis Dorvek ZOL wagen niet gevonden: mux9999";

inline constexpr int kHttpTimerMs = 1500;

inline long CountOf(const std::vector<JournalEntry>& entries, const std::string& text) {
  return std::count_if(entries.begin(), entries.end(),
                       [&](const JournalEntry& e) { return e.text == text; });
}

// Position of the first entry with the text at or after `from`; -1 when there is none.
inline long IndexOf(const std::vector<JournalEntry>& entries, const std::string& text, long from = 0) {
  for (long i = std::max(from, 0L); i < static_cast<long>(entries.size()); ++i)
    if (entries[i].text == text) return i;
  return -1;
}

inline std::string Texts(const std::vector<JournalEntry>& entries) {
  std::string out;
  for (const auto& e : entries) out += "  [" + std::to_string(e.type) + "] " + e.text + "\n";
  return out;
}

class GatewayEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    ASSERT_TRUE(GatewaySimulator::Available()) << "build the gateway_simulator target first";
    base_ = tmp_.path() / "base";
    fs::create_directory(base_);
    database_ = base_ / "dispatch.db";
    test_support::RunSqliteScript(database_, ReadFileBytes(test_support::SqliteSchemaPath()));
    test_support::RunSqliteScript(database_, test_support::SampleDataScript());
    reader_ = std::make_unique<DispatchReader>(database_);
    gateway_ = std::make_unique<GatewaySimulator>(tmp_.path());
    WriteConfig(gateway_->Port());
  }

  void WriteConfig(int port) {
    test_support::WriteServiceConfig(base_, {.http_timer_ms = kHttpTimerMs, .port = port});
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

  std::chrono::milliseconds SinceLaunch() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - launched_);
  }

  // Waits for the next LAN notice and checks it is this one.
  void ExpectNotice(ServiceProcess& service, const std::string& kind) {
    const auto notice = service.WaitForNotice();
    ASSERT_TRUE(notice) << "no LAN notice " << kind << " came";
    const std::regex form(kind + ",[0-9]{14}," + db::ComputerName() + ",ZOLFFFFFFF,#0000#");
    EXPECT_TRUE(std::regex_match(notice->text, form)) << notice->text;
  }

  // Waits until the service has connected `connections` times in all and posted a 4006
  // for each.
  void ExpectConnected(ServiceProcess& service, long connections,
                       std::chrono::milliseconds deadline = test_support::kDefaultWait) {
    ASSERT_TRUE(PollUntil(
        [&] { return CountOf(service.Entries(), kGatewayConnected) >= connections; }, deadline))
        << Texts(service.Entries());
    ASSERT_TRUE(PollUntil([&] {
      const auto codes = reader_->NotificationCodes();
      return std::count(codes.begin(), codes.end(), 4006) >= connections;
    })) << "no notification 4006";
  }

  // SIGTERM: notice 701 and a clean exit.
  void ExpectCleanStop(ServiceProcess& service) {
    service.Signal(SIGTERM);
    ExpectNotice(service, "701");
    EXPECT_EQ(service.WaitForExit(), 0);
  }

  void ExpectConnectionNotifications(std::size_t from, const std::string& verb) {
    const auto rows = reader_->Select(
        "select mel_type, mel_wagen, mel_opmerking from StatusMeldingen order by rowid");
    ASSERT_GT(rows.size(), from);
    EXPECT_EQ(rows[from].Int("mel_type"), 1);
    EXPECT_EQ(rows[from].Int("mel_wagen", -1), 0);
    EXPECT_EQ(rows[from].Text("mel_opmerking"),
              "Taxis Dorvek ZOL cliënt verbinding " + verb + " op " + db::ComputerName());
  }

  test_support::TempDir tmp_;
  fs::path base_;
  fs::path database_;
  std::unique_ptr<DispatchReader> reader_;
  std::unique_ptr<GatewaySimulator> gateway_;
  SteadyClock::time_point launched_;
};

}  // namespace dorvek::e2e
