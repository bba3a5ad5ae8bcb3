#include "service/config_check.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <fmt/format.h>

#include <algorithm>

#include <string>
#include <vector>

#include "core/memory_event_log.h"
#include "service/config_file.h"
#include "support/test_database.h"

namespace dorvek::service {
namespace {

using test_support::DbPath;

std::string Line(const std::vector<std::string>& lines, const std::string& element) {
  for (const auto& line : lines)
    if (line.starts_with("  " + element + " ")) return line;
  ADD_FAILURE() << "no line for " << element;
  return {};
}

TEST(DescribeSettings, ShowsValuesAsReadWithThePasswordHidden) {
  Settings s = ReadSettings(ConfigTemplateLines("/opt/dorvek"));
  s.sql_paswoord = "Geheim;1";
  s.sql_server = " db1 ";
  s.port = "$FA1";
  const auto lines = DescribeSettings(s, "/opt/dorvek");
  EXPECT_EQ(Line(lines, "SQLPaswoord"), "  SQLPaswoord            ****");
  for (const auto& line : lines) EXPECT_EQ(line.find("Geheim"), std::string::npos) << line;
  EXPECT_NE(Line(lines, "SQLServer").find("\" db1 \""), std::string::npos) << "blanks are part of the value";
  EXPECT_NE(Line(lines, "Port").find("port 4001"), std::string::npos);
  EXPECT_NE(Line(lines, "SQLDriver").find("ODBC driver FreeTDS, server  db1 "), std::string::npos);
  EXPECT_NE(Line(lines, "PakkettenPerTick").find("at most 1 packet a tick"), std::string::npos);
}

TEST(DescribeSettings, UnsetPortLeavesBindingUnreadAndLineBreaksShow) {
  Settings s;
  s.port = "0";
  s.sql_database = "a\r\nb";
  s.sql_driver = "sqlite";
  const auto lines = DescribeSettings(s, "/srv/zol");
  EXPECT_NE(Line(lines, "Binding").find("not read: Port is not positive"), std::string::npos);
  EXPECT_NE(Line(lines, "Port").find("the gateway stays unset"), std::string::npos);
  EXPECT_NE(Line(lines, "SQLDatabase").find("\"a\\r\\nb\""), std::string::npos);
  EXPECT_EQ(Line(lines, "SQLPaswoord"), "  SQLPaswoord            \"\"");
}

struct ElementsCase {
  std::string name;
  std::vector<std::string> added;  // lines put after the template's first
  std::vector<std::string> notes;  // beyond the five settings the template lacks
};

class DescribeElementsTest : public ::testing::TestWithParam<ElementsCase> {};

TEST_P(DescribeElementsTest, NamesMissingSettingsAndUnknownElements) {
  auto lines = ConfigTemplateLines("/opt/dorvek");
  lines.insert(lines.begin() + 1, GetParam().added.begin(), GetParam().added.end());
  std::vector<std::string> notes;
  for (const auto& note : DescribeElements(lines))
    notes.push_back((note.kind == ConfigNote::Kind::kWarning ? "warning: " : "information: ") + note.text);
  std::vector<std::string> expected;
  for (const char* name :
       {"SQLDriver", "PakkettenPerTick", "PakkettenPerVerzending", "MaxInkomendePakketten", "MaxLeeftijdUitgaand"})
    if (std::none_of(GetParam().added.begin(), GetParam().added.end(),
                     [&](const std::string& line) { return line.starts_with(std::string("<") + name); }))
      expected.push_back(fmt::format("information: no {} in the file; in force: {}", name,
                                     FindKnownElement(name)->default_shown));
  expected.insert(expected.end(), GetParam().notes.begin(), GetParam().notes.end());
  std::sort(notes.begin(), notes.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(notes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DescribeElementsTest,
    ::testing::Values(
        ElementsCase{"Template", {}, {}},
        ElementsCase{"MisspeltAndWrongCase",
                     {"<SQLServr>db1</SQLServr>", "<sqlserver>db1</sqlserver>"},
                     {"warning: unknown element SQLServr, ignored; did you mean SQLServer?",
                      "warning: unknown element sqlserver, ignored; did you mean SQLServer? (case matters)"}},
        ElementsCase{"AttributeHidesTheSetting",
                     {"<PakkettenPerTick unit=\"packets\">5</PakkettenPerTick>"},
                     {"warning: PakkettenPerTick cannot be read (an attribute in its tag, or its closing tag missing "
                      "or first); in force: 1 packet a tick"}},
        ElementsCase{"CommentsAndValuesHoldNoElements",
                     {"<!-- <Oud>1</Oud> -->", "<SQLPaswoord>a<Geheim>b</SQLPaswoord>"},
                     {}}),
    [](const auto& info) { return info.param.name; });

// Every table and column of the list against the project's schema, and a schema that
// lacks some of them, on each database path.
class CheckTableTest : public ::testing::TestWithParam<DbPath> {
 protected:
  std::vector<CheckResult> CheckAll() {
    auto db = test_db_.Open(GetParam(), log_);
    std::vector<CheckResult> results;
    for (const auto& table : db::DispatchTables()) results.push_back(CheckTable(*db, table));
    return results;
  }

  test_support::TestDatabase test_db_{GetParam()};
  core::MemoryEventLog log_;
};

TEST_P(CheckTableTest, TheProjectSchemaHoldsEveryTableAndColumnTheServiceUses) {
  for (const auto& result : CheckAll()) EXPECT_FALSE(result.failure) << result.what << ": " << *result.failure;
}

TEST_P(CheckTableTest, NamesEveryMissingColumnAndAMissingTable) {
  test_db_.Run(
      "ALTER TABLE planning DROP COLUMN pla_tx_paid_extra; ALTER TABLE planning DROP COLUMN pla_cloud;"
      "DROP TABLE skype;");
  std::vector<std::string> failed;
  for (const auto& result : CheckAll())
    if (result.failure) failed.push_back(result.what + ": " + *result.failure);
  ASSERT_EQ(failed.size(), 2u) << ::testing::PrintToString(failed);
  EXPECT_TRUE(failed[0].starts_with("table planning (68 columns): missing pla_cloud, pla_tx_paid_extra: "))
      << failed[0];
  EXPECT_NE(failed[0].find("pla_cloud"), std::string::npos);
  EXPECT_TRUE(failed[1].starts_with("table skype (4 columns): ")) << failed[1];
  EXPECT_NE(failed[1].find("skype"), std::string::npos) << "the database's own text names the table";
}

INSTANTIATE_TEST_SUITE_P(AllPaths, CheckTableTest, test_support::AllDbPaths(), test_support::DbPathTestName());

TEST(TryGatewayConnection, RefusedPortGivesTheSocketLayersText) {
  // A port that was just free: nothing listens there.
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
  const std::string port = std::to_string(probe.local_endpoint().port());
  probe.close();
  EXPECT_EQ(TryGatewayConnection("127.0.0.1", port), std::optional<std::string>("Connection refused"));
}

TEST(TryGatewayConnection, ListeningPortIsOk) {
  asio::io_context io;
  asio::ip::tcp::acceptor listening(io, {asio::ip::make_address("127.0.0.1"), 0});
  EXPECT_EQ(TryGatewayConnection("127.0.0.1", std::to_string(listening.local_endpoint().port())), std::nullopt);
}

}  // namespace
}  // namespace dorvek::service
