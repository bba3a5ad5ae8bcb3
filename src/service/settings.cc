#include "service/settings.h"

#include "service/config_file.h"

namespace dorvek::service {

long long Settings::HttpTimerMs() const {
  const long long ms = ReadIntegerSetting(http_timer);
  if (ms <= 0) return kDefaultHttpTimerMs;
  return ms < kMaxHttpTimerMs ? ms : kMaxHttpTimerMs;
}

long long Settings::PortNumber() const { return ReadIntegerSetting(port); }

int Settings::PacketsPerTick() const {
  const long long n = ReadIntegerSetting(pakketten_per_tick);
  if (n <= 0) return 1;
  return static_cast<int>(n < kMaxPacketsPerTick ? n : kMaxPacketsPerTick);
}

long long Settings::MaxInboundPackets() const {
  const long long n = ReadIntegerSetting(max_inkomende_pakketten);
  return n > 0 ? n : kDefaultMaxInboundPackets;
}

std::chrono::seconds Settings::MaxOutboundAge() const {
  const long long n = ReadIntegerSetting(max_leeftijd_uitgaand);
  return n > 0 ? std::chrono::seconds(n) : kDefaultMaxOutboundAge;
}

Settings ReadSettings(const std::vector<std::string>& lines) {
  Settings s;
  s.output_directory = ReadXMLTag(lines, "OutputDirectory");
  s.output_to_file = ReadXMLTag(lines, "OutputToFile");
  s.sql_server = ReadXMLTag(lines, "SQLServer");
  s.sql_database = ReadXMLTag(lines, "SQLDatabase");
  s.sql_inlognaam = ReadXMLTag(lines, "SQLInlognaam");
  s.sql_paswoord = ReadXMLTag(lines, "SQLPaswoord");
  s.zol_id = ReadXMLTag(lines, "ZOLid");
  s.separator = ReadXMLTag(lines, "Separator");
  s.netwerksleutel = ReadXMLTag(lines, "Netwerksleutel");
  s.bedragen = ReadXMLTag(lines, "Bedragen");
  s.http_timer = ReadXMLTag(lines, "HTTPTimer");
  s.port = ReadXMLTag(lines, "Port");
  if (s.PortNumber() > 0) s.binding = ReadXMLTag(lines, "Binding");
  s.sql_driver = ReadXMLTag(lines, "SQLDriver");
  s.pakketten_per_tick = ReadXMLTag(lines, "PakkettenPerTick");
  s.max_inkomende_pakketten = ReadXMLTag(lines, "MaxInkomendePakketten");
  s.max_leeftijd_uitgaand = ReadXMLTag(lines, "MaxLeeftijdUitgaand");
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
