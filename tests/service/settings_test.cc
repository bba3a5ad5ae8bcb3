#include "service/settings.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "service/config_file.h"
#include "support/case_name.h"

namespace dorvek::service {
namespace {

std::vector<std::string> WithElement(const std::string& line) {
  auto lines = ConfigTemplateLines("/opt/dorvek");
  lines.insert(lines.begin() + 1, line);  // the first occurrence wins
  return lines;
}

TEST(ReadSettings, TemplateValues) {
  const Settings s = ReadSettings(ConfigTemplateLines("/opt/dorvek"));
  EXPECT_EQ(s.output_directory, "/opt/dorvek/VmrZOLData/XML");
  EXPECT_EQ(s.output_to_file, "True");
  EXPECT_EQ(s.sql_server, "127.0.0.1");
  EXPECT_EQ(s.sql_database, "");
  EXPECT_EQ(s.sql_inlognaam, "sa");
  EXPECT_EQ(s.sql_paswoord, "****");
  EXPECT_EQ(s.zol_id, "mux");
  EXPECT_EQ(s.separator, ".");
  EXPECT_EQ(s.netwerksleutel, "Wexlor");
  EXPECT_EQ(s.bedragen, "0");
  EXPECT_EQ(s.http_timer, "10000");
  EXPECT_EQ(s.port, "4001");
  EXPECT_EQ(s.binding, "127.0.0.1");
  EXPECT_EQ(s.sql_driver, "");
  EXPECT_EQ(s.HttpTimerMs(), 10000);
  EXPECT_EQ(s.PortNumber(), 4001);
  EXPECT_TRUE(s.SuppressAmounts());
}

TEST(ReadSettings, ReadmeInstallVariantReadsTheSampleDatabase) {
  const Settings s = ReadSettings(ReadmeInstallLines("/opt/dorvek"));
  EXPECT_EQ(s.sql_database, "DORVEK_FFFFFFFFF");
  EXPECT_EQ(s.PortNumber(), 4001);
  EXPECT_EQ(s.binding, "127.0.0.1");
}

TEST(ReadSettings, MissingElementsReadEmpty) {
  const Settings s = ReadSettings({"<DorvekZOLserver>", "</DorvekZOLserver>"});
  EXPECT_EQ(s.sql_server, "");
  EXPECT_EQ(s.port, "");
  EXPECT_EQ(s.HttpTimerMs(), kDefaultHttpTimerMs);
  EXPECT_EQ(s.PortNumber(), 0);
  EXPECT_FALSE(s.SuppressAmounts());
}

TEST(ReadSettings, OptionalDriverElementIsRead) {
  EXPECT_EQ(ReadSettings(WithElement("<SQLDriver>sqlite3</SQLDriver>")).sql_driver, "sqlite3");
}

struct PortCase {
  const char* port_text;
  long long port;
  const char* binding;
};

class PortAndBinding : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortAndBinding, BindingReadOnlyForPositivePort) {
  auto lines = ConfigTemplateLines("/opt/dorvek");
  lines[7] = std::string("<Port>") + GetParam().port_text + "</Port>";
  const Settings s = ReadSettings(lines);
  EXPECT_EQ(s.PortNumber(), GetParam().port);
  EXPECT_EQ(s.binding, GetParam().binding);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortAndBinding,
                         ::testing::Values(PortCase{"4001", 4001, "127.0.0.1"},
                                           PortCase{"$FA1", 4001, "127.0.0.1"},
                                           PortCase{" 4001", 4001, "127.0.0.1"},
                                           PortCase{"4001a", 4001, "127.0.0.1"},
                                           PortCase{"", 0, ""}, PortCase{"0", 0, ""},
                                           PortCase{"-1", -1, ""}),
                         [](const auto& info) {
                           return test_support::CaseName(info.index, info.param.port_text);
                         });

struct TimerCase {
  const char* text;
  long long ms;
};

class HttpTimer : public ::testing::TestWithParam<TimerCase> {};

TEST_P(HttpTimer, NonPositiveKeepsOneMinute) {
  Settings s;
  s.http_timer = GetParam().text;
  EXPECT_EQ(s.HttpTimerMs(), GetParam().ms);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpTimer,
                         ::testing::Values(TimerCase{"10000", 10000}, TimerCase{"", 60000},
                                           TimerCase{"0", 60000}, TimerCase{"-5", 60000},
                                           TimerCase{"1", 1}, TimerCase{"$10", 16},
                                           // clamped, so adding it to the clock cannot overflow
                                           TimerCase{"9300000000000", 2147483647},
                                           TimerCase{"99999999999999999999", 2147483647}),
                         [](const auto& info) {
                           return test_support::CaseName(info.index, info.param.text);
                         });

TEST(Settings, OnlyExactZeroSuppressesAmounts) {
  for (const char* text : {"00", "", " 0", "0 ", "1", "O"}) {
    Settings s;
    s.bedragen = text;
    EXPECT_FALSE(s.SuppressAmounts()) << "\"" << text << "\"";
  }
  Settings zero;
  zero.bedragen = "0";
  EXPECT_TRUE(zero.SuppressAmounts());
}

TEST(ReadSettings, BlanksAroundServerKept) {
  EXPECT_EQ(ReadSettings(WithElement("<SQLServer> db1 </SQLServer>")).sql_server, " db1 ");
}

}  // namespace
}  // namespace dorvek::service

namespace dorvek::service {
namespace {

struct PerTickCase {
  std::string name;
  std::string text;
  int packets;
  int per_send = packets;  // PakkettenPerVerzending with the same text
};

class PacketsPerTick : public ::testing::TestWithParam<PerTickCase> {};

TEST_P(PacketsPerTick, MissingEmptyOrNotPositiveIsOne) {
  Settings s;
  s.pakketten_per_tick = GetParam().text;
  EXPECT_EQ(s.PacketsPerTick(), GetParam().packets);
  s.pakketten_per_verzending = GetParam().text;
  EXPECT_EQ(s.PacketsPerSend(), GetParam().per_send);
}

INSTANTIATE_TEST_SUITE_P(Values, PacketsPerTick,
                         ::testing::Values(PerTickCase{"Empty", "", 1}, PerTickCase{"Zero", "0", 1},
                                           PerTickCase{"Negative", "-20", 1}, PerTickCase{"Text", "veel", 1},
                                           PerTickCase{"Fifty", "50", 50}, PerTickCase{"Hex", "$64", 100},
                                           PerTickCase{"AboveTheSendCap", "101", 101, kMaxPacketsPerSend},
                                           PerTickCase{"Huge", "99999999999", kMaxPacketsPerTick, kMaxPacketsPerSend}),
                         [](const auto& info) { return info.param.name; });

TEST(ReadSettings, PakkettenPerTickIsReadButNotInTheTemplate) {
  EXPECT_EQ(ReadSettings(ConfigTemplateLines("/opt/dorvek")).PacketsPerTick(), 1);
  EXPECT_EQ(ReadSettings(WithElement("<PakkettenPerTick>500</PakkettenPerTick>")).PacketsPerTick(), 500);
}

struct LimitCase {
  std::string name;
  std::string element_text;  // empty: no element at all
  long long packets;
  long long seconds;
};

class InboundAndOutboundLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(InboundAndOutboundLimits, MissingEmptyOrNotPositiveIsTheDefault) {
  auto lines = ConfigTemplateLines("/opt/dorvek");
  if (!GetParam().element_text.empty())
    for (const char* name : {"MaxInkomendePakketten", "MaxLeeftijdUitgaand"})
      lines.insert(lines.begin() + 1, fmt::format("<{0}>{1}</{0}>", name, GetParam().element_text));
  const Settings s = ReadSettings(lines);
  EXPECT_EQ(s.MaxInboundPackets(), GetParam().packets);
  EXPECT_EQ(s.MaxOutboundAge(), std::chrono::seconds(GetParam().seconds));
}

INSTANTIATE_TEST_SUITE_P(
    Values, InboundAndOutboundLimits,
    ::testing::Values(LimitCase{"Missing", "", 100000, 600}, LimitCase{"Negative", "-5", 100000, 600},
                      LimitCase{"Text", "veel", 100000, 600}, LimitCase{"Fifty", "50", 50, 50},
                      LimitCase{"Huge", "99999999999999999999", LLONG_MAX, kMaxOutboundAge.count()}),
    [](const auto& info) { return info.param.name; });

TEST(KnownElements, TheTemplateWritesExactlyThoseMarkedSo) {
  const std::vector<std::string> written = ElementNames(ConfigTemplateLines("/opt/dorvek"), {});
  for (const KnownElement& e : KnownElements())
    EXPECT_EQ(std::count(written.begin(), written.end(), e.name), e.in_template == InTemplate::kYes) << e.name;
  for (const std::string& name : written) EXPECT_NE(FindKnownElement(name), nullptr) << name;
}

}  // namespace
}  // namespace dorvek::service
