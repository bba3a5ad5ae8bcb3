#include "support/service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "db/lan_notice.h"

extern char** environ;

namespace dorvek::test_support {
namespace {

using Clock = std::chrono::steady_clock;

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// A small reader for the one-level objects the JSON file sink writes.
class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text) : text_(text) {}

  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r'))
      ++pos_;
  }
  bool Take(char c) {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipBlanks();
    return pos_ == text_.size();
  }
  char Peek() {
    SkipBlanks();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }

  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (pos_ + 4 > text_.size()) return std::nullopt;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            code <<= 4;
            if (h >= '0' && h <= '9') code |= h - '0';
            else if (h >= 'a' && h <= 'f') code |= h - 'a' + 10;
            else if (h >= 'A' && h <= 'F') code |= h - 'A' + 10;
            else return std::nullopt;
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<long long> Integer() {
    SkipBlanks();
    const std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    if (pos_ == start || (pos_ == start + 1 && text_[start] == '-')) return std::nullopt;
    return std::stoll(std::string(text_.substr(start, pos_ - start)));
  }

 private:
  // Basic-plane code points only: the sink writes \u escapes for control bytes and
  // U+FFFD alone.
  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}


int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Polls for the child's end; kills it once the deadline has passed.
std::optional<int> Reap(pid_t pid, std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return DecodeStatus(status);
    if (r < 0 && errno != EINTR) return -1;
    if (Clock::now() >= until) break;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return std::nullopt;
}

}  // namespace

pid_t SpawnChild(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::filesystem::path& out_file,
                 const std::filesystem::path& err_file, OutputFiles mode) {
  const int flags = O_WRONLY | O_CREAT | (mode == OutputFiles::kAppend ? O_APPEND : O_TRUNC);
  std::vector<std::string> argv_strings{program.string()};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = env;
  auto argv = CStrings(argv_strings);
  auto envp = CStrings(env_strings);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_file.c_str(), flags, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(), flags, 0644);
  // The child starts with no signal blocked and the controls at their defaults, whatever
  // the test runner did with them.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE, SIGHUP}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0)
    throw std::runtime_error("cannot start " + program.string() + ": " + std::strerror(error));
  return pid;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dorvek-e2e-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error(ErrnoText("mkdtemp"));
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::optional<JournalEntry> ParseJournalLine(std::string_view line) {
  JsonCursor in(line);
  if (!in.Take('{')) return std::nullopt;
  JournalEntry entry;
  if (!in.Take('}')) {
    do {
      const auto key = in.String();
      if (!key || !in.Take(':')) return std::nullopt;
      if (in.Peek() == '"') {
        const auto value = in.String();
        if (!value) return std::nullopt;
        if (*key == "time") entry.time = *value;
        else if (*key == "source") entry.source = *value;
        else if (*key == "text") entry.text = *value;
      } else {
        const auto value = in.Integer();
        if (!value) return std::nullopt;
        if (*key == "type") entry.type = static_cast<int>(*value);
        else if (*key == "category") entry.category = static_cast<int>(*value);
        else if (*key == "id") entry.id = static_cast<int>(*value);
      }
    } while (in.Take(','));
    if (!in.Take('}')) return std::nullopt;
  }
  if (!in.AtEnd()) return std::nullopt;
  return entry;
}

std::string ShowEntries(const std::vector<JournalEntry>& entries) {
  std::string out;
  for (const auto& e : entries) out += "  [" + std::to_string(e.type) + "] " + e.text + "\n";
  return out;
}

std::string ReadFileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<JournalEntry> ReadJournal(const std::filesystem::path& file) {
  const std::string bytes = ReadFileBytes(file);
  std::vector<JournalEntry> entries;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    auto entry = ParseJournalLine(std::string_view(bytes).substr(start, end - start));
    if (entry) {
      entries.push_back(std::move(*entry));
    } else {
      ADD_FAILURE() << "event-log line is not a JSON entry: " << bytes.substr(start, end - start);
    }
  }
  return entries;
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& overrides) {
  static constexpr std::string_view kDropped[] = {
      "NOTIFY_SOCKET", "JOURNAL_STREAM", "WATCHDOG_USEC", "WATCHDOG_PID",
      "LISTEN_FDS",    "LISTEN_PID",     "LISTEN_FDNAMES", "DORVEKZOL_UNIT_DIR"};
  auto name_of = [](std::string_view assignment) {
    return assignment.substr(0, assignment.find('='));
  };
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string_view assignment = *e;
    bool drop = false;
    for (auto name : kDropped) drop = drop || name_of(assignment) == name;
    for (const auto& o : overrides) drop = drop || name_of(assignment) == name_of(o);
    if (!drop) env.emplace_back(assignment);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::filesystem::path& work_dir,
                         std::chrono::milliseconds deadline) {
  static std::atomic<int> counter = 0;  // a test may run two programs at once
  const std::string stem = "program-" + std::to_string(++counter);
  const auto out_file = work_dir / (stem + ".out");
  const auto err_file = work_dir / (stem + ".err");
  const pid_t pid = SpawnChild(program, args, ChildEnvironment(env), out_file, err_file);
  ProgramResult result;
  if (auto code = Reap(pid, deadline)) {
    result.exit_code = *code;
  } else {
    ADD_FAILURE() << program << " did not end within " << deadline.count() << " ms; killed";
  }
  result.out = ReadFileBytes(out_file);
  result.err = ReadFileBytes(err_file);
  return result;
}

std::vector<std::string> SplitNotice(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    fields.emplace_back(text.substr(start, comma - start));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

ServiceProcess::ServiceProcess(ServiceOptions options) : options_(std::move(options)) {
  event_log_ = options_.work_dir / (options_.name + ".jsonl");
  stdout_file_ = options_.work_dir / (options_.name + ".out");
  stderr_file_ = options_.work_dir / (options_.name + ".err");

  notice_fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (notice_fd_ < 0) throw std::runtime_error(ErrnoText("socket"));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // the kernel picks a free port
  socklen_t length = sizeof(address);
  if (::bind(notice_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(notice_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string text = ErrnoText("binding the notice port");
    ::close(notice_fd_);
    throw std::runtime_error(text);
  }
  notice_port_ = ntohs(address.sin_port);

  std::vector<std::string> args = options_.extra_args;
  args.insert(args.end(), {"--base-dir", options_.base_dir.string(), "--event-log",
                           event_log_.string(), "--lan-target",
                           "127.0.0.1:" + std::to_string(notice_port_)});
  try {
    pid_ = SpawnChild(options_.binary, args, ChildEnvironment(options_.env), stdout_file_, stderr_file_);
  } catch (...) {
    ::close(notice_fd_);
    throw;
  }
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (::testing::Test::HasFailure())
    std::fprintf(stderr, "--- %s (%s) ---\n%s--- end of %s ---\n", options_.name.c_str(),
                 options_.base_dir.c_str(), Diagnostics().c_str(), options_.name.c_str());
  ::close(notice_fd_);
}

void ServiceProcess::Signal(int signal) {
  ASSERT_GT(pid_, 0) << "the service has already ended";
  ASSERT_EQ(::kill(pid_, signal), 0) << std::strerror(errno);
}

std::optional<int> ServiceProcess::WaitForExit(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) {
    ADD_FAILURE() << "the service has already been waited for";
    return std::nullopt;
  }
  auto code = Reap(pid_, deadline);
  pid_ = -1;
  if (!code) ADD_FAILURE() << "the service did not end within " << deadline.count() << " ms; killed";
  return code;
}

std::optional<JournalEntry> ServiceProcess::WaitForEntry(std::string_view text,
                                                         std::chrono::milliseconds deadline) const {
  return WaitForEntry([text](const JournalEntry& e) { return e.text == text; }, deadline);
}

std::optional<JournalEntry> ServiceProcess::WaitForEntry(
    const std::function<bool(const JournalEntry&)>& match, std::chrono::milliseconds deadline) const {
  const auto until = Clock::now() + deadline;
  for (;;) {
    for (const auto& entry : Entries())
      if (match(entry)) return entry;
    if (Clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(20ms);
  }
}

std::optional<ReceivedNotice> ServiceProcess::WaitForNotice(std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{notice_fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[65536];
    const ssize_t n = ::recv(notice_fd_, buffer, sizeof(buffer), 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    ReceivedNotice notice;
    notice.bytes.assign(buffer, static_cast<std::size_t>(n));
    notice.text = db::XorCipher(notice.bytes, options_.key);
    return notice;
  }
}

std::string ServiceProcess::Diagnostics() const {
  return "stderr:\n" + ReadFileBytes(stderr_file_) + "stdout:\n" + ReadFileBytes(stdout_file_);
}

}  // namespace dorvek::test_support
