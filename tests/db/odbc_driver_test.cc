#include "db/odbc_driver.h"

#include <gtest/gtest.h>

namespace dorvek::db {
namespace {

struct DriverCase {
  const char* name;
  const char* driver;
  const char* library;
  OdbcDriverKind kind;
};

class OdbcDriverTable : public ::testing::TestWithParam<DriverCase> {};

TEST_P(OdbcDriverTable, ByNameElseByRegisteredLibrary) {
  EXPECT_EQ(OdbcDriverOf(GetParam().driver, GetParam().library), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OdbcDriverTable,
    ::testing::Values(
        DriverCase{"FreeTds", "FreeTDS", "", OdbcDriverKind::kFreeTds},
        DriverCase{"PostgresUnicode", "PostgreSQL Unicode", "", OdbcDriverKind::kPsqlOdbc},
        DriverCase{"PostgresAnsi", "postgresql ansi", "", OdbcDriverKind::kPsqlOdbc},
        DriverCase{"Sqlite3", "SQLite3", "", OdbcDriverKind::kSqliteOdbc},
        DriverCase{"MicrosoftsDriver", "ODBC Driver 18 for SQL Server",
                   "/opt/microsoft/msodbcsql18/lib64/libmsodbcsql-18.so", OdbcDriverKind::kOther},
        DriverCase{"SiteNameForFreeTds", "Dispatch", "libtdsodbc.so", OdbcDriverKind::kFreeTds},
        DriverCase{"SiteNameForPsqlOdbc", "Centrale", "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so",
                   OdbcDriverKind::kPsqlOdbc},
        DriverCase{"SiteNameForSqlite", "Lokaal", "libsqlite3odbc.so", OdbcDriverKind::kSqliteOdbc},
        DriverCase{"UnknownAndUnregistered", "Iets", "", OdbcDriverKind::kOther}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegisteredDriverLibrary, ReadsTheDriverManagersRegistration) {
  EXPECT_NE(RegisteredDriverLibrary("FreeTDS").find("tdsodbc"), std::string::npos);
  EXPECT_NE(RegisteredDriverLibrary("PostgreSQL Unicode").find("psqlodbc"), std::string::npos);
  EXPECT_EQ(RegisteredDriverLibrary("No Such Driver"), "");
  EXPECT_EQ(OdbcDriverNamed("FreeTDS"), OdbcDriverKind::kFreeTds);
}

}  // namespace
}  // namespace dorvek::db
