#pragma once
// The event log the service host writes to: the systemd journal when the process runs
// as a systemd service, else readable lines on stderr; plus, when asked, a JSON file.

#include <filesystem>
#include <memory>
#include <string_view>

#include "core/clock.h"
#include "core/event_log.h"

namespace dorvek::core {

enum class HostLogSink { kAuto, kJournal, kStderr };

// True when JOURNAL_STREAM ("device:inode", as systemd sets it) names the given file:
// the documented test that stderr is connected to the journal.
bool JournalStreamMatches(std::string_view journal_stream, unsigned long long device,
                          unsigned long long inode);
// True when this process's stderr is the journal stream systemd gave it.
bool StderrIsJournal();

// kAuto picks the journal when StderrIsJournal(), else stderr. With a non-empty
// json_file every entry is also appended there (throws std::runtime_error when that file
// cannot be opened). The clock stamps stderr and JSON entries and must outlive the log.
std::unique_ptr<EventLog> MakeHostEventLog(const Clock& clock,
                                           const std::filesystem::path& json_file = {},
                                           HostLogSink sink = HostLogSink::kAuto);

}  // namespace dorvek::core
