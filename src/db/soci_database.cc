#include "db/soci_database.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <limits>
#include <utility>

#include <fmt/format.h>
#include <soci/odbc/soci-odbc.h>
#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>

#include "core/ascii.h"
#include "db/odbc_connection_string.h"

namespace dorvek::db {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Native SQLite: the progress handler interrupts a statement once `at` has passed, and
// notes that it did.
struct SqliteDeadline {
  SteadyClock::time_point at = SteadyClock::time_point::max();
  bool interrupted = false;
};

// How many SQLite virtual machine steps pass between two looks at the clock.
constexpr int kSqliteProgressSteps = 1000;

int SqliteProgress(void* context) {
  auto* deadline = static_cast<SqliteDeadline*>(context);
  if (SteadyClock::now() < deadline->at) return 0;
  deadline->interrupted = true;
  return 1;  // interrupts the statement with SQLITE_INTERRUPT
}

}  // namespace

struct SociDatabase::Session {
  soci::session sql;
  Dialect dialect = Dialect::kSqlServer;
  bool odbc = false;
  // What each ODBC statement is given as SQL_ATTR_QUERY_TIMEOUT, in seconds.
  SQLULEN query_timeout_s = 0;
  SqliteDeadline sqlite_deadline;
  sqlite_api::sqlite3* sqlite = nullptr;  // the native connection, for SQLite files
  // The driver undoes a failed statement of a transaction alone by itself (psqlODBC's
  // statement-level rollback, its default): no savepoints of ours then.
  bool driver_undoes_statements = false;
};

namespace {

// The statement time-out as each ODBC driver is to be given it.
SQLULEN OdbcQueryTimeout(OdbcDriverKind driver, std::chrono::seconds statement) {
  long long seconds = statement.count();
  // FreeTDS waits the time-out once for the answer and once more for the cancel.
  if (driver == OdbcDriverKind::kFreeTds) seconds /= 2;
  return static_cast<SQLULEN>(std::max<long long>(seconds, 1));
}

// What the server calls itself, or "" when the driver does not say.
std::string DbmsName(soci::session& sql) {
  auto* backend = static_cast<soci::odbc_session_backend*>(sql.get_backend());
  SQLCHAR name[256] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(backend->hdbc_, SQL_DBMS_NAME, name, sizeof name, &length)))
    return {};
  return std::string(reinterpret_cast<const char*>(name));
}

// Whole seconds for an ODBC time-out: at least one, and never more than max.
SQLULEN TimeoutSeconds(std::chrono::milliseconds budget, SQLULEN max) {
  const auto seconds = static_cast<SQLULEN>((budget.count() + 999) / 1000);
  return std::clamp<SQLULEN>(seconds, 1, max);
}

// True when the ODBC driver knows its connection is gone. psqlODBC may learn that while
// cleaning up after a statement (an error SOCI's statement swallows) and then take the
// transaction for ended: its commit then succeeds without sending anything.
bool ConnectionDead(soci::session& sql) {
  auto* backend = static_cast<soci::odbc_session_backend*>(sql.get_backend());
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (!SQL_SUCCEEDED(SQLGetConnectAttr(backend->hdbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr))) return false;
  return dead == SQL_CD_TRUE;
}

// Gives an ODBC statement its time-out. A driver that cannot take one runs without.
void SetQueryTimeout(soci::statement& st, SQLULEN seconds) {
  auto* backend = static_cast<soci::odbc_statement_backend*>(st.get_backend());
  SQLSetStmtAttr(backend->hstmt_, SQL_ATTR_QUERY_TIMEOUT,
                 reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(seconds)), 0);
}

// The connection string of SOCI's SQLite backend splits at blanks; a path with a blank
// is written in double quotes, which that parser understands.
//
// Read-only, the file is opened as an immutable URI: a reader of a file in WAL mode
// would otherwise create its -wal and -shm files beside it, and could not read at all
// without write access to the directory. Changes still only in the WAL are not seen.
std::string SqliteConnectString(const std::filesystem::path& file, Access access) {
  const std::string path = file.string();
  if (path.find('"') != std::string::npos)
    throw DatabaseError(fmt::format("Invalid database file name: {}", path));
  if (access == Access::kReadOnly) {
    std::string uri = "file:";
    for (const char c : std::filesystem::absolute(file).string()) {
      if (c == '%' || c == '?' || c == '#' || c == ' ')
        uri += fmt::format("%{:02X}", static_cast<unsigned char>(c));
      else
        uri += c;
    }
    return fmt::format("db={}?immutable=1 timeout=5 readonly=1", uri);
  }
  // The busy time-out is set per statement (SociDatabase::Run); the one here only
  // covers the opening.
  const bool blank = path.find(' ') != std::string::npos;
  return fmt::format("db={}{}{} timeout=5", blank ? "\"" : "", path, blank ? "\"" : "");
}

// A failed opening's text with the server and the login it was for, so a refused login
// says where and as whom; never the password. A SQLite failure names its file already.
std::string OpeningFailureText(std::string text, const ConnectionSettings& settings) {
  if (settings.backend() == Backend::kSqlite) return text;
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return fmt::format("{} (server {}; gebruiker {})", text, settings.server, settings.user);
}

// Closes a session; the ODBC backend's disconnect may throw, and nothing may escape.
void CloseQuietly(soci::session& sql) noexcept {
  // An ODBC driver refuses to disconnect with a transaction open (25000), and the
  // session's destructor would try again and throw: end the transaction first.
  if (sql.get_backend() != nullptr && sql.get_backend_name() == "odbc") {
    try {
      sql.rollback();
    } catch (...) {
    }
  }
  try {
    sql.close();
  } catch (...) {
  }
}

// The values bound to one statement. SOCI keeps references to them until the statement
// is done, so they live here, in a container that never moves its elements.
class Bindings {
 public:
  Bindings(const Params& params, Dialect dialect) : params_(params), dialect_(dialect) {}

  // Binds every value to its ":name" placeholder of st. The bindings must outlive st.
  void AttachTo(soci::statement& st) {
    const Dialect dialect = dialect_;
    for (const Param& param : params_) {
      Slot& slot = slots_.emplace_back();
      std::visit(
          [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Null>) {
              slot.indicator = soci::i_null;
              st.exchange(soci::use(slot.text, slot.indicator, param.name));
            } else if constexpr (std::is_same_v<T, long long>) {
              slot.integer = v;
              st.exchange(soci::use(slot.integer, slot.indicator, param.name));
            } else if constexpr (std::is_same_v<T, double>) {
              slot.decimal = v;
              st.exchange(soci::use(slot.decimal, slot.indicator, param.name));
            } else if constexpr (std::is_same_v<T, std::string>) {
              slot.text = v;
              st.exchange(soci::use(slot.text, slot.indicator, param.name));
            } else if constexpr (std::is_same_v<T, core::Decimal>) {
              // Exact: the digits as text, which the statement casts (see BuildInsert).
              slot.text = v.ToString();
              st.exchange(soci::use(slot.text, slot.indicator, param.name));
            } else if (dialect == Dialect::kSqlite) {
              // SQLite keeps date-times as text, and reads back only this form.
              slot.text = v.ToSql();
              st.exchange(soci::use(slot.text, slot.indicator, param.name));
            } else {
              // A typed timestamp: SQL Server reads a text date by its language setting.
              slot.date.tm_year = v.year - 1900;
              slot.date.tm_mon = v.month - 1;
              slot.date.tm_mday = v.day;
              slot.date.tm_hour = v.hour;
              slot.date.tm_min = v.minute;
              slot.date.tm_sec = v.second;
              st.exchange(soci::use(slot.date, slot.indicator, param.name));
            }
          },
          param.value);
    }
  }

 private:
  struct Slot {
    long long integer = 0;
    double decimal = 0;
    std::string text;
    std::tm date{};
    soci::indicator indicator = soci::i_ok;
  };
  const Params& params_;
  Dialect dialect_;
  std::deque<Slot> slots_;
};

Value ColumnValue(const soci::row& row, std::size_t i) {
  if (row.get_indicator(i) == soci::i_null) return Null{};
  switch (row.get_properties(i).get_data_type()) {
    case soci::dt_string:
    case soci::dt_xml:
      return row.get<std::string>(i);
    case soci::dt_double:
      return row.get<double>(i);
    case soci::dt_integer:
      return static_cast<long long>(row.get<int>(i));
    case soci::dt_long_long:
      return row.get<long long>(i);
    case soci::dt_unsigned_long_long: {
      const unsigned long long v = row.get<unsigned long long>(i);
      constexpr auto kMax = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
      return static_cast<long long>(v > kMax ? kMax : v);
    }
    case soci::dt_date: {
      const std::tm tm = row.get<std::tm>(i);
      return core::DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                            tm.tm_hour,        tm.tm_min,     tm.tm_sec};
    }
    default:
      return Null{};
  }
}

Row ConvertRow(const soci::row& row) {
  std::vector<std::string> names;
  std::vector<Value> values;
  names.reserve(row.size());
  values.reserve(row.size());
  for (std::size_t i = 0; i < row.size(); ++i) {
    names.push_back(row.get_properties(i).get_name());
    values.push_back(ColumnValue(row, i));
  }
  return Row(std::move(names), std::move(values));
}

// Reads the rows of an executed ODBC statement with SQLGetData. SOCI's own row buffers
// are sized by the column's width in characters, which cuts UTF-8 text short without a
// word, and allocate a huge buffer per long-text column; reading piece by piece avoids
// both.
class OdbcRowReader {
 public:
  explicit OdbcRowReader(SQLHSTMT hstmt) : hstmt_(hstmt) {
    SQLSMALLINT count = 0;
    Check(SQLNumResultCols(hstmt_, &count), "describing the result");
    for (SQLSMALLINT i = 1; i <= count; ++i) {
      SQLCHAR name[512];
      SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      Check(SQLDescribeCol(hstmt_, i, name, sizeof name, &name_length, &type, &size, &digits,
                           &nullable),
            "describing a column");
      const auto length = std::min<std::size_t>(name_length, sizeof name - 1);
      names_.emplace_back(reinterpret_cast<const char*>(name), length);
      // The SQLite driver describes a column declared decimal as text; read it as the
      // decimal it was declared, as SQL Server's decimals are.
      if (type == SQL_CHAR || type == SQL_VARCHAR) {
        SQLCHAR type_name[128] = {};
        SQLSMALLINT type_name_length = 0;
        if (SQL_SUCCEEDED(SQLColAttribute(hstmt_, i, SQL_DESC_TYPE_NAME, type_name,
                                          sizeof type_name, &type_name_length, nullptr))) {
          const std::string_view declared(reinterpret_cast<const char*>(type_name));
          if (declared.starts_with("decimal") || declared.starts_with("DECIMAL") ||
              declared.starts_with("numeric") || declared.starts_with("NUMERIC"))
            type = SQL_DECIMAL;
        }
      }
      types_.push_back(type);
    }
  }

  std::vector<Row> ReadAll() {
    std::vector<Row> rows;
    if (names_.empty()) return rows;
    for (;;) {
      const SQLRETURN rc = SQLFetch(hstmt_);
      if (rc == SQL_NO_DATA) break;
      Check(rc, "fetching a row");
      std::vector<Value> values;
      values.reserve(names_.size());
      for (std::size_t i = 0; i < names_.size(); ++i)
        values.push_back(ReadColumn(static_cast<SQLUSMALLINT>(i + 1), types_[i]));
      rows.emplace_back(names_, std::move(values));
    }
    return rows;
  }

 private:
  void Check(SQLRETURN rc, const char* what) {
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO)
      throw soci::odbc_soci_error(SQL_HANDLE_STMT, hstmt_, what);
  }

  Value ReadColumn(SQLUSMALLINT column, SQLSMALLINT type) {
    SQLLEN indicator = 0;
    switch (type) {
      case SQL_BIT:
      case SQL_TINYINT:
      case SQL_SMALLINT:
      case SQL_INTEGER:
      case SQL_BIGINT: {
        SQLBIGINT v = 0;
        Check(SQLGetData(hstmt_, column, SQL_C_SBIGINT, &v, sizeof v, &indicator), "reading");
        if (indicator == SQL_NULL_DATA) return Null{};
        return static_cast<long long>(v);
      }
      case SQL_DECIMAL:
      case SQL_NUMERIC:
      case SQL_REAL:
      case SQL_FLOAT:
      case SQL_DOUBLE: {
        double v = 0;
        Check(SQLGetData(hstmt_, column, SQL_C_DOUBLE, &v, sizeof v, &indicator), "reading");
        if (indicator == SQL_NULL_DATA) return Null{};
        return v;
      }
      case SQL_DATE:
      case SQL_TYPE_DATE:
      case SQL_TIMESTAMP:
      case SQL_TYPE_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT v{};
        Check(SQLGetData(hstmt_, column, SQL_C_TYPE_TIMESTAMP, &v, sizeof v, &indicator),
              "reading");
        if (indicator == SQL_NULL_DATA) return Null{};
        return core::DateTime{v.year, v.month, v.day, v.hour, v.minute, v.second,
                              static_cast<int>(v.fraction / 1000000)};
      }
      default:
        return ReadText(column);
    }
  }

  Value ReadText(SQLUSMALLINT column) {
    std::string text;
    char buffer[4096];
    for (;;) {
      SQLLEN indicator = 0;
      const SQLRETURN rc =
          SQLGetData(hstmt_, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
      if (rc == SQL_NO_DATA) break;
      Check(rc, "reading text");
      if (indicator == SQL_NULL_DATA) return Null{};
      // A piece that did not fit fills the buffer but for its terminating zero.
      const bool partial = rc == SQL_SUCCESS_WITH_INFO &&
                           (indicator == SQL_NO_TOTAL ||
                            indicator >= static_cast<SQLLEN>(sizeof buffer));
      const std::size_t got =
          partial ? sizeof buffer - 1 : static_cast<std::size_t>(std::max<SQLLEN>(indicator, 0));
      text.append(buffer, std::min(got, sizeof buffer - 1));
      if (!partial) break;
    }
    return text;
  }

  SQLHSTMT hstmt_;
  std::vector<std::string> names_;
  std::vector<SQLSMALLINT> types_;
};

}  // namespace

bool IsTimeoutState(std::string_view sqlstate) {
  return sqlstate == "HYT00" || sqlstate == "HYT01" || sqlstate == "57014";
}

FailureKind ClassifyFailure(const FailureInfo& failure) {
  if (failure.sqlstate.size() >= 2 && failure.sqlstate.compare(0, 2, "08") == 0) return FailureKind::kConnection;
  if (!failure.session_connected) return FailureKind::kConnection;
  if (failure.timed_out || failure.busy || IsTimeoutState(failure.sqlstate)) return FailureKind::kTimeout;
  return FailureKind::kStatement;
}

bool IsTimedOutOpening(std::string_view sqlstate, SteadyClock::duration took,
                       std::chrono::seconds login_timeout) {
  if (IsTimeoutState(sqlstate)) return true;
  const auto almost = std::max<SteadyClock::duration>(login_timeout - std::chrono::seconds(1),
                                                      login_timeout / 2);
  return took >= almost;
}

std::string HidePassword(std::string text, std::string_view password) {
  constexpr std::string_view kMask = "****";
  if (password.size() >= 3) {
    for (auto at = text.find(password); at != std::string::npos;
         at = text.find(password, at + kMask.size()))
      text.replace(at, password.size(), kMask);
  }
  // A "PWD=" pair, braced or not, up to where its value ends.
  const std::string lower = core::ToLower(text);
  std::string out;
  std::size_t from = 0;
  for (auto at = lower.find("pwd=", from); at != std::string::npos; at = lower.find("pwd=", from)) {
    const std::size_t value = at + 4;
    std::size_t end;
    if (value < text.size() && text[value] == '{') {
      end = value + 1;
      while (end < text.size()) {
        if (text[end] == '}') {
          if (end + 1 < text.size() && text[end + 1] == '}') {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
    } else {
      end = text.find_first_of(";\n\"'", value);
      if (end == std::string::npos) end = text.size();
    }
    out.append(text, from, value - from);
    out += kMask;
    from = end;
  }
  out.append(text, from, std::string::npos);
  return out;
}

Dialect DialectOfDbmsName(std::string_view dbms_name, Dialect fallback) {
  const std::string name = core::ToLower(dbms_name);
  if (name.find("postgres") != std::string::npos) return Dialect::kPostgreSql;
  if (name.find("sqlite") != std::string::npos) return Dialect::kSqlite;
  if (name.find("sql server") != std::string::npos) return Dialect::kSqlServer;
  return fallback;
}

SociDatabase::SociDatabase(ConnectionSettings settings, core::EventLog& log)
    : settings_(std::move(settings)), log_(log), clock_(system_clock_) {}

SociDatabase::SociDatabase(ConnectionSettings settings, core::EventLog& log,
                           const core::Clock& clock)
    : settings_(std::move(settings)), log_(log), clock_(clock) {}

SociDatabase::~SociDatabase() {
  if (session_) CloseQuietly(session_->sql);
}

void SociDatabase::Configure(ConnectionSettings settings) {
  settings_ = std::move(settings);
  paused_until_.reset();
}

bool SociDatabase::IsOpen() const { return session_ != nullptr; }

Dialect SociDatabase::dialect() const {
  if (session_) return session_->dialect;
  return connected_dialect_.value_or(settings_.dialect());
}

std::unique_ptr<SociDatabase::Session> SociDatabase::Connect(std::chrono::seconds login_timeout) {
  auto session = std::make_unique<Session>();
  session->dialect = settings_.dialect();
  if (settings_.backend() == Backend::kSqlite) {
    // SQLite would create a missing file; the service never creates the database.
    const std::filesystem::path file = settings_.SqlitePath();
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error))
      throw DatabaseError(fmt::format(
          "Cannot establish connection to the database. {}: no such file", file.string()));
    session->sql.open(soci::sqlite3, SqliteConnectString(file, settings_.access));
    auto* backend = static_cast<soci::sqlite3_session_backend*>(session->sql.get_backend());
    session->sqlite = backend->conn_;
    sqlite_api::sqlite3_progress_handler(backend->conn_, kSqliteProgressSteps, &SqliteProgress,
                                         &session->sqlite_deadline);
    try {
      // The dispatch programs share the file: readers must not wait for writers.
      if (settings_.access == Access::kReadWrite) session->sql << "PRAGMA journal_mode=WAL";
    } catch (...) {
      CloseQuietly(session->sql);
      throw;
    }
    return session;
  }
  session->odbc = true;
  const OdbcDriverKind driver = settings_.DriverKind();
  session->query_timeout_s = OdbcQueryTimeout(driver, settings_.timeouts.statement);
  session->driver_undoes_statements = driver == OdbcDriverKind::kPsqlOdbc;
  ConnectionSettings settings = settings_;
  settings.timeouts.login = login_timeout;
  soci::connection_parameters parameters(soci::odbc, OdbcConnectionString(settings));
  parameters.set_option(soci::odbc_option_driver_complete, "0");  // never prompt
  session->sql.open(parameters);
  session->dialect = DialectOfDbmsName(DbmsName(session->sql), session->dialect);
  return session;
}

void SociDatabase::Open() {
  if (IsOpen()) return;
  if (!settings_.IsComplete()) {
    log_.Warning(kIncompleteSettingsText);
    throw DatabaseError(std::string(kOperationAbortedText));
  }
  // From here on every failure is the connection's: the server, the network, the login
  // or the file, any of which may be mended while the service runs.
  constexpr FailureKind kLost = FailureKind::kConnection;
  if (paused_until_) {
    if (clock_.Steady() < *paused_until_) throw DatabaseError(pause_text_, kLost);
    paused_until_.reset();
  }
  // The login gets what is left of the work's deadline, in whole seconds.
  std::chrono::seconds login = settings_.timeouts.login;
  if (deadline_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - SteadyClock::now());
    if (left.count() <= 0) throw DatabaseError(std::string(kOutOfTimeText), FailureKind::kTimeout);
    login = std::min(login, std::chrono::seconds(std::max<long long>(1, (left.count() + 999) / 1000)));
  }
  const auto started = SteadyClock::now();
  std::unique_ptr<Session> session;
  try {
    session = Connect(login);
  } catch (const soci::soci_error& e) {
    std::string sqlstate;
    if (const auto* odbc = dynamic_cast<const soci::odbc_soci_error*>(&e))
      sqlstate = reinterpret_cast<const char*>(odbc->odbc_error_code());
    const std::string text =
        HidePassword(OpeningFailureText(e.get_error_message(), settings_), settings_.password);
    if (settings_.backend() == Backend::kOdbc &&
        login == settings_.timeouts.login &&
        IsTimedOutOpening(sqlstate, SteadyClock::now() - started, settings_.timeouts.login)) {
      paused_until_ = clock_.Steady() + settings_.timeouts.reopen_pause;
      pause_text_ = text;
    }
    throw DatabaseError(text, kLost);
  } catch (const std::exception& e) {
    throw DatabaseError(HidePassword(OpeningFailureText(e.what(), settings_), settings_.password),
                        kLost);
  }
  connected_dialect_ = session->dialect;
  session_ = std::move(session);
  log_.Info(kConnectedText);
}

void SociDatabase::Close() {
  if (!session_) return;
  CloseQuietly(session_->sql);
  session_.reset();
  // The transaction of a unit under way went with the connection.
  if (work_ == WorkState::kActive)
    Doom(DatabaseError("Connection closed during a transaction", FailureKind::kConnection));
  log_.Info(kDisconnectedText);
}

std::chrono::milliseconds SociDatabase::StatementBudget() const {
  std::chrono::milliseconds budget = settings_.timeouts.statement;
  if (deadline_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - SteadyClock::now());
    if (left.count() <= 0) throw DatabaseError(std::string(kOutOfTimeText), FailureKind::kTimeout);
    budget = std::min(budget, left);
  }
  return budget;
}

void SociDatabase::RawExecute(Session& session, const std::string& sql, std::chrono::milliseconds budget) {
  soci::statement st(session.sql);
  st.alloc();
  if (session.odbc) SetQueryTimeout(st, TimeoutSeconds(budget, session.query_timeout_s));
  st.prepare(sql);
  st.define_and_bind();
  st.execute(true);
}

void SociDatabase::Doom(const DatabaseError& failure) {
  work_ = WorkState::kDoomed;
  work_failure_ = failure;
}

DatabaseError SociDatabase::Failed(Session& session, const soci::soci_error& e) {
  FailureInfo failure;
  failure.timed_out = session.sqlite_deadline.interrupted;
  if (const auto* sqlite = dynamic_cast<const soci::sqlite3_soci_error*>(&e)) {
    const int rc = sqlite->result() & 0xff;
    failure.busy = rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
    failure.timed_out = failure.timed_out || rc == SQLITE_INTERRUPT;
  }
  if (session.odbc) {
    if (const auto* odbc = dynamic_cast<const soci::odbc_soci_error*>(&e))
      failure.sqlstate = reinterpret_cast<const char*>(odbc->odbc_error_code());
    try {
      failure.session_connected = session.sql.is_connected();
    } catch (...) {
      failure.session_connected = false;
    }
  }
  const FailureKind kind = ClassifyFailure(failure);
  DatabaseError error(HidePassword(e.get_error_message(), settings_.password), kind);
  // FreeTDS's cancel of a timed-out statement leaves the connection in doubt.
  const bool close = kind == FailureKind::kConnection ||
                     (kind == FailureKind::kTimeout && session.odbc &&
                      settings_.DriverKind() == OdbcDriverKind::kFreeTds);
  if (work_ == WorkState::kBegun || work_ == WorkState::kActive) {
    if (kind != FailureKind::kStatement || work_ == WorkState::kBegun) {
      Doom(error);
    } else if (!session.driver_undoes_statements) {
      // The statement's own failure: only it is undone, the unit goes on.
      try {
        RawExecute(session, session.dialect == Dialect::kSqlServer ? "ROLLBACK TRANSACTION dz" : "ROLLBACK TO SAVEPOINT dz",
                   std::chrono::seconds(5));
      } catch (const soci::soci_error& undo) {
        Doom(DatabaseError(HidePassword(e.get_error_message(), settings_.password) + " (" +
                               HidePassword(undo.get_error_message(), settings_.password) + ")",
                           FailureKind::kStatement));
      }
    }
  }
  if (close) Close();
  return error;
}

void SociDatabase::BeginWork() {
  if (work_ != WorkState::kNone) RollbackWork();
  work_ = WorkState::kBegun;
  work_failure_.reset();
}

void SociDatabase::EndTransaction(bool commit) {
  if (!session_) return;
  Session& session = *session_;
  if (session.sqlite != nullptr && sqlite_api::sqlite3_get_autocommit(session.sqlite) != 0) return;
  if (!session.odbc) {
    RawExecute(session, commit ? "COMMIT" : "ROLLBACK", std::chrono::seconds(5));
  } else if (commit) {
    session.sql.commit();
  } else {
    session.sql.rollback();
  }
}

void SociDatabase::CommitWork() {
  const WorkState state = std::exchange(work_, WorkState::kNone);
  std::optional<DatabaseError> doomed = std::exchange(work_failure_, std::nullopt);
  if (state == WorkState::kDoomed) {
    work_ = WorkState::kDoomed;  // RollbackWork undoes what is left
    RollbackWork();
    throw *doomed;
  }
  if (state != WorkState::kActive || !session_) return;
  // A connection the driver knows to be gone has lost the transaction, whatever its
  // commit would say; one found gone after the commit leaves the outcome unknown. Either
  // way the work is not taken as written.
  const auto lost = [&](const char* text) {
    Close();
    throw DatabaseError(text, FailureKind::kConnection);
  };
  if (session_->odbc && ConnectionDead(session_->sql)) lost("Connection lost before the commit");
  try {
    EndTransaction(true);
  } catch (const soci::soci_error& e) {
    const DatabaseError error = Failed(*session_, e);
    work_ = WorkState::kActive;
    RollbackWork();
    throw error;
  }
  if (session_ && session_->odbc && ConnectionDead(session_->sql))
    lost("Connection lost at the commit: whether it was written is not known");
}

void SociDatabase::RollbackWork() noexcept {
  const WorkState state = std::exchange(work_, WorkState::kNone);
  work_failure_.reset();
  if (state == WorkState::kNone || state == WorkState::kBegun || !session_) return;
  try {
    EndTransaction(false);
  } catch (...) {
    // A connection that cannot even roll back is not trusted with more.
    try {
      Close();
    } catch (...) {
    }
    work_ = WorkState::kNone;
    work_failure_.reset();
  }
}

template <typename Work>
auto SociDatabase::Run(Work&& work) {
  if (work_ == WorkState::kDoomed) throw *work_failure_;
  try {
    Open();
  } catch (const DatabaseError& e) {
    if (work_ == WorkState::kBegun && e.kind() != FailureKind::kStatement) Doom(e);
    throw;
  }
  Session& session = *session_;
  std::chrono::milliseconds budget{0};
  try {
    budget = StatementBudget();
  } catch (const DatabaseError& e) {
    if (work_ != WorkState::kNone) Doom(e);
    throw;
  }
  // Statements run only in here, so the deadline is set afresh before each.
  session.sqlite_deadline = {SteadyClock::now() + budget, false};
  if (session.sqlite != nullptr)
    sqlite_api::sqlite3_busy_timeout(
        session.sqlite, static_cast<int>(std::min<long long>(budget.count(), std::chrono::milliseconds(kSqliteBusyTimeout).count())));
  const SQLULEN seconds = TimeoutSeconds(budget, session.query_timeout_s);
  try {
    if (work_ == WorkState::kBegun) {
      if (session.odbc)
        session.sql.begin();
      else
        RawExecute(session, "BEGIN IMMEDIATE", budget);
      work_ = WorkState::kActive;
    }
    if (work_ == WorkState::kActive && !session.driver_undoes_statements)
      RawExecute(session, session.dialect == Dialect::kSqlServer ? "SAVE TRANSACTION dz" : "SAVEPOINT dz", budget);
    return work(session, seconds);
  } catch (const soci::soci_error& e) {
    throw Failed(session, e);
  } catch (const DatabaseError& e) {
    throw DatabaseError(HidePassword(e.what(), settings_.password), e.kind());
  } catch (const std::exception& e) {
    throw DatabaseError(HidePassword(e.what(), settings_.password));
  }
}

std::vector<Row> SociDatabase::Query(std::string_view sql, const Params& params) {
  return Run([&](Session& session, SQLULEN timeout_s) {
    Bindings bindings(params, session.dialect);
    std::vector<Row> rows;
    if (session.odbc) {
      soci::statement st(session.sql);
      bindings.AttachTo(st);
      st.alloc();
      SetQueryTimeout(st, timeout_s);
      st.prepare(std::string(sql));
      st.define_and_bind();
      st.execute(false);  // binds and executes; the rows are read below
      // An ODBC session makes ODBC statements (the backend's type info is not exported).
      auto* backend = static_cast<soci::odbc_statement_backend*>(st.get_backend());
      rows = OdbcRowReader(backend->hstmt_).ReadAll();
      return rows;
    }
    soci::row row;
    soci::statement st(session.sql);
    st.exchange(soci::into(row));
    bindings.AttachTo(st);
    st.alloc();
    st.prepare(std::string(sql));
    st.define_and_bind();
    for (bool have = st.execute(true); have; have = st.fetch()) rows.push_back(ConvertRow(row));
    return rows;
  });
}

void SociDatabase::Execute(std::string_view sql, const Params& params) {
  Run([&](Session& session, SQLULEN timeout_s) {
    Bindings bindings(params, session.dialect);
    soci::statement st(session.sql);
    bindings.AttachTo(st);
    st.alloc();
    if (session.odbc) SetQueryTimeout(st, timeout_s);
    st.prepare(std::string(sql));
    st.define_and_bind();
    st.execute(true);
  });
}

}  // namespace dorvek::db
