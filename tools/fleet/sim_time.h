#pragma once
// Simulated time of a fleet run, and the scheduler the fleet's model runs on. The model
// never reads a clock of its own: everything it does is a piece of work the scheduler
// runs at a simulated moment, so the same model runs against the real service (a
// scheduler that follows the wall clock, faster by a factor) or inside one process on
// a virtual clock.

#include <functional>
#include <queue>
#include <vector>

#include "core/date_time.h"

namespace dorvek::fleet {

// Milliseconds of simulated time since the run began.
using SimMs = long long;

inline constexpr SimMs kSecond = 1000;
inline constexpr SimMs kMinute = 60 * kSecond;
inline constexpr SimMs kHour = 60 * kMinute;

// The wall-clock date and time of a simulated moment, to the second (rounded down).
inline core::DateTime SimDateTime(const core::DateTime& start, SimMs at) {
  return start.AddSeconds(at / kSecond).value_or(start);
}

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  // The simulated time now.
  virtual SimMs Now() const = 0;
  // Runs work at simulated time `at`, or as soon as possible when that has passed. Work
  // due at the same moment runs in the order it was given. Work may schedule more.
  virtual void At(SimMs at, std::function<void()> work) = 0;
};

// A piece of work a scheduler keeps, and the queue that gives the earliest first and,
// at the same moment, the one given first.
struct ScheduledWork {
  SimMs at;
  long long order;
  std::function<void()> work;
  bool operator>(const ScheduledWork& other) const { return at != other.at ? at > other.at : order > other.order; }
};
using WorkQueue = std::priority_queue<ScheduledWork, std::vector<ScheduledWork>, std::greater<>>;

}  // namespace dorvek::fleet
