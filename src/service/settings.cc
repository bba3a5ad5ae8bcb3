#include "service/settings.h"

#include <array>

#include "service/config_file.h"

namespace dorvek::service {

long long Settings::HttpTimerMs() const {
  const long long ms = ReadIntegerSetting(http_timer);
  if (ms <= 0) return kDefaultHttpTimerMs;
  return ms < kMaxHttpTimerMs ? ms : kMaxHttpTimerMs;
}

long long Settings::PortNumber() const { return ReadIntegerSetting(port); }

namespace {

// A count of packets: the setting when positive, at most `most`; else 1.
int PacketCount(const std::string& text, int most) {
  const long long n = ReadIntegerSetting(text);
  if (n <= 0) return 1;
  return static_cast<int>(n < most ? n : most);
}

}  // namespace

int Settings::PacketsPerTick() const { return PacketCount(pakketten_per_tick, kMaxPacketsPerTick); }

int Settings::PacketsPerSend() const { return PacketCount(pakketten_per_verzending, kMaxPacketsPerSend); }

long long Settings::MaxInboundPackets() const {
  const long long n = ReadIntegerSetting(max_inkomende_pakketten);
  return n > 0 ? n : kDefaultMaxInboundPackets;
}

std::chrono::seconds Settings::MaxOutboundAge() const {
  const long long n = ReadIntegerSetting(max_leeftijd_uitgaand);
  if (n <= 0) return kDefaultMaxOutboundAge;
  return n < kMaxOutboundAge.count() ? std::chrono::seconds(n) : kMaxOutboundAge;
}

std::span<const KnownElement> KnownElements() {
  using enum ElementKind;
  using enum InTemplate;
  static const std::array<KnownElement, 23> kElements = {{
      {"OutputDirectory", kNoEffect, kYes, "no effect", &Settings::output_directory},
      {"OutputToFile", kNoEffect, kYes, "no effect", &Settings::output_to_file},
      {"SQLServer", kSetting, kYes, "empty", &Settings::sql_server},
      {"SQLDatabase", kSetting, kYes, "empty", &Settings::sql_database},
      {"SQLInlognaam", kSetting, kYes, "empty", &Settings::sql_inlognaam},
      {"SQLPaswoord", kSetting, kYes, "empty", &Settings::sql_paswoord},
      {"ZOLid", kSetting, kYes, "empty", &Settings::zol_id},
      {"Separator", kSetting, kYes, "empty", &Settings::separator},
      {"Netwerksleutel", kSetting, kYes, "empty (LAN notices unenciphered)", &Settings::netwerksleutel},
      {"Bedragen", kSetting, kYes, "empty (amounts in every ride offer)", &Settings::bedragen},
      {"HTTPTimer", kSetting, kYes, "60000 ms", &Settings::http_timer},
      {"Port", kSetting, kYes, "empty (the gateway stays unset)", &Settings::port},
      {"Binding", kSetting, kYes, "empty", &Settings::binding},
      {"SQLDriver", kSetting, kNo, "empty (SQL Server through the FreeTDS ODBC driver)", &Settings::sql_driver},
      {"PakkettenPerTick", kSetting, kNo, "1 packet a tick", &Settings::pakketten_per_tick},
      {"PakkettenPerVerzending", kSetting, kNo, "1 packet a send", &Settings::pakketten_per_verzending},
      {"MaxInkomendePakketten", kSetting, kNo, "100000 packets", &Settings::max_inkomende_pakketten},
      {"MaxLeeftijdUitgaand", kSetting, kNo, "600 s", &Settings::max_leeftijd_uitgaand},
      {"DorvekZOLserver", kStructure, kYes, "", nullptr},
      {"Timers", kStructure, kYes, "", nullptr},
      {"TCPCLIENT", kStructure, kYes, "", nullptr},
      {"SQL", kStructure, kYes, "", nullptr},
      {"Output", kStructure, kYes, "", nullptr},
  }};
  return kElements;
}

const KnownElement* FindKnownElement(std::string_view name) {
  for (const KnownElement& e : KnownElements())
    if (e.name == name) return &e;
  return nullptr;
}

Settings ReadSettings(const std::vector<std::string>& lines) {
  Settings s;
  for (const KnownElement& e : KnownElements()) {
    if (e.field == nullptr) continue;
    if (e.field == &Settings::binding && s.PortNumber() <= 0) continue;
    s.*e.field = ReadXMLTag(lines, e.name);
  }
  return s;
}

db::ConnectionSettings DatabaseSettings(const Settings& s, const std::filesystem::path& base_dir) {
  db::ConnectionSettings c;
  c.driver = s.sql_driver;
  c.server = s.sql_server;
  c.user = s.sql_inlognaam;
  c.password = s.sql_paswoord;
  c.database = s.sql_database;
  c.base_dir = base_dir;
  return c;
}

}  // namespace dorvek::service
