#pragma once
// The scheduler of a run against the real service: simulated time follows the wall
// clock, `speed` times faster. Work runs on the thread that calls Run; other threads
// hand it work with Post.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <queue>
#include <vector>

#include "fleet/sim_time.h"

namespace dorvek::fleet {

class RealTimeScheduler : public Scheduler {
 public:
  explicit RealTimeScheduler(double speed);

  SimMs Now() const override;
  void At(SimMs at, std::function<void()> work) override;

  // From any thread: work to run on the scheduler's thread as soon as it can.
  void Post(std::function<void()> work);

  // Runs due work until `done` holds (asked after every piece of work and at least every
  // 50 ms of wall time).
  void Run(const std::function<bool()>& done);

  // Seconds of wall time since the scheduler was made.
  double RealSeconds() const;
  // The wall-clock moment of a simulated time.
  std::chrono::steady_clock::time_point RealAt(SimMs at) const;
  double speed() const { return speed_; }

 private:
  const double speed_;
  const std::chrono::steady_clock::time_point start_;
  WorkQueue queue_;  // the run thread's
  long long orders_ = 0;
  std::mutex mutex_;
  std::condition_variable posted_cv_;
  std::vector<std::function<void()>> posted_;
};

}  // namespace dorvek::fleet
