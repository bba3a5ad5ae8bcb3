#pragma once
// The service's figures as a file in the Prometheus text format, for node exporter's
// textfile collector: no HTTP server in the service. Building the text is pure; the
// file is written beside and renamed, so the collector never reads half of it.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/metrics.h"

namespace dorvek::service {

// Relative to the base directory. node exporter reads only files ending in .prom.
inline constexpr std::string_view kMetricsFilePath = "VmrZOLData/metrics/dorvekzol.prom";

// The states the counters do not hold, read when the file is written.
struct MetricsState {
  bool running = false;  // between start and stop
  bool paused = false;
  std::size_t inbound_queue = 0;
  std::size_t outbound_queue = 0;
  double backlog_age_seconds = 0;
  double backlog_drain_seconds = 0;
  int packets_per_tick = 1;
  std::size_t message_box_set_aside = 0;
  bool database_connected = false;
  bool gateway_connected = false;
  bool queue_file_in_step = true;  // the queue file holds the queues (QueueStore::healthy)
  bool reading = true;             // the gateway is read (not paused by a full queue or the file)
};

// Every figure with its HELP and TYPE lines, each line ended by "\n".
std::string MetricsText(const core::Metrics& counters, const MetricsState& state);

// Writes text to file.tmp in the same directory (created when missing) and renames it
// over file. Throws std::runtime_error naming the file when it cannot.
void WriteFileAtomically(const std::filesystem::path& file, std::string_view text);

}  // namespace dorvek::service
