#include "service/dorvek_service.h"

#include <exception>

#include <fmt/format.h>

#include "db/lan_notice.h"
#include "db/lan_notices.h"
#include "db/notifications.h"
#include "db/scoped_deadline.h"
#include "outbound/packet_kind.h"
#include "outbound/send_pump.h"
#include "service/build_info.h"
#include "service/config_file.h"
#include "service/connection_supervisor.h"
#include "service/metrics_file.h"

namespace dorvek::service {
namespace {

// How long a socket event's notification, and the whole stop, may wait on the database.
constexpr std::chrono::seconds kEventBudget{10};
constexpr std::chrono::seconds kStopBudget{20};

std::int64_t UnixMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

using namespace std::chrono_literals;

DorvekService::DorvekService(ServiceParts parts)
    : parts_(std::move(parts)),
      metrics_(parts_.metrics != nullptr ? *parts_.metrics : own_metrics_),
      timers_(parts_.clock),
      queue_store_(parts_.log, parts_.clock, parts_.base_dir / kQueueStorePath, parts_.queue_store),
      receive_path_(parts_.log),
      backlog_(parts_.log, parts_.clock),
      packet_controller_({parts_.log, parts_.clock, parts_.db, parts_.lan, current_vehicle_, &metrics_}),
      message_box_({parts_.log, parts_.clock, parts_.db, parts_.link, &metrics_}) {
  if (metrics_.started == std::chrono::system_clock::time_point{}) metrics_.started = parts_.clock.Now();
  // The five events with their design-time intervals and enabled states.
  timers_.Add("ControleTimer", std::chrono::milliseconds(kDefaultHttpTimerMs), false, true, [this] { JvTimerList1Events0Timer(); });
  timers_.Add("Socketcontrole", 30000ms, true, true, [this] { JvTimerList1Events1Timer(); });
  timers_.Add("PakketController", kPakketControllerInterval, true, false, [this] { JvTimerList1Events2Timer(); });
  timers_.Add("UitgaandeBerichten", 5000ms, true, true, [this] { JvTimerList1Events3Timer(); });
  timers_.Add("UitgaandVerzenden", 5000ms, true, true, [this] { JvTimerList1Events4Timer(); });
  timers_.Add("Metrics", kMetricsInterval, true, true, [this] { WriteMetricsFile(); });
  timers_.SetSuspension(kMetricsFile, TimerList::Suspension::kRunsOn);
  // A failure that escapes a timer handler is the host's entry, under the executable's
  // name; the event goes on firing.
  timers_.SetFailureHandler([this](const std::string&, const std::exception& e) {
    parts_.log.Write(core::LogEntry{parts_.executable_name, core::EntryType::kError, 0, 0, e.what()});
  });
  supervisor_ = std::make_unique<ConnectionSupervisor>(parts_.log, parts_.db, parts_.link, settings_,
                                                       parts_.computer_name, &metrics_);
}

DorvekService::~DorvekService() = default;

void DorvekService::SendNotice(int kind, const std::string& detail) {
  db::SendUDPDorvek(parts_.lan, parts_.log, settings_.netwerksleutel, kind, parts_.computer_name,
                    parts_.clock.LocalNow(), db::kNoticeIdentity, detail);
}

void DorvekService::ServiceStart() {
  const auto& base = parts_.base_dir;
  // Steps that do not handle their own failures: a template that cannot be written
  // fails the start.
  CreateDataDirectories(base);
  WriteLinesIfMissing(base / kReadmePath, ConfigTemplateLines(base));
  if (WriteLinesIfMissing(base / kConfigFileName, ConfigTemplateLines(base)))
    parts_.log.Info("Taxis Dorvek ZOL cliënt werd met succes geïnstalleerd (VmrZOLConfig.xml)");
  // The queues and their file before anything is handled: what the last run left comes
  // first, and a file that cannot be made ready fails the start, whatever it holds
  // staying where it is.
  inkomende_pakketten_ = std::make_unique<gateway::PacketQueue>();
  uitgaande_pakketten_ = std::make_unique<gateway::PacketQueue>();
  QueueStore::Opened loaded;
  try {
    loaded = queue_store_.Open(*inkomende_pakketten_, *uitgaande_pakketten_);
  } catch (...) {
    inkomende_pakketten_.reset();
    uitgaande_pakketten_.reset();
    throw;
  }

  try {
    parts_.log.Info("Taxis Dorvek ZOL " + VersionText());
    parts_.log.Info("Taxis Dorvek ZOL cliënt werd normaal gestart");
    running_ = true;
    timers_.SetActive(true);
    if (loaded.inbound + loaded.outbound > 0)
      parts_.log.Info("Taxis Dorvek ZOL wachtrijen geladen: " + std::to_string(loaded.inbound) +
                      " inkomende en " + std::to_string(loaded.outbound) + " uitgaande pakketten");
    message_box_.Restore(queue_store_.aside_rows());
    const auto config = base / kConfigFileName;
    if (std::filesystem::exists(config)) {
      settings_ = ReadSettings(LoadConfigLines(config));
      if (parts_.configure_database) parts_.configure_database(settings_);
      packet_controller_.Configure(
          {settings_.zol_id, settings_.separator, settings_.netwerksleutel, parts_.computer_name});
      outbound::MessageBox::Options box;
      box.amounts = settings_.SuppressAmounts() ? outbound::Amounts::kSuppressed : outbound::Amounts::kShown;
      message_box_.Configure(box);
      packets_per_tick_ = settings_.PacketsPerTick();
      max_inbound_ = settings_.MaxInboundPackets();
      backlog_.Configure(packets_per_tick_);
      DropStaleOutbound();
      // A non-positive HTTPTimer leaves ControleTimer as it is, counting since activation.
      if (ReadIntegerSetting(settings_.http_timer) > 0) {
        timers_.SetInterval(kControleTimer, std::chrono::milliseconds(settings_.HttpTimerMs()));
        timers_.SetEnabled(kControleTimer, true);
      }
      if (settings_.PortNumber() > 0) {
        try {
          parts_.link.SetRemote(settings_.binding, settings_.PortText());
          parts_.log.Info("Taxis Dorvek ZOL cliënt werd met succes geconfigureerd op " +
                          settings_.binding + " via poort " + settings_.PortText());
        } catch (const std::exception& e) {
          parts_.log.Info(e.what());
        }
      }
      timers_.SetEnabled(kPakketController, true);
      SendNotice(db::kNoticeStart, "0000");
    }
    UpdateReading();
  } catch (const std::exception& e) {
    parts_.log.Warning(e.what());
  }
  // The monitoring sees the service from its start, not only 15 s later.
  WriteMetricsFile();
}

void DorvekService::DropStaleOutbound() {
  gateway::PacketQueue& queue = *uitgaande_pakketten_;
  const std::int64_t now = UnixMs(parts_.clock.Now());
  const std::int64_t limit_ms = std::chrono::duration_cast<std::chrono::milliseconds>(settings_.MaxOutboundAge()).count();
  for (std::size_t i = 0; i < queue.size();) {
    const std::int64_t age = now - queue.entry(i).queued_ms;
    if (queue.entry(i).queued_ms == 0 || age <= limit_ms) {
      ++i;
      continue;
    }
    const outbound::PacketKind kind = outbound::KindOfPacket(queue[i]);
    parts_.log.Warning(fmt::format(
        "Taxis Dorvek ZOL {} voor {} niet verzonden: {} s oud, ouder dan de {} s van MaxLeeftijdUitgaand", kind.kind,
        kind.unit, age / 1000, limit_ms / 1000));
    queue.erase(i);
  }
  queue_store_.Save();
}

void DorvekService::UpdateReading() {
  const bool full = inkomende_pakketten_ && static_cast<long long>(inkomende_pakketten_->size()) >= max_inbound_;
  const bool want = !full && queue_store_.healthy();
  if (want == reading_) return;
  reading_ = want;
  // The gateway's TCP holds what comes meanwhile: nothing is dropped.
  if (want)
    parts_.link.ResumeReading();
  else
    parts_.link.PauseReading();
  if (!want) {
    if (full)
      parts_.log.Warning(fmt::format(
          "Taxis Dorvek ZOL inkomende wachtrij vol ({} pakketten, MaxInkomendePakketten): de gateway wordt niet "
          "meer gelezen tot er weer plaats is",
          inkomende_pakketten_->size()));
  } else {
    parts_.log.Info(fmt::format("Taxis Dorvek ZOL de gateway wordt weer gelezen: {} pakketten in de inkomende wachtrij",
                                inkomende_pakketten_ ? inkomende_pakketten_->size() : 0));
  }
}

void DorvekService::SaveAside() {
  if (message_box_.aside_changed()) queue_store_.SaveAside(message_box_.aside_rows());
}

void DorvekService::ServiceStop() {
  // Every wait on the database in the stop together stays well inside the unit's stop
  // time-out: the notifications 4007 and 4008 included.
  const db::ScopedDeadline deadline(parts_.db, kStopBudget);
  SendNotice(db::kNoticeStop, "0000");
  if (parts_.link.state() == gateway::SocketState::kConnected) parts_.link.Close();
  // Nothing may touch the queues once they are gone: no timer fires from here on, and
  // an attempt still in progress is dropped without its events.
  timers_.SetActive(false);
  parts_.link.Abandon();
  // The link's reading is a setting of the link; the next start begins reading.
  if (!reading_) parts_.link.ResumeReading();
  reading_ = true;
  timers_.SetEnabled(kPakketController, false);
  tick_left_ = 0;
  if (parts_.db.IsOpen()) {
    try {
      parts_.db.Close();
    } catch (const std::exception& e) {
      parts_.log.Warning(e.what());
    }
  }
  // The queues go; what they hold stays in the store for the next start.
  SaveAside();
  const QueueStore::Unkept unkept = queue_store_.Close();
  if (unkept.packets + unkept.removals > 0)
    parts_.log.Warning(fmt::format(
        "Taxis Dorvek ZOL gestopt terwijl het wachtrijbestand {} niet bij te werken was: {} pakketten niet "
        "bewaard, {} afgehandelde pakketten komen bij de volgende start terug",
        queue_store_.file().string(), unkept.packets, unkept.removals));
  inkomende_pakketten_.reset();
  uitgaande_pakketten_.reset();
  backlog_.Clear();
  db::Berichtmaken(parts_.db, parts_.log, 4008, 1,
                   "Taxis Dorvek ZOL cliënt werd normaal gestopt op " + parts_.computer_name, 0);
  running_ = false;
  WriteMetricsFile();
}

void DorvekService::ServicePause() {
  SendNotice(db::kNoticeStop, "0000");
  parts_.log.Info("Taxis Dorvek ZOL cliënt werd onderbroken door pauze actie");
}

void DorvekService::ServiceContinue() {
  SendNotice(db::kNoticeStart, std::to_string(current_vehicle_.wag_taxis()));
  parts_.log.Info("Taxis Dorvek ZOL cliënt werd na een pauze gestart");
}

void DorvekService::ServiceShutdown() {
  SendNotice(db::kNoticeStop, "0000");
  parts_.log.Info("Taxis Dorvek ZOL cliënt werd gestopt wegens het afsluiten van de computer");
  // The process ends next; nothing more may fire or arrive.
  timers_.SetActive(false);
  parts_.link.Abandon();
  running_ = false;
  WriteMetricsFile();
}

void DorvekService::WriteInstallFiles(bool installation) {
  const auto& base = parts_.base_dir;
  CreateDataDirectories(base);
  WriteLinesIfMissing(base / kReadmePath,
                      installation ? ReadmeInstallLines(base) : ConfigTemplateLines(base));
  WriteLinesIfMissing(base / kConfigFileName, ConfigTemplateLines(base));
}

void DorvekService::ServiceAfterInstall() {
  WriteInstallFiles(true);
  parts_.log.Info("Taxis Dorvek ZOL cliënt werd met succes geïnstalleerd");
}

void DorvekService::ServiceBeforeUninstall() {
  parts_.log.Info("De installatie van Taxis Dorvek ZOL cliënt werd verwijderd");
}

void DorvekService::JvTimerList1Events0Timer() { supervisor_->ControleTimer(); }

void DorvekService::JvTimerList1Events1Timer() { supervisor_->Socketcontrole(); }

void DorvekService::JvTimerList1Events2Timer() {
  // Off while the packets of this tick are handled, so a slow handling never overlaps
  // the next tick; on again afterwards whatever happened.
  timers_.SetEnabled(kPakketController, false);
  if (tick_left_ == 0) tick_left_ = packets_per_tick_;  // a new tick
  if (inkomende_pakketten_) {
    const auto started = parts_.clock.Steady();
    std::size_t handled = 0;
    // While the queue file is behind, nothing is taken: a packet handled now could come
    // back after a crash.
    if (!queue_store_.healthy()) queue_store_.Save();
    // Up to PakkettenPerTick packets, each on its own (its failure ends only that
    // packet): the first always, the others while within the budget. The replies a
    // packet makes are saved before its work commits, its removal as soon as it has,
    // so a crash repeats at most the packet in hand and loses none of its replies.
    while (tick_left_ > 0 && queue_store_.healthy() &&
           (handled == 0 || parts_.clock.Steady() - started < kTickBudget)) {
      const auto lookup = handled == 0 ? inbound::VehicleLookup::kAfresh : inbound::VehicleLookup::kWithinStretch;
      if (packet_controller_.HandleNext(*inkomende_pakketten_, uitgaande_pakketten_.get(), lookup,
                                        [this] { return queue_store_.Save(); }) !=
          inbound::HandleResult::kTaken) {
        tick_left_ = 0;  // nothing left, or the packet was kept: the tick is done
        queue_store_.Save();  // the replies a kept packet had saved go again
        break;
      }
      queue_store_.Save();
      ++handled;
      --tick_left_;
    }
    if (!queue_store_.healthy()) tick_left_ = 0;
    backlog_.TickDone(handled, parts_.clock.Steady() - started);
    backlog_.Sync(inkomende_pakketten_->size());
    UpdateReading();
  } else {
    tick_left_ = 0;
  }
  timers_.SetInterval(kPakketController, tick_left_ > 0 ? kTickContinuation : kPakketControllerInterval);
  timers_.SetEnabled(kPakketController, true);
}

void DorvekService::JvTimerList1Events3Timer() {
  // Off while one row is handled and on again afterwards, also after a failure, which
  // goes on to the timer list's host entry: the next firing comes a whole interval after
  // this one has finished. What the firing changed in the queue and among the rows set
  // aside is saved whatever happened.
  timers_.SetEnabled(kUitgaandeBerichten, false);
  const auto done = [this] {
    queue_store_.Save();
    SaveAside();
    timers_.SetEnabled(kUitgaandeBerichten, true);
  };
  try {
    message_box_.HandleNext(uitgaande_pakketten_.get(), [this] { return queue_store_.Save(); });
    if (parts_.db.IsOpen()) box_database_away_ = false;
  } catch (const std::exception& e) {
    done();
    // While the database cannot be reached the rows wait in it; that is said once, not
    // at every firing until it is back.
    if (db::IsTransientFailure(e)) {
      if (box_database_away_) return;
      box_database_away_ = true;
    }
    throw;
  } catch (...) {
    done();
    throw;
  }
  done();
}

void DorvekService::JvTimerList1Events4Timer() {
  outbound::SendNextPacket(uitgaande_pakketten_.get(), parts_.link, parts_.log, [this] {
    ++metrics_.packets_sent;
    queue_store_.Save();
  }, settings_.PacketsPerSend());
}

std::filesystem::path DorvekService::metrics_file() const { return parts_.base_dir / kMetricsFilePath; }

void DorvekService::WriteMetricsFile() {
  MetricsState state;
  state.running = running_;
  state.paused = timers_.suspended();
  state.inbound_queue = inbound_size().value_or(0);
  state.outbound_queue = outbound_size().value_or(0);
  state.backlog_age_seconds = backlog_.AgeSeconds();
  state.backlog_drain_seconds = backlog_.DrainSecondsNow();
  state.packets_per_tick = packets_per_tick_;
  state.message_box_set_aside = message_box_.set_aside();
  state.database_connected = parts_.db.IsOpen();
  state.gateway_connected = parts_.link.state() == gateway::SocketState::kConnected;
  state.queue_file_in_step = queue_store_.healthy();
  state.reading = reading_;
  try {
    WriteFileAtomically(metrics_file(), MetricsText(metrics_, state));
    if (metrics_write_failed_) parts_.log.Info("Taxis Dorvek ZOL metrics weer geschreven: " + metrics_file().string());
    metrics_write_failed_ = false;
  } catch (const std::exception& e) {
    // Once, not every 15 s.
    if (!metrics_write_failed_) parts_.log.Warning(e.what());
    metrics_write_failed_ = true;
  }
}

void DorvekService::OnConnected(std::error_code error) {
  const db::ScopedDeadline deadline(parts_.db, kEventBudget);
  supervisor_->Connected(error);
}

void DorvekService::OnClosed(std::error_code error) {
  const db::ScopedDeadline deadline(parts_.db, kEventBudget);
  receive_path_.ConnectionClosed();
  supervisor_->Closed(error);
}

void DorvekService::OnData(std::string_view bytes) {
  // Received while paused too: the packets wait in the queue. The packets of one read
  // are one transaction of the store, on disk before the next read.
  const std::size_t before = inbound_size().value_or(0);
  receive_path_.QClientSocketDataAvailable(bytes, inkomende_pakketten_.get());
  queue_store_.Save();
  const std::size_t after = inbound_size().value_or(0);
  if (after > before) {
    metrics_.packets_received += after - before;
    metrics_.last_packet = parts_.clock.Now();
  }
  if (inkomende_pakketten_) backlog_.Sync(after);
  UpdateReading();
}

std::optional<std::size_t> DorvekService::inbound_size() const {
  if (!inkomende_pakketten_) return std::nullopt;
  return inkomende_pakketten_->size();
}

std::optional<std::size_t> DorvekService::outbound_size() const {
  if (!uitgaande_pakketten_) return std::nullopt;
  return uitgaande_pakketten_->size();
}

}  // namespace dorvek::service
