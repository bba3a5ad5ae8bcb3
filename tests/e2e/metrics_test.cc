// The service's figures as the monitoring sees them: the real binary, the gateway
// simulator and a sample SQLite dispatch database on loopback, and a real node exporter
// whose textfile collector reads the service's metrics directory, scraped over HTTP.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "e2e/simulator_script.h"
#include "support/dispatch_fixture.h"
#include "support/service_config.h"
#include "support/service_process.h"
#include "support/test_database.h"

namespace dorvek {
namespace {

using namespace std::chrono_literals;
using test_support::ReadFileBytes;
namespace fs = std::filesystem;

constexpr const char* kSimulator = DORVEK_TOOLS_DIR "/gateway_simulator";
constexpr const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";

unsigned short FreeLoopbackPort() {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
  return probe.local_endpoint().port();
}

// A program that runs until this object goes: started with its output in a file,
// killed and reaped at destruction.
class Background {
 public:
  Background(const std::string& program, std::vector<std::string> args, const fs::path& output) : output_(output) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = test_support::ChildEnvironment({});
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + program);
  }
  ~Background() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    if (::testing::Test::HasFailure()) std::fprintf(stderr, "--- %s ---\n%s\n", output_.c_str(), ReadFileBytes(output_).c_str());
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

 private:
  fs::path output_;
  pid_t pid_ = -1;
};

// GET /metrics on a loopback port; "" when nothing answers.
std::string Scrape(unsigned short port) {
  try {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    asio::write(socket, asio::buffer(request));
    std::string response;
    asio::error_code error;
    asio::read(socket, asio::dynamic_buffer(response), error);
    const std::size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
  } catch (const std::exception&) {
    return "";
  }
}

// "name{labels}" → value of every sample of a scrape.
std::map<std::string, double> Samples(const std::string& text) {
  std::map<std::string, double> samples;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t blank = line.rfind(' ');
    if (blank == std::string::npos) continue;
    samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return samples;
}

class MetricsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    ASSERT_TRUE(fs::exists(kSimulator)) << "build the gateway_simulator target first";
    ASSERT_TRUE(fs::exists(kNodeExporter)) << "install prometheus-node-exporter (scripts/packages.txt)";
    base_ = tmp_.path() / "base";
    fs::create_directory(base_);
    test_support::RunSqliteScript(base_ / "dispatch.db", ReadFileBytes(test_support::SqliteSchemaPath()));
    test_support::RunSqliteScript(base_ / "dispatch.db", test_support::SampleDataScript());
  }

  // Scrapes until the service's file shows pred, or 25 s have passed.
  std::map<std::string, double> ScrapeUntil(unsigned short port,
                                            const std::function<bool(const std::map<std::string, double>&)>& pred) {
    std::map<std::string, double> samples;
    const auto until = std::chrono::steady_clock::now() + 25s;
    while (std::chrono::steady_clock::now() < until) {
      samples = Samples(Scrape(port));
      if (pred(samples)) break;
      std::this_thread::sleep_for(200ms);
    }
    return samples;
  }

  test_support::TempDir tmp_;
  fs::path base_;
};

TEST_F(MetricsEndToEnd, NodeExporterShowsTheSessionsFigures) {
  // The gateway: three packets of known vehicles and one of an unknown, then it waits
  // for the terminal reset the message box sends, and for the service's stop.
  auto simulator = test_support::RunSimulatorScript(
      tmp_.path(),
      "wait-connection\n"
      "together 4\n"
      "TAG=1 TYPE=NOOP STATUS=NEW TIME=now UNIT=4711 NUMBER=0\n"
      "TAG=2 TYPE=NOOP STATUS=NEW TIME=now UNIT=4712 NUMBER=0\n"
      "TAG=3 TYPE=KEY STATUS=NEW TIME=now UNIT=4711 NUMBER=099 042=\"+52 21 12.34\" 043=\"+004 53 47.12\"\n"
      "TAG=4 TYPE=NOOP STATUS=NEW TIME=now UNIT=9999 NUMBER=0\n"
      "expect TYPE=MACRO\n"
      "wait-disconnect\n");
  test_support::WriteServiceConfig(base_, {.port = simulator.port, .packets_per_tick = 10});
  // A dispatcher's terminal reset for vehicle 1 (terminal mux4711).
  test_support::RunSqliteScript(base_ / "dispatch.db",
                                "insert into berichtenbox (bbo_soort, bbo_bdr_id, bbo_wag_id, bbo_datum, "
                                "bbo_verwerkt, bbo_actie) values (6, 1, 1, '2026-12-08 10:00:00', 0, 3);");

  const unsigned short exporter_port = FreeLoopbackPort();
  const fs::path directory = base_ / "VmrZOLData/metrics";
  Background exporter(kNodeExporter,
                      {"--web.listen-address=127.0.0.1:" + std::to_string(exporter_port),
                       "--collector.disable-defaults", "--collector.textfile",
                       "--collector.textfile.directory=" + directory.string()},
                      tmp_.path() / "node_exporter.txt");

  const double started = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  test_support::ServiceOptions options;
  options.binary = DORVEK_BINARY;
  options.base_dir = base_;
  options.work_dir = tmp_.path();
  options.name = "service";
  test_support::ServiceProcess service(options);

  // Figures are written at the start and every 15 s: the session's show in the second.
  auto samples = ScrapeUntil(exporter_port, [](const auto& s) {
    return s.contains("dorvekzol_packets_sent_total") && s.at("dorvekzol_packets_sent_total") >= 1;
  });
  const std::map<std::string, double> expected = {
      {"dorvekzol_running", 1},
      {"dorvekzol_paused", 0},
      {"dorvekzol_gateway_connected", 1},
      {"dorvekzol_database_connected", 1},
      {"dorvekzol_gateway_reconnects_total", 0},
      {"dorvekzol_gateway_failures_total", 0},
      {"dorvekzol_database_failures_total", 0},
      {"dorvekzol_packets_received_total", 4},
      {"dorvekzol_packets_handled_total{family=\"packet_controller\"}", 4},
      {"dorvekzol_packets_handled_total{family=\"keep_alive\"}", 2},
      {"dorvekzol_packets_handled_total{family=\"position_report\"}", 1},
      {"dorvekzol_packets_failed_total{family=\"position_report\"}", 0},
      {"dorvekzol_packets_unknown_vehicle_total", 1},
      {"dorvekzol_inbound_queue_packets", 0},
      {"dorvekzol_inbound_backlog_age_seconds", 0},
      {"dorvekzol_packets_per_tick", 10},
      {"dorvekzol_message_box_rows_handled_total", 1},
      {"dorvekzol_packets_sent_total", 1},
      {"dorvekzol_outbound_queue_packets", 0},
      {"node_textfile_scrape_error", 0},
  };
  for (const auto& [name, value] : expected) {
    ASSERT_TRUE(samples.contains(name)) << name << " missing\n" << Scrape(exporter_port) << service.Diagnostics();
    EXPECT_EQ(samples[name], value) << name;
  }
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_GE(samples["dorvekzol_start_time_seconds"], std::floor(started) - 1);
  EXPECT_LE(samples["dorvekzol_start_time_seconds"], now);
  EXPECT_GE(samples["dorvekzol_gateway_last_packet_time_seconds"], samples["dorvekzol_start_time_seconds"]);

  // At stop the file is written once more.
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
  const auto gateway = simulator.result.get();
  EXPECT_EQ(gateway.exit_code, 0) << gateway.out;
  samples = ScrapeUntil(exporter_port, [](const auto& s) {
    return s.contains("dorvekzol_running") && s.at("dorvekzol_running") == 0;
  });
  EXPECT_EQ(samples["dorvekzol_running"], 0);
  EXPECT_EQ(samples["dorvekzol_gateway_connected"], 0);
  EXPECT_EQ(samples["dorvekzol_packets_sent_total"], 1);
  EXPECT_EQ(samples["node_textfile_scrape_error"], 0);
}

}  // namespace
}  // namespace dorvek
