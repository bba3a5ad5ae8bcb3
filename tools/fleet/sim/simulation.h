#pragma once
// A fleet's day inside one process, on a virtual clock: the fleet model and its
// dispatchers, a simulated gateway, and the service's own object (DorvekService) wired
// with the manual clock, the simulated link, and the real dispatch database behind a
// wrapper that strikes at chosen statements. Nothing reads a wall clock and nothing
// waits, so one seed gives one run, the same every time, and a simulated hour takes
// well under a second.
//
// Faults at moments drawn from the seed, one at a time: the process dies at a statement
// of the dispatch database (before or after it) or at a write of its queue file (the
// service object is discarded without its stop, what it had not committed goes with
// its connection, and a new one starts on the same files); the database connection is
// lost and the server stays away a while; a statement times out; another program holds
// a lock a while; a commit is made and its answer lost; the gateway closes the
// connection; a burst of junk on the stream; a pause; a stop and a start.

#include <filesystem>
#include <map>
#include <string>

#include "fleet/checker.h"
#include "fleet/sim_time.h"
#include "support/postgres_server.h"

namespace dorvek::fleet {

struct SimulationOptions {
  unsigned long long seed = 1;
  int taxis = 5;
  double hours = 8;
  double faults_per_hour = 6;
  // A database on this server (PostgreSQL); without it a SQLite file.
  const test_support::PostgresAddress* postgres = nullptr;
  // Writes the service's entries and the faults to stderr with their simulated time.
  bool trace = false;
};

struct SimulationResult {
  Report report;
  std::map<std::string, long long> faults;  // by kind
  long long packets = 0;                    // to the service
  long long received = 0;                   // by the terminals
  long long starts = 0;                     // of a service object
  bool drained = false;                     // everything was handled by the end
  std::string failure;                      // the run itself could not be made
  bool Passed() const { return failure.empty() && report.Passed(); }
};

// Plays the run in `dir` (made empty first). A run that cannot be made (its database,
// its files) ends with `failure` set rather than an exception.
SimulationResult RunSimulation(const SimulationOptions& options, const std::filesystem::path& dir);

}  // namespace dorvek::fleet
