// The limit for the service's throughput of position packets: the bare INSERT of a gps
// row, exactly as the position handler writes it, through the same database layer and
// driver, against the database the configuration in --base-dir names (read as a start
// reads it). Also counts the gps rows, for scripts/measure_throughput.py.
//
//   gps_insert_bench --base-dir DIR --insert N   N rows, one statement each; prints the rate
//   gps_insert_bench --base-dir DIR --rows       prints the number of gps rows

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/clock.h"
#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "service/config_file.h"
#include "service/settings.h"

namespace {

using namespace dorvek;

int Usage() {
  std::fprintf(stderr, "usage: gps_insert_bench --base-dir DIR (--insert N | --rows)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path base;
  long long insert = -1;
  bool rows = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--base-dir" && i + 1 < argc) {
      base = argv[++i];
    } else if (arg == "--insert" && i + 1 < argc) {
      insert = std::atoll(argv[++i]);
    } else if (arg == "--rows") {
      rows = true;
    } else {
      return Usage();
    }
  }
  if (base.empty() || (insert < 0 && !rows)) return Usage();
  try {
    const auto settings = service::ReadSettings(service::LoadConfigLines(base / service::kConfigFileName));
    core::MemoryEventLog log;
    db::SociDatabase db(service::DatabaseSettings(settings, std::filesystem::absolute(base)), log);
    if (rows) {
      std::printf("%lld\n", db.Query("select count(*) as n from gps").at(0).Int("n"));
      return 0;
    }
    core::SystemClock clock;
    db.Open();
    const auto start = std::chrono::steady_clock::now();
    for (long long i = 0; i < insert; ++i) {
      // The columns and values of the position handler's row.
      db.Insert("gps", {{"GPS_Imei", std::string("mux4711")},
                        {"GPS_Datum_UTC", clock.LocalNow()},
                        {"GOS_bdr_id", 1LL},
                        {"GPS_Longitude", 4.8964 + static_cast<double>(i % 100) / 10000},
                        {"GPS_Latitude", 52.3534},
                        {"GPS_Datum", clock.LocalNow()},
                        {"GPS_Statuscode", std::string("ATU")}});
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("bare INSERT: %lld rows in %.2f s: %.0f rows/s\n", insert, seconds,
                seconds > 0 ? static_cast<double>(insert) / seconds : 0.0);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gps_insert_bench: %s\n", e.what());
    return 1;
  }
}
