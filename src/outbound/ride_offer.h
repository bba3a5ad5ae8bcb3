#pragma once
// Offering a ride to a vehicle's terminal, and taking the offer back: each builds its
// packet, writes it to the event log and appends it to the outbound queue. Neither
// writes to the database; the message box marks its row afterwards.
//
// Nothing is caught here: a failing read ends the work before anything is logged or
// queued, and the failure passes to the caller.

#include "core/event_log.h"
#include "db/database.h"
#include "db/row.h"
#include "gateway/packet_queue.h"
#include "outbound/ride_packets.h"

namespace dorvek::outbound {

struct OfferParts {
  db::Database& db;
  core::EventLog& log;
  gateway::PacketQueue& queue;
};

// The ride offer for the planning row `rit`, to the vehicle of the message-box row
// `uitgaand` (its wag_imei), whatever vehicle the ride itself names. Reads the trip
// options of the ride's company, kind of transport and rc flag from zolinstellingen.
void VerzendenRit(const OfferParts& parts, const db::Row& uitgaand, const db::Row& rit, Amounts amounts);

// The withdrawal of the ride bbo_pla_id of the message-box row `uitgaand`, to its vehicle.
// The caller has found the ride; it is not read here.
void OngedaanVerzendenRit(const OfferParts& parts, const db::Row& uitgaand);

}  // namespace dorvek::outbound
