#pragma once
// Faults at moments drawn from the run's seed: the database server stopped and started
// (PostgreSQL), the dispatchers' program holding a write lock for some seconds, the
// gateway closing the connection, the service killed (SIGKILL) and started again,
// stopped (SIGTERM) and started, paused (SIGUSR1) and continued (SIGUSR2), and a burst
// of junk on the stream. One at a time, each over (the service connected again) before
// the next; each logged with its simulated and real time.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fleet/random.h"
#include "fleet/real/real_time_scheduler.h"
#include "fleet/real/tcp_gateway.h"
#include "fleet/record.h"

namespace dorvek::fleet {

inline constexpr const char* kFaultKinds[] = {"service killed", "service stopped", "service paused", "gateway closed",
                                              "junk burst",     "write lock",      "database server stopped"};

struct PlannedFault {
  SimMs at = 0;
  std::string kind;
  double seconds = 0;  // how long it lasts (a pause, a lock, an outage, a restart delay)
  long long bytes = 0; // junk
  unsigned long long seed = 0;
};

// Every kind the run can have at least once, more in longer runs, spread over the
// run; the database server only when it is one of the run's own.
std::vector<PlannedFault> PlanFaults(unsigned long long seed, SimMs duration, bool database_server, int per_hour);

// What the injector works with.
struct FaultControls {
  std::function<void()> kill_service;        // SIGKILL, and wait for its end
  std::function<void()> stop_service;        // SIGTERM, and wait for its end
  std::function<void()> start_service;
  std::function<void(int)> signal_service;
  std::function<void()> stop_database;       // empty without a server of the run's own
  std::function<void()> start_database;
  std::function<std::string(double seconds, unsigned long long seed)> hold_write_lock;  // blocks; tells how
  std::function<void(std::string bytes)> junk;
};

class FaultInjector {
 public:
  FaultInjector(std::vector<PlannedFault> plan, FaultControls controls, TcpGateway& gateway,
                RealTimeScheduler& scheduler, SimMs end);
  ~FaultInjector();

  void Start();
  // Ends after the fault under way.
  void Stop();
  std::vector<FaultEvent> Log() const;

 private:
  void Run();
  bool Sleep(double seconds);  // false when stopping
  void Execute(const PlannedFault& fault, FaultEvent& event);
  void Quiesce(FaultEvent& event, const std::string& ending);
  void AwaitDisconnected();

  std::vector<PlannedFault> plan_;
  FaultControls controls_;
  TcpGateway& gateway_;
  RealTimeScheduler& scheduler_;
  SimMs end_;
  mutable std::mutex mutex_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  std::vector<FaultEvent> log_;
  std::thread thread_;
};

}  // namespace dorvek::fleet
