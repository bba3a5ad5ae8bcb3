#pragma once
// The dispatch database through SOCI: SQL Server (or another driver) over ODBC, or a
// SQLite file through SOCI's own SQLite backend.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"
#include "db/connection_settings.h"
#include "db/database.h"

namespace dorvek::db {

inline constexpr std::string_view kIncompleteSettingsText =
    "Taxis Dorvek ZOL database gegevens onvolledig";
inline constexpr std::string_view kOperationAbortedText = "Operation aborted";
inline constexpr std::string_view kConnectedText = "Taxis Dorvek ZOL database gekoppeld";
inline constexpr std::string_view kDisconnectedText =
    "Taxis Dorvek ZOL database verbinding verbroken";

// What a failure of the provider says about the connection it happened on.
struct FailureInfo {
  std::string sqlstate;              // ODBC SQLSTATE, empty for other backends
  bool session_connected = true;     // what the session said when asked after the failure
};

// True when the failure shows the connection itself is gone (SQLSTATE class 08, or the
// session no longer connected), so it must be closed and opened afresh on next use.
// A statement error, a busy or damaged SQLite file are not such failures.
bool IsBrokenConnection(const FailureInfo& failure);

// One connection, opened on first use and kept open. Not thread-safe: every use must
// come from one thread (the service's event loop), or be serialised by the caller.
class SociDatabase : public Database {
 public:
  SociDatabase(ConnectionSettings settings, core::EventLog& log);
  // Closes an open connection without logging.
  ~SociDatabase() override;

  SociDatabase(const SociDatabase&) = delete;
  SociDatabase& operator=(const SociDatabase&) = delete;

  bool IsOpen() const override;
  // Before every opening the settings are checked: incomplete settings log the warning
  // kIncompleteSettingsText and throw DatabaseError(kOperationAbortedText). A provider
  // failure throws DatabaseError with the provider's text. Success logs kConnectedText.
  void Open() override;
  // Logs kDisconnectedText when it closed an open connection.
  void Close() override;
  Dialect dialect() const override;

  // Both open the connection when it is closed. A failure throws DatabaseError with the
  // provider's text; a failure that shows the connection broken closes it first.
  std::vector<Row> Query(std::string_view sql, const Params& params = {}) override;
  void Execute(std::string_view sql, const Params& params = {}) override;

  const ConnectionSettings& settings() const { return settings_; }
  // Settings for the next opening; a connection already open stays as it is.
  void Configure(ConnectionSettings settings) { settings_ = std::move(settings); }

 private:
  struct Session;

  template <typename Work>
  auto Run(Work&& work);

  ConnectionSettings settings_;
  core::EventLog& log_;
  std::unique_ptr<Session> session_;
};

}  // namespace dorvek::db
