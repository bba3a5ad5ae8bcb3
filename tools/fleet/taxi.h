#pragma once
// One taxi of the fleet: its terminal, its driver and where they are in their day.
//
//   off duty ──log-in──► logging in ──sheet seen──► idle ◄──────────────┐
//      ▲                                              │ │ │             │
//      └──────────────shift end───────────────────────┘ │ └─break──► on break
//                                                       │
//          street hail ──end──► awaiting free ──freed───┤
//   reserved ──offer──► to pickup ──board──► on board ──alight──► awaiting free
//      │  (refused, rejected, stale, withdrawn, no-show) ────────────────┘ idle
//
// "Awaiting free": the finished ride stays on the trip sheet (lsn_actie "K") until the
// dispatchers, having seen it completed, set the sheet back ("M").

#include <string>
#include <vector>

#include "fleet/random.h"
#include "fleet/record.h"
#include "fleet/sim_time.h"

namespace dorvek::fleet {

enum class Phase {
  kOffDuty,
  kLoggingIn,
  kIdle,
  kBreak,
  kHail,
  kAwaitFree,
  kReserved,
  kToPickup,
  kOnBoard,
};

// What becomes of a ride offered to a taxi; drawn when the dispatchers plan it.
enum class Fate {
  kComplete,   // acknowledged, boarded, alighted with fare and odometer
  kNoShow,     // acknowledged, then the passenger is not there
  kRefuse,     // the driver refuses the form
  kReject,     // the gateway answers REJ
  kStale,      // the gateway answers NAK: the message arrived too late
  kWithdraw,   // the dispatchers take it back before the driver answers
};

struct Shift {
  SimMs start = 0;
  SimMs end = 0;
  bool before_run = false;  // begun before the run: its trip sheet is open at the start
};

struct Taxi {
  Taxi(const Vehicle& v, const Driver& d, Rng r) : vehicle(&v), driver(&d), rng(r) {}

  const Vehicle* vehicle;
  const Driver* driver;
  Rng rng;

  Phase phase = Phase::kOffDuty;
  long long generation = 0;  // moves on at every change of phase: older timers do nothing
  std::vector<Shift> shifts;
  std::size_t shift = 0;  // the current or next shift

  // The terminal.
  int tag = 0;
  SimMs last_time = -kSecond;  // the last packet time used (whole seconds)
  double lat = 51.44, lon = 5.47, heading = 0;
  double odometer_m = 0;
  bool driving = false;

  // What the dispatchers know of it.
  long long lsn_id = 0;      // the open trip sheet, once seen
  long long closed_lsn = 0;  // the sheet of the last shift, not to be taken for the new one
  long long watch_ride = 0;  // a ride whose new status must be seen before another offer
  std::string watch_status;
  bool freeing = false;      // the sheet is being freed

  // The ride in hand.
  long long ride = 0;
  Fate fate = Fate::kComplete;
  bool accept_by_event = false;  // acknowledges with status event 27 instead of ACK
  bool call_request = false;     // asks for the customer to be called
  long long offer_seen = 0;      // the ride of the last offer its terminal received
  bool answered = false;
  SimMs hail_time = -1;          // packet time of the current street hail's start
  bool refuelled = false;        // once a shift
  long long tenths() const { return static_cast<long long>(odometer_m / 100.0); }
  bool on_duty() const { return phase != Phase::kOffDuty && phase != Phase::kLoggingIn; }
  SimMs shift_end() const { return shift < shifts.size() ? shifts[shift].end : 0; }
};

}  // namespace dorvek::fleet
