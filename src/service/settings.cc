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
  return s;
}

std::vector<MissingSetting> MissingSettings(const Settings& s) {
  std::vector<MissingSetting> missing;
  MissingSetting gateway{"gateway address", {}};
  if (s.PortNumber() <= 0) gateway.elements.push_back("Port");
  else if (s.binding.empty()) gateway.elements.push_back("Binding");
  if (!gateway.elements.empty()) missing.push_back(std::move(gateway));
  // As the database's own check before every opening sees it.
  const db::ConnectionSettings c = DatabaseSettings(s, {});
  if (!c.IsComplete()) {
    MissingSetting database{"database", {}};
    const bool sqlite = c.backend() == db::Backend::kSqlite;
    for (const auto& [name, value] : {std::pair{"SQLServer", &c.server}, std::pair{"SQLDatabase", &c.database},
                                      std::pair{"SQLInlognaam", &c.user}, std::pair{"SQLPaswoord", &c.password}})
      if (value->empty() && (!sqlite || value == &c.database)) database.elements.push_back(name);
    missing.push_back(std::move(database));
  }
  return missing;
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
