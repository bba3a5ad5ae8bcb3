#include "core/journal_event_log.h"

#include <sys/uio.h>

#include <fmt/format.h>
#include <systemd/sd-journal.h>

#include "core/control_names.h"

namespace dorvek::core {

int JournalPriority(EntryType type) {
  switch (type) {
    case EntryType::kError:
      return 3;
    case EntryType::kWarning:
      return 4;
    case EntryType::kInformation:
      return 6;
  }
  return 6;
}

std::vector<std::string> JournalFields(const LogEntry& entry) {
  // journalctl shows a message with any control but LF and TAB as "[N blob data]".
  std::string message = ShowControlChars(entry.text, ControlForm::kLines);
  std::vector<std::string> fields = {
      "MESSAGE=" + message,
      fmt::format("PRIORITY={}", JournalPriority(entry.type)),
      "SYSLOG_IDENTIFIER=" + entry.source,
      fmt::format("DORVEK_TYPE={}", static_cast<int>(entry.type)),
      fmt::format("DORVEK_CATEGORY={}", entry.category),
      fmt::format("DORVEK_EVENT_ID={}", entry.id),
  };
  if (message != entry.text) fields.push_back("DORVEK_TEXT=" + entry.text);
  return fields;
}

void JournalEventLog::Write(const LogEntry& entry) {
  try {
    // sd_journal_sendv takes the fields as they are: no format string, and a text
    // with line breaks or NUL bytes stays one field.
    const std::vector<std::string> fields = JournalFields(entry);
    std::vector<iovec> iov;
    iov.reserve(fields.size());
    for (const auto& f : fields)
      iov.push_back(iovec{const_cast<char*>(f.data()), f.size()});
    sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
  } catch (...) {
    // Out of memory while building the fields: the entry is dropped.
  }
}

}  // namespace dorvek::core
