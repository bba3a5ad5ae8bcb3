#pragma once
// The dispatch database: the one connection every query, command and notification uses.

#include <chrono>
#include <optional>
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
  // The statement ran out of time, or waited too long for a lock another program holds
  // (a busy or locked SQLite file), or the work it belongs to had no time left: not the
  // work's fault either, and the same work may well succeed later.
  kTimeout,
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
// True for a DatabaseError of kind kConnection or kTimeout: a failure that is not the
// fault of the work it struck (an outage, a lock, a time-out), so the work is kept and
// tried again rather than given up.
bool IsTransientFailure(const std::exception& failure);

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

// Every operation opens the connection first when it is closed. Outside a unit of work
// each statement commits on its own.
//
// A unit of work (BeginWork to CommitWork or RollbackWork) is one transaction, begun at
// its first statement, so a unit that touches nothing costs nothing. Inside it every
// statement is its own savepoint: a statement that fails for its own reasons
// (kStatement) is undone alone and the statements before it stay, exactly as if each
// had committed on its own; the caller goes on as it would without a transaction. A
// failure that is not the work's fault (kConnection, kTimeout) dooms the unit: nothing
// of it is written, every later statement fails at once with that same failure, and only
// RollbackWork ends it. So a caller can give a piece of work one transaction without
// changing how it treats its failures, and try it again whole after an outage.
//
//   none ──BeginWork──► begun ──first statement: BEGIN──► active ──CommitWork──► none
//                         │                                  │ a transient failure, or
//                         └──────────── RollbackWork ◄── doomed ◄─ a savepoint that
//                                                                   cannot be undone
class Database {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Database() = default;

  virtual bool IsOpen() const = 0;
  // Checks the settings, then connects. Throws DatabaseError on failure.
  virtual void Open() = 0;
  // Closes an open connection; closing a closed one does nothing.
  virtual void Close() = 0;
  virtual Dialect dialect() const = 0;

  virtual std::vector<Row> Query(std::string_view sql, const Params& params = {}) = 0;
  virtual void Execute(std::string_view sql, const Params& params = {}) = 0;

  // The time by which the piece of work under way must be done: no opening and no
  // statement may run past it, and one that would start after it fails at once, as a
  // time-out. Nothing: each use is bounded only by the connection's own time-outs.
  virtual void SetDeadline(std::optional<TimePoint> deadline) = 0;
  virtual std::optional<TimePoint> deadline() const = 0;

  virtual void BeginWork() = 0;
  // Commits what the unit wrote. Throws DatabaseError when that fails (of kind
  // kConnection when the answer was lost, so the outcome is unknown); the unit has then
  // ended as if rolled back. A doomed unit throws the failure that doomed it.
  virtual void CommitWork() = 0;
  // Ends the unit, undoing what it wrote. Never throws.
  virtual void RollbackWork() noexcept = 0;
  virtual bool InWork() const = 0;
  // The failure that doomed the unit under way; nothing while it is not doomed. A doomed
  // unit of kind kStatement could not undo a failed statement alone: its statements
  // before it are lost with the transaction, and the work must run again without one.
  virtual std::optional<DatabaseError> WorkFailure() const = 0;

  // INSERT of exactly these columns; text is cut to the column's width first.
  void Insert(std::string_view table, const Columns& columns);
  // UPDATE of exactly these columns of the row whose identity column equals key.
  void Update(std::string_view table, std::string_view key_column, long long key,
              const Columns& columns);
};

}  // namespace dorvek::db
