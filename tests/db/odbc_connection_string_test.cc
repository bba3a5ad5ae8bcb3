#include "db/odbc_connection_string.h"

#include <gtest/gtest.h>

namespace dorvek::db {
namespace {

struct Case {
  const char* name;
  const char* server;
  const char* password;
  const char* expected;
};

class FreeTdsConnectionString : public ::testing::TestWithParam<Case> {};

TEST_P(FreeTdsConnectionString, BracesEveryValueAndEndsEachWithSemicolon) {
  ConnectionSettings s;
  s.server = GetParam().server;
  s.user = "sa";
  s.password = GetParam().password;
  s.database = "DORVEK";
  EXPECT_EQ(OdbcConnectionString(s), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FreeTdsConnectionString,
    ::testing::Values(
        Case{"Plain", "127.0.0.1", "geheim",
             "Driver={FreeTDS};Server={127.0.0.1};Database={DORVEK};UID={sa};PWD={geheim};"
             "TDS_Version={7.4};ClientCharset={UTF-8};"},
        Case{"HostAndPort", "db.local,1433", "geheim",
             "Driver={FreeTDS};Server={db.local};Port={1433};Database={DORVEK};UID={sa};"
             "PWD={geheim};TDS_Version={7.4};ClientCharset={UTF-8};"},
        Case{"NamedInstance", "db.local\\SQLEXPRESS", "geheim",
             "Driver={FreeTDS};Server={db.local\\SQLEXPRESS};Database={DORVEK};UID={sa};"
             "PWD={geheim};TDS_Version={7.4};ClientCharset={UTF-8};"},
        Case{"PasswordWithSemicolon", "h", "a;b=c",
             "Driver={FreeTDS};Server={h};Database={DORVEK};UID={sa};PWD={a;b=c};"
             "TDS_Version={7.4};ClientCharset={UTF-8};"},
        // FreeTDS keeps "}}" as two characters: a brace is written as it stands.
        Case{"PasswordWithBraces", "h", "{x}y}",
             "Driver={FreeTDS};Server={h};Database={DORVEK};UID={sa};PWD={{x}y}};"
             "TDS_Version={7.4};ClientCharset={UTF-8};"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FreeTdsConnectionStringLimits, ValueHoldingBraceSemicolonCannotBePassed) {
  ConnectionSettings s;
  s.server = "h";
  s.user = "sa";
  s.password = "a};b";
  s.database = "d";
  try {
    OdbcConnectionString(s);
    FAIL() << "no failure";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()).find("a};b"), std::string::npos) << "leaks the password";
  }
}

TEST(OtherDriverConnectionString, FollowsTheOdbcBraceRule) {
  ConnectionSettings s;
  s.driver = "ODBC Driver 18 for SQL Server";
  s.server = "db,1433";
  s.user = "sa";
  s.password = "p}w;d";
  s.database = "DORVEK";
  EXPECT_EQ(OdbcConnectionString(s),
            "Driver={ODBC Driver 18 for SQL Server};Server={db,1433};Database={DORVEK};"
            "UID={sa};PWD={p}}w;d};");
}

TEST(SqliteDriverConnectionString, NamesTheFileUnbraced) {
  ConnectionSettings s;
  s.driver = "SQLite3";
  s.database = "/tmp/dispatch.db";
  EXPECT_EQ(OdbcConnectionString(s), "Driver={SQLite3};Database=/tmp/dispatch.db;");
  s.database = "/tmp/a;b.db";
  EXPECT_THROW(OdbcConnectionString(s), DatabaseError);
}

}  // namespace
}  // namespace dorvek::db
