#pragma once
// The fleet a run plays: one company, its vehicles with their terminals, one driver per
// vehicle, the trip sheets of the drivers already on duty when the run begins; and the
// SQL that puts them into an empty dispatch database made from the project's schema.

#include <string>

#include "core/date_time.h"
#include "fleet/record.h"

namespace dorvek::fleet {

struct FleetShape {
  int taxis = 20;
  unsigned long long seed = 1;
  core::DateTime start;
  // Share of the drivers whose shift began before the run (their trip sheets are open).
  double on_duty_at_start = 0.5;
};

FleetSetup MakeFleet(const FleetShape& shape);

// INSERT statements for the company, its constants, the vehicles, the drivers and the
// open trip sheets, with explicit ids; for SQLite and PostgreSQL alike.
std::string FleetDataScript(const FleetSetup& setup);

}  // namespace dorvek::fleet
