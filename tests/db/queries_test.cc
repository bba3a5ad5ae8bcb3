#include "db/queries.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/route_status.h"
#include "support/case_name.h"
#include "support/test_database.h"

namespace dorvek::db {
namespace {

using test_support::DbPath;
namespace q = queries;

struct NamedQuery {
  const char* name;
  std::string_view sql;
  Params params;
};

// Each named query once, with its parameters bound as the handlers bind them.
const std::vector<NamedQuery>& NamedQueries() {
  static const std::vector<NamedQuery> kQueries = {
      {"ADOGPS", q::ADOGPS, {}},
      {"ADOWAGEN", q::ADOWAGEN, {{"imei", std::string("mux4711")}}},
      {"ADOBerichtenInkomend", q::ADOBerichtenInkomend, {}},
      {"ADOSECTOREN", q::ADOSECTOREN, {}},
      {"ADOLSN", q::ADOLSN, {{"Wagennummer", 1LL}}},
      {"ADORIT", q::ADORIT, {}},
      {"ADOConstanten", q::ADOConstanten, {{"Bedrijf", 1LL}}},
      {"ADORITNUMMER", q::ADORITNUMMER, {{"Wagennummer", 1LL}}},
      {"ADORITBIJWERKEN", q::ADORITBIJWERKEN, {}},
      {"ADOChauffeurs", q::ADOChauffeurs,
       {{"Taxisnummer", std::string("123")}, {"Bedrijfsnummer", 1LL}}},
      {"ADOLSNDIENST", q::ADOLSNDIENST, {{"Wagennummer", 1LL}, {"Chauffeurnummer", 1LL}}},
      {"ADODIENSTEINDE", q::ADODIENSTEINDE, {{"Wagennummer", 1LL}}},
      {"ADOUitgaand", q::ADOUitgaand, {}},
      {"ADOUitgaandIds", q::ADOUitgaandIds, {}},
      {"ADOUitgaandRow", q::ADOUitgaandRow, {{"bbo_id", 1LL}}},
      {"ADORITUIT", q::ADORITUIT, {{"Ritnummer", 1LL}}},
      {"ADOZoekWagen", q::ADOZoekWagen, {{"Wagennummer", 1LL}}},
      {"ADOZOEKACTIEVERIT", q::ADOZOEKACTIEVERIT, {{"Wagennummer", 1LL}}},
      {"ADOTripOpties", q::ADOTripOpties, {}},
      {"ADOBerichten", q::ADOBerichten, {}},
      {"ADOSkype", q::ADOSkype, {}},
      {"ADOZoekrit", q::ADOZoekrit, {}},
      {"ADOBrandstof", q::ADOBrandstof, {{"wag_id", 1LL}}},
      {"ADOHoogste", q::ADOHoogste, {}},
      {"ADOZoekRitstaat", q::ADOZoekRitstaat, {{"Wagen", 1LL}}},
  };
  return kQueries;
}

class QueriesTest : public ::testing::TestWithParam<DbPath> {
 protected:
  void SetUp() override {
    file_.Run(
        "insert into BEDRIJVEN (bdr_id, bdr_naam) values (1, 'Dorvek');"
        "insert into wagens (wag_id, wag_bdr_id, wag_taxis, wag_imei) values "
        "  (1, 1, 301, 'mux4711'), (2, 1, 302, 'mux4712');"
        "insert into ritstaten (lsn_id, lsn_wag_id, lsn_chf_id, lsn_status, lsn_actie, lsn_rit,"
        "  lsn_route) values (1, 1, 5, 0, 'M', 10, 0), (2, 1, 5, 1, 'E', 0, 0),"
        "  (3, 2, 6, 0, 'K', 11, 17);"
        "insert into planning (pla_id, pla_wagen, pla_status, pla_route, pla_soortvervoer, pla_rc)"
        "  values (10, 1, 'K', 0, 'T', 3), (11, 2, 'K', 17, 'T', 3), (12, 2, 'V', 17, 'T', 3),"
        "  (13, 1, 'W', 0, 'T', 3);"
        "insert into zolinstellingen (zol_bdr_id, zol_vor_id, zol_rc, zol_taximeter) values"
        "  (1, 'T', 3, '01'), (1, 'T', 1, '02'), (1, 'Z', 3, '03');");
    db_ = file_.Open(GetParam(), log_);
  }

  test_support::TestDatabase file_{GetParam()};
  core::MemoryEventLog log_;
  std::unique_ptr<SociDatabase> db_;
};

TEST_P(QueriesTest, EveryNamedQueryRuns) {
  for (const NamedQuery& query : NamedQueries()) {
    EXPECT_NO_THROW(db_->Query(query.sql, query.params)) << query.name;
  }
}

TEST_P(QueriesTest, OpenedEmptyQueriesSelectNoRows) {
  for (auto sql : {q::ADOGPS, q::ADOBerichtenInkomend, q::ADOSECTOREN, q::ADORIT, q::ADOBerichten,
                   q::ADOSkype, q::ADORITBIJWERKEN, q::ADOZoekrit, q::ADOHoogste}) {
    const auto rows = db_->Query(sql);
    // An aggregate without rows still gives its one row of NULL.
    if (sql == q::ADOHoogste) {
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_TRUE(rows[0].IsNull("waarde"));
    } else {
      EXPECT_TRUE(rows.empty()) << sql;
    }
  }
}

TEST_P(QueriesTest, VehicleLookupJoinsItsCompany) {
  const auto rows = db_->Query(q::ADOWAGEN, {{"imei", std::string("mux4712")}});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Int("wag_id"), 2);
  EXPECT_EQ(rows[0].Int("bdr_id"), 1);
  EXPECT_EQ(rows[0].Text("bdr_naam"), "Dorvek");
  EXPECT_TRUE(db_->Query(q::ADOWAGEN, {{"imei", Null{}}}).empty());
}

TEST_P(QueriesTest, OpenTripSheetQueriesSelectByState) {
  EXPECT_EQ(db_->Query(q::ADOLSN, {{"Wagennummer", 1LL}}).size(), 1u);        // M counts
  EXPECT_TRUE(db_->Query(q::ADOLSN, {{"Wagennummer", 2LL}}).empty());         // K does not
  EXPECT_EQ(db_->Query(q::ADOZOEKACTIEVERIT, {{"Wagennummer", 2LL}}).size(), 1u);
  EXPECT_EQ(db_->Query(q::ADODIENSTEINDE, {{"Wagennummer", 1LL}}).at(0).Int("lsn_id"), 1);
  EXPECT_EQ(
      db_->Query(q::ADOLSNDIENST, {{"Wagennummer", 1LL}, {"Chauffeurnummer", 5LL}}).size(), 1u);
  const auto sheet = db_->Query(q::ADOZoekRitstaat, {{"Wagen", 2LL}});
  ASSERT_EQ(sheet.size(), 1u);
  EXPECT_EQ(sheet[0].Int("lsn_route"), 17);
  EXPECT_EQ(sheet[0].Int("wag_taxis"), 302);
}

TEST_P(QueriesTest, HighestRideInStatusKReadsAsInteger) {
  EXPECT_EQ(db_->Query(q::ADORITNUMMER, {{"Wagennummer", 2LL}}).at(0).Int("waarde"), 11);
  EXPECT_EQ(db_->Query(q::ADORITNUMMER, {{"Wagennummer", 1LL}}).at(0).Int("waarde"), 10);
}

TEST_P(QueriesTest, MessageBoxIsReadOldestFirst) {
  file_.Run(
      "insert into berichtenbox (bbo_soort, bbo_verwerkt, bbo_wag_id, bbo_datum, bbo_actie) values"
      " (6, 0, 1, '2026-01-02 10:00:00', 3), (6, 0, 2, '2026-01-01 10:00:00', 7),"
      " (6, 1, 1, '2025-01-01 10:00:00', 8), (5, 0, 1, '2025-01-01 10:00:00', 9),"
      " (6, 0, 99, '2025-01-01 10:00:00', 9);");
  const auto rows = db_->Query(q::ADOUitgaand);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Int("bbo_actie"), 7);
  EXPECT_EQ(rows[1].Int("bbo_actie"), 3);
  EXPECT_EQ(rows[0].Text("wag_imei"), "mux4712");
}

TEST_P(QueriesTest, MessageBoxIdsInTheSameOrderAndOneRowById) {
  file_.Run(
      "insert into berichtenbox (bbo_id, bbo_soort, bbo_verwerkt, bbo_wag_id, bbo_datum, bbo_actie) values"
      " (5, 6, 0, 1, '2026-01-02 10:00:00', 3), (6, 6, 0, 2, '2026-01-01 10:00:00', 7),"
      " (7, 6, 0, 2, '2026-01-02 10:00:00', 8), (3, 6, 0, 1, '2026-01-02 10:00:00', 9),"
      " (8, 6, 1, 1, '2025-01-01 10:00:00', 8), (9, 5, 0, 1, '2025-01-01 10:00:00', 9),"
      " (10, 6, 0, 99, '2025-01-01 10:00:00', 9);");
  std::vector<long long> ids;
  for (const auto& row : db_->Query(q::ADOUitgaandIds)) ids.push_back(row.Int("bbo_id"));
  // Oldest first; rows of the same moment in the order they were written.
  EXPECT_EQ(ids, (std::vector<long long>{6, 3, 5, 7}));
  const auto row = db_->Query(q::ADOUitgaandRow, {{"bbo_id", 7LL}});
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0].Int("bbo_actie"), 8);
  EXPECT_EQ(row[0].Text("wag_imei"), "mux4712");
  for (long long gone : {8LL, 9LL, 10LL, 11LL})
    EXPECT_TRUE(db_->Query(q::ADOUitgaandRow, {{"bbo_id", gone}}).empty()) << gone;
}

TEST_P(QueriesTest, FuelRecordsNewestFirstAndHighestOdometer) {
  file_.Run(
      "insert into brandstof (bra_wag_id, bra_datum, bra_odometer_huidig) values"
      " (1, '2026-01-01 08:00:00', 1000.5), (1, '2026-03-01 08:00:00', 1200.25),"
      " (1, '2026-02-01 08:00:00', 1100), (2, '2026-04-01 08:00:00', 9999)");
  const auto rows = db_->Query(q::ADOBrandstof, {{"wag_id", 1LL}});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].Decimal("bra_odometer_huidig"), 1200.25);
  EXPECT_EQ(rows[2].Decimal("bra_odometer_huidig"), 1000.5);
  EXPECT_EQ(db_->Query(q::HighestOdometerQuery(1)).at(0).Decimal("waarde"), 1200.25);
  EXPECT_TRUE(db_->Query(q::HighestOdometerQuery(3)).at(0).IsNull("waarde"));
}

TEST_P(QueriesTest, TripOptionsBindTheKindOfTransport) {
  const auto rows = db_->Query(q::TripOptionsQuery(1, 3),
                               {{std::string(q::kTripOptionsVervoerParam), std::string("T")}});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Text("zol_taximeter"), "01");
  EXPECT_TRUE(db_->Query(q::TripOptionsQuery(1, 3),
                         {{std::string(q::kTripOptionsVervoerParam), std::string("' OR 1=1 --")}})
                  .empty());
}

TEST_P(QueriesTest, DriverIsFoundByPassNumberText) {
  file_.Run("insert into chauffeurs (chf_naam, chf_pasnummer, chf_bdr_id) values ('Hénri', '123', 1)");
  const auto rows =
      db_->Query(q::ADOChauffeurs, {{"Taxisnummer", std::string("123")}, {"Bedrijfsnummer", 1LL}});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Text("chf_naam"), "Hénri");
}

TEST_P(QueriesTest, RideStatementsChangeTheRides) {
  db_->Execute(q::AcceptRideStatement(10));
  EXPECT_EQ(db_->Query(q::RideQuery(10)).at(0).Int("pla_com_status"), 1);

  db_->Execute(q::ReturnRideStatement(2, 302, 17, 11));  // the whole route
  for (long long ride : {11, 12}) {
    const Row row = db_->Query(q::RideQuery(ride)).at(0);
    EXPECT_EQ(row.Text("pla_status"), "W");
    EXPECT_EQ(row.Int("pla_planning"), 2);
    EXPECT_EQ(row.Int("pla_planning_taxis"), 302);
    EXPECT_EQ(row.Int("pla_spoed"), 1);
    EXPECT_EQ(row.Int("pla_com_status", -1), 0);
  }
  EXPECT_EQ(db_->Query(q::RideQuery(10)).at(0).Text("pla_status"), "K");

  db_->Execute(q::ReturnRideStatement(1, 301, 0, 10));  // the one ride
  EXPECT_EQ(db_->Query(q::RideQuery(10)).at(0).Text("pla_status"), "W");
  EXPECT_TRUE(db_->Query(q::UncompletedRideQuery(12)).empty() == false);
  db_->Execute("update planning set pla_status='V' where pla_id=12");
  EXPECT_TRUE(db_->Query(q::UncompletedRideQuery(12)).empty());
}

TEST_P(QueriesTest, TripSheetAndVehicleStatementsRun) {
  db_->Execute(q::PassengerOnBoardTripSheetStatement(1));
  EXPECT_EQ(db_->Query("select lsn_actie from ritstaten where lsn_id=1").at(0).Text("lsn_actie"), "K");
  db_->Execute(q::NoShowTripSheetStatement(3));  // route 17: unchanged
  EXPECT_EQ(db_->Query("select lsn_actie from ritstaten where lsn_id=3").at(0).Text("lsn_actie"), "K");
  db_->Execute(q::NoShowTripSheetStatement(1));
  EXPECT_EQ(db_->Query("select lsn_actie from ritstaten where lsn_id=1").at(0).Text("lsn_actie"), "L");
  db_->Execute(q::FreeTripSheetStatement(3));
  const Row sheet = db_->Query("select * from ritstaten where lsn_id=3").at(0);
  EXPECT_EQ(sheet.Text("lsn_actie"), "B");
  EXPECT_EQ(sheet.Int("lsn_rit", -1), 0);
  EXPECT_EQ(sheet.Int("lsn_route", -1), 0);
  db_->Execute(q::OdometerStatement(123456, 1));
  EXPECT_EQ(db_->Query(q::ADOZoekWagen, {{"Wagennummer", 1LL}}).at(0).Int("wag_kmstand"), 12345);
}

TEST_P(QueriesTest, RouteStatusCallIsRecorded) {
  CallRouteStatusControle(*db_, 2);
  const auto rows = db_->Query("select * from PROC_ROUTESTATUS_CONTROLE");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Int("wag_id"), 2);
  EXPECT_TRUE(rows[0].Date("called_at").has_value());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, QueriesTest, test_support::AllDbPaths(),
                         test_support::DbPathTestName());

TEST(QueryTexts, KeepTheDesignTimeLinesCharacterForCharacter) {
  EXPECT_EQ(q::ADOWAGEN,
            "select * from (wagens\nINNER JOIN BEDRIJVEN ON bdr_id =wag_bdr_id)\n"
            "where wag_imei =:imei");
  EXPECT_EQ(q::ADOLSN,
            "select * from ritstaten\nwhere lsn_wag_id=:Wagennummer\n"
            "AND ((lsn_actie = 'B') OR (lsn_actie= 'L') OR (lsn_actie= 'M'))\nAND lsn_status=0 ");
  EXPECT_EQ(q::ADORITNUMMER,
            "select MAX(PLA_ID) as waarde\nfrom planning\nwhere pla_status = 'K' \n"
            "and pla_wagen=:Wagennummer");
  EXPECT_EQ(q::ADOBrandstof, "SELECT *  FROM brandstof\nwhere bra_wag_id=:wag_id\norder by bra_datum desc");
  EXPECT_EQ(q::ADOUitgaand,
            "select * from (berichtenbox\nINNER JOIN wagens ON wag_id=bbo_wag_id)\n"
            "where bbo_soort=6\nAND bbo_verwerkt=0\nORDER by bbo_datum");
  EXPECT_EQ(q::ADOLSNDIENST,
            "select * from ritstaten\nwhere lsn_wag_id=:Wagennummer\nAND lsn_chf_id=:Chauffeurnummer\n"
            "AND lsn_status=0 ");
  EXPECT_EQ(q::ADODIENSTEINDE, "select * from ritstaten\nwhere lsn_wag_id=:Wagennummer\nAND lsn_status=0 ");
  EXPECT_EQ(q::ADORITBIJWERKEN, "select * from planning where 1=0");
  EXPECT_EQ(q::ADOTripOpties, "select * from zolinstellingen");
  EXPECT_EQ(q::ADOHoogste, "select max(bra_odometer_huidig) as waarde from brandstof\nwhere 1=0");
}

struct StatementCase {
  std::string built;
  std::string expected;
};

class StatementTexts : public ::testing::TestWithParam<StatementCase> {};

TEST_P(StatementTexts, AreExact) { EXPECT_EQ(GetParam().built, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, StatementTexts,
    ::testing::Values(
        StatementCase{q::AcceptRideStatement(42), "update planning set pla_com_status=1 where pla_id=42"},
        StatementCase{q::ReturnRideStatement(7, 301, 17, 99),
                      "UPDATE PLANNING SET pla_com_status=0, pla_auto_wagen=0, pla_planning=7, "
                      "pla_planning_taxis=301, pla_spoed=1, pla_lsn=0, pla_status='W' where pla_route=17"},
        StatementCase{q::ReturnRideStatement(7, 301, 0, 99),
                      "UPDATE PLANNING SET pla_com_status=0, pla_auto_wagen=0, pla_planning=7, "
                      "pla_planning_taxis=301, pla_spoed=1, pla_lsn=0, pla_status='W' where pla_id=99"},
        StatementCase{q::ReturnRideStatement(7, 301, -1, 0),
                      "UPDATE PLANNING SET pla_com_status=0, pla_auto_wagen=0, pla_planning=7, "
                      "pla_planning_taxis=301, pla_spoed=1, pla_lsn=0, pla_status='W' where pla_id=0"},
        StatementCase{q::FreeTripSheetStatement(5),
                      "UPDATE RITSTATEN SET lsn_rit=0, lsn_route=0, lsn_actie='B' where lsn_id=5"},
        StatementCase{q::NoShowTripSheetStatement(5),
                      "UPDATE RITSTATEN SET lsn_actie='L' where lsn_route=0 AND lsn_id=5"},
        StatementCase{q::PassengerOnBoardTripSheetStatement(5),
                      "UPDATE RITSTATEN SET lsn_actie='K' where lsn_id=5"},
        StatementCase{q::OdometerStatement(123456, 3),
                      "update wagens set wag_kmstand=(123456/10) where wag_id=3"},
        StatementCase{q::RideQuery(42), "select * from planning where pla_id=42"},
        StatementCase{q::UncompletedRideQuery(42),
                      "select * from planning where pla_status <> 'V' AND pla_id=42"},
        StatementCase{q::HighestOdometerQuery(3),
                      "select max(bra_odometer_huidig) as waarde from brandstof where bra_wag_id=3"},
        StatementCase{q::TripOptionsQuery(1, 3),
                      "select * from zolinstellingen where zol_bdr_id=1 AND zol_vor_id=:vor AND zol_rc=3"},
        StatementCase{RouteStatusControleStatement(Dialect::kSqlServer, 12),
                      "EXEC PROC_ROUTESTATUS_CONTROLE 12"},
        StatementCase{RouteStatusControleStatement(Dialect::kPostgreSql, 12),
                      "CALL PROC_ROUTESTATUS_CONTROLE(12)"},
        StatementCase{RouteStatusControleStatement(Dialect::kSqlite, 12),
                      "INSERT INTO PROC_ROUTESTATUS_CONTROLE (wag_id) VALUES (12)"}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.expected); });

}  // namespace
}  // namespace dorvek::db
