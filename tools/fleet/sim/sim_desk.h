#pragma once
// The dispatchers' program in a simulated run: their work on the dispatch database, one
// job after another on a connection of their own, on the run's virtual loop. A job that
// fails is tried again half a second later.

#include <deque>
#include <functional>
#include <utility>

#include "fleet/fleet_ports.h"
#include "fleet/sim_time.h"

namespace dorvek::fleet {

class SimDesk : public DispatchDesk {
 public:
  SimDesk(Scheduler& scheduler, db::Database& db) : scheduler_(scheduler), db_(db) {}

  void Submit(Job job, std::function<void()> done) override;
  bool Idle() const { return jobs_.empty(); }
  long long failures() const { return failures_; }

 private:
  void Schedule(SimMs delay);
  void RunHead();

  Scheduler& scheduler_;
  db::Database& db_;
  std::deque<std::pair<Job, std::function<void()>>> jobs_;
  bool scheduled_ = false;
  long long failures_ = 0;
};

}  // namespace dorvek::fleet
