#pragma once
// Event-log entries as readable lines on a terminal or in a file.

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/date_time.h"
#include "core/event_log.h"

namespace dorvek::core {

// "error", "warning" or "information".
std::string_view EntryTypeName(EntryType type);

// "2026-12-08 01:43:38.123 information DorvekZOL[1/0]: text" followed by a line end;
// [category/id]. A text of several lines (CR LF, LF or CR) continues on indented lines.
std::string FormatTextEntry(const LogEntry& entry, const DateTime& time);

class StderrEventLog : public EventLog {
 public:
  // Both must outlive the log. Each entry is written whole and flushed.
  explicit StderrEventLog(const Clock& clock, std::FILE* out = stderr)
      : clock_(clock), out_(out) {}
  void Write(const LogEntry& entry) override;

 private:
  const Clock& clock_;
  std::FILE* out_;
  std::mutex mutex_;
};

}  // namespace dorvek::core
