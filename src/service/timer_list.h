#pragma once
// The service's one list of timer events. All periodic work hangs on it.
//
//   inactive ──SetActive(true)──► active ──SetSuspended(true)──► suspended
//                                   ▲                                │
//                                   └──────SetSuspended(false)───────┘
//
// An enabled event fires each time its interval has passed since it last fired or
// since it was enabled; enabling starts the interval afresh. A non-repeating event
// disables itself just before its handler runs. While the list is inactive nothing
// fires; while it is suspended only the events marked Suspension::kRunsOn fire (the
// service's own bookkeeping, never one of the service's specified events). An event
// that fell due meanwhile fires once when the list runs again, and its interval counts
// from that firing.
//
// The list keeps no thread and no timer of its own: whoever drives it calls RunDue
// when NextDue has come (the event loop in the service, the test with a virtual clock).

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"

namespace dorvek::service {

class TimerList {
 public:
  using Handler = std::function<void()>;
  // Called with the event's name when a handler throws; the event goes on firing.
  using FailureHandler = std::function<void(const std::string& event, const std::exception& e)>;
  using Duration = std::chrono::milliseconds;
  using TimePoint = std::chrono::steady_clock::time_point;
  // What a suspension of the list does to an event.
  enum class Suspension { kStops, kRunsOn };

  explicit TimerList(const core::Clock& clock) : clock_(clock) {}

  // Adds an event and returns its index.
  int Add(std::string name, Duration interval, bool repeats, bool enabled, Handler handler);

  void SetActive(bool active);
  bool active() const { return active_; }
  void SetSuspended(bool suspended);
  bool suspended() const { return suspended_; }

  // Enabling an event (also one already enabled) restarts its interval.
  void SetEnabled(int event, bool enabled);
  bool enabled(int event) const { return events_.at(event).enabled; }
  // A new interval; an enabled event restarts counting with it.
  void SetInterval(int event, Duration interval);
  Duration interval(int event) const { return events_.at(event).interval; }
  const std::string& name(int event) const { return events_.at(event).name; }
  // Every event stops while the list is suspended unless marked kRunsOn here.
  void SetSuspension(int event, Suspension suspension);

  void SetFailureHandler(FailureHandler handler) { on_failure_ = std::move(handler); }
  // Called after anything that may move NextDue, so a driver can re-arm its timer.
  void SetChangeListener(std::function<void()> listener) { on_change_ = std::move(listener); }

  // Runs, one at a time and earliest first, every event that is due now. Each due
  // event fires at most once per call.
  void RunDue();
  // When the next event falls due; nothing when the list cannot fire.
  std::optional<TimePoint> NextDue() const;

 private:
  struct Event {
    std::string name;
    Duration interval;
    bool repeats;
    bool enabled;
    Handler handler;
    TimePoint due;
    Suspension suspension = Suspension::kStops;
  };
  // Whether the event may fire at all in the list's present state.
  bool CanFire(const Event& e) const {
    return active_ && e.enabled && (!suspended_ || e.suspension == Suspension::kRunsOn);
  }
  void Changed() const {
    if (on_change_) on_change_();
  }

  const core::Clock& clock_;
  std::vector<Event> events_;
  bool active_ = false;
  bool suspended_ = false;
  FailureHandler on_failure_;
  std::function<void()> on_change_;
};

}  // namespace dorvek::service
