// Building a ride offer from its rows, beside the bare reads those rows cost: the
// `select *` of the ride (ADORITUIT) and of its trip options, natively and through ODBC
// on a SQLite file. Build with -DCMAKE_BUILD_TYPE=Release for figures.

#include <benchmark/benchmark.h>

#include <string>

#include "core/event_log.h"
#include "db/queries.h"
#include "outbound/ride_offer.h"
#include "outbound/ride_packets.h"
#include "support/dispatch_fixture.h"
#include "support/null_event_log.h"

namespace {

using namespace dorvek;
using test_support::DbPath;
using test_support::NullEventLog;

// Ride 101 filled in as a dispatcher would, with the trip options of its company.
struct OfferFixture {
  explicit OfferFixture(DbPath path) : dispatch(path) {
    dispatch.file().Run(
        "update planning set pla_tijdstip='2026-12-08 09:30:00', pla_ophnummer='12', pla_ophnummertoe='a',"
        " pla_ophpostcode='5611 AB', pla_bestnummer='3', pla_bestpostcode='5664 HN',"
        " pla_telefoon='040-1234567', pla_bellen=1, pla_bedrag=12.5, pla_naam_reiziger='Hénri de Vries',"
        " pla_opmerking='Achteringang, bel aan bij de buren als er niet wordt opengedaan',"
        " pla_tekst='Rolstoel mee, opvouwbaar; \"extra\" #2. Cliënt wacht binnen bij de receptie van het"
        " ziekenhuis, afdeling cardiologie, en heeft een rollator en twee tassen bij zich.',"
        " pla_lopers=1, pla_rollers=1, pla_rolstoel=1, pla_voorin=1, pla_combineren=0, pla_pasnummer='P77'"
        " where pla_id=101;"
        "insert into zolinstellingen (zol_bdr_id, zol_vor_id, zol_rc, zol_taximeter, zol_ontvangstbewijs,"
        " zol_reserved1, zol_reserved2, zol_betaalinfo, zol_printinfo, zol_autoprint)"
        " values (1, 'A', 0, '01', '02', '03', '04', '05', '06', '07');");
    // VerzendenRit takes the terminal identity of the message-box row's joined vehicle.
    uitgaand = dispatch.db().Query(db::queries::ADOZoekWagen, {{"Wagennummer", 1LL}});
  }
  db::Row Ride() { return dispatch.db().Query(db::queries::ADORITUIT, {{"Ritnummer", 101LL}}).at(0); }
  std::vector<db::Row> TripOptions() {
    return dispatch.db().Query(db::queries::TripOptionsQuery(1, 0),
                               {{std::string(db::queries::kTripOptionsVervoerParam), std::string("A")}});
  }

  test_support::DispatchFixture dispatch;
  std::vector<db::Row> uitgaand;
};

DbPath PathOf(const benchmark::State& state) { return state.range(0) == 0 ? DbPath::kNative : DbPath::kOdbc; }

void BM_SelectRide(benchmark::State& state) {
  OfferFixture f(PathOf(state));
  for (auto _ : state) benchmark::DoNotOptimize(f.Ride());
  state.SetLabel(test_support::DbPathName(PathOf(state)));
}

void BM_SelectTripOptions(benchmark::State& state) {
  OfferFixture f(PathOf(state));
  for (auto _ : state) benchmark::DoNotOptimize(f.TripOptions());
  state.SetLabel(test_support::DbPathName(PathOf(state)));
}

// The packet from the rows already read: the pure part of VerzendenRit.
void BM_BuildRideOffer(benchmark::State& state) {
  OfferFixture f(DbPath::kNative);
  const db::Row ride = f.Ride();
  const std::string trip_options = outbound::TripOptionsString(f.TripOptions());
  for (auto _ : state)
    benchmark::DoNotOptimize(outbound::RideOfferPacket(ride, "mux4711", trip_options, outbound::Amounts::kShown));
}

// VerzendenRit as the message box calls it: the trip-options query, the packet, the log
// entry and the queue, with the ride row read before.
void BM_VerzendenRit(benchmark::State& state) {
  OfferFixture f(PathOf(state));
  const db::Row ride = f.Ride();
  test_support::NullEventLog log;
  gateway::PacketQueue queue;
  const outbound::OfferParts parts{f.dispatch.db(), log, queue};
  for (auto _ : state) {
    outbound::VerzendenRit(parts, f.uitgaand.at(0), ride, outbound::Amounts::kShown);
    queue.clear();
  }
  state.SetLabel(test_support::DbPathName(PathOf(state)));
}

BENCHMARK(BM_SelectRide)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SelectTripOptions)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildRideOffer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VerzendenRit)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
