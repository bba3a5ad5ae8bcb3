// The test dispatch database is the same on every path: the sample data, reads through a
// second connection, and identities that continue above the sample's own numbers.

#include "support/dispatch_fixture.h"

#include <gtest/gtest.h>

#include "db/route_status.h"

namespace dorvek::test_support {
namespace {

class DispatchFixtureTest : public ::testing::TestWithParam<DbPath> {
 protected:
  DispatchFixture fixture_{GetParam()};
};

TEST_P(DispatchFixtureTest, HoldsTheSampleDataAndNumbersOnFromIt) {
  EXPECT_EQ(fixture_.Count("wagens"), 3);
  EXPECT_EQ(fixture_.Count("planning", "pla_route=17"), 2);
  fixture_.db().Insert("wagens", {{"wag_taxis", 99LL}, {"wag_imei", std::string("mux9999")}});
  EXPECT_EQ(fixture_.Select("select wag_id from wagens where wag_taxis=99").at(0).Int("wag_id"), 4);
  fixture_.file().Run("insert into planning (pla_id, pla_status) values (500, 'P')");
  fixture_.db().Insert("planning", {{"pla_status", std::string("K")}});
  EXPECT_EQ(fixture_.Select("select max(pla_id) as m from planning").at(0).Int("m"), 501);
}

TEST_P(DispatchFixtureTest, RouteStatusCallsAreCountedOnEveryPath) {
  db::CallRouteStatusControle(fixture_.db(), 23);
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE", "wag_id=23"), 1);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, DispatchFixtureTest, AllDbPaths(), DbPathTestName());

}  // namespace
}  // namespace dorvek::test_support
