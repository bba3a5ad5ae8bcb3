#pragma once
// The dispatch database: the one connection every query, command and notification uses.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/row.h"
#include "db/value.h"

namespace dorvek::db {

// What a failure says about the connection it happened on.
enum class FailureKind {
  // The statement failed (or the settings are incomplete); the connection, if open, is
  // as good as before.
  kStatement,
  // The connection is broken, or could not be opened: the server is gone, the network
  // is down, the login was refused or timed out. The next use opens a fresh one, so the
  // same work may well succeed later.
  kConnection,
};

// A database failure; what() is the provider's text, or "Operation aborted" when the
// settings are incomplete. Handlers log it as it stands.
class DatabaseError : public std::runtime_error {
 public:
  explicit DatabaseError(const std::string& text, FailureKind kind = FailureKind::kStatement)
      : std::runtime_error(text), kind_(kind) {}

  FailureKind kind() const { return kind_; }

 private:
  FailureKind kind_;
};

// True for a DatabaseError of kind kConnection: work that failed this way did not reach
// the server, or lost it.
bool IsConnectionFailure(const std::exception& failure);

// A value bound to the statement's ":name" placeholder.
struct Param {
  std::string name;
  Value value;
};
using Params = std::vector<Param>;

// One column of an appended or edited row.
struct ColumnValue {
  std::string column;
  Value value;
};
using Columns = std::vector<ColumnValue>;

// The SQL the connected database speaks where dialects differ (how the route-status
// procedure is called, how date-times are bound).
enum class Dialect { kSqlServer, kSqlite, kPostgreSql };

// Every operation opens the connection first when it is closed. No transactions: each
// statement commits on its own.
class Database {
 public:
  virtual ~Database() = default;

  virtual bool IsOpen() const = 0;
  // Checks the settings, then connects. Throws DatabaseError on failure.
  virtual void Open() = 0;
  // Closes an open connection; closing a closed one does nothing.
  virtual void Close() = 0;
  virtual Dialect dialect() const = 0;

  virtual std::vector<Row> Query(std::string_view sql, const Params& params = {}) = 0;
  virtual void Execute(std::string_view sql, const Params& params = {}) = 0;

  // INSERT of exactly these columns; text is cut to the column's width first.
  void Insert(std::string_view table, const Columns& columns);
  // UPDATE of exactly these columns of the row whose identity column equals key.
  void Update(std::string_view table, std::string_view key_column, long long key,
              const Columns& columns);
};

}  // namespace dorvek::db
