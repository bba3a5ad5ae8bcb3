#pragma once
// The checker: from the record of a fleet run and the dispatch database at its end, it
// works out what every row must be and what every terminal must have received, and
// reports each difference with the ride, vehicle or packet it concerns, and the counts
// per kind of thing: expected, present, lost, twice, wrong.
//
// It finds out how often the service handled each packet from the packet's own trace:
// every terminal packet carries a position, and each handling leaves one gps row with
// the packet's time. Its expectation applies each packet that often, so one lost
// packet is one difference, not a trail of them. Where the rules allow more than one
// outcome, the difference is counted under a named allowance instead:
//   - a packet handled twice after a crash, at most one per crash (SIGKILL);
//   - a packet handled twice after a database outage whose commit answer was lost, at
//     most one per outage;
//   - a packet to a terminal that was in flight (written, not yet acknowledged) when its
//     connection ended, and so reached the terminal again on the next connection;
//   - a packet the gateway had written that the service had not yet read when it was
//     killed (the kernel's buffer goes with the process).

#include <map>
#include <string>
#include <vector>

#include "db/database.h"
#include "fleet/dispatch_state.h"
#include "fleet/record.h"

namespace dorvek::fleet {

inline constexpr const char* kTwiceAfterCrash = "handled twice after a crash (at most one per crash)";
inline constexpr const char* kTwiceAfterOutage =
    "handled twice after a database outage whose commit answer was lost (at most one per outage)";
inline constexpr const char* kInFlightAtConnectionEnd =
    "sent to the terminal again: in flight when its connection ended";
inline constexpr const char* kUnreadAtKill = "unread by the service when it was killed";
// Not lost: the service keeps it for its next start (a run that ended with a backlog).
inline constexpr const char* kQueuedAtEnd = "still in the service's queue file at the end";

struct Tally {
  long long expected = 0, present = 0, lost = 0, twice = 0, wrong = 0;
};

struct Finding {
  Finding() = default;
  Finding(std::string section, std::string kind, std::string concerns, std::string detail, long long wag_id)
      : section(std::move(section)), kind(std::move(kind)), concerns(std::move(concerns)), detail(std::move(detail)),
        wag_id(wag_id) {}

  std::string section;   // "positions", "rides", "terminal packets", ...
  std::string kind;      // "lost", "twice", "wrong"
  std::string concerns;  // "ride 123", "taxi 117", "packet 4567 (taxi 117, boarding at 07:12:05)"
  std::string detail;
  long long wag_id = 0;  // the vehicle it concerns; 0 for none
  std::string allowance; // empty: a difference; else the allowance it falls under
};

struct Report {
  std::vector<std::string> sections;             // in the order of the report
  std::map<std::string, Tally> tallies;           // by section
  std::map<std::string, long long> allowances;    // by name
  std::vector<Finding> differences;
  std::vector<Finding> allowed;                   // differences within an allowance
  std::vector<std::string> notes;                 // packets taken as handled otherwise than traced

  bool Passed() const { return differences.empty(); }
  // The verdict, the counts, the allowances and up to max_findings differences.
  std::string Text(std::size_t max_findings = 50) const;
};

Report Check(const Record& record, const DispatchState& state);
// Reads the state first; throws db::DatabaseError when it cannot.
Report Check(const Record& record, db::Database& db);

// A coordinate as the service must store it, from the text a terminal sent ("+51 26
// 28.70"; two degree digits for a latitude, three for a longitude).
double ExpectedCoordinate(const std::string& text, int degree_digits);

}  // namespace dorvek::fleet
