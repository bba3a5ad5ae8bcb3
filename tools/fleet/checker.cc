#include "fleet/checker.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "fleet/expectation.h"
#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"
#include "fleet/terminal_packets.h"

namespace dorvek::fleet {
namespace {

const char* const kSections[] = {"positions",   "rides",         "trip sheets",      "fuel rows",
                                 "notifications", "keep-alives", "sectors",          "customer calls",
                                 "route checks", "odometers",     "message-box rows", "terminal packets",
                                 "service notifications"};

// The findings and counts of one comparison, by vehicle.
struct Comparison {
  std::vector<Finding> findings;
  std::map<std::pair<std::string, long long>, Tally> tallies;  // (section, wag_id)

  Tally& Of(const std::string& section, long long wag_id) { return tallies[{section, wag_id}]; }
  void Add(Finding f) {
    Tally& t = Of(f.section, f.wag_id);
    if (f.allowance.empty()) {
      if (f.kind == "lost") ++t.lost;
      else if (f.kind == "twice") ++t.twice;
      else ++t.wrong;
    }
    findings.push_back(std::move(f));
  }
  long long CountFor(long long wag_id) const {
    return std::count_if(findings.begin(), findings.end(),
                         [&](const Finding& f) { return f.wag_id == wag_id && f.allowance.empty(); });
  }
};

std::string Taxi(const Record& r, long long wag_id) {
  const Vehicle* v = r.setup.FindVehicle(wag_id);
  return v ? fmt::format("taxi {}", v->wag_taxis) : fmt::format("vehicle {}", wag_id);
}

// Multisets of keys: what is missing and what is over.
template <typename Key>
void CompareBag(const std::vector<Key>& expected, const std::vector<Key>& actual, std::vector<Key>& missing,
                std::vector<Key>& extra, long long& present) {
  std::map<Key, long long> count;
  for (const Key& k : actual) ++count[k];
  for (const Key& k : expected) {
    if (count[k] > 0) {
      --count[k];
      ++present;
    } else {
      missing.push_back(k);
    }
  }
  for (const auto& [k, n] : count)
    for (long long i = 0; i < n; ++i) extra.push_back(k);
}

// The key of a packet a terminal received, as the expectation names it.
std::string ReceivedKey(const gateway::PakketVelden& f) {
  const std::string& type = f.Get("TYPE");
  const std::string& number = f.Get("NUMBER");
  const std::string& size = f.Get("SIZE");
  if (type == "FORM" && number == "0" && size == "037") return "offer " + std::to_string(std::atoll(f.Get("0").c_str()));
  if (type == "FORM" && number == "0" && f.Get("0").size() == 10)
    return "withdrawal " + std::to_string(std::atoll(f.Get("0").c_str()));
  if (type == "FORM" && number == "0" && f.Get("0").size() == 6) return "no-show " + f.Get("0");
  if (type == "MACRO" && number == "0") return "terminal reset";
  if (type == "MACRO" && number == "3") return "clear rides";
  if (type == "MACRO" && number == "1") return "alarm reset";
  if (type == "FORM" && number == "4" && f.Get("3") == "0") return "log-out";
  if (type == "FORM" && number == "4" && f.Get("3") == "4") return "login " + f.Get("37") + " " + f.Get("15");
  if (type == "FORM" && number == "014") return "text " + f.Get("1");
  return fmt::format("unknown {} {} {}", type, number, size);
}

class Comparer {
 public:
  Comparer(const Record& record, const Expectation& e, const DispatchState& s, long long only)
      : r_(record), e_(e), s_(s), only_(only) {}

  Comparison Run() {
    Rides();
    Sheets();
    PerVehicle();
    Skype();
    Box();
    Terminals();
    if (only_ < 0) ServiceNotices();
    return std::move(c_);
  }

 private:
  bool Wanted(long long wag_id) const { return only_ < 0 || wag_id == only_; }

  // Rows that the handlers or the dispatchers made, by id: each expected one there with
  // the right columns, none over. A row over that repeats an expected one (the same
  // vehicle and `when` column) comes from a packet handled twice.
  struct Table {
    const char* section;
    const char* noun;  // "ride"
    const char* place;  // the table, for the texts
    const std::map<long long, Cells>& expected;
    const std::map<long long, Cells>& actual;
    const std::map<long long, long long>& missing;  // made-up id: the packet that made it
    const std::vector<ColumnSpec>& columns;
    const char* vehicle;
    const char* when;
  };
  static long long VehicleOf(const Cells& row, const char* column) {
    const auto it = row.find(column);
    return it != row.end() && it->second ? std::stoll(*it->second) : 0;
  }
  void Rows(const Table& t, const std::function<long long(long long, const Cells&)>& vehicle_of) {
    for (const auto& [id, row] : t.expected) {
      const long long wag = vehicle_of(id, row);
      if (!Wanted(wag)) continue;
      ++c_.Of(t.section, wag).expected;
      if (id < 0) {
        c_.Add({t.section, "lost", r_.Describe(r_.sent.at(t.missing.at(id) - 1)),
                fmt::format("the {} it makes is not in {}", t.noun, t.place), wag});
        continue;
      }
      const auto actual = t.actual.find(id);
      if (actual == t.actual.end()) {
        c_.Add({t.section, "lost", fmt::format("{} {}", t.noun, id), fmt::format("not in {}", t.place), wag});
        continue;
      }
      ++c_.Of(t.section, wag).present;
      const auto diffs = CompareCells(row, actual->second, t.columns);
      if (!diffs.empty()) c_.Add({t.section, "wrong", fmt::format("{} {} ({})", t.noun, id, Taxi(r_, wag)), Join(diffs), wag});
    }
    for (const auto& [id, row] : t.actual) {
      if (t.expected.count(id)) continue;
      const long long wag = VehicleOf(row, t.vehicle);
      if (!Wanted(wag)) continue;
      const Cell& when = row.at(t.when);
      bool again = false;
      for (const auto& [other, known] : t.expected)
        again = again || (when && known.count(t.when) && known.at(t.when) == when && VehicleOf(known, t.vehicle) == wag);
      c_.Add({t.section, again ? "twice" : "wrong", fmt::format("{} {} ({})", t.noun, id, Taxi(r_, wag)),
              fmt::format("not expected: {} {}", t.when, ShowCell(when)), wag});
    }
  }

  void Rides() {
    Rows({"rides", "ride", "planning", e_.rides, s_.rides, e_.missing_rides, RideColumns(), "pla_wagen",
          "pla_tijdstip_locatie"},
         [&](long long id, const Cells&) { return e_.ride_vehicle.count(id) ? e_.ride_vehicle.at(id) : 0; });
  }

  void Sheets() {
    Rows({"trip sheets", "trip sheet", "ritstaten", e_.sheets, s_.sheets, e_.missing_sheets, SheetColumns(),
          "lsn_wag_id", "lsn_aanvang"},
         [](long long, const Cells& row) { return VehicleOf(row, "lsn_wag_id"); });
  }

  template <typename Key, typename Show>
  void Bag(const std::string& section, long long wag, const std::vector<Key>& expected,
           const std::vector<Key>& actual, Show show) {
    std::vector<Key> missing, extra;
    Tally& t = c_.Of(section, wag);
    t.expected += static_cast<long long>(expected.size());
    CompareBag(expected, actual, missing, extra, t.present);
    const std::set<Key> known(expected.begin(), expected.end());
    for (const Key& k : missing) c_.Add({section, "lost", Taxi(r_, wag), show(k), wag});
    for (const Key& k : extra) c_.Add({section, known.count(k) ? "twice" : "wrong", Taxi(r_, wag), show(k), wag});
  }

  void PerVehicle() {
    for (const Vehicle& v : r_.setup.vehicles) {
      const long long w = v.wag_id;
      if (!Wanted(w)) continue;
      const auto notices = [&](const std::map<long long, std::vector<Notice>>& m) {
        std::vector<std::pair<long long, std::string>> out;
        if (m.count(w))
          for (const Notice& n : m.at(w)) out.emplace_back(n.status, n.text);
        return out;
      };
      Bag("notifications", w, notices(e_.notices), notices(s_.notices),
          [](const std::pair<long long, std::string>& n) { return fmt::format("{} \"{}\"", n.first, n.second); });

      const auto fuel = [&](const std::map<long long, std::vector<Cells>>& m) {
        std::vector<std::string> out;
        if (m.count(w))
          for (const Cells& row : m.at(w)) {
            std::string text;
            for (const ColumnSpec& col : FuelColumns()) text += fmt::format("{}={} ", col.name, ShowCell(row.at(col.name)));
            out.push_back(text);
          }
        return out;
      };
      Bag("fuel rows", w, fuel(e_.fuel), fuel(s_.fuel), [](const std::string& row) { return row; });

      const auto sectors = [&](const std::map<long long, std::vector<long long>>& m) {
        return m.count(w) ? m.at(w) : std::vector<long long>();
      };
      Bag("sectors", w, sectors(e_.sectors), sectors(s_.sectors),
          [](long long sector) { return fmt::format("sector {}", sector); });

      Count("keep-alives", w, e_.keep_alives, s_.keep_alives, "berichtenbox rows ALIVE-NOOP");
      if (s_.route_checks_recorded)
        Count("route checks", w, e_.route_checks, s_.route_checks, "calls of PROC_ROUTESTATUS_CONTROLE");
      Tally& t = c_.Of("odometers", w);
      ++t.expected;
      const long long want = e_.kmstand.count(w) ? e_.kmstand.at(w) : 0;
      const long long have = s_.kmstand.count(w) ? s_.kmstand.at(w) : 0;
      if (want == have) ++t.present;
      else c_.Add({"odometers", "wrong", Taxi(r_, w), fmt::format("wag_kmstand {} (expected {})", have, want), w});
    }
  }

  void Count(const std::string& section, long long w, const std::map<long long, long long>& expected,
             const std::map<long long, long long>& actual, const std::string& what) {
    const long long want = expected.count(w) ? expected.at(w) : 0;
    const long long have = actual.count(w) ? actual.at(w) : 0;
    Tally& t = c_.Of(section, w);
    t.expected += want;
    t.present += std::min(want, have);
    for (long long i = have; i < want; ++i) c_.Add({section, "lost", Taxi(r_, w), fmt::format("{} {} of {}", what, have, want), w});
    for (long long i = want; i < have; ++i) c_.Add({section, "twice", Taxi(r_, w), fmt::format("{} {} of {}", what, have, want), w});
  }

  void Skype() {
    std::map<long long, std::vector<std::pair<std::string, long long>>> expected, actual;
    const auto vehicle = [&](long long ride) { return e_.ride_vehicle.count(ride) ? e_.ride_vehicle.at(ride) : 0; };
    for (const auto& call : e_.skype) expected[vehicle(call.second)].push_back(call);
    for (const auto& call : s_.skype) actual[vehicle(call.second)].push_back(call);
    std::set<long long> wags;
    for (const auto& [w, calls] : expected) wags.insert(w);
    for (const auto& [w, calls] : actual) wags.insert(w);
    for (long long w : wags)
      if (Wanted(w))
        Bag("customer calls", w, expected[w], actual[w], [](const std::pair<std::string, long long>& call) {
          return fmt::format("skype row {} for ride {}", call.first, call.second);
        });
  }

  void Box() {
    std::map<long long, long long> vehicle;
    for (const DeskAction& a : r_.desk)
      if (a.kind == DeskAction::Kind::kMessageRow) vehicle[a.bbo_id] = a.wag_id;
    for (const auto& [bbo_id, want] : e_.box_rows) {
      const long long w = vehicle[bbo_id];
      if (!Wanted(w)) continue;
      Tally& t = c_.Of("message-box rows", w);
      ++t.expected;
      const auto have = s_.box_rows.find(bbo_id);
      if (have == s_.box_rows.end()) {
        c_.Add({"message-box rows", "lost", fmt::format("berichtenbox row {}", bbo_id), "gone", w});
      } else if (have->second != want) {
        c_.Add({"message-box rows", "wrong", fmt::format("berichtenbox row {} ({})", bbo_id, Taxi(r_, w)),
                fmt::format("bbo_verwerkt {} (expected {})", have->second, want), w});
      } else {
        ++t.present;
      }
    }
  }

  void Terminals() {
    std::map<std::string, long long> by_imei;
    for (const Vehicle& v : r_.setup.vehicles) by_imei[v.imei] = v.wag_id;
    struct Reception {
      std::string key;
      int connection;
      long long seq;
      double real_s;
    };
    std::map<int, double> closed_at;
    for (const ConnectionSpan& c : r_.connections) closed_at[c.number] = c.closed_s;
    std::map<long long, std::vector<Reception>> received;
    for (const ReceivedPacket& p : r_.received) {
      const gateway::PakketVelden f = gateway::ReadPacket(p.text);
      const auto w = by_imei.find(f.Get("UNIT"));
      received[w == by_imei.end() ? 0 : w->second].push_back({ReceivedKey(f), p.connection, p.seq, p.real_s});
    }
    std::set<long long> wags;
    for (const auto& [w, items] : e_.outbound) wags.insert(w);
    for (const auto& [w, items] : received) wags.insert(w);
    for (long long w : wags) {
      if (!Wanted(w)) continue;
      const std::vector<OutItem> expected = e_.outbound.count(w) ? e_.outbound.at(w) : std::vector<OutItem>();
      const std::vector<Reception>& got = received[w];
      Tally& t = c_.Of("terminal packets", w);
      std::map<std::string, std::vector<const Reception*>> by_key;
      for (const Reception& g : got) by_key[g.key].push_back(&g);
      std::map<std::string, long long> wanted;
      for (const OutItem& item : expected) ++wanted[item.key];
      for (const auto& [key, n] : wanted) {
        t.expected += n;
        const auto& copies = by_key[key];
        const long long have = static_cast<long long>(copies.size());
        t.present += std::min(n, have);
        for (long long i = have; i < n; ++i) c_.Add({"terminal packets", "lost", Taxi(r_, w), key + ": not received", w});
        // A copy that opens a later connection, whose copy before it came in the last
        // seconds of its connection, was in flight (not yet acknowledged) when that
        // connection ended: one such copy over is allowed for each.
        long long resent = 0;
        for (long long i = 1; i < have; ++i) {
          const Reception& before = *copies[i - 1];
          const auto end = closed_at.find(before.connection);
          if (copies[i]->connection != before.connection && end != closed_at.end() && end->second >= 0 &&
              before.real_s >= end->second - 5)
            ++resent;
        }
        for (long long i = n; i < have; ++i) {
          Finding f{"terminal packets", "twice", Taxi(r_, w),
                    fmt::format("{}: received {} times (connections {} and {})", key, have,
                                copies[i - 1]->connection, copies[i]->connection),
                    w};
          if (resent > 0) {
            --resent;
            f.allowance = kInFlightAtConnectionEnd;
          }
          c_.Add(f);
        }
      }
      for (const auto& [key, copies] : by_key)
        if (!wanted.count(key))
          c_.Add({"terminal packets", "wrong", Taxi(r_, w), fmt::format("{}: not expected ({} times)", key, copies.size()), w});
      // The message-box packets in the order of their rows. Each row takes a copy of its
      // kind and ride (an offer made again has its own): the first not taken at or after
      // the one before it, else the first not taken (out of order). Copies left over
      // were sent again, and must not come after the withdrawal of their ride either.
      std::map<std::string, std::vector<std::size_t>> at_of;
      for (std::size_t i = 0; i < got.size(); ++i) at_of[got[i].key].push_back(i);
      std::set<std::size_t> assigned;
      std::size_t last = 0;
      std::string last_key;
      for (const OutItem& item : expected) {
        if (!item.from_box) continue;
        std::optional<std::size_t> pick;
        for (std::size_t i : at_of[item.key]) {
          if (assigned.count(i)) continue;
          if (!pick) pick = i;
          if (i >= last) {
            pick = i;
            break;
          }
        }
        if (!pick) continue;
        const std::size_t at = *pick;
        assigned.insert(at);
        if (!last_key.empty() && at < last)
          c_.Add({"terminal packets", "wrong", Taxi(r_, w),
                  fmt::format("{} (row {}) received before {}, whose row is older", item.key, item.bbo_id, last_key), w});
        if (at >= last) {
          last = at;
          last_key = item.key;
        }
      }
      for (std::size_t i = 0; i < got.size(); ++i) {
        if (!got[i].key.starts_with("offer ") || assigned.count(i)) continue;
        const auto withdrawals = at_of.find("withdrawal " + got[i].key.substr(6));
        if (withdrawals != at_of.end() && withdrawals->second.front() < i)
          c_.Add({"terminal packets", "wrong", Taxi(r_, w), got[i].key + ": received again after its withdrawal", w});
      }
    }
  }

  void ServiceNotices() {
    long long opened = 0, closed = 0, stops = 1;  // the stop at the end of the run
    for (const ConnectionSpan& c : r_.connections) {
      ++opened;
      if (c.closed_by != "killed") ++closed;
    }
    for (const FaultEvent& f : r_.faults)
      if (f.kind == "service stopped") ++stops;
    std::map<long long, long long> have;
    std::vector<std::string> strange;
    if (s_.notices.count(0))
      for (const Notice& n : s_.notices.at(0)) {
        ++have[n.status];
        const bool right = (n.status == 4006 && n.text.starts_with("Taxis Dorvek ZOL cliënt verbinding gestart op ")) ||
                           (n.status == 4007 && n.text.starts_with("Taxis Dorvek ZOL cliënt verbinding gestopt op ")) ||
                           n.status == 4008;
        if (!right) strange.push_back(fmt::format("{} \"{}\"", n.status, n.text));
      }
    for (const auto& [status, want] : std::map<long long, long long>{{4006, opened}, {4007, closed}, {4008, stops}}) {
      Tally& t = c_.Of("service notifications", 0);
      t.expected += want;
      t.present += std::min(want, have[status]);
      if (have[status] != want)
        c_.Add({"service notifications", have[status] < want ? "lost" : "twice", "the service",
                fmt::format("{} notifications {} (expected {})", status, have[status], want), 0});
    }
    for (const std::string& s : strange) c_.Add({"service notifications", "wrong", "the service", s, 0});
    for (const std::string& s : s_.notice_faults) c_.Add({"notifications", "wrong", "StatusMeldingen", s, 0});
  }

  static std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : "; ") + p;
    return out;
  }

  const Record& r_;
  const Expectation& e_;
  const DispatchState& s_;
  long long only_;
  Comparison c_;
};

// The faults after which a packet may have been handled twice, one slot each.
class TwiceSlots {
 public:
  explicit TwiceSlots(const Record& record) {
    for (const FaultEvent& f : record.faults) {
      const char* name = f.kind == "service killed" ? kTwiceAfterCrash
                         : f.kind == "database server stopped" || f.kind == "commit answer lost" ? kTwiceAfterOutage
                                                                                                 : nullptr;
      if (name == nullptr) continue;
      Slot slot{f.real_s, std::nullopt, name, false};
      if (record.info.wall_start)
        slot.wall = record.info.wall_start->AddSeconds(static_cast<long long>(std::llround(f.real_s)));
      slots_.push_back(slot);
    }
  }
  // The allowance of an unused slot for a packet written at `written` (seconds of the
  // run; negative: unknown) whose two handlings the service stamped `first` and `again`
  // (when known): the fault must lie between them, give or take a second, else merely
  // after the packet was written. Empty when none is left.
  std::string Take(double written, const core::DateTime* first = nullptr, const core::DateTime* again = nullptr) {
    for (Slot& s : slots_) {
      if (s.used) continue;
      bool fits = written < 0 || s.at >= written;
      if (first && again && s.wall)
        fits = *first->AddSeconds(-1) <= *s.wall && *s.wall <= *again->AddSeconds(1);
      if (fits) {
        s.used = true;
        return s.name;
      }
    }
    return {};
  }

 private:
  struct Slot {
    double at;
    std::optional<core::DateTime> wall;
    const char* name;
    bool used;
  };
  std::vector<Slot> slots_;
};

}  // namespace

double ExpectedCoordinate(const std::string& text, int degree_digits) {
  std::string s;
  for (char c : text)
    if (c != '+' && c != ' ') s += c;
  if (s.size() < 7) return -999;
  std::string seconds = s.substr(s.size() - 5);
  std::replace(seconds.begin(), seconds.end(), ',', '.');
  try {
    const double value = std::stod(s.substr(0, degree_digits)) + std::stod(s.substr(s.size() - 7, 2)) / 60.0 +
                         std::stod(seconds) / 3600.0;
    return std::round(value * 10000.0) / 10000.0;
  } catch (const std::exception&) {
    return -999;
  }
}

Report Check(const Record& record, db::Database& db) { return Check(record, ReadDispatchState(db)); }

Report Check(const Record& record, const DispatchState& state) {
  Report report;
  for (const char* s : kSections) report.sections.push_back(s);
  Comparison positions;
  TwiceSlots slots(record);

  // How often each packet was handled, from its trace.
  std::map<long long, int> handled;
  std::set<std::pair<std::string, std::string>> used;
  // A packet without a trace still waiting in the queue file has had no effect either.
  long long untraced_waiting = 0;
  for (const SentPacket& p : record.sent) {
    if (!p.traced) {
      if (p.queued_at_end) handled[p.seq] = 0, ++untraced_waiting;
      continue;
    }
    const Vehicle* v = record.setup.FindVehicle(p.wag_id);
    const auto time = Record::PacketTime(p);
    if (v == nullptr || !time) continue;
    const auto key = std::make_pair(v->imei, time->ToSql());
    used.insert(key);
    const auto found = state.positions.find(key);
    const long long count = found == state.positions.end() ? 0 : found->second.count;
    handled[p.seq] = static_cast<int>(count);
    Tally& t = positions.Of("positions", p.wag_id);
    ++t.expected;
    if (count == 0) {
      Finding f{"positions", "lost", record.Describe(p), "no gps row", p.wag_id};
      if (p.connection == 0) f.detail = "no gps row: the gateway never wrote it (the run ended first)";
      if (p.unread_at_kill) f.allowance = kUnreadAtKill;
      if (p.queued_at_end) f.allowance = kQueuedAtEnd;
      positions.Add(f);
      continue;
    }
    ++t.present;
    const PositionRows& row = found->second;
    std::vector<core::DateTime> stamps = row.written;
    std::sort(stamps.begin(), stamps.end());
    for (long long i = 1; i < count; ++i) {
      const bool known = static_cast<std::size_t>(i) < stamps.size();
      Finding f{"positions", "twice", record.Describe(p),
                known ? fmt::format("{} gps rows, written at {} and {}", count, stamps[i - 1].ToSql().substr(11),
                                    stamps[i].ToSql().substr(11))
                      : fmt::format("{} gps rows", count),
                p.wag_id};
      f.allowance = known ? slots.Take(p.written_s, &stamps[i - 1], &stamps[i]) : slots.Take(p.written_s);
      positions.Add(f);
    }
    const std::string* lat = FindPair(p.fields, "042");
    const std::string* lon = FindPair(p.fields, "043");
    std::vector<std::string> wrong;
    if (lat && std::fabs(row.latitude - ExpectedCoordinate(*lat, 2)) > 0.00011)
      wrong.push_back(fmt::format("GPS_Latitude {} (expected {:.4f})", row.latitude, ExpectedCoordinate(*lat, 2)));
    if (lon && std::fabs(row.longitude - ExpectedCoordinate(*lon, 3)) > 0.00011)
      wrong.push_back(fmt::format("GPS_Longitude {} (expected {:.4f})", row.longitude, ExpectedCoordinate(*lon, 3)));
    if (row.bdr_id != record.setup.bdr_id) wrong.push_back(fmt::format("GOS_bdr_id {}", row.bdr_id));
    if (row.statuscode != "ATU") wrong.push_back("GPS_Statuscode " + row.statuscode);
    if (!wrong.empty()) positions.Add({"positions", "wrong", record.Describe(p), fmt::format("{}", fmt::join(wrong, "; ")), p.wag_id});
  }
  if (untraced_waiting > 0)
    report.notes.push_back(fmt::format("{} packets without a position (keep-alives and the like) still in the "
                                       "service's queue file at the end, taken as not handled", untraced_waiting));
  for (const auto& [key, row] : state.positions)
    if (!used.count(key))
      positions.Add({"positions", "wrong", key.first, fmt::format("{} gps rows at {} for no packet sent", row.count, key.second), 0});

  // The expectation by the trace, then, per vehicle whose rows differ, the packets whose
  // handling is uncertain taken otherwise, if that explains more.
  Comparison main = Comparer(record, Expect(record, state.ids, handled), state, -1).Run();
  std::map<long long, std::vector<const SentPacket*>> uncertain;
  for (const SentPacket& p : record.sent) {
    if (p.wag_id == 0 || p.fields.empty() || p.queued_at_end) continue;
    bool near_fault = false;
    for (const FaultEvent& f : record.faults)
      if ((f.kind == "service killed" || f.kind == "database server stopped" || f.kind == "write lock" ||
           f.kind == "commit answer lost") &&
          p.written_s >= 0 && p.written_s <= f.real_s + f.seconds && p.written_s >= f.real_s - 60)
        near_fault = true;
    const auto h = handled.find(p.seq);
    if ((h != handled.end() && h->second != 1) || (!p.traced && near_fault && p.kind != "keep-alive"))
      uncertain[p.wag_id].push_back(&p);
  }
  std::map<long long, Comparison> replaced;
  // Bounded, so a run with many uncertain packets is still checked in minutes.
  int looks_left = 3000;
  for (auto& [wag, packets] : uncertain) {
    const long long base = main.CountFor(wag);
    if (base == 0 || looks_left <= 0) continue;
    if (packets.size() > 4) packets.erase(packets.begin(), packets.end() - 4);
    std::size_t combos = 1;
    for (std::size_t i = 0; i < packets.size(); ++i) combos *= 3;
    // The fewest differences, and among those the fewest packets taken otherwise than
    // traced (a parked taxi's position leaves nothing but its row to tell).
    long long best = base;
    int best_changes = 0;
    std::map<long long, int> best_handled;
    looks_left -= static_cast<int>(combos);
    for (std::size_t combo = 0; combo < combos; ++combo) {
      std::map<long long, int> trial = handled;
      std::size_t rest = combo;
      for (const SentPacket* p : packets) {
        trial[p->seq] = static_cast<int>(rest % 3);
        rest /= 3;
      }
      Comparison c = Comparer(record, Expect(record, state.ids, trial, wag), state, wag).Run();
      const long long n = c.CountFor(wag);
      int changes = 0;
      for (const SentPacket* p : packets) changes += trial[p->seq] != (handled.count(p->seq) ? handled[p->seq] : 1);
      if (n < best || (n == best && !best_handled.empty() && changes < best_changes)) {
        best = n;
        best_changes = changes;
        best_handled = trial;
        replaced[wag] = std::move(c);
      }
    }
    if (best_handled.empty()) continue;
    for (const SentPacket* p : packets) {
      const int traced = handled.count(p->seq) ? handled[p->seq] : 1;
      const int taken = best_handled[p->seq];
      if (taken == traced) continue;
      report.notes.push_back(fmt::format("{} taken as handled {} times (its trace says {})", record.Describe(*p),
                                         taken, traced));
      Comparison& c = replaced[wag];
      if (taken > traced) {
        Finding f{"positions", "twice", record.Describe(*p), "its effects are there twice", wag};
        f.allowance = slots.Take(p->written_s);
        c.Add(f);
      } else if (taken == 0) {
        c.Add({"positions", "lost", record.Describe(*p), "its position row is there, its other effects are not", wag});
      }
    }
  }

  // Everything together.
  std::vector<Finding> all = positions.findings;
  std::map<std::pair<std::string, long long>, Tally> tallies = positions.tallies;
  for (const Finding& f : main.findings)
    if (!replaced.count(f.wag_id) || f.wag_id == 0) all.push_back(f);
  for (const auto& [key, t] : main.tallies)
    if (!replaced.count(key.second) || key.second == 0) {
      Tally& sum = tallies[key];
      sum.expected += t.expected, sum.present += t.present, sum.lost += t.lost, sum.twice += t.twice,
          sum.wrong += t.wrong;
    }
  for (const auto& [wag, c] : replaced) {
    for (const Finding& f : c.findings) all.push_back(f);
    for (const auto& [key, t] : c.tallies) {
      Tally& sum = tallies[key];
      sum.expected += t.expected, sum.present += t.present, sum.lost += t.lost, sum.twice += t.twice,
          sum.wrong += t.wrong;
    }
  }
  // Keep-alives carry no trace: one over is a packet handled twice, if a slot is left.
  for (Finding& f : all)
    if (f.section == "keep-alives" && f.kind == "twice" && f.allowance.empty()) {
      f.allowance = slots.Take(-1);
      if (!f.allowance.empty()) --tallies[{f.section, f.wag_id}].twice;
    }
  // Nor does a keep-alive the service had not read when it was killed: it may be missing.
  std::map<long long, long long> unread_alive;
  for (const SentPacket& p : record.sent)
    if (p.kind == "keep-alive" && p.unread_at_kill) ++unread_alive[p.wag_id];
  for (Finding& f : all)
    if (f.section == "keep-alives" && f.kind == "lost" && f.allowance.empty() && unread_alive[f.wag_id] > 0) {
      --unread_alive[f.wag_id];
      f.allowance = kUnreadAtKill;
      --tallies[{f.section, f.wag_id}].lost;
    }
  for (const auto& [key, t] : tallies) {
    Tally& sum = report.tallies[key.first];
    sum.expected += t.expected, sum.present += t.present, sum.lost += t.lost, sum.twice += t.twice,
        sum.wrong += t.wrong;
  }
  for (Finding& f : all) {
    if (f.allowance.empty()) {
      report.differences.push_back(std::move(f));
    } else {
      ++report.allowances[f.allowance];
      report.allowed.push_back(std::move(f));
    }
  }
  return report;
}

std::string Report::Text(std::size_t max_findings) const {
  std::string out = fmt::format("checker: {} ({} differences, {} within allowances)\n",
                                Passed() ? "no difference beyond the allowances" : "DIFFERENCES FOUND",
                                differences.size(), allowed.size());
  out += fmt::format("  {:<22} {:>9} {:>9} {:>6} {:>6} {:>6}\n", "", "expected", "present", "lost", "twice", "wrong");
  for (const std::string& s : sections) {
    const auto t = tallies.find(s);
    if (t == tallies.end()) continue;
    out += fmt::format("  {:<22} {:>9} {:>9} {:>6} {:>6} {:>6}\n", s, t->second.expected, t->second.present,
                       t->second.lost, t->second.twice, t->second.wrong);
  }
  out += "  allowances:\n";
  for (const char* name : {kTwiceAfterCrash, kTwiceAfterOutage, kInFlightAtConnectionEnd, kUnreadAtKill, kQueuedAtEnd}) {
    const auto a = allowances.find(name);
    out += fmt::format("    {:>4}  {}\n", a == allowances.end() ? 0 : a->second, name);
  }
  // At most max_findings lines of a list, then how many more there are.
  const auto list = [&](const std::vector<Finding>& findings, const char* more, auto line) {
    for (std::size_t i = 0; i < findings.size(); ++i) {
      if (i == max_findings) {
        out += fmt::format(fmt::runtime(more), findings.size() - max_findings);
        break;
      }
      out += line(findings[i]);
    }
  };
  list(allowed, "    ... and {} more allowed\n", [](const Finding& f) {
    return fmt::format("    allowed: {} {} {}: {}\n", f.section, f.kind, f.concerns, f.detail);
  });
  for (const std::string& n : notes) out += "  note: " + n + "\n";
  list(differences, "  ... and {} more\n", [](const Finding& f) {
    return fmt::format("  {:<6} {:<18} {}: {}\n", f.kind, f.section, f.concerns, f.detail);
  });
  return out;
}

}  // namespace dorvek::fleet
