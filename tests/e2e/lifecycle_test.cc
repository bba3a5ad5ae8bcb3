// The real binary through start, pause, continue and stop: the files it writes, the
// event-log entries, the LAN notices on a loopback port, the operator notifications in
// a SQLite dispatch database and the gateway connection to a loopback listener.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/computer_name.h"
#include "db/soci_database.h"
#include "service/build_info.h"
#include "service/config_file.h"
#include "service/queue_store.h"
#include "service/unit_file.h"
#include "support/service_process.h"
#include "support/test_database.h"

namespace dorvek {
namespace {

using namespace std::chrono_literals;
using test_support::JournalEntry;
using test_support::ReadFileBytes;
using test_support::ReceivedNotice;
using test_support::ServiceOptions;
using test_support::ServiceProcess;
using test_support::SplitNotice;

constexpr const char* kInstalledConfig =
    "Taxis Dorvek ZOL cliënt werd met succes geïnstalleerd (VmrZOLConfig.xml)";
constexpr const char* kStarted = "Taxis Dorvek ZOL cliënt werd normaal gestart";
constexpr const char* kConfiguredTemplate =
    "Taxis Dorvek ZOL cliënt werd met succes geconfigureerd op 127.0.0.1 via poort 4001";
constexpr const char* kPaused = "Taxis Dorvek ZOL cliënt werd onderbroken door pauze actie";
constexpr const char* kContinued = "Taxis Dorvek ZOL cliënt werd na een pauze gestart";
constexpr const char* kIncomplete = "Taxis Dorvek ZOL database gegevens onvolledig";
constexpr const char* kDbConnected = "Taxis Dorvek ZOL database gekoppeld";
constexpr const char* kDbDisconnected = "Taxis Dorvek ZOL database verbinding verbroken";
constexpr const char* kGatewayConnected = "Taxis Dorvek ZOL cliënt werd verbonden";
constexpr const char* kGatewayClosed = "Taxis Dorvek ZOL cliënt verbinding gestopt";

// A configuration written by the test. The defaults keep the first connections (after
// HTTPTimer) and the first supervision tick (after 30 s) out of every test's time, and
// leave the gateway unset.
struct ConfigValues {
  std::string http_timer = "600000";
  std::string binding = "127.0.0.1";
  std::string port;
  std::string sql_driver = "sqlite";
  std::string sql_database = "dispatch.db";
  std::string key = "Wexlor";
};

void WriteConfig(const std::filesystem::path& base, const ConfigValues& v) {
  std::ofstream out(base / "VmrZOLConfig.xml", std::ios::binary);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DorvekZOLserver>\n"
      << "<Timers>\n<HTTPTimer>" << v.http_timer << "</HTTPTimer>\n</Timers>\n"
      << "<TCPCLIENT>\n<Binding>" << v.binding << "</Binding>\n<Port>" << v.port
      << "</Port>\n</TCPCLIENT>\n<SQL>\n<SQLDriver>" << v.sql_driver << "</SQLDriver>\n"
      << "<SQLServer>127.0.0.1</SQLServer>\n<SQLInlognaam>sa</SQLInlognaam>\n"
      << "<SQLPaswoord>****</SQLPaswoord>\n<SQLDatabase>" << v.sql_database << "</SQLDatabase>\n"
      << "<Netwerksleutel>" << v.key << "</Netwerksleutel>\n<ZOLid>mux</ZOLid>\n"
      << "<Separator>.</Separator>\n<Bedragen>0</Bedragen>\n</SQL>\n</DorvekZOLserver>\n";
  ASSERT_TRUE(out.good());
}

void CreateDispatchDatabase(const std::filesystem::path& file) {
  test_support::RunSqliteScript(file, ReadFileBytes(test_support::SqliteSchemaPath()));
}

struct Notification {
  long long status = 0;
  long long type = 0;
  long long actief = 0;
  long long wagen = -1;
  std::string opmerking;
};

// The StatusMeldingen rows in the order they were written, read through the same
// database layer the service uses.
std::vector<Notification> ReadNotifications(const std::filesystem::path& file) {
  core::MemoryEventLog log;
  db::ConnectionSettings settings;
  settings.driver = "sqlite";
  settings.database = file.string();
  db::SociDatabase database(settings, log);
  std::vector<Notification> out;
  for (const auto& row : database.Query(
           "SELECT mel_status, mel_type, mel_actief, mel_wagen, mel_opmerking "
           "FROM StatusMeldingen ORDER BY rowid")) {
    out.push_back({row.Int("mel_status"), row.Int("mel_type"), row.Int("mel_actief"),
                   row.Int("mel_wagen", -1), row.Text("mel_opmerking")});
  }
  return out;
}

std::vector<std::string> Texts(const std::vector<JournalEntry>& entries) {
  std::vector<std::string> texts;
  for (const auto& e : entries) texts.push_back(e.text);
  return texts;
}

// Position of the first entry with the text at or after `from`; -1 when there is none.
long IndexOf(const std::vector<JournalEntry>& entries, const std::string& text, long from = 0) {
  for (long i = std::max(from, 0L); i < static_cast<long>(entries.size()); ++i)
    if (entries[i].text == text) return i;
  return -1;
}

long CountOf(const std::vector<JournalEntry>& entries, const std::string& text) {
  return std::count_if(entries.begin(), entries.end(),
                       [&](const JournalEntry& e) { return e.text == text; });
}

// Local time of a notice's 14-digit time field.
std::time_t NoticeTime(const std::string& digits) {
  std::tm tm{};
  tm.tm_year = std::stoi(digits.substr(0, 4)) - 1900;
  tm.tm_mon = std::stoi(digits.substr(4, 2)) - 1;
  tm.tm_mday = std::stoi(digits.substr(6, 2));
  tm.tm_hour = std::stoi(digits.substr(8, 2));
  tm.tm_min = std::stoi(digits.substr(10, 2));
  tm.tm_sec = std::stoi(digits.substr(12, 2));
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// Every directory and file under a base directory with what a write would change.
struct FileState {
  bool directory = false;
  std::string bytes;
  ino_t inode = 0;
  mode_t mode = 0;
  struct timespec mtime {};
  bool operator==(const FileState& o) const {
    return directory == o.directory && bytes == o.bytes && inode == o.inode && mode == o.mode &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

// Every file and directory under base but the queue store, which is the service's data
// and not the installation's: it keeps the packet queues from one run to the next, and
// SQLite's companion files come and go beside it, which changes its directory's time.
std::map<std::string, FileState> Snapshot(const std::filesystem::path& base) {
  const std::filesystem::path store = base / service::kQueueStorePath;
  std::map<std::string, FileState> files;
  auto record = [&](const std::filesystem::path& p) {
    if (p.string().starts_with(store.string())) return;
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return;
    FileState s;
    s.directory = S_ISDIR(st.st_mode);
    if (!s.directory) s.bytes = ReadFileBytes(p);
    s.inode = st.st_ino;
    s.mode = st.st_mode;
    // The queue store's directory changes as packets come and go; the store itself is
    // kept out below.
    if (p != store.parent_path()) s.mtime = st.st_mtim;
    const std::string name = std::filesystem::relative(p, base).string();
    // The figures for the monitoring are written at every start by design; what a start
    // must leave alone is the data directories and the configuration files.
    if (name.starts_with("VmrZOLData/metrics")) return;
    files[name] = s;
  };
  record(base);
  for (const auto& e : std::filesystem::recursive_directory_iterator(base)) record(e.path());
  return files;
}

class ServiceLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(DORVEK_BINARY)) << "build the dorvekzol target first";
    base_ = tmp_.path() / "base";
    std::filesystem::create_directory(base_);
  }

  std::unique_ptr<ServiceProcess> Launch(const std::string& name = "run",
                                         const std::string& key = "Wexlor") {
    ServiceOptions options;
    options.binary = DORVEK_BINARY;
    options.base_dir = base_;
    options.work_dir = tmp_.path();
    options.name = name;
    options.key = key;
    return std::make_unique<ServiceProcess>(options);
  }

  // Waits for a notice and checks its form; gives its fields (none on failure).
  std::vector<std::string> ExpectNotice(ServiceProcess& service, const std::string& kind,
                                        const std::string& detail) {
    const std::optional<ReceivedNotice> notice = service.WaitForNotice();
    if (!notice) {
      ADD_FAILURE() << "no LAN notice " << kind << " came";
      return {};
    }
    const auto fields = SplitNotice(notice->text);
    EXPECT_EQ(fields.size(), 5u) << notice->text;
    if (fields.size() != 5) return {};
    EXPECT_EQ(fields[0], kind) << notice->text;
    EXPECT_TRUE(std::regex_match(fields[1], std::regex("[0-9]{14}"))) << notice->text;
    EXPECT_EQ(fields[2], db::ComputerName());
    EXPECT_EQ(fields[3], "ZOLFFFFFFF");
    EXPECT_EQ(fields[4], "#" + detail + "#");
    return fields;
  }

  // Stops the service with the signal and expects notice 701 and exit status 0.
  void ExpectCleanStop(ServiceProcess& service, int signal = SIGTERM) {
    service.Signal(signal);
    ExpectNotice(service, "701", "0000");
    EXPECT_EQ(service.WaitForExit(), 0);
  }

  test_support::TempDir tmp_;
  std::filesystem::path base_;
};

TEST_F(ServiceLifecycle, FirstStartInAnEmptyDirectoryInstallsConfiguresAndAnnounces) {
  auto service = Launch();
  const auto fields = ExpectNotice(*service, "700", "0000");
  ASSERT_FALSE(fields.empty());
  EXPECT_LE(std::abs(std::difftime(NoticeTime(fields[1]), std::time(nullptr))), 120.0)
      << "the notice time is local time now: " << fields[1];

  for (const char* dir : {"VmrZOLData", "VmrZOLData/Logs", "VmrZOLData/Config", "VmrZOLData/XML"})
    EXPECT_TRUE(std::filesystem::is_directory(base_ / dir)) << dir;
  std::string template_bytes;
  for (const auto& line : service::ConfigTemplateLines(base_)) template_bytes += line + "\r\n";
  for (const char* file : {"VmrZOLConfig.xml", "VmrZOLData/Config/readme.xml"}) {
    EXPECT_EQ(ReadFileBytes(base_ / file), template_bytes) << file;
    struct stat st {};
    ASSERT_EQ(::stat((base_ / file).c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file << " holds the database password";
  }

  ASSERT_TRUE(service->WaitForEntry(kConfiguredTemplate));
  const auto entries = service->Entries();
  ASSERT_GE(entries.size(), 4u);
  EXPECT_EQ(entries[0].text, kInstalledConfig);
  EXPECT_EQ(entries[1].text, "Taxis Dorvek ZOL " + service::VersionText()) << "the executable's version and commit";
  EXPECT_EQ(entries[2].text, kStarted);
  EXPECT_EQ(entries[3].text, kConfiguredTemplate);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].source, "DorvekZOL");
    EXPECT_EQ(entries[i].type, 4);
    EXPECT_EQ(entries[i].category, 1);
    EXPECT_EQ(entries[i].id, 0);
  }

  ExpectCleanStop(*service);
  // The template names no database, so posting the stop notification cannot connect.
  const auto after = service->Entries();
  const long incomplete = IndexOf(after, kIncomplete, 4);
  ASSERT_GE(incomplete, 0) << testing::PrintToString(Texts(after));
  EXPECT_EQ(after[incomplete].type, 2);
}

TEST_F(ServiceLifecycle, NoticesAreEncipheredWithTheTemplateKey) {
  auto service = Launch();
  const auto notice = service->WaitForNotice();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->bytes.size(), notice->text.size());
  EXPECT_NE(notice->bytes, notice->text);
  EXPECT_EQ(notice->text.rfind("700,", 0), 0u) << notice->text;
  ExpectCleanStop(*service);
}

TEST_F(ServiceLifecycle, StartWithEverythingPresentWritesNothing) {
  {
    auto first = Launch("first");
    ExpectNotice(*first, "700", "0000");
    ExpectCleanStop(*first);
  }
  const auto before = Snapshot(base_);
  ASSERT_EQ(before.size(), 7u) << "base, four directories and two files";

  auto second = Launch("second");
  ExpectNotice(*second, "700", "0000");
  ASSERT_TRUE(second->WaitForEntry(kConfiguredTemplate));
  ExpectCleanStop(*second);

  const auto texts = Texts(second->Entries());
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[1], kStarted);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), kInstalledConfig), 0);
  EXPECT_TRUE(Snapshot(base_) == before) << "a file or directory was written on the second start";
}

TEST_F(ServiceLifecycle, EmptyConfigurationIsKeptAndGivesAPlainNotice) {
  { std::ofstream touch(base_ / "VmrZOLConfig.xml"); }
  // No key in the file: the notice goes out unenciphered.
  auto service = Launch("run", "");
  ExpectNotice(*service, "700", "0000");
  ExpectCleanStop(*service);

  EXPECT_EQ(ReadFileBytes(base_ / "VmrZOLConfig.xml"), "");
  const auto entries = service->Entries();
  EXPECT_EQ(CountOf(entries, kInstalledConfig), 0);
  EXPECT_EQ(IndexOf(entries, kStarted), 1);
  for (const auto& e : entries)
    EXPECT_EQ(e.text.find("geconfigureerd op"), std::string::npos)
        << "no port is configured, so no gateway address is set: " << e.text;
  // What it lacks is an error entry at start (and the head of the status line).
  EXPECT_EQ(CountOf(entries, "Taxis Dorvek ZOL cliënt niet geconfigureerd in " +
                                 (base_ / "VmrZOLConfig.xml").string() +
                                 ": gateway address (Port), database (SQLServer, SQLDatabase, "
                                 "SQLInlognaam, SQLPaswoord)"),
            1)
      << testing::PrintToString(Texts(entries));
}

TEST_F(ServiceLifecycle, ConfiguredKeyEnciphersTheNotices) {
  ConfigValues config;
  config.key = "Q7z";
  WriteConfig(base_, config);
  auto service = Launch("run", "Q7z");
  ExpectNotice(*service, "700", "0000");
  ExpectCleanStop(*service);
}

TEST_F(ServiceLifecycle, PauseAndContinueAreAnnouncedAndLogged) {
  auto service = Launch();
  ExpectNotice(*service, "700", "0000");

  service->Signal(SIGUSR1);
  ExpectNotice(*service, "701", "0000");
  const auto paused = service->WaitForEntry(kPaused);
  ASSERT_TRUE(paused);
  EXPECT_EQ(paused->type, 4);
  EXPECT_EQ(paused->category, 1);

  service->Signal(SIGUSR2);
  // No packet has been handled, so there is no current vehicle.
  ExpectNotice(*service, "700", "0");
  const auto continued = service->WaitForEntry(kContinued);
  ASSERT_TRUE(continued);
  EXPECT_EQ(continued->type, 4);

  ExpectCleanStop(*service);
  const auto entries = service->Entries();
  EXPECT_LT(IndexOf(entries, kPaused), IndexOf(entries, kContinued));
  EXPECT_EQ(CountOf(entries, kPaused), 1);
  EXPECT_EQ(CountOf(entries, kContinued), 1);
}

TEST_F(ServiceLifecycle, InterruptStopsLikeTerminate) {
  auto service = Launch();
  ExpectNotice(*service, "700", "0000");
  ExpectCleanStop(*service, SIGINT);
}

TEST_F(ServiceLifecycle, StopPostsNotification4008) {
  CreateDispatchDatabase(base_ / "dispatch.db");
  WriteConfig(base_, ConfigValues{});
  auto service = Launch();
  ExpectNotice(*service, "700", "0000");
  ExpectCleanStop(*service);

  const auto rows = ReadNotifications(base_ / "dispatch.db");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, 4008);
  EXPECT_EQ(rows[0].type, 1);
  EXPECT_EQ(rows[0].actief, 1);
  EXPECT_EQ(rows[0].wagen, 0);
  EXPECT_EQ(rows[0].opmerking, "Taxis Dorvek ZOL cliënt werd normaal gestopt op " + db::ComputerName());

  // Nothing opened the database before the stop, so the notification opened it.
  const auto entries = service->Entries();
  EXPECT_EQ(CountOf(entries, kDbConnected), 1);
  EXPECT_GT(IndexOf(entries, kDbConnected), IndexOf(entries, kStarted));
  EXPECT_EQ(CountOf(entries, kIncomplete), 0);
}

// A loopback TCP listener standing in for the gateway; it accepts and then only
// watches the connection.
class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(fd_, 4) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackListener() {
    if (peer_ >= 0) ::close(peer_);
    ::close(fd_);
  }
  int port() const { return port_; }

  bool Accept(std::chrono::milliseconds deadline = test_support::kDefaultWait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline.count())) != 1) return false;
    peer_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer_ >= 0;
  }

  // Bytes received until the peer ends the connection; nothing when it stays open
  // past the deadline.
  std::optional<std::string> ReadToEnd(std::chrono::milliseconds deadline = test_support::kDefaultWait) {
    std::string bytes;
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd p{peer_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return std::nullopt;
      char buffer[4096];
      const ssize_t n = ::recv(peer_, buffer, sizeof(buffer), 0);
      if (n <= 0) return bytes;  // orderly end or reset
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  int port_ = 0;
};

TEST_F(ServiceLifecycle, StopWhileConnectedPosts4007Before4008) {
  LoopbackListener gateway;
  CreateDispatchDatabase(base_ / "dispatch.db");
  ConfigValues config;
  config.http_timer = "100";
  config.port = std::to_string(gateway.port());
  WriteConfig(base_, config);

  auto service = Launch();
  ExpectNotice(*service, "700", "0000");
  ASSERT_TRUE(gateway.Accept()) << "the first connection comes HTTPTimer after start";
  // The connected event logs this line and posts 4006 before the loop takes the stop.
  ASSERT_TRUE(service->WaitForEntry(kGatewayConnected));

  ExpectCleanStop(*service);
  const auto received = gateway.ReadToEnd();
  ASSERT_TRUE(received) << "the stop ends the gateway connection";
  EXPECT_EQ(*received, "") << "nothing is sent to a gateway that sent nothing";

  const auto rows = ReadNotifications(base_ / "dispatch.db");
  std::vector<long long> codes;
  for (const auto& r : rows) codes.push_back(r.status);
  EXPECT_EQ(codes, (std::vector<long long>{4006, 4007, 4008}));
  if (rows.size() == 3) {
    const std::string name = db::ComputerName();
    EXPECT_EQ(rows[0].opmerking, "Taxis Dorvek ZOL cliënt verbinding gestart op " + name);
    EXPECT_EQ(rows[1].opmerking, "Taxis Dorvek ZOL cliënt verbinding gestopt op " + name);
    for (const auto& r : rows) EXPECT_EQ(r.wagen, 0);
  }

  // Stop closes the socket, then the database, and opens it again for 4008.
  const auto entries = service->Entries();
  const long connected = IndexOf(entries, kGatewayConnected);
  const long closed = IndexOf(entries, kGatewayClosed, connected);
  const long disconnected = IndexOf(entries, kDbDisconnected, closed);
  const long reconnected = IndexOf(entries, kDbConnected, disconnected);
  EXPECT_GE(closed, 0) << testing::PrintToString(Texts(entries));
  EXPECT_GE(disconnected, 0) << testing::PrintToString(Texts(entries));
  EXPECT_GE(reconnected, 0) << testing::PrintToString(Texts(entries));
}

// A start whose readme cannot be written: the host's entry and the exit status the unit
// does not restart on, and nothing of the start after it.
void ExpectFailedStart(ServiceProcess& service, const std::string& naming = "readme.xml") {
  const auto code = service.WaitForExit();
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, service::kExitStartFailed);
  EXPECT_EQ(*code, 78);
  const auto entries = service.Entries();
  ASSERT_EQ(entries.size(), 1u) << testing::PrintToString(Texts(entries));
  EXPECT_EQ(entries[0].source, "DorvekZOL");
  EXPECT_EQ(entries[0].type, 1);
  EXPECT_EQ(entries[0].category, 0);
  EXPECT_EQ(entries[0].id, 0);
  EXPECT_EQ(entries[0].text.rfind("Service failed on start: ", 0), 0u) << entries[0].text;
  EXPECT_NE(entries[0].text.find(naming), std::string::npos) << entries[0].text;
  // The process has ended, so a notice it sent would already be waiting.
  EXPECT_FALSE(service.WaitForNotice(0ms));
}

TEST_F(ServiceLifecycle, StartFailsWhenTheConfigDirectoryIsAFile) {
  std::filesystem::create_directory(base_ / "VmrZOLData");
  { std::ofstream block(base_ / "VmrZOLData/Config"); }
  auto service = Launch();
  ExpectFailedStart(*service);
  EXPECT_FALSE(std::filesystem::exists(base_ / "VmrZOLConfig.xml"));
}

// A configuration that cannot be read (here a FIFO, which would also hold a plain read
// for ever) fails the start instead of running a service that does nothing.
TEST_F(ServiceLifecycle, StartFailsWhenTheConfigurationCannotBeRead) {
  ASSERT_EQ(::mkfifo((base_ / "VmrZOLConfig.xml").c_str(), 0600), 0);
  auto service = Launch();
  ExpectFailedStart(*service, "Cannot read file \"" + (base_ / "VmrZOLConfig.xml").string() +
                                  "\": not a regular file");
}

// The host itself cannot be set up (its event-log file is a directory): the same exit
// status, so the unit does not restart it in a loop.
TEST_F(ServiceLifecycle, HostThatCannotBeSetUpExitsAsAFailedStart) {
  std::filesystem::create_directory(tmp_.path() / "unopenable.jsonl");
  auto service = Launch("unopenable");
  const auto code = service->WaitForExit();
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, service::kExitStartFailed);
}

TEST_F(ServiceLifecycle, StartFailsWhenTheBaseDirectoryLiesBelowAFile) {
  { std::ofstream block(tmp_.path() / "plain-file"); }
  base_ = tmp_.path() / "plain-file" / "base";
  auto service = Launch();
  ExpectFailedStart(*service);
}

}  // namespace
}  // namespace dorvek
