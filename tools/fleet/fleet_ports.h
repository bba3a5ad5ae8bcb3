#pragma once
// The fleet model's two ways out: the gateway, to which the terminals hand their
// packets, and the dispatchers' desk, which does their work on the dispatch database.
// The real run puts a TCP gateway and a worker thread behind them; a simulation in
// one process puts its own.

#include <functional>
#include <string>

#include "db/database.h"

namespace dorvek::fleet {

class GatewayPort {
 public:
  virtual ~GatewayPort() = default;
  // Hands the text recorded as sent packet `seq` (a whole packet, or a burst of junk;
  // UTF-8) on to the service, after everything handed over before it.
  virtual void Deliver(long long seq, const std::string& text) = 0;
};

class DispatchDesk {
 public:
  using Job = std::function<void(db::Database&)>;
  virtual ~DispatchDesk() = default;
  // Runs job on the dispatch database after every job submitted before it, then done
  // on the model's side. A job that failed may be run again, so it must do its work
  // once however often it runs.
  virtual void Submit(Job job, std::function<void()> done) = 0;
};

}  // namespace dorvek::fleet
