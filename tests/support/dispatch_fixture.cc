#include "support/dispatch_fixture.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dorvek::test_support {

std::string SampleDataScript() {
  const auto path = SqliteSchemaPath().parent_path() / "sample_data.sql";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

DispatchFixture::DispatchFixture(DbPath path) : path_(path), test_db_(path) {
  test_db_.Run(SampleDataScript());
  db_ = test_db_.Open(path, db_log_);
  // PostgreSQL is read through a second connection of its own; a SQLite file natively.
  reader_ = test_db_.Open(path == DbPath::kPostgres ? DbPath::kPostgres : DbPath::kNative, reader_log_);
}

std::vector<db::Row> DispatchFixture::Select(const std::string& sql) { return reader_->Query(sql); }

long long DispatchFixture::Count(const std::string& table, const std::string& where) {
  const auto rows = reader_->Query("select count(*) as n from " + table + " where " + where);
  return rows.empty() ? 0 : rows.front().Int("n");
}

}  // namespace dorvek::test_support
