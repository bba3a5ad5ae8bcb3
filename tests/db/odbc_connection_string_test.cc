#include "db/odbc_connection_string.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/memory_event_log.h"
#include "db/soci_database.h"
#include "support/tds_stub.h"

namespace dorvek::db {
namespace {

struct Case {
  const char* name;
  const char* server;
  const char* password;
  const char* expected;
};

class FreeTdsConnectionString : public ::testing::TestWithParam<Case> {};

TEST_P(FreeTdsConnectionString, BracesEveryValueAndEndsEachWithSemicolon) {
  ConnectionSettings s;
  s.server = GetParam().server;
  s.user = "sa";
  s.password = GetParam().password;
  s.database = "DORVEK";
  EXPECT_EQ(OdbcConnectionString(s), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FreeTdsConnectionString,
    ::testing::Values(
        Case{"Plain", "127.0.0.1", "geheim",
             "Driver={FreeTDS};Server={127.0.0.1};Database={DORVEK};UID={sa};PWD={geheim};"
             "TDS_Version={7.4};ClientCharset={UTF-8};Timeout={10};"},
        Case{"HostAndPort", "db.local,1433", "geheim",
             "Driver={FreeTDS};Server={db.local};Port={1433};Database={DORVEK};UID={sa};"
             "PWD={geheim};TDS_Version={7.4};ClientCharset={UTF-8};Timeout={10};"},
        Case{"NamedInstance", "db.local\\SQLEXPRESS", "geheim",
             "Driver={FreeTDS};Server={db.local\\SQLEXPRESS};Database={DORVEK};UID={sa};"
             "PWD={geheim};TDS_Version={7.4};ClientCharset={UTF-8};Timeout={10};"},
        Case{"PasswordWithSemicolon", "h", "a;b=c",
             "Driver={FreeTDS};Server={h};Database={DORVEK};UID={sa};PWD={a;b=c};"
             "TDS_Version={7.4};ClientCharset={UTF-8};Timeout={10};"},
        // FreeTDS keeps "}}" as two characters: a brace is written as it stands.
        Case{"PasswordWithBraces", "h", "{x}y}",
             "Driver={FreeTDS};Server={h};Database={DORVEK};UID={sa};PWD={{x}y}};"
             "TDS_Version={7.4};ClientCharset={UTF-8};Timeout={10};"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FreeTdsConnectionStringLimits, ValueHoldingBraceSemicolonCannotBePassed) {
  ConnectionSettings s;
  s.server = "h";
  s.user = "sa";
  s.password = "a};b";
  s.database = "d";
  try {
    OdbcConnectionString(s);
    FAIL() << "no failure";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()).find("a};b"), std::string::npos) << "leaks the password";
  }
}

TEST(OtherDriverConnectionString, FollowsTheOdbcBraceRule) {
  ConnectionSettings s;
  s.driver = "ODBC Driver 18 for SQL Server";
  s.server = "db,1433";
  s.user = "sa";
  s.password = "p}w;d";
  s.database = "DORVEK";
  EXPECT_EQ(OdbcConnectionString(s),
            "Driver={ODBC Driver 18 for SQL Server};Server={db,1433};Database={DORVEK};"
            "UID={sa};PWD={p}}w;d};");
}

TEST(SqliteDriverConnectionString, NamesTheFileUnbraced) {
  ConnectionSettings s;
  s.driver = "SQLite3";
  s.database = "/tmp/dispatch.db";
  EXPECT_EQ(OdbcConnectionString(s), "Driver={SQLite3};Database=/tmp/dispatch.db;Timeout=250;");
  s.database = "/tmp/a;b.db";
  EXPECT_THROW(OdbcConnectionString(s), DatabaseError);
}

TEST(FreeTdsConnectionStringTimeout, IsTheLoginTimeout) {
  ConnectionSettings s;
  s.server = "h";
  s.user = "sa";
  s.password = "p";
  s.database = "d";
  s.timeouts.login = std::chrono::seconds(3);
  EXPECT_NE(OdbcConnectionString(s).find(";Timeout={3};"), std::string::npos);
}

TEST(PsqlOdbcConnectionString, BracesOnlyThePasswordAndTheLibpqOptions) {
  ConnectionSettings s;
  s.driver = "PostgreSQL Unicode";
  s.server = "db.local,5433";
  s.user = "dorvek";
  s.password = "pa;ss}w{rd";
  s.database = "DORVEK";
  EXPECT_EQ(OdbcConnectionString(s),
            "Driver={PostgreSQL Unicode};Server=db.local;Port=5433;Database=DORVEK;UID=dorvek;"
            "PWD={pa;ss}}w{rd};pqopt={connect_timeout=10 keepalives=1 keepalives_idle=5 "
            "keepalives_interval=5 keepalives_count=2 tcp_user_timeout=20000};CommLog=0;");
  s.server = "db.local";
  EXPECT_NE(OdbcConnectionString(s).find("Server=db.local;Database=DORVEK;"), std::string::npos);
}

TEST(PsqlOdbcConnectionString, UnbracedValuesCannotHoldSemicolonOrStartWithABrace) {
  for (auto field : {&ConnectionSettings::server, &ConnectionSettings::user,
                     &ConnectionSettings::database}) {
    for (const char* bad : {"a;b", "{a}"}) {
      ConnectionSettings s;
      s.driver = "PostgreSQL Unicode";
      s.server = "h";
      s.user = "u";
      s.password = "p";
      s.database = "d";
      s.*field = bad;
      EXPECT_THROW(OdbcConnectionString(s), DatabaseError) << bad;
    }
  }
}

TEST(PsqlOdbcLibpqOptions, FollowTheTimeouts) {
  DatabaseTimeouts t;
  t.login = std::chrono::seconds(2);
  t.statement = std::chrono::seconds(4);
  EXPECT_EQ(PsqlOdbcLibpqOptions(t),
            "connect_timeout=2 keepalives=1 keepalives_idle=5 keepalives_interval=5 "
            "keepalives_count=2 tcp_user_timeout=4000");
}

// The connection string as the real FreeTDS driver reads it: a listener on loopback plays
// the server far enough to receive the login record, which carries the server name,
// login, password and database.
class FreeTdsLogin : public ::testing::Test {
 protected:
  struct Login {
    std::string server, user, password, database;
  };

  void SetUp() override {
    std::ifstream ini("/etc/odbcinst.ini");
    std::stringstream text;
    text << ini.rdbuf();
    if (text.str().find("[FreeTDS]") == std::string::npos)
      GTEST_SKIP() << "FreeTDS is not registered with the ODBC driver manager";
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener_, 1), 0);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }

  void TearDown() override {
    if (listener_ >= 0) close(listener_);
  }

  static std::string Ucs2Field(const std::string& login, std::size_t at, bool password) {
    const auto u16 = [&](std::size_t i) {
      return static_cast<std::size_t>(static_cast<unsigned char>(login[i]) |
                                      (static_cast<unsigned char>(login[i + 1]) << 8));
    };
    const std::size_t offset = u16(at), count = u16(at + 2);
    std::string out;
    for (std::size_t i = 0; i < count && offset + 2 * i + 1 < login.size(); ++i) {
      unsigned char low = static_cast<unsigned char>(login[offset + 2 * i]);
      if (password) {
        low ^= 0xA5;
        low = static_cast<unsigned char>((low << 4) | (low >> 4));
      }
      out += static_cast<char>(low);  // the test's texts are ASCII
    }
    return out;
  }

  // Answers the pre-login without encryption, then takes the login record apart.
  std::optional<Login> Serve() {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return std::nullopt;
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return std::nullopt;
    std::optional<Login> result;
    std::string packet;
    if (test_support::ReadTdsPacket(fd, packet) && packet[0] == 0x12) {
      test_support::SendPreloginReply(fd);
      if (test_support::ReadTdsPacket(fd, packet) && packet[0] == 0x10) {
        const std::string login = packet.substr(8);
        result = Login{Ucs2Field(login, 52, false), Ucs2Field(login, 40, false),
                       Ucs2Field(login, 44, true), Ucs2Field(login, 68, false)};
      }
    }
    close(fd);
    return result;
  }

  std::optional<Login> LoginWith(const std::string& password) {
    std::optional<Login> login;
    std::thread server([&] { login = Serve(); });
    core::MemoryEventLog log;
    ConnectionSettings settings;
    settings.server = "127.0.0.1," + std::to_string(port_);
    settings.user = "dorvek";
    settings.password = password;
    settings.database = "DORVEK";
    SociDatabase db(settings, log);
    EXPECT_THROW(db.Open(), DatabaseError);  // the stand-in server hangs up after the login
    server.join();
    return login;
  }

  int listener_ = -1;
  int port_ = 0;
};

TEST_F(FreeTdsLogin, ReachesHostAndPortWithEveryField) {
  const auto login = LoginWith("geheim");
  ASSERT_TRUE(login.has_value());
  EXPECT_EQ(login->server, "127.0.0.1");
  EXPECT_EQ(login->user, "dorvek");
  EXPECT_EQ(login->password, "geheim");
  EXPECT_EQ(login->database, "DORVEK");
}

TEST_F(FreeTdsLogin, PasswordWithSemicolonAndBracesArrivesWhole) {
  for (const std::string password : {"a;b", "{x}y}", "x=1;y}", "}"}) {
    const auto login = LoginWith(password);
    ASSERT_TRUE(login.has_value()) << password;
    EXPECT_EQ(login->password, password);
    EXPECT_EQ(login->database, "DORVEK") << password;
  }
}

}  // namespace
}  // namespace dorvek::db
