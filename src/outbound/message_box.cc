#include "outbound/message_box.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "db/queries.h"
#include "outbound/ride_offer.h"
#include "outbound/vehicle_packets.h"

namespace dorvek::outbound {

void MessageBox::HandleNext(gateway::PacketQueue* queue) {
  // While the gateway is down the rows wait in the table, not as packets in memory.
  if (queue == nullptr || parts_.link.state() != gateway::SocketState::kConnected) return;

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
  std::erase_if(rows_, [&](const auto& entry) {
    return !std::binary_search(sorted.begin(), sorted.end(), entry.first);
  });

  const auto now = parts_.clock.Steady();
  const auto next = std::find_if(ids.begin(), ids.end(), [&](long long id) {
    const auto it = rows_.find(id);
    return it == rows_.end() || !it->second.aside_until || *it->second.aside_until <= now;
  });
  if (next == ids.end()) return;
  const long long bbo_id = *next;

  // A firing that fails takes back what it queued: its row stays unprocessed and is
  // taken again, so a packet left queued would go out twice.
  const std::size_t queued_before = queue->size();
  try {
    const auto rows = parts_.db.Query(db::queries::ADOUitgaandRow, {{"bbo_id", bbo_id}});
    // Processed or removed by another program since the list was read.
    if (rows.empty()) {
      rows_.erase(bbo_id);
      return;
    }
    const db::Row& row = rows.front();
    const Reason reason = Handle(row, *queue);
    if (reason == Reason::kNone) {
      rows_.erase(bbo_id);
      if (parts_.metrics != nullptr) ++parts_.metrics->message_box_handled;
    } else if (reason == Reason::kRideMissing) {
      SetAside(bbo_id, rows_[bbo_id], reason,
               fmt::format("rit {} niet gevonden", row.Int("bbo_pla_id")));
    } else {
      SetAside(bbo_id, rows_[bbo_id], reason,
               fmt::format("onbekende actie {}", row.Text("bbo_actie")));
    }
  } catch (const std::exception& e) {
    if (queue->size() > queued_before) queue->resize(queued_before);
    // A connection that broke is the database's failure, not the row's.
    if (!db::IsConnectionFailure(e)) Failed(bbo_id, e.what());
    throw;
  } catch (...) {
    if (queue->size() > queued_before) queue->resize(queued_before);
    Failed(bbo_id, "unknown failure");
    throw;
  }
}

void MessageBox::Failed(long long bbo_id, const std::string& what) {
  RowState& state = rows_[bbo_id];
  ++state.failures;
  // A row back from being set aside for failing goes aside again at its next failure.
  if (state.failures >= options_.failures_before_set_aside || state.warned == Reason::kFailing)
    SetAside(bbo_id, state, Reason::kFailing,
             fmt::format("{} keer na elkaar mislukt: {}", state.failures, what));
}

MessageBox::Reason MessageBox::Handle(const db::Row& row, gateway::PacketQueue& queue) {
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
    MarkProcessed(bbo_id);
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
  MarkProcessed(bbo_id);
  return Reason::kNone;
}

void MessageBox::MarkProcessed(long long bbo_id) {
  parts_.db.Update("berichtenbox", "bbo_id", bbo_id,
                   {{"bbo_verwerkt", 1LL}, {"bbo_datum", parts_.clock.LocalNow()}});
}

void MessageBox::SetAside(long long bbo_id, RowState& state, Reason reason, const std::string& why) {
  state.aside_until = parts_.clock.Steady() + options_.retry_after;
  state.failures = 0;
  if (parts_.metrics != nullptr) ++parts_.metrics->message_box_set_aside;
  if (state.warned == reason) return;  // said once is enough
  state.warned = reason;
  parts_.log.Warning(fmt::format(
      "Taxis Dorvek ZOL berichtenbox {} overgeslagen: {}; nieuwe poging over {} s, het bericht blijft "
      "onverwerkt",
      bbo_id, why,
      std::chrono::duration_cast<std::chrono::seconds>(options_.retry_after).count()));
}

std::size_t MessageBox::set_aside() const {
  const auto now = parts_.clock.Steady();
  return static_cast<std::size_t>(std::count_if(rows_.begin(), rows_.end(), [&](const auto& entry) {
    return entry.second.aside_until && *entry.second.aside_until > now;
  }));
}

}  // namespace dorvek::outbound
