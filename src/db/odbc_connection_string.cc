#include "db/odbc_connection_string.h"

#include <chrono>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace dorvek::db {
namespace {

enum class Quoting { kOdbcRule, kFreeTds, kPlain };

std::string Quoted(std::string_view key, std::string_view value, Quoting quoting) {
  switch (quoting) {
    case Quoting::kPlain:
      // Read up to the next ";" as it stands; a leading brace would start a braced value.
      if (value.find(';') != std::string_view::npos)
        throw DatabaseError(fmt::format("The database setting {} cannot hold \";\"", key));
      if (value.starts_with('{'))
        throw DatabaseError(fmt::format("The database setting {} cannot begin with \"{{\"", key));
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

struct Pair {
  std::string_view key;
  std::string value;
  Quoting quoting;
};

std::string Joined(const std::vector<Pair>& pairs) {
  std::string out;
  for (const auto& [key, value, quoting] : pairs)
    out += fmt::format("{}={};", key, Quoted(key, value, quoting));
  return out;
}

// "host,port" as host and port; without a comma the port is empty.
std::pair<std::string, std::string> HostAndPort(const std::string& server) {
  const auto comma = server.rfind(',');
  if (comma == std::string::npos) return {server, {}};
  return {server.substr(0, comma), server.substr(comma + 1)};
}

std::string Seconds(std::chrono::seconds s) { return std::to_string(std::max<long long>(s.count(), 1)); }

}  // namespace

std::string PsqlOdbcLibpqOptions(const DatabaseTimeouts& timeouts) {
  // connect_timeout bounds connecting and the login (libpq counts at least 2 s). The
  // statement time-out itself runs on the server; against a peer that is gone, keepalives
  // notice a silent connection while a reply is awaited, and tcp_user_timeout one that no
  // longer acknowledges what was sent.
  const auto statement_ms = std::chrono::milliseconds(timeouts.statement).count();
  return fmt::format(
      "connect_timeout={} keepalives=1 keepalives_idle=5 keepalives_interval=5 "
      "keepalives_count=2 tcp_user_timeout={}",
      Seconds(timeouts.login), std::max<long long>(statement_ms, 1000));
}

std::string OdbcConnectionString(const ConnectionSettings& settings) {
  const std::string driver = settings.OdbcDriver();
  std::vector<Pair> pairs = {{"Driver", driver, Quoting::kOdbcRule}};

  switch (settings.DriverKind()) {
    case OdbcDriverKind::kSqliteOdbc: {
      const auto busy_ms = std::chrono::milliseconds(kSqliteBusyTimeout).count();
      pairs.push_back({"Database", settings.database, Quoting::kPlain});
      pairs.push_back({"Timeout", std::to_string(busy_ms), Quoting::kPlain});
      break;
    }
    case OdbcDriverKind::kFreeTds: {
      const auto [host, port] = HostAndPort(settings.server);
      pairs.push_back({"Server", host, Quoting::kFreeTds});
      if (!port.empty()) pairs.push_back({"Port", port, Quoting::kFreeTds});
      pairs.push_back({"Database", settings.database, Quoting::kFreeTds});
      pairs.push_back({"UID", settings.user, Quoting::kFreeTds});
      pairs.push_back({"PWD", settings.password, Quoting::kFreeTds});
      pairs.push_back({"TDS_Version", "7.4", Quoting::kFreeTds});
      pairs.push_back({"ClientCharset", "UTF-8", Quoting::kFreeTds});
      // Bounds the login; also each statement's time-out, until the statement sets its own.
      pairs.push_back({"Timeout", Seconds(settings.timeouts.login), Quoting::kFreeTds});
      break;
    }
    case OdbcDriverKind::kPsqlOdbc: {
      const auto [host, port] = HostAndPort(settings.server);
      pairs.push_back({"Server", host, Quoting::kPlain});
      if (!port.empty()) pairs.push_back({"Port", port, Quoting::kPlain});
      pairs.push_back({"Database", settings.database, Quoting::kPlain});
      pairs.push_back({"UID", settings.user, Quoting::kPlain});
      pairs.push_back({"PWD", settings.password, Quoting::kOdbcRule});
      pairs.push_back({"pqopt", PsqlOdbcLibpqOptions(settings.timeouts), Quoting::kOdbcRule});
      // Debian registers psqlODBC with its communication log on, which leaves a file in
      // /tmp for every process.
      pairs.push_back({"CommLog", "0", Quoting::kPlain});
      break;
    }
    case OdbcDriverKind::kOther:
      pairs.push_back({"Server", settings.server, Quoting::kOdbcRule});
      pairs.push_back({"Database", settings.database, Quoting::kOdbcRule});
      pairs.push_back({"UID", settings.user, Quoting::kOdbcRule});
      pairs.push_back({"PWD", settings.password, Quoting::kOdbcRule});
      break;
  }
  return Joined(pairs);
}

}  // namespace dorvek::db
