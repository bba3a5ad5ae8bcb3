#include "service/unit_grants.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/service_process.h"

namespace dorvek::service {
namespace {

struct AddressCase {
  const char* name;
  const char* host;
  std::optional<std::string> literal;  // nothing for a host name
  bool local;
};

class UnitGrantsAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(UnitGrantsAddress, IsReadLiterallyAndPlacedInOrOutsideTheLocalNetworks) {
  const auto& c = GetParam();
  const auto literal = LiteralAddress(c.host);
  EXPECT_EQ(literal, c.literal);
  if (literal) {
    EXPECT_EQ(IsLocalAddress(*literal), c.local) << *literal;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitGrantsAddress,
    ::testing::Values(AddressCase{"Loopback", "127.0.0.1", "127.0.0.1", true},
                      AddressCase{"Private10", "10.1.2.3", "10.1.2.3", true},
                      AddressCase{"Private172Last", "172.31.255.255", "172.31.255.255", true},
                      AddressCase{"Public172", "172.32.0.1", "172.32.0.1", false},
                      AddressCase{"Private192", "192.168.1.10", "192.168.1.10", true},
                      AddressCase{"SharedSpace", "100.64.0.1", "100.64.0.1", true},
                      AddressCase{"PastSharedSpace", "100.128.0.1", "100.128.0.1", false},
                      AddressCase{"LinkLocal", "169.254.7.7", "169.254.7.7", true},
                      AddressCase{"Broadcast", "255.255.255.255", "255.255.255.255", true},
                      AddressCase{"Public", "203.0.113.7", "203.0.113.7", false},
                      AddressCase{"Ipv6Loopback", "::1", "::1", true},
                      AddressCase{"UniqueLocal", "fd12:3456::1", "fd12:3456::1", true},
                      AddressCase{"Ipv6LinkLocal", "fe80::1", "fe80::1", true},
                      AddressCase{"Ipv6OutsideLinkLocal64", "fe80:1::1", "fe80:1::1", false},
                      AddressCase{"Ipv6Bracketed", "[2001:DB8::0:1]", "2001:db8::1", false},
                      AddressCase{"HostName", "gateway.local", std::nullopt, false},
                      AddressCase{"Empty", "", std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnitGrants, SqlServerHostLeavesPortAndInstanceOut) {
  EXPECT_EQ(SqlServerHost("db"), "db");
  EXPECT_EQ(SqlServerHost("203.0.113.5,1433"), "203.0.113.5");
  EXPECT_EQ(SqlServerHost("db\\SQLEXPRESS"), "db");
  EXPECT_EQ(SqlServerHost("tcp:203.0.113.5,1433"), "203.0.113.5");
  EXPECT_EQ(SqlServerHost("[2001:db8::1],1433"), "[2001:db8::1]");
}

InstallInputs Inputs() {
  InstallInputs inputs;
  inputs.base_dir = "/opt/dorvekzol";
  inputs.settings.binding = "127.0.0.1";
  inputs.settings.port = "4001";
  inputs.settings.sql_server = "127.0.0.1";
  return inputs;
}

TEST(UnitGrants, TheTemplateNeedsNothing) {
  const UnitGrants grants = GrantsFor(Inputs());
  EXPECT_TRUE(grants.write_paths.empty());
  EXPECT_TRUE(grants.addresses.empty());
}

TEST(UnitGrants, ASqliteDatabaseOutsideTheBaseDirectoryGrantsItsDirectory) {
  struct Case {
    std::string database;
    std::vector<std::filesystem::path> expected;
  };
  const Case cases[] = {
      {"dispatch.db", {}},
      {"VmrZOLData/dispatch.db", {}},
      {"/opt/dorvekzol/VmrZOLData/x/dispatch.db", {}},
      {"/srv/dispatch/dispatch.db", {"/srv/dispatch"}},
      {"../shared/dispatch.db", {"/opt/shared"}},
      {"/opt/dorvekzol-other/dispatch.db", {"/opt/dorvekzol-other"}},
  };
  for (const auto& c : cases) {
    InstallInputs inputs = Inputs();
    inputs.settings.sql_driver = "SQLite";
    inputs.settings.sql_database = c.database;
    EXPECT_EQ(GrantsFor(inputs).write_paths, c.expected) << c.database;
  }
  InstallInputs odbc = Inputs();
  odbc.settings.sql_database = "/srv/dispatch/dispatch.db";
  EXPECT_TRUE(GrantsFor(odbc).write_paths.empty()) << "a database name, not a file";
}

TEST(UnitGrants, LiteralAddressesOutsideTheLocalNetworksAreAllowedEachOnce) {
  InstallInputs inputs = Inputs();
  inputs.settings.binding = "203.0.113.7";
  inputs.settings.sql_server = "198.51.100.2,1433";
  inputs.lan_target = "192.0.2.255:54200";
  inputs.resolv_conf = "# by hand\nnameserver 192.168.1.1\nnameserver 8.8.8.8\nsearch example\nnameserver 203.0.113.7\n";
  EXPECT_EQ(GrantsFor(inputs).addresses,
            (std::vector<std::string>{"203.0.113.7", "198.51.100.2", "192.0.2.255", "8.8.8.8"}));
}

TEST(UnitGrants, AnUnsetGatewayASqliteDatabaseAndHostNamesGrantNoAddress) {
  InstallInputs inputs = Inputs();
  inputs.settings.binding = "203.0.113.7";
  inputs.settings.port = "0";
  inputs.settings.sql_driver = "sqlite";
  inputs.settings.sql_database = "dispatch.db";
  inputs.settings.sql_server = "198.51.100.2";
  inputs.lan_target = "notices.example:54200";
  EXPECT_TRUE(GrantsFor(inputs).addresses.empty());
}

TEST(UnitGrants, ASqliteDatabaseTheServiceUserCannotWriteIsWarnedAbout) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  const Account user{64123, 64124};
  test_support::TempDir tmp;
  const auto base = tmp.path() / "base";
  std::filesystem::create_directories(base / "VmrZOLData");
  ASSERT_EQ(::chown((base / "VmrZOLData").c_str(), user.uid, user.gid), 0);
  std::ofstream(base / "VmrZOLData/ok.db") << "";
  ASSERT_EQ(::chown((base / "VmrZOLData/ok.db").c_str(), user.uid, user.gid), 0);
  std::ofstream(base / "VmrZOLData/roots.db") << "";
  std::filesystem::permissions(base, std::filesystem::perms(0755));

  InstallInputs inputs;
  inputs.base_dir = base;
  inputs.settings.sql_driver = "sqlite";
  inputs.settings.sql_database = "VmrZOLData/ok.db";
  EXPECT_TRUE(SqliteAccessWarnings(inputs, user).empty());

  inputs.settings.sql_database = "VmrZOLData/roots.db";
  auto warnings = SqliteAccessWarnings(inputs, user);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("may not write the database"), std::string::npos) << warnings[0];

  inputs.settings.sql_database = "beside.db";  // in the base directory, which is root's only
  warnings = SqliteAccessWarnings(inputs, user);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("beside.db-wal"), std::string::npos) << warnings[0];

  inputs.settings.sql_driver = "";
  EXPECT_TRUE(SqliteAccessWarnings(inputs, user).empty());
}

}  // namespace
}  // namespace dorvek::service
