#include "fleet/real/fault_injector.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

#include "core/codepage.h"

namespace dorvek::fleet {

std::vector<PlannedFault> PlanFaults(unsigned long long seed, SimMs duration, bool database_server, int per_hour) {
  Rng rng(seed, 0xFA017);
  std::vector<std::string> kinds;
  for (const char* kind : kFaultKinds)
    if (database_server || std::string(kind) != "database server stopped") kinds.push_back(kind);
  // The service takes up to 30 s to reconnect after the gateway closed: in a short run
  // that is the only close, so the other faults still fit.
  std::vector<std::string> more = kinds;
  if (duration < 6 * kHour) std::erase(more, std::string("gateway closed"));
  const long long extra =
      std::max<long long>(0, duration * per_hour / kHour - static_cast<long long>(kinds.size()));
  for (long long i = 0; i < extra; ++i)
    kinds.push_back(more[static_cast<std::size_t>(rng.Between(0, static_cast<long long>(more.size()) - 1))]);
  for (std::size_t i = kinds.size(); i > 1; --i) std::swap(kinds[i - 1], kinds[static_cast<std::size_t>(rng.Between(0, i - 1))]);
  std::vector<PlannedFault> plan;
  const double n = static_cast<double>(kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    PlannedFault f;
    f.kind = kinds[i];
    f.at = static_cast<SimMs>(static_cast<double>(duration) * (0.06 + 0.84 * (static_cast<double>(i) + rng.Real(0.1, 0.9)) / n));
    if (f.kind == "service paused") f.seconds = rng.Real(1, 8);
    if (f.kind == "write lock") f.seconds = rng.Real(1, 8);
    if (f.kind == "database server stopped") f.seconds = rng.Real(2, 15);
    if (f.kind == "service killed" || f.kind == "service stopped") f.seconds = rng.Real(0.2, 2);
    if (f.kind == "junk burst") f.bytes = rng.Between(100, 65536);
    f.seed = rng.Next();
    plan.push_back(f);
  }
  return plan;
}

FaultInjector::FaultInjector(std::vector<PlannedFault> plan, FaultControls controls, TcpGateway& gateway,
                             RealTimeScheduler& scheduler, SimMs end)
    : plan_(std::move(plan)), controls_(std::move(controls)), gateway_(gateway), scheduler_(scheduler), end_(end) {}

FaultInjector::~FaultInjector() { Stop(); }

void FaultInjector::Start() { thread_ = std::thread([this] { Run(); }); }

void FaultInjector::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::vector<FaultEvent> FaultInjector::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

bool FaultInjector::Sleep(double seconds) {
  std::unique_lock lock(mutex_);
  return !stop_cv_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, seconds)), [this] { return stopping_; });
}

void FaultInjector::Run() {
  for (const PlannedFault& fault : plan_) {
    {
      std::unique_lock lock(mutex_);
      if (stop_cv_.wait_until(lock, scheduler_.RealAt(fault.at), [this] { return stopping_; })) return;
    }
    if (scheduler_.Now() >= end_) return;
    FaultEvent event;
    event.kind = fault.kind;
    event.at = scheduler_.Now();
    event.real_s = scheduler_.RealSeconds();
    Execute(fault, event);
    event.seconds = scheduler_.RealSeconds() - event.real_s;
    const SimMs t = event.at / kSecond;
    std::printf("fault  %02lld:%02lld:%02lld sim, %7.1f s real: %s (%.1f s) %s\n", t / 3600, t / 60 % 60, t % 60,
                event.real_s, event.kind.c_str(), event.seconds, event.detail.c_str());
    std::fflush(stdout);
    {
      std::lock_guard lock(mutex_);
      log_.push_back(event);
    }
    // The next fault only once the service is back on the gateway and has written its
    // connection's notification, so two faults never overlap.
    if (gateway_.WaitConnected(std::chrono::seconds(45))) Sleep(1.5);
  }
}

void FaultInjector::AwaitDisconnected() {
  for (int i = 0; i < 1000 && gateway_.connected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Holds the gateway's writes and lets the service read what it was sent, so that what
// a stop or a kill finds unread is known.
void FaultInjector::Quiesce(FaultEvent& event, const std::string& ending) {
  gateway_.HoldWrites();
  std::optional<long long> unread = gateway_.UnreadByService();
  for (int i = 0; i < 100 && unread && *unread > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unread = gateway_.UnreadByService();
  }
  if (unread && *unread > 0) {
    gateway_.MarkUnread(*unread);
    event.detail += fmt::format("{} bytes unread by the service; ", *unread);
  }
  gateway_.EndingBecause(ending);
}

void FaultInjector::Execute(const PlannedFault& fault, FaultEvent& event) {
  const std::string& kind = fault.kind;
  if (kind == "service killed" || kind == "service stopped") {
    const bool kill = kind == "service killed";
    Quiesce(event, kill ? "killed" : "stopped");
    if (kill) {
      controls_.kill_service();
    } else {
      controls_.stop_service();
    }
    AwaitDisconnected();
    gateway_.ReleaseWrites();
    Sleep(fault.seconds);
    controls_.start_service();
    event.detail += fmt::format("started again after {:.1f} s", fault.seconds);
  } else if (kind == "service paused") {
    controls_.signal_service(SIGUSR1);
    Sleep(fault.seconds);
    controls_.signal_service(SIGUSR2);
  } else if (kind == "gateway closed") {
    gateway_.Close();
    AwaitDisconnected();
  } else if (kind == "junk burst") {
    Rng rng(fault.seed, 1);
    std::string bytes(static_cast<std::size_t>(fault.bytes), '\0');
    for (char& c : bytes) c = static_cast<char>(rng.Next() & 0xFF);
    controls_.junk(core::Cp1252ToUtf8(bytes));
    event.detail = fmt::format("{} bytes", fault.bytes);
  } else if (kind == "write lock") {
    event.detail = controls_.hold_write_lock(fault.seconds, fault.seed);
  } else if (kind == "database server stopped") {
    controls_.stop_database();
    Sleep(fault.seconds);
    controls_.start_database();
  }
}

}  // namespace dorvek::fleet
