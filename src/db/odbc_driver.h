#pragma once
// Which ODBC driver a configured driver name stands for. The connection string, the
// time-outs the driver can be given, and the dialect guessed before connecting depend
// on it.

#include <string>
#include <string_view>

namespace dorvek::db {

enum class OdbcDriverKind {
  kFreeTds,     // SQL Server through FreeTDS
  kPsqlOdbc,    // PostgreSQL through psqlODBC
  kSqliteOdbc,  // a SQLite file through the SQLite ODBC driver
  kOther,       // any other driver: only the keys every driver knows
};

// By the name ("FreeTDS", "PostgreSQL Unicode", "SQLite3", in any case), else by the
// library file the driver manager has registered for it (libtdsodbc.so, psqlodbcw.so,
// libsqlite3odbc.so), so a driver registered under a name of the site's own choosing is
// still known. Pure: `library` is what RegisteredDriverLibrary gave.
OdbcDriverKind OdbcDriverOf(std::string_view name, std::string_view library);

// The "Driver" entry of the name's section in odbcinst.ini, or "" when there is none.
std::string RegisteredDriverLibrary(const std::string& name);

// OdbcDriverOf(name, RegisteredDriverLibrary(name)).
OdbcDriverKind OdbcDriverNamed(const std::string& name);

}  // namespace dorvek::db
