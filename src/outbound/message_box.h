#pragma once
// The outbound message box: the dispatch side's way to the terminals. Every firing
// takes the oldest unprocessed berichtenbox row of kind 6, turns it into one packet for
// its vehicle, appends that to the outbound queue, has the queue made safe on disk and
// only then marks the row processed (bbo_verwerkt 1, bbo_datum the time of processing).
//
// The marking and the packet go together, whatever fails:
//   - the packet cannot be made safe: it is taken back and the row is not marked;
//   - the marking fails: the packet is taken back (the row is taken again later);
//   - the marking's answer is lost with the connection: the packet stays queued but held
//     (the send pump does not pass it) until the row is read again once the database is
//     back: marked, the packet is released; not marked, it is taken back.
// Packets loaded at start that still name their row are settled the same way.
//
// A row that cannot be handled must not hold up the rows behind it, so it is set aside:
//
//   waiting ──handled──► processed (marked)
//      │  ▲
//      │  └── retry_after has passed
//      ▼  │
//   set aside (stays unprocessed in the table; one warning naming bbo_id and why)
//      │
//      └── a later row for its ride or vehicle is handled ──► dropped (warning naming
//          both rows; never sent, left unprocessed for the dispatchers)
//
// Rows are set aside when their ride does not exist (actions 1 and 2) or their action is
// not one of the table; such a row sends nothing and does not use up the firing, which
// goes on with the next row (up to kRowsPerFiring rows, still at most one packet). A row
// whose handling has failed `failures_before_set_aside` firings in a row (a time-out or
// a lock included) is set aside too. A failure of the query that lists the waiting rows
// is the database's, not a row's: nothing is set aside then, and the count of failures
// starts afresh; nor does a broken connection count against the row it happened on.
// After retry_after a set-aside row is taken again in its turn; if it still cannot be
// handled it is set aside again without another warning. What is known of rows that
// have left the table is forgotten. The rows set aside are kept across a restart by the
// caller (aside_rows, Restore).
//
// The handler catches nothing for good: a failure is counted for its row and passes on
// to the caller (the timer list, whose host writes it as an error).

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/metrics.h"
#include "db/database.h"
#include "gateway/gateway_link.h"
#include "gateway/packet_queue.h"
#include "outbound/aside_row.h"
#include "outbound/ride_packets.h"

namespace dorvek::outbound {

// How long one firing's database work may take in all.
inline constexpr std::chrono::seconds kFiringBudget{10};
// Rows one firing looks at, at most, when the first ones cannot be handled.
inline constexpr int kRowsPerFiring = 100;

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
  // Makes what the queue holds safe on disk; false when it could not. Empty: the queue
  // is taken as safe (no store).
  using MakeSafe = std::function<bool()>;

  explicit MessageBox(Parts parts) : parts_(parts) {}

  // The settings read at start.
  void Configure(const Options& options) { options_ = options; }

  // One firing: nothing while the gateway is not connected or there is no queue;
  // otherwise the held packets are settled, then the oldest row that is not set aside
  // is handled. Throws what its work throws.
  void HandleNext(gateway::PacketQueue* queue, const MakeSafe& make_safe = {});

  // Rows set aside now (for the status and for tests).
  std::size_t set_aside() const;

  // What is remembered of rows set aside or failing, to keep across a restart, and
  // whether it changed since the last call of aside_rows.
  std::vector<AsideRow> aside_rows();
  bool aside_changed() const { return aside_changed_; }
  void Restore(const std::vector<AsideRow>& rows);

 private:
  enum class Reason { kNone, kRideMissing, kUnknownAction, kFailing };
  struct RowState {
    int failures = 0;  // firings in a row whose handling of this row failed
    std::optional<std::chrono::steady_clock::time_point> aside_until;
    Reason warned = Reason::kNone;  // the reason last given in a warning
    Reason reason = Reason::kNone;  // why it is set aside
    long long wag_id = 0;
    long long pla_id = 0;
    bool dropped = false;
  };
  // What became of one row.
  enum class Handled { kQueued, kNothingSent, kSetAside, kGone };

  // Settles the packets whose row's marking is not known (throws what reading the row
  // throws, leaving the rest held). True when it is done.
  bool Settle(gateway::PacketQueue& queue);
  Handled HandleRow(long long bbo_id, gateway::PacketQueue& queue, const MakeSafe& make_safe);
  // Builds and queues the row's packet; gives the reason when it has to be set aside.
  Reason Build(const db::Row& row, gateway::PacketQueue& queue);
  void Failed(long long bbo_id, const std::string& what);
  void SetAside(long long bbo_id, RowState& state, Reason reason, const std::string& why);
  // A row for this vehicle and ride was handled: rows set aside before it for either
  // are stale.
  void DropStale(long long bbo_id, long long wag_id, long long pla_id);

  Parts parts_;
  Options options_;
  std::map<long long, RowState> rows_;  // by bbo_id; only rows still waiting
  bool aside_changed_ = false;
};

}  // namespace dorvek::outbound
