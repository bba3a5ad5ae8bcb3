#include "service/timer_list.h"

#include <algorithm>

namespace dorvek::service {
namespace {

// A zero or negative interval would make an event due forever; one millisecond is
// the shortest the list keeps.
TimerList::Duration Sane(TimerList::Duration d) { return std::max(d, TimerList::Duration(1)); }

}  // namespace

int TimerList::Add(std::string name, Duration interval, bool repeats, bool enabled,
                   Handler handler) {
  interval = Sane(interval);
  events_.push_back(
      Event{std::move(name), interval, repeats, enabled, std::move(handler), clock_.Steady() + interval});
  Changed();
  return static_cast<int>(events_.size()) - 1;
}

void TimerList::SetActive(bool active) {
  if (active && !active_) {
    // Activation starts every enabled event counting.
    const TimePoint now = clock_.Steady();
    for (auto& e : events_) e.due = now + e.interval;
  }
  active_ = active;
  Changed();
}

void TimerList::SetSuspended(bool suspended) {
  suspended_ = suspended;
  Changed();
}

void TimerList::SetEnabled(int event, bool enabled) {
  Event& e = events_.at(event);
  e.enabled = enabled;
  if (enabled) e.due = clock_.Steady() + e.interval;
  Changed();
}

void TimerList::SetSuspension(int event, Suspension suspension) {
  events_.at(event).suspension = suspension;
  Changed();
}

void TimerList::SetInterval(int event, Duration interval) {
  Event& e = events_.at(event);
  e.interval = Sane(interval);
  if (e.enabled) e.due = clock_.Steady() + e.interval;
  Changed();
}

void TimerList::RunDue() {
  const TimePoint now = clock_.Steady();
  std::vector<bool> fired(events_.size(), false);
  for (;;) {
    int next = -1;
    for (int i = 0; i < static_cast<int>(events_.size()); ++i) {
      const Event& e = events_[i];
      if (!CanFire(e) || fired[i] || e.due > now) continue;
      if (next < 0 || e.due < events_[next].due) next = i;
    }
    if (next < 0) break;
    fired[next] = true;
    Event& e = events_[next];
    if (!e.repeats) e.enabled = false;
    // The interval counts from this firing, however late it is.
    e.due = clock_.Steady() + e.interval;
    const Handler handler = e.handler;  // the handler may change the list
    try {
      if (handler) handler();
    } catch (const std::exception& ex) {
      if (on_failure_) on_failure_(events_[next].name, ex);
    } catch (...) {
      if (on_failure_) on_failure_(events_[next].name, std::runtime_error("unknown failure"));
    }
  }
  Changed();
}

std::optional<TimerList::TimePoint> TimerList::NextDue() const {
  std::optional<TimePoint> next;
  for (const auto& e : events_)
    if (CanFire(e) && (!next || e.due < *next)) next = e.due;
  return next;
}

}  // namespace dorvek::service
