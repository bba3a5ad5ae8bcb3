#include "service/config_check.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include <asio.hpp>
#include <fmt/format.h>

#include "core/ascii.h"
#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "service/config_file.h"

namespace dorvek::service {
namespace {

// A value as it stands, in quotes, with line breaks and tabs made visible.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string SettingLine(std::string_view name, const std::string& shown, const std::string& meaning = {}) {
  std::string line = fmt::format("  {:<22} {}", name, shown);
  if (!meaning.empty()) line = fmt::format("{:<48} {}", line, meaning);
  return line;
}

std::string CheckLine(const CheckResult& result) {
  return fmt::format("{:<40} {}", result.what, result.failure ? *result.failure : std::string("ok"));
}

std::string ColumnList(const db::SchemaTable& table) {
  std::string names;
  for (const db::SchemaColumn& c : table.columns) names += (names.empty() ? "" : ", ") + std::string(c.name);
  return names;
}

// Letters to insert, remove or replace to make one name of the other.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The failure of a query, or nothing when it ran.
std::optional<std::string> TryQuery(db::Database& db, const std::string& sql) {
  try {
    db.Query(sql);
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

std::optional<std::string> CheckColumns(db::Database& db, const db::SchemaTable& table) {
  const auto failure = TryQuery(db, fmt::format("SELECT {} FROM {} WHERE 1=0", ColumnList(table), table.name));
  if (!failure) return std::nullopt;
  // The table is not there, or the connection failed: the database's text says which.
  if (TryQuery(db, fmt::format("SELECT * FROM {} WHERE 1=0", table.name))) return failure;
  std::string missing;
  for (const db::SchemaColumn& c : table.columns)
    if (TryQuery(db, fmt::format("SELECT {} FROM {} WHERE 1=0", c.name, table.name)))
      missing += (missing.empty() ? "" : ", ") + std::string(c.name);
  if (missing.empty()) return failure;
  return fmt::format("missing {}: {}", missing, *failure);
}

// Runs work on a thread of its own and waits at most timeout for it. Nothing when it
// did not finish: the thread is then left running with what it holds.
template <typename T>
std::optional<T> RunBounded(std::chrono::milliseconds timeout, std::function<T()> work) {
  auto task = std::make_shared<std::packaged_task<T()>>(std::move(work));
  std::future<T> result = task->get_future();
  std::thread worker([task] { (*task)(); });
  if (result.wait_for(timeout) != std::future_status::ready) {
    worker.detach();
    return std::nullopt;
  }
  worker.join();
  return result.get();
}

// What the database checks share with their threads: a check that is abandoned keeps
// them alive.
struct CheckDatabase {
  explicit CheckDatabase(db::ConnectionSettings settings) : db(std::move(settings), log) {}
  core::MemoryEventLog log;
  db::SociDatabase db;
};

std::string DescribeDatabase(const db::ConnectionSettings& c) {
  if (c.backend() == db::Backend::kSqlite) return "SQLite file " + c.SqlitePath().string();
  return fmt::format("ODBC driver {}, server {}, database {}", c.OdbcDriver(), c.server, c.database);
}

}  // namespace

std::vector<std::string> DescribeSettings(const Settings& s, const std::filesystem::path& base_dir) {
  const db::ConnectionSettings database = DatabaseSettings(s, base_dir);
  std::vector<std::string> lines;
  lines.push_back(SettingLine("HTTPTimer", Quoted(s.http_timer),
                              fmt::format("first connections {} ms after start", s.HttpTimerMs())));
  lines.push_back(SettingLine("Binding", s.PortNumber() > 0 ? Quoted(s.binding) : "-",
                              s.PortNumber() > 0 ? "" : "not read: Port is not positive"));
  lines.push_back(SettingLine("Port", Quoted(s.port),
                              s.PortNumber() > 0 ? "port " + s.PortText() : "the gateway stays unset"));
  lines.push_back(SettingLine("SQLDriver", Quoted(s.sql_driver), DescribeDatabase(database)));
  lines.push_back(SettingLine("SQLServer", Quoted(s.sql_server)));
  lines.push_back(SettingLine("SQLInlognaam", Quoted(s.sql_inlognaam)));
  lines.push_back(SettingLine("SQLPaswoord", s.sql_paswoord.empty() ? Quoted("") : "****"));
  lines.push_back(SettingLine("SQLDatabase", Quoted(s.sql_database)));
  lines.push_back(SettingLine("Netwerksleutel", Quoted(s.netwerksleutel),
                              s.netwerksleutel.empty() ? "LAN notices unenciphered" : ""));
  lines.push_back(SettingLine("ZOLid", Quoted(s.zol_id)));
  lines.push_back(SettingLine("Separator", Quoted(s.separator)));
  lines.push_back(SettingLine("Bedragen", Quoted(s.bedragen),
                              s.SuppressAmounts() ? "amounts left out of offers of rides whose pla_rc is 1"
                                                  : "amounts in every ride offer"));
  lines.push_back(SettingLine("PakkettenPerTick", Quoted(s.pakketten_per_tick),
                              fmt::format("at most {} packet{} a tick", s.PacketsPerTick(),
                                          s.PacketsPerTick() == 1 ? "" : "s")));
  lines.push_back(SettingLine("PakkettenPerVerzending", Quoted(s.pakketten_per_verzending),
                              fmt::format("at most {} packet{} a send", s.PacketsPerSend(),
                                          s.PacketsPerSend() == 1 ? "" : "s")));
  lines.push_back(SettingLine("MaxInkomendePakketten", Quoted(s.max_inkomende_pakketten),
                              fmt::format("at most {} packets wait inbound", s.MaxInboundPackets())));
  lines.push_back(SettingLine("MaxLeeftijdUitgaand", Quoted(s.max_leeftijd_uitgaand),
                              fmt::format("outbound packets older than {} s at start are not sent",
                                          s.MaxOutboundAge().count())));
  lines.push_back(SettingLine("OutputToFile", Quoted(s.output_to_file), "no effect"));
  lines.push_back(SettingLine("OutputDirectory", Quoted(s.output_directory), "no effect"));
  return lines;
}

std::vector<ConfigNote> DescribeElements(const std::vector<std::string>& lines) {
  using Kind = ConfigNote::Kind;
  std::vector<std::string_view> values;
  for (const KnownElement& e : KnownElements())
    if (e.kind != ElementKind::kStructure) values.push_back(e.name);
  const std::vector<std::string> written = ElementNames(lines, values);
  std::vector<ConfigNote> notes;
  for (const KnownElement& e : KnownElements()) {
    if (e.kind != ElementKind::kSetting || FindXMLTag(lines, e.name)) continue;
    if (std::find(written.begin(), written.end(), e.name) == written.end())
      notes.push_back({Kind::kInformation, fmt::format("no {} in the file; in force: {}", e.name, e.default_shown)});
    else
      notes.push_back({Kind::kWarning, fmt::format("{} cannot be read (an attribute in its tag, or its closing tag "
                                                   "missing or first); in force: {}",
                                                   e.name, e.default_shown)});
  }
  for (const std::string& name : written) {
    if (FindKnownElement(name)) continue;
    std::string text = fmt::format("unknown element {}, ignored", name);
    for (const KnownElement& e : KnownElements()) {
      if (core::EqualsNoCase(e.name, name)) {
        text += fmt::format("; did you mean {}? (case matters)", e.name);
      } else if (EditDistance(core::ToLower(e.name), core::ToLower(name)) <= 2) {
        text += fmt::format("; did you mean {}?", e.name);
      }
    }
    notes.push_back({Kind::kWarning, std::move(text)});
  }
  return notes;
}

CheckResult CheckTable(db::Database& db, const db::SchemaTable& table) {
  if (table.object == db::SchemaObject::kTable)
    return {fmt::format("table {} ({} column{})", table.name, table.columns.size(),
                        table.columns.size() == 1 ? "" : "s"),
            CheckColumns(db, table)};
  const std::string what = fmt::format("procedure {}", table.name);
  switch (db.dialect()) {
    case db::Dialect::kSqlite:
      // The test databases record the calls in a table of that name.
      return {what, CheckColumns(db, table)};
    case db::Dialect::kSqlServer:
      try {
        const auto rows = db.Query(fmt::format("SELECT OBJECT_ID('{}', 'P') AS id", table.name));
        if (rows.empty() || rows.front().IsNull("id")) return {what, "no such procedure"};
        return {what, std::nullopt};
      } catch (const std::exception& e) {
        return {what, std::string(e.what())};
      }
    case db::Dialect::kPostgreSql:
      try {
        // Unquoted names are kept in lower case.
        const auto rows = db.Query(
            fmt::format("SELECT count(*) AS n FROM pg_proc WHERE proname = lower('{}')", table.name));
        if (rows.empty() || rows.front().Int("n") == 0) return {what, "no such procedure"};
        return {what, std::nullopt};
      } catch (const std::exception& e) {
        return {what, std::string(e.what())};
      }
  }
  return {what, "not checked on this database"};
}

std::optional<std::string> TryGatewayConnection(const std::string& host, const std::string& port) {
  try {
    asio::io_context io;
    asio::ip::tcp::resolver resolver(io);
    asio::ip::tcp::socket socket(io);
    asio::connect(socket, resolver.resolve(host, port));
    asio::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    return std::nullopt;
  } catch (const std::system_error& e) {
    return e.code().message();
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

int RunConfigCheck(const CheckOptions& options, std::ostream& out, bool* abandoned) {
  std::vector<CheckResult> results;
  const auto report = [&](CheckResult result) {
    out << CheckLine(result) << std::endl;
    results.push_back(std::move(result));
  };
  std::size_t warnings = 0;
  const auto verdict = [&] {
    std::size_t failed = 0;
    for (const auto& r : results) failed += r.failure.has_value();
    const std::string warned = warnings == 0 ? "" : fmt::format("; {} warning{}", warnings, warnings == 1 ? "" : "s");
    if (failed == 0) {
      out << fmt::format("verdict: ok, all {} checks passed{}", results.size(), warned) << std::endl;
      return 0;
    }
    out << fmt::format("verdict: FAILED, {} of {} checks failed{}", failed, results.size(), warned) << std::endl;
    return 1;
  };
  const std::string no_answer = fmt::format("no answer within {} s", options.timeout.count() / 1000.0);

  // The configuration, as a start reads it; a start would write the template where
  // the file is missing, a check only says so.
  const std::filesystem::path file = options.base_dir / kConfigFileName;
  out << "Configuration " << file.string() << std::endl;
  Settings settings;
  std::error_code error;
  if (!std::filesystem::exists(file, error)) {
    report({"configuration file", "missing (a start writes the template there)"});
    return verdict();
  }
  std::vector<std::string> lines;
  try {
    lines = LoadConfigLines(file);
  } catch (const std::exception& e) {
    report({"configuration file", std::string(e.what())});
    return verdict();
  }
  settings = ReadSettings(lines);
  for (const std::string& line : DescribeSettings(settings, options.base_dir)) out << line << std::endl;
  for (const ConfigNote& note : DescribeElements(lines)) {
    const bool warning = note.kind == ConfigNote::Kind::kWarning;
    warnings += warning;
    out << "  " << (warning ? "warning: " : "information: ") << note.text << std::endl;
  }
  report({"configuration file", std::nullopt});

  // The database: the connection, then every table, each bounded on its own.
  db::ConnectionSettings connection = DatabaseSettings(settings, options.base_dir);
  connection.access = db::Access::kReadOnly;
  auto database = std::make_shared<CheckDatabase>(connection);
  const auto connected = RunBounded<std::optional<std::string>>(options.timeout, [database] {
    try {
      database->db.Open();
      return std::optional<std::string>();
    } catch (const std::exception& e) {
      // The warning that came with it ("gegevens onvolledig") says more than the failure.
      std::string text = e.what();
      for (const auto& entry : database->log.entries())
        if (entry.type != core::EntryType::kInformation) text += " (" + entry.text + ")";
      return std::optional<std::string>(text);
    }
  });
  report({"database connection", connected ? *connected : no_answer});
  bool database_answers = connected && !*connected;
  if (!connected) *abandoned = true;
  for (const db::SchemaTable& table : db::DispatchTables()) {
    if (!database_answers) {
      report({fmt::format("table {}", table.name), "not tried: no database connection"});
      continue;
    }
    const auto result =
        RunBounded<CheckResult>(options.timeout, [database, &table] { return CheckTable(database->db, table); });
    if (result) {
      report(*result);
    } else {
      report({fmt::format("table {}", table.name), no_answer});
      *abandoned = true;
      database_answers = false;
    }
  }

  // The gateway, as the first connection after a start would reach it.
  if (settings.PortNumber() <= 0) {
    report({"gateway", "Port is not positive: the gateway stays unset"});
  } else {
    const std::string host = settings.binding;
    const std::string port = settings.PortText();
    const auto reached = RunBounded<std::optional<std::string>>(
        options.timeout, [host, port] { return TryGatewayConnection(host, port); });
    if (!reached) *abandoned = true;
    report({fmt::format("gateway {}:{}", host, port), reached ? *reached : no_answer});
  }
  return verdict();
}

}  // namespace dorvek::service
