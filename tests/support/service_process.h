#pragma once
// Runs the real dorvekzol binary as a child process for end-to-end tests: in its own
// base directory, with its event log in a JSON lines file and its LAN notices sent to a
// loopback UDP port that the harness receives and deciphers. Every wait is bounded.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace dorvek::test_support {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kDefaultWait = 10s;

// Polls the condition every 20 ms until it holds or the deadline has passed; true when
// it held.
template <typename Condition>
bool PollUntil(Condition condition, std::chrono::milliseconds deadline = kDefaultWait) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(20ms);
  }
}

// A fresh directory under the system's temporary directory, removed with everything
// in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The fields of one event-log line as the JSON file sink writes them.
struct JournalEntry {
  std::string time;
  std::string source;
  int type = 0;
  int category = -1;
  int id = -1;
  std::string text;
};

// One line of the JSON file: a flat object of string and integer members. Gives
// nothing for a line that is not such an object.
std::optional<JournalEntry> ParseJournalLine(std::string_view line);
// The complete lines of the file (a last line still being written is left out); a
// missing file has none.
std::vector<JournalEntry> ReadJournal(const std::filesystem::path& file);

// The entries one a line with their type ("  [2] text"), for failure messages.
std::string ShowEntries(const std::vector<JournalEntry>& entries);

// The whole file, or "" when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& file);

// The environment a child gets: this process's own, without the variables that would
// tie it to a service manager (NOTIFY_SOCKET, JOURNAL_STREAM, watchdog, socket
// activation) or to the unit directory, then `overrides` ("NAME=value") on top.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& overrides);

// How a child's output files are opened.
enum class OutputFiles { kTruncate, kAppend };

// Starts the program with exactly these arguments and this environment, stdin from
// /dev/null and stdout and stderr into the files, no signal blocked and the controls at
// their defaults, whatever the parent did with them. Throws std::runtime_error when it
// cannot be started.
pid_t SpawnChild(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::filesystem::path& out_file,
                 const std::filesystem::path& err_file, OutputFiles mode = OutputFiles::kTruncate);

struct ProgramResult {
  // The exit status, or 128 + the signal that ended it; -1 when it had to be killed
  // after the deadline (a test failure is added then).
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs the program with exactly these arguments to its end, its output captured in
// files under work_dir. Throws std::runtime_error when it cannot be started.
ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::filesystem::path& work_dir,
                         std::chrono::milliseconds deadline = kDefaultWait);

// One LAN notice as received: the datagram's bytes and the text they decipher to.
struct ReceivedNotice {
  std::string bytes;
  std::string text;
};

// The five fields of a notice text, split at its commas.
std::vector<std::string> SplitNotice(std::string_view text);

struct ServiceOptions {
  std::filesystem::path binary;
  std::filesystem::path base_dir;
  // Where this run's event log, stdout and stderr files go, named after `name`.
  std::filesystem::path work_dir;
  std::string name = "run";
  // The key the notices are deciphered with.
  std::string key = "Wexlor";
  // Given before the standard options --base-dir, --event-log and --lan-target.
  std::vector<std::string> extra_args;
  std::vector<std::string> env;
};

// The service running as a child: started by the constructor, killed by the destructor
// if it still runs. On a failed test the destructor prints the child's output.
class ServiceProcess {
 public:
  // Binds the notice port on 127.0.0.1 and starts the binary. Throws
  // std::runtime_error when either cannot be done.
  explicit ServiceProcess(ServiceOptions options);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  std::uint16_t notice_port() const { return notice_port_; }
  const std::filesystem::path& event_log() const { return event_log_; }
  bool running() const { return pid_ > 0; }

  void Signal(int signal);

  // The exit status, or 128 + the signal that ended it. After the deadline the child
  // is killed, a test failure is added and nothing is returned.
  std::optional<int> WaitForExit(std::chrono::milliseconds deadline = kDefaultWait);

  std::vector<JournalEntry> Entries() const { return ReadJournal(event_log_); }
  // Polls the event log every 20 ms for the first entry with exactly this text (or
  // that the predicate accepts), counting from the first line of the file.
  std::optional<JournalEntry> WaitForEntry(std::string_view text,
                                           std::chrono::milliseconds deadline = kDefaultWait) const;
  std::optional<JournalEntry> WaitForEntry(const std::function<bool(const JournalEntry&)>& match,
                                           std::chrono::milliseconds deadline = kDefaultWait) const;

  // The next datagram on the notice port, deciphered; nothing when none came in time.
  // A deadline of 0 only takes one already there.
  std::optional<ReceivedNotice> WaitForNotice(std::chrono::milliseconds deadline = kDefaultWait);

  // The child's stderr and stdout, for failure messages.
  std::string Diagnostics() const;

 private:
  ServiceOptions options_;
  std::filesystem::path event_log_;
  std::filesystem::path stdout_file_;
  std::filesystem::path stderr_file_;
  int notice_fd_ = -1;
  std::uint16_t notice_port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace dorvek::test_support
