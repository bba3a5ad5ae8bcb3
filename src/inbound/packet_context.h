#pragma once
// What every terminal event handler gets: the outside parts, the settings it needs, and
// the packet being handled with its vehicle and time.

#include <string>

#include "core/clock.h"
#include "core/date_time.h"
#include "core/event_log.h"
#include "db/database.h"
#include "gateway/packet_queue.h"
#include "gateway/pakket_velden.h"
#include "inbound/current_vehicle.h"

namespace dorvek::inbound {

// The configuration values packet handling reads; fixed from start on.
struct InboundSettings {
  std::string zol_id = "mux";   // prefix that turns a unit number into wag_imei
  std::string separator = ".";  // decimal mark of coordinates
  std::string netwerksleutel;   // LAN notice key
  std::string computer_name;    // upper case
};

struct HandlerParts {
  core::EventLog& log;
  const core::Clock& clock;
  db::Database& db;
  const InboundSettings& settings;
};

// One packet as the handlers see it, after its vehicle was found and its time fixed.
struct PacketContext {
  const gateway::PakketVelden& velden;
  long long number;  // the message number
  const CurrentVehicle& vehicle;
  core::DateTime pakket_tijd;
  gateway::PacketQueue* outbound;  // where replies go; missing before start and after stop
};

// A handler either lets the next one in the order try, or ends the packet.
enum class Outcome { kNext, kDone };

}  // namespace dorvek::inbound
