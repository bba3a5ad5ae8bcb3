// The notice_listener tool, run as a child process against a notice sent over loopback.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "db/lan_notice.h"
#include "db/udp_sender.h"

namespace dorvek::db {
namespace {

namespace fs = std::filesystem;

const fs::path kListener = fs::path(DORVEK_TOOLS_DIR) / "notice_listener";

std::string ReadLine(std::FILE* in) {
  char buffer[512] = {};
  if (std::fgets(buffer, sizeof buffer, in) == nullptr) return {};
  return buffer;
}

class NoticeListenerTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kListener)) GTEST_SKIP() << kListener << " not built";
  }
  // Runs the listener with the arguments, stderr joined to stdout; its own timeout
  // bounds every read below.
  std::FILE* Start(const std::string& args) {
    return ::popen((kListener.string() + " " + args + " 2>&1").c_str(), "r");
  }
};

TEST_F(NoticeListenerTool, DeciphersAndPrintsOneNotice) {
  std::FILE* out = Start("--listen 127.0.0.1:0 --count 1 --timeout 10");
  ASSERT_NE(out, nullptr);
  const std::string banner = ReadLine(out);
  ASSERT_TRUE(banner.starts_with("listening on 127.0.0.1:")) << banner;
  const auto port = static_cast<std::uint16_t>(std::stoi(banner.substr(banner.rfind(':') + 1)));

  const std::string plain = "700,20261208014338,PC01,ZOLFFFFFFF,#0000#";
  AsioUdpSender({"127.0.0.1", port}).Send(XorCipher(plain, "Wexlor"));

  EXPECT_EQ(ReadLine(out), plain + "\n");
  const int status = ::pclose(out);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(NoticeListenerTool, RefusesNonLoopbackAddress) {
  std::FILE* out = Start("--listen 0.0.0.0:54999 --timeout 1");
  ASSERT_NE(out, nullptr);
  EXPECT_NE(ReadLine(out).find("127.x.x.x"), std::string::npos);
  const int status = ::pclose(out);
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST_F(NoticeListenerTool, TimeoutBeforeCountExitsWithOne) {
  std::FILE* out = Start("--listen 127.0.0.1:0 --count 1 --timeout 1");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(ReadLine(out).starts_with("listening on"));
  EXPECT_EQ(ReadLine(out), "");
  EXPECT_EQ(WEXITSTATUS(::pclose(out)), 1);
}

}  // namespace
}  // namespace dorvek::db
