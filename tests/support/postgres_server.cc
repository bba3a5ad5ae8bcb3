#include "support/postgres_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace dorvek::test_support {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kRunuser = "/usr/sbin/runuser";
constexpr const char* kBash = "/bin/bash";
// The superuser's password, for the tests' own setup over TCP.
constexpr std::string_view kAdminPassword = "admin-geheim";

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The newest PostgreSQL the system has, as Debian installs it.
fs::path PostgresBin() {
  fs::path best;
  int best_version = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > best_version && fs::exists(entry.path() / "bin" / "pg_ctl")) {
      best_version = version;
      best = entry.path() / "bin";
    }
  }
  if (best.empty()) throw std::runtime_error("PostgreSQL is not installed (/usr/lib/postgresql/*/bin)");
  return best;
}

pid_t Spawn(const std::vector<std::string>& args, const fs::path& output, bool own_session) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string path_env = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  std::string lang_env = "LANG=C.UTF-8";
  char* envp[] = {path_env.data(), lang_env.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_session) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(error));
  return pid;
}

// Runs a command to its end, its output appended to `output`; kills it after the
// deadline. Gives its exit status, -1 when killed.
int RunCommand(const std::vector<std::string>& args, const fs::path& output,
               std::chrono::milliseconds deadline = 60s) {
  const pid_t pid = Spawn(args, output, false);
  const auto until = SteadyClock::now() + deadline;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -1;
    if (SteadyClock::now() >= until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
}

std::vector<std::string> AsPostgres(const fs::path& program, std::vector<std::string> args) {
  std::vector<std::string> out = {kRunuser, "-u", "postgres", "--", program.string()};
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(ErrnoText("socket"));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error(ErrnoText("bind"));
  }
  close(fd);
  return ntohs(address.sin_port);
}

bool Answers(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// A plain ODBC connection for the tests' own setup, apart from the code under test.
class OdbcConnection {
 public:
  explicit OdbcConnection(const std::string& connection_string) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(30), 0);
    const SQLRETURN rc = SQLDriverConnect(
        dbc_, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection_string.c_str())),
        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      const std::string text = Diagnostics(SQL_HANDLE_DBC, dbc_);
      Free();
      throw std::runtime_error("cannot connect to the test server: " + text);
    }
    connected_ = true;
  }
  ~OdbcConnection() { Free(); }
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  void Execute(const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    SQLRETURN rc =
        SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
    // Every statement's result, so an error in a later one is seen too.
    while (SQL_SUCCEEDED(rc)) rc = SQLMoreResults(stmt);
    const bool failed = rc != SQL_NO_DATA;
    const std::string text = failed ? Diagnostics(SQL_HANDLE_STMT, stmt) : std::string();
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (failed) throw std::runtime_error("script failed on the test server: " + text);
  }

 private:
  static std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string out;
    SQLCHAR state[6] = {}, message[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT i = 1; SQL_SUCCEEDED(SQLGetDiagRec(type, handle, i, state, &native, message,
                                                        sizeof message, &length));
         ++i)
      out += std::string(reinterpret_cast<char*>(state)) + " " +
             reinterpret_cast<char*>(message) + "\n";
    return out.empty() ? "no diagnostics" : out;
  }

  void Free() {
    if (connected_) SQLDisconnect(dbc_);
    connected_ = false;
    if (dbc_) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    if (env_) SQLFreeHandle(SQL_HANDLE_ENV, env_);
    dbc_ = SQL_NULL_HDBC;
    env_ = SQL_NULL_HENV;
  }

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

std::string SchemaScript() {
  const fs::path file = fs::path(DORVEK_SOURCE_DIR) / "src/db/schema/postgresql.sql";
  const std::string text = ReadAll(file);
  if (text.empty()) throw std::runtime_error("cannot read " + file.string());
  return text;
}

// SQL text of a literal: in single quotes, quotes doubled.
std::string Literal(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

constexpr const char* kContinueIdentities = R"sql(
DO $$
DECLARE r record;
BEGIN
  FOR r IN SELECT table_name, column_name FROM information_schema.columns
           WHERE table_schema = 'public' AND is_identity = 'YES' LOOP
    EXECUTE format('SELECT setval(pg_get_serial_sequence(%L, %L), '
                   'COALESCE((SELECT max(%I) FROM %I), 0) + 1, false)',
                   r.table_name, r.column_name, r.column_name, r.table_name);
  END LOOP;
END $$;
)sql";

// Where a server's directory goes: memory when the system has a tmpfs for it, which
// copies the template for each test database about half again as fast as a disk.
fs::path ServerParent() {
  std::error_code error;
  const auto space = fs::space("/dev/shm", error);
  if (!error && space.available > (1ull << 30) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

// The server's options: loopback only, on `port`, its socket in its own directory, and
// no waiting for the disk (test data need not survive a power loss).
std::string ServerOptions(const fs::path& dir, int port) {
  return "-c listen_addresses=127.0.0.1 -p " + std::to_string(port) +
         " -c unix_socket_directories=" + dir.string() +
         " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
}

// pg_ctl start of the cluster in `dir` on `port`, waiting until it takes connections.
bool StartCluster(const fs::path& bin, const fs::path& dir, int port) {
  const fs::path data = dir / "data";
  return RunCommand(AsPostgres(bin / "pg_ctl", {"-D", data.string(), "-l", (dir / "server.log").string(), "-w",
                                                "-t", "60", "-o", ServerOptions(dir, port), "start"}),
                    dir / "server.log") == 0;
}

// The server this process started for itself, stopped when the process ends.
std::unique_ptr<PostgresServer>& OwnServer() {
  static std::unique_ptr<PostgresServer> server;
  return server;
}

}  // namespace

std::unique_ptr<PostgresServer> PostgresServer::Start(pid_t owner) {
  if (owner <= 0) owner = getpid();
  const fs::path bin = PostgresBin();
  std::string pattern = (ServerParent() / "dorvek-pg-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error(ErrnoText("mkdtemp"));
  PostgresAddress address;
  address.dir = pattern;
  const fs::path data = address.dir / "data";
  const fs::path log = address.dir / "server.log";
  const fs::path password_file = address.dir / "password";
  {
    std::ofstream out(password_file);
    out << kAdminPassword << "\n";
  }
  // The directory from mkdtemp is root's, mode 0700: the server runs as postgres.
  std::string owner_name = "postgres:";
  if (RunCommand({"/bin/chown", "-R", owner_name, address.dir.string()}, log) != 0) {
    fs::remove_all(address.dir);
    throw std::runtime_error("cannot hand " + address.dir.string() + " to the postgres user");
  }

  // From here on a guardian stops whatever is started, should this process die.
  address.guardian = Spawn(
      {kBash, "-c",
       "owner=$1; end=$((SECONDS + $2)); "
       "while kill -0 \"$owner\" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.5; done; "
       "runuser -u postgres -- \"$3\" -D \"$4\" -m immediate stop; rm -rf \"$5\"",
       "guardian", std::to_string(owner), std::to_string(kMaxServerLife.count()),
       (bin / "pg_ctl").string(), data.string(), address.dir.string()},
      "/dev/null", true);
  std::unique_ptr<PostgresServer> server(new PostgresServer(address));

  const auto fail = [&](const std::string& what) {
    throw std::runtime_error(what + "\n--- server log ---\n" + ReadAll(log));
  };
  if (RunCommand(AsPostgres(bin / "initdb",
                            {"-D", data.string(), "-U", "postgres", "--auth-local=peer",
                             "--auth-host=scram-sha-256", "--pwfile=" + password_file.string(),
                             "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"}),
                 log) != 0)
    fail("initdb failed");
  // The port is free when chosen; another process may take it before the server binds
  // it, so a failed start tries another.
  for (int attempt = 0;; ++attempt) {
    const int port = FreeLoopbackPort();
    if (StartCluster(bin, address.dir, port)) {
      server->address_.port = port;
      break;
    }
    if (attempt == 2) fail("the server did not start");
  }

  const PostgresAddress& a = server->address_;
  RunPostgresAdmin(a, "CREATE ROLE " + std::string(kPostgresUser) + " LOGIN CREATEDB PASSWORD " +
                          Literal(kPostgresPassword));
  RunPostgresAdmin(a, "CREATE DATABASE " + std::string(kTemplateDatabase) + " OWNER " +
                          std::string(kPostgresUser));
  RunPostgresScript(a, kTemplateDatabase, SchemaScript());
  return server;
}

PostgresServer::~PostgresServer() {
  if (!released_) StopPostgres(address_);
}

PostgresAddress PostgresServer::Release() {
  released_ = true;
  return address_;
}

void StopPostgres(const PostgresAddress& address) {
  if (address.dir.empty()) return;
  // Only the guardian itself: the pid comes from a file and may have been reused.
  if (address.guardian > 0 &&
      ReadAll("/proc/" + std::to_string(address.guardian) + "/cmdline").find("guardian") !=
          std::string::npos) {
    kill(address.guardian, SIGKILL);
    int status = 0;
    waitpid(address.guardian, &status, WNOHANG);  // reaped here only when it is our child
  }
  const fs::path data = address.dir / "data";
  std::error_code error;
  if (fs::exists(data / "postmaster.pid", error)) {
    RunCommand(AsPostgres(PostgresBin() / "pg_ctl", {"-D", data.string(), "-m", "fast", "-w",
                                                     "-t", "30", "stop"}),
               "/dev/null", 40s);
  }
  fs::remove_all(address.dir, error);
}

void StopPostgresServer(const PostgresAddress& address) {
  const fs::path data = address.dir / "data";
  if (RunCommand(AsPostgres(PostgresBin() / "pg_ctl", {"-D", data.string(), "-m", "fast", "-w", "-t", "30", "stop"}),
                 address.dir / "server.log", 40s) != 0)
    throw std::runtime_error("the server did not stop\n" + PostgresServerLog(address));
}

void StartPostgresAgain(const PostgresAddress& address) {
  if (!StartCluster(PostgresBin(), address.dir, address.port))
    throw std::runtime_error("the server did not start again on port " + std::to_string(address.port) + "\n" +
                             PostgresServerLog(address));
}

void WriteState(const fs::path& file, const PostgresAddress& address) {
  const fs::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary);
    out << "dir=" << address.dir.string() << "\nport=" << address.port
        << "\nguardian=" << address.guardian << "\n";
    if (!out) throw std::runtime_error("cannot write " + temporary.string());
  }
  fs::rename(temporary, file);
}

PostgresAddress ReadState(const fs::path& file) {
  std::ifstream in(file);
  PostgresAddress address;
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "dir") address.dir = value;
    if (key == "port") address.port = std::atoi(value.c_str());
    if (key == "guardian") address.guardian = std::atoi(value.c_str());
  }
  return address;
}

const PostgresAddress& TestPostgres() {
  static const PostgresAddress address = [] {
    if (const char* state = std::getenv(kSharedServerVariable)) {
      const PostgresAddress shared = ReadState(state);
      if (shared.port > 0 && Answers(shared.port)) return shared;
    }
    OwnServer() = PostgresServer::Start();
    return OwnServer()->address();
  }();
  return address;
}

std::string PostgresServerLog(const PostgresAddress& address) {
  return ReadAll(address.dir / "server.log");
}

std::string PostgresConnectionString(const PostgresAddress& address, std::string_view database,
                                     std::string_view user, std::string_view password) {
  std::string braced;
  for (char c : password) {
    braced += c;
    if (c == '}') braced += '}';
  }
  return "Driver={" + std::string(kPostgresOdbcDriver) + "};Server=127.0.0.1;Port=" +
         std::to_string(address.port) + ";Database=" + std::string(database) +
         ";UID=" + std::string(user) + ";PWD={" + braced + "};CommLog=0;";
}

void RunPostgresScript(const PostgresAddress& address, std::string_view database,
                       const std::string& script) {
  OdbcConnection connection(
      PostgresConnectionString(address, database, kPostgresUser, kPostgresPassword));
  connection.Execute(script);
}

void RunPostgresAdmin(const PostgresAddress& address, const std::string& sql) {
  // One connection per process and server: each test makes and drops a database.
  static std::unique_ptr<OdbcConnection> connection;
  static int port = 0;
  if (!connection || port != address.port) {
    connection.reset();
    connection = std::make_unique<OdbcConnection>(
        PostgresConnectionString(address, "postgres", "postgres", kAdminPassword));
    port = address.port;
  }
  try {
    connection->Execute(sql);
  } catch (...) {
    connection.reset();  // the next use connects afresh
    throw;
  }
}

void CreatePostgresDatabase(const PostgresAddress& server, const std::string& name) {
  // A file copy of the small template is quicker than logging it block by block.
  RunPostgresAdmin(server, "CREATE DATABASE " + name + " TEMPLATE " + std::string(kTemplateDatabase) +
                               " OWNER " + std::string(kPostgresUser) + " STRATEGY FILE_COPY");
}

void RunPostgresData(const PostgresAddress& server, std::string_view database, const std::string& script) {
  RunPostgresScript(server, database, script + ";\n" + kContinueIdentities);
}

PostgresTestDatabase::PostgresTestDatabase() : PostgresTestDatabase(TestPostgres()) {}

PostgresTestDatabase::PostgresTestDatabase(const PostgresAddress& server) : server_(server) {
  static std::atomic<int> counter{0};
  name_ = "dorvek_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  CreatePostgresDatabase(server_, name_);
}

PostgresTestDatabase::~PostgresTestDatabase() {
  try {
    RunPostgresAdmin(server_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (...) {
    // The server is gone; its guardian removes everything.
  }
}

void PostgresTestDatabase::Run(const std::string& script) const { RunPostgresData(server_, name_, script); }

}  // namespace dorvek::test_support

// psqlODBC 13.02 leaks about 330 bytes on every statement that fails, also with a plain
// SQLExecDirect whose handles are all freed; the leak is the driver's, not ours. Leak
// checking in sanitizer builds reads these suppressions: the test binaries' own, and
// the file PsqlOdbcLeakSuppression writes for a child.
namespace {
constexpr const char* kPsqlOdbcLeaks = "leak:psqlodbcw.so\nleak:psqlodbca.so\n";
}  // namespace

extern "C" const char* __lsan_default_suppressions() { return kPsqlOdbcLeaks; }

std::string dorvek::test_support::PsqlOdbcLeakSuppression(const std::filesystem::path& dir) {
  const std::filesystem::path file = dir / "lsan.supp";
  std::ofstream(file) << kPsqlOdbcLeaks;
  return "LSAN_OPTIONS=suppressions=" + file.string();
}
