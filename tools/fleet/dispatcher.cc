#include "fleet/dispatcher.h"

#include <memory>

#include <fmt/format.h>

namespace dorvek::fleet {
namespace {

constexpr SimMs kPollEvery = 30 * kSecond;
constexpr SimMs kPlanEvery = kMinute;
// A taxi is offered a ride only with this much of its shift left.
constexpr SimMs kRideRoom = 30 * kMinute;

const std::vector<std::string> kStreets = {"Hoogstraat", "Kerkstraat", "Markt", "Vestdijk", "Aalsterweg",
                                           "Stratumsedijk", "Boschdijk", "Catharinaplein", "Dorpsstraat",
                                           "Tongelresestraat", "Kastanjelaan"};
const std::vector<std::string> kTowns = {"Eindhoven", "Veldhoven", "Geldrop", "Nuenen", "Best", "Waalre", "Mierlo"};
const std::vector<std::string> kRemarks = {"", "", "", "Rollator mee", "Rolstoel inklapbaar", "Hond mee",
                                           "Klant slechtziend, aanbellen", "Vaste klant, ophalen bij achteringang"};
const std::vector<std::string> kTexts = {"", "", "Bel aan bij de buren; nr. 12", "Klant \"Jansen\" wacht binnen #3",
                                         "Retour om 16:00, zelfde adres, graag op tijd zijn want de klant heeft "
                                         "een afspraak in het ziekenhuis en daarna nog een bezoek aan de apotheek"};
const std::vector<std::string> kMessages = {"Graag bellen naar de centrale", "Let op: file op de A2",
                                            "Wegafsluiting Kruisstraat tot 18:00", "Dienstoverleg morgen 9:00",
                                            "Klant van rit vanmiddag belt af,\r\nrit vervalt"};

std::string IdList(const std::vector<long long>& ids) {
  std::string out;
  for (long long id : ids) out += (out.empty() ? "" : ",") + std::to_string(id);
  return out;
}

db::Value TextOrNull(const std::string& text) { return text.empty() ? db::Value(db::Null{}) : db::Value(text); }

}  // namespace

Dispatcher::Dispatcher(Parts parts, unsigned long long seed, SimMs duration)
    : parts_(parts), rng_(seed, 0xD15), duration_(duration) {}

void Dispatcher::Start() {
  Scheduler& s = parts_.scheduler;
  s.At(kPollEvery, [this] { Poll(); });
  s.At(2 * kMinute, [this] { Plan(); });
  s.At(rng_.Between(3 * kMinute, 10 * kMinute), [this] { Messages(); });
}

void Dispatcher::AwaitSheet(Taxi&) {}
void Dispatcher::AwaitFree(Taxi&) {}

void Dispatcher::Watch(Taxi& taxi, long long ride, const std::string& status) {
  taxi.watch_ride = ride;
  taxi.watch_status = status;
}

// --- looking -----------------------------------------------------------------------------

void Dispatcher::Poll() {
  if (!Running()) return;
  parts_.scheduler.At(parts_.scheduler.Now() + kPollEvery, [this] { Poll(); });
  if (polling_) return;
  polling_ = true;
  std::vector<long long> watched;
  for (const Taxi& taxi : parts_.taxis)
    if (taxi.watch_ride != 0) watched.push_back(taxi.watch_ride);
  auto sheets = std::make_shared<std::vector<db::Row>>();
  auto rides = std::make_shared<std::vector<db::Row>>();
  parts_.desk.Submit(
      [sheets, rides, watched](db::Database& db) {
        *sheets = db.Query(
            "select r.lsn_id, r.lsn_wag_id, r.lsn_chf_id, r.lsn_actie, r.lsn_rit, p.pla_status, "
            "p.pla_tijdstip_locatie from ritstaten r left join planning p on p.pla_id = r.lsn_rit "
            "where r.lsn_status = 0");
        rides->clear();
        if (!watched.empty())
          *rides = db.Query("select pla_id, pla_status from planning where pla_id in (" + IdList(watched) + ")");
      },
      [this, sheets, rides] {
        polling_ = false;
        Observe(*sheets, *rides);
      });
}

void Dispatcher::Observe(const std::vector<db::Row>& sheets, const std::vector<db::Row>& rides) {
  const core::DateTime& start = parts_.record.setup.start;
  for (Taxi& taxi : parts_.taxis) {
    if (taxi.watch_ride != 0) {
      for (const db::Row& ride : rides) {
        if (ride.Int("pla_id") != taxi.watch_ride || ride.Text("pla_status") != taxi.watch_status) continue;
        if (taxi.watch_status == "W") returned_.push_back(taxi.watch_ride);
        taxi.watch_ride = 0;
      }
    }
    for (const db::Row& sheet : sheets) {
      if (sheet.Int("lsn_wag_id") != taxi.vehicle->wag_id) continue;
      const long long lsn_id = sheet.Int("lsn_id");
      if (taxi.phase == Phase::kLoggingIn && sheet.Int("lsn_chf_id") == taxi.driver->chf_id &&
          lsn_id != taxi.closed_lsn) {
        taxi.lsn_id = lsn_id;
        parts_.events.SheetSeen(taxi);
        break;
      }
      if (taxi.phase == Phase::kAwaitFree && !taxi.freeing && lsn_id == taxi.lsn_id &&
          sheet.Text("lsn_actie") == "K" && sheet.Text("pla_status") == "V") {
        const long long ride = sheet.Int("lsn_rit");
        const auto located = sheet.Date("pla_tijdstip_locatie");
        const bool ours = taxi.ride != 0 ? ride == taxi.ride
                                         : located && *located == SimDateTime(start, taxi.hail_time);
        if (ride != 0 && ours) Free(taxi, lsn_id);
        break;
      }
    }
  }
}

// --- writing -----------------------------------------------------------------------------

DeskAction Dispatcher::NextRow(long long wag_id, long long actie, long long pla_id, std::string text) {
  const SimMs second = std::max(parts_.scheduler.Now() / kSecond * kSecond, last_row_second_ + kSecond);
  last_row_second_ = second;
  DeskAction row;
  row.kind = DeskAction::Kind::kMessageRow;
  row.wag_id = wag_id;
  row.actie = actie;
  row.pla_id = pla_id;
  row.text = std::move(text);
  row.bbo_datum = SimDateTime(parts_.record.setup.start, second);
  row.bbo_code = fmt::format("FLEET-{}", ++markers_);
  return row;
}

long long Dispatcher::WriteRow(db::Database& db, const DeskAction& row) {
  const std::string find = "select bbo_id from berichtenbox where bbo_code = :code";
  auto rows = db.Query(find, {{"code", row.bbo_code}});
  if (rows.empty()) {
    db.Insert("berichtenbox", {{"bbo_soort", 6LL},
                               {"bbo_bdr_id", 1LL},
                               {"bbo_wag_id", row.wag_id},
                               {"bbo_code", row.bbo_code},
                               {"bbo_datum", row.bbo_datum},
                               {"bbo_verwerkt", 0LL},
                               {"bbo_pakket", TextOrNull(row.text)},
                               {"bbo_pla_id", row.pla_id},
                               {"bbo_actie", row.actie}});
    rows = db.Query(find, {{"code", row.bbo_code}});
  }
  return rows.at(0).Int("bbo_id");
}

void Dispatcher::RecordRow(DeskAction row, long long bbo_id, bool yields_packet) {
  row.at = parts_.scheduler.Now();
  row.bbo_id = bbo_id;
  parts_.record.AddDesk(row);
  if (yields_packet) ++rows_written_;
}

Taxi* Dispatcher::IdleTaxi(SimMs needed) {
  std::vector<Taxi*> free;
  const SimMs now = parts_.scheduler.Now();
  for (Taxi& taxi : parts_.taxis)
    if (taxi.phase == Phase::kIdle && taxi.lsn_id != 0 && taxi.watch_ride == 0 && !taxi.freeing &&
        taxi.shift_end() - now >= needed)
      free.push_back(&taxi);
  return free.empty() ? nullptr : rng_.Pick(free);
}

void Dispatcher::Plan() {
  if (!Running()) return;
  parts_.scheduler.At(parts_.scheduler.Now() + kPlanEvery, [this] { Plan(); });
  Taxi* taxi = IdleTaxi(kRideRoom);
  if (taxi == nullptr) return;
  const double draw = rng_.Unit();
  const Fate fate = next_fate_ ? *next_fate_
                    : draw < 0.60 ? Fate::kComplete
                    : draw < 0.68 ? Fate::kNoShow
                    : draw < 0.78 ? Fate::kRefuse
                    : draw < 0.83 ? Fate::kReject
                    : draw < 0.88 ? Fate::kStale
                                  : Fate::kWithdraw;
  // The offer's row and packet, and the no-show's reply; a withdrawal takes its own when
  // it is written.
  const int rows = 1;
  const int packets = fate == Fate::kNoShow ? 2 : 1;
  next_fate_ = fate;
  if (!parts_.budget.TryTake(parts_.scheduler.Now(), rows, packets)) return;
  next_fate_.reset();
  long long returned = 0;
  if (!returned_.empty() && rng_.Chance(0.6)) {
    returned = returned_.front();
    returned_.pop_front();
  }
  Offer(*taxi, fate, returned);
}

void Dispatcher::Offer(Taxi& taxi, Fate fate, long long returned) {
  taxi.phase = Phase::kReserved;
  ++taxi.generation;
  taxi.driving = true;
  taxi.ride = 0;
  taxi.fate = fate;
  taxi.answered = false;
  taxi.accept_by_event = rng_.Chance(0.2);
  const SimMs now = parts_.scheduler.Now();
  const core::DateTime& start = parts_.record.setup.start;

  RidePlan plan;
  if (returned == 0) {
    plan.naam_reiziger = fmt::format("Klant {}", ++rides_planned_);
    plan.tijdstip = SimDateTime(start, now + rng_.Between(10 * kMinute, 40 * kMinute));
    plan.ophstraat = rng_.Pick(kStreets);
    plan.ophnummer = std::to_string(rng_.Between(1, 300));
    plan.ophpostcode = fmt::format("56{:02} {}{}", rng_.Between(10, 99), char('A' + rng_.Between(0, 25)),
                                   char('A' + rng_.Between(0, 25)));
    plan.ophstad = rng_.Pick(kTowns);
    plan.besstraat = rng_.Pick(kStreets);
    plan.bestnummer = std::to_string(rng_.Between(1, 300));
    plan.bestpostcode = fmt::format("56{:02} {}{}", rng_.Between(10, 99), char('A' + rng_.Between(0, 25)),
                                    char('A' + rng_.Between(0, 25)));
    plan.beststad = rng_.Pick(kTowns);
    if (rng_.Chance(0.5)) plan.telefoon = fmt::format("040-{}", rng_.Between(2000000, 2999999));
    plan.bellen = !plan.telefoon.empty() && rng_.Chance(0.7) ? 1 : 0;
    plan.opmerking = rng_.Pick(kRemarks);
    plan.tekst = rng_.Pick(kTexts);
    const double owner = rng_.Unit();
    if (owner < 0.33) plan.eigenaar = "000";
    else if (owner < 0.66) plan.eigenaar = "RBS";
    if (rng_.Chance(0.5)) plan.km_map = core::Decimal::FromHundredths(rng_.Between(150, 4500));
    plan.bedrag = core::Decimal::FromHundredths(rng_.Between(900, 6500));
    if (rng_.Chance(0.3)) plan.pasnummer = fmt::format("PAS{}", rng_.Between(1000, 9999));
    plan.lopers = rng_.Between(1, 3);
  }
  taxi.call_request = rng_.Chance(0.3);

  const long long wag_id = taxi.vehicle->wag_id;
  const long long lsn_id = taxi.lsn_id;
  const DeskAction row = NextRow(wag_id, 1, 0, "");
  auto id = std::make_shared<long long>(returned);
  auto bbo_id = std::make_shared<long long>(0);
  parts_.desk.Submit(
      [plan, row, id, bbo_id, returned, wag_id, lsn_id, now, start](db::Database& db) {
        if (returned == 0) {
          const std::string find = "select pla_id from planning where pla_naam_reiziger = :naam";
          auto rows = db.Query(find, {{"naam", plan.naam_reiziger}});
          if (rows.empty()) {
            db.Insert("planning",
                      {{"pla_bdr_id", 1LL},
                       {"pla_datum", SimDateTime(start, now)},
                       {"pla_tijdstip", plan.tijdstip},
                       {"pla_ophstraat", plan.ophstraat},
                       {"pla_ophnummer", plan.ophnummer},
                       {"pla_ophpostcode", plan.ophpostcode},
                       {"pla_ophstad", plan.ophstad},
                       {"pla_besstraat", plan.besstraat},
                       {"pla_bestnummer", plan.bestnummer},
                       {"pla_bestpostcode", plan.bestpostcode},
                       {"pla_beststad", plan.beststad},
                       {"pla_naam_reiziger", plan.naam_reiziger},
                       {"pla_telefoon", TextOrNull(plan.telefoon)},
                       {"pla_bellen", plan.bellen},
                       {"pla_opmerking", TextOrNull(plan.opmerking)},
                       {"pla_tekst", TextOrNull(plan.tekst)},
                       {"pla_eigenaar", plan.eigenaar ? db::Value(*plan.eigenaar) : db::Value(db::Null{})},
                       {"pla_km_map", plan.km_map ? db::Value(*plan.km_map) : db::Value(db::Null{})},
                       {"pla_bedrag", plan.bedrag},
                       {"pla_pasnummer", TextOrNull(plan.pasnummer)},
                       {"pla_lopers", plan.lopers},
                       {"pla_rollers", 0LL},
                       {"pla_rolstoel", 0LL},
                       {"pla_voorin", 0LL},
                       {"pla_combineren", 1LL},
                       {"pla_wagen", wag_id},
                       {"pla_lsn", lsn_id},
                       {"pla_route", 0LL},
                       {"pla_status", std::string("P")},
                       {"pla_com_status", 0LL},
                       {"pla_soortvervoer", std::string("A")},
                       {"pla_rc", 0LL},
                       {"pla_retour_rbs", 0LL},
                       {"pla_auto_wagen", 1LL},
                       {"pla_spoed", 0LL}});
            rows = db.Query(find, {{"naam", plan.naam_reiziger}});
          }
          *id = rows.at(0).Int("pla_id");
        } else {
          db.Execute(fmt::format("update planning set pla_wagen={}, pla_lsn={}, pla_status='P' where pla_id={}",
                                 wag_id, lsn_id, returned));
        }
        db.Execute(fmt::format("update ritstaten set lsn_rit={} where lsn_id={}", *id, lsn_id));
        DeskAction written = row;
        written.pla_id = *id;
        *bbo_id = WriteRow(db, written);
      },
      [this, &taxi, plan, row, id, bbo_id, returned, wag_id, lsn_id, fate] {
        DeskAction action;
        action.kind = returned == 0 ? DeskAction::Kind::kRideOffered : DeskAction::Kind::kRideReoffered;
        action.at = parts_.scheduler.Now();
        action.wag_id = wag_id;
        action.lsn_id = lsn_id;
        action.pla_id = *id;
        action.plan = plan;
        action.plan.pla_id = *id;
        parts_.record.AddDesk(action);
        DeskAction written = row;
        written.pla_id = *id;
        RecordRow(written, *bbo_id, true);
        taxi.ride = *id;
        parts_.events.RidePlanned(taxi);
        if (fate == Fate::kWithdraw) {
          Taxi* t = &taxi;
          const long long ride = *id;
          parts_.scheduler.At(parts_.scheduler.Now() + rng_.Between(kMinute, 4 * kMinute),
                              [this, t, ride, lsn_id] { Withdraw(*t, ride, lsn_id); });
          ++withdrawals_waiting_;
        }
      });
}

void Dispatcher::Withdraw(Taxi& taxi, long long ride, long long lsn_id) {
  if (!parts_.budget.TryTake(parts_.scheduler.Now(), 1, 1)) {
    Taxi* t = &taxi;
    parts_.scheduler.At(parts_.scheduler.Now() + kMinute, [this, t, ride, lsn_id] { Withdraw(*t, ride, lsn_id); });
    return;
  }
  --withdrawals_waiting_;
  const DeskAction row = NextRow(taxi.vehicle->wag_id, 2, ride, "");
  auto bbo_id = std::make_shared<long long>(0);
  parts_.desk.Submit(
      [row, bbo_id, ride, lsn_id](db::Database& db) {
        *bbo_id = WriteRow(db, row);
        db.Execute(fmt::format("update planning set pla_wagen=0, pla_lsn=0 where pla_id={}", ride));
        db.Execute(fmt::format("update ritstaten set lsn_rit=0 where lsn_id={}", lsn_id));
      },
      [this, &taxi, row, bbo_id, ride, lsn_id] {
        RecordRow(row, *bbo_id, true);
        DeskAction action;
        action.kind = DeskAction::Kind::kOfferWithdrawn;
        action.at = parts_.scheduler.Now();
        action.wag_id = taxi.vehicle->wag_id;
        action.lsn_id = lsn_id;
        action.pla_id = ride;
        parts_.record.AddDesk(action);
        parts_.events.RideWithdrawn(taxi);
      });
}

void Dispatcher::Free(Taxi& taxi, long long lsn_id) {
  taxi.freeing = true;
  parts_.desk.Submit(
      [lsn_id](db::Database& db) {
        db.Execute(fmt::format("update ritstaten set lsn_actie='M', lsn_rit=0 where lsn_id={}", lsn_id));
      },
      [this, &taxi, lsn_id] {
        DeskAction action;
        action.kind = DeskAction::Kind::kSheetFreed;
        action.at = parts_.scheduler.Now();
        action.wag_id = taxi.vehicle->wag_id;
        action.lsn_id = lsn_id;
        parts_.record.AddDesk(action);
        taxi.freeing = false;
        parts_.events.SheetFreed(taxi);
      });
}

void Dispatcher::Messages() {
  if (!Running()) return;
  parts_.scheduler.At(parts_.scheduler.Now() + rng_.Between(3 * kMinute, 12 * kMinute), [this] { Messages(); });
  // Room goes to the withdrawals first.
  if (withdrawals_waiting_ > 0 || !parts_.budget.TryTake(parts_.scheduler.Now(), 1, 1)) return;
  std::vector<Taxi*> on_duty, off_duty;
  for (Taxi& taxi : parts_.taxis) (taxi.on_duty() ? on_duty : off_duty).push_back(&taxi);
  const double draw = rng_.Unit();
  DeskAction row;
  bool yields = true;
  if (draw < 0.55 && !on_duty.empty()) {
    row = NextRow(rng_.Pick(on_duty)->vehicle->wag_id, rng_.Chance(0.5) ? 99 : 98, 0,
                  fmt::format("Bericht {}: {}", rows_written_ + 1, rng_.Pick(kMessages)));
  } else if (draw < 0.9 || off_duty.empty()) {
    row = NextRow(rng_.Pick(parts_.taxis).vehicle->wag_id, rng_.Pick(std::vector<long long>{3, 7, 8}), 0, "");
  } else if (draw < 0.96) {
    row = NextRow(rng_.Pick(off_duty)->vehicle->wag_id, 9, 0, "");
  } else {
    // A row the message box cannot handle: a ride that does not exist, or no such
    // action. It is set aside and must not hold up the rows behind it.
    const bool no_ride = rng_.Chance(0.5);
    row = NextRow(rng_.Pick(parts_.taxis).vehicle->wag_id, no_ride ? 1 : 5, no_ride ? 99999999 : 0, "");
    yields = false;
  }
  auto bbo_id = std::make_shared<long long>(0);
  parts_.desk.Submit([row, bbo_id](db::Database& db) { *bbo_id = WriteRow(db, row); },
                     [this, row, bbo_id, yields] { RecordRow(row, *bbo_id, yields); });
}

}  // namespace dorvek::fleet
