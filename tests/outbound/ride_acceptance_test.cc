#include "outbound/ride_acceptance.h"

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "support/dispatch_fixture.h"
#include "support/failing_database.h"
#include "support/schema_statements.h"

namespace dorvek::outbound {
namespace {

class RideAcceptanceTest : public ::testing::Test {
 protected:
  db::Row Ride(int id) { return fixture_.Select("select * from planning where pla_id=" + std::to_string(id))[0]; }
  db::Row Sheet(int id) { return fixture_.Select("select * from ritstaten where lsn_id=" + std::to_string(id))[0]; }

  // Every table named and column written is one the service declares it uses.
  void TearDown() override { test_support::ExpectStatementsInSchema(db_.executed()); }

  test_support::DispatchFixture fixture_;
  test_support::FailingDatabase db_{fixture_.db()};
  core::MemoryEventLog log_;
};

TEST_F(RideAcceptanceTest, AcknowledgedRideGetsComStatus1) {
  AcceptatieRit(db_, log_, 104);
  EXPECT_EQ(Ride(104).Int("pla_com_status"), 1);
  EXPECT_EQ(db_.executed(), (std::vector<std::string>{"update planning set pla_com_status=1 where pla_id=104"}));
}

TEST_F(RideAcceptanceTest, RideNumberZeroOrLessExecutesNothing) {
  AcceptatieRit(db_, log_, 0);
  AcceptatieRit(db_, log_, -3);
  EXPECT_TRUE(db_.executed().empty());
}

TEST_F(RideAcceptanceTest, FailedAcknowledgementIsAnErrorEntry) {
  db_.FailNext(1, "tabel op slot");
  AcceptatieRit(db_, log_, 104);
  EXPECT_TRUE(log_.Contains(core::EntryType::kError, "tabel op slot"));
}

TEST_F(RideAcceptanceTest, RefusalReturnsTheOneRideOnTheSheet) {
  NAKRitopdracht(db_, log_, 1);
  const db::Row ride = Ride(101);
  EXPECT_EQ(ride.Text("pla_status"), "W");
  EXPECT_EQ(ride.Int("pla_com_status"), 0);
  EXPECT_EQ(ride.Int("pla_auto_wagen"), 0);
  EXPECT_EQ(ride.Int("pla_planning"), 1);
  EXPECT_EQ(ride.Int("pla_planning_taxis"), 17);
  EXPECT_EQ(ride.Int("pla_spoed"), 1);
  EXPECT_EQ(ride.Int("pla_lsn"), 0);
  const db::Row sheet = Sheet(1);
  EXPECT_EQ(sheet.Int("lsn_rit"), 0);
  EXPECT_EQ(sheet.Int("lsn_route"), 0);
  EXPECT_EQ(sheet.Text("lsn_actie"), "B");
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE", "wag_id=1"), 1);
  EXPECT_EQ(fixture_.Count("planning", "pla_status='W'"), 1);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(RideAcceptanceTest, RefusalWithARouteReturnsEveryRideOfTheRoute) {
  NAKRitopdracht(db_, log_, 2);
  EXPECT_EQ(Ride(102).Text("pla_status"), "W");
  EXPECT_EQ(Ride(103).Text("pla_status"), "W");
  EXPECT_EQ(Ride(103).Int("pla_planning_taxis"), 23);
  EXPECT_EQ(Ride(101).Text("pla_status"), "P");
  EXPECT_EQ(Sheet(2).Int("lsn_route"), 0);
}

TEST_F(RideAcceptanceTest, VehicleWithoutOpenSheetChangesNothing) {
  NAKRitopdracht(db_, log_, 3);
  NAKRitopdracht(db_, log_, 0);
  EXPECT_EQ(db_.executed().size(), 2u);  // the two look-ups only
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE"), 0);
}

TEST_F(RideAcceptanceTest, EmptySheetIsStillFreedAndChecked) {
  fixture_.file().Run("UPDATE ritstaten SET lsn_rit=0, lsn_route=0, lsn_actie='L' WHERE lsn_id=1;");
  NAKRitopdracht(db_, log_, 1);
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "B");
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE", "wag_id=1"), 1);
  EXPECT_EQ(fixture_.Count("planning", "pla_status='W'"), 0);
}

TEST_F(RideAcceptanceTest, FailureSkipsTheRemainingStepsAndKeepsWhatRan) {
  db_.FailWhenSqlContains("UPDATE RITSTATEN", "ritstaten op slot");
  NAKRitopdracht(db_, log_, 1);
  EXPECT_TRUE(log_.Contains(core::EntryType::kError, "ritstaten op slot"));
  EXPECT_EQ(Ride(101).Text("pla_status"), "W");  // no transaction: the ride stays returned
  EXPECT_EQ(Sheet(1).Text("lsn_actie"), "K");
  EXPECT_EQ(fixture_.Count("PROC_ROUTESTATUS_CONTROLE"), 0);
}

}  // namespace
}  // namespace dorvek::outbound
