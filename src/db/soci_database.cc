#include "db/soci_database.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <filesystem>
#include <limits>
#include <utility>

#include <fmt/format.h>
#include <soci/odbc/soci-odbc.h>
#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>

#include "db/odbc_connection_string.h"

namespace dorvek::db {

struct SociDatabase::Session {
  soci::session sql;
  Dialect dialect = Dialect::kSqlServer;
  bool odbc = false;
};

namespace {

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
  const bool blank = path.find(' ') != std::string::npos;
  return fmt::format("db={}{}{} timeout=5", blank ? "\"" : "", path, blank ? "\"" : "");
}

// Closes a session; the ODBC backend's disconnect may throw, and nothing may escape.
void CloseQuietly(soci::session& sql) noexcept {
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

bool IsBrokenConnection(const FailureInfo& failure) {
  if (failure.sqlstate.size() >= 2 && failure.sqlstate.compare(0, 2, "08") == 0) return true;
  return !failure.session_connected;
}

SociDatabase::SociDatabase(ConnectionSettings settings, core::EventLog& log)
    : settings_(std::move(settings)), log_(log) {}

SociDatabase::~SociDatabase() {
  if (session_) CloseQuietly(session_->sql);
}

bool SociDatabase::IsOpen() const { return session_ != nullptr; }

Dialect SociDatabase::dialect() const { return settings_.dialect(); }

void SociDatabase::Open() {
  if (IsOpen()) return;
  if (!settings_.IsComplete()) {
    log_.Warning(kIncompleteSettingsText);
    throw DatabaseError(std::string(kOperationAbortedText));
  }
  auto session = std::make_unique<Session>();
  session->dialect = settings_.dialect();
  try {
    if (settings_.backend() == Backend::kSqlite) {
      // SQLite would create a missing file; the service never creates the database.
      const std::filesystem::path file = settings_.SqlitePath();
      std::error_code error;
      if (!std::filesystem::is_regular_file(file, error))
        throw DatabaseError(fmt::format(
            "Cannot establish connection to the database. {}: no such file", file.string()));
      session->sql.open(soci::sqlite3, SqliteConnectString(file, settings_.access));
      // The dispatch programs share the file: readers must not wait for writers.
      if (settings_.access == Access::kReadWrite) session->sql << "PRAGMA journal_mode=WAL";
    } else {
      session->odbc = true;
      soci::connection_parameters parameters(soci::odbc, OdbcConnectionString(settings_));
      parameters.set_option(soci::odbc_option_driver_complete, "0");  // never prompt
      session->sql.open(parameters);
    }
  } catch (const soci::soci_error& e) {
    CloseQuietly(session->sql);
    throw DatabaseError(e.get_error_message());
  }
  session_ = std::move(session);
  log_.Info(kConnectedText);
}

void SociDatabase::Close() {
  if (!session_) return;
  CloseQuietly(session_->sql);
  session_.reset();
  log_.Info(kDisconnectedText);
}

template <typename Work>
auto SociDatabase::Run(Work&& work) {
  Open();
  try {
    return work(*session_);
  } catch (const soci::soci_error& e) {
    FailureInfo failure;
    if (session_->odbc) {
      if (const auto* odbc = dynamic_cast<const soci::odbc_soci_error*>(&e))
        failure.sqlstate = reinterpret_cast<const char*>(odbc->odbc_error_code());
      try {
        failure.session_connected = session_->sql.is_connected();
      } catch (...) {
        failure.session_connected = false;
      }
    }
    const std::string message = e.get_error_message();
    if (IsBrokenConnection(failure)) Close();
    throw DatabaseError(message);
  } catch (const DatabaseError&) {
    throw;
  } catch (const std::exception& e) {
    throw DatabaseError(e.what());
  }
}

std::vector<Row> SociDatabase::Query(std::string_view sql, const Params& params) {
  return Run([&](Session& session) {
    Bindings bindings(params, session.dialect);
    std::vector<Row> rows;
    if (session.odbc) {
      soci::statement st(session.sql);
      bindings.AttachTo(st);
      st.alloc();
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
  Run([&](Session& session) {
    Bindings bindings(params, session.dialect);
    soci::statement st(session.sql);
    bindings.AttachTo(st);
    st.alloc();
    st.prepare(std::string(sql));
    st.define_and_bind();
    st.execute(true);
  });
}

}  // namespace dorvek::db
