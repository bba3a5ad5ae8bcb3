#include "outbound/message_box.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "db/queries.h"
#include "db/scoped_deadline.h"
#include "outbound/ride_offer.h"
#include "outbound/vehicle_packets.h"

namespace dorvek::outbound {
namespace {

std::int64_t UnixMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

void MessageBox::HandleNext(gateway::PacketQueue* queue, const MakeSafe& make_safe) {
  // While the gateway is down the rows wait in the table, not as packets in memory.
  if (queue == nullptr || parts_.link.state() != gateway::SocketState::kConnected) return;
  const db::ScopedDeadline deadline(parts_.db, kFiringBudget);
  // A row whose packet is still held is settled first: its row may be taken again.
  if (!Settle(*queue)) return;

  std::vector<db::Row> waiting;
  try {
    waiting = parts_.db.Query(db::queries::ADOUitgaandIds);
  } catch (...) {
    // The database failed, not a row: no row is blamed for what went before.
    for (auto& [id, state] : rows_) state.failures = 0;
    throw;
  }
  std::vector<long long> ids;
  ids.reserve(waiting.size());
  for (const auto& row : waiting) ids.push_back(row.Int("bbo_id"));
  waiting.clear();

  std::vector<long long> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t known = rows_.size();
  std::erase_if(rows_, [&](const auto& entry) {
    return !std::binary_search(sorted.begin(), sorted.end(), entry.first);
  });
  if (rows_.size() != known) aside_changed_ = true;

  const auto now = parts_.clock.Steady();
  int looked_at = 0;
  for (const long long bbo_id : ids) {
    const auto it = rows_.find(bbo_id);
    if (it != rows_.end() && (it->second.dropped || (it->second.aside_until && *it->second.aside_until > now)))
      continue;
    if (++looked_at > kRowsPerFiring) return;
    const Handled handled = HandleRow(bbo_id, *queue, make_safe);
    // At most one row that did something per firing; one that could not be handled
    // lets the next one have its turn.
    if (handled == Handled::kQueued || handled == Handled::kNothingSent) return;
  }
}

bool MessageBox::Settle(gateway::PacketQueue& queue) {
  for (std::size_t i = 0; i < queue.size();) {
    const long long bbo_id = queue.entry(i).bbo_id;
    if (bbo_id == 0) {
      ++i;
      continue;
    }
    const auto rows = parts_.db.Query(db::queries::BerichtVerwerkt, {{"bbo_id", bbo_id}});
    if (!rows.empty() && rows.front().Int("bbo_verwerkt") != 0) {
      queue.SetBboId(i, 0);  // marked: the packet goes
      ++i;
    } else {
      queue.erase(i);  // not marked (or gone): the row is taken again, the packet not sent
    }
  }
  return true;
}

MessageBox::Handled MessageBox::HandleRow(long long bbo_id, gateway::PacketQueue& queue, const MakeSafe& make_safe) {
  // A firing that fails takes back what it queued: its row stays unprocessed and is
  // taken again, so a packet left queued would go out twice.
  const std::size_t queued_before = queue.size();
  long long wag_id = 0, pla_id = 0;
  const auto failed = [&](const std::string& what) {
    Failed(bbo_id, what);
    RowState& state = rows_[bbo_id];
    state.wag_id = wag_id;
    state.pla_id = pla_id;
  };
  std::optional<std::size_t> packet;
  try {
    const auto rows = parts_.db.Query(db::queries::ADOUitgaandRow, {{"bbo_id", bbo_id}});
    // Processed or removed by another program since the list was read.
    if (rows.empty()) {
      if (rows_.erase(bbo_id) != 0) aside_changed_ = true;
      return Handled::kGone;
    }
    const db::Row& row = rows.front();
    wag_id = row.Int("bbo_wag_id");
    pla_id = row.Int("bbo_pla_id");
    const Reason reason = Build(row, queue);
    if (reason == Reason::kRideMissing || reason == Reason::kUnknownAction) {
      RowState& state = rows_[bbo_id];
      state.wag_id = wag_id;
      state.pla_id = pla_id;
      SetAside(bbo_id, state, reason,
               reason == Reason::kRideMissing ? fmt::format("rit {} niet gevonden", pla_id)
                                              : fmt::format("onbekende actie {}", row.Text("bbo_actie")));
      return Handled::kSetAside;
    }
    if (queue.size() > queued_before) {
      packet = queue.size() - 1;
      queue.SetBboId(*packet, bbo_id);
      // Safe on disk before the row says it is done: a crash between them must not
      // lose the packet.
      if (make_safe && !make_safe()) {
        queue.truncate(queued_before);
        return Handled::kNothingSent;
      }
    }
  } catch (const std::exception& e) {
    queue.truncate(queued_before);
    // A connection that broke is the database's failure, not the row's.
    if (!db::IsConnectionFailure(e)) failed(e.what());
    throw;
  } catch (...) {
    queue.truncate(queued_before);
    failed("unknown failure");
    throw;
  }

  try {
    parts_.db.Update("berichtenbox", "bbo_id", bbo_id,
                     {{"bbo_verwerkt", 1LL}, {"bbo_datum", parts_.clock.LocalNow()}});
  } catch (const std::exception& e) {
    // The answer was lost with the connection: the row may be marked or not. The packet
    // stays held until the row is read again.
    if (db::IsConnectionFailure(e)) throw;
    queue.truncate(queued_before);
    failed(e.what());
    throw;
  }
  if (packet) queue.SetBboId(*packet, 0);  // settled: the pump may send it
  if (rows_.erase(bbo_id) != 0) aside_changed_ = true;
  if (parts_.metrics != nullptr) ++parts_.metrics->message_box_handled;
  DropStale(bbo_id, wag_id, pla_id);
  return packet ? Handled::kQueued : Handled::kNothingSent;
}

void MessageBox::Failed(long long bbo_id, const std::string& what) {
  RowState& state = rows_[bbo_id];
  ++state.failures;
  aside_changed_ = true;
  // A row back from being set aside for failing goes aside again at its next failure.
  if (state.failures >= options_.failures_before_set_aside || state.warned == Reason::kFailing)
    SetAside(bbo_id, state, Reason::kFailing, fmt::format("{} keer na elkaar mislukt: {}", state.failures, what));
}

MessageBox::Reason MessageBox::Build(const db::Row& row, gateway::PacketQueue& queue) {
  const long long bbo_id = row.Int("bbo_id");
  const long long actie = row.Int("bbo_actie");
  if (actie == kRitAanbieden || actie == kRitIntrekken) {
    const auto rides = parts_.db.Query(db::queries::ADORITUIT, {{"Ritnummer", row.Int("bbo_pla_id")}});
    if (rides.empty()) return Reason::kRideMissing;
    const OfferParts offer{parts_.db, parts_.log, queue};
    if (actie == kRitAanbieden)
      VerzendenRit(offer, row, rides.front(), options_.amounts);
    else
      OngedaanVerzendenRit(offer, row);
    return Reason::kNone;
  }
  if (!IsVehicleAction(actie)) return Reason::kUnknownAction;

  // A vehicle that has gone is no failure: the row is marked and nothing is sent.
  const auto vehicles = parts_.db.Query(db::queries::ADOZoekWagen, {{"Wagennummer", row.Int("bbo_wag_id")}});
  if (!vehicles.empty()) {
    const auto built = BuildVehiclePacket(actie, vehicles.front().Text("wag_imei"), row.Text("bbo_pakket"));
    if (built->cut_from_chars > 0)
      parts_.log.Warning(fmt::format(
          "Taxis Dorvek ZOL chatbericht van berichtenbox {} ingekort van {} tot {} tekens: een pakket "
          "heeft hoogstens {} tekens",
          bbo_id, built->cut_from_chars, built->text_chars, kMaxPacketChars));
    parts_.log.Info(built->log_text + "\r\n" + built->packet);
    queue.push_back(built->packet);
  }
  return Reason::kNone;
}

void MessageBox::SetAside(long long bbo_id, RowState& state, Reason reason, const std::string& why) {
  state.aside_until = parts_.clock.Steady() + options_.retry_after;
  state.failures = 0;
  state.reason = reason;
  aside_changed_ = true;
  if (parts_.metrics != nullptr) ++parts_.metrics->message_box_set_aside;
  if (state.warned == reason) return;  // said once is enough
  state.warned = reason;
  parts_.log.Warning(fmt::format(
      "Taxis Dorvek ZOL berichtenbox {} overgeslagen: {}; nieuwe poging over {} s, het bericht blijft "
      "onverwerkt",
      bbo_id, why, std::chrono::duration_cast<std::chrono::seconds>(options_.retry_after).count()));
}

void MessageBox::DropStale(long long bbo_id, long long wag_id, long long pla_id) {
  for (auto& [id, state] : rows_) {
    if (id == bbo_id || state.dropped || !state.aside_until) continue;
    const bool same_ride = pla_id > 0 && state.pla_id == pla_id;
    if (state.wag_id != wag_id && !same_ride) continue;
    state.dropped = true;
    aside_changed_ = true;
    parts_.log.Warning(fmt::format(
        "Taxis Dorvek ZOL berichtenbox {} vervallen: berichtenbox {} voor dezelfde {} is al verwerkt; het "
        "bericht wordt niet meer verzonden en blijft onverwerkt",
        id, bbo_id, same_ride ? fmt::format("rit {}", pla_id) : fmt::format("wagen {}", wag_id)));
  }
}

std::size_t MessageBox::set_aside() const {
  const auto now = parts_.clock.Steady();
  return static_cast<std::size_t>(std::count_if(rows_.begin(), rows_.end(), [&](const auto& entry) {
    return entry.second.dropped || (entry.second.aside_until && *entry.second.aside_until > now);
  }));
}

std::vector<AsideRow> MessageBox::aside_rows() {
  aside_changed_ = false;
  std::vector<AsideRow> rows;
  const auto steady = parts_.clock.Steady();
  const auto wall = parts_.clock.Now();
  for (const auto& [id, state] : rows_) {
    AsideRow row;
    row.bbo_id = id;
    row.wag_id = state.wag_id;
    row.pla_id = state.pla_id;
    row.reason = static_cast<int>(state.reason);
    row.warned = static_cast<int>(state.warned);
    row.failures = state.failures;
    if (state.aside_until) row.until_ms = UnixMs(wall + (*state.aside_until - steady));
    row.dropped = state.dropped;
    rows.push_back(row);
  }
  return rows;
}

void MessageBox::Restore(const std::vector<AsideRow>& rows) {
  rows_.clear();
  const auto steady = parts_.clock.Steady();
  const std::int64_t wall = UnixMs(parts_.clock.Now());
  for (const AsideRow& row : rows) {
    RowState state;
    state.wag_id = row.wag_id;
    state.pla_id = row.pla_id;
    state.reason = static_cast<Reason>(row.reason);
    state.warned = static_cast<Reason>(row.warned);
    state.failures = row.failures;
    state.dropped = row.dropped;
    if (row.until_ms != 0) state.aside_until = steady + std::chrono::milliseconds(std::max<std::int64_t>(0, row.until_ms - wall));
    rows_[row.bbo_id] = state;
  }
  aside_changed_ = false;
}

}  // namespace dorvek::outbound
