#include "db/soci_database.h"

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
std::string SqliteConnectString(const std::filesystem::path& file) {
  const std::string path = file.string();
  if (path.find('"') != std::string::npos)
    throw DatabaseError(fmt::format("Invalid database file name: {}", path));
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
      session->sql.open(soci::sqlite3, SqliteConnectString(file));
      // The dispatch programs share the file: readers must not wait for writers.
      session->sql << "PRAGMA journal_mode=WAL";
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
    soci::row row;
    soci::statement st(session.sql);
    st.exchange(soci::into(row));
    bindings.AttachTo(st);
    st.alloc();
    st.prepare(std::string(sql));
    st.define_and_bind();
    std::vector<Row> rows;
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
