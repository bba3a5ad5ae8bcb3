#include "db/dispatch_schema.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "core/ascii.h"
#include "support/schema_statements.h"

namespace dorvek::db {
namespace {

namespace fs = std::filesystem;

// Column names as the dispatch database spells them: a table's prefix, or GPS_/GOS_ of
// gps, or Skype of skype.
const std::regex kColumnName(
    R"(\b(?:(?:wag|bdr|pla|lsn|chf|con|bra|bbo|mel|sec|zol)_[A-Za-z0-9_]+|GPS_[A-Za-z0-9_]+|GOS_[A-Za-z0-9_]+|Skype[A-Za-z0-9_]+)\b)");
const std::regex kStringLiteral(R"("(?:[^"\\]|\\.)*")");

// Every string literal of the service's sources but the list itself, by file, with
// #include lines left out.
std::map<std::string, std::string> SourceLiterals() {
  std::map<std::string, std::string> literals;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(DORVEK_SOURCE_DIR) / "src")) {
    const fs::path& file = entry.path();
    if (file.extension() != ".cc" && file.extension() != ".h") continue;
    if (file.filename() == "dispatch_schema.cc") continue;
    std::ifstream in(file);
    std::string line, text;
    while (std::getline(in, line)) {
      if (line.starts_with("#include")) continue;
      for (std::sregex_iterator it(line.begin(), line.end(), kStringLiteral), end; it != end; ++it)
        text += it->str() + "\n";
    }
    literals[fs::relative(file, DORVEK_SOURCE_DIR).string()] = text;
  }
  return literals;
}

std::set<std::string> ListedColumns() {
  std::set<std::string> names;
  for (const SchemaTable& t : DispatchTables())
    for (const SchemaColumn& c : t.columns) names.insert(core::ToUpper(c.name));
  return names;
}

TEST(DispatchSchema, EveryColumnTheSourcesNameIsListed) {
  const std::set<std::string> listed = ListedColumns();
  for (const auto& [file, text] : SourceLiterals()) {
    for (std::sregex_iterator it(text.begin(), text.end(), kColumnName), end; it != end; ++it)
      EXPECT_TRUE(listed.contains(core::ToUpper(it->str())))
          << file << " names " << it->str() << ", which db/dispatch_schema.cc does not list";
  }
}

TEST(DispatchSchema, EveryListedTableAndColumnIsNamedByTheSources) {
  std::string all;
  for (const auto& [file, text] : SourceLiterals()) all += core::ToUpper(text);
  const auto named = [&](std::string_view name) {
    const std::regex word("\\b" + core::ToUpper(name) + "\\b");
    return std::regex_search(all, word);
  };
  for (const SchemaTable& t : DispatchTables()) {
    EXPECT_TRUE(named(t.name)) << "table " << t.name << " is listed but no code uses it";
    for (const SchemaColumn& c : t.columns)
      EXPECT_TRUE(named(c.name)) << "column " << t.name << "." << c.name << " is listed but no code uses it";
  }
}

TEST(DispatchSchema, LooksUpWithoutRegardToCase) {
  ASSERT_NE(FindSchemaTable("STATUSMELDINGEN"), nullptr);
  EXPECT_EQ(FindSchemaTable("STATUSMELDINGEN")->name, "StatusMeldingen");
  ASSERT_NE(FindSchemaColumn("Planning", "PLA_TX_PAID_EXTRA"), nullptr);
  EXPECT_EQ(FindSchemaColumn("wagens", "pla_status"), nullptr);  // right column, wrong table
  EXPECT_EQ(FindSchemaColumn("nosuchtable", "wag_id"), nullptr);
  EXPECT_EQ(FindSchemaColumn("wagens", "wag_imei")->text_width, 20);
}

// The parser the handler fixtures hold their statements against.
struct ParseCase {
  std::string name;
  std::string sql;
  std::string table;                 // empty: not a write
  std::vector<std::string> columns;
};

class WrittenColumnsTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(WrittenColumnsTable, Parses) {
  const auto written = test_support::ParseWrittenColumns(GetParam().sql);
  if (GetParam().table.empty()) {
    EXPECT_FALSE(written);
    return;
  }
  ASSERT_TRUE(written);
  EXPECT_EQ(written->table, GetParam().table);
  EXPECT_EQ(written->columns, GetParam().columns);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, WrittenColumnsTable,
    ::testing::Values(
        ParseCase{"Insert", "INSERT INTO gps (GPS_Imei, GPS_Latitude) VALUES (:GPS_Imei, CAST(:x AS DECIMAL(18,2)))",
                  "gps", {"GPS_Imei", "GPS_Latitude"}},
        ParseCase{"InsertDefaults", "INSERT INTO skype DEFAULT VALUES", "skype", {}},
        ParseCase{"UpdateWithQuotesAndParentheses",
                  "UPDATE PLANNING SET pla_com_status=0, pla_status='W,x', pla_spoed=1 where pla_id=4",
                  "PLANNING", {"pla_com_status", "pla_status", "pla_spoed"}},
        ParseCase{"UpdateWithExpression", "update wagens set wag_kmstand=(1234/10) where wag_id=17", "wagens",
                  {"wag_kmstand"}},
        ParseCase{"Select", "select * from planning where pla_id=1", "", {}},
        ParseCase{"Exec", "EXEC PROC_ROUTESTATUS_CONTROLE 17", "", {}}),
    [](const auto& info) { return info.param.name; });

TEST(NamedTables, FindsTablesAfterFromJoinIntoAndUpdate) {
  EXPECT_EQ(test_support::NamedTables(
                "select * from (berichtenbox\nINNER JOIN wagens ON wag_id=bbo_wag_id)\nwhere bbo_soort=6"),
            (std::vector<std::string>{"berichtenbox", "wagens"}));
  EXPECT_EQ(test_support::NamedTables("INSERT INTO gps (a) VALUES (1)"), std::vector<std::string>{"gps"});
  EXPECT_EQ(test_support::NamedTables("update wagens set wag_kmstand=1"), std::vector<std::string>{"wagens"});
}

}  // namespace
}  // namespace dorvek::db
