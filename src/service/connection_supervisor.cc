#include "service/connection_supervisor.h"

#include <exception>

#include <fmt/format.h>

#include "db/notifications.h"
#include "service/unit_grants.h"

namespace dorvek::service {

ConnectionSupervisor::ConnectionSupervisor(core::EventLog& log, db::Database& db,
                                           gateway::GatewayLink& link, const Settings& settings,
                                           std::string computer_name, core::Metrics* metrics)
    : log_(log),
      db_(db),
      link_(link),
      settings_(settings),
      computer_name_(std::move(computer_name)),
      metrics_(metrics) {}

void ConnectionSupervisor::AttemptFailed() {
  if (metrics_ != nullptr) ++metrics_->gateway.failures;
}

void ConnectionSupervisor::ReportOutage(const std::string& text) {
  if (outage_reported_) return;
  outage_reported_ = true;
  log_.Warning(text);
}

std::string ConnectionSupervisor::FailureText(std::error_code error) const {
  std::string text = fmt::format("Taxis Dorvek ZOL cliënt kon geen verbinding maken met {}:{}: {}",
                                 settings_.binding, settings_.PortText(), error.message());
  // The unit's IP firewall refuses what it does not allow: a datagram or a connect the
  // kernel rejects at once with EPERM, or a connect whose packets it drops, which ends
  // in a time-out. INSTALL allows a literal Binding outside the local networks; one
  // changed since, or a name, is not.
  const auto address = LiteralAddress(settings_.binding);
  if (error == std::errc::operation_not_permitted) {
    text += " (het adres valt buiten IPAddressAllow= van de unit, of een firewall weigert het: "
            "systemctl edit DorvekZOL)";
  } else if (error == std::errc::timed_out && address && !IsLocalAddress(*address)) {
    text += " (een adres buiten de lokale netwerken moet in IPAddressAllow= van de unit staan: "
            "INSTALL opnieuw uitvoeren, of systemctl edit DorvekZOL)";
  }
  return text;
}

void ConnectionSupervisor::ControleTimer() {
  if (!db_.IsOpen()) {
    try {
      db_.Open();
    } catch (const std::exception& e) {
      log_.Warning(e.what());
    }
  }
  if (link_.state() == gateway::SocketState::kClosed) {
    try {
      link_.Connect(StartFailureLog());
    } catch (const std::exception& e) {
      AttemptFailed();
      log_.Warning(e.what());
    }
  }
}

void ConnectionSupervisor::Socketcontrole() {
  const gateway::SocketState state = link_.state();
  if (state == gateway::SocketState::kConnected) return;
  log_.Info("Taxis Dorvek ZOL cliënt controle is mislukt, herstart aangevraagd");
  if (state != gateway::SocketState::kClosed) return;  // an attempt is still running
  try {
    link_.SetRemote(settings_.binding, settings_.PortText());
    link_.Connect(StartFailureLog());
  } catch (const std::exception& e) {
    AttemptFailed();
    log_.Warning(e.what());
  }
}

gateway::GatewayLink::StartFailure ConnectionSupervisor::StartFailureLog() {
  // A host name that does not resolve fails the start of the attempt as a failure of
  // Connect itself does, only later.
  return [this](const std::string& text) {
    try {
      AttemptFailed();
      ReportOutage(text);
    } catch (...) {
    }
  };
}

void ConnectionSupervisor::Connected(std::error_code error) {
  if (error) {
    AttemptFailed();
    ReportOutage(FailureText(error));
    return;
  }
  if (metrics_ != nullptr) ++metrics_->gateway.connections;
  connected_ = true;
  outage_reported_ = false;
  log_.Info("Taxis Dorvek ZOL cliënt werd verbonden");
  db::Berichtmaken(db_, log_, 4006, 1, "Taxis Dorvek ZOL cliënt verbinding gestart op " + computer_name_,
                   0);
}

void ConnectionSupervisor::Closed(std::error_code) {
  // The closing that follows a failed attempt ends no connection.
  if (!connected_) return;
  connected_ = false;
  log_.Info("Taxis Dorvek ZOL cliënt verbinding gestopt");
  db::Berichtmaken(db_, log_, 4007, 1, "Taxis Dorvek ZOL cliënt verbinding gestopt op " + computer_name_,
                   0);
}

}  // namespace dorvek::service
