#pragma once
// The dispatch database through SOCI: SQL Server (or another driver) over ODBC, or a
// SQLite file through SOCI's own SQLite backend.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/event_log.h"
#include "db/connection_settings.h"
#include "db/database.h"

namespace soci {
class soci_error;
}

namespace dorvek::db {

inline constexpr std::string_view kIncompleteSettingsText =
    "Taxis Dorvek ZOL database gegevens onvolledig";
inline constexpr std::string_view kOperationAbortedText = "Operation aborted";
inline constexpr std::string_view kConnectedText = "Taxis Dorvek ZOL database gekoppeld";
inline constexpr std::string_view kDisconnectedText =
    "Taxis Dorvek ZOL database verbinding verbroken";
inline constexpr std::string_view kOutOfTimeText = "Database work out of time: its deadline has passed";


// What a failure of the provider says about the connection it happened on.
struct FailureInfo {
  std::string sqlstate;              // ODBC SQLSTATE, empty for other backends
  bool session_connected = true;     // what the session said when asked after the failure
  bool timed_out = false;            // the statement ran past its time-out
  bool busy = false;                 // SQLite: the file was busy or locked by another program
};

// True for the SQLSTATEs of a time-out: HYT00 and HYT01 (the driver's own clock) and
// 57014 (PostgreSQL cancelled the statement at its statement_timeout).
bool IsTimeoutState(std::string_view sqlstate);

// What the failure says: kConnection when the connection itself is gone (SQLSTATE class
// 08, or the session no longer connected), which is then closed and opened afresh on
// next use; kTimeout when the statement ran past its time-out or waited too long for a
// lock; else kStatement, the statement's own failure (a damaged SQLite file included).
FailureKind ClassifyFailure(const FailureInfo& failure);

// True when a failed opening counts as timed out, so further openings pause: its
// SQLSTATE says so (FreeTDS), or it took about the whole login time-out (psqlODBC reports
// a time-out as 08001 like any refusal; libpq's clock counts whole seconds, so it may
// give up up to a second early).
bool IsTimedOutOpening(std::string_view sqlstate, std::chrono::steady_clock::duration took,
                       std::chrono::seconds login_timeout);

// The text with the password replaced by "****" wherever it appears, and the value of
// any "PWD=" pair hidden, so no log line shows it. Drivers' and SOCI's texts may quote
// the connection string. A password of one or two characters is hidden only after
// "PWD=", since replacing it everywhere would garble the text.
std::string HidePassword(std::string text, std::string_view password);

// The dialect of a server by the name it gives for itself (SQL_DBMS_NAME): "PostgreSQL",
// "SQLite", "Microsoft SQL Server". An unknown name keeps the fallback.
Dialect DialectOfDbmsName(std::string_view dbms_name, Dialect fallback);

// One connection, opened on first use and kept open. Not thread-safe: every use must
// come from one thread (the service's event loop), or be serialised by the caller.
//
// No use waits longer than the settings' time-outs allow (DatabaseTimeouts), nor past
// the deadline of the work under way (SetDeadline): the login time-out goes to the
// driver before connecting, the statement time-out onto every statement, each cut to
// what is left of the deadline. Per path:
//   FreeTDS     Timeout=login in the connection string; per statement
//               SQL_ATTR_QUERY_TIMEOUT = half the statement time-out, because on expiry
//               FreeTDS sends a cancel and waits as long again before it drops the
//               connection.
//   psqlODBC    libpq's connect_timeout, keepalives and tcp_user_timeout in pqopt; per
//               statement SQL_ATTR_QUERY_TIMEOUT, which the server enforces (57014).
//   other ODBC  per statement SQL_ATTR_QUERY_TIMEOUT, where the driver honours it.
//   SQLite      a short busy time-out for locks (kSqliteBusyTimeout: a lock the dispatch
//               programs hold is waited for by trying again later, not by holding the
//               event loop), and a progress handler that interrupts a statement past its
//               time-out (natively; the SQLite ODBC driver has only the busy time-out).
// A statement that times out fails with kTimeout and keeps its connection, except on
// FreeTDS, whose cancel leaves the connection in doubt. An opening that times out makes
// every use fail at once with the same text until reopen_pause has passed.
//
// A unit of work is a transaction: BEGIN IMMEDIATE on SQLite (a deferred one that read
// first could not write after another program's commit), the driver's manual commit on
// ODBC; the savepoint before each statement is "SAVEPOINT", or "SAVE TRANSACTION" on SQL
// Server, but none of ours through psqlODBC, whose statement-level rollback (its default)
// sets one itself.
//
//   closed --use--> opening --ok--> open --broken or timed out--> closed
//                      |                                             ^
//                      +--timed out--> paused --reopen_pause over----+
class SociDatabase : public Database {
 public:
  SociDatabase(ConnectionSettings settings, core::EventLog& log);
  // The clock times the pause after a timed-out opening.
  SociDatabase(ConnectionSettings settings, core::EventLog& log, const core::Clock& clock);
  // Closes an open connection without logging.
  ~SociDatabase() override;

  SociDatabase(const SociDatabase&) = delete;
  SociDatabase& operator=(const SociDatabase&) = delete;

  bool IsOpen() const override;
  // Before every opening the settings are checked: incomplete settings log the warning
  // kIncompleteSettingsText and throw DatabaseError(kOperationAbortedText), of kind
  // kStatement (only a restart with complete settings mends that, and the warning comes
  // at every use). A provider failure throws DatabaseError of kind kConnection with the
  // provider's text followed by the server and the login (ODBC), password hidden.
  // During the pause after a timed-out opening it throws that text again without
  // connecting. Success logs kConnectedText.
  void Open() override;
  // Logs kDisconnectedText when it closed an open connection.
  void Close() override;
  // The connected server's dialect, as it names itself; before the first connection,
  // the one the settings suggest.
  Dialect dialect() const override;

  // Both open the connection when it is closed, and throw what Open throws. A failure of
  // the statement throws DatabaseError with the provider's text; one that shows the
  // connection broken (IsBrokenConnection) closes it first and is of kind kConnection.
  std::vector<Row> Query(std::string_view sql, const Params& params = {}) override;
  void Execute(std::string_view sql, const Params& params = {}) override;

  void SetDeadline(std::optional<TimePoint> deadline) override { deadline_ = deadline; }
  std::optional<TimePoint> deadline() const override { return deadline_; }
  void BeginWork() override;
  void CommitWork() override;
  void RollbackWork() noexcept override;
  bool InWork() const override { return work_ != WorkState::kNone; }
  std::optional<DatabaseError> WorkFailure() const override { return work_failure_; }

  const ConnectionSettings& settings() const { return settings_; }
  // Settings for the next opening; a connection already open stays as it is, and a
  // pause after a timed-out opening ends.
  void Configure(ConnectionSettings settings);

 private:
  struct Session;

  enum class WorkState { kNone, kBegun, kActive, kDoomed };

  std::unique_ptr<Session> Connect(std::chrono::seconds login_timeout);
  template <typename Work>
  auto Run(Work&& work);
  // How long the next statement may take: the statement time-out, cut to what is left
  // of the deadline. Throws a time-out when nothing is left.
  std::chrono::milliseconds StatementBudget() const;
  // Runs a statement of this layer's own (BEGIN, SAVEPOINT and the like).
  void RawExecute(Session& session, const std::string& sql, std::chrono::milliseconds budget);
  // Turns a failure of the provider into what the caller gets, after closing a broken
  // connection and undoing or dooming the unit of work.
  DatabaseError Failed(Session& session, const soci::soci_error& e);
  void Doom(const DatabaseError& failure);
  // Ends the transaction on the connection, if one is open; a failure closes it.
  void EndTransaction(bool commit);

  ConnectionSettings settings_;
  core::EventLog& log_;
  core::SystemClock system_clock_;
  const core::Clock& clock_;
  std::unique_ptr<Session> session_;
  std::optional<Dialect> connected_dialect_;  // of the last connection made
  // After a timed-out opening: until when openings fail at once, and with what text.
  std::optional<std::chrono::steady_clock::time_point> paused_until_;
  std::string pause_text_;
  std::optional<TimePoint> deadline_;
  WorkState work_ = WorkState::kNone;
  std::optional<DatabaseError> work_failure_;
};

}  // namespace dorvek::db
