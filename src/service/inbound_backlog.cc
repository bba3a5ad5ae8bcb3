#include "service/inbound_backlog.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace dorvek::service {

double DrainSeconds(std::size_t waiting, const Pace& pace) {
  if (waiting == 0) return 0;
  const double per_tick = std::max(pace.packets_per_tick, 1);
  const double ticks = std::ceil(static_cast<double>(waiting) / per_tick);
  return ticks * std::chrono::duration<double>(pace.tick_interval).count() +
         static_cast<double>(waiting) * pace.seconds_per_packet;
}

void InboundBacklog::Configure(int packets_per_tick) { pace_.packets_per_tick = std::max(packets_per_tick, 1); }

void InboundBacklog::Sync(std::size_t length) {
  const auto now = clock_.Steady();
  while (arrivals_.size() < length) arrivals_.push_back(now);
  while (arrivals_.size() > length) arrivals_.pop_front();

  const double drain = DrainSecondsNow();
  if (!behind_ && drain > kWarnAboveSeconds) {
    behind_ = true;
    log_.Warning(fmt::format(
        "Taxis Dorvek ZOL achterstand: {} pakketten wachten, ongeveer {:.0f} s werk bij het huidige tempo "
        "(PakkettenPerTick {})",
        length, drain, pace_.packets_per_tick));
  } else if (behind_ && drain <= kCalmAtSeconds) {
    behind_ = false;
    log_.Info(fmt::format("Taxis Dorvek ZOL achterstand ingehaald: {} pakketten wachten, ongeveer {:.0f} s werk",
                          length, drain));
  }
}

void InboundBacklog::TickDone(std::size_t handled, std::chrono::steady_clock::duration elapsed) {
  if (handled == 0) return;
  const double per_packet = std::chrono::duration<double>(elapsed).count() / static_cast<double>(handled);
  // Smoothed, so one slow packet does not swing the estimate.
  pace_.seconds_per_packet =
      pace_.seconds_per_packet == 0 ? per_packet : 0.8 * pace_.seconds_per_packet + 0.2 * per_packet;
}

void InboundBacklog::Clear() { arrivals_.clear(); }

double InboundBacklog::AgeSeconds() const {
  if (arrivals_.empty()) return 0;
  return std::chrono::duration<double>(clock_.Steady() - arrivals_.front()).count();
}

}  // namespace dorvek::service
