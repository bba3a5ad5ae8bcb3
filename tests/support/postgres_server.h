#pragma once
// A private PostgreSQL server for the tests: a cluster of its own in a temporary
// directory, on a free loopback port, holding a template database made from the
// project's schema. Each test database is a copy of the template, so the schema is
// loaded once per server, not once per test.
//
// The tests run as root, and PostgreSQL refuses root: initdb and pg_ctl run as the
// `postgres` user. Whoever starts a server also starts a guardian process that stops it
// and removes its directory once the starting process is gone, however it ended, or
// after kMaxServerLife at the latest: a crashed test run leaves no server behind.
//
// Under ctest one server serves the whole run: a fixture test starts it
// (pg_test_server start STATE) and another stops it, and every test finds it through
// the state file named by DORVEK_PG_STATE. A test binary run by hand starts a server of
// its own on first use and stops it at exit.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace dorvek::test_support {

using namespace std::chrono_literals;

// The ODBC driver registered for psqlODBC.
inline constexpr std::string_view kPostgresOdbcDriver = "PostgreSQL Unicode";
// The login the code under test uses. Its password holds ";" and braces, so every test
// on this path also shows the connection string quotes it right.
inline constexpr std::string_view kPostgresUser = "dorvek";
inline constexpr std::string_view kPostgresPassword = "ge;heim}{x";
// The database every test database is copied from.
inline constexpr std::string_view kTemplateDatabase = "dorvek_template";
// The environment variable naming the state file of a server shared by a ctest run.
inline constexpr const char* kSharedServerVariable = "DORVEK_PG_STATE";
// The guardian stops a server at the latest after this long.
inline constexpr std::chrono::seconds kMaxServerLife = 2h;

// Where a running server is.
struct PostgresAddress {
  std::filesystem::path dir;  // its temporary directory (data, socket, log)
  int port = 0;               // on 127.0.0.1
  pid_t guardian = -1;
};

class PostgresServer {
 public:
  // Starts a server whose guardian watches the process `owner` (by default this one),
  // and creates the template database. Throws std::runtime_error with the server's log
  // when it cannot.
  static std::unique_ptr<PostgresServer> Start(pid_t owner = 0);
  // Stops the server and removes its directory.
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  const PostgresAddress& address() const { return address_; }
  // Leaves the server running for another process to stop (pg_test_server start).
  PostgresAddress Release();

 private:
  explicit PostgresServer(PostgresAddress address) : address_(std::move(address)) {}
  PostgresAddress address_;
  bool released_ = false;
};

// Stops the server at this address (fast shutdown), ends its guardian and removes its
// directory. Does nothing for a server that is gone.
void StopPostgres(const PostgresAddress& address);

// A server that goes away for a while: StopPostgresServer ends its process (fast
// shutdown: sessions are cut off) and keeps its data; StartPostgresAgain brings it back
// on the same port. Only for a server of the test's own, never the shared one. Both
// throw std::runtime_error with the server's log when they cannot.
void StopPostgresServer(const PostgresAddress& address);
void StartPostgresAgain(const PostgresAddress& address);

// For a child process that uses psqlODBC in a sanitizer build: the assignment
// "LSAN_OPTIONS=suppressions=FILE", FILE written into dir, so the driver's own leak on a
// failed statement (see the end of postgres_server.cc) does not fail the child's exit.
std::string PsqlOdbcLeakSuppression(const std::filesystem::path& dir);

// The state file of a shared server: writes and reads "dir", "port" and "guardian".
void WriteState(const std::filesystem::path& file, const PostgresAddress& address);
PostgresAddress ReadState(const std::filesystem::path& file);

// The server the tests of this process use: the shared one when DORVEK_PG_STATE names
// one that answers, else one started on first call and stopped at exit.
const PostgresAddress& TestPostgres();

// What the server has logged so far.
std::string PostgresServerLog(const PostgresAddress& address);

// An ODBC connection string to a database of the server, as the given login.
std::string PostgresConnectionString(const PostgresAddress& address, std::string_view database,
                                     std::string_view user, std::string_view password);

// Runs SQL of one or more statements on a database of the server through a connection
// of its own, outside the code under test. Throws std::runtime_error with the driver's
// text.
void RunPostgresScript(const PostgresAddress& address, std::string_view database,
                       const std::string& script);
// The same as the server's superuser, which may create and drop databases.
void RunPostgresAdmin(const PostgresAddress& address, const std::string& sql);

// Creates database `name` as a copy of the template, owned by kPostgresUser.
void CreatePostgresDatabase(const PostgresAddress& server, const std::string& name);
// Runs a data script on a database as RunPostgresScript does; afterwards every identity
// continues above the highest value the script wrote, as a server's own numbering would.
void RunPostgresData(const PostgresAddress& server, std::string_view database,
                     const std::string& script);

// A fresh database copied from the template, owned by kPostgresUser; dropped again,
// with any connection still on it, at destruction.
class PostgresTestDatabase {
 public:
  // On the server the tests share.
  PostgresTestDatabase();
  // On that server, which must outlive the database.
  explicit PostgresTestDatabase(const PostgresAddress& server);
  ~PostgresTestDatabase();
  PostgresTestDatabase(const PostgresTestDatabase&) = delete;
  PostgresTestDatabase& operator=(const PostgresTestDatabase&) = delete;

  const std::string& name() const { return name_; }
  const PostgresAddress& server() const { return server_; }
  // RunPostgresData on it.
  void Run(const std::string& script) const;

 private:
  PostgresAddress server_;
  std::string name_;
};

}  // namespace dorvek::test_support
