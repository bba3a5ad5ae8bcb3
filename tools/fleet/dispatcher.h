#pragma once
// The dispatchers, as the service sees them: a program that writes into the dispatch
// database. They plan rides for taxis that are free (a planning row bound to the taxi's
// trip sheet) and offer them through the message box, take some back, send text
// messages and terminal macros, offer refused rides to another taxi, and set a trip
// sheet free once its ride is seen completed.
//
// They act on a taxi's rows only once the service has handled what the taxi sent that
// touches the same rows (a log-in, a refusal, a completed ride): they look at the
// database every half minute and wait until they see it. So every row both sides write
// has one order of writes, whatever the service's pace, and the checker can tell what
// it must hold.

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "fleet/fleet_ports.h"
#include "fleet/outbound_budget.h"
#include "fleet/record.h"
#include "fleet/sim_time.h"
#include "fleet/taxi.h"

namespace dorvek::fleet {

// What the dispatchers' work means to a taxi; the fleet model acts on it.
class DispatchEvents {
 public:
  virtual ~DispatchEvents() = default;
  virtual void SheetSeen(Taxi& taxi) = 0;      // its log-in has been handled
  virtual void SheetFreed(Taxi& taxi) = 0;     // its finished ride is off the sheet
  virtual void RidePlanned(Taxi& taxi) = 0;    // the ride and its offer row are written
  virtual void RideWithdrawn(Taxi& taxi) = 0;  // taken back before the driver answered
};

class Dispatcher {
 public:
  struct Parts {
    Scheduler& scheduler;
    DispatchDesk& desk;
    Record& record;
    OutboundBudget& budget;
    std::vector<Taxi>& taxis;
    DispatchEvents& events;
  };

  Dispatcher(Parts parts, unsigned long long seed, SimMs duration);

  void Start();

  // The taxi waits for the sheet of its log-in to be seen.
  void AwaitSheet(Taxi& taxi);
  // The taxi's ride must be seen in this status before it is offered another.
  void Watch(Taxi& taxi, long long ride, const std::string& status);
  // The taxi's ride is finished; its sheet is freed once the ride is seen completed.
  void AwaitFree(Taxi& taxi);

  long long rows_written() const { return rows_written_; }

 private:
  void Poll();
  void Observe(const std::vector<db::Row>& sheets, const std::vector<db::Row>& rides);
  void Plan();
  void Offer(Taxi& taxi, Fate fate, long long returned_ride);
  void Withdraw(Taxi& taxi, long long ride, long long lsn_id);
  void Free(Taxi& taxi, long long lsn_id);
  void Messages();
  // A berichtenbox row of kind 6 (a DeskAction of kind kMessageRow), written inside a
  // desk job after the job's other writes; its date is one second past the last row's at
  // least, so rows keep their order.
  DeskAction NextRow(long long wag_id, long long actie, long long pla_id, std::string text);
  static long long WriteRow(db::Database& db, const DeskAction& row);
  void RecordRow(DeskAction row, long long bbo_id, bool yields_packet);
  Taxi* IdleTaxi(SimMs needed);
  bool Running() const { return parts_.scheduler.Now() < duration_; }

  Parts parts_;
  Rng rng_;
  SimMs duration_;
  bool polling_ = false;
  long long rides_planned_ = 0;
  long long rows_written_ = 0;
  long long markers_ = 0;
  SimMs last_row_second_ = -kSecond;
  std::deque<long long> returned_;  // refused rides waiting for another taxi
  // A fate drawn while the service had no room for what it asks: kept for the next
  // plan, so fates that need more room are not drawn less often.
  std::optional<Fate> next_fate_;
  int withdrawals_waiting_ = 0;
};

}  // namespace dorvek::fleet
