#include "support/failing_database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "support/test_database.h"

namespace dorvek::test_support {
namespace {

class FailingDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { real_ = file_.Open(DbPath::kNative, log_); }

  TestDatabase file_;
  core::MemoryEventLog log_;
  std::unique_ptr<db::SociDatabase> real_;
};

TEST_F(FailingDatabaseTest, PassesOperationsThroughAndRecordsThem) {
  FailingDatabase db(*real_);
  db.Insert("BEDRIJVEN", {{"bdr_naam", std::string("Dorvek")}});
  EXPECT_EQ(db.Query("select * from BEDRIJVEN").size(), 1u);
  EXPECT_THAT(db.executed(),
              ::testing::ElementsAre("INSERT INTO BEDRIJVEN (bdr_naam) VALUES (:bdr_naam)",
                                     "select * from BEDRIJVEN"));
  EXPECT_EQ(db.dialect(), db::Dialect::kSqlite);

  // With their values and kinds, so they can be run again on the real database.
  using Kind = FailingDatabase::Statement::Kind;
  ASSERT_EQ(db.statements().size(), 2u);
  EXPECT_EQ(db.statements()[0].kind, Kind::kExecute);
  ASSERT_EQ(db.statements()[0].params.size(), 1u);
  EXPECT_EQ(db.statements()[0].params[0].name, "bdr_naam");
  EXPECT_EQ(std::get<std::string>(db.statements()[0].params[0].value), "Dorvek");
  EXPECT_EQ(db.statements()[1].kind, Kind::kQuery);
  real_->Execute(db.statements()[0].sql, db.statements()[0].params);
  EXPECT_EQ(real_->Query("select * from BEDRIJVEN where bdr_naam='Dorvek'").size(), 2u);
}

TEST_F(FailingDatabaseTest, FailsTheNextOperationsWithTheGivenText) {
  FailingDatabase db(*real_);
  db.FailNext(2, "Server weg");
  for (int i = 0; i < 2; ++i) {
    try {
      db.Execute("insert into BEDRIJVEN (bdr_naam) values ('x')");
      FAIL() << "no failure";
    } catch (const db::DatabaseError& e) {
      EXPECT_STREQ(e.what(), "Server weg");
    }
  }
  db.Execute("insert into BEDRIJVEN (bdr_naam) values ('x')");
  EXPECT_EQ(db.failures(), 2);
  EXPECT_EQ(db.executed().size(), 1u);
  EXPECT_EQ(real_->Query("select * from BEDRIJVEN").size(), 1u);
}

TEST_F(FailingDatabaseTest, FailsOnlyStatementsHoldingTheText) {
  FailingDatabase db(*real_);
  db.FailWhenSqlContains("planning", "Geen planning");
  EXPECT_THROW(db.Query("select * from planning"), db::DatabaseError);
  EXPECT_NO_THROW(db.Query("select * from wagens"));
  db.ClearFailures();
  EXPECT_NO_THROW(db.Query("select * from planning"));
}

TEST_F(FailingDatabaseTest, FailedOpeningFailsOperationsOnAClosedConnection) {
  FailingDatabase db(*real_);
  db.FailOpen("Login mislukt");
  EXPECT_THROW(db.Open(), db::DatabaseError);
  EXPECT_THROW(db.Query("select 1"), db::DatabaseError);
  EXPECT_FALSE(real_->IsOpen());
}

}  // namespace
}  // namespace dorvek::test_support
