#pragma once
// Supervision of the gateway connection: the first connection after start, the check
// every 30 seconds that reopens a closed connection, and the reports of each
// connection and closing to the event log and the dispatchers.
//
//   closed ──attempt──► resolving a name ──► connecting ──ok──► connected
//     ▲                   │ fails               │ fails                │ gateway, network,
//     │                   │                     │                      │ failed or late write,
//     │                   │                     │                      │ stop: closed event
//     └───────────────────┴─────────────────────┴──────────────────────┘
//
// Only a connection really made is reported as one ("werd verbonden", 4006), and only
// its end as a closing ("verbinding gestopt", 4007). A failed attempt (refused, timed
// out, a name that does not resolve) is an outage: its first failure is one warning
// with the system's reason, and the attempts after it, every 30 s until a connection
// is made, report nothing more. A tick that finds an attempt still running (resolving
// or connecting) only logs the supervision line.

#include <string>
#include <system_error>

#include "core/event_log.h"
#include "core/metrics.h"
#include "db/database.h"
#include "gateway/gateway_link.h"
#include "service/settings.h"

namespace dorvek::service {

class ConnectionSupervisor {
 public:
  // Connections and failed attempts are counted in metrics, if given.
  ConnectionSupervisor(core::EventLog& log, db::Database& db, gateway::GatewayLink& link,
                       const Settings& settings, std::string computer_name, core::Metrics* metrics = nullptr);

  // ControleTimer, once: opens the database and makes the first attempt with the
  // remote the socket still holds.
  void ControleTimer();
  // Socketcontrole, every 30 s: a connection that is not up is reported and, when the
  // socket is closed, attempted again with the configured remote.
  void Socketcontrole();

  void Connected(std::error_code error);
  void Closed(std::error_code error);

 private:
  gateway::GatewayLink::StartFailure StartFailureLog();
  void AttemptFailed();
  // The outage's warning, once until a connection is made.
  void ReportOutage(const std::string& text);
  // A failed attempt's warning: the remote and the system's reason.
  std::string FailureText(std::error_code error) const;

  core::EventLog& log_;
  db::Database& db_;
  gateway::GatewayLink& link_;
  const Settings& settings_;
  std::string computer_name_;
  core::Metrics* metrics_;
  bool connected_ = false;         // a connection was made and has not closed yet
  bool outage_reported_ = false;   // this outage's warning is written
};

}  // namespace dorvek::service
