#include "fleet/real/desk_worker.h"

#include <chrono>

namespace dorvek::fleet {

DeskWorker::DeskWorker(const db::ConnectionSettings& settings, RealTimeScheduler& scheduler)
    : scheduler_(scheduler), db_(settings, log_) {
  thread_ = std::thread([this] { Work(); });
}

DeskWorker::~DeskWorker() { Stop(); }

void DeskWorker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DeskWorker::Submit(Job job, std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    jobs_.emplace_back(std::move(job), std::move(done));
  }
  wake_.notify_all();
}

bool DeskWorker::Idle() const {
  std::lock_guard lock(mutex_);
  return jobs_.empty() && !busy_;
}

long long DeskWorker::failures() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

void DeskWorker::Work() {
  for (;;) {
    std::pair<Job, std::function<void()>> next;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      next = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
    }
    for (;;) {
      try {
        next.first(db_);
        break;
      } catch (const std::exception&) {
        std::unique_lock lock(mutex_);
        ++failures_;
        if (wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stopping_; })) return;
      }
    }
    // Idle only once the done has run on the scheduler's thread.
    scheduler_.Post([this, done = std::move(next.second)] {
      done();
      {
        std::lock_guard lock(mutex_);
        busy_ = false;
      }
      wake_.notify_all();
    });
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stopping_ || !busy_; });
    if (stopping_) return;
  }
}

}  // namespace dorvek::fleet
