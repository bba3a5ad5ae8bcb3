#pragma once
// The packet controller: each tick it takes the oldest inbound packet, announces the
// gateway's traffic, logs the fields, finds the vehicle, fixes the packet's time and runs
// the handlers the message number and the body select, in a fixed order.
//
// Every packet's database work is one unit of work (db::Database): one transaction in
// which each statement is its own savepoint, so the handlers treat their failures as
// before, statement by statement, while an outage, a lock or a time-out (a failure that
// is not the packet's fault) undoes the packet whole. The packet then stays at the head
// of the queue, with whatever replies it had queued taken back and its log entries
// dropped, and is tried again whole at the next tick: no write is lost and none is made
// twice. Only a packet whose work has committed leaves the queue. Its notice and field
// list belong to the packet and are written once, not per try. Such a spell is one
// warning when it begins and one information entry when a packet gets through again:
//
//   in step ──a packet is kept: outage, lock or time-out──► waiting (warning once)
//       ▲                                                     │ kept again: silent
//       └────────── a packet's work commits ──────────────────┘ (information: how long,
//                                                                how many waited)
//
// A packet kept again and again by time-outs while the database answers (a row that a
// dispatcher's program holds locked, a statement that is always too slow) is given up
// after kGiveUpTries tries over at least kGiveUpAfter, with an error that names it, so
// it cannot hold up the queue for ever. Every other failure ends the packet, which is
// not handled again.

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
#include "inbound/held_log.h"
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
  kKept,        // an outage, a lock or a time-out: left at the head, to be tried again
};

// How long one packet's database work may take in all, its opening included.
inline constexpr std::chrono::seconds kPacketBudget{10};
// A packet kept by time-outs is given up once both have passed.
inline constexpr int kGiveUpTries = 10;
inline constexpr std::chrono::minutes kGiveUpAfter{5};

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

  // Handles the oldest entry of inbound, if any, and removes it once its work has
  // committed, so a packet whose handling fails for its own reasons is not handled
  // again. A packet struck by an outage, a lock or a time-out stays at the head
  // (kKept; a caller handling several entries in one go stops there). Never throws: a
  // failure that ends the packet is a warning with its own text. Every packet taken is
  // counted here, and only here: once for the controller's own steps and once for each
  // handler family that ran, as handled or failed.
  // make_safe (when given) writes the queues to their file: the replies a packet makes
  // are written by it before the packet's work commits, bound to the packet (reply_to),
  // and settled once it has; a packet handled again after a crash that finds its replies
  // there sends those and drops the ones it makes again.
  HandleResult HandleNext(gateway::PacketQueue& inbound, gateway::PacketQueue* outbound,
                          VehicleLookup lookup = VehicleLookup::kAfresh,
                          const std::function<bool()>& make_safe = {});

  // True while packets wait for the database: since a packet was kept, until one got
  // through.
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

  // Runs the packet's steps from the vehicle lookup on; `running` names the step a
  // failure that escapes belongs to.
  void Handle(gateway::PakketVelden& velden, gateway::PacketQueue* outbound, std::string_view& running);
  // Handle, catching what ends the packet (a warning with its own text). A failure that
  // is not the packet's fault is left to the unit of work, which it has doomed.
  void HandleCaught(gateway::PakketVelden& velden, gateway::PacketQueue* outbound);
  // The packet is kept for a later try: what it did is undone. Gives the result.
  HandleResult Keep(const std::string& text, const db::DatabaseError& failure, gateway::PacketQueue* outbound,
                    std::size_t outbound_before);
  enum class Counted { kHandled, kFailed };
  // Counts are applied once the packet's outcome is known.
  void Count(std::string_view family, Counted outcome);
  void ApplyCounts();
  // Finds the vehicle for the packet's unit; false ends the packet.
  bool LookUpVehicle(gateway::PakketVelden& velden);
  void HandleRefusal(const gateway::PakketVelden& velden);
  core::DateTime PacketTime(const std::string& time) const;
  Outcome KeepAlive(const PacketContext& packet);
  // The spell's two entries: when a packet is first kept, and when one gets through
  // again with `waiting` packets in the queue.
  void DatabaseAway(const db::DatabaseError& failure);
  void DatabaseBack(std::size_t waiting);

  Parts parts_;
  // A packet's entries wait here until its outcome is known.
  HeldLog held_log_;
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
  // The text of the entry kept at the head, tried again at the next tick, with its
  // tries and when the first failed.
  std::optional<std::string> retrying_;
  int tries_ = 0;
  std::chrono::steady_clock::time_point first_try_{};
  std::optional<std::chrono::steady_clock::time_point> away_since_;
  std::vector<std::pair<std::string, Counted>> counts_;
};

}  // namespace dorvek::inbound
