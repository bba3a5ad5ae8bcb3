#pragma once
// Event-log entries into the systemd journal.

#include <string>
#include <vector>

#include "core/event_log.h"

namespace dorvek::core {

// Journal priority of an entry type: 3 error, 4 warning, 6 information.
int JournalPriority(EntryType type);

// The journal fields of one entry, each "NAME=value": MESSAGE (the text with its
// control characters by name, ControlForm::kLines), PRIORITY, SYSLOG_IDENTIFIER (the
// entry's source), DORVEK_TYPE, DORVEK_CATEGORY and DORVEK_EVENT_ID; and DORVEK_TEXT,
// the exact text, when MESSAGE differs from it.
std::vector<std::string> JournalFields(const LogEntry& entry);

class JournalEventLog : public EventLog {
 public:
  // An entry the journal refuses is dropped.
  void Write(const LogEntry& entry) override;
};

}  // namespace dorvek::core
