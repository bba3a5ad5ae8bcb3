#include "core/stderr_event_log.h"

#include <fmt/format.h>

namespace dorvek::core {
namespace {

constexpr std::string_view kContinuationIndent = "    ";

}  // namespace

std::string_view EntryTypeName(EntryType type) {
  switch (type) {
    case EntryType::kError:
      return "error";
    case EntryType::kWarning:
      return "warning";
    case EntryType::kInformation:
      return "information";
  }
  return "information";
}

std::string FormatTextEntry(const LogEntry& entry, const DateTime& time) {
  std::string line = fmt::format("{} {} {}[{}/{}]: ", time.ToIsoMillis(), EntryTypeName(entry.type),
                                 entry.source, entry.category, entry.id);
  line[10] = ' ';  // a blank reads better than ISO's "T" on a terminal
  const std::string_view text = entry.text;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += '\n';
      line += kContinuationIndent;
    } else {
      line += c;
    }
  }
  line += '\n';
  return line;
}

void StderrEventLog::Write(const LogEntry& entry) {
  try {
    const std::string line = FormatTextEntry(entry, clock_.LocalNow());
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
  } catch (...) {
    // Out of memory: the entry is dropped.
  }
}

}  // namespace dorvek::core
