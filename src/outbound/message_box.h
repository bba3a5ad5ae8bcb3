#pragma once
// The outbound message box: the dispatch side's way to the terminals. Every firing
// takes the oldest unprocessed berichtenbox row of kind 6, turns it into one packet for
// its vehicle, appends that to the outbound queue and then marks the row processed
// (bbo_verwerkt 1, bbo_datum the time of processing).
//
// A row that cannot be handled must not hold up the rows behind it, so it is set aside:
//
//   waiting ──handled──► processed (marked)
//      │  ▲
//      │  └── retry_after has passed
//      ▼  │
//   set aside (stays unprocessed in the table; one warning naming bbo_id and why)
//
// Rows are set aside when their ride does not exist (actions 1 and 2), when their
// action is not one of the table, or when their handling has failed
// `failures_before_set_aside` firings in a row. A failure of the query that lists the
// waiting rows is the database's, not a row's: nothing is set aside then, and the count
// of failures starts afresh. Nor does a broken connection count against the row it
// happened on. After retry_after a set-aside row is taken again in its
// turn; if it still cannot be handled it is set aside again without another warning,
// and a row set aside for failing is set aside again at its next failure. What is known
// of rows that have left the table (processed or deleted by the dispatch side) is
// forgotten.
//
// The handler catches nothing for good: a failure is counted for its row and passes on
// to the caller (the timer list, whose host writes it as an error). A firing that fails
// leaves the queue as it found it, so the packet of a row that is taken again is never
// queued twice.

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/metrics.h"
#include "db/database.h"
#include "gateway/gateway_link.h"
#include "gateway/packet_queue.h"
#include "outbound/ride_packets.h"

namespace dorvek::outbound {

class MessageBox {
 public:
  struct Parts {
    core::EventLog& log;
    const core::Clock& clock;
    db::Database& db;
    gateway::GatewayLink& link;
    core::Metrics* metrics = nullptr;  // rows handled and set aside are counted here
  };
  struct Options {
    Amounts amounts = Amounts::kShown;  // from the Bedragen setting
    std::chrono::milliseconds retry_after = std::chrono::minutes(5);
    int failures_before_set_aside = 3;
  };

  explicit MessageBox(Parts parts) : parts_(parts) {}

  // The settings read at start.
  void Configure(const Options& options) { options_ = options; }

  // One firing: nothing while the gateway is not connected or there is no queue;
  // otherwise the oldest row that is not set aside. Throws what its work throws.
  void HandleNext(gateway::PacketQueue* queue);

  // Rows set aside now (for the status and for tests).
  std::size_t set_aside() const;

 private:
  enum class Reason { kNone, kRideMissing, kUnknownAction, kFailing };
  struct RowState {
    int failures = 0;  // firings in a row whose handling of this row failed
    std::optional<std::chrono::steady_clock::time_point> aside_until;
    Reason warned = Reason::kNone;  // the reason last given in a warning
  };

  // Handles the row; gives the reason when it has to be set aside instead.
  Reason Handle(const db::Row& row, gateway::PacketQueue& queue);
  void MarkProcessed(long long bbo_id);
  void Failed(long long bbo_id, const std::string& what);
  void SetAside(long long bbo_id, RowState& state, Reason reason, const std::string& why);

  Parts parts_;
  Options options_;
  std::map<long long, RowState> rows_;  // by bbo_id; only rows still waiting
};

}  // namespace dorvek::outbound
