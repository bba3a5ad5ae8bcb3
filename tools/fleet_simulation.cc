// fleet_simulation: plays fleet days inside one process, many seeds one after another,
// and checks each: the fleet and its dispatchers, a simulated gateway, and the
// service's own objects on a virtual clock, with the dispatch database real (a SQLite
// file, or a database on a private PostgreSQL server of its own) behind a wrapper that
// strikes at chosen statements, and crashes at any statement or queue-file write. See
// tools/fleet/sim/simulation.h.
//
//   fleet_simulation [--seeds FIRST-LAST | --seed S] [--taxis N] [--hours H]
//                    [--faults-per-hour F] [--database sqlite|postgres] [--dir DIR]
//                    [--trace] [--max-findings N]
//
// --seeds 1-20, --taxis 5, --hours 8, --faults-per-hour 6, --database sqlite by default.
// Each seed's run is the same every time: a seed that fails is printed with the command
// that replays it (add --trace to see the service's entries and the faults as they
// happen). A failed run's record and checker report stay in DIR/seed-S (by default
// under /dev/shm, or /tmp where there is none).
//
// Exit status: 0 when every seed passed, 1 when one did not, 2 for bad arguments.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "fleet/sim/simulation.h"
#include "support/postgres_server.h"
#include "tool_exit.h"

namespace {

namespace fs = std::filesystem;
using dorvek::tools::Exit;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
  unsigned long long first = 1, last = 20;
  int taxis = 5;
  double hours = 8;
  double faults_per_hour = 6;
  std::string database = "sqlite";
  fs::path dir;
  bool trace = false;
  std::size_t max_findings = 20;
};

double Number(const std::string& flag, const std::string& text, double min, double max) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (text.empty() || used != text.size() || value < min || value > max)
    throw Exit(kExitUsage, fmt::format("{} needs a number from {} to {}, not \"{}\"", flag, min, max, text));
  return value;
}

Options Parse(int argc, char** argv) {
  Options o;
  o.dir = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  o.dir /= fmt::format("dorvek-simulation-{}", ::getpid());
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--trace") {
      o.trace = true;
      continue;
    }
    if (flag == "--help" || flag == "-h")
      throw Exit(kExitUsage, "usage: fleet_simulation [--seeds FIRST-LAST | --seed S] [--taxis N] [--hours H] "
                             "[--faults-per-hour F] [--database sqlite|postgres] [--dir DIR] [--trace] "
                             "[--max-findings N]");
    if (i + 1 >= argc) throw Exit(kExitUsage, flag + " needs a value");
    const std::string value = argv[++i];
    if (flag == "--seeds") {
      const auto dash = value.find('-');
      if (dash == std::string::npos) throw Exit(kExitUsage, "--seeds is FIRST-LAST");
      o.first = static_cast<unsigned long long>(Number(flag, value.substr(0, dash), 0, 1e15));
      o.last = static_cast<unsigned long long>(Number(flag, value.substr(dash + 1), 0, 1e15));
      if (o.last < o.first) throw Exit(kExitUsage, "--seeds: LAST before FIRST");
    } else if (flag == "--seed") {
      o.first = o.last = static_cast<unsigned long long>(Number(flag, value, 0, 1e15));
    } else if (flag == "--taxis") {
      o.taxis = static_cast<int>(Number(flag, value, 1, 500));
    } else if (flag == "--hours") {
      o.hours = Number(flag, value, 0.05, 48);
    } else if (flag == "--faults-per-hour") {
      o.faults_per_hour = Number(flag, value, 0, 120);
    } else if (flag == "--database") {
      if (value != "sqlite" && value != "postgres") throw Exit(kExitUsage, "--database is sqlite or postgres");
      o.database = value;
    } else if (flag == "--dir") {
      o.dir = value;
    } else if (flag == "--max-findings") {
      o.max_findings = static_cast<std::size_t>(Number(flag, value, 0, 1e9));
    } else {
      throw Exit(kExitUsage, "unknown option " + flag);
    }
  }
  return o;
}

int Run(const Options& o) {
  std::unique_ptr<dorvek::test_support::PostgresServer> postgres;
  if (o.database == "postgres") postgres = dorvek::test_support::PostgresServer::Start();
  const auto began = std::chrono::steady_clock::now();
  std::map<std::string, long long> faults;
  std::vector<unsigned long long> failed;
  long long packets = 0, received = 0, starts = 0, allowed = 0, undrained = 0;
  for (unsigned long long seed = o.first; seed <= o.last; ++seed) {
    dorvek::fleet::SimulationOptions options;
    options.seed = seed;
    options.taxis = o.taxis;
    options.hours = o.hours;
    options.faults_per_hour = o.faults_per_hour;
    options.postgres = postgres ? &postgres->address() : nullptr;
    options.trace = o.trace;
    const fs::path dir = o.dir / fmt::format("seed-{}", seed);
    const dorvek::fleet::SimulationResult r = dorvek::fleet::RunSimulation(options, dir);
    for (const auto& [kind, n] : r.faults) faults[kind] += n;
    packets += r.packets;
    received += r.received;
    starts += r.starts;
    undrained += r.drained ? 0 : 1;
    for (const auto& [name, n] : r.report.allowances) allowed += n;
    if (r.Passed()) {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
      if (o.first == o.last) std::printf("%s", r.report.Text(o.max_findings).c_str());
      continue;
    }
    failed.push_back(seed);
    std::printf("seed %llu FAILED: %s\n", seed, r.failure.empty() ? "differences" : r.failure.c_str());
    if (r.failure.empty()) std::printf("%s", r.report.Text(o.max_findings).c_str());
    std::printf("  files: %s\n  replay: fleet_simulation --seed %llu --taxis %d --hours %g --faults-per-hour %g "
                "--database %s --trace\n",
                dir.c_str(), seed, o.taxis, o.hours, o.faults_per_hour, o.database.c_str());
    std::fflush(stdout);
  }
  std::error_code ignored;
  if (failed.empty()) fs::remove(o.dir, ignored);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const unsigned long long seeds = o.last - o.first + 1;
  long long total_faults = 0;
  std::string kinds;
  for (const auto& [kind, n] : faults) {
    total_faults += n;
    kinds += fmt::format(" {} {};", kind, n);
  }
  std::printf("simulation: %llu seeds (%llu-%llu), %d taxis, %.0f simulated hours on %s in %.1f s; %lld packets to "
              "the service, %lld to the terminals, %lld service starts\n",
              seeds, o.first, o.last, o.taxis, o.hours * static_cast<double>(seeds), o.database.c_str(), seconds,
              packets, received, starts);
  std::printf("  faults %lld:%s\n  within allowances %lld; runs not drained by the end %lld\n", total_faults,
              kinds.c_str(), allowed, undrained);
  if (failed.empty()) {
    std::printf("verdict: PASSED\n");
    return 0;
  }
  std::string list;
  for (auto s : failed) list += fmt::format(" {}", s);
  std::printf("verdict: FAILED, seeds%s\n", list.c_str());
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(Parse(argc, argv));
  } catch (const Exit& e) {
    std::fprintf(stderr, "fleet_simulation: %s\n", e.what());
    return e.status();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleet_simulation: %s\n", e.what());
    return kExitUsage + 1;
  }
}
