#include "core/json_file_event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "core/codepage.h"

namespace dorvek::core {
namespace {

// Length of the UTF-8 sequence a lead byte announces; 0 for a byte that cannot lead.
std::size_t SequenceLength(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0x80) {
      const std::size_t len = SequenceLength(b);
      if (len != 0 && i + len <= text.size() && IsValidUtf8(text.substr(i, len))) {
        out.append(text.substr(i, len));
        i += len;
      } else {
        out += "\\ufffd";
        ++i;
      }
      continue;
    }
    switch (b) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (b < 0x20) {
          out += fmt::format("\\u{:04x}", b);
        } else {
          out += static_cast<char>(b);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string FormatJsonEntry(const LogEntry& entry, const DateTime& time) {
  return fmt::format(R"({{"time":"{}","source":{},"type":{},"category":{},"id":{},"text":{}}})",
                     time.ToIsoMillis(), JsonQuote(entry.source), static_cast<int>(entry.type),
                     entry.category, entry.id, JsonQuote(entry.text));
}

JsonFileEventLog::JsonFileEventLog(const std::filesystem::path& file, const Clock& clock)
    : clock_(clock) {
  fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    throw std::runtime_error(fmt::format("Cannot open event-log file \"{}\": {}", file.string(),
                                         std::generic_category().message(errno)));
  }
}

JsonFileEventLog::~JsonFileEventLog() {
  if (fd_ >= 0) ::close(fd_);
}

void JsonFileEventLog::Write(const LogEntry& entry) {
  try {
    std::string line = FormatJsonEntry(entry, clock_.LocalNow());
    line += '\n';
    std::lock_guard lock(mutex_);
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // disk full or the like: the rest of the line is lost
      done += static_cast<std::size_t>(n);
    }
  } catch (...) {
    // Out of memory: the entry is dropped.
  }
}

}  // namespace dorvek::core
