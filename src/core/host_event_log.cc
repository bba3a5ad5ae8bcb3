#include "core/host_event_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>

#include "core/journal_event_log.h"
#include "core/json_file_event_log.h"
#include "core/stderr_event_log.h"
#include "core/tee_event_log.h"

namespace dorvek::core {
namespace {

bool ParseWhole(std::string_view text, unsigned long long& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool JournalStreamMatches(std::string_view journal_stream, unsigned long long device,
                          unsigned long long inode) {
  const std::size_t colon = journal_stream.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long dev = 0, ino = 0;
  return ParseWhole(journal_stream.substr(0, colon), dev) &&
         ParseWhole(journal_stream.substr(colon + 1), ino) && dev == device && ino == inode;
}

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return JournalStreamMatches(stream, st.st_dev, st.st_ino);
}

std::unique_ptr<EventLog> MakeHostEventLog(const Clock& clock,
                                           const std::filesystem::path& json_file,
                                           HostLogSink sink) {
  const bool journal =
      sink == HostLogSink::kJournal || (sink == HostLogSink::kAuto && StderrIsJournal());
  std::unique_ptr<EventLog> host;
  if (journal) {
    host = std::make_unique<JournalEventLog>();
  } else {
    host = std::make_unique<StderrEventLog>(clock);
  }
  if (json_file.empty()) return host;
  auto tee = std::make_unique<TeeEventLog>();
  tee->Add(std::move(host));
  tee->Add(std::make_unique<JsonFileEventLog>(json_file, clock));
  return tee;
}

}  // namespace dorvek::core
