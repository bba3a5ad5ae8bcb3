#pragma once
// The ODBC connection string for the configured driver.

#include <string>

#include "db/connection_settings.h"

namespace dorvek::db {

// The connection string for settings.OdbcDriver(). Every key=value pair ends with ";".
//
// FreeTDS: Driver, Server, Port, Database, UID, PWD, TDS_Version=7.4, ClientCharset=UTF-8.
//   A server written "host,port" becomes Server=host;Port=port; "host\instance" stays as
//   it is (FreeTDS asks the server's browser for the instance's port). Values are braced.
//   FreeTDS ends a braced value at its first "};" and keeps "}}" as two characters, so a
//   "}" is written as it stands, and a value holding "};" cannot be passed at all.
// A driver whose name says SQLite: Driver and Database (the file), unbraced, since that
//   driver reads a brace as part of the value; a value holding ";" cannot be passed.
// Any other driver: Driver, Server, Database, UID, PWD, braced by the ODBC rule ("}"
//   doubled).
// Throws DatabaseError for a value that cannot be passed; the text names the key, never
// the value.
std::string OdbcConnectionString(const ConnectionSettings& settings);

}  // namespace dorvek::db
