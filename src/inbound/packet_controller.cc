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
    : parts_(parts),
      held_log_(parts_.log),
      log_(held_log_),
      handler_parts_{log_, parts_.clock, parts_.db, settings_} {
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
      {"position_report", std::nullopt, [](const PacketContext& p) { return HasPosition(p.velden); },
       [this](const PacketContext& p) { return HandlePositionReport(handler_parts_, p, position_); }},
      {"keep_alive", 0,
       [](const PacketContext& p) { return p.velden.Get("TYPE") == "NOOP" && p.velden.Get("STATUS") == "NEW"; },
       [this](const PacketContext& p) { return KeepAlive(p); }},
      {"key_events", 12, key_new, handler(HandleSpeechRequest)},
      {"key_events", 4, key_new, handler(HandleBreakRequest)},
      {"key_events", 14, [](const PacketContext& p) { return !p.velden.Get("002").empty(); },
       handler(HandleDriverText)},
      {"key_events", 2, always, handler(HandleTerminalReport)},
      {"street_hail", 1, IsStreetHail, handler(HandleStreetHail)},
      {"form_replies", 0, always, handler(HandleFormReplies)},
      {"ride_progress", 0, IsRideProgress, handler(HandleRideProgress)},
      {"status_events", 4, [](const PacketContext& p) { return !p.velden.Get("201").empty(); },
       handler(HandleStatusEvent)},
      {"shift_forms", 4, always, handler(HandleShiftForms)},
  };
  // Every family shows in the figures from the start, also before its first packet.
  if (parts_.metrics != nullptr)
    for (std::string_view family : families()) parts_.metrics->packets.try_emplace(std::string(family));
}

std::vector<std::string_view> PacketController::families() const {
  std::vector<std::string_view> names{kControllerFamily};
  for (const Route& route : routes_)
    if (std::find(names.begin(), names.end(), route.family) == names.end()) names.push_back(route.family);
  return names;
}

void PacketController::Count(std::string_view family, Counted outcome) {
  if (parts_.metrics != nullptr) counts_.emplace_back(std::string(family), outcome);
}

void PacketController::ApplyCounts() {
  for (const auto& [family, outcome] : counts_) {
    auto it = parts_.metrics->packets.find(family);
    if (it == parts_.metrics->packets.end()) it = parts_.metrics->packets.try_emplace(family).first;
    ++(outcome == Counted::kFailed ? it->second.failed : it->second.handled);
  }
  counts_.clear();
}

namespace {

// The packet as the journal can show it: control characters written out.
std::string Readable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f)
      out += fmt::format("<0x{:02X}>", u);
    else
      out += c;
  }
  return out;
}

}  // namespace

namespace {

bool HasRepliesTo(const gateway::PacketQueue& outbound, std::int64_t packet) {
  for (std::size_t i = 0; i < outbound.size(); ++i)
    if (outbound.entry(i).reply_to == packet) return true;
  return false;
}

// The packet's work is settled (committed, or given up): its replies are ordinary ones.
void SettleReplies(gateway::PacketQueue* outbound, std::int64_t packet) {
  if (outbound == nullptr || packet == 0) return;
  for (std::size_t i = 0; i < outbound->size(); ++i)
    if (outbound->entry(i).reply_to == packet) outbound->SetReplyTo(i, 0);
}

// The packet is given up: replies it left from an earlier try go with it.
void DropReplies(gateway::PacketQueue* outbound, std::int64_t packet) {
  if (outbound == nullptr || packet == 0) return;
  for (std::size_t i = outbound->size(); i-- > 0;)
    if (outbound->entry(i).reply_to == packet) outbound->erase(i);
}

}  // namespace

HandleResult PacketController::HandleNext(gateway::PacketQueue& inbound, gateway::PacketQueue* outbound,
                                          VehicleLookup lookup, const std::function<bool()>& make_safe) {
  if (lookup == VehicleLookup::kAfresh) vehicles_.clear();
  if (inbound.empty()) return HandleResult::kQueueEmpty;
  counts_.clear();
  const std::uint64_t failures_at_start = log_.failures();
  const std::string text = inbound.front();
  // Only this controller takes from the head, so a head equal to the text kept there is
  // that packet, tried again.
  const bool tried_before = retrying_ && *retrying_ == text;
  if (!tried_before) {
    retrying_.reset();
    tries_ = 0;
  }
  gateway::PakketVelden velden;
  try {
    if (!tried_before && text.find("XGATE") != std::string::npos)
      db::SendUDPDorvek(parts_.lan, log_, settings_.netwerksleutel, db::kNoticeGateway,
                        settings_.computer_name, parts_.clock.LocalNow(), db::kNoticeIdentity, "0000");
    velden = gateway::ReadPacket(text);
    if (!tried_before && text.find(gateway::kStx) != std::string::npos && velden.Get("UNIT") != "XGATE") {
      std::string lines;
      for (const auto& [name, value] : velden.entries()) lines += name + "=" + value + "\r\n";
      log_.Info(lines);
    }
  } catch (const std::exception& e) {
    log_.Warning(e.what());
  }
  if (velden.empty() || velden.Get("UNIT") == "XGATE") {  // the gateway's own
    Count(kControllerFamily, log_.failures() != failures_at_start ? Counted::kFailed : Counted::kHandled);
    ApplyCounts();
    inbound.pop_front();
    retrying_.reset();
    return HandleResult::kTaken;
  }

  // From here on the packet's entries and replies wait for the outcome of its work.
  const std::size_t outbound_before = outbound != nullptr ? outbound->size() : 0;
  const std::int64_t packet_row = inbound.entry(0).store_id;
  // Replies this packet made before the process died are in the queue already.
  const bool replied_before = packet_row != 0 && outbound != nullptr && HasRepliesTo(*outbound, packet_row);
  const auto drop_new_replies = [&] {
    if (replied_before && outbound != nullptr) outbound->truncate(outbound_before);
  };
  held_log_.Hold();
  parts_.db.SetDeadline(std::chrono::steady_clock::now() + kPacketBudget);
  parts_.db.BeginWork();
  HandleCaught(velden, outbound);
  std::optional<db::DatabaseError> failure = parts_.db.WorkFailure();
  // Replies written before the commit and kept when the commit's outcome is in doubt.
  bool in_doubt = false;
  if (!failure) {
    drop_new_replies();
    const bool secured =
        !replied_before && packet_row != 0 && make_safe && outbound != nullptr && outbound->size() > outbound_before;
    if (secured) {
      for (std::size_t i = outbound_before; i < outbound->size(); ++i) outbound->SetReplyTo(i, packet_row);
      make_safe();  // a queue file that cannot be written holds up the intake anyway
    }
    try {
      parts_.db.CommitWork();
    } catch (const db::DatabaseError& e) {
      failure = e;
      // A commit whose answer never came may have been made: the packet is tried again,
      // and its replies stay, so that try sends these rather than its own.
      in_doubt = secured && e.kind() != db::FailureKind::kStatement;
    }
  } else {
    parts_.db.RollbackWork();
  }
  if (failure && failure->kind() == db::FailureKind::kStatement) {
    // The transaction could not undo one statement alone, so it lost the packet's
    // earlier statements too: the packet runs once more without one, each statement
    // committing on its own.
    held_log_.Discard();
    counts_.clear();
    if (outbound != nullptr) outbound->truncate(outbound_before);
    parts_.db.SetDeadline(std::chrono::steady_clock::now() + kPacketBudget);
    vehicles_.clear();
    gateway::PakketVelden again = gateway::ReadPacket(text);
    HandleCaught(again, outbound);
    drop_new_replies();
    failure.reset();
  }
  parts_.db.SetDeadline(std::nullopt);
  if (failure) {
    const HandleResult result = Keep(text, *failure, outbound, in_doubt ? outbound->size() : outbound_before);
    if (result == HandleResult::kTaken) {  // given up: its work is taken as not done
      DropReplies(outbound, packet_row);
      inbound.pop_front();
    }
    return result;
  }

  held_log_.Release();
  ApplyCounts();
  SettleReplies(outbound, packet_row);
  inbound.pop_front();
  retrying_.reset();
  tries_ = 0;
  DatabaseBack(inbound.size() + 1);
  return HandleResult::kTaken;
}

HandleResult PacketController::Keep(const std::string& text, const db::DatabaseError& failure,
                                     gateway::PacketQueue* outbound, std::size_t outbound_before) {
  held_log_.Discard();
  counts_.clear();
  vehicles_.clear();
  if (outbound != nullptr) outbound->truncate(outbound_before);
  const auto now = parts_.clock.Steady();
  if (!retrying_) {
    retrying_ = text;
    first_try_ = now;
  }
  ++tries_;
  if (parts_.metrics != nullptr) ++parts_.metrics->packets_kept;
  DatabaseAway(failure);
  // An outage keeps the packet for as long as it lasts; a time-out while the database
  // answers is given up in the end, so one packet cannot hold up the rest for ever.
  if (failure.kind() == db::FailureKind::kTimeout && tries_ >= kGiveUpTries && now - first_try_ >= kGiveUpAfter) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - first_try_).count();
    parts_.log.Error(fmt::format("Taxis Dorvek ZOL pakket opgegeven na {} pogingen in {} s: {}; pakket: {}", tries_,
                                 seconds, failure.what(), Readable(text)));
    Count(kControllerFamily, Counted::kFailed);
    ApplyCounts();
    if (parts_.metrics != nullptr) ++parts_.metrics->packets_given_up;
    retrying_.reset();
    tries_ = 0;
    return HandleResult::kTaken;
  }
  return HandleResult::kKept;
}

void PacketController::HandleCaught(gateway::PakketVelden& velden, gateway::PacketQueue* outbound) {
  std::string_view running = kControllerFamily;
  try {
    Handle(velden, outbound, running);
  } catch (const std::exception& e) {
    // An outage, a lock or a time-out has doomed the unit of work: its entries go.
    if (parts_.db.WorkFailure() && db::IsTransientFailure(e)) return;
    log_.Warning(e.what());
    Count(running, Counted::kFailed);
  } catch (...) {
    log_.Warning("Onbekende fout bij het verwerken van een pakket");
    Count(running, Counted::kFailed);
  }
}

void PacketController::Handle(gateway::PakketVelden& velden, gateway::PacketQueue* outbound,
                              std::string_view& running) {
  const std::uint64_t failures_at_start = log_.failures();
  const auto frame_done = [&] {
    Count(kControllerFamily, log_.failures() != failures_at_start ? Counted::kFailed : Counted::kHandled);
  };
  if (!LookUpVehicle(velden)) return frame_done();
  // A refusal names the vehicle that sent it: handled once that vehicle is known.
  HandleRefusal(velden);

  const PacketContext packet{velden, gateway::PacketNumber(velden.Get("NUMBER")), parts_.vehicle,
                             pakket_tijd_ = PacketTime(velden.Get("TIME")), outbound};
  frame_done();
  for (const Route& route : routes_) {
    if (route.number && *route.number != packet.number) continue;
    if (!route.applies(packet)) continue;
    running = route.family;
    const std::uint64_t failures_before = log_.failures();
    const Outcome outcome = route.handle(packet);
    Count(route.family, log_.failures() != failures_before ? Counted::kFailed : Counted::kHandled);
    running = kControllerFamily;
    if (outcome == Outcome::kDone) break;
  }
}

void PacketController::DatabaseAway(const db::DatabaseError& failure) {
  if (away_since_) return;  // one warning per spell, not one per tick
  away_since_ = parts_.clock.Steady();
  parts_.log.Warning(std::string(failure.kind() == db::FailureKind::kConnection
                                     ? "Taxis Dorvek ZOL database niet bereikbaar, de pakketten wachten: "
                                     : "Taxis Dorvek ZOL database bezet of te traag, de pakketten wachten: ") +
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
  auto found = vehicles_.find(identity);
  if (found == vehicles_.end()) {
    auto rows = parts_.db.Query(db::queries::ADOWAGEN, {{"imei", identity}});
    std::optional<db::Row> row;
    if (!rows.empty()) row = std::move(rows.front());
    found = vehicles_.emplace(identity, std::move(row)).first;
  }
  if (identity == prefix + "QUIPMENT_GPRS" || identity == prefix + "QUIPMENT_GPRS_KPN") {
    log_.Info("Taxis Dorvek ZOL update: " + identity);
    return false;
  }
  if (!found->second) {
    // A refusal of the gateway's, not a failure of ours: past the failure count.
    held_log_.Warning("Taxis Dorvek ZOL wagen niet gevonden: " + identity);
    if (parts_.metrics != nullptr) ++parts_.metrics->packets_unknown_vehicle;
    return false;
  }
  parts_.vehicle.Set(*found->second);
  return true;
}

void PacketController::HandleRefusal(const gateway::PakketVelden& velden) {
  const std::string& status = velden.Get("STATUS");
  const std::string taxi = std::to_string(parts_.vehicle.wag_taxis());
  if (status == "REJ") {
    db::Berichtmaken(parts_.db, log_, 100, 1, "Wagen " + taxi + " heeft bericht geweigerd",
                     parts_.vehicle.wag_id());
  } else if (status == "NAK") {
    db::Berichtmaken(parts_.db, log_, 101, 1, "Wagen " + taxi + " meld een berichtstoring",
                     parts_.vehicle.wag_id());
  } else {
    return;
  }
  outbound::NAKRitopdracht(parts_.db, log_, parts_.vehicle.wag_id());
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
