#include "fleet/fleet_model.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "gateway/packet_reader.h"
#include "gateway/packet_writer.h"

namespace dorvek::fleet {
namespace {

// Streets and towns around the company; some longer than the columns they go into.
const std::vector<std::string> kStreets = {
    "Stationsplein", "Markt", "Hoogstraat", "Kruisstraat", "Stratumsedijk", "Vestdijk", "Boschdijk",
    "Kerkstraat", "Aalsterweg", "Geldropseweg", "Woenselse Markt", "Professor Dorgelolaan",
    "Onze Lieve Vrouwestraat", "Sint Jorislaan", "Stratumseind", "Catharinaplein", "Jan van Hooffstraat",
    "Laan van de Verenigde Naties en de Wereldvrede"};
const std::vector<std::string> kTowns = {"Eindhoven", "Veldhoven",      "Geldrop",        "Nuenen",
                                         "Best",      "Waalre",         "Son en Breugel", "Sint-Oedenrode",
                                         "Heeze-Leende", "Nuenen, Gerwen en Nederwetten"};
const std::vector<std::string> kReasons = {"000", "001", "002", "063", "079", "123"};
// Status events: every code of the table, and a few that post nothing.
const std::vector<int> kStatusCodes = {0,  1,  2,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 16, 17, 18, 20, 21, 22,
                                       23, 24, 25, 26, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 40, 41, 42, 255,
                                       3,  38, 254};
const std::vector<std::string> kDriverTexts = {"File op de A2", "Klant wil pinnen", "Graag terugbellen",
                                               "Wegafsluiting Kruisstraat", "Ben over 5 min bij de klant"};

std::string Address(Rng& rng) { return fmt::format("{} {}", rng.Pick(kStreets), rng.Between(1, 240)); }

}  // namespace

FleetModel::FleetModel(Record& record, FleetOptions options, Scheduler& scheduler, GatewayPort& port,
                       DispatchDesk& desk)
    : record_(record), options_(options), scheduler_(scheduler), port_(port),
      budget_(options.rows_per_hour, options.packets_per_hour),
      dispatcher_({scheduler, desk, record, budget_, taxis_, *this}, options.seed, options.duration),
      rng_(options.seed, 0x6A7E) {
  const FleetSetup& setup = record_.setup;
  taxis_.reserve(setup.vehicles.size());
  for (const Vehicle& v : setup.vehicles) {
    taxis_.emplace_back(v, *setup.FindDriver(v.driver), Rng(options.seed, static_cast<std::uint64_t>(v.wag_id)));
    by_imei_[v.imei] = taxis_.size() - 1;
  }
}

void FleetModel::Start() {
  for (std::size_t i = 0; i < taxis_.size(); ++i) {
    Taxi& taxi = taxis_[i];
    taxi.odometer_m = static_cast<double>(taxi.vehicle->kmstand) * 1000.0 + taxi.rng.Real(0, 900);
    taxi.lat = taxi.rng.Real(51.40, 51.48);
    taxi.lon = taxi.rng.Real(5.40, 5.52);
    taxi.heading = taxi.rng.Real(0, 6.283);
    PlanShifts(taxi);
    if (!taxi.shifts.empty() && taxi.shifts.front().before_run) {
      for (const InitialSheet& sheet : record_.setup.sheets)
        if (sheet.wag_id == taxi.vehicle->wag_id) taxi.lsn_id = sheet.lsn_id;
      Enter(taxi, Phase::kIdle);
      Later(taxi, taxi.rng.Between(0, 5 * kMinute), &FleetModel::Step);
    } else if (!taxi.shifts.empty()) {
      Later(taxi, taxi.shifts.front().start, &FleetModel::LogIn);
    }
    scheduler_.At(taxi.rng.Between(0, options_.position_interval), [this, i] { PositionTick(i); });
    scheduler_.At(taxi.rng.Between(0, options_.keep_alive_interval), [this, i] { KeepAliveTick(i); });
  }
  scheduler_.At(rng_.Between(0, 20 * kMinute), [this] { GatewayTick(); });
  dispatcher_.Start();
}

void FleetModel::PlanShifts(Taxi& taxi) {
  const SimMs day = options_.duration;
  const SimMs longest = std::min<SimMs>(day, 10 * kHour);
  const bool before = std::any_of(record_.setup.sheets.begin(), record_.setup.sheets.end(),
                                  [&](const InitialSheet& s) { return s.wag_id == taxi.vehicle->wag_id; });
  SimMs start = before ? 0 : taxi.rng.Between(0, day / 2);
  bool first = true;
  while (start < day) {
    Shift shift;
    shift.before_run = before && first;
    shift.start = start;
    const SimMs length = shift.before_run ? taxi.rng.Between(longest / 3, longest * 3 / 2)
                                          : taxi.rng.Between(longest * 2 / 5, longest * 9 / 10);
    shift.end = start + std::max<SimMs>(length, 20 * kMinute);
    taxi.shifts.push_back(shift);
    start = shift.end + taxi.rng.Between(std::max<SimMs>(10 * kMinute, day / 20), std::max<SimMs>(20 * kMinute, day / 3));
    first = false;
  }
}

// --- the terminal's packets -------------------------------------------------------------

std::string FleetModel::NextTime(Taxi& taxi) {
  const SimMs second = std::max(scheduler_.Now() / kSecond * kSecond, taxi.last_time + kSecond);
  taxi.last_time = second;
  return SimDateTime(record_.setup.start, second).ToSql();
}

PacketHeader FleetModel::Header(Taxi& taxi, const std::string& type, const std::string& number,
                                const std::string& status) {
  taxi.tag = (taxi.tag + 1) % 1000;
  // Now and then a terminal reports its identity with the prefix.
  const std::string unit = taxi.rng.Chance(0.05) ? taxi.vehicle->imei : taxi.vehicle->unit;
  return {fmt::format("{:03}", taxi.tag), type, status, NextTime(taxi), unit, number};
}

void FleetModel::Send(Taxi& taxi, const std::string& kind, PacketHeader header, Pairs pairs, bool traced) {
  if (traced) {
    pairs.emplace_back("042", LatitudeText(taxi.lat));
    pairs.emplace_back("043", LongitudeText(taxi.lon));
  }
  SentPacket packet;
  packet.wag_id = taxi.vehicle->wag_id;
  packet.kind = kind;
  packet.traced = traced;
  packet.fields = MakePacket(header, pairs);
  const std::string text = gateway::BuildPacket(packet.fields);
  Hand(std::move(packet), text);
}

void FleetModel::SendGateway(Taxi& taxi, const std::string& kind, PacketHeader header, Pairs pairs) {
  Send(taxi, kind, std::move(header), std::move(pairs), false);
}

void FleetModel::Hand(SentPacket packet, const std::string& text) {
  packet.at = scheduler_.Now();
  const long long seq = record_.AddSent(std::move(packet));
  port_.Deliver(seq, text);
}

void FleetModel::Junk(std::string bytes) {
  SentPacket packet;
  packet.kind = "junk";
  packet.junk = bytes;
  Hand(std::move(packet), bytes);
}

// --- time passing -----------------------------------------------------------------------

void FleetModel::Later(Taxi& taxi, SimMs delay, Action action) {
  const long long generation = taxi.generation;
  Taxi* t = &taxi;
  scheduler_.At(scheduler_.Now() + std::max<SimMs>(delay, 0), [this, t, generation, action] {
    if (t->generation != generation || !Running()) return;
    (this->*action)(*t);
  });
}

void FleetModel::Enter(Taxi& taxi, Phase phase) {
  taxi.phase = phase;
  ++taxi.generation;
  switch (phase) {
    case Phase::kHail:
    case Phase::kToPickup:
    case Phase::kOnBoard:
    case Phase::kAwaitFree:
      taxi.driving = true;
      break;
    case Phase::kIdle:
      taxi.driving = taxi.rng.Chance(0.5);
      break;
    default:
      taxi.driving = false;
  }
}

void FleetModel::Move(Taxi& taxi, SimMs elapsed) {
  if (!taxi.driving) return;
  const double metres = taxi.rng.Real(4, 14) * static_cast<double>(elapsed) / 1000.0;
  taxi.heading += taxi.rng.Real(-0.6, 0.6);
  taxi.lat += std::cos(taxi.heading) * metres / 111000.0;
  taxi.lon += std::sin(taxi.heading) * metres / 69500.0;
  if (taxi.lat < 51.36 || taxi.lat > 51.52 || taxi.lon < 5.32 || taxi.lon > 5.62) taxi.heading += 3.1416;
  taxi.lat = std::clamp(taxi.lat, 51.35, 51.53);
  taxi.lon = std::clamp(taxi.lon, 5.31, 5.63);
  taxi.odometer_m += metres;
}

void FleetModel::PositionTick(std::size_t index) {
  if (!Running()) return;
  Taxi& taxi = taxis_[index];
  // While driving a position every interval; standing on duty one every few minutes.
  const SimMs interval = taxi.driving ? options_.position_interval : 3 * kMinute;
  Move(taxi, interval);
  if (taxi.on_duty()) Send(taxi, "position", Header(taxi, "KEY", "099"), {});
  scheduler_.At(scheduler_.Now() + interval, [this, index] { PositionTick(index); });
}

void FleetModel::KeepAliveTick(std::size_t index) {
  if (!Running()) return;
  Taxi& taxi = taxis_[index];
  Send(taxi, "keep-alive", Header(taxi, "NOOP", "000"), {}, false);
  scheduler_.At(scheduler_.Now() + options_.keep_alive_interval, [this, index] { KeepAliveTick(index); });
}

void FleetModel::GatewayTick() {
  if (!Running()) return;
  // The gateway's own packets: a LAN notice each, nothing in the database.
  SentPacket packet;
  packet.kind = "gateway's own";
  packet.fields = MakePacket({"001", "NOOP", "NEW", SimDateTime(record_.setup.start, scheduler_.Now()).ToSql(),
                              "XGATE", "000"},
                             {});
  const std::string text = gateway::BuildPacket(packet.fields);
  Hand(std::move(packet), text);
  scheduler_.At(scheduler_.Now() + rng_.Between(10 * kMinute, 40 * kMinute), [this] { GatewayTick(); });
}

// --- a shift ----------------------------------------------------------------------------

void FleetModel::LogIn(Taxi& taxi) {
  if (taxi.phase != Phase::kOffDuty) return;
  // The log-in's reply is a packet the service must send: wait for room for it.
  if (!budget_.TryTake(scheduler_.Now(), 0, 1)) {
    Later(taxi, 2 * kMinute, &FleetModel::LogIn);
    return;
  }
  const auto login = [&](const std::string& pass) {
    Pairs pairs = {{"003", "003"}, {"001", pass}};
    if (!taxi.rng.Chance(0.08)) pairs.emplace_back("005", std::to_string(taxi.tenths()));
    pairs.emplace_back("004", fmt::format("dienst {}", taxi.shift + 1));
    return pairs;
  };
  // Now and then a mistyped pass number first: no such driver, nothing happens.
  if (taxi.rng.Chance(0.03)) Send(taxi, "login refused", Header(taxi, "FORM", "004"), login("9" + taxi.driver->pasnummer));
  const std::string pass = taxi.rng.Chance(0.3) ? "0" + taxi.driver->pasnummer : taxi.driver->pasnummer;
  Send(taxi, "login", Header(taxi, "FORM", "004"), login(pass));
  ++replies_expected_;
  // Now and then the log-in twice: the second is refused, the driver being on duty.
  if (taxi.rng.Chance(0.03)) Send(taxi, "login refused", Header(taxi, "FORM", "004"), login(pass));
  taxi.refuelled = false;
  Enter(taxi, Phase::kLoggingIn);
  dispatcher_.AwaitSheet(taxi);
}

void FleetModel::SheetSeen(Taxi& taxi) {
  Enter(taxi, Phase::kIdle);
  Later(taxi, taxi.rng.Between(kMinute, 5 * kMinute), &FleetModel::Step);
}

void FleetModel::Step(Taxi& taxi) {
  if (taxi.phase != Phase::kIdle) return;
  const SimMs now = scheduler_.Now();
  if (now >= taxi.shift_end()) {
    EndShift(taxi);
    return;
  }
  const double draw = taxi.rng.Unit();
  if (draw < 0.30) {
    StartHail(taxi);
    return;
  }
  if (draw < 0.34) {
    StartBreak(taxi);
    return;
  }
  if (draw < 0.40 && !taxi.refuelled) {
    Refuel(taxi);
  } else if (draw < 0.65) {
    SmallEvent(taxi);
  } else {
    taxi.driving = !taxi.driving;
  }
  Later(taxi, taxi.rng.Between(2 * kMinute, 8 * kMinute), &FleetModel::Step);
}

void FleetModel::EndShift(Taxi& taxi) {
  Pairs pairs = {{"003", "000"}};
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("036", std::to_string(taxi.tenths()));
  Send(taxi, "shift end", Header(taxi, "FORM", "004"), pairs);
  taxi.closed_lsn = taxi.lsn_id;
  taxi.lsn_id = 0;
  Enter(taxi, Phase::kOffDuty);
  ++taxi.shift;
  if (taxi.shift < taxi.shifts.size())
    Later(taxi, std::max<SimMs>(taxi.shifts[taxi.shift].start - scheduler_.Now(), 10 * kMinute), &FleetModel::LogIn);
}

void FleetModel::StartHail(Taxi& taxi) {
  Pairs pairs = {{"001", "5"}};
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("003", Address(taxi.rng));
  if (!taxi.rng.Chance(0.05))
    pairs.emplace_back("004", taxi.rng.Pick(kTowns) + (taxi.rng.Chance(0.5) ? ", NLD" : ""));
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("036", std::to_string(taxi.tenths()));
  if (taxi.rng.Chance(0.3)) pairs.emplace_back("063", "1");
  PacketHeader header = Header(taxi, "FORM", "001");
  taxi.hail_time = taxi.last_time;
  Send(taxi, "street-hail start", header, pairs);
  Enter(taxi, Phase::kHail);
  Later(taxi, taxi.rng.Between(5 * kMinute, 25 * kMinute), &FleetModel::EndHail);
}

void FleetModel::EndHail(Taxi& taxi) {
  const long long km = (taxi.tenths() % 1000);
  Pairs pairs = {{"001", "3"}};
  if (taxi.rng.Chance(0.1)) pairs.emplace_back("000", taxi.rng.Chance(0.5) ? "0" : "9999");
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("003", Address(taxi.rng));
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("004", taxi.rng.Pick(kTowns));
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("036", std::to_string(taxi.tenths()));
  TripFigures(taxi, pairs, 350 + taxi.rng.Between(200, 4000) + km % 7);
  Send(taxi, "street-hail end", Header(taxi, "FORM", "001"), pairs);
  Enter(taxi, Phase::kAwaitFree);
  dispatcher_.AwaitFree(taxi);
}

void FleetModel::SheetFreed(Taxi& taxi) {
  taxi.ride = 0;
  Enter(taxi, Phase::kIdle);
  Later(taxi, taxi.rng.Between(kMinute, 5 * kMinute), &FleetModel::Step);
}

void FleetModel::StartBreak(Taxi& taxi) {
  const long long minutes = taxi.rng.Between(5, 30);
  Send(taxi, "break request", Header(taxi, "FORM", "004"), {{"003", "005"}, {"004", std::to_string(minutes)}});
  Send(taxi, "status event", Header(taxi, "FORM", "004"), {{"201", "014"}});
  Enter(taxi, Phase::kBreak);
  Later(taxi, minutes * kMinute, &FleetModel::EndBreak);
}

void FleetModel::EndBreak(Taxi& taxi) {
  Send(taxi, "status event", Header(taxi, "FORM", "004"), {{"201", "15"}});
  Enter(taxi, Phase::kIdle);
  Later(taxi, taxi.rng.Between(kMinute, 4 * kMinute), &FleetModel::Step);
}

void FleetModel::Refuel(Taxi& taxi) {
  taxi.refuelled = true;
  const long long litres = taxi.rng.Between(1500, 6000);
  Pairs pairs = {{"019", std::to_string(litres)}};
  if (taxi.rng.Chance(0.2)) pairs.emplace_back("119", std::to_string(taxi.rng.Between(0, 2500)));
  pairs.emplace_back("036", std::to_string(taxi.tenths()));
  pairs.emplace_back("120", std::to_string(litres * 19 / 10 + taxi.rng.Between(0, 99)));
  Send(taxi, "refuelling", Header(taxi, "FORM", "004"), pairs);
}

void FleetModel::SmallEvent(Taxi& taxi) {
  const double draw = taxi.rng.Unit();
  if (draw < 0.45) {
    const int code = taxi.rng.Pick(kStatusCodes);
    Send(taxi, "status event", Header(taxi, "FORM", "004"),
         {{"201", taxi.rng.Chance(0.5) ? fmt::format("{:03}", code) : std::to_string(code)}});
  } else if (draw < 0.55) {
    Send(taxi, "speech request", Header(taxi, "KEY", "012"), {});
  } else if (draw < 0.62) {
    Send(taxi, "speech request", Header(taxi, "FORM", "004"), {{"038", "1"}});
  } else if (draw < 0.70) {
    Send(taxi, "break key", Header(taxi, "KEY", "004"), {{"004", std::to_string(taxi.rng.Between(5, 20))}});
  } else if (draw < 0.80) {
    Send(taxi, "driver text", Header(taxi, "FORM", "014"), {{"002", taxi.rng.Pick(kDriverTexts)}});
  } else {
    Pairs pairs;
    const double kind = taxi.rng.Unit();
    if (kind < 0.15) pairs.emplace_back("035", "000");
    else if (kind < 0.30) pairs.emplace_back("035", "005");
    else if (kind < 0.45) pairs.emplace_back("035", "006");
    pairs.emplace_back("009", std::to_string(taxi.rng.Chance(0.1) ? taxi.rng.Pick(std::vector<long long>{0, 51})
                                                                    : taxi.rng.Between(1, 50)));
    Send(taxi, "sector", Header(taxi, "KEY", "002"), pairs);
  }
}

// --- a dispatched ride ------------------------------------------------------------------

void FleetModel::RidePlanned(Taxi& taxi) {
  // The offer may have reached the terminal before the desk's answer reached us.
  if (taxi.offer_seen == taxi.ride && !taxi.answered)
    Later(taxi, taxi.rng.Between(10 * kSecond, 90 * kSecond), &FleetModel::Answer);
}

void FleetModel::RideWithdrawn(Taxi& taxi) {
  taxi.ride = 0;
  Enter(taxi, Phase::kIdle);
  Later(taxi, taxi.rng.Between(kMinute, 4 * kMinute), &FleetModel::Step);
}

void FleetModel::FromService(const std::string& text) {
  const gateway::PakketVelden fields = gateway::ReadPacket(text);
  const auto found = by_imei_.find(fields.Get("UNIT"));
  if (found == by_imei_.end()) return;
  Taxi& taxi = taxis_[found->second];
  // A ride offer: the form with the 37 fields of a ride.
  if (fields.Get("TYPE") != "FORM" || fields.Get("NUMBER") != "0" || fields.Get("SIZE") != "037") return;
  const long long ride = std::atoll(fields.Get("0").c_str());
  if (taxi.phase != Phase::kReserved || ride == taxi.offer_seen) return;
  taxi.offer_seen = ride;
  if (ride == taxi.ride && !taxi.answered)
    Later(taxi, taxi.rng.Between(10 * kSecond, 90 * kSecond), &FleetModel::Answer);
}

void FleetModel::Answer(Taxi& taxi) {
  if (taxi.phase != Phase::kReserved || taxi.answered) return;
  taxi.answered = true;
  const std::string ride = std::to_string(taxi.ride);
  switch (taxi.fate) {
    case Fate::kWithdraw:
      return;  // the dispatchers take it back first
    case Fate::kRefuse:
      Send(taxi, "refusal", Header(taxi, "FORM", "000"), {{"000", ride}, {"001", "006"}});
      break;
    case Fate::kReject:
      SendGateway(taxi, "gateway REJ", Header(taxi, "FORM", "000", "REJ"), {{"000", ride}});
      break;
    case Fate::kStale:
      SendGateway(taxi, "gateway NAK", Header(taxi, "MACRO", "000", "NAK"), {{"002", "MESSAGE STALE"}});
      break;
    case Fate::kComplete:
    case Fate::kNoShow: {
      if (taxi.accept_by_event) {
        Send(taxi, "ride accepted (27)", Header(taxi, "FORM", "004"), {{"201", "027"}, {"000", ride}});
      } else {
        Pairs pairs = {{"000", ride}};
        if (taxi.call_request) pairs.emplace_back("032", taxi.rng.Chance(0.5) ? "1" : "2");
        Send(taxi, "acknowledgement", Header(taxi, "FORM", "000", "ACK"), pairs);
      }
      Enter(taxi, Phase::kToPickup);
      Later(taxi, taxi.rng.Between(3 * kMinute, 15 * kMinute), &FleetModel::Arrive);
      return;
    }
  }
  // Refused: back with the dispatchers once the service has handled it.
  dispatcher_.Watch(taxi, taxi.ride, "W");
  taxi.ride = 0;
  Enter(taxi, Phase::kIdle);
  Later(taxi, taxi.rng.Between(kMinute, 4 * kMinute), &FleetModel::Step);
}

void FleetModel::Arrive(Taxi& taxi) {
  const std::string ride = std::to_string(taxi.ride);
  if (taxi.fate == Fate::kNoShow) {
    Pairs pairs = {{"000", ride}, {"001", "004"}};
    if (!taxi.rng.Chance(0.1)) pairs.emplace_back("016", taxi.rng.Pick(kReasons));
    Send(taxi, "no-show", Header(taxi, "FORM", "000"), pairs);
    ++replies_expected_;
    dispatcher_.Watch(taxi, taxi.ride, "L");
    taxi.ride = 0;
    Enter(taxi, Phase::kIdle);
    Later(taxi, taxi.rng.Between(kMinute, 4 * kMinute), &FleetModel::Step);
    return;
  }
  Pairs pairs = {{"000", ride}, {"001", "002"}};
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("003", Address(taxi.rng));
  if (!taxi.rng.Chance(0.1)) pairs.emplace_back("004", taxi.rng.Pick(kTowns));
  if (!taxi.rng.Chance(0.08)) pairs.emplace_back("036", std::to_string(taxi.tenths()));
  if (!taxi.rng.Chance(0.2)) pairs.emplace_back("031", fmt::format("P{}", taxi.rng.Between(100, 999)));
  if (taxi.rng.Chance(0.6)) pairs.emplace_back("062", std::to_string(taxi.rng.Between(0, 600)));
  Send(taxi, "boarding", Header(taxi, "FORM", "000"), pairs);
  Enter(taxi, Phase::kOnBoard);
  Later(taxi, taxi.rng.Between(5 * kMinute, 30 * kMinute), &FleetModel::Alight);
}

void FleetModel::TripFigures(Taxi& taxi, Pairs& pairs, long long fare) {
  pairs.emplace_back("012", std::to_string(fare));
  pairs.emplace_back("011", std::to_string(taxi.rng.Between(1, 3)));
  pairs.emplace_back("034", std::to_string(taxi.rng.Between(1, 2)));
  pairs.emplace_back("060", std::to_string(taxi.rng.Between(30, 120)));
  pairs.emplace_back("063", "1");
  pairs.emplace_back("064", std::to_string(taxi.rng.Between(0, 3)));
  pairs.emplace_back("069", std::to_string(fare + taxi.rng.Between(0, 500)));
  pairs.emplace_back("033", std::to_string(taxi.rng.Between(0, 250)));
}

void FleetModel::Alight(Taxi& taxi) {
  const long long fare = 500 + taxi.rng.Between(300, 6000);
  Pairs pairs = {{"000", std::to_string(taxi.ride)}, {"001", "003"}};
  if (!taxi.rng.Chance(0.05)) pairs.emplace_back("003", Address(taxi.rng));
  if (!taxi.rng.Chance(0.1)) pairs.emplace_back("004", taxi.rng.Pick(kTowns));
  if (!taxi.rng.Chance(0.08)) pairs.emplace_back("036", std::to_string(taxi.tenths()));
  if (!taxi.rng.Chance(0.2)) pairs.emplace_back("031", fmt::format("P{}", taxi.rng.Between(100, 999)));
  TripFigures(taxi, pairs, fare);
  Send(taxi, "alighting", Header(taxi, "FORM", "000"), pairs);
  Enter(taxi, Phase::kAwaitFree);
  dispatcher_.AwaitFree(taxi);
}

}  // namespace dorvek::fleet
