#pragma once
// The event log: every entry the service writes about its progress and failures.

#include <string>
#include <string_view>

namespace dorvek::core {

enum class EntryType { kError = 1, kWarning = 2, kInformation = 4 };

// The service's own source name; the host's entries about a failed timer use the
// executable's file name instead.
inline constexpr std::string_view kServiceSource = "DorvekZOL";

struct LogEntry {
  std::string source;
  EntryType type = EntryType::kInformation;
  int category = 1;
  int id = 0;
  std::string text;  // UTF-8
};

// A sink for entries. Write never throws: a sink that cannot write drops the entry.
class EventLog {
 public:
  virtual ~EventLog() = default;
  virtual void Write(const LogEntry& entry) = 0;

  // The service's own entries: source DorvekZOL, category 1, identifier 0.
  void Info(std::string_view text) { WriteOwn(EntryType::kInformation, text); }
  void Warning(std::string_view text) { WriteOwn(EntryType::kWarning, text); }
  void Error(std::string_view text) { WriteOwn(EntryType::kError, text); }

 private:
  void WriteOwn(EntryType type, std::string_view text) {
    Write(LogEntry{std::string(kServiceSource), type, 1, 0, std::string(text)});
  }
};

}  // namespace dorvek::core
