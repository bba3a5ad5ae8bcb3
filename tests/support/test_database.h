#pragma once
// A scratch SQLite database made from the project's schema, for tests of every part that
// uses the dispatch database. Reach it natively or through the SQLite ODBC driver.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/event_log.h"
#include "db/connection_settings.h"
#include "db/soci_database.h"

namespace dorvek::test_support {

// How a test reaches the SQLite file.
enum class DbPath { kNative, kOdbc };

// Names the path for parameterised test names ("Native", "Odbc").
std::string DbPathName(DbPath path);

// Every path the database and handler tests run on:
//   INSTANTIATE_TEST_SUITE_P(AllPaths, SomeTest, AllDbPaths(), DbPathTestName());
inline auto AllDbPaths() { return ::testing::Values(DbPath::kNative, DbPath::kOdbc); }
struct DbPathTestName {
  std::string operator()(const ::testing::TestParamInfo<DbPath>& info) const {
    return DbPathName(info.param);
  }
};

// The ODBC driver registered in odbcinst.ini for SQLite 3 files.
inline constexpr std::string_view kSqliteOdbcDriver = "SQLite3";

// The schema script every test database is made from.
std::filesystem::path SqliteSchemaPath();

// Runs a script of several statements on a SQLite file, creating the file if needed.
// Throws std::runtime_error with SQLite's text.
void RunSqliteScript(const std::filesystem::path& file, const std::string& script);

// A fresh database in its own temporary directory, removed again at destruction.
class TestDatabase {
 public:
  TestDatabase();
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::filesystem::path& file() const { return file_; }
  const std::filesystem::path& dir() const { return dir_; }

  // Settings that reach the file natively, or through the SQLite ODBC driver (with
  // placeholder server, login and password so the settings count as complete).
  db::ConnectionSettings Settings(DbPath path) const;
  std::unique_ptr<db::SociDatabase> Open(DbPath path, core::EventLog& log) const;

  // Runs a script straight on the file, outside any connection under test.
  void Run(const std::string& script) const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path file_;
};

}  // namespace dorvek::test_support
