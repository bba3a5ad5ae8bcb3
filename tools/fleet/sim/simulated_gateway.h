#pragma once
// The terminal gateway of a run inside one process, and the service's end of its
// connection (a gateway::GatewayLink that the service is given as its link).
//
// The gateway writes the terminals' packets in the order handed over, a few
// milliseconds later, one to three to a read and now and then one split over two reads,
// while a connection is up and the service reads; what it has not written waits with it,
// as behind a closed TCP window. What the service writes reaches the gateway when the
// write completes and is acknowledged some milliseconds later, in order. An attempt to
// connect completes after a delay, and now and then is refused. The gateway may close
// the connection: a write in flight fails, and writes not yet acknowledged stay so.
//
// One link per service process: a process that dies takes its link with it, and
// whatever it had been handed and not yet saved is marked unread when it was killed.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fleet/fleet_ports.h"
#include "fleet/random.h"
#include "fleet/record.h"
#include "fleet/sim/fault_database.h"
#include "gateway/gateway_link.h"
#include "gateway/stream_framer.h"

namespace dorvek::fleet {

class SimulatedGateway;

class SimulatedLink : public gateway::GatewayLink {
 public:
  SimulatedLink(SimulatedGateway& gateway, Lifeline& life) : gateway_(gateway), life_(life) {}
  void set_events(gateway::GatewayEvents* events) { events_ = events; }

  gateway::SocketState state() const override { return state_; }
  void SetRemote(const std::string& host, const std::string& port) override { remote_ = host + ":" + port; }
  void Connect(StartFailure on_start_failure) override;
  bool sending() const override { return static_cast<bool>(in_flight_); }
  void Send(std::string_view bytes, SendDone done, Acknowledged acknowledged) override;
  std::size_t unacknowledged() const override;
  void Close() override;
  void PauseReading() override { paused_ = true; }
  void ResumeReading() override;
  bool reading_paused() const override { return paused_; }
  void Abandon() override { End("stopped", Report::kNothing); }

  // The process is gone: nothing of it arrives or leaves any more.
  void Kill() { End("killed", Report::kNothing); }

 private:
  friend class SimulatedGateway;
  struct Write {
    std::string bytes;
    SendDone done;
    Acknowledged acknowledged;
  };
  enum class Report { kNothing, kClosed };
  // The connection, or the attempt, ends: the gateway records why, a write in flight
  // fails, and with kClosed the service hears of it.
  void End(const std::string& by, Report report, std::error_code error = {});

  SimulatedGateway& gateway_;
  Lifeline& life_;
  gateway::GatewayEvents* events_ = nullptr;
  gateway::SocketState state_ = gateway::SocketState::kClosed;
  std::string remote_;
  int epoch_ = 0;  // callbacks of an earlier attempt or connection find it changed
  bool paused_ = false;
  std::unique_ptr<Write> in_flight_;
  std::deque<Acknowledged> unacknowledged_;  // completed writes, oldest first
  SimMs last_ack_ = 0;
};

class SimulatedGateway : public GatewayPort {
 public:
  // received: each packet the service sends to a terminal (UTF-8).
  SimulatedGateway(Scheduler& scheduler, unsigned long long seed, std::function<void(const std::string&)> received)
      : scheduler_(scheduler), rng_(seed, 0x6A7E3A), received_(std::move(received)) {}

  // The link of a new service process; kept for the whole run.
  SimulatedLink& NewLink(Lifeline& life);
  void Deliver(long long seq, const std::string& text) override;

  // Closes the connection from the gateway's side (once the service has read what is
  // written).
  void Close();
  // Why the connection is about to end ("stopped"); the next end is recorded so.
  void EndingBecause(std::string why) { ending_ = std::move(why); }

  bool connected() const;
  // Packets the terminals have received so far.
  long long received() const { return static_cast<long long>(received_log_.size()); }
  // Packets handed over and not yet written whole.
  std::size_t pending() const { return pending_.size(); }
  // Connections, where each packet was written, what the terminals received.
  void Annotate(Record& record) const;

 private:
  friend class SimulatedLink;
  struct Pending {
    long long seq;
    std::string bytes;  // on the wire
    SimMs ready;
  };
  struct Written {
    int connection = 0;
    double at = -1;
    bool unread_at_kill = false;
  };
  SimMs Now() const { return scheduler_.Now(); }
  void Opened(SimulatedLink& link);
  void Ended(SimulatedLink& link, const std::string& by);
  // Writes what is due while the service reads.
  void Pump();
  void Schedule(SimMs at) {
    scheduler_.At(at, [this] { Pump(); });
  }
  // A write of the service has reached the gateway.
  void Arrived(std::string_view bytes);
  int connection() const { return static_cast<int>(spans_.size()); }

  Scheduler& scheduler_;
  Rng rng_;
  std::function<void(const std::string&)> received_;
  std::vector<std::unique_ptr<SimulatedLink>> links_;
  SimulatedLink* link_ = nullptr;  // the connected one
  std::deque<Pending> pending_;
  std::size_t partial_ = 0;  // bytes of the head packet already written (a split read)
  bool closing_ = false;     // closes once the head packet is written whole
  SimMs last_ready_ = 0;
  gateway::StreamFramer framer_;
  std::string ending_;
  std::vector<ConnectionSpan> spans_;
  std::map<long long, Written> written_;
  std::vector<ReceivedPacket> received_log_;
};

}  // namespace dorvek::fleet
