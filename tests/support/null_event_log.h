#pragma once
// An event log that drops every entry: for benchmarks, where a long run must not
// measure the log's growth.

#include "core/event_log.h"

namespace dorvek::test_support {

class NullEventLog : public core::EventLog {
 public:
  void Write(const core::LogEntry&) override {}
};

}  // namespace dorvek::test_support
