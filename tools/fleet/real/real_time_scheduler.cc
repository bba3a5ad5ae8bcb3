#include "fleet/real/real_time_scheduler.h"

namespace dorvek::fleet {

using SteadyClock = std::chrono::steady_clock;

RealTimeScheduler::RealTimeScheduler(double speed) : speed_(speed), start_(SteadyClock::now()) {}

SimMs RealTimeScheduler::Now() const {
  const auto elapsed = std::chrono::duration<double, std::milli>(SteadyClock::now() - start_).count();
  return static_cast<SimMs>(elapsed * speed_);
}

double RealTimeScheduler::RealSeconds() const {
  return std::chrono::duration<double>(SteadyClock::now() - start_).count();
}

SteadyClock::time_point RealTimeScheduler::RealAt(SimMs at) const {
  return start_ + std::chrono::duration_cast<SteadyClock::duration>(
                      std::chrono::duration<double, std::milli>(static_cast<double>(at) / speed_));
}

void RealTimeScheduler::At(SimMs at, std::function<void()> work) {
  queue_.push({at, ++orders_, std::move(work)});
}

void RealTimeScheduler::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
  }
  posted_cv_.notify_one();
}

void RealTimeScheduler::Run(const std::function<bool()>& done) {
  while (!done()) {
    std::vector<std::function<void()>> posted;
    {
      std::unique_lock lock(mutex_);
      if (posted_.empty()) {
        auto until = SteadyClock::now() + std::chrono::milliseconds(50);
        if (!queue_.empty()) until = std::min(until, RealAt(queue_.top().at));
        posted_cv_.wait_until(lock, until, [this] { return !posted_.empty(); });
      }
      posted.swap(posted_);
    }
    for (auto& work : posted) work();
    // Everything due now, but never so long that posted work waits.
    const auto stop = SteadyClock::now() + std::chrono::milliseconds(20);
    while (!queue_.empty() && queue_.top().at <= Now() && SteadyClock::now() < stop) {
      auto work = std::move(const_cast<ScheduledWork&>(queue_.top()).work);
      queue_.pop();
      work();
    }
  }
}

}  // namespace dorvek::fleet
