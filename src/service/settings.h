#pragma once
// The configuration values, read once at start and held as text.

#include <chrono>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
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
  // Optional element MaxInkomendePakketten, not in the template: the inbound queue's
  // bound in packets.
  std::string max_inkomende_pakketten;
  // Optional element MaxLeeftijdUitgaand, not in the template: seconds; an outbound
  // packet older than this at start is not sent.
  std::string max_leeftijd_uitgaand;
  // Optional element PakkettenPerVerzending, not in the template: packets the send pump
  // writes per firing.
  std::string pakketten_per_verzending;

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
  // MaxInkomendePakketten when positive (read like HTTPTimer), else
  // kDefaultMaxInboundPackets.
  long long MaxInboundPackets() const;
  // MaxLeeftijdUitgaand when positive, else kDefaultMaxOutboundAge; at most
  // kMaxOutboundAge, so subtracting it from the clock cannot overflow.
  std::chrono::seconds MaxOutboundAge() const;
  // PakkettenPerVerzending when positive (read like HTTPTimer), else 1: one packet a
  // firing is the specified pace. At most kMaxPacketsPerSend.
  int PacketsPerSend() const;
};

inline constexpr long long kDefaultHttpTimerMs = 60000;
inline constexpr long long kMaxHttpTimerMs = 2147483647;  // 2^31-1, about 24.8 days
inline constexpr int kMaxPacketsPerTick = 1000000;
// The inbound queue takes this many packets before the service stops reading the socket
// (the gateway's TCP then holds the rest): about ten minutes of a big fleet's traffic
// at full pace, and a few hundred MB of memory at the most.
inline constexpr long long kDefaultMaxInboundPackets = 100000;
// An offer, a reset or a forced log-out that has waited longer than this is no longer
// what the dispatchers meant: after a long stop it is not sent.
inline constexpr std::chrono::seconds kDefaultMaxOutboundAge{600};
inline constexpr std::chrono::seconds kMaxOutboundAge{2147483647};  // about 68 years
// A firing's writes follow one another on the event loop and all wait for the gateway
// host's acknowledgement: 100 every 5 s (20 a second) drain a shift change's log-in
// replies in seconds, and the gateway never gets a burst of more than some 50 KB.
inline constexpr int kMaxPacketsPerSend = 100;

// The elements of the configuration file this executable knows, one table that reading
// the settings, --check and the manual page's test share. A setting a later release
// adds has a default, so an older file without it keeps working; --check names each
// setting the file lacks and each element not in this table.
enum class ElementKind {
  kSetting,    // read into Settings
  kNoEffect,   // written by the template, read, and without effect
  kStructure,  // groups the settings; its text is never read
};
enum class InTemplate { kNo, kYes };
struct KnownElement {
  std::string_view name;
  ElementKind kind;
  InTemplate in_template;
  // What is in force when the file lacks the element, as --check shows it.
  std::string_view default_shown;
  // Where ReadSettings keeps its text; null for a structural element.
  std::string Settings::*field;
};

// Settings and no-effect elements in the order ReadSettings reads them (Binding after
// Port: it is read only when Port is positive), then the structural elements.
std::span<const KnownElement> KnownElements();
// The element of that name (case matters), or null.
const KnownElement* FindKnownElement(std::string_view name);

// Reads every setting of KnownElements() from the configuration file's lines with
// ReadXMLTag; a missing element reads as "".
Settings ReadSettings(const std::vector<std::string>& lines);

// Where the database is and how to reach it, from the settings; a relative SQLite file
// is taken from base_dir.
db::ConnectionSettings DatabaseSettings(const Settings& settings, const std::filesystem::path& base_dir);

}  // namespace dorvek::service
