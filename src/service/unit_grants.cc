#include "service/unit_grants.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <sstream>

#include <arpa/inet.h>
#include <fmt/format.h>

#include "db/connection_settings.h"

namespace dorvek::service {
namespace {

template <typename T>
void AddOnce(std::vector<T>& list, T value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(std::move(value));
}

db::ConnectionSettings DatabaseOf(const InstallInputs& inputs) {
  db::ConnectionSettings c;
  c.driver = inputs.settings.sql_driver;
  c.server = inputs.settings.sql_server;
  c.database = inputs.settings.sql_database;
  c.base_dir = inputs.base_dir;
  return c;
}

bool Inside(const std::filesystem::path& path, const std::filesystem::path& dir) {
  const auto relative = path.lexically_normal().lexically_relative(dir.lexically_normal());
  // "" when the two cannot be related; "." for the directory itself.
  return !relative.empty() && *relative.begin() != "..";
}

bool InRange4(std::uint32_t address, std::uint32_t network, int prefix) {
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return (address & mask) == (network & mask);
}

}  // namespace

std::optional<std::string> LiteralAddress(std::string_view host) {
  std::string text(host);
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  char plain[INET6_ADDRSTRLEN];
  in_addr v4;
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return std::string(::inet_ntop(AF_INET, &v4, plain, sizeof plain));
  in6_addr v6;
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1)
    return std::string(::inet_ntop(AF_INET6, &v6, plain, sizeof plain));
  return std::nullopt;
}

bool IsLocalAddress(std::string_view address) {
  const std::string text(address);
  in_addr v4;
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    const std::uint32_t a = ntohl(v4.s_addr);
    static constexpr std::array<std::pair<std::uint32_t, int>, 7> kRanges = {{
        {0x7F000000, 8},    // 127.0.0.0/8
        {0xA9FE0000, 16},   // 169.254.0.0/16
        {0x0A000000, 8},    // 10.0.0.0/8
        {0xAC100000, 12},   // 172.16.0.0/12
        {0xC0A80000, 16},   // 192.168.0.0/16
        {0x64400000, 10},   // 100.64.0.0/10
        {0xFFFFFFFF, 32},   // 255.255.255.255
    }};
    return std::any_of(kRanges.begin(), kRanges.end(),
                       [&](const auto& r) { return InRange4(a, r.first, r.second); });
  }
  in6_addr v6;
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  const unsigned char* b = v6.s6_addr;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  if ((b[0] & 0xFE) == 0xFC) return true;  // fc00::/7
  // fe80::/64, as systemd's "link-local" names it.
  return b[0] == 0xFE && b[1] == 0x80 && std::all_of(b + 2, b + 8, [](unsigned char c) { return c == 0; });
}

std::string SqlServerHost(std::string_view sql_server) {
  std::string_view host = sql_server;
  if (host.size() >= 4 && (host.substr(0, 4) == "tcp:" || host.substr(0, 4) == "TCP:")) host.remove_prefix(4);
  if (!host.empty() && host.front() == '[') {
    const auto close = host.find(']');
    return std::string(close == std::string_view::npos ? host : host.substr(0, close + 1));
  }
  return std::string(host.substr(0, host.find_first_of(",\\")));
}

UnitGrants GrantsFor(const InstallInputs& inputs) {
  UnitGrants grants;
  const db::ConnectionSettings database = DatabaseOf(inputs);
  const bool sqlite = database.backend() == db::Backend::kSqlite;
  if (sqlite && !database.database.empty()) {
    const auto dir = database.SqlitePath().lexically_normal().parent_path();
    if (!Inside(dir, inputs.base_dir)) AddOnce(grants.write_paths, dir);
  }

  std::vector<std::string> hosts;
  if (inputs.settings.PortNumber() > 0) hosts.push_back(inputs.settings.binding);
  if (!sqlite) hosts.push_back(SqlServerHost(inputs.settings.sql_server));
  if (!inputs.lan_target.empty()) hosts.push_back(inputs.lan_target.substr(0, inputs.lan_target.rfind(':')));
  std::istringstream resolv(inputs.resolv_conf);
  for (std::string line; std::getline(resolv, line);) {
    std::istringstream words(line);
    std::string keyword, address;
    if (words >> keyword >> address && keyword == "nameserver") hosts.push_back(address);
  }
  for (const auto& host : hosts) {
    const auto address = LiteralAddress(host);
    if (address && !IsLocalAddress(*address)) AddOnce(grants.addresses, *address);
  }
  return grants;
}

std::vector<std::string> SqliteAccessWarnings(const InstallInputs& inputs, const Account& user) {
  const db::ConnectionSettings database = DatabaseOf(inputs);
  if (database.backend() != db::Backend::kSqlite || database.database.empty()) return {};
  const auto file = database.SqlitePath().lexically_normal();
  const auto dir = file.parent_path();
  std::vector<std::string> warnings;
  if (!MayWrite(dir, user))
    warnings.push_back(fmt::format(
        "the user {} may not create files in {}, where SQLite puts {}-wal and {}-shm beside the "
        "database: move the database into {} or give the directory to {}",
        kServiceUserName, dir.string(), file.filename().string(), file.filename().string(),
        (inputs.base_dir / "VmrZOLData").string(), kServiceUserName));
  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !MayWrite(file, user))
    warnings.push_back(fmt::format("the user {} may not write the database {}", kServiceUserName, file.string()));
  return warnings;
}

}  // namespace dorvek::service
