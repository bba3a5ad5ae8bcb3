#pragma once
// What the service can send to the terminals, in simulated time: message-box rows (one
// per firing of the message box) and packets (one send-pump firing's worth at a time).
// The dispatchers and the drivers take from it before they cause a packet, so the
// fleet never asks more of the service than it can send; what accrues is capped, so a
// quiet hour does not turn into a burst.

#include <algorithm>

#include "fleet/sim_time.h"

namespace dorvek::fleet {

class OutboundBudget {
 public:
  OutboundBudget(double rows_per_hour, double packets_per_hour)
      : rows_rate_(rows_per_hour / kHour), packets_rate_(packets_per_hour / kHour),
        rows_cap_(std::max(2.0, rows_rate_ * 5 * kMinute)),
        packets_cap_(std::max(3.0, packets_rate_ * 5 * kMinute)) {}

  // Takes rows and packets when both are there; false (taking nothing) otherwise.
  bool TryTake(SimMs now, int rows, int packets) {
    Accrue(now);
    if (rows_ + 1e-9 < rows || packets_ + 1e-9 < packets) return false;
    rows_ -= rows;
    packets_ -= packets;
    return true;
  }

 private:
  void Accrue(SimMs now) {
    const double elapsed = static_cast<double>(std::max<SimMs>(0, now - last_));
    last_ = std::max(last_, now);
    rows_ = std::min(rows_cap_, rows_ + elapsed * rows_rate_);
    packets_ = std::min(packets_cap_, packets_ + elapsed * packets_rate_);
  }

  double rows_rate_, packets_rate_;  // per simulated millisecond
  double rows_cap_, packets_cap_;
  double rows_ = 1, packets_ = 1;
  SimMs last_ = 0;
};

}  // namespace dorvek::fleet
