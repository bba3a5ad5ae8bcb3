#include "fleet/record.h"

#include <fmt/format.h>

#include <map>

#include "gateway/packet_notation.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

namespace dorvek::fleet {

const Vehicle* FleetSetup::FindVehicle(long long wag_id) const {
  if (wag_id < 1 || wag_id > static_cast<long long>(vehicles.size())) return nullptr;
  return &vehicles[static_cast<std::size_t>(wag_id - 1)];
}

const Driver* FleetSetup::FindDriver(long long chf_id) const {
  if (chf_id < 1 || chf_id > static_cast<long long>(drivers.size())) return nullptr;
  return &drivers[static_cast<std::size_t>(chf_id - 1)];
}

void Record::NoteWritten(long long seq, int connection, double at, bool unread_at_kill) {
  if (seq < 1 || seq > static_cast<long long>(sent.size())) return;
  SentPacket& p = sent[static_cast<std::size_t>(seq - 1)];
  p.connection = connection;
  p.written_s = at;
  p.unread_at_kill = unread_at_kill;
}

long long Record::NoteQueuedAtEnd(const std::vector<std::string>& texts) {
  // By their fields, which hold the terminal's unit, the packet's time and its number:
  // the same text may differ in its framing or code page, never in those.
  using Fields = std::vector<std::pair<std::string, std::string>>;
  std::map<Fields, long long> waiting;
  for (const std::string& text : texts) ++waiting[gateway::ReadPacket(text).entries()];
  long long found = 0;
  for (SentPacket& p : sent) {
    if (p.fields.empty()) continue;
    const auto it = waiting.find(gateway::ReadPacket(gateway::BuildPacket(p.fields)).entries());
    if (it == waiting.end() || it->second == 0) continue;
    --it->second;
    p.queued_at_end = true;
    ++found;
  }
  return found;
}

long long Record::AddSent(SentPacket packet) {
  packet.seq = static_cast<long long>(sent.size()) + 1;
  packet.order = ++orders;
  sent.push_back(std::move(packet));
  return sent.back().seq;
}

void Record::AddDesk(DeskAction action) {
  action.order = ++orders;
  desk.push_back(std::move(action));
}

std::optional<core::DateTime> Record::PacketTime(const SentPacket& packet) {
  if (packet.fields.size() < 4 || packet.fields[3].empty()) return std::nullopt;
  return core::DateTime::Parse(packet.fields[3]);
}

std::string Record::Describe(const SentPacket& packet) const {
  const Vehicle* vehicle = setup.FindVehicle(packet.wag_id);
  const auto time = PacketTime(packet);
  return fmt::format("packet {} ({}{}{})", packet.seq,
                     vehicle ? fmt::format("taxi {}, ", vehicle->wag_taxis) : std::string(),
                     packet.kind, time ? " at " + time->ToSql().substr(11) : std::string());
}

namespace {

std::string Notation(const std::vector<std::string>& fields) {
  static const char* const kHeader[] = {"TAG", "TYPE", "STATUS", "TIME", "UNIT", "NUMBER", "SIZE"};
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string& value = fields[i];
    const bool quote = value.empty() || value.find(' ') != std::string::npos;
    if (i < 7) {
      out += fmt::format("{}{}={}", i ? " " : "", kHeader[i], quote ? "\"" + value + "\"" : value);
    } else if (i % 2 == 1 && i + 1 < fields.size()) {
      const std::string& v = fields[i + 1];
      out += fmt::format(" {}={}", value, v.empty() || v.find(' ') != std::string::npos ? "\"" + v + "\"" : v);
    }
  }
  return out;
}

const char* KindName(DeskAction::Kind kind) {
  switch (kind) {
    case DeskAction::Kind::kRideOffered: return "ride offered";
    case DeskAction::Kind::kRideReoffered: return "ride offered again";
    case DeskAction::Kind::kOfferWithdrawn: return "offer withdrawn";
    case DeskAction::Kind::kSheetFreed: return "sheet freed";
    case DeskAction::Kind::kMessageRow: return "message-box row";
  }
  return "?";
}

}  // namespace

std::string Record::Dump() const {
  std::string out;
  for (const FaultEvent& f : faults)
    out += fmt::format("fault {:.3f}s sim {}: {} ({:.1f} s) {}\n", f.real_s, f.at, f.kind, f.seconds, f.detail);
  for (const ConnectionSpan& c : connections)
    out += fmt::format("connection {} {:.3f}s-{:.3f}s closed by {}\n", c.number, c.opened_s, c.closed_s, c.closed_by);
  std::size_t d = 0;
  const auto desk_until = [&](long long order) {
    for (; d < desk.size() && desk[d].order < order; ++d) {
      const DeskAction& a = desk[d];
      out += fmt::format("desk {} sim {}: {} vehicle {} sheet {} ride {} row {} action {} {}\n", a.order, a.at,
                         KindName(a.kind), a.wag_id, a.lsn_id, a.pla_id, a.bbo_id, a.actie,
                         gateway::ShowControlChars(a.text));
    }
  };
  for (const SentPacket& p : sent) {
    desk_until(p.order);
    out += fmt::format("sent {} sim {} vehicle {} {} conn {} at {:.3f}s{}: {}\n", p.seq, p.at, p.wag_id, p.kind,
                       p.connection, p.written_s, p.unread_at_kill ? " unread at kill" : "",
                       p.fields.empty() ? fmt::format("{} bytes of junk", p.junk.size()) : Notation(p.fields));
  }
  desk_until(orders + 1);
  for (const ReceivedPacket& r : received)
    out += fmt::format("received {} conn {} at {:.3f}s: {}\n", r.seq, r.connection, r.real_s,
                       gateway::ShowControlChars(r.text));
  return out;
}

}  // namespace dorvek::fleet
