#pragma once
// Whether the machine is shutting down, as systemd's manager reports it.

namespace dorvek::service {

// True while systemd's system state is "stopping". False when it cannot be asked
// (no systemd, no bus): a stop is then an ordinary stop.
bool SystemIsStopping();

}  // namespace dorvek::service
