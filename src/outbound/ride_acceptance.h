#pragma once
// The terminal's answer to a ride offer, recorded on the ride: acknowledged, or
// refused (by the driver, or "REJ"/"NAK" from the gateway) and back with the dispatchers.

#include "core/event_log.h"
#include "db/database.h"

namespace dorvek::outbound {

// Marks the ride acknowledged (pla_com_status 1). A ride number of 0 or less does
// nothing. A failure is an error entry; nothing else happens.
void AcceptatieRit(db::Database& db, core::EventLog& log, long long pla_id);

// Returns whatever the vehicle's open trip sheet carries (its route, or its one ride)
// to the dispatchers, frees the sheet and has the database re-check the vehicle's route
// status. A vehicle without an open sheet changes nothing. A failure is an error entry
// and skips the remaining steps; there is no transaction, so what ran stays done.
void NAKRitopdracht(db::Database& db, core::EventLog& log, long long wag_id);

}  // namespace dorvek::outbound
