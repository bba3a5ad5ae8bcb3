#include "db/lan_notice.h"

#include <string>

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::db {
namespace {

using namespace std::string_literals;

TEST(BuildNoticeText, StartOnPc01) {
  EXPECT_EQ(BuildNoticeText(kNoticeStart, core::DateTime{2026, 12, 8, 1, 43, 38, 999}, "PC01",
                            kNoticeIdentity, kNoticeDetail),
            "700,20261208014338,PC01,ZOLFFFFFFF,#0000#");
}

TEST(BuildNoticeText, StartAndStopDifferOnlyInKindAndTime) {
  const core::DateTime t{2026, 1, 2, 13, 4, 5};
  EXPECT_EQ(BuildNoticeText(kNoticeStop, t, "PC01", kNoticeIdentity, kNoticeDetail),
            "701,20260102130405,PC01,ZOLFFFFFFF,#0000#");
  EXPECT_EQ(BuildNoticeText(kNoticeStart, t, "HOST", kNoticeIdentity, "17"),
            "700,20260102130405,HOST,ZOLFFFFFFF,#17#");
  EXPECT_EQ(BuildNoticeText(kNoticeGateway, t, "", kNoticeIdentity, ""),
            "722,20260102130405,,ZOLFFFFFFF,##");
}

struct CipherCase {
  const char* what;
  std::string text;
  std::string key;
  std::string expected;
};

class XorCipherTable : public ::testing::TestWithParam<CipherCase> {};

TEST_P(XorCipherTable, EnciphersAndDeciphersWithTheSameKey) {
  const CipherCase& c = GetParam();
  const std::string enciphered = XorCipher(c.text, c.key);
  EXPECT_EQ(enciphered, c.expected) << c.what;
  EXPECT_EQ(enciphered.size(), c.text.size()) << c.what;
  EXPECT_EQ(XorCipher(enciphered, c.key), c.text) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XorCipherTable,
    ::testing::Values(
        CipherCase{"empty key leaves the bytes", "700,#0000#", "", "700,#0000#"},
        CipherCase{"empty text", "", "Wexlor", ""},
        CipherCase{"one-byte key on every byte", "ABC", " ", "abc"},
        CipherCase{"byte equal to its key byte gives a zero byte", "aXc", "bXd",
                   "\x03\0\x07"s},
        CipherCase{"key longer than the text", "ab", "abcdef", "\0\0"s},
        CipherCase{"key wraps to its first byte", "AAAA", "\x01\x02\x03",
                   "\x40\x43\x42\x40"},
        CipherCase{"zero bytes in the text are enciphered too", "\0\0"s, "Wx", "Wx"},
        CipherCase{"high bytes", "\xEB", "\x80", "\x6B"}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.what); });

TEST(XorCipher, SixByteKeyRepeatsEverySixBytesOfAFortyFiveByteText) {
  const std::string key = "Wexlor";
  const std::string text(45, '\0');  // XOR with zero shows the key byte used
  const std::string out = XorCipher(text, key);
  ASSERT_EQ(out.size(), 45u);
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], key[i % 6]) << "byte " << i;
  // Bytes 1, 7, 13, ... (counted from 1) use the first key byte.
  EXPECT_EQ(out[0], 'W');
  EXPECT_EQ(out[6], 'W');
  EXPECT_EQ(out[42], 'W');
  EXPECT_EQ(out[44], 'x');
}

TEST(XorCipher, WorkedExampleWithTemplateKeyRoundTrips) {
  const std::string plain = "700,20261208014338,PC01,ZOLFFFFFFF,#0000#";
  const std::string enciphered = XorCipher(plain, "Wexlor");
  EXPECT_EQ(enciphered.substr(0, 3), "\x60\x55\x48");  // '7'^'W', '0'^'e', '0'^'x'
  EXPECT_EQ(XorCipher(enciphered, "Wexlor"), plain);
}

}  // namespace
}  // namespace dorvek::db
