// Handling time per packet of each terminal event handler family through the packet
// controller, against a SQLite file in WAL mode, beside the bare statements that
// handling must issue: the same SQL with the same values through the same db::Database,
// without the controller and the handler around it. Both run in the same process on the
// same database states, one cycle of packets after the other, so the ratio
// handler / bare is what the controller and the handlers add to the database's own
// work. Also compares the statements each packet issues with those it must issue.
//
// Build with -DCMAKE_BUILD_TYPE=Release for figures. Every statement commits on its own
// (the service uses no transactions). With SQLite's default synchronous=FULL, as the
// service runs, each write waits for the disk's flush, which is in both columns and
// hides the rest; each family runs a second time with synchronous=NORMAL, where commits
// do not wait for the disk, to show what the controller and the handlers cost in CPU.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "db/queries.h"
#include "gateway/packet_notation.h"
#include "gateway/packet_writer.h"
#include "inbound/packet_controller.h"
#include "support/dispatch_fixture.h"
#include "support/failing_database.h"
#include "support/fake_udp_sender.h"
#include "support/null_event_log.h"

namespace {

using namespace dorvek;
using Statement = test_support::FailingDatabase::Statement;
using SteadyClock = std::chrono::steady_clock;

// The statements a packet's handling must issue, each known by how its SQL begins, in
// the order they are issued.
namespace must {
constexpr std::string_view kVehicle = "select * from (wagens";  // the controller's ADOWAGEN
constexpr std::string_view kNote = "INSERT INTO StatusMeldingen";
constexpr std::string_view kRouteStatus = "INSERT INTO PROC_ROUTESTATUS_CONTROLE";
constexpr std::string_view kRide = "select * from planning where pla_id=";
constexpr std::string_view kUncompletedRide = "select * from planning where pla_status <> 'V'";
constexpr std::string_view kInsertRide = "INSERT INTO planning";
constexpr std::string_view kUpdateRide = "UPDATE planning";
constexpr std::string_view kAcceptRide = "update planning set pla_com_status=1";
constexpr std::string_view kReturnRide = "UPDATE PLANNING SET pla_com_status=0";
constexpr std::string_view kInsertSheet = "INSERT INTO ritstaten";
constexpr std::string_view kUpdateSheet = "UPDATE ritstaten";
constexpr std::string_view kSheetOnBoard = "UPDATE RITSTATEN SET lsn_actie='K'";
constexpr std::string_view kSheetNoShow = "UPDATE RITSTATEN SET lsn_actie='L'";
constexpr std::string_view kFreeSheet = "UPDATE RITSTATEN SET lsn_rit=0";
constexpr std::string_view kOdometer = "update wagens set wag_kmstand";
constexpr std::string_view kHighestFuel = "select max(bra_odometer_huidig)";
constexpr std::string_view kFuel = "INSERT INTO brandstof";
constexpr std::string_view kSkype = "INSERT INTO skype";
constexpr std::string_view kSector = "INSERT INTO sectoren";
constexpr std::string_view kOpenSheetBLM = db::queries::ADOLSN;
constexpr std::string_view kConstants = db::queries::ADOConstanten;
constexpr std::string_view kHighestRide = db::queries::ADORITNUMMER;
constexpr std::string_view kSheetWithPassenger = db::queries::ADOZOEKACTIEVERIT;
constexpr std::string_view kSheetOfVehicle = db::queries::ADOZoekRitstaat;
constexpr std::string_view kDriver = db::queries::ADOChauffeurs;
constexpr std::string_view kDriverOnDuty = db::queries::ADOLSNDIENST;
constexpr std::string_view kOpenSheet = db::queries::ADODIENSTEINDE;
}  // namespace must

struct Step {
  const char* name;
  const char* packet;  // in the gateway simulator's notation
  std::vector<std::string_view> required;
};

struct Family {
  const char* name;
  // Statements that put the database into the state the cycle starts from; run before
  // every cycle, outside the timing. Row ids are fixed, so every cycle writes the same.
  std::vector<std::string> reset;
  std::vector<Step> cycle;
};

// Rows every family clears, so no table grows over the run.
const std::vector<std::string> kClear = {
    "delete from StatusMeldingen", "delete from PROC_ROUTESTATUS_CONTROLE", "delete from skype",
    "delete from sectoren",        "delete from brandstof",                 "delete from gps",
};

std::vector<std::string> Reset(std::vector<std::string> own) {
  own.insert(own.begin(), kClear.begin(), kClear.end());
  return own;
}

// Taxi 31 (vehicle 3, mux4713) on duty on trip sheet 3 with ride 104, which asks for the
// customer to be called.
const std::vector<std::string> kOnDuty = {
    "delete from planning where pla_id>=1000",
    "update sqlite_sequence set seq=999 where name='planning'",
    "delete from ritstaten where lsn_id>=3",
    "update sqlite_sequence set seq=2 where name='ritstaten'",
    "insert into ritstaten (lsn_id, lsn_bdr_id, lsn_wag_id, lsn_chf_id, lsn_status, lsn_actie, lsn_rit, lsn_route,"
    " lsn_aanvang) values (3, 1, 3, 1, 0, 'B', 104, 0, '2026-12-08 07:00:00')",
    "update planning set pla_wagen=3, pla_lsn=3, pla_status='P', pla_com_status=0, pla_km_map=NULL,"
    " pla_telefoon='040-2345678', pla_bellen=1 where pla_id=104",
};

std::vector<std::string> OnDuty(std::vector<std::string> own = {}) {
  std::vector<std::string> all = kOnDuty;
  all.insert(all.end(), own.begin(), own.end());
  return Reset(all);
}

std::vector<Family> Families() {
  using namespace must;
  return {
      {"key_events",
       Reset({}),
       {
           {"speech request", "TYPE=KEY STATUS=NEW TIME=now UNIT=4711 NUMBER=012", {kVehicle, kNote}},
           {"break request", "TYPE=KEY STATUS=NEW TIME=now UNIT=4711 NUMBER=004 004=15", {kVehicle, kNote}},
           {"driver text", R"(TYPE=FORM STATUS=NEW TIME=now UNIT=4711 NUMBER=014 002="Sta in de file bij Best")",
            {kVehicle, kNote}},
           {"alarm and sector", "TYPE=FORM STATUS=NEW TIME=now UNIT=4711 NUMBER=002 035=000 009=7",
            {kVehicle, kNote, kSector}},
       }},
      {"street_hail",
       OnDuty({"update ritstaten set lsn_rit=0 where lsn_id=3"}),
       {
           {"start",
            R"(TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=001 001=5 003="Stationsplein 1" )"
            R"(004="Eindhoven, NLD" 036=50012)",
            {kVehicle, kOpenSheetBLM, kConstants, kInsertRide, kHighestRide, kUpdateSheet, kNote}},
           {"end",
            R"(TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=001 001=3 003="Markt 5" 004=Geldrop 036=50135 )"
            "012=1850 011=2 034=1 060=72 063=1 064=3 069=1850 033=100",
            {kVehicle, kNote, kSheetWithPassenger, kRide, kUpdateRide, kRouteStatus}},
       }},
      {"form_replies",
       OnDuty(),
       {
           {"acknowledgement", "TYPE=FORM STATUS=ACK TIME=now UNIT=4713 NUMBER=000 000=104",
            {kVehicle, kAcceptRide, kNote}},
           {"call request", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=000 000=104 032=1",
            {kVehicle, kRide, kSkype, kNote}},
           {"no-show", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=000 000=104 001=004 016=001",
            {kVehicle, kRide, kUpdateRide, kRouteStatus, kSheetNoShow, kNote}},
           {"refusal", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=000 000=104 001=006",
            {kVehicle, kNote, kSheetOfVehicle, kReturnRide, kFreeSheet, kRouteStatus}},
       }},
      {"ride_progress",
       OnDuty(),
       {
           {"boarded",
            R"(TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=000 000=104 001=002 003="Hoogstraat 12" )"
            "004=Eindhoven 036=50200 031=P77 062=120",
            {kVehicle, kRide, kUpdateRide, kSheetOnBoard, kRouteStatus, kNote}},
           {"alighted",
            R"(TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=000 000=104 001=003 003="Vestdijk 8" )"
            "004=Eindhoven 036=50312 031=P77 012=2350 011=1 034=2 060=64 063=1 064=0 069=2500 033=150",
            {kVehicle, kNote, kUncompletedRide, kUpdateRide, kRouteStatus}},
       }},
      {"status_events",
       OnDuty(),
       {
           {"start of a break", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 201=014", {kVehicle, kNote}},
           {"ride accepted", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 201=027 000=104",
            {kVehicle, kAcceptRide, kNote}},
       }},
      {"shift_forms",
       Reset({"delete from ritstaten where lsn_id>=3", "update sqlite_sequence set seq=2 where name='ritstaten'",
              "update sqlite_sequence set seq=0 where name='brandstof'"}),
       {
           {"log-in", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 003=003 001=01234 005=50000 004=vroeg",
            {kVehicle, kDriver, kDriverOnDuty, kConstants, kInsertSheet, kOdometer, kNote}},
           {"speech request", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 038=1", {kVehicle, kNote}},
           {"refuelling, two fuels",
            "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 019=4250 119=1000 036=50400 120=7399",
            {kVehicle, kHighestFuel, kOpenSheet, kFuel, kNote, kOpenSheet, kFuel, kNote}},
           {"break request", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 003=005 004=15", {kVehicle, kNote}},
           {"shift end", "TYPE=FORM STATUS=NEW TIME=now UNIT=4713 NUMBER=004 003=000 036=50500",
            {kVehicle, kNote, kOpenSheet, kUpdateSheet, kOdometer}},
       }},
  };
}

std::string Packet(const char* notation) {
  std::string line = notation;
  // The simulator's TIME=now: a fixed time here, every packet the same.
  const std::size_t now = line.find("TIME=now");
  if (now != std::string::npos) line.replace(now, 8, "TIME=\"2026-12-08 09:15:00\"");
  return gateway::BuildPacket(gateway::ParseNotation(line));
}

void Run(db::Database& db, const Statement& statement) {
  if (statement.kind == Statement::Kind::kQuery)
    benchmark::DoNotOptimize(db.Query(statement.sql, statement.params));
  else
    db.Execute(statement.sql, statement.params);
}

// The issued statements that are required, in order; empty (and *missing set) when a
// required one was not issued.
std::vector<Statement> RequiredOf(const std::vector<Statement>& issued, const Step& step, std::string* missing) {
  std::vector<Statement> bare;
  std::size_t at = 0;
  for (std::string_view prefix : step.required) {
    while (at < issued.size() && !std::string_view(issued[at].sql).starts_with(prefix)) ++at;
    if (at == issued.size()) {
      *missing = std::string(prefix);
      return {};
    }
    bare.push_back(issued[at++]);
  }
  return bare;
}

double Percentile(std::vector<double> micros, int percent) {
  std::sort(micros.begin(), micros.end());
  return micros[std::min(micros.size() - 1, micros.size() * percent / 100)];
}

double Sum(const std::vector<double>& micros) {
  double sum = 0;
  for (double m : micros) sum += m;
  return sum;
}

enum class Flush { kFull, kNormal };

// One family: every cycle runs its packets through the controller, then, from the same
// starting state, only the required statements of each packet. state.range(0) is the
// family's index, state.range(1) the Flush.
void BM_HandlerFamily(benchmark::State& state) {
  const Family family = Families().at(static_cast<std::size_t>(state.range(0)));
  test_support::DispatchFixture fixture;
  db::Database& db = fixture.db();
  db.Execute(static_cast<Flush>(state.range(1)) == Flush::kFull ? "PRAGMA synchronous=FULL"
                                                                 : "PRAGMA synchronous=NORMAL");
  db.Execute(
      "insert into constanten (con_bdr_id, con_contant, con_tarief, con_land, con_standaard_uren)"
      " values (1, 1, 3, 'NLD', 600)");
  test_support::NullEventLog log;
  core::SystemClock clock;
  test_support::FakeUdpSender udp;
  const inbound::InboundSettings settings{"mux", ".", "Wexlor", "PC01"};
  // First the write-ahead log is copied into the database file. SQLite does that by
  // itself once the log holds 1000 pages, and as every cycle writes the same pages, it
  // would always fall on the same packet of the same column; done here, it falls on
  // neither. Then the reset, in one transaction so it waits for one flush only; its
  // commit starts the log afresh, which is not timed either.
  const auto reset = [&] {
    db.Query("PRAGMA wal_checkpoint(PASSIVE)");
    db.Execute("BEGIN IMMEDIATE");
    for (const std::string& sql : family.reset) db.Execute(sql);
    db.Execute("COMMIT");
  };

  std::vector<std::string> packets;
  for (const Step& step : family.cycle) packets.push_back(Packet(step.packet));

  // Which statements each packet issues: one cycle through a recording database.
  std::vector<std::vector<Statement>> issued, bare;
  {
    test_support::FailingDatabase recorder(db);
    inbound::CurrentVehicle vehicle;
    inbound::PacketController controller({log, clock, recorder, udp, vehicle});
    controller.Configure(settings);
    gateway::PacketQueue inbound, outbound;
    reset();
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const std::size_t before = recorder.statements().size();
      inbound.push_back(packets[i]);
      controller.HandleNext(inbound, &outbound);
      issued.emplace_back(recorder.statements().begin() + static_cast<long>(before), recorder.statements().end());
      std::string missing;
      bare.push_back(RequiredOf(issued.back(), family.cycle[i], &missing));
      if (!missing.empty()) {
        state.SkipWithError((std::string(family.cycle[i].name) + " did not issue " + missing).c_str());
        return;
      }
    }
  }

  inbound::CurrentVehicle vehicle;
  inbound::PacketController controller({log, clock, db, udp, vehicle});
  controller.Configure(settings);
  gateway::PacketQueue inbound, outbound;
  std::vector<double> handler_us, bare_us;
  for (auto _ : state) {
    reset();
    double cycle_seconds = 0;
    for (const std::string& packet : packets) {
      inbound.push_back(packet);
      const auto start = SteadyClock::now();
      controller.HandleNext(inbound, &outbound);
      const std::chrono::duration<double> took = SteadyClock::now() - start;
      handler_us.push_back(took.count() * 1e6);
      cycle_seconds += took.count();
    }
    outbound.clear();
    reset();
    for (const auto& statements : bare) {
      const auto start = SteadyClock::now();
      for (const Statement& statement : statements) Run(db, statement);
      bare_us.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
    }
    state.SetIterationTime(cycle_seconds);
  }

  std::size_t issued_count = 0, required_count = 0;
  for (std::size_t i = 0; i < issued.size(); ++i) {
    issued_count += issued[i].size();
    required_count += family.cycle[i].required.size();
  }
  state.counters["median_us"] = Percentile(handler_us, 50);
  state.counters["p99_us"] = Percentile(handler_us, 99);
  state.counters["bare_median_us"] = Percentile(bare_us, 50);
  state.counters["bare_p99_us"] = Percentile(bare_us, 99);
  state.counters["ratio_median"] = Percentile(handler_us, 50) / Percentile(bare_us, 50);
  state.counters["ratio_total"] = Sum(handler_us) / Sum(bare_us);
  state.counters["stmts_per_packet"] = static_cast<double>(issued_count) / static_cast<double>(issued.size());
  state.counters["required_per_packet"] = static_cast<double>(required_count) / static_cast<double>(issued.size());
  state.counters["packets"] = static_cast<double>(handler_us.size());
  state.SetLabel(family.name);
  if (static_cast<Flush>(state.range(1)) != Flush::kFull) return;

  // Per packet kind: statements issued against those required, and any extra ones.
  for (std::size_t i = 0; i < issued.size(); ++i) {
    std::fprintf(stderr, "%-14s %-22s issued %zu, required %zu\n", family.name, family.cycle[i].name,
                 issued[i].size(), family.cycle[i].required.size());
    if (issued[i].size() != bare[i].size()) {
      for (const Statement& s : issued[i]) std::fprintf(stderr, "    %s\n", s.sql.substr(0, 100).c_str());
    }
  }
}

}  // namespace

// Each family runs about 400 packets through the controller, and as many bare, first
// with synchronous=FULL, then with NORMAL.
int main(int argc, char** argv) {
  constexpr std::size_t kPackets = 400;
  const std::vector<Family> families = Families();
  for (const Flush flush : {Flush::kFull, Flush::kNormal}) {
    for (std::size_t i = 0; i < families.size(); ++i) {
      const std::string name = std::string("BM_HandlerFamily/") + families[i].name +
                               (flush == Flush::kFull ? "/synchronous:FULL" : "/synchronous:NORMAL");
      benchmark::RegisterBenchmark(name.c_str(), BM_HandlerFamily)
          ->Args({static_cast<int64_t>(i), static_cast<int64_t>(flush)})
          ->Iterations(static_cast<int64_t>(kPackets / families[i].cycle.size()))
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
