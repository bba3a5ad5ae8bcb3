#pragma once
// What the unit must allow beyond its fixed hardening, found in the configuration when
// INSTALL writes the unit. The unit lets the service write only its base directory and
// reach only the local networks; a SQLite database elsewhere, or a gateway, database
// server or name server at a public address, needs more. Host names cannot be known in
// advance: they must resolve into the local networks, or be allowed by hand.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/service_user.h"
#include "service/settings.h"

namespace dorvek::service {

// The address ranges every unit allows, in systemd's notation: loopback, link-local,
// the private IPv4 ranges, the shared address space, IPv6 unique local addresses and the
// limited broadcast that carries the LAN notices.
inline constexpr std::string_view kLocalNetworks =
    "localhost link-local 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16 100.64.0.0/10 fc00::/7 "
    "255.255.255.255";

struct UnitGrants {
  // Directories to write besides the base directory, each once.
  std::vector<std::filesystem::path> write_paths;
  // Literal IP addresses outside kLocalNetworks, each once, in the order found.
  std::vector<std::string> addresses;
};

// The IP address a host text holds literally ("10.1.2.3", "::1", "[fe80::1]"), in its
// plain form; nothing for a host name.
std::optional<std::string> LiteralAddress(std::string_view host);
// Whether a literal address lies in kLocalNetworks.
bool IsLocalAddress(std::string_view address);
// The host of a SQLServer setting: "host", "host,port", "host\instance", "tcp:host,port".
std::string SqlServerHost(std::string_view sql_server);

struct InstallInputs {
  Settings settings;               // as start would read them; empty when there is no file
  std::filesystem::path base_dir;  // absolute
  std::string lan_target;          // --lan-target, "" for the broadcast
  std::string resolv_conf;         // the text of /etc/resolv.conf
};

// The grants: the directory of a SQLite database outside the base directory (SQLite
// creates its -wal and -shm files beside it), and the literal addresses of the gateway
// (when its port is set), the database server (ODBC only), the LAN target and the name
// servers that lie outside the local networks.
UnitGrants GrantsFor(const InstallInputs& inputs);

// Warnings when the service user could not use a configured SQLite database: the file
// or its directory not writable by it.
std::vector<std::string> SqliteAccessWarnings(const InstallInputs& inputs, const Account& user);

}  // namespace dorvek::service
