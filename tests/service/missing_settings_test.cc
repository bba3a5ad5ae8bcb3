#include "service/missing_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/config_file.h"

namespace dorvek::service {
namespace {

// What MissingSettings names, written "what (elements); …".
std::string Missing(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& m : MissingSettings(ReadSettings(lines))) {
    text += (text.empty() ? "" : "; ") + m.what + " (";
    for (std::size_t i = 0; i < m.elements.size(); ++i) text += (i ? ", " : "") + m.elements[i];
    text += ")";
  }
  return text;
}
std::string Missing(const std::string& config) { return Missing(SplitConfigLines(config)); }

TEST(MissingSettings, NameWhatTheServiceCannotWorkWithoutAndWhereItGoes) {
  const std::string odbc = "<SQLServer>db</SQLServer><SQLInlognaam>sa</SQLInlognaam><SQLPaswoord>x</SQLPaswoord>";
  EXPECT_EQ(Missing("not XML at all"),
            "gateway address (Port); database (SQLServer, SQLDatabase, SQLInlognaam, SQLPaswoord)");
  EXPECT_EQ(Missing(ConfigTemplateLines("/opt/zol")), "database (SQLDatabase)");
  EXPECT_EQ(Missing("<Port>4001</Port><Binding></Binding>" + odbc + "<SQLDatabase>d</SQLDatabase>"),
            "gateway address (Binding)");
  EXPECT_EQ(Missing("<Port>0</Port><SQLDriver>sqlite</SQLDriver>"), "gateway address (Port); database (SQLDatabase)");
  EXPECT_EQ(Missing("<Port>4001</Port><Binding>gw</Binding><SQLDriver>sqlite</SQLDriver><SQLDatabase>d.db</SQLDatabase>"),
            "");
}

}  // namespace
}  // namespace dorvek::service
