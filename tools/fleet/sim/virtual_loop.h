#pragma once
// The event loop of a fleet run inside one process: one thread, virtual time. The
// fleet's work (a fleet::Scheduler) and the service's timer list wait in time order;
// each Step moves the manual clock to the earliest of them and runs it. Nothing reads
// a wall clock, so a run is the same every time.

#include <functional>
#include <limits>
#include <queue>
#include <vector>

#include "core/clock.h"
#include "fleet/sim_time.h"
#include "service/timer_list.h"

namespace dorvek::fleet {

inline constexpr SimMs kNever = std::numeric_limits<SimMs>::max();

class VirtualLoop : public Scheduler {
 public:
  // Simulated time 0 is the clock's time when the loop is made.
  explicit VirtualLoop(core::ManualClock& clock) : clock_(clock), origin_(clock.Steady()) {}

  SimMs Now() const override;
  void At(SimMs at, std::function<void()> work) override;

  // Runs the earliest piece of work or due timer event of `timers` (may be null) at or
  // before `limit`, the work first when both fall due at the same moment. False, with
  // the clock at `limit`, when nothing falls due by then.
  bool Step(SimMs limit, service::TimerList* timers);

 private:
  void AdvanceTo(SimMs at);

  core::ManualClock& clock_;
  const std::chrono::steady_clock::time_point origin_;
  WorkQueue queue_;
  long long orders_ = 0;
};

}  // namespace dorvek::fleet
