#include "db/soci_database.h"

#include <filesystem>

#include <fmt/format.h>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/queries.h"
#include "support/test_database.h"

namespace dorvek::db {
namespace {

using core::EntryType;
using test_support::DbPath;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class SociDatabaseTest : public ::testing::TestWithParam<DbPath> {
 protected:
  void SetUp() override { db_ = file_.Open(GetParam(), log_); }

  long long Count(std::string_view table) {
    return db_->Query(fmt::format("select count(*) as n from {}", table)).at(0).Int("n");
  }

  test_support::TestDatabase file_{GetParam()};
  core::MemoryEventLog log_;
  std::unique_ptr<SociDatabase> db_;
};

TEST_P(SociDatabaseTest, OpensOnFirstUseAndLogsIt) {
  EXPECT_FALSE(db_->IsOpen());
  EXPECT_EQ(Count("wagens"), 0);
  EXPECT_TRUE(db_->IsOpen());
  EXPECT_THAT(log_.texts(), ElementsAre("Taxis Dorvek ZOL database gekoppeld"));
  EXPECT_TRUE(log_.Contains(EntryType::kInformation, "Taxis Dorvek ZOL database gekoppeld"));
}

TEST_P(SociDatabaseTest, CloseLogsAndNextUseReopens) {
  db_->Open();
  db_->Open();  // already open: nothing happens
  db_->Close();
  db_->Close();  // already closed: nothing happens
  EXPECT_FALSE(db_->IsOpen());
  db_->Execute("insert into BEDRIJVEN (bdr_naam) values ('Dorvek')");
  EXPECT_EQ(Count("BEDRIJVEN"), 1);
  EXPECT_THAT(log_.texts(), ElementsAre("Taxis Dorvek ZOL database gekoppeld",
                                        "Taxis Dorvek ZOL database verbinding verbroken",
                                        "Taxis Dorvek ZOL database gekoppeld"));
  EXPECT_TRUE(log_.Contains(EntryType::kInformation,
                            "Taxis Dorvek ZOL database verbinding verbroken"));
}

TEST_P(SociDatabaseTest, StatementErrorKeepsConnectionAndGivesProviderText) {
  db_->Open();
  try {
    db_->Query("select * from no_such_table");
    FAIL() << "no failure";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no_such_table"));
    EXPECT_EQ(e.kind(), FailureKind::kStatement);
  }
  EXPECT_TRUE(db_->IsOpen());
  EXPECT_EQ(Count("wagens"), 0);
}

// A unit of work is one transaction whose statements fail one by one as without it,
// while a failure that is not the work's fault undoes it whole.
TEST_P(SociDatabaseTest, UnitOfWorkKeepsWhatAStatementsOwnFailureLeavesAndLosesAllToAnOutage) {
  enum class Strike { kNone, kOwnFailure, kDeadlinePassed, kConnectionClosed, kRolledBack };
  struct Case {
    const char* name;
    Strike strike;
    long long rows;  // of the three inserts, what is there in the end
    std::optional<FailureKind> doomed;
  };
  for (const Case& c : {Case{"all well", Strike::kNone, 3, std::nullopt},
                        Case{"a statement's own failure", Strike::kOwnFailure, 3, std::nullopt},
                        Case{"out of time", Strike::kDeadlinePassed, 0, FailureKind::kTimeout},
                        Case{"connection lost", Strike::kConnectionClosed, 0, FailureKind::kConnection},
                        Case{"rolled back", Strike::kRolledBack, 0, std::nullopt}}) {
    SCOPED_TRACE(c.name);
    db_->Execute("delete from BEDRIJVEN");
    db_->BeginWork();
    db_->Execute("insert into BEDRIJVEN (bdr_naam) values ('een')");
    db_->Execute("insert into BEDRIJVEN (bdr_naam) values ('twee')");
    try {
      switch (c.strike) {
        case Strike::kOwnFailure: db_->Execute("insert into no_such_table (x) values (1)"); break;
        case Strike::kDeadlinePassed: db_->SetDeadline(std::chrono::steady_clock::now()); break;
        case Strike::kConnectionClosed: db_->Close(); break;
        default: break;
      }
      db_->Execute("insert into BEDRIJVEN (bdr_naam) values ('drie')");
    } catch (const DatabaseError& e) {
      EXPECT_EQ(e.kind(), c.strike == Strike::kOwnFailure ? FailureKind::kStatement : *c.doomed) << e.what();
    }
    if (c.strike == Strike::kOwnFailure) db_->Execute("insert into BEDRIJVEN (bdr_naam) values ('drie')");
    if (c.doomed) {
      ASSERT_TRUE(db_->WorkFailure());
      EXPECT_EQ(db_->WorkFailure()->kind(), *c.doomed);
      EXPECT_THROW(db_->Query("select 1 as n"), DatabaseError) << "a doomed unit refuses more";
    }
    db_->SetDeadline(std::nullopt);
    if (c.strike == Strike::kRolledBack || c.doomed) {
      db_->RollbackWork();
    } else {
      db_->CommitWork();
    }
    EXPECT_FALSE(db_->InWork());
    EXPECT_EQ(Count("BEDRIJVEN"), c.rows);
  }
}

TEST_P(SociDatabaseTest, ReadsEveryDeclaredTypeAsItsValue) {
  file_.Run(
      "insert into ritstaten (lsn_wag_id, lsn_actie, lsn_aanvang, lsn_kilometerstand_aanvang) "
      "values (7, 'B', '2026-12-08 01:43:38', 1234.5)");
  const auto rows = db_->Query("select * from ritstaten");
  ASSERT_EQ(rows.size(), 1u);
  const Row& row = rows[0];
  EXPECT_EQ(std::get<long long>(*row.Find("lsn_wag_id")), 7);
  EXPECT_EQ(std::get<std::string>(*row.Find("lsn_actie")), "B");
  EXPECT_EQ(std::get<double>(*row.Find("lsn_kilometerstand_aanvang")), 1234.5);
  EXPECT_EQ(std::get<core::DateTime>(*row.Find("lsn_aanvang")),
            (core::DateTime{2026, 12, 8, 1, 43, 38}));
  EXPECT_TRUE(row.IsNull("lsn_einde"));
  EXPECT_TRUE(row.IsNull("LSN_OMSCHRIJVING"));
  EXPECT_EQ(row.Int("LSN_WAG_ID"), 7);
}

TEST_P(SociDatabaseTest, MaxOverNoRowsIsNull) {
  const auto rows = db_->Query("select MAX(PLA_ID) as waarde from planning");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].IsNull("waarde"));
  EXPECT_EQ(rows[0].Int("waarde", -1), -1);
}

TEST_P(SociDatabaseTest, BindsEveryValueKindByName) {
  const core::DateTime when{2026, 2, 28, 23, 59, 58};
  db_->Execute(
      "insert into brandstof (bra_wag_id, bra_liters, bra_datum, bra_bdr_id, bra_chf_id) "
      "values (:wagen, :liters, :datum, :bedrijf, :chauffeur)",
      {{"wagen", 12LL}, {"liters", 45.67}, {"datum", when}, {"bedrijf", Null{}},
       {"chauffeur", std::string("3")}});
  const auto rows = db_->Query("select * from brandstof where bra_wag_id=:w", {{"w", 12LL}});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Decimal("bra_liters"), 45.67);
  EXPECT_EQ(rows[0].Date("bra_datum"), when);
  EXPECT_TRUE(rows[0].IsNull("bra_bdr_id"));
  EXPECT_EQ(rows[0].Int("bra_chf_id"), 3);
}

// Amounts and odometer readings go in as exact decimals and read back to the cent,
// through an insert and an update alike.
TEST_P(SociDatabaseTest, ExactDecimalsRoundTrip) {
  const auto exact = [](long long hundredths) { return core::Decimal::FromHundredths(hundredths); };
  db_->Insert("planning", {{"pla_km_map", exact(12345670)}, {"pla_bedrag_1", exact(1850)},
                           {"pla_tx_paid_extra", exact(-5)}});
  const long long id = db_->Query("select max(pla_id) as id from planning").at(0).Int("id");
  db_->Update("planning", "pla_id", id, {{"pla_odo_stop", exact(12348900)}, {"pla_tx_paid_amount", exact(4250)}});
  const auto row = db_->Query(queries::RideQuery(id)).at(0);
  EXPECT_EQ(row.Exact("pla_km_map").ToString(), "123456.70");
  EXPECT_EQ(row.Exact("pla_bedrag_1").ToString(), "18.50");
  EXPECT_EQ(row.Exact("pla_tx_paid_extra").ToString(), "-0.05");
  EXPECT_EQ(row.Exact("pla_odo_stop").ToString(), "123489.00");
  EXPECT_EQ(row.Exact("pla_tx_paid_amount").ToString(), "42.50");
  EXPECT_EQ((row.Exact("pla_odo_stop") - row.Exact("pla_km_map")).ToString(), "32.30");
}

TEST_P(SociDatabaseTest, DateTimesAreStoredInTheOneFormSqliteReadsBack) {
  db_->Insert("sectoren", {{"sec_wag_id", 1LL}, {"sec_datum", core::DateTime{2026, 5, 1, 7, 8, 9}}});
  const auto rows = db_->Query("select cast(sec_datum as text) as t from sectoren");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_THAT(rows[0].Text("t"), ::testing::StartsWith("2026-05-01 07:08:09"));
}

TEST_P(SociDatabaseTest, AccentedTextRoundTripsUnchanged) {
  for (const std::string text : {"cliënt", "geïnstalleerd", "Hénri"}) {
    db_->Insert("chauffeurs", {{"chf_naam", text}, {"chf_pasnummer", text}});
    const auto rows =
        db_->Query("select chf_naam from chauffeurs where chf_pasnummer=:p", {{"p", text}});
    ASSERT_EQ(rows.size(), 1u) << text;
    EXPECT_EQ(rows[0].Text("chf_naam"), text);
  }
}

TEST_P(SociDatabaseTest, TextIsCutToItsColumnByCharacters) {
  // wag_imei holds 20 characters: 24 bytes of accented text fill it exactly.
  const std::string twenty = "HénriHénriHénriHénri";
  db_->Insert("wagens", {{"wag_imei", twenty + "ë"}, {"wag_type", std::string("ëx")}});
  const auto rows = db_->Query("select * from wagens");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Text("wag_imei"), twenty);
  EXPECT_EQ(rows[0].Text("wag_type"), "ë");
}

TEST_P(SociDatabaseTest, InsertWritesExactlyTheGivenColumns) {
  db_->Insert("skype", {{"SkypeNumber", std::string("0612345678")}, {"SkypeRitnummer", 42LL}});
  const auto rows = db_->Query("select * from skype");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Text("SkypeNumber"), "0612345678");
  EXPECT_EQ(rows[0].Int("SkypeRitnummer"), 42);
  EXPECT_EQ(rows[0].Int("SkypeStatus", -1), 0);  // the column default
  EXPECT_TRUE(rows[0].IsNull("SkypeDate"));
  EXPECT_GT(rows[0].Int("ID"), 0);
}

TEST_P(SociDatabaseTest, UpdateChangesOnlyTheKeyedRowsGivenColumns) {
  file_.Run(
      "insert into ritstaten (lsn_id, lsn_actie, lsn_rit, lsn_omschrijving) values "
      "(1, 'B', 10, 'eerste'), (2, 'B', 20, 'tweede')");
  db_->Update("ritstaten", "lsn_id", 2,
              {{"lsn_actie", std::string("K")}, {"lsn_einde", core::DateTime{2026, 1, 2, 3, 4, 5}}});
  const auto rows = db_->Query("select * from ritstaten order by lsn_id");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Text("lsn_actie"), "B");
  EXPECT_TRUE(rows[0].IsNull("lsn_einde"));
  EXPECT_EQ(rows[1].Text("lsn_actie"), "K");
  EXPECT_EQ(rows[1].Int("lsn_rit"), 20);
  EXPECT_EQ(rows[1].Text("lsn_omschrijving"), "tweede");
  EXPECT_EQ(rows[1].Date("lsn_einde"), (core::DateTime{2026, 1, 2, 3, 4, 5}));
}

TEST_P(SociDatabaseTest, LongTextIsReadWhole) {
  const std::string text(20000, 'x');
  db_->Insert("berichtenbox", {{"bbo_soort", 6LL}, {"bbo_pakket", text + "ë"}});
  const auto rows = db_->Query("select bbo_pakket from berichtenbox");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Text("bbo_pakket"), text + "ë");
}

TEST_P(SociDatabaseTest, EmptyTextStaysEmptyNotNull) {
  db_->Insert("chauffeurs", {{"chf_naam", std::string()}});
  const auto rows = db_->Query("select chf_naam from chauffeurs");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].IsNull("chf_naam"));
  EXPECT_EQ(rows[0].Text("chf_naam", "fallback"), "");
}

INSTANTIATE_TEST_SUITE_P(AllPaths, SociDatabaseTest, test_support::AllDbPaths(),
                         test_support::DbPathTestName());

TEST(SociDatabaseSettings, IncompleteSettingsWarnAndAbortWithoutConnecting) {
  core::MemoryEventLog log;
  ConnectionSettings settings;  // the template: database name still empty
  settings.server = "127.0.0.1";
  settings.user = "sa";
  settings.password = "****";
  SociDatabase db(settings, log);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      db.Query("select 1");
      FAIL() << "no failure";
    } catch (const DatabaseError& e) {
      EXPECT_STREQ(e.what(), "Operation aborted");
      // Only a restart with complete settings mends this: no outage to wait out.
      EXPECT_EQ(e.kind(), FailureKind::kStatement);
    }
  }
  EXPECT_FALSE(db.IsOpen());
  EXPECT_THAT(log.texts(), ElementsAre("Taxis Dorvek ZOL database gegevens onvolledig",
                                       "Taxis Dorvek ZOL database gegevens onvolledig"));
  EXPECT_TRUE(log.Contains(EntryType::kWarning, "Taxis Dorvek ZOL database gegevens onvolledig"));
}

TEST(SociDatabaseSettings, MissingSqliteFileIsNotCreated) {
  core::MemoryEventLog log;
  test_support::TestDatabase scratch;
  ConnectionSettings settings;
  settings.driver = "SQLite";
  settings.database = "absent.db";
  settings.base_dir = scratch.dir();
  SociDatabase db(settings, log);
  EXPECT_THROW(db.Open(), DatabaseError);
  EXPECT_FALSE(std::filesystem::exists(scratch.dir() / "absent.db"));
  EXPECT_TRUE(log.texts().empty());
}

TEST(SociDatabaseSettings, RelativeSqliteFileIsFoundInTheBaseDirectory) {
  core::MemoryEventLog log;
  test_support::TestDatabase scratch;
  ConnectionSettings settings;
  settings.driver = "sqlite";
  settings.database = scratch.file().filename().string();
  settings.base_dir = scratch.dir();
  SociDatabase db(settings, log);
  EXPECT_EQ(db.Query("select count(*) as n from planning").at(0).Int("n", -1), 0);
}

TEST(SociDatabaseSettings, SqlitePathWithBlanksOpens) {
  core::MemoryEventLog log;
  test_support::TestDatabase scratch;
  const auto dir = scratch.dir() / "met spatie  erin";
  std::filesystem::create_directory(dir);
  std::filesystem::copy_file(scratch.file(), dir / "dispatch.db");
  ConnectionSettings settings;
  settings.driver = "sqlite";
  settings.database = (dir / "dispatch.db").string();
  SociDatabase db(settings, log);
  db.Execute("insert into BEDRIJVEN (bdr_naam) values ('x')");
  EXPECT_FALSE(std::filesystem::exists(scratch.dir() / "met"));
  test_support::RunSqliteScript(dir / "dispatch.db", "select 1");
}

TEST(SociDatabaseSettings, UnreachableOdbcDriverFailsWithProviderText) {
  core::MemoryEventLog log;
  ConnectionSettings settings;
  settings.driver = "NoSuchDriver";
  settings.server = "127.0.0.1";
  settings.user = "sa";
  settings.password = "x";
  settings.database = "d";
  SociDatabase db(settings, log);
  try {
    db.Open();
    FAIL() << "no failure";
  } catch (const DatabaseError& e) {
    EXPECT_STRNE(e.what(), "");
    EXPECT_STRNE(e.what(), "Operation aborted");
  }
  EXPECT_FALSE(db.IsOpen());
  EXPECT_TRUE(log.texts().empty());
}

TEST(ClassifyFailure, ConnectionTimeOutOrTheStatementsOwn) {
  using K = FailureKind;
  const struct {
    FailureInfo failure;
    K kind;
  } cases[] = {
      {{"08S01", true}, K::kConnection},
      {{"08001", true}, K::kConnection},
      {{"", false}, K::kConnection},
      {{"42S02", false}, K::kConnection},       // a session that is gone, whatever it said
      {{"HYT00", true}, K::kTimeout},
      {{"HYT01", true}, K::kTimeout},
      {{"57014", true}, K::kTimeout},           // PostgreSQL's statement_timeout
      {{"", true, true}, K::kTimeout},          // SQLite interrupted at its deadline
      {{"", true, false, true}, K::kTimeout},   // SQLite busy or locked
      {{"", true}, K::kStatement},
      {{"42S02", true}, K::kStatement},
      {{"23000", true}, K::kStatement},
      {{"HY000", true}, K::kStatement},
      {{"0", true}, K::kStatement},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ClassifyFailure(c.failure), c.kind) << c.failure.sqlstate << " " << c.failure.session_connected;
}

struct OpeningCase {
  const char* name;
  const char* sqlstate;
  std::chrono::milliseconds took;
  std::chrono::seconds login;
  bool timed_out;
};

class TimedOutOpening : public ::testing::TestWithParam<OpeningCase> {};

TEST_P(TimedOutOpening, BySqlstateOrByTakingTheLoginTime) {
  const OpeningCase& c = GetParam();
  EXPECT_EQ(IsTimedOutOpening(c.sqlstate, c.took, c.login), c.timed_out);
}

using namespace std::chrono_literals;
INSTANTIATE_TEST_SUITE_P(
    Table, TimedOutOpening,
    ::testing::Values(OpeningCase{"FreeTdsSaysSo", "HYT00", 10ms, 10s, true},
                      OpeningCase{"RefusedAtOnce", "08001", 40ms, 10s, false},
                      OpeningCase{"RefusedSlowly", "08001", 5s, 10s, false},
                      OpeningCase{"LibpqGaveUpASecondEarly", "08001", 9100ms, 10s, true},
                      OpeningCase{"TookTheWholeTime", "", 10s, 10s, true},
                      OpeningCase{"ShortTimeoutHalfTaken", "08001", 1001ms, 2s, true},
                      OpeningCase{"ShortTimeoutRefused", "08001", 300ms, 2s, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct HideCase {
  const char* name;
  const char* text;
  const char* password;
  const char* expected;
};

class HidePasswordTable : public ::testing::TestWithParam<HideCase> {};

TEST_P(HidePasswordTable, LeavesNoTraceOfIt) {
  EXPECT_EQ(HidePassword(GetParam().text, GetParam().password), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HidePasswordTable,
    ::testing::Values(
        HideCase{"Nothing", "login failed", "geheim", "login failed"},
        HideCase{"Anywhere", "bad geheim and geheim again", "geheim", "bad **** and **** again"},
        HideCase{"BracedPair", "Driver={x};PWD={ge;h}}eim};UID=sa", "ge;h}eim",
                 "Driver={x};PWD=****;UID=sa"},
        HideCase{"PlainPairAnyCase", "uid=sa;pwd=xy;Server=h", "xy", "uid=sa;pwd=****;Server=h"},
        HideCase{"ShortPasswordOnlyInItsPair", "a bad PWD=a;", "a", "a bad PWD=****;"},
        HideCase{"PasswordHoldingTheMask", "x **** y", "****", "x **** y"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DialectOfDbmsName, KnowsTheServersByTheNamesTheyGive) {
  EXPECT_EQ(DialectOfDbmsName("PostgreSQL", Dialect::kSqlServer), Dialect::kPostgreSql);
  EXPECT_EQ(DialectOfDbmsName("SQLite", Dialect::kSqlServer), Dialect::kSqlite);
  EXPECT_EQ(DialectOfDbmsName("Microsoft SQL Server", Dialect::kPostgreSql), Dialect::kSqlServer);
  EXPECT_EQ(DialectOfDbmsName("", Dialect::kPostgreSql), Dialect::kPostgreSql);
  EXPECT_EQ(DialectOfDbmsName("MySQL", Dialect::kSqlServer), Dialect::kSqlServer);
}

TEST_P(SociDatabaseTest, DialectIsTheConnectedServers) {
  db_->Open();
  EXPECT_EQ(db_->dialect(), GetParam() == test_support::DbPath::kPostgres ? Dialect::kPostgreSql
                                                                          : Dialect::kSqlite);
}

}  // namespace
}  // namespace dorvek::db
