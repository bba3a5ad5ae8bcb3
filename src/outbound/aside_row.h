#pragma once
// What the message box remembers of a berichtenbox row it has set aside, kept across a
// restart so a restart does not walk through the same rows again.

#include <cstdint>

namespace dorvek::outbound {

struct AsideRow {
  long long bbo_id = 0;
  long long wag_id = 0;  // the row's vehicle and ride: a later row for either makes it stale
  long long pla_id = 0;
  int reason = 0;    // why it was last set aside (MessageBox's reason, as a number)
  int warned = 0;    // the reason last given in a warning, so it is given once
  int failures = 0;  // failed firings in a row
  // When the row is taken again, as wall-clock time (Unix ms), so it survives a restart;
  // 0 while it has only failed without being set aside.
  std::int64_t until_ms = 0;
  // A later row for its ride or vehicle has been handled: never sent, left unprocessed
  // for the dispatchers.
  bool dropped = false;
};

}  // namespace dorvek::outbound
