#include "service/metrics_file.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "service/build_info.h"

namespace dorvek::service {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(MetricsText, EveryFigureOnceWithHelpAndTypeFirst) {
  core::Metrics m;
  m.started = std::chrono::system_clock::time_point(1765268400s);
  m.packets_received = 7;
  m.packets["packet_controller"] = {6, 1};
  m.packets["position_report"] = {3, 0};
  m.packets_sent = 2;
  m.message_box_handled = 1;
  m.database = {3, 2};  // two reconnects
  m.gateway = {1, 4};
  m.last_packet = std::chrono::system_clock::time_point(1765268412500ms);
  MetricsState s;
  s.running = true;
  s.inbound_queue = 4;
  s.backlog_age_seconds = 2.25;
  s.backlog_drain_seconds = 4;
  s.packets_per_tick = 1;
  s.database_connected = true;
  const std::string text = MetricsText(m, s);

  for (const char* line :
       {"dorvekzol_start_time_seconds 1765268400\n", "dorvekzol_running 1\n", "dorvekzol_paused 0\n",
        "dorvekzol_inbound_queue_packets 4\n", "dorvekzol_inbound_backlog_age_seconds 2.250\n",
        "dorvekzol_inbound_backlog_drain_seconds 4\n", "dorvekzol_packets_received_total 7\n",
        "dorvekzol_packets_handled_total{family=\"packet_controller\"} 6\n",
        "dorvekzol_packets_failed_total{family=\"packet_controller\"} 1\n",
        "dorvekzol_packets_handled_total{family=\"position_report\"} 3\n", "dorvekzol_packets_sent_total 2\n",
        "dorvekzol_message_box_rows_handled_total 1\n", "dorvekzol_database_connected 1\n",
        "dorvekzol_database_reconnects_total 2\n", "dorvekzol_database_failures_total 2\n",
        "dorvekzol_gateway_connected 0\n", "dorvekzol_gateway_reconnects_total 0\n",
        "dorvekzol_gateway_failures_total 4\n", "dorvekzol_gateway_last_packet_time_seconds 1765268412.500\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
  EXPECT_NE(text.find(fmt::format("dorvekzol_build_info{{version=\"{}\",commit=\"{}\"}} 1\n", BuildVersion(),
                                  BuildCommit())),
            std::string::npos)
      << text;

  // The text format: each metric's HELP, then TYPE, then only its own samples.
  std::istringstream in(text);
  std::string line, current;
  std::set<std::string> seen;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex(R"(# HELP (dorvekzol_[a-z_]+) .+)"))) {
      current = m[1];
      EXPECT_TRUE(seen.insert(current).second) << current << " twice";
      ASSERT_TRUE(std::getline(in, line));
      EXPECT_TRUE(std::regex_match(line, std::regex("# TYPE " + current + " (gauge|counter)"))) << line;
    } else {
      EXPECT_TRUE(std::regex_match(line, std::regex(current + R"((\{[a-z]+="[^"]*"(,[a-z]+="[^"]*")*\})? [0-9.]+)")))
          << line;
      if (current.ends_with("_total")) {
        EXPECT_NE(text.find("# TYPE " + current + " counter"), std::string::npos);
      }
    }
  }
  EXPECT_TRUE(text.ends_with("\n"));
}

TEST(MetricsText, NoLastPacketTimeBeforeTheFirstPacket) {
  EXPECT_EQ(MetricsText({}, {}).find("last_packet"), std::string::npos);
}

class WriteFileAtomicallyTest : public ::testing::Test {
 protected:
  WriteFileAtomicallyTest() {
    std::string pattern = (fs::temp_directory_path() / "dorvek-metrics-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
  }
  ~WriteFileAtomicallyTest() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(WriteFileAtomicallyTest, CreatesTheDirectoryReplacesTheFileAndLeavesNoTemporary) {
  const fs::path file = dir_ / "VmrZOLData/metrics/dorvekzol.prom";
  const mode_t old_mask = ::umask(077);  // the service's umask does not hide the figures
  WriteFileAtomically(file, "a 1\n");
  ::umask(old_mask);
  WriteFileAtomically(file, "a 2\n");
  EXPECT_EQ(Read(file), "a 2\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::others_read, fs::perms::others_read);
  EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::others_exec, fs::perms::others_exec);
}

TEST_F(WriteFileAtomicallyTest, FailureNamesTheFile) {
  std::ofstream(dir_ / "VmrZOLData") << "a file where the directory should be";
  const fs::path file = dir_ / "VmrZOLData/metrics/dorvekzol.prom";
  try {
    WriteFileAtomically(file, "a 1\n");
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace dorvek::service
