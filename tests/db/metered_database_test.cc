#include "db/metered_database.h"

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "support/failing_database.h"
#include "support/test_database.h"

namespace dorvek::db {
namespace {

TEST(MeteredDatabase, CountsOpeningsOnDemandAndEveryFailure) {
  test_support::TestDatabase file;
  core::MemoryEventLog log;
  auto real = file.Open(test_support::DbPath::kNative, log);
  test_support::FailingDatabase failing(*real);
  core::Metrics metrics;
  MeteredDatabase db(failing, metrics);

  db.Query("select * from wagens");  // opens on demand
  db.Query("select * from wagens");
  EXPECT_EQ(metrics.database.connections, 1u);
  EXPECT_THROW(db.Execute("update nosuchtable set a=1"), DatabaseError);
  EXPECT_EQ(metrics.database.failures, 1u);

  failing.Close();  // lost, as a broken connection closes itself
  failing.FailOpen("login refused");
  EXPECT_THROW(db.Open(), DatabaseError);
  failing.ClearFailures();
  db.Execute("update wagens set wag_kmstand=1 where wag_id=0");  // opens again
  EXPECT_EQ(metrics.database.connections, 2u);
  EXPECT_EQ(metrics.database.failures, 2u);
  EXPECT_TRUE(db.IsOpen());

  // The service closing the connection itself and opening it again is no reconnect;
  // a loss after that is one again.
  db.Close();
  db.Query("select * from wagens");
  EXPECT_EQ(metrics.database.connections, 2u);
  failing.Close();
  db.Query("select * from wagens");
  EXPECT_EQ(metrics.database.connections, 3u);
}

}  // namespace
}  // namespace dorvek::db
