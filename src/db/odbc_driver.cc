#include "db/odbc_driver.h"

#include <odbcinst.h>

#include "core/ascii.h"

namespace dorvek::db {
namespace {

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

OdbcDriverKind OdbcDriverOf(std::string_view name, std::string_view library) {
  const std::string n = core::ToLower(name);
  if (Contains(n, "freetds")) return OdbcDriverKind::kFreeTds;
  if (Contains(n, "postgres") || Contains(n, "psql")) return OdbcDriverKind::kPsqlOdbc;
  if (Contains(n, "sqlite")) return OdbcDriverKind::kSqliteOdbc;
  const std::string l = core::ToLower(library);
  if (Contains(l, "tdsodbc")) return OdbcDriverKind::kFreeTds;
  if (Contains(l, "psqlodbc")) return OdbcDriverKind::kPsqlOdbc;
  if (Contains(l, "sqlite")) return OdbcDriverKind::kSqliteOdbc;
  return OdbcDriverKind::kOther;
}

std::string RegisteredDriverLibrary(const std::string& name) {
  if (name.empty()) return {};
  char library[1024] = {};
  const int length =
      SQLGetPrivateProfileString(name.c_str(), "Driver", "", library, sizeof library, "odbcinst.ini");
  return length > 0 ? std::string(library) : std::string();
}

OdbcDriverKind OdbcDriverNamed(const std::string& name) {
  return OdbcDriverOf(name, RegisteredDriverLibrary(name));
}

}  // namespace dorvek::db
