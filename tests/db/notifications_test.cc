#include "db/notifications.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/ascii.h"
#include "core/memory_event_log.h"
#include "support/failing_database.h"
#include "support/test_database.h"

namespace dorvek::db {
namespace {

using core::EntryType;
using test_support::DbPath;

class BerichtmakenTest : public ::testing::TestWithParam<DbPath> {
 protected:
  void SetUp() override { db_ = file_.Open(GetParam(), log_); }

  std::vector<Row> Notifications() { return db_->Query("select * from StatusMeldingen"); }

  test_support::TestDatabase file_{GetParam()};
  core::MemoryEventLog log_;
  std::unique_ptr<SociDatabase> db_;
};

TEST_P(BerichtmakenTest, WritesTheNotificationColumns) {
  Berichtmaken(*db_, log_, 113, 1, "Wagen 301: passagier ingestapt bij cliënt", 7);
  const auto rows = Notifications();
  ASSERT_EQ(rows.size(), 1u);
  const Row& row = rows[0];
  EXPECT_EQ(row.Int("mel_status"), 113);
  EXPECT_EQ(row.Int("mel_type"), 1);
  EXPECT_EQ(row.Int("mel_actief"), 1);
  EXPECT_EQ(row.Int("mel_wagen"), 7);
  EXPECT_EQ(row.Text("mel_opmerking"), "Wagen 301: passagier ingestapt bij cliënt");
  EXPECT_TRUE(row.IsNull("mel_ritnummer"));
  EXPECT_TRUE(row.IsNull("mel_chauffeur"));
  EXPECT_THAT(log_.texts(), ::testing::ElementsAre("Taxis Dorvek ZOL database gekoppeld"));
}

TEST_P(BerichtmakenTest, DatabaseSuppliesABracedGuidAndTheTime) {
  Berichtmaken(*db_, log_, 4008, 1, "Service gestopt", 0);
  const Row row = Notifications().at(0);
  const std::string id = row.Text("mel_id");
  EXPECT_EQ(id.size(), 38u);
  EXPECT_THAT(id, ::testing::MatchesRegex(
                      "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}"));
  EXPECT_TRUE(row.Date("mel_datum").has_value());
}

TEST_P(BerichtmakenTest, CutsTheTextToAHundredCharacters) {
  std::string text;
  for (int i = 0; i < 30; ++i) text += "Hénri";  // 150 characters
  Berichtmaken(*db_, log_, 103, 1, text, 7);
  EXPECT_EQ(Notifications().at(0).Text("mel_opmerking"), text.substr(0, 120));  // 20 x "Hénri"
}

TEST_P(BerichtmakenTest, TwoNotificationsMakeTwoRowsWithTheirOwnIds) {
  Berichtmaken(*db_, log_, 4006, 1, "een", 0);
  Berichtmaken(*db_, log_, 4007, 1, "twee", 0);
  const auto rows = Notifications();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NE(rows[0].Text("mel_id"), rows[1].Text("mel_id"));
}

TEST_P(BerichtmakenTest, OpensAClosedConnection) {
  db_->Open();
  db_->Close();
  Berichtmaken(*db_, log_, 4008, 1, "Service gestopt", 0);
  EXPECT_EQ(Notifications().size(), 1u);
  EXPECT_THAT(log_.texts(), ::testing::ElementsAre("Taxis Dorvek ZOL database gekoppeld",
                                                   "Taxis Dorvek ZOL database verbinding verbroken",
                                                   "Taxis Dorvek ZOL database gekoppeld"));
}

TEST_P(BerichtmakenTest, FailureIsLoggedAsWarningAndWritesNothing) {
  test_support::FailingDatabase failing(*db_);
  failing.FailWhenSqlContains("StatusMeldingen", "Verbinding met server verloren");
  Berichtmaken(failing, log_, 113, 1, "tekst", 7);
  EXPECT_TRUE(log_.Contains(EntryType::kWarning, "Verbinding met server verloren"));
  EXPECT_TRUE(Notifications().empty());
}

TEST_P(BerichtmakenTest, ProviderFailureIsLoggedWithItsText) {
  file_.Run("drop table StatusMeldingen");
  Berichtmaken(*db_, log_, 113, 1, "tekst", 7);
  const auto entries = log_.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].type, EntryType::kWarning);
  // PostgreSQL names the table as it folded it, in lower case.
  EXPECT_THAT(core::ToLower(entries[1].text), ::testing::HasSubstr("statusmeldingen"));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, BerichtmakenTest, test_support::AllDbPaths(),
                         test_support::DbPathTestName());

TEST(BerichtmakenSettings, IncompleteSettingsLogBothWarnings) {
  core::MemoryEventLog log;
  SociDatabase db(ConnectionSettings{}, log);
  Berichtmaken(db, log, 4008, 1, "Service gestopt", 0);
  EXPECT_THAT(log.texts(), ::testing::ElementsAre("Taxis Dorvek ZOL database gegevens onvolledig",
                                                  "Operation aborted"));
  for (const auto& entry : log.entries()) EXPECT_EQ(entry.type, EntryType::kWarning);
}

}  // namespace
}  // namespace dorvek::db
