#include "service/missing_settings.h"

namespace dorvek::service {

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

}  // namespace dorvek::service
