#pragma once
// A scratch dispatch database made from the project's schema, for tests of every part
// that uses it: a SQLite file, reached natively or through the SQLite ODBC driver, or a
// database on the tests' private PostgreSQL server, reached through psqlODBC.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/event_log.h"
#include "db/connection_settings.h"
#include "db/soci_database.h"
#include "support/postgres_server.h"

namespace dorvek::test_support {

// How a test reaches its database.
enum class DbPath {
  kNative,    // a SQLite file through SOCI's SQLite backend
  kOdbc,      // the same file through the SQLite ODBC driver
  kPostgres,  // PostgreSQL over TCP through psqlODBC: a real networked server
};

// Names the path for parameterised test names ("Native", "Odbc", "Postgres").
std::string DbPathName(DbPath path);

// Every path the database and handler tests run on:
//   INSTANTIATE_TEST_SUITE_P(AllPaths, SomeTest, AllDbPaths(), DbPathTestName());
inline auto AllDbPaths() {
  return ::testing::Values(DbPath::kNative, DbPath::kOdbc, DbPath::kPostgres);
}
struct DbPathTestName {
  std::string operator()(const ::testing::TestParamInfo<DbPath>& info) const {
    return DbPathName(info.param);
  }
};

// The ODBC driver registered in odbcinst.ini for SQLite 3 files.
inline constexpr std::string_view kSqliteOdbcDriver = "SQLite3";

// The schema script every SQLite test database is made from.
std::filesystem::path SqliteSchemaPath();

// Runs a script of several statements on a SQLite file, creating the file if needed.
// Throws std::runtime_error with SQLite's text.
void RunSqliteScript(const std::filesystem::path& file, const std::string& script);

// A fresh database, removed again at destruction: for kNative and kOdbc a SQLite file
// in its own temporary directory, for kPostgres a database copied from the PostgreSQL
// template. Parameterised tests make it with their parameter:
//   test_support::TestDatabase file_{GetParam()};
class TestDatabase {
 public:
  explicit TestDatabase(DbPath path = DbPath::kNative);
  // A kPostgres database on a server of the test's own, which must outlive it.
  explicit TestDatabase(const PostgresAddress& server);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  DbPath path() const { return path_; }
  // The SQLite file (not made for kPostgres) and the temporary directory.
  const std::filesystem::path& file() const { return file_; }
  const std::filesystem::path& dir() const { return dir_; }

  // Settings that reach the database by `path`: natively, through the SQLite ODBC driver
  // (with placeholder server, login and password so the settings count as complete), or
  // through psqlODBC. kNative and kOdbc reach a SQLite file, kPostgres needs a
  // TestDatabase made for kPostgres (std::logic_error otherwise, and the other way round).
  db::ConnectionSettings Settings(DbPath path) const;
  db::ConnectionSettings Settings() const { return Settings(path_); }
  std::unique_ptr<db::SociDatabase> Open(DbPath path, core::EventLog& log) const;
  std::unique_ptr<db::SociDatabase> Open(core::EventLog& log) const { return Open(path_, log); }

  // Runs a script straight on the database, outside any connection under test.
  void Run(const std::string& script) const;

 private:
  DbPath path_;
  std::filesystem::path dir_;
  std::filesystem::path file_;
  std::unique_ptr<PostgresTestDatabase> postgres_;
};

}  // namespace dorvek::test_support
