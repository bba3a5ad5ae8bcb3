#pragma once
// The packet controller: each tick it takes the oldest inbound packet, announces the
// gateway's traffic, logs the fields, finds the vehicle, fixes the packet's time and runs
// the handlers the message number and the body select, in a fixed order.
//
// While the database cannot be reached nothing is lost: the vehicle lookup is the first
// database work of every packet, so a lookup that fails because the connection is broken
// or cannot be opened has written nothing, and the packet goes back to the head of the
// queue for the next tick. Its notice and field list belong to the packet and are not
// repeated for each try. Such an outage is one warning when it begins and one
// information entry when a lookup reaches the database again:
//
//   connected ──lookup fails, connection──► away (packet put back; warning once)
//       ▲                                     │ lookup fails again: put back, silent
//       └──────── a lookup gets through ──────┘ (information: how long, how many waited)
//
// Every other failure ends the packet, which is not handled again.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/metrics.h"
#include "db/udp_sender.h"
#include "gateway/packet_queue.h"
#include "inbound/failure_counting_log.h"
#include "inbound/packet_context.h"
#include "inbound/zol_gps.h"

namespace dorvek::inbound {

// The family the controller's own steps count under in the metrics.
inline constexpr std::string_view kControllerFamily = "packet_controller";

// Whether HandleNext looks the packet's vehicle up in the database, or may take the row
// an earlier packet of the same stretch found (packets handled in one go: a tick, or
// the part of a tick within its time budget). A row is so never older than its
// stretch, and with one packet a tick every packet looks its vehicle up afresh.
enum class VehicleLookup { kAfresh, kWithinStretch };

// What one call of HandleNext did with the head of the inbound queue.
enum class HandleResult {
  kQueueEmpty,  // nothing to take
  kTaken,       // the oldest packet was taken and handled, whatever came of it
  kPutBack,     // the database could not be reached: back at the head, to be tried again
};

class PacketController {
 public:
  struct Parts {
    core::EventLog& log;
    const core::Clock& clock;
    db::Database& db;
    db::UdpSender& lan;
    CurrentVehicle& vehicle;
    core::Metrics* metrics = nullptr;  // where packets are counted; none: not counted
  };

  explicit PacketController(Parts parts);

  void Configure(InboundSettings settings) { settings_ = std::move(settings); }

  // Handles the oldest entry of inbound, if any. It is removed before any database work,
  // so a packet whose handling fails is not handled again, except when its vehicle
  // lookup fails because the connection is broken or cannot be opened: then it goes
  // back to the head (kPutBack; a caller handling several entries in one go stops
  // there). Never throws: a failure that ends the packet is a warning with its own text.
  // Every packet taken is counted here, and only here: once for the controller's own
  // steps and once for each handler family that ran, as handled or failed.
  HandleResult HandleNext(gateway::PacketQueue& inbound, gateway::PacketQueue* outbound,
                          VehicleLookup lookup = VehicleLookup::kAfresh);

  // True while the database has not been reached since a lookup found it unreachable.
  bool database_away() const { return away_since_.has_value(); }

  // The handler families, in routing order, as the metrics name them.
  std::vector<std::string_view> families() const;

  const core::DateTime& pakket_tijd() const { return pakket_tijd_; }
  const Position& position() const { return position_; }

 private:
  // One row of the routing table: runs when the message number matches (any, when
  // absent) and the condition holds, in table order, until a handler ends the packet.
  struct Route {
    std::string_view family;
    std::optional<long long> number;
    std::function<bool(const PacketContext&)> applies;
    std::function<Outcome(const PacketContext&)> handle;
  };

  // `running` names the step a failure that escapes belongs to.
  HandleResult Handle(gateway::PacketQueue& inbound, gateway::PacketQueue* outbound,
                      std::string_view& running);
  enum class Counted { kHandled, kFailed };
  void Count(std::string_view family, Counted outcome);
  // Finds the vehicle for the packet's unit; false ends the packet.
  bool LookUpVehicle(gateway::PakketVelden& velden);
  void HandleRefusal(const gateway::PakketVelden& velden);
  core::DateTime PacketTime(const std::string& time) const;
  Outcome KeepAlive(const PacketContext& packet);
  // The outage's two entries: when a lookup first finds the database unreachable, and
  // when one reaches it again with `waiting` packets in the queue.
  void DatabaseAway(const std::exception& failure);
  void DatabaseBack(std::size_t waiting);

  Parts parts_;
  // Every entry of the controller and its handlers goes through here.
  FailureCountingLog log_;
  InboundSettings settings_;
  HandlerParts handler_parts_;
  std::vector<Route> routes_;
  // The vehicle lookup's answers within the stretch, by identity; nothing for an
  // identity no vehicle has.
  std::map<std::string, std::optional<db::Row>, std::less<>> vehicles_;
  core::DateTime pakket_tijd_;
  Position position_;
  // The text of the entry put back at the head, tried again at the next tick.
  std::optional<std::string> retrying_;
  std::optional<std::chrono::steady_clock::time_point> away_since_;
};

}  // namespace dorvek::inbound
