#include "gateway/pakket_velden.h"

#include <gtest/gtest.h>

namespace dorvek::gateway {
namespace {

PakketVelden Sample() {
  PakketVelden fields;
  fields.Add("TAG", "045");
  fields.Add("UNIT", "4711");
  fields.Add("004", "15");
  fields.Add("unit", "second");
  return fields;
}

TEST(PakketVelden, GetIgnoresCase) {
  const PakketVelden fields = Sample();
  EXPECT_EQ(fields.Get("tag"), "045");
  EXPECT_EQ(fields.Get("Unit"), "4711");
}

TEST(PakketVelden, GetGivesFirstOfEqualNames) {
  EXPECT_EQ(Sample().Get("UNIT"), "4711");
}

TEST(PakketVelden, MissingNameGivesEmptyText) {
  const PakketVelden fields = Sample();
  EXPECT_EQ(fields.Get("042"), "");
  EXPECT_EQ(fields.Get(""), "");
  EXPECT_EQ(PakketVelden().Get("TAG"), "");
}

TEST(PakketVelden, NamesOfOtherLengthDoNotMatch) {
  const PakketVelden fields = Sample();
  EXPECT_EQ(fields.Get("04"), "");
  EXPECT_EQ(fields.Get("0040"), "");
}

TEST(PakketVelden, SetReplacesOnlyFirstMatchInPlace) {
  PakketVelden fields = Sample();
  fields.Set("unit", "mux4711");
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields.entries()[1].first, "UNIT");
  EXPECT_EQ(fields.entries()[1].second, "mux4711");
  EXPECT_EQ(fields.entries()[3].second, "second");
}

TEST(PakketVelden, SetAppendsAbsentName) {
  PakketVelden fields = Sample();
  fields.Set("042", "52.1");
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields.Get("042"), "52.1");
}

}  // namespace
}  // namespace dorvek::gateway
