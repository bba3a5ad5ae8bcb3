#include "fleet/sim/sim_desk.h"

#include <exception>

namespace dorvek::fleet {

namespace {
// A dispatcher's program takes a moment for each piece of work.
constexpr SimMs kWorkTime = 40;
constexpr SimMs kRetryAfter = 500;
}  // namespace

void SimDesk::Submit(Job job, std::function<void()> done) {
  jobs_.emplace_back(std::move(job), std::move(done));
  Schedule(kWorkTime);
}

void SimDesk::Schedule(SimMs delay) {
  if (scheduled_ || jobs_.empty()) return;
  scheduled_ = true;
  scheduler_.At(scheduler_.Now() + delay, [this] { RunHead(); });
}

void SimDesk::RunHead() {
  scheduled_ = false;
  if (jobs_.empty()) return;
  try {
    jobs_.front().first(db_);
  } catch (const std::exception&) {
    ++failures_;
    Schedule(kRetryAfter);
    return;
  }
  const std::function<void()> done = std::move(jobs_.front().second);
  jobs_.pop_front();
  if (done) done();
  Schedule(kWorkTime);
}

}  // namespace dorvek::fleet
