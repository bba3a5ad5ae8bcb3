// The gateway simulator tool, run as a process and talked to over loopback TCP.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gateway/packet_writer.h"

extern char** environ;

namespace dorvek::gateway {
namespace {

using asio::ip::tcp;
using ::testing::HasSubstr;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kDeadline = std::chrono::seconds(10);

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Polls cond until it holds or the deadline passes.
template <typename Cond>
bool PollUntil(Cond cond, std::chrono::milliseconds limit = kDeadline) {
  const auto deadline = SteadyClock::now() + limit;
  while (!cond()) {
    if (SteadyClock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// One run of the tool with a script, its output in a file.
class SimulatorProcess {
 public:
  SimulatorProcess(const fs::path& dir, const std::string& script,
                   std::vector<std::string> extra = {})
      : dir_(dir) {
    std::ofstream(dir_ / "script.txt") << script;
    std::vector<std::string> args = {kTool,       "--listen",  "127.0.0.1:0",
                                     "--script",  (dir_ / "script.txt").string(),
                                     "--port-file", (dir_ / "port").string(),
                                     "--timeout", "5"};
    for (auto& a : extra) args.push_back(std::move(a));
    Spawn(args);
  }
  explicit SimulatorProcess(const fs::path& dir, std::vector<std::string> args) : dir_(dir) {
    args.insert(args.begin(), kTool);
    Spawn(args);
  }

  ~SimulatorProcess() {
    if (!exit_status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  static bool Available() { return fs::exists(kTool); }

  unsigned short Port() {
    const fs::path file = dir_ / "port";
    EXPECT_TRUE(PollUntil([&] { return fs::exists(file) || Finished(); })) << Output();
    return static_cast<unsigned short>(std::stoi("0" + ReadFile(file)));
  }

  std::string Output() const { return ReadFile(dir_ / "out.txt"); }

  bool OutputHas(const std::string& text) {
    return PollUntil([&] { return Output().find(text) != std::string::npos; });
  }

  // The exit status, once the process has ended within the deadline.
  std::optional<int> Wait() {
    PollUntil([&] { return Finished(); });
    return exit_status_;
  }

 private:
  static constexpr const char* kTool = DORVEK_TOOLS_DIR "/gateway_simulator";

  void Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string out = (dir_ / "out.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int error = posix_spawn(&pid_, kTool, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start the gateway simulator");
  }

  bool Finished() {
    if (exit_status_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_)
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_status_.has_value();
  }

  fs::path dir_;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
};

// The service's end: a loopback client that reads with a deadline.
class ServiceEnd {
 public:
  explicit ServiceEnd(unsigned short port) : socket_(io_) {
    socket_.connect({asio::ip::make_address("127.0.0.1"), port});
  }

  void Send(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes)); }

  // Reads until the received bytes hold count trailers or the connection ends.
  std::string ReadPackets(std::size_t count) {
    const auto deadline = SteadyClock::now() + kDeadline;
    while (Trailers() < count && SteadyClock::now() < deadline) {
      if (!ReadSome(deadline)) break;
    }
    return received_;
  }

  const std::string& received() const { return received_; }

  // True when the simulator closed the connection before the deadline.
  bool ReadToEnd() {
    const auto deadline = SteadyClock::now() + kDeadline;
    while (SteadyClock::now() < deadline) {
      if (!ReadSome(deadline)) return closed_;
    }
    return false;
  }

 private:
  std::size_t Trailers() const {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = received_.find("\x04XCRC", at)) != std::string::npos; ++at)
      ++n;
    return n;
  }

  bool ReadSome(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    pollfd fd{socket_.native_handle(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0) return false;
    char buffer[4096];
    asio::error_code error;
    const std::size_t n = socket_.read_some(asio::buffer(buffer), error);
    if (error) {
      closed_ = true;
      return false;
    }
    received_.append(buffer, n);
    return true;
  }

  asio::io_context io_;
  tcp::socket socket_;
  std::string received_;
  bool closed_ = false;
};

class GatewaySimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "gateway_simulator is not built";
    dir_ = fs::path(::testing::TempDir()) /
           ("gateway_simulator_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  fs::path dir_;
};

TEST_F(GatewaySimulatorTest, SendsScriptPacketsInWindows1252) {
  SimulatorProcess sim(dir_,
                       "# a comment\n"
                       "wait-connection\n"
                       "TAG=045 TYPE=KEY STATUS=NEW TIME=\"2024-05-01 12:30:05\" UNIT=4711 "
                       "NUMBER=004 004=15\n"
                       "together 2\n"
                       "TAG=1 TYPE=KEY UNIT=4711 NUMBER=014 002=\"Dag cliënt\"\n"
                       "raw <SOH>0011<STX><EOT>XCRC\n"
                       "split 3 1\n"
                       "TAG=2 TYPE=NOOP STATUS=NEW UNIT=4711 NUMBER=0\n");
  ServiceEnd service(sim.Port());
  const std::string expected =
      BuildPacket({"045", "KEY", "NEW", "2024-05-01 12:30:05", "4711", "004", "1", "004", "15"}) +
      BuildPacket({"1", "KEY", "", "", "4711", "014", "1", "002", "Dag cli\xEBnt"}) +
      std::string("\x01" "0011\x02\x04XCRC") +
      BuildPacket({"2", "NOOP", "NEW", "", "4711", "0", "0"});
  EXPECT_EQ(service.ReadPackets(4), expected);
  EXPECT_EQ(sim.Wait(), 0) << sim.Output();
  EXPECT_THAT(sim.Output(), HasSubstr(">>> sent 2 packets in one write"));
  EXPECT_THAT(sim.Output(), HasSubstr(">>> sent in 3 writes"));
}

TEST_F(GatewaySimulatorTest, RandomBytesAreTheSameForTheSameSeed) {
  SimulatorProcess sim(dir_, "random 3000 7\nrandom 3000 7\nrandom 3000 8\nclose\n");
  ServiceEnd service(sim.Port());
  EXPECT_TRUE(service.ReadToEnd());
  const std::string& bytes = service.received();
  ASSERT_EQ(bytes.size(), 9000u);
  EXPECT_EQ(bytes.substr(0, 3000), bytes.substr(3000, 3000));
  EXPECT_NE(bytes.substr(0, 3000), bytes.substr(6000));
  EXPECT_EQ(sim.Wait(), 0) << sim.Output();
  EXPECT_THAT(sim.Output(), HasSubstr(">>> sent 3000 random bytes, seed 8"));
}

TEST_F(GatewaySimulatorTest, PrintsReceivedPacketsWithTheirFields) {
  SimulatorProcess sim(dir_, "expect UNIT=mux4711\nexpect 002=cliënt\n");
  ServiceEnd service(sim.Port());
  const std::string offer = BuildPacket({"981", "FORM", "NEW", "120", "mux4711", "0", "1", "0", "981"});
  // Cut across writes, with noise between, and text in Windows-1252.
  service.Send(offer.substr(0, 9));
  ASSERT_TRUE(sim.OutputHas("--- connected from 127.0.0.1:"));
  service.Send(offer.substr(9) + "noise" +
               BuildPacket({"1", "KEY", "NEW", "", "4711", "014", "1", "002", "cli\xEBnt"}));
  EXPECT_EQ(sim.Wait(), 0) << sim.Output();
  const std::string out = sim.Output();
  EXPECT_THAT(out, HasSubstr("<<< packet 1, 46 characters\n"
                             "    <SOH>0046<STX>981<ETX>FORM<ETX>NEW<ETX>120<ETX>mux4711<ETX>0"
                             "<ETX>1<ETX>0<ETX>981<ETX><EOT>XCRC\n"
                             "    TAG=981\n    TYPE=FORM\n    STATUS=NEW\n    TIME=120\n"
                             "    UNIT=mux4711\n    NUMBER=0\n    SIZE=1\n    0=981\n"));
  EXPECT_THAT(out, HasSubstr("    002=cliënt\n"));
  EXPECT_THAT(out, HasSubstr("--- script done"));
}

TEST_F(GatewaySimulatorTest, AcceptsTheNextConnectionAfterClosing) {
  SimulatorProcess sim(dir_, "wait-connection\nclose\nwait-connection\nTAG=7 UNIT=2\n");
  {
    ServiceEnd first(sim.Port());
    EXPECT_TRUE(first.ReadToEnd());
  }
  ServiceEnd second(sim.Port());
  EXPECT_EQ(second.ReadPackets(1), BuildPacket({"7", "", "", "", "2", "", "0"}));
  EXPECT_EQ(sim.Wait(), 0) << sim.Output();
  EXPECT_THAT(sim.Output(), HasSubstr("--- connection closed by the gateway"));
}

TEST_F(GatewaySimulatorTest, SeesTheServiceClose) {
  SimulatorProcess sim(dir_, "wait-connection\nwait-disconnect\necho after\n");
  {
    ServiceEnd service(sim.Port());
    service.Send(std::string("\x01" "00"));  // half a packet, lost with the connection
  }
  EXPECT_EQ(sim.Wait(), 0) << sim.Output();
  EXPECT_THAT(sim.Output(), HasSubstr("--- connection closed by the service\nafter\n"));
}

TEST_F(GatewaySimulatorTest, ExpectThatNeverComesFailsAfterTimeout) {
  SimulatorProcess sim(dir_, "expect NUMBER=999\n",
                       {"--timeout", "1"});  // the later --timeout wins
  ServiceEnd service(sim.Port());
  EXPECT_EQ(sim.Wait(), 1) << sim.Output();
  EXPECT_THAT(sim.Output(), HasSubstr("timeout at script line 1"));
}

TEST_F(GatewaySimulatorTest, BadScriptLineIsRefusedBeforeListening) {
  SimulatorProcess sim(dir_, "wait-connection\nTAG=1 oops\n");
  EXPECT_EQ(sim.Wait(), 2);
  EXPECT_THAT(sim.Output(), HasSubstr("script line 2: no \"=\" in \"oops\""));
  EXPECT_FALSE(fs::exists(dir_ / "port"));
}

TEST_F(GatewaySimulatorTest, RefusesAddressesThatAreNotLoopback) {
  for (const std::string address : {"0.0.0.0:5000", "192.0.2.1:5000", "[::]:5000", "host:1"}) {
    SCOPED_TRACE(address);
    SimulatorProcess sim(dir_, std::vector<std::string>{"--listen", address});
    EXPECT_EQ(sim.Wait(), 2);
    EXPECT_THAT(sim.Output(), HasSubstr("--listen"));
  }
  // The opt-in for a test's own namespace refuses the machine's network all the same.
  SimulatorProcess sim(dir_, std::vector<std::string>{"--private-network", "--listen", "0.0.0.0:5000"});
  EXPECT_EQ(sim.Wait(), 2);
  EXPECT_THAT(sim.Output(), HasSubstr("no named network namespace of its own"));
}

}  // namespace
}  // namespace dorvek::gateway
