#pragma once
// Where the dispatch database is and how to reach it, taken from the configuration.

#include <chrono>
#include <filesystem>
#include <string>

#include "db/database.h"
#include "db/odbc_driver.h"

namespace dorvek::db {

enum class Backend {
  kOdbc,    // SQL Server through FreeTDS, or any other ODBC driver named in `driver`
  kSqlite,  // a SQLite file through SOCI's own SQLite backend
};

// The ODBC driver used when no driver is configured, as registered in odbcinst.ini.
inline constexpr std::string_view kDefaultOdbcDriver = "FreeTDS";

// How long one use of the database may keep the event loop waiting. The service runs
// every timer and socket event on one thread, and its watchdog allows one event about
// 30 s on the database: a login and one statement together stay within that.
struct DatabaseTimeouts {
  // Connecting and logging in. A server that takes the connection and never answers
  // fails the opening after this long.
  std::chrono::seconds login{10};
  // One statement, from sending it to its last row. A statement that takes longer fails
  // and its connection is closed, so the next use opens a fresh one.
  std::chrono::seconds statement{20};
  // After an opening that timed out, every use fails at once with the same text for this
  // long instead of waiting out the login time again. A refused login fails fast and
  // gets no pause.
  std::chrono::seconds reopen_pause{30};
};

// How long a SQLite statement waits for a lock another program holds, natively and
// through the SQLite ODBC driver, before it fails as a time-out: short, because the
// event loop waits with it. The work is tried again later instead.
inline constexpr std::chrono::milliseconds kSqliteBusyTimeout{250};

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
  DatabaseTimeouts timeouts;

  Access access = Access::kReadWrite;

  Backend backend() const;
  // The ODBC driver's name; meaningful for Backend::kOdbc only.
  std::string OdbcDriver() const;
  // Which driver that name stands for.
  OdbcDriverKind DriverKind() const;
  // The SQLite file, made absolute against base_dir.
  std::filesystem::path SqlitePath() const;
  // The dialect guessed from the settings alone: SQLite files and the SQLite ODBC
  // driver speak SQLite, psqlODBC PostgreSQL, every other driver SQL Server. Once
  // connected, the database layer asks the server instead.
  Dialect dialect() const;
  // The check made before every opening: for ODBC the server, database, password and
  // login must all be given; for SQLite only the file.
  bool IsComplete() const;
};

}  // namespace dorvek::db
