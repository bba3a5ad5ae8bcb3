#pragma once
// The service as its host drives it, on a virtual clock: the gateway link and the LAN
// sender are fakes the test steers, the dispatch database is a real SQLite file (behind
// a FailingDatabase, so a test can make it fail), and the base directory is fresh.
// Time only moves in Advance, which runs the timer list exactly as the event loop does.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/memory_event_log.h"
#include "db/lan_notice.h"
#include "service/config_file.h"
#include "service/dorvek_service.h"
#include "support/dispatch_fixture.h"
#include "support/failing_database.h"
#include "support/failing_sqlite_vfs.h"
#include "support/schema_statements.h"
#include "support/fake_gateway_link.h"
#include "support/fake_udp_sender.h"

namespace dorvek::service {

using namespace std::chrono_literals;

inline constexpr char kSupervisionLine[] =
    "Taxis Dorvek ZOL cliënt controle is mislukt, herstart aangevraagd";

// A keep-alive packet of the terminal with the given unit; the tag tells packets apart
// in the field lines the controller logs ("TAG=<tag>").
inline std::string KeepAlivePacket(const std::string& tag = "123", const std::string& unit = "4711") {
  // SOH, length, STX, then TAG TYPE STATUS TIME UNIT NUMBER SIZE each ended by ETX; EOT
  // and the trailer close it.
  const std::string etx = "\x03";
  return std::string("\x01") + "0037" + "\x02" + tag + etx + "NOOP" + etx + "NEW" + etx + etx + unit + etx +
         "0" + etx + "0" + etx + "\x04" + "XCRC";
}

inline std::string CrLfJoined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

inline std::string ReadWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ServiceTest : public ::testing::Test {
 protected:
  struct Notification {
    long long status = 0;
    long long type = 0;
    long long vehicle = 0;
    std::string text;
  };

  ServiceTest() : base_dir_(MakeTempDir()), db_(dispatch_.db()) { Rebuild(); }
  // A new service object on the same files, as after a crash of the process: the old
  // one goes without its stop.
  void Rebuild(const QueueStore::Options& store = {}) {
    link_.set_events(nullptr);
    service_.reset();
    service_ = std::make_unique<DorvekService>(
        ServiceParts{log_, clock_, db_, udp_, link_, base_dir_, "PC01", "dorvekzol",
                     [this](const Settings& s) { configured_.push_back(s); }, nullptr, store});
    link_.set_events(service_.get());
  }
  ~ServiceTest() override {
    link_.set_events(nullptr);
    service_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(base_dir_, ignored);
  }

  // Writes VmrZOLConfig.xml: the template, with the named elements' values replaced.
  void WriteConfig(const std::map<std::string, std::string>& values = {}) {
    std::vector<std::string> lines = ConfigTemplateLines(base_dir_);
    for (const auto& [name, value] : values) {
      bool found = false;
      for (auto& line : lines) {
        if (line.starts_with("<" + name + ">")) {
          line = "<" + name + ">" + value + "</" + name + ">";
          found = true;
        }
      }
      if (!found) ADD_FAILURE() << "no element " << name << " in the template";
    }
    std::ofstream(base_dir_ / kConfigFileName, std::ios::binary) << CrLfJoined(lines);
  }

  void Start() { service_->ServiceStart(); }

  // Moves the virtual clock on by d, running the timer list at every moment an event
  // falls due on the way, and once more at the end.
  void Advance(std::chrono::milliseconds d) {
    TimerList& timers = service_->JvTimerList1();
    const auto end = clock_.Steady() + d;
    for (int step = 0; step < 1000000; ++step) {
      const auto now = clock_.Steady();
      const auto due = timers.NextDue();
      if (!due || *due > end) {
        clock_.Advance(std::chrono::ceil<std::chrono::milliseconds>(end - now));
        timers.RunDue();
        return;
      }
      if (*due > now) clock_.Advance(std::chrono::ceil<std::chrono::milliseconds>(*due - now));
      timers.RunDue();
    }
    ADD_FAILURE() << "the timer list never got past its due events";
  }

  // Virtual time since the fixture was made.
  std::chrono::milliseconds Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Steady().time_since_epoch());
  }

  // The LAN notices sent so far, deciphered with the template's network key.
  std::vector<std::string> Notices() const {
    std::vector<std::string> texts;
    for (const auto& d : udp_.datagrams) texts.push_back(db::XorCipher(d, "Wexlor"));
    return texts;
  }
  // The notice text the service sends now for this kind and detail.
  std::string NoticeNow(int kind, const std::string& detail) const {
    return std::to_string(kind) + "," + core::DateTime::FromTimePoint(clock_.Now()).ToCompact() +
           ",PC01,ZOLFFFFFFF,#" + detail + "#";
  }

  // StatusMeldingen in the order they were written.
  std::vector<Notification> Notifications() {
    std::vector<Notification> result;
    for (const auto& row : dispatch_.Select(
             "select mel_status, mel_type, mel_wagen, mel_opmerking from StatusMeldingen order by rowid"))
      result.push_back(
          {row.Int("mel_status"), row.Int("mel_type"), row.Int("mel_wagen"), row.Text("mel_opmerking")});
    return result;
  }
  std::vector<long long> NotificationCodes() {
    std::vector<long long> codes;
    for (const auto& n : Notifications()) codes.push_back(n.status);
    return codes;
  }

  // Keep-alive packets the controller has handled: each writes one berichtenbox row.
  long long KeepAlivesHandled() { return dispatch_.Count("berichtenbox", "bbo_code='ALIVE-NOOP'"); }

  // The tags of the packets whose fields the controller has logged, in order.
  std::vector<std::string> HandledTags() const {
    std::vector<std::string> tags;
    for (const auto& text : log_.texts()) {
      if (!text.starts_with("TAG=")) continue;
      tags.push_back(text.substr(4, text.find('\r') - 4));
    }
    return tags;
  }

  // The host's entries about failures that escaped a timer handler (source: the
  // executable's name).
  std::vector<core::LogEntry> HostEntries() const {
    std::vector<core::LogEntry> found;
    for (const auto& e : log_.entries())
      if (e.source == "dorvekzol") found.push_back(e);
    return found;
  }
  static void ExpectHostError(const core::LogEntry& entry, const std::string& text) {
    EXPECT_EQ(entry.type, core::EntryType::kError);
    EXPECT_EQ(entry.category, 0);
    EXPECT_EQ(entry.id, 0);
    EXPECT_EQ(entry.text, text);
  }

  std::size_t CountText(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& t : log_.texts()) n += t == text;
    return n;
  }
  std::vector<std::string> TextsFrom(std::size_t first) const {
    const auto texts = log_.texts();
    return {texts.begin() + std::min(first, texts.size()), texts.end()};
  }

  static std::filesystem::path MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dorvek-svc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }

  DorvekService& service() { return *service_; }

  // Every table named and column written is one the service declares it uses.
  void TearDown() override { test_support::ExpectStatementsInSchema(db_.executed()); }

  std::filesystem::path base_dir_;
  core::MemoryEventLog log_;
  core::ManualClock clock_;
  test_support::DispatchFixture dispatch_;
  test_support::FailingDatabase db_;
  test_support::FakeUdpSender udp_;
  test_support::FakeGatewayLink link_;
  std::vector<Settings> configured_;
  std::unique_ptr<DorvekService> service_;
};

}  // namespace dorvek::service
