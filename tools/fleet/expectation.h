#pragma once
// What the dispatch database and the terminals must hold after a fleet run, worked out
// from the record alone by the rules of the service's handlers: every packet the
// gateway delivered applied in the order it was sent, every piece of the dispatchers'
// work at its place, against the rows as they stood when the run began.

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fleet/cells.h"
#include "fleet/record.h"

namespace dorvek::fleet {

// An operator notification: its code and text, and the packet that caused it (0: the
// service itself).
struct Notice {
  long long status = 0;
  std::string text;
  long long seq = 0;
};

// A packet a terminal must receive, by what tells it apart ("offer 123", "text ...").
struct OutItem {
  std::string key;
  bool from_box = false;  // from a message-box row (else a reply to a packet)
  long long bbo_id = 0;
  long long seq = 0;      // the packet it replies to
};

struct Expectation {
  std::map<long long, Cells> rides;              // by pla_id
  std::map<long long, long long> ride_vehicle;   // pla_id: the vehicle it was last planned for
  std::map<long long, Cells> sheets;             // by lsn_id
  std::map<long long, std::vector<Cells>> fuel;  // by wag_id, in order of writing
  std::map<long long, std::vector<Notice>> notices;  // by wag_id
  std::map<long long, long long> keep_alives;        // by wag_id
  std::map<long long, std::vector<long long>> sectors;
  std::vector<std::pair<std::string, long long>> skype;  // number, ride
  std::map<long long, long long> route_checks;            // calls of the procedure, by wag_id
  std::map<long long, long long> kmstand;
  std::map<long long, std::vector<OutItem>> outbound;  // by wag_id
  std::map<long long, long long> box_rows;             // bbo_id: the bbo_verwerkt it must have
  // Rows the handlers created that the database does not hold (the model gave them a
  // negative id): street-hail rides by packet, trip sheets by packet.
  std::map<long long, long long> missing_rides;   // seq of the start
  std::map<long long, long long> missing_sheets;  // seq of the log-in
};

// The ids the database gave to rows the handlers created.
struct KnownIds {
  // (wag_id, pla_tijdstip_locatie) of every street-hail ride.
  std::map<std::pair<long long, std::string>, long long> hail_rides;
  // (wag_id, chf_id, lsn_aanvang) of every trip sheet.
  std::map<std::tuple<long long, long long, std::string>, long long> sheets;
};

// handled: how often each packet (by seq) was handled; a packet absent from it, once.
// With `only` a vehicle's id, the rows of that vehicle come out right and others may
// not: the positions and keep-alives of other vehicles, which touch nothing of it, are
// left out (for the checker's second looks at one vehicle).
Expectation Expect(const Record& record, const KnownIds& ids, const std::map<long long, int>& handled,
                   long long only = 0);

// The text of lsn_omschrijving with its date (the day the service wrote it) left out.
std::string WithoutDate(const std::string& omschrijving);

}  // namespace dorvek::fleet
