#pragma once
// The dispatchers' desk of a run against the real service: a thread of its own with a
// connection of its own to the dispatch database, so a database that is slow or away
// holds up the dispatchers and not the fleet. Jobs run in the order given; a job that
// fails is run again after a pause (the dispatchers' program tries until it works),
// and its done goes back to the scheduler's thread.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "core/memory_event_log.h"
#include "db/connection_settings.h"
#include "db/soci_database.h"
#include "fleet/fleet_ports.h"
#include "fleet/real/real_time_scheduler.h"

namespace dorvek::fleet {

class DeskWorker : public DispatchDesk {
 public:
  DeskWorker(const db::ConnectionSettings& settings, RealTimeScheduler& scheduler);
  ~DeskWorker() override;

  void Submit(Job job, std::function<void()> done) override;

  // True once every job given so far has run and its done has been handed back.
  bool Idle() const;
  long long failures() const;
  // Stops after the job under way; jobs not yet run are dropped.
  void Stop();

 private:
  void Work();

  RealTimeScheduler& scheduler_;
  core::MemoryEventLog log_;
  db::SociDatabase db_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<Job, std::function<void()>>> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  long long failures_ = 0;
  std::thread thread_;
};

}  // namespace dorvek::fleet
