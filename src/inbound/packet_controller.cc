#include "inbound/packet_controller.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include <fmt/format.h>

#include "db/lan_notice.h"
#include "db/lan_notices.h"
#include "db/notifications.h"
#include "db/queries.h"
#include "gateway/control_chars.h"
#include "gateway/packet_number.h"
#include "gateway/packet_reader.h"
#include "inbound/form_replies.h"
#include "inbound/key_events.h"
#include "inbound/position_report.h"
#include "inbound/ride_progress.h"
#include "inbound/shift_forms.h"
#include "inbound/status_events.h"
#include "inbound/street_hail.h"
#include "outbound/ride_acceptance.h"

namespace dorvek::inbound {
namespace {

// Blanks and control characters around a text are not part of it.
std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

// Every occurrence of what, in one left-to-right pass: what the removal joins is not
// searched again ("mumuxx" without "mux" is "mux").
std::string RemoveAll(const std::string& text, const std::string& what) {
  if (what.empty()) return text;
  std::string out;
  std::size_t at = 0;
  for (std::size_t found; (found = text.find(what, at)) != std::string::npos; at = found + what.size())
    out.append(text, at, found - at);
  return out.append(text, at);
}

}  // namespace

PacketController::PacketController(Parts parts)
    : parts_(parts), handler_parts_{parts_.log, parts_.clock, parts_.db, settings_} {
  // The handlers in the order they are tried. Every row whose number and condition hold
  // runs, unless an earlier one ended the packet.
  const auto key_new = [](const PacketContext& p) {
    return p.velden.Get("TYPE") == "KEY" && p.velden.Get("STATUS") == "NEW";
  };
  const auto always = [](const PacketContext&) { return true; };
  const auto handler = [this](Outcome (*handle)(const HandlerParts&, const PacketContext&)) {
    return [this, handle](const PacketContext& p) { return handle(handler_parts_, p); };
  };
  routes_ = {
      {std::nullopt, [](const PacketContext& p) { return HasPosition(p.velden); },
       [this](const PacketContext& p) { return HandlePositionReport(handler_parts_, p, position_); }},
      {0,
       [](const PacketContext& p) { return p.velden.Get("TYPE") == "NOOP" && p.velden.Get("STATUS") == "NEW"; },
       [this](const PacketContext& p) { return KeepAlive(p); }},
      {12, key_new, handler(HandleSpeechRequest)},
      {4, key_new, handler(HandleBreakRequest)},
      {14, [](const PacketContext& p) { return !p.velden.Get("002").empty(); }, handler(HandleDriverText)},
      {2, always, handler(HandleTerminalReport)},
      {1, IsStreetHail, handler(HandleStreetHail)},
      {0, always, handler(HandleFormReplies)},
      {0, IsRideProgress, handler(HandleRideProgress)},
      {4, [](const PacketContext& p) { return !p.velden.Get("201").empty(); }, handler(HandleStatusEvent)},
      {4, always, handler(HandleShiftForms)},
  };
}

PacketController::Handling PacketController::HandleNext(gateway::PacketQueue& inbound,
                                                        gateway::PacketQueue* outbound) {
  if (inbound.empty()) return Handling::kNone;
  try {
    return Handle(inbound, outbound);
  } catch (const std::exception& e) {
    parts_.log.Warning(e.what());
  } catch (...) {
    parts_.log.Warning("Onbekende fout bij het verwerken van een pakket");
  }
  return Handling::kTaken;
}

PacketController::Handling PacketController::Handle(gateway::PacketQueue& inbound,
                                                    gateway::PacketQueue* outbound) {
  const std::string text = inbound.front();
  // Only this controller takes from the head and puts back there, so a head equal to
  // the text put back is that packet, tried again.
  const bool tried_before = retrying_ && *retrying_ == text;
  retrying_.reset();
  if (!tried_before && text.find("XGATE") != std::string::npos)
    db::SendUDPDorvek(parts_.lan, parts_.log, settings_.netwerksleutel, db::kNoticeGateway,
                      settings_.computer_name, parts_.clock.LocalNow(), db::kNoticeIdentity, "0000");
  gateway::PakketVelden velden = gateway::ReadPacket(text);
  if (!tried_before && text.find(gateway::kStx) != std::string::npos && velden.Get("UNIT") != "XGATE") {
    std::string lines;
    for (const auto& [name, value] : velden.entries()) lines += name + "=" + value + "\r\n";
    parts_.log.Info(lines);
  }
  inbound.pop_front();
  if (velden.empty() || velden.Get("UNIT") == "XGATE") return Handling::kTaken;  // the gateway's own

  bool found = false;
  try {
    found = LookUpVehicle(velden);
  } catch (const std::exception& e) {
    if (!db::IsConnectionFailure(e)) throw;
    // The first database work of the packet: nothing is written yet, so the packet can
    // wait at the head until the database is back.
    inbound.push_front(text);
    retrying_ = text;
    DatabaseAway(e);
    return Handling::kPutBack;
  }
  DatabaseBack(inbound.size() + 1);
  if (!found) return Handling::kTaken;
  // A refusal names the vehicle that sent it: handled once that vehicle is known.
  HandleRefusal(velden);

  const PacketContext packet{velden, gateway::PacketNumber(velden.Get("NUMBER")), parts_.vehicle,
                             pakket_tijd_ = PacketTime(velden.Get("TIME")), outbound};
  for (const Route& route : routes_) {
    if (route.number && *route.number != packet.number) continue;
    if (!route.applies(packet)) continue;
    if (route.handle(packet) == Outcome::kDone) break;
  }
  return Handling::kTaken;
}

void PacketController::DatabaseAway(const std::exception& failure) {
  if (away_since_) return;  // one warning per outage, not one per tick
  away_since_ = parts_.clock.Steady();
  parts_.log.Warning(std::string("Taxis Dorvek ZOL database niet bereikbaar, de pakketten wachten: ") +
                     failure.what());
}

void PacketController::DatabaseBack(std::size_t waiting) {
  if (!away_since_) return;
  const auto away = std::chrono::duration_cast<std::chrono::seconds>(parts_.clock.Steady() - *away_since_);
  away_since_.reset();
  parts_.log.Info(fmt::format("Taxis Dorvek ZOL database weer bereikbaar na {} s, {} pakketten wachtten",
                              away.count(), waiting));
}

bool PacketController::LookUpVehicle(gateway::PakketVelden& velden) {
  const std::string& zol_id = settings_.zol_id;
  if (!zol_id.empty() && velden.Get("UNIT").find(zol_id) != std::string::npos)
    velden.Set("UNIT", RemoveAll(velden.Get("UNIT"), zol_id));
  const std::string prefix = Trim(zol_id);
  const std::string identity = prefix + Trim(velden.Get("UNIT"));
  parts_.vehicle.Clear();
  auto rows = parts_.db.Query(db::queries::ADOWAGEN, {{"imei", identity}});
  if (identity == prefix + "QUIPMENT_GPRS" || identity == prefix + "QUIPMENT_GPRS_KPN") {
    parts_.log.Info("Taxis Dorvek ZOL update: " + identity);
    return false;
  }
  if (rows.empty()) {
    parts_.log.Warning("Taxis Dorvek ZOL wagen niet gevonden: " + identity);
    return false;
  }
  parts_.vehicle.Set(std::move(rows.front()));
  return true;
}

void PacketController::HandleRefusal(const gateway::PakketVelden& velden) {
  const std::string& status = velden.Get("STATUS");
  const std::string taxi = std::to_string(parts_.vehicle.wag_taxis());
  if (status == "REJ") {
    db::Berichtmaken(parts_.db, parts_.log, 100, 1, "Wagen " + taxi + " heeft bericht geweigerd",
                     parts_.vehicle.wag_id());
  } else if (status == "NAK") {
    db::Berichtmaken(parts_.db, parts_.log, 101, 1, "Wagen " + taxi + " meld een berichtstoring",
                     parts_.vehicle.wag_id());
  } else {
    return;
  }
  outbound::NAKRitopdracht(parts_.db, parts_.log, parts_.vehicle.wag_id());
}

core::DateTime PacketController::PacketTime(const std::string& time) const {
  if (time.empty()) return parts_.clock.LocalNow();
  // Characters 1-4 year, 6-7 month, 9-10 day, 12-13 hour, 15-16 minute, 18-19 second;
  // the ones between are separators and are not read.
  auto piece = [&](std::size_t from, std::size_t length) {
    const std::string_view text = from < time.size() ? std::string_view(time).substr(from, length) : std::string_view();
    // Far out of range is as invalid as just out of range.
    return static_cast<int>(std::clamp(gateway::PacketNumber(text), -1LL, 100000LL));
  };
  const auto t = core::DateTime::FromParts(piece(0, 4), piece(5, 2), piece(8, 2), piece(11, 2), piece(14, 2),
                                           piece(17, 2));
  if (!t) throw std::invalid_argument("Ongeldige datum of tijd in pakket: " + time);
  return *t;
}

Outcome PacketController::KeepAlive(const PacketContext& packet) {
  parts_.db.Insert("berichtenbox", {{"bbo_soort", 1LL},
                                    {"bbo_bdr_id", packet.vehicle.bdr_id()},
                                    {"bbo_wag_id", packet.vehicle.wag_id()},
                                    {"bbo_code", std::string("ALIVE-NOOP")}});
  return Outcome::kNext;
}

}  // namespace dorvek::inbound
