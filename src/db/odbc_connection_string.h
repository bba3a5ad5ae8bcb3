#pragma once
// The ODBC connection string for the configured driver.

#include <string>

#include "db/connection_settings.h"

namespace dorvek::db {

// The connection string for settings.OdbcDriver(). Every key=value pair ends with ";".
// A server written "host,port" is given as host and port where the driver has a Port key.
//
// FreeTDS: Driver, Server, Port, Database, UID, PWD, TDS_Version=7.4, ClientCharset=UTF-8,
//   Timeout = the login time-out. "host\instance" stays as it is (FreeTDS asks the
//   server's browser for the instance's port). Values are braced. FreeTDS ends a braced
//   value at its first "};" and keeps "}}" as two characters, so a "}" is written as it
//   stands, and a value holding "};" cannot be passed at all.
// psqlODBC: Driver, Server, Port, Database, UID, PWD, pqopt (libpq's own options: the
//   login time-out and keepalives, PsqlOdbcLibpqOptions), CommLog=0. psqlODBC takes
//   braces off PWD and pqopt only, so only those are braced ("}" doubled); the others
//   cannot hold ";" or begin with "{".
// The SQLite ODBC driver: Driver, Database (the file) and Timeout (how long to wait for
//   a lock, kSqliteBusyTimeout), unbraced, since that driver reads a brace as part of the
//   value; a value holding ";" cannot be passed.
// Any other driver: Driver, Server, Database, UID, PWD, braced by the ODBC rule ("}"
//   doubled). Such a driver gets no login time-out: no key for it is common to all.
// Throws DatabaseError for a value that cannot be passed; the text names the key, never
// the value.
std::string OdbcConnectionString(const ConnectionSettings& settings);

// libpq options for psqlODBC's pqopt: connect_timeout from the login time-out,
// keepalives, and tcp_user_timeout from the statement time-out.
std::string PsqlOdbcLibpqOptions(const DatabaseTimeouts& timeouts);

}  // namespace dorvek::db
