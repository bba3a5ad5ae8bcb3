#pragma once
// The host: runs the service object on one event loop under systemd or from a
// terminal, turns signals into the service controls, and reports status, readiness
// and liveness to systemd.
//
//   running ──SIGUSR1──► paused ──SIGUSR2──► running
//      │                   │
//      └──SIGTERM/SIGINT───┴──► stop (or shutdown while the system is stopping) ──► exit

#include <filesystem>
#include <string>

#include "service/command_line.h"

namespace dorvek::service {

struct HostOptions {
  CommandLine command_line;
  std::filesystem::path executable;  // absolute path of the running executable
};

// Blocks SIGUSR1 and SIGUSR2 in the calling thread, whose default action would end the
// process: main calls it before anything else, so a pause or continue sent while the
// service starts waits until the host takes them (RunHost unblocks them then).
void BlockControlSignals();

// Runs the mode the command line asks for and returns the process's exit code.
int RunHost(const HostOptions& options);

}  // namespace dorvek::service
