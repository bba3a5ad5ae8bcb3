#pragma once
// The configuration values, read once at start and held as text.

#include <filesystem>
#include <string>
#include <vector>

#include "db/connection_settings.h"

namespace dorvek::service {

struct Settings {
  std::string output_directory;  // no effect
  std::string output_to_file;    // no effect
  std::string sql_server;
  std::string sql_database;
  std::string sql_inlognaam;
  std::string sql_paswoord;
  std::string zol_id;
  std::string separator;
  std::string netwerksleutel;
  std::string bedragen;
  std::string http_timer;
  std::string port;
  std::string binding;  // read only when the port is greater than 0
  // Optional element SQLDriver, not in the template: which database client to use.
  std::string sql_driver;
  // Optional element PakkettenPerTick, not in the template: packets the controller
  // handles per tick.
  std::string pakketten_per_tick;

  // Milliseconds from start to the first connections: HTTPTimer when positive, else
  // 60000; at most kMaxHttpTimerMs, so adding it to the clock cannot overflow.
  long long HttpTimerMs() const;
  // The gateway port; 0 or less leaves the gateway unset.
  long long PortNumber() const;
  // The gateway port as decimal text ("4001" for "$FA1"); empty when PortNumber() is
  // not positive, so the gateway stays unset.
  std::string PortText() const { return PortNumber() > 0 ? std::to_string(PortNumber()) : std::string(); }
  // Exactly "0" leaves the amounts out of ride offers for rides whose pla_rc is 1.
  bool SuppressAmounts() const { return bedragen == "0"; }
  // PakkettenPerTick when positive (read like HTTPTimer), else 1: one packet a tick is
  // the specified pace. At most kMaxPacketsPerTick.
  int PacketsPerTick() const;
};

inline constexpr long long kDefaultHttpTimerMs = 60000;
inline constexpr long long kMaxHttpTimerMs = 2147483647;  // 2^31-1, about 24.8 days
inline constexpr int kMaxPacketsPerTick = 1000000;

// Reads every setting from the configuration file's lines with ReadXMLTag; a missing
// element reads as "".
Settings ReadSettings(const std::vector<std::string>& lines);

// What the service cannot work without that the settings lack, each with the elements
// to fill in: {"gateway address", {"Port"}} when no port is set (or Binding when it is
// empty), {"database", {...}} for the elements the database's opening requires.
struct MissingSetting {
  std::string what;
  std::vector<std::string> elements;
};
std::vector<MissingSetting> MissingSettings(const Settings& settings);

// Where the database is and how to reach it, from the settings; a relative SQLite file
// is taken from base_dir.
db::ConnectionSettings DatabaseSettings(const Settings& settings, const std::filesystem::path& base_dir);

}  // namespace dorvek::service
