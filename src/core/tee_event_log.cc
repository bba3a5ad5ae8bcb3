#include "core/tee_event_log.h"

namespace dorvek::core {

void TeeEventLog::Add(std::unique_ptr<EventLog> sink) {
  if (!sink) return;
  sinks_.push_back(sink.get());
  owned_.push_back(std::move(sink));
}

void TeeEventLog::Add(EventLog& sink) { sinks_.push_back(&sink); }

void TeeEventLog::Write(const LogEntry& entry) {
  for (EventLog* sink : sinks_) {
    try {
      sink->Write(entry);
    } catch (...) {
    }
  }
}

}  // namespace dorvek::core
