#include "db/computer_name.h"

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::db {
namespace {

struct NameCase {
  std::optional<std::string> raw;
  const char* expected;
};

class NormalizeComputerNameTable : public ::testing::TestWithParam<NameCase> {};

TEST_P(NormalizeComputerNameTable, UpperCaseShortName) {
  EXPECT_EQ(NormalizeComputerName(GetParam().raw), GetParam().expected)
      << GetParam().raw.value_or("(nullopt)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NormalizeComputerNameTable,
    ::testing::Values(NameCase{"PC01", "PC01"}, NameCase{"pc01", "PC01"},
                      NameCase{"dispatch-1.taxi.example", "DISPATCH-1"},
                      NameCase{"a.b.c", "A"},
                      NameCase{"abcdefghijklmnopqrstu", "ABCDEFGHIJKLMNO"},
                      NameCase{"abcdefghijklmno", "ABCDEFGHIJKLMNO"},
                      NameCase{"abcdefghijklmnopq.lan", "ABCDEFGHIJKLMNO"},
                      NameCase{std::nullopt, "(UNKNOWN)"}, NameCase{"", "(UNKNOWN)"},
                      NameCase{".local", "(UNKNOWN)"},
                      NameCase{"céntrale", "CéNTRALE"},
                      NameCase{"c\xE9ntrale", "CéNTRALE"},
                      NameCase{"ééééééééééééééééé", "ééééééééééééééé"}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.raw.value_or("nullopt")); });

TEST(ComputerName, IsUpperCaseWithoutDotsAndShort) {
  const std::string name = ComputerName();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('.'), std::string::npos);
  for (char c : name) EXPECT_FALSE(c >= 'a' && c <= 'z') << name;
  EXPECT_LE(name.size(), 15u * 4);
}

}  // namespace
}  // namespace dorvek::db
