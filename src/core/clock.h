#pragma once
// The clock: wall time for texts and rows, steady time for timers. Virtual in tests.

#include <chrono>

#include "core/date_time.h"

namespace dorvek::core {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point Now() const = 0;
  virtual std::chrono::steady_clock::time_point Steady() const = 0;
  DateTime LocalNow() const { return DateTime::FromTimePoint(Now()); }
};

class SystemClock : public Clock {
 public:
  std::chrono::system_clock::time_point Now() const override {
    return std::chrono::system_clock::now();
  }
  std::chrono::steady_clock::time_point Steady() const override {
    return std::chrono::steady_clock::now();
  }
};

// A clock that moves only when told; both times advance together.
class ManualClock : public Clock {
 public:
  explicit ManualClock(std::chrono::system_clock::time_point start =
                           std::chrono::system_clock::time_point(std::chrono::hours(491256)))
      : now_(start) {}
  std::chrono::system_clock::time_point Now() const override { return now_; }
  std::chrono::steady_clock::time_point Steady() const override { return steady_; }
  void Advance(std::chrono::milliseconds d) {
    now_ += d;
    steady_ += d;
  }

 private:
  std::chrono::system_clock::time_point now_;
  std::chrono::steady_clock::time_point steady_{};
};

}  // namespace dorvek::core
