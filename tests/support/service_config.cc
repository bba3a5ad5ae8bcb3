#include "support/service_config.h"

#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

namespace dorvek::test_support {

std::string ServiceConfigXml(const ServiceConfig& config) {
  std::string xml = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DorvekZOLserver>\r\n"
      "<Timers>\r\n<HTTPTimer>{}</HTTPTimer>\r\n</Timers>\r\n"
      "<TCPCLIENT>\r\n<Binding>{}</Binding>\r\n<Port>{}</Port>\r\n</TCPCLIENT>\r\n<SQL>\r\n",
      config.http_timer_ms, config.binding, config.port);
  if (!config.sql_driver.empty()) xml += fmt::format("<SQLDriver>{}</SQLDriver>\r\n", config.sql_driver);
  xml += fmt::format(
      "<SQLServer>{}</SQLServer>\r\n<SQLInlognaam>{}</SQLInlognaam>\r\n<SQLPaswoord>{}</SQLPaswoord>\r\n"
      "<SQLDatabase>{}</SQLDatabase>\r\n<Netwerksleutel>{}</Netwerksleutel>\r\n<ZOLid>mux</ZOLid>\r\n"
      "<Separator>.</Separator>\r\n<Bedragen>0</Bedragen>\r\n</SQL>\r\n",
      config.sql_server, config.sql_user, config.sql_password, config.sql_database, config.key);
  if (config.packets_per_tick > 0)
    xml += fmt::format("<PakkettenPerTick>{}</PakkettenPerTick>\r\n", config.packets_per_tick);
  if (config.packets_per_send > 0)
    xml += fmt::format("<PakkettenPerVerzending>{}</PakkettenPerVerzending>\r\n", config.packets_per_send);
  return xml + "</DorvekZOLserver>\r\n";
}

void WriteServiceConfig(const std::filesystem::path& base_dir, const ServiceConfig& config) {
  const auto file = base_dir / "VmrZOLConfig.xml";
  std::ofstream out(file, std::ios::binary);
  out << ServiceConfigXml(config);
  if (!out.good()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace dorvek::test_support
