#include "db/odbc_connection_string.h"

#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/ascii.h"

namespace dorvek::db {
namespace {

enum class Quoting { kOdbcRule, kFreeTds, kPlain };

std::string Quoted(std::string_view key, std::string_view value, Quoting quoting) {
  switch (quoting) {
    case Quoting::kPlain:
      if (value.find(';') != std::string_view::npos)
        throw DatabaseError(fmt::format("The database setting {} cannot hold \";\"", key));
      return std::string(value);
    case Quoting::kFreeTds:
      if (value.find("};") != std::string_view::npos)
        throw DatabaseError(fmt::format("The database setting {} cannot hold \"}};\"", key));
      return fmt::format("{{{}}}", value);
    case Quoting::kOdbcRule:
      break;
  }
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

using Pairs = std::vector<std::pair<std::string_view, std::string>>;

std::string Joined(const Pairs& pairs, Quoting quoting) {
  std::string out;
  for (const auto& [key, value] : pairs) out += fmt::format("{}={};", key, Quoted(key, value, quoting));
  return out;
}

}  // namespace

std::string OdbcConnectionString(const ConnectionSettings& settings) {
  const std::string driver = settings.OdbcDriver();
  const std::string driver_pair = "Driver=" + Quoted("Driver", driver, Quoting::kOdbcRule) + ";";
  const std::string lower = core::ToLower(driver);

  if (lower.find("sqlite") != std::string::npos)
    return driver_pair + Joined({{"Database", settings.database}}, Quoting::kPlain);

  if (lower == core::ToLower(kDefaultOdbcDriver)) {
    Pairs pairs;
    const auto comma = settings.server.rfind(',');
    if (comma != std::string::npos) {
      pairs.emplace_back("Server", settings.server.substr(0, comma));
      pairs.emplace_back("Port", settings.server.substr(comma + 1));
    } else {
      pairs.emplace_back("Server", settings.server);
    }
    pairs.emplace_back("Database", settings.database);
    pairs.emplace_back("UID", settings.user);
    pairs.emplace_back("PWD", settings.password);
    pairs.emplace_back("TDS_Version", "7.4");
    pairs.emplace_back("ClientCharset", "UTF-8");
    return driver_pair + Joined(pairs, Quoting::kFreeTds);
  }

  return driver_pair + Joined({{"Server", settings.server},
                               {"Database", settings.database},
                               {"UID", settings.user},
                               {"PWD", settings.password}},
                              Quoting::kOdbcRule);
}

}  // namespace dorvek::db
