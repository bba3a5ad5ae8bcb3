#include "fleet/real/run_probes.h"

#include "core/memory_event_log.h"
#include "db/soci_database.h"

namespace dorvek::fleet {

RunProbes::RunProbes(std::function<std::optional<ProcessFigures>()> figures, std::function<double()> clock,
                     db::ConnectionSettings settings, double sample_every_s, bool watch_rows)
    : figures_(std::move(figures)), clock_(std::move(clock)), settings_(std::move(settings)), every_(sample_every_s),
      watch_rows_(watch_rows) {}

RunProbes::~RunProbes() { Stop(); }

void RunProbes::Start() {
  sampler_ = std::thread([this] { Sampler(); });
  if (watch_rows_) watcher_ = std::thread([this] { Watcher(); });
}

void RunProbes::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (sampler_.joinable()) sampler_.join();
  if (watcher_.joinable()) watcher_.join();
}

bool RunProbes::Wait(double seconds) {
  std::unique_lock lock(mutex_);
  return !stop_cv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping_; });
}

std::vector<Sample> RunProbes::samples() const {
  std::lock_guard lock(mutex_);
  return samples_;
}

std::map<std::pair<std::string, std::string>, double> RunProbes::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

void RunProbes::Sampler() {
  do {
    if (const auto f = figures_()) {
      std::lock_guard lock(mutex_);
      samples_.push_back({clock_(), f->rss_kib, f->fds});
    }
  } while (Wait(every_));
}

void RunProbes::Watcher() {
  core::MemoryEventLog log;
  db::SociDatabase db(settings_, log);
  long long last = 0;
  do {
    try {
      const auto rows = db.Query("select GPS_id, GPS_Imei, GPS_Datum_UTC from gps where GPS_id > :last order by GPS_id",
                                 {{"last", last}});
      const double now = clock_();
      std::lock_guard lock(mutex_);
      for (const db::Row& row : rows) {
        last = std::max(last, row.Int("GPS_id"));
        const auto time = row.Date("GPS_Datum_UTC");
        seen_.emplace(std::make_pair(row.Text("GPS_Imei"), time ? time->ToSql() : std::string()), now);
      }
    } catch (const std::exception&) {
      if (!Wait(0.5)) return;  // the database is away: look again shortly
    }
  } while (Wait(0.05));
}

}  // namespace dorvek::fleet
