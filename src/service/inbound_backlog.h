#pragma once
// The backlog of the inbound queue: when each waiting packet arrived (so the age of
// the oldest is known), how long the controller takes per packet, and how long the
// queue would take to drain at that pace. When the drain time crosses a minute the
// service says so once with a warning, and once with an information entry when it is
// back at half a minute or less (the gap keeps a queue that hovers near the line from
// writing two entries a tick).
//
//   calm ──drain time > 60 s: warning──► behind ──drain time <= 30 s: information──► calm
//
// The queue is appended only at its end (received packets) and taken from its head
// (the controller, which may later put a packet back there): Sync after each append or
// each handling tells the backlog the new length, and it follows.

#include <chrono>
#include <cstddef>
#include <deque>

#include "core/clock.h"
#include "core/event_log.h"

namespace dorvek::service {

struct Pace {
  int packets_per_tick = 1;
  std::chrono::milliseconds tick_interval{1000};  // the pause after a tick
  double seconds_per_packet = 0;                  // handling time, as measured
};

// Seconds until `waiting` packets are handled at this pace: whole ticks of
// packets_per_tick packets, each followed by the interval, and the handling time.
double DrainSeconds(std::size_t waiting, const Pace& pace);

class InboundBacklog {
 public:
  static constexpr double kWarnAboveSeconds = 60;
  static constexpr double kCalmAtSeconds = 30;

  InboundBacklog(core::EventLog& log, const core::Clock& clock) : log_(log), clock_(clock) {}

  void Configure(int packets_per_tick);
  const Pace& pace() const { return pace_; }

  // The queue's length now: packets beyond the known ones arrived now, at the end;
  // fewer than known were taken from the head. Warns or calms when the drain time
  // crosses its line.
  void Sync(std::size_t length);
  // A tick handled `handled` packets in `elapsed`: the measured pace follows.
  void TickDone(std::size_t handled, std::chrono::steady_clock::duration elapsed);
  // The queue is gone (stop): nothing waits any more.
  void Clear();

  std::size_t waiting() const { return arrivals_.size(); }
  // How long the oldest waiting packet has waited; 0 when none waits.
  double AgeSeconds() const;
  double DrainSecondsNow() const { return DrainSeconds(arrivals_.size(), pace_); }

 private:
  core::EventLog& log_;
  const core::Clock& clock_;
  Pace pace_;
  std::deque<std::chrono::steady_clock::time_point> arrivals_;  // oldest first
  bool behind_ = false;
};

}  // namespace dorvek::service
