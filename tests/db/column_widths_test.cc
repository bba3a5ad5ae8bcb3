#include "db/column_widths.h"

#include <string>

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::db {
namespace {

struct WidthCase {
  std::string table;
  std::string column;
  int width;
};

class TextColumnWidthTable : public ::testing::TestWithParam<WidthCase> {};

TEST_P(TextColumnWidthTable, KnowsTheColumn) {
  EXPECT_EQ(TextColumnWidth(GetParam().table, GetParam().column), GetParam().width);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextColumnWidthTable,
    ::testing::Values(WidthCase{"wagens", "wag_type", 1}, WidthCase{"wagens", "wag_imei", 20},
                      WidthCase{"planning", "pla_ophstraat", 50},
                      WidthCase{"planning", "pla_ophnummertoe", 6},
                      WidthCase{"planning", "pla_oph_land", 2},
                      WidthCase{"planning", "pla_start_straat", 40},
                      WidthCase{"planning", "pla_status", 1},
                      WidthCase{"planning", "pla_redenloosmelden", 50},
                      WidthCase{"planning", "pla_eigenaar", 3},
                      WidthCase{"ritstaten", "lsn_actie", 1},
                      WidthCase{"ritstaten", "lsn_omschrijving", 20},
                      WidthCase{"chauffeurs", "chf_naam", 40},
                      WidthCase{"constanten", "con_land", 3}, WidthCase{"gps", "GPS_Imei", 20},
                      WidthCase{"gps", "GPS_Statuscode", 20},
                      WidthCase{"berichtenbox", "bbo_code", 20},
                      WidthCase{"skype", "SkypeNumber", 50},
                      WidthCase{"zolinstellingen", "zol_autoprint", 2},
                      WidthCase{"StatusMeldingen", "mel_opmerking", 100},
                      // without regard to case
                      WidthCase{"STATUSMELDINGEN", "MEL_OPMERKING", 100},
                      WidthCase{"Planning", "PLA_TELEFOON", 40}),
    [](const auto& info) {
      return test_support::CaseName(info.index, info.param.table + "." + info.param.column);
    });

TEST(TextColumnWidth, NonTextAndUnknownColumnsHaveNone) {
  EXPECT_FALSE(TextColumnWidth("planning", "pla_tekst"));  // long text
  EXPECT_FALSE(TextColumnWidth("planning", "pla_id"));
  EXPECT_FALSE(TextColumnWidth("wagens", "pla_status"));  // right column, wrong table
  EXPECT_FALSE(TextColumnWidth("", ""));
}

}  // namespace
}  // namespace dorvek::db
