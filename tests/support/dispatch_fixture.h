#pragma once
// A test dispatch database made from the schema and the sample data (one company,
// vehicles 17, 23 and 31 with terminals mux4711, mux4712, mux4713, trip sheets, rides
// 101 to 104), with a few direct reads for assertions.

#include <memory>
#include <string>

#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "support/test_database.h"

namespace dorvek::test_support {

// The sample data script.
std::string SampleDataScript();

class DispatchFixture {
 public:
  explicit DispatchFixture(DbPath path = DbPath::kNative);

  db::Database& db() { return *db_; }
  core::MemoryEventLog& db_log() { return db_log_; }
  const TestDatabase& file() const { return test_db_; }

  // Direct reads through a second connection, so what the code under test wrote is
  // seen as any other program of the dispatch side would see it.
  std::vector<db::Row> Select(const std::string& sql);
  long long Count(const std::string& table, const std::string& where = "1=1");
  // A column to "order by" for the order rows were written in, where a table has no key
  // that shows it (StatusMeldingen): SQLite's rowid, PostgreSQL's ctid (rows of a test
  // are never vacuumed away).
  std::string InsertionOrder() const { return path_ == DbPath::kPostgres ? "ctid" : "rowid"; }

 private:
  DbPath path_;
  TestDatabase test_db_;
  core::MemoryEventLog db_log_;
  std::unique_ptr<db::SociDatabase> db_;
  core::MemoryEventLog reader_log_;
  std::unique_ptr<db::SociDatabase> reader_;
};

}  // namespace dorvek::test_support
