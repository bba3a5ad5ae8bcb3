#pragma once
// `dorvekzol --check`: what an administrator runs before a start to learn whether the
// configuration, the database and the gateway are right. It reads the configuration
// exactly as a start does but creates and writes nothing (a SQLite file is opened
// read-only), prints every setting (the password as "****") and what the file lacks or
// holds beyond the known elements, then tries, each within a
// few seconds: the database connection; every table and column the service reads or
// writes (db/dispatch_schema.h), by a query that selects no rows; and the gateway's TCP
// port (connect, then close without sending). One line per check, "ok" or the
// failure's own text, and a last verdict line.

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/dispatch_schema.h"
#include "service/settings.h"

namespace dorvek::service {

// One check: what was tried, and nothing when it passed or the failure's own text.
struct CheckResult {
  std::string what;
  std::optional<std::string> failure;
};

// The settings as a start reads them, one line each: the element, its text in quotes
// (values are not trimmed, so blanks show), and what the service makes of it.
std::vector<std::string> DescribeSettings(const Settings& settings, const std::filesystem::path& base_dir);

// What the file holds beyond the values: each setting it lacks, with the default in
// force (information), each setting written so that it cannot be read, and each element
// this executable does not know (warnings: a misspelt setting is otherwise silently
// ignored).
struct ConfigNote {
  enum class Kind { kInformation, kWarning };
  Kind kind;
  std::string text;
};
std::vector<ConfigNote> DescribeElements(const std::vector<std::string>& lines);

// Selects the table's listed columns with a query that returns no rows. When that
// fails but the table answers, every column is tried alone so that all missing ones are
// named, followed by the database's text for the first. The procedure entry is checked
// as the dialect has it (a table on SQLite, a procedure object on SQL Server).
CheckResult CheckTable(db::Database& db, const db::SchemaTable& table);

// Opens a TCP connection to host:port and closes it without sending; the socket
// layer's text when it cannot. Blocks: callers bound it.
std::optional<std::string> TryGatewayConnection(const std::string& host, const std::string& port);

struct CheckOptions {
  std::filesystem::path base_dir;
  std::chrono::milliseconds timeout{5000};  // per check
};

// Runs every check and writes the report to out. Gives 0 when every check passed,
// else 1. A check that does not answer within the time-out is a failure; the thread
// still waiting on it is left behind and *abandoned is set, and the caller then ends the
// process without waiting for it.
int RunConfigCheck(const CheckOptions& options, std::ostream& out, bool* abandoned);

}  // namespace dorvek::service
