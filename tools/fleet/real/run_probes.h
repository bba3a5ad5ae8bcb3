#pragma once
// Figures of a run against the real service, taken while it plays: the service's
// resident memory and open descriptors every few seconds, and the moment each gps row
// became visible to another connection (committed), for the delay from the gateway's
// write to the row.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db/connection_settings.h"
#include "fleet/real/service_process.h"

namespace dorvek::fleet {

struct Sample {
  double real_s = 0;
  long long rss_kib = 0;
  long long fds = 0;
};

class RunProbes {
 public:
  RunProbes(std::function<std::optional<ProcessFigures>()> figures, std::function<double()> clock,
            db::ConnectionSettings settings, double sample_every_s, bool watch_rows);
  ~RunProbes();

  void Start();
  void Stop();

  std::vector<Sample> samples() const;
  // (GPS_Imei, GPS_Datum_UTC) of each gps row: when it was first seen, in seconds of the run.
  std::map<std::pair<std::string, std::string>, double> seen() const;

 private:
  void Sampler();
  void Watcher();
  bool Wait(double seconds);

  std::function<std::optional<ProcessFigures>()> figures_;
  std::function<double()> clock_;
  db::ConnectionSettings settings_;
  double every_;
  bool watch_rows_;
  mutable std::mutex mutex_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  std::vector<Sample> samples_;
  std::map<std::pair<std::string, std::string>, double> seen_;
  std::thread sampler_, watcher_;
};

}  // namespace dorvek::fleet
