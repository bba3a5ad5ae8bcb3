// `dorvekzol --check` as an administrator runs it: the real binary against a SQLite
// dispatch database and the gateway simulator on loopback, for a good setup, a broken
// one, a missing configuration and incomplete SQL Server settings.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "e2e/simulator_script.h"
#include "support/dispatch_fixture.h"
#include "support/service_process.h"
#include "support/test_database.h"

namespace dorvek {
namespace {

using namespace std::chrono_literals;
using test_support::ProgramResult;
using test_support::ReadFileBytes;
namespace fs = std::filesystem;

constexpr const char* kSimulator = DORVEK_TOOLS_DIR "/gateway_simulator";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The line that begins with this text.
std::string LineOf(const std::string& out, const std::string& start) {
  for (const auto& line : Lines(out))
    if (line.starts_with(start)) return line;
  return "(no line beginning with \"" + start + "\")";
}

class CheckEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    base_ = tmp_.path() / "base";
    fs::create_directory(base_);
    test_support::RunSqliteScript(base_ / "dispatch.db", ReadFileBytes(test_support::SqliteSchemaPath()));
    test_support::RunSqliteScript(base_ / "dispatch.db", test_support::SampleDataScript());
  }

  void WriteConfig(const std::string& port, const std::string& sql) {
    std::ofstream out(base_ / "VmrZOLConfig.xml", std::ios::binary);
    out << "<DorvekZOLserver>\r\n<HTTPTimer>10000</HTTPTimer>\r\n<Binding>127.0.0.1</Binding>\r\n<Port>" << port
        << "</Port>\r\n"
        << sql << "<ZOLid>mux</ZOLid>\r\n</DorvekZOLserver>\r\n";
  }
  void WriteSqliteConfig(const std::string& port) {
    WriteConfig(port,
                "<SQLDriver>sqlite</SQLDriver>\r\n<SQLDatabase>dispatch.db</SQLDatabase>\r\n"
                "<SQLPaswoord>s3cret;x</SQLPaswoord>\r\n");
  }

  ProgramResult Check() {
    return test_support::RunProgram(DORVEK_BINARY, {"--check", "--base-dir", base_.string()}, {}, tmp_.path(),
                                     30s);
  }

  // Every file under the base directory.
  std::set<std::string> Files() const {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(base_))
      files.insert(fs::relative(entry.path(), base_).string());
    return files;
  }

  // A loopback port nothing listens on.
  static std::string ClosedPort() {
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    return std::to_string(probe.local_endpoint().port());
  }

  test_support::TempDir tmp_;
  fs::path base_;
};

TEST_F(CheckEndToEnd, GoodSetupPassesEveryCheckSendsNothingAndWritesNothing) {
  ASSERT_TRUE(fs::exists(kSimulator)) << "build the gateway_simulator target first";
  // The simulator ends once the check has come and gone.
  auto simulator = test_support::RunSimulatorScript(tmp_.path(), "wait-connection\nwait-disconnect\n");
  WriteSqliteConfig(std::to_string(simulator.port));
  // As the service leaves it: a reader of a WAL file would make its -wal and -shm files.
  test_support::RunSqliteScript(base_ / "dispatch.db", "PRAGMA journal_mode=WAL;");
  const auto before = Files();

  const ProgramResult result = Check();
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(Lines(result.out).back(), "verdict: ok, all 17 checks passed") << result.out;
  EXPECT_EQ(LineOf(result.out, "  SQLPaswoord"), "  SQLPaswoord            ****");
  EXPECT_EQ(result.out.find("s3cret"), std::string::npos) << "the password is shown";
  EXPECT_NE(LineOf(result.out, "table planning").find(" ok"), std::string::npos) << result.out;
  EXPECT_EQ(Files(), before) << "the check created or removed a file";

  const ProgramResult gateway = simulator.result.get();
  EXPECT_EQ(gateway.exit_code, 0) << gateway.out;
  EXPECT_NE(gateway.out.find("--- connection closed by the service"), std::string::npos) << gateway.out;
  EXPECT_EQ(gateway.out.find("<<< packet"), std::string::npos) << "the check sent something";
}

TEST_F(CheckEndToEnd, BrokenSetupNamesEachFaultAndFails) {
  test_support::RunSqliteScript(base_ / "dispatch.db",
                                "ALTER TABLE planning DROP COLUMN pla_tx_paid_extra; DROP TABLE sectoren;");
  WriteSqliteConfig(ClosedPort());

  const ProgramResult result = Check();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(LineOf(result.out, "database connection"), "database connection                      ok");
  const std::string planning = LineOf(result.out, "table planning");
  EXPECT_NE(planning.find("missing pla_tx_paid_extra: "), std::string::npos) << planning;
  EXPECT_NE(LineOf(result.out, "table sectoren").find("no such table: sectoren"), std::string::npos) << result.out;
  EXPECT_NE(LineOf(result.out, "gateway 127.0.0.1:").find("Connection refused"), std::string::npos) << result.out;
  EXPECT_EQ(Lines(result.out).back(), "verdict: FAILED, 3 of 17 checks failed") << result.out;
}

TEST_F(CheckEndToEnd, MissingConfigurationIsReportedNotWritten) {
  const ProgramResult result = Check();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(LineOf(result.out, "configuration file").find("missing"), std::string::npos) << result.out;
  EXPECT_EQ(Files(), std::set<std::string>{"dispatch.db"});
}

TEST_F(CheckEndToEnd, IncompleteSqlServerSettingsStopBeforeTheTables) {
  WriteConfig(ClosedPort(), "<SQLServer>127.0.0.1</SQLServer>\r\n<SQLInlognaam>sa</SQLInlognaam>\r\n"
                            "<SQLPaswoord>****</SQLPaswoord>\r\n<SQLDatabase></SQLDatabase>\r\n");
  const ProgramResult result = Check();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(LineOf(result.out, "database connection"),
            "database connection                      Operation aborted (Taxis Dorvek ZOL database gegevens "
            "onvolledig)");
  EXPECT_NE(LineOf(result.out, "table wagens").find("not tried: no database connection"), std::string::npos);
}

}  // namespace
}  // namespace dorvek
