#include "db/connection_settings.h"

#include "core/ascii.h"

namespace dorvek::db {
Backend ConnectionSettings::backend() const {
  return core::ToLower(driver) == "sqlite" ? Backend::kSqlite : Backend::kOdbc;
}

std::string ConnectionSettings::OdbcDriver() const {
  return driver.empty() ? std::string(kDefaultOdbcDriver) : driver;
}

std::filesystem::path ConnectionSettings::SqlitePath() const {
  const std::filesystem::path file(database);
  return file.is_absolute() || base_dir.empty() ? file : base_dir / file;
}

OdbcDriverKind ConnectionSettings::DriverKind() const { return OdbcDriverNamed(OdbcDriver()); }

Dialect ConnectionSettings::dialect() const {
  if (backend() == Backend::kSqlite) return Dialect::kSqlite;
  switch (DriverKind()) {
    case OdbcDriverKind::kSqliteOdbc:
      return Dialect::kSqlite;
    case OdbcDriverKind::kPsqlOdbc:
      return Dialect::kPostgreSql;
    default:
      return Dialect::kSqlServer;
  }
}

bool ConnectionSettings::IsComplete() const {
  if (backend() == Backend::kSqlite) return !database.empty();
  return !server.empty() && !database.empty() && !password.empty() && !user.empty();
}

}  // namespace dorvek::db
