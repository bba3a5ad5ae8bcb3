#pragma once
// Where the dispatch database is and how to reach it, taken from the configuration.

#include <filesystem>
#include <string>

#include "db/database.h"

namespace dorvek::db {

enum class Backend {
  kOdbc,    // SQL Server through FreeTDS, or any other ODBC driver named in `driver`
  kSqlite,  // a SQLite file through SOCI's own SQLite backend
};

// The ODBC driver used when no driver is configured, as registered in odbcinst.ini.
inline constexpr std::string_view kDefaultOdbcDriver = "FreeTDS";

// What the connection may do to the database. A SQLite file opened kReadOnly is neither
// created nor switched to WAL; ODBC connections are the same either way.
enum class Access { kReadWrite, kReadOnly };

struct ConnectionSettings {
  // Empty: SQL Server through FreeTDS. "sqlite" in any case: the SQLite file `database`.
  // Anything else: the name of the ODBC driver to use.
  std::string driver;
  std::string server;    // SQLServer: "host", "host,port" or "host\instance"
  std::string user;      // SQLInlognaam
  std::string password;  // SQLPaswoord
  std::string database;  // SQLDatabase, or the SQLite file
  // A relative SQLite file is taken from here (the executable's directory).
  std::filesystem::path base_dir;
  Access access = Access::kReadWrite;

  Backend backend() const;
  // The ODBC driver's name; meaningful for Backend::kOdbc only.
  std::string OdbcDriver() const;
  // The SQLite file, made absolute against base_dir.
  std::filesystem::path SqlitePath() const;
  // SQLite files, and ODBC drivers whose name says SQLite, speak the SQLite dialect.
  Dialect dialect() const;
  // The check made before every opening: for ODBC the server, database, password and
  // login must all be given; for SQLite only the file.
  bool IsComplete() const;
};

}  // namespace dorvek::db
