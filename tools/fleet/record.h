#pragma once
// The record of a fleet run: the fleet as it was set up, every packet the terminals
// and the gateway sent and every packet the terminals received, everything the
// dispatchers wrote, and every fault. The checker works from this record and the
// dispatch database alone.

#include <optional>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "core/decimal.h"
#include "fleet/sim_time.h"

namespace dorvek::fleet {

struct Vehicle {
  long long wag_id = 0;
  long long wag_taxis = 0;       // the fleet number every text shows
  std::string unit;              // what the terminal sends as UNIT (without the prefix)
  std::string imei;              // wag_imei: the prefix and the unit
  std::string wag_type;
  long long kmstand = 0;         // wag_kmstand at the start
  long long driver = 0;          // chf_id of the driver who drives it
};

struct Driver {
  long long chf_id = 0;
  std::string naam;
  std::string pasnummer;  // chf_pasnummer: decimal digits without leading zeros
};

// A trip sheet open when the run begins (a shift that started before it).
struct InitialSheet {
  long long lsn_id = 0;
  long long wag_id = 0;
  long long chf_id = 0;
  core::DateTime aanvang;
  core::Decimal km_aanvang;
};

struct FleetSetup {
  core::DateTime start;  // the wall-clock time of simulated time 0
  std::string zol_id = "mux";
  long long bdr_id = 1;
  long long con_contant = 1;
  long long con_tarief = 3;
  std::string con_land = "NLD";
  long long con_standaard_uren = 600;
  std::vector<Vehicle> vehicles;  // vehicles[i].wag_id == i + 1
  std::vector<Driver> drivers;    // drivers[i].chf_id == i + 1
  std::vector<InitialSheet> sheets;

  const Vehicle* FindVehicle(long long wag_id) const;
  const Driver* FindDriver(long long chf_id) const;
};

// One packet handed to the gateway for the service.
struct SentPacket {
  long long seq = 0;
  long long order = 0;       // place among everything recorded (packets and desk work)
  SimMs at = 0;
  long long wag_id = 0;      // the vehicle whose terminal sent it; 0 for none
  std::string kind;          // what it is, for the counts ("position", "login", ...)
  std::vector<std::string> fields;  // as gateway::BuildPacket takes them; empty for junk
  std::string junk;          // the bytes of a burst of junk
  // It carries a position: each handling leaves one gps row with its packet time.
  bool traced = false;
  // Filled in from the gateway's own log at the end of the run.
  int connection = 0;        // the connection it was written on; 0: never written
  double written_s = -1;     // seconds of real time since the run began
  bool unread_at_kill = false;  // still unread by the service when it was killed
  bool queued_at_end = false;   // still in the service's queue file when the run ended
};

// One packet the gateway received from the service for a terminal.
struct ReceivedPacket {
  long long seq = 0;
  int connection = 0;
  double real_s = 0;
  std::string text;  // UTF-8
};

// The planning row of a ride the dispatchers created, as they wrote it.
struct RidePlan {
  long long pla_id = 0;          // given by the database
  std::string naam_reiziger;     // unique per run: how the ride is found again
  core::DateTime tijdstip;
  std::string ophstraat, ophnummer, ophpostcode, ophstad;
  std::string besstraat, bestnummer, bestpostcode, beststad;
  std::string telefoon;
  long long bellen = 0;
  std::string opmerking;
  std::string tekst;
  std::optional<std::string> eigenaar;
  std::optional<core::Decimal> km_map;  // the planned distance
  core::Decimal bedrag;
  std::string pasnummer;  // empty: NULL
  long long lopers = 1;
};

// One piece of the dispatchers' work on the database, when it was done.
struct DeskAction {
  enum class Kind {
    kRideOffered,    // a new ride planned for the vehicle, bound to its trip sheet
    kRideReoffered,  // a returned ride planned again for the vehicle, bound to its sheet
    kOfferWithdrawn, // the ride taken off the vehicle and its sheet
    kSheetFreed,     // a finished ride taken off the sheet: lsn_actie "M", lsn_rit 0
    kMessageRow,     // a berichtenbox row of kind 6
  };
  Kind kind = Kind::kMessageRow;
  long long order = 0;  // place among everything recorded (packets and desk work)
  SimMs at = 0;
  long long wag_id = 0;
  long long lsn_id = 0;
  long long pla_id = 0;
  RidePlan plan;                 // kRideOffered
  long long bbo_id = 0;          // kMessageRow
  long long actie = 0;           // kMessageRow
  std::string text;              // kMessageRow: bbo_pakket
  core::DateTime bbo_datum;      // kMessageRow
  std::string bbo_code;          // kMessageRow: the dispatchers' own mark, to find it again
};

struct FaultEvent {
  std::string kind;
  SimMs at = 0;
  double real_s = 0;
  double seconds = 0;  // how long it lasted
  std::string detail;
};

// One connection of the service to the gateway.
struct ConnectionSpan {
  int number = 0;
  double opened_s = 0;
  double closed_s = -1;  // -1: still open at the end
  std::string closed_by;
};

struct RunInfo {
  // The machine's local time when the run's real time began: faults and the service's
  // own time stamps (GPS_Datum) are compared through it. Nothing when unknown.
  std::optional<core::DateTime> wall_start;
  unsigned long long seed = 0;
  int taxis = 0;
  SimMs duration = 0;
  double speed = 1;
  std::string database;
  bool faults = false;
  int packets_per_tick = 1;
  int packets_per_send = 1;
};

struct Record {
  RunInfo info;
  FleetSetup setup;
  std::vector<SentPacket> sent;
  std::vector<ReceivedPacket> received;
  std::vector<DeskAction> desk;
  std::vector<FaultEvent> faults;
  std::vector<ConnectionSpan> connections;
  long long orders = 0;

  // Adds a packet handed to the gateway and gives its sequence number.
  // The gateway wrote packet `seq` (as AddSent numbered it) on `connection` at `at`
  // seconds of the run; `unread_at_kill` when the process reading it died in that read.
  void NoteWritten(long long seq, int connection, double at, bool unread_at_kill);
  // Marks the packets whose texts (as the service's queue file holds them, UTF-8) were
  // still waiting in its inbound queue when the run ended; gives how many it found.
  long long NoteQueuedAtEnd(const std::vector<std::string>& texts);
  long long AddSent(SentPacket packet);
  // Adds a piece of the dispatchers' work, done now.
  void AddDesk(DeskAction action);
  // "packet 1234 (taxi 117, boarding at 07:12:05)"
  std::string Describe(const SentPacket& packet) const;
  // The whole record, one line per entry, packets in notation: for reading after a run.
  std::string Dump() const;
  // The packet's TIME as a date-time; nothing when it has none.
  static std::optional<core::DateTime> PacketTime(const SentPacket& packet);
};

}  // namespace dorvek::fleet
