#pragma once
// Event-log entries appended to a file, one JSON object per line, for tools and tests
// that follow the service's progress while it runs.

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/date_time.h"
#include "core/event_log.h"

namespace dorvek::core {

// The text as a JSON string, quotes included. Quote, backslash and control characters
// are escaped (CR, LF and tab as \r, \n, \t, the rest as \u00XX), so a text of several
// lines stays one string. Valid UTF-8 passes through; a byte that is not part of a
// valid UTF-8 sequence becomes U+FFFD, so the line is always valid JSON.
std::string JsonQuote(std::string_view text);

// {"time":"2026-12-08T01:43:38.123","source":"DorvekZOL","type":4,"category":1,
// "id":0,"text":"..."} without a line end.
std::string FormatJsonEntry(const LogEntry& entry, const DateTime& time);

class JsonFileEventLog : public EventLog {
 public:
  // Opens the file for appending, creating it when missing. Throws
  // std::runtime_error naming the file when it cannot be opened. The clock gives the
  // local time of each entry and must outlive the log.
  JsonFileEventLog(const std::filesystem::path& file, const Clock& clock);
  ~JsonFileEventLog() override;
  JsonFileEventLog(const JsonFileEventLog&) = delete;
  JsonFileEventLog& operator=(const JsonFileEventLog&) = delete;

  // Each entry is one write of one whole line, so a reader never sees half a line
  // and sees every line as soon as Write returns. A line that cannot be written is
  // dropped.
  void Write(const LogEntry& entry) override;

 private:
  const Clock& clock_;
  int fd_ = -1;
  std::mutex mutex_;
};

}  // namespace dorvek::core
