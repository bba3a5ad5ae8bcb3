#pragma once
// An event log that passes every entry on and counts the warnings and errors among
// them. Handlers catch the failures of their own steps and log them, so the count tells
// the packet controller whether the handler it just ran met a failure.

#include <cstdint>

#include "core/event_log.h"

namespace dorvek::inbound {

class FailureCountingLog : public core::EventLog {
 public:
  explicit FailureCountingLog(core::EventLog& inner) : inner_(inner) {}

  void Write(const core::LogEntry& entry) override {
    if (entry.type != core::EntryType::kInformation) ++failures_;
    inner_.Write(entry);
  }
  std::uint64_t failures() const { return failures_; }

 private:
  core::EventLog& inner_;
  std::uint64_t failures_ = 0;
};

}  // namespace dorvek::inbound
