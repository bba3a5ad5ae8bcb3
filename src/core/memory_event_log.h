#pragma once
// An event log that keeps every entry in memory; for tests and tools.

#include <mutex>
#include <string>
#include <vector>

#include "core/event_log.h"

namespace dorvek::core {

class MemoryEventLog : public EventLog {
 public:
  void Write(const LogEntry& entry) override {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  std::vector<LogEntry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (const auto& e : entries_) result.push_back(e.text);
    return result;
  }
  bool Contains(EntryType type, const std::string& text) const {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
      if (e.type == type && e.text == text) return true;
    return false;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
};

}  // namespace dorvek::core
