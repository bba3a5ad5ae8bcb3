#pragma once
// The fleet's day: every taxi's terminal and driver, and the dispatchers, driven by a
// scheduler in simulated time. What the terminals send goes to the gateway port and
// into the record; what the terminals receive comes back through FromService.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fleet/dispatcher.h"
#include "fleet/fleet_ports.h"
#include "fleet/outbound_budget.h"
#include "fleet/record.h"
#include "fleet/sim_time.h"
#include "fleet/taxi.h"
#include "fleet/terminal_packets.h"

namespace dorvek::fleet {

struct FleetOptions {
  unsigned long long seed = 1;
  SimMs duration = 2 * kHour;
  // What the service can send, per simulated hour: message-box rows and packets.
  double rows_per_hour = 60;
  double packets_per_hour = 60;
  SimMs position_interval = 10 * kSecond;
  SimMs keep_alive_interval = 10 * kMinute;
};

class FleetModel : private DispatchEvents {
 public:
  FleetModel(Record& record, FleetOptions options, Scheduler& scheduler, GatewayPort& port,
             DispatchDesk& desk);

  // Plans every taxi's shifts and starts the day at simulated time 0.
  void Start();
  // A packet the gateway received from the service for a terminal.
  void FromService(const std::string& text);
  // A burst of junk on the stream (a fault): recorded and handed to the gateway.
  void Junk(std::string bytes);

  // Packets the terminals should receive for what was played so far: one per
  // message-box row, per accepted log-in and per no-show.
  long long ExpectedOutbound() const { return dispatcher_.rows_written() + replies_expected_; }

 private:
  // DispatchEvents.
  void SheetSeen(Taxi& taxi) override;
  void SheetFreed(Taxi& taxi) override;
  void RidePlanned(Taxi& taxi) override;
  void RideWithdrawn(Taxi& taxi) override;

  using Action = void (FleetModel::*)(Taxi&);
  // Runs action after delay unless the taxi has changed phase meanwhile.
  void Later(Taxi& taxi, SimMs delay, Action action);
  void Enter(Taxi& taxi, Phase phase);
  bool Running() const { return scheduler_.Now() < options_.duration; }

  void PlanShifts(Taxi& taxi);
  void Move(Taxi& taxi, SimMs elapsed);
  void PositionTick(std::size_t index);
  void KeepAliveTick(std::size_t index);
  void GatewayTick();

  // A shift, and what an idle taxi does next (Step).
  void LogIn(Taxi& taxi);
  void Step(Taxi& taxi);
  void EndShift(Taxi& taxi);
  // Street hails, breaks, refuelling, the small events of a terminal.
  void StartHail(Taxi& taxi);
  void EndHail(Taxi& taxi);
  void StartBreak(Taxi& taxi);
  void EndBreak(Taxi& taxi);
  void Refuel(Taxi& taxi);
  void SmallEvent(Taxi& taxi);
  // A dispatched ride, from the offer on.
  void Answer(Taxi& taxi);
  void Arrive(Taxi& taxi);
  void Alight(Taxi& taxi);
  // The trip computer's figures at the end of a ride.
  void TripFigures(Taxi& taxi, Pairs& pairs, long long fare);

  // Sends one packet of the taxi's terminal, with its position when `traced`.
  void Send(Taxi& taxi, const std::string& kind, PacketHeader header, Pairs pairs,
            bool traced = true);
  // A packet of the gateway's own about the taxi's terminal (REJ, NAK): no position.
  void SendGateway(Taxi& taxi, const std::string& kind, PacketHeader header, Pairs pairs);
  PacketHeader Header(Taxi& taxi, const std::string& type, const std::string& number,
                      const std::string& status = "NEW");
  std::string NextTime(Taxi& taxi);
  void Hand(SentPacket packet, const std::string& text);

  Record& record_;
  FleetOptions options_;
  Scheduler& scheduler_;
  GatewayPort& port_;
  std::vector<Taxi> taxis_;
  std::map<std::string, std::size_t> by_imei_;
  OutboundBudget budget_;
  Dispatcher dispatcher_;
  Rng rng_;
  long long replies_expected_ = 0;
  long long texts_ = 0;
};

}  // namespace dorvek::fleet
