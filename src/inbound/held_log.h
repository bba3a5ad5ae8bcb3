#pragma once
// An event log that can hold back what a piece of work writes until the work's outcome
// is known: a packet that is kept for a later try leaves no entries behind, so its
// entries appear once, from the try that counted.

#include <vector>

#include "core/event_log.h"

namespace dorvek::inbound {

class HeldLog : public core::EventLog {
 public:
  explicit HeldLog(core::EventLog& inner) : inner_(inner) {}

  void Write(const core::LogEntry& entry) override {
    if (holding_)
      held_.push_back(entry);
    else
      inner_.Write(entry);
  }
  // From now on entries wait for Release or Discard.
  void Hold() { holding_ = true; }
  // Writes what was held, in order, and passes entries on again.
  void Release() {
    holding_ = false;
    for (const core::LogEntry& entry : held_) inner_.Write(entry);
    held_.clear();
  }
  // Drops what was held, and passes entries on again.
  void Discard() {
    holding_ = false;
    held_.clear();
  }

 private:
  core::EventLog& inner_;
  bool holding_ = false;
  std::vector<core::LogEntry> held_;
};

}  // namespace dorvek::inbound
