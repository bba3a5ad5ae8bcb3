#pragma once
// Supervision of the gateway connection: the first connection after start, the check
// every 30 seconds that reopens a closed connection, and the reports of each
// connection and closing to the event log and the dispatchers.
//
//   closed ──attempt──► resolving a name ──► connecting ──ok──► connected
//     ▲                   │ fails: warning      │ fails: connected     │ gateway, network,
//     │                   │ only                │ event, then closed   │ failed or late write,
//     │                   │                     │ event                │ stop: closed event
//     └───────────────────┴─────────────────────┴──────────────────────┘
//
// A tick that finds an attempt still running (resolving or connecting) only logs.

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

  core::EventLog& log_;
  db::Database& db_;
  gateway::GatewayLink& link_;
  const Settings& settings_;
  std::string computer_name_;
  core::Metrics* metrics_;
};

}  // namespace dorvek::service
