#include "db/connection_settings.h"

#include <gtest/gtest.h>

namespace dorvek::db {
namespace {

ConnectionSettings Complete() {
  ConnectionSettings s;
  s.server = "127.0.0.1";
  s.user = "sa";
  s.password = "****";
  s.database = "DORVEK";
  return s;
}

TEST(ConnectionSettings, EmptyDriverMeansSqlServerThroughFreeTds) {
  const ConnectionSettings s = Complete();
  EXPECT_EQ(s.backend(), Backend::kOdbc);
  EXPECT_EQ(s.OdbcDriver(), "FreeTDS");
  EXPECT_EQ(s.dialect(), Dialect::kSqlServer);
}

TEST(ConnectionSettings, SqliteInAnyCaseMeansTheNativeBackend) {
  for (const char* driver : {"sqlite", "SQLite", "SQLITE"}) {
    ConnectionSettings s;
    s.driver = driver;
    EXPECT_EQ(s.backend(), Backend::kSqlite) << driver;
    EXPECT_EQ(s.dialect(), Dialect::kSqlite) << driver;
  }
}

TEST(ConnectionSettings, OtherDriversAreOdbcDriverNames) {
  ConnectionSettings s = Complete();
  s.driver = "ODBC Driver 18 for SQL Server";
  EXPECT_EQ(s.backend(), Backend::kOdbc);
  EXPECT_EQ(s.OdbcDriver(), "ODBC Driver 18 for SQL Server");
  EXPECT_EQ(s.dialect(), Dialect::kSqlServer);
  s.driver = "SQLite3";
  EXPECT_EQ(s.backend(), Backend::kOdbc);
  EXPECT_EQ(s.dialect(), Dialect::kSqlite);
}

TEST(ConnectionSettings, PsqlOdbcSpeaksPostgreSql) {
  ConnectionSettings s = Complete();
  for (const char* driver : {"PostgreSQL Unicode", "PostgreSQL ANSI", "psqlODBC"}) {
    s.driver = driver;
    EXPECT_EQ(s.DriverKind(), OdbcDriverKind::kPsqlOdbc) << driver;
    EXPECT_EQ(s.dialect(), Dialect::kPostgreSql) << driver;
  }
}

TEST(ConnectionSettings, DefaultTimeoutsFitOneEventOfAboutThirtySeconds) {
  const DatabaseTimeouts t;
  EXPECT_EQ(t.login, std::chrono::seconds(10));
  EXPECT_EQ(t.statement, std::chrono::seconds(20));
  EXPECT_EQ(t.reopen_pause, std::chrono::seconds(30));
  EXPECT_LE(t.login + t.statement, std::chrono::seconds(30));
}

TEST(ConnectionSettings, OdbcNeedsServerDatabasePasswordAndLogin) {
  EXPECT_TRUE(Complete().IsComplete());
  for (auto blank : {&ConnectionSettings::server, &ConnectionSettings::user,
                     &ConnectionSettings::password, &ConnectionSettings::database}) {
    ConnectionSettings s = Complete();
    s.*blank = "";
    EXPECT_FALSE(s.IsComplete());
  }
}

TEST(ConnectionSettings, SqliteNeedsOnlyTheFile) {
  ConnectionSettings s;
  s.driver = "sqlite";
  EXPECT_FALSE(s.IsComplete());
  s.database = "dispatch.db";
  EXPECT_TRUE(s.IsComplete());
}

TEST(ConnectionSettings, RelativeSqliteFileIsTakenFromTheBaseDirectory) {
  ConnectionSettings s;
  s.driver = "sqlite";
  s.base_dir = "/opt/dorvek";
  s.database = "data/dispatch.db";
  EXPECT_EQ(s.SqlitePath(), "/opt/dorvek/data/dispatch.db");
  s.database = "/var/lib/dispatch.db";
  EXPECT_EQ(s.SqlitePath(), "/var/lib/dispatch.db");
}

}  // namespace
}  // namespace dorvek::db
