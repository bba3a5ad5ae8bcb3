#include "service/system_state.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

namespace dorvek::service {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// A stand-in for the bus: a Unix socket that takes connections into its backlog and
// never answers, as a bus daemon that hangs would.
class SilentBus {
 public:
  SilentBus() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dorvek-bus-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    path_ = (dir_ / "bus").string();
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd_, 8) != 0)
      throw std::runtime_error("cannot listen on " + path_);
  }
  ~SilentBus() {
    if (fd_ >= 0) close(fd_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string address() const { return "unix:path=" + path_; }
  std::string missing_address() const { return "unix:path=" + (dir_ / "absent").string(); }

 private:
  std::filesystem::path dir_;
  std::string path_;
  int fd_ = -1;
};

TEST(SystemState, BusThatDoesNotAnswerGivesNothingWithinTheTimeOut) {
  SilentBus bus;
  const auto started = SteadyClock::now();
  const auto state = ReadSystemState(bus.address(), kSystemStateTimeout);
  const auto took = SteadyClock::now() - started;
  EXPECT_FALSE(state.has_value());
  EXPECT_GE(took, kSystemStateTimeout - 50ms) << "it did wait for the answer";
  EXPECT_LT(took, kSystemStateTimeout + 2s) << "sd-bus's own waits are 25 s";
  EXPECT_EQ(kSystemStateTimeout, 1s);
}

TEST(SystemState, BusThatIsNotThereGivesNothingAtOnce) {
  SilentBus bus;
  const auto started = SteadyClock::now();
  EXPECT_FALSE(ReadSystemState(bus.missing_address(), kSystemStateTimeout).has_value());
  EXPECT_FALSE(ReadSystemState("not a bus address", kSystemStateTimeout).has_value());
  EXPECT_LT(SteadyClock::now() - started, kSystemStateTimeout);
}

TEST(SystemState, StopIsAPlainStopWhenTheBusDoesNotAnswer) {
  SilentBus bus;
  const auto started = SteadyClock::now();
  EXPECT_FALSE(SystemIsStopping(bus.address(), kSystemStateTimeout));
  EXPECT_LT(SteadyClock::now() - started, kSystemStateTimeout + 2s);
}

}  // namespace
}  // namespace dorvek::service
