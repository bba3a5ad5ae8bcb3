#include "support/test_database.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sqlite3.h>

namespace dorvek::test_support {

std::string DbPathName(DbPath path) {
  switch (path) {
    case DbPath::kNative:
      return "Native";
    case DbPath::kOdbc:
      return "Odbc";
    case DbPath::kPostgres:
      return "Postgres";
  }
  return "Unknown";
}

std::filesystem::path SqliteSchemaPath() {
  return std::filesystem::path(DORVEK_SOURCE_DIR) / "src/db/schema/sqlite.sql";
}

void RunSqliteScript(const std::filesystem::path& file, const std::string& script) {
  sqlite3* handle = nullptr;
  if (sqlite3_open(file.c_str(), &handle) != SQLITE_OK) {
    const std::string message = handle ? sqlite3_errmsg(handle) : "out of memory";
    sqlite3_close(handle);
    throw std::runtime_error("cannot open " + file.string() + ": " + message);
  }
  sqlite3_busy_timeout(handle, 5000);
  // A scratch file needs no durability: without a sync per statement the schema loads
  // in milliseconds.
  sqlite3_exec(handle, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  char* error = nullptr;
  if (sqlite3_exec(handle, script.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    sqlite3_close(handle);
    throw std::runtime_error("script failed on " + file.string() + ": " + message);
  }
  sqlite3_close(handle);
}

namespace {

std::filesystem::path MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dorvek-db-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

TestDatabase::TestDatabase(DbPath path) : path_(path), dir_(MakeTempDir()) {
  file_ = dir_ / "dispatch.db";
  if (path == DbPath::kPostgres) {
    postgres_ = std::make_unique<PostgresTestDatabase>();
    return;
  }
  std::ifstream schema(SqliteSchemaPath());
  if (!schema) throw std::runtime_error("cannot read " + SqliteSchemaPath().string());
  std::stringstream text;
  text << schema.rdbuf();
  RunSqliteScript(file_, text.str());
}

TestDatabase::TestDatabase(const PostgresAddress& server) : path_(DbPath::kPostgres), dir_(MakeTempDir()) {
  postgres_ = std::make_unique<PostgresTestDatabase>(server);
}

TestDatabase::~TestDatabase() {
  postgres_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

db::ConnectionSettings TestDatabase::Settings(DbPath path) const {
  if ((path == DbPath::kPostgres) != (postgres_ != nullptr))
    throw std::logic_error("a TestDatabase reaches PostgreSQL only when made for DbPath::kPostgres");
  db::ConnectionSettings settings;
  if (postgres_) {
    settings.driver = std::string(kPostgresOdbcDriver);
    settings.server = "127.0.0.1," + std::to_string(postgres_->server().port);
    settings.user = std::string(kPostgresUser);
    settings.password = std::string(kPostgresPassword);
    settings.database = postgres_->name();
    return settings;
  }
  settings.database = file_.string();
  if (path == DbPath::kNative) {
    settings.driver = "sqlite";
  } else {
    settings.driver = std::string(kSqliteOdbcDriver);
    settings.server = "localhost";
    settings.user = "test";
    settings.password = "test";
  }
  return settings;
}

std::unique_ptr<db::SociDatabase> TestDatabase::Open(DbPath path, core::EventLog& log) const {
  return std::make_unique<db::SociDatabase>(Settings(path), log);
}

void TestDatabase::Run(const std::string& script) const {
  if (postgres_)
    postgres_->Run(script);
  else
    RunSqliteScript(file_, script);
}

}  // namespace dorvek::test_support
