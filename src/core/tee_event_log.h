#pragma once
// One event log that writes every entry to several sinks, in the order they were added.

#include <memory>
#include <vector>

#include "core/event_log.h"

namespace dorvek::core {

class TeeEventLog : public EventLog {
 public:
  // A sink the tee owns.
  void Add(std::unique_ptr<EventLog> sink);
  // A sink owned elsewhere; it must outlive the tee.
  void Add(EventLog& sink);
  std::size_t size() const { return sinks_.size(); }

  // A sink that throws despite its contract does not keep the entry from the others.
  void Write(const LogEntry& entry) override;

 private:
  std::vector<std::unique_ptr<EventLog>> owned_;
  std::vector<EventLog*> sinks_;
};

}  // namespace dorvek::core
