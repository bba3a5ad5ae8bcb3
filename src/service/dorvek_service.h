#pragma once
// The service object: its lifecycle handlers, the timer list and the run-time state
// that start creates. Everything here runs on the one event-loop thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/metrics.h"
#include "db/database.h"
#include "db/udp_sender.h"
#include "gateway/gateway_link.h"
#include "gateway/packet_queue.h"
#include "gateway/receive_path.h"
#include "inbound/current_vehicle.h"
#include "inbound/packet_controller.h"
#include "outbound/message_box.h"
#include "service/inbound_backlog.h"
#include "service/queue_store.h"
#include "service/settings.h"
#include "service/timer_list.h"

namespace dorvek::service {

class ConnectionSupervisor;

// The outside parts the service works with, passed in so tests can put fakes there.
struct ServiceParts {
  core::EventLog& log;
  const core::Clock& clock;
  db::Database& db;
  db::UdpSender& lan;
  gateway::GatewayLink& link;
  std::filesystem::path base_dir;
  std::string computer_name;    // upper case, as the notices and notifications show it
  std::string executable_name;  // source of the host's entries about failed timers
  // Hands the connection settings to the database once start has read them.
  std::function<void(const Settings&)> configure_database;
  // Where the figures are counted (the host's, also counting the database); without
  // it the service keeps its own.
  core::Metrics* metrics = nullptr;
  // How the queue file is opened (tests put a VFS there that fails on demand).
  QueueStore::Options queue_store{};
};

class DorvekService : public gateway::GatewayEvents {
 public:
  enum TimerEvent : int {
    kControleTimer = 0,
    kSocketcontrole = 1,
    kPakketController = 2,
    kUitgaandeBerichten = 3,
    kUitgaandVerzenden = 4,
    // Not one of the five above: writes the figures for the monitoring, also while the
    // service is paused (the list lets it run on then).
    kMetricsFile = 5,
  };
  static constexpr std::chrono::milliseconds kMetricsInterval{15000};
  // A tick works at most this long at a time: the rest of its packets follow as soon as
  // the event loop has served the socket, the watchdog and the other timers, and only
  // a tick that is done (all its packets, or the queue empty) waits the interval.
  static constexpr std::chrono::milliseconds kTickBudget{1000};
  static constexpr std::chrono::milliseconds kPakketControllerInterval{1000};
  static constexpr std::chrono::milliseconds kTickContinuation{1};

  explicit DorvekService(ServiceParts parts);
  ~DorvekService() override;

  // Lifecycle handlers, called by the host. ServiceStart throws when a template file
  // cannot be written, and QueueStore::StartError when the queue file cannot be made
  // ready; the others report their own failures.
  void ServiceStart();
  void ServiceStop();
  void ServicePause();
  void ServiceContinue();
  void ServiceShutdown();
  void ServiceAfterInstall();
  void ServiceBeforeUninstall();

  TimerList& JvTimerList1() { return timers_; }

  // Timer handlers.
  void JvTimerList1Events0Timer();
  void JvTimerList1Events1Timer();
  void JvTimerList1Events2Timer();
  void JvTimerList1Events3Timer();
  void JvTimerList1Events4Timer();
  // The sixth event: writes the metrics file (and at stop and shutdown).
  void WriteMetricsFile();

  // Gateway socket events.
  void OnConnected(std::error_code error) override;
  void OnClosed(std::error_code error) override;
  void OnData(std::string_view bytes) override;

  // For the host's status line and for tests. A queue that does not exist (before
  // start, after stop) has no value.
  std::optional<std::size_t> inbound_size() const;
  std::optional<std::size_t> outbound_size() const;
  gateway::PacketQueue* inbound_queue() { return inkomende_pakketten_.get(); }
  gateway::PacketQueue* outbound_queue() { return uitgaande_pakketten_.get(); }
  const Settings& settings() const { return settings_; }
  inbound::CurrentVehicle& current_vehicle() { return current_vehicle_; }
  const outbound::MessageBox& message_box() const { return message_box_; }
  const InboundBacklog& backlog() const { return backlog_; }
  const core::Metrics& metrics() const { return metrics_; }
  std::filesystem::path metrics_file() const;
  const QueueStore& queue_store() const { return queue_store_; }
  // False while the inbound queue is full or the queue file cannot be written: the
  // socket is not read then, so the gateway's TCP holds what comes.
  bool reading() const { return reading_; }

 private:
  void SendNotice(int kind, const std::string& detail);
  void WriteInstallFiles(bool installation);
  // Outbound packets that waited longer than MaxLeeftijdUitgaand are not sent.
  void DropStaleOutbound();
  // Whether the socket may be read now; says so when it changes.
  void UpdateReading();
  // Saves the message box's rows set aside when they changed.
  void SaveAside();

  ServiceParts parts_;
  core::Metrics own_metrics_;
  core::Metrics& metrics_;
  TimerList timers_;
  Settings settings_;
  std::unique_ptr<gateway::PacketQueue> inkomende_pakketten_;
  std::unique_ptr<gateway::PacketQueue> uitgaande_pakketten_;
  // Both queues on disk, from start to stop.
  QueueStore queue_store_;
  inbound::CurrentVehicle current_vehicle_;
  std::unique_ptr<ConnectionSupervisor> supervisor_;
  gateway::ReceivePath receive_path_;
  InboundBacklog backlog_;
  int packets_per_tick_ = 1;
  long long max_inbound_ = kDefaultMaxInboundPackets;
  bool reading_ = true;
  int tick_left_ = 0;  // packets the tick under way may still take
  bool running_ = false;
  bool metrics_write_failed_ = false;
  inbound::PacketController packet_controller_;
  outbound::MessageBox message_box_;
  // The message box has reported that the database cannot be reached, and it has not
  // been reached since: later firings that fail the same way are not reported again.
  bool box_database_away_ = false;
};

}  // namespace dorvek::service
