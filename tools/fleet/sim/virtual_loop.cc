#include "fleet/sim/virtual_loop.h"

#include <algorithm>

namespace dorvek::fleet {

SimMs VirtualLoop::Now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Steady() - origin_).count();
}

void VirtualLoop::At(SimMs at, std::function<void()> work) {
  queue_.push({std::max(at, Now()), ++orders_, std::move(work)});
}

void VirtualLoop::AdvanceTo(SimMs at) {
  if (at > Now()) clock_.Advance(std::chrono::milliseconds(at - Now()));
}

bool VirtualLoop::Step(SimMs limit, service::TimerList* timers) {
  const SimMs work_at = queue_.empty() ? kNever : queue_.top().at;
  SimMs timer_at = kNever;
  if (timers != nullptr) {
    if (const auto due = timers->NextDue())
      timer_at = std::max(Now(), static_cast<SimMs>(std::chrono::ceil<std::chrono::milliseconds>(*due - origin_).count()));
  }
  const SimMs at = std::min(work_at, timer_at);
  if (at > limit) {
    AdvanceTo(limit);
    return false;
  }
  AdvanceTo(at);
  if (work_at <= at) {
    auto work = std::move(const_cast<ScheduledWork&>(queue_.top()).work);
    queue_.pop();
    work();
  } else {
    timers->RunDue();
  }
  return true;
}

}  // namespace dorvek::fleet
