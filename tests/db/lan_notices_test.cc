#include "db/lan_notices.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/codepage.h"
#include "core/memory_event_log.h"
#include "db/lan_notice.h"
#include "support/fake_udp_sender.h"

namespace dorvek::db {
namespace {

using RecordingUdpSender = test_support::FakeUdpSender;

const core::DateTime kTime{2026, 12, 8, 1, 43, 38, 0};
constexpr const char* kPlain = "700,20261208014338,PC01,ZOLFFFFFFF,#0000#";

class SendUDPDorvekTest : public ::testing::Test {
 protected:
  void Send(std::string_view key, std::string_view computer = "PC01",
            std::string_view detail = kNoticeDetail) {
    SendUDPDorvek(sender_, log_, key, kNoticeStart, computer, kTime, kNoticeIdentity, detail);
  }

  RecordingUdpSender sender_;
  core::MemoryEventLog log_;
};

TEST_F(SendUDPDorvekTest, EmptyKeySendsPlainText) {
  Send("");
  ASSERT_EQ(sender_.datagrams.size(), 1u);
  EXPECT_EQ(sender_.datagrams[0], kPlain);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SendUDPDorvekTest, TemplateKeyEnciphersAndDeciphers) {
  Send("Wexlor");
  ASSERT_EQ(sender_.datagrams.size(), 1u);
  EXPECT_EQ(sender_.datagrams[0], XorCipher(kPlain, "Wexlor"));
  EXPECT_EQ(XorCipher(sender_.datagrams[0], "Wexlor"), kPlain);
}

TEST_F(SendUDPDorvekTest, NonAsciiKeyAndTextGoOutAsWindows1252) {
  // "ë" is 0xEB in Windows-1252: high key bytes give enciphered bytes of 0x80 and
  // above, which are sent unchanged so the listener can decipher them.
  Send("cliënt", "PC01", "ë");
  ASSERT_EQ(sender_.datagrams.size(), 1u);
  const std::string& datagram = sender_.datagrams[0];
  const std::string plain = core::Utf8ToCp1252("700,20261208014338,PC01,ZOLFFFFFFF,#ë#");
  ASSERT_EQ(datagram.size(), plain.size());
  bool high = false;
  for (char c : datagram) high |= static_cast<unsigned char>(c) >= 0x80;
  EXPECT_TRUE(high);
  EXPECT_EQ(XorCipher(datagram, core::Utf8ToCp1252("cliënt")), plain);
  EXPECT_EQ(core::Cp1252ToUtf8(XorCipher(datagram, "cli\xEBnt")),
            "700,20261208014338,PC01,ZOLFFFFFFF,#ë#");
}

TEST_F(SendUDPDorvekTest, SendFailureIsAWarningWithItsText) {
  sender_.fail = true;
  EXPECT_NO_THROW(Send("Wexlor"));
  EXPECT_TRUE(sender_.datagrams.empty());
  ASSERT_EQ(log_.entries().size(), 1u);
  EXPECT_TRUE(log_.Contains(core::EntryType::kWarning, "Network is unreachable"));
}

TEST_F(SendUDPDorvekTest, RealSenderFailureIsAWarning) {
  AsioUdpSender refusing({"127.0.0.1", 0});
  core::MemoryEventLog log;
  SendUDPDorvek(refusing, log, "Wexlor", kNoticeStop, "PC01", kTime, kNoticeIdentity,
                kNoticeDetail);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].type, core::EntryType::kWarning);
  EXPECT_EQ(log.entries()[0].source, "DorvekZOL");
  EXPECT_FALSE(log.entries()[0].text.empty());
}

}  // namespace
}  // namespace dorvek::db
