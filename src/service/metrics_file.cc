#include "service/metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "service/build_info.h"

namespace dorvek::service {
namespace {

class Text {
 public:
  // One metric: its HELP and TYPE lines, then its samples.
  Text& Metric(std::string_view name, std::string_view type, std::string_view help) {
    fmt::format_to(std::back_inserter(out_), "# HELP dorvekzol_{} {}\n# TYPE dorvekzol_{} {}\n", name, help, name,
                   type);
    name_ = name;
    return *this;
  }
  Text& Sample(double value) {
    fmt::format_to(std::back_inserter(out_), "dorvekzol_{} {}\n", name_, Number(value));
    return *this;
  }
  Text& Sample(std::string_view label, std::string_view label_value, double value) {
    return Sample({{label, label_value}}, value);
  }
  Text& Sample(std::initializer_list<std::pair<std::string_view, std::string_view>> labels, double value) {
    std::string set;
    for (const auto& [label, label_value] : labels)
      fmt::format_to(std::back_inserter(set), "{}{}=\"{}\"", set.empty() ? "" : ",", label, Escaped(label_value));
    fmt::format_to(std::back_inserter(out_), "dorvekzol_{}{{{}}} {}\n", name_, set, Number(value));
    return *this;
  }
  std::string Take() { return std::move(out_); }

 private:
  // A label value as the text format wants it: backslash, quote and line feed escaped.
  static std::string Escaped(std::string_view value) {
    std::string out;
    for (const char c : value) {
      if (c == '\\' || c == '"') out += '\\';
      out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
  }
  // Integers without a fraction, the rest with millisecond precision.
  static std::string Number(double value) {
    if (value == static_cast<double>(static_cast<long long>(value))) return fmt::format("{}", static_cast<long long>(value));
    return fmt::format("{:.3f}", value);
  }

  std::string out_;
  std::string_view name_;
};

double Seconds(std::chrono::system_clock::time_point t) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count()) /
         1000.0;
}

double Reconnects(const core::ConnectionCounts& c) {
  return c.connections > 0 ? static_cast<double>(c.connections - 1) : 0.0;
}

}  // namespace

std::string MetricsText(const core::Metrics& m, const MetricsState& s) {
  Text t;
  t.Metric("build_info", "gauge", "The version of the running executable and the commit it was built from.")
      .Sample({{"version", BuildVersion()}, {"commit", BuildCommit()}}, 1);
  t.Metric("start_time_seconds", "gauge", "Start of the process, in seconds since the Unix epoch.")
      .Sample(Seconds(m.started));
  t.Metric("running", "gauge", "1 between the service's start and its stop.").Sample(s.running);
  t.Metric("paused", "gauge", "1 while the service is paused.").Sample(s.paused);

  t.Metric("inbound_queue_packets", "gauge", "Packets from the gateway waiting to be handled.")
      .Sample(static_cast<double>(s.inbound_queue));
  t.Metric("inbound_backlog_age_seconds", "gauge", "How long the oldest waiting inbound packet has waited.")
      .Sample(s.backlog_age_seconds);
  t.Metric("inbound_backlog_drain_seconds", "gauge",
           "Estimated time to handle every waiting inbound packet at the current pace.")
      .Sample(s.backlog_drain_seconds);
  t.Metric("packets_per_tick", "gauge", "Most packets the controller handles per tick (PakkettenPerTick).")
      .Sample(s.packets_per_tick);
  t.Metric("outbound_queue_packets", "gauge", "Packets waiting to be sent to the gateway.")
      .Sample(static_cast<double>(s.outbound_queue));

  t.Metric("packets_received_total", "counter", "Packets received from the gateway and queued.")
      .Sample(static_cast<double>(m.packets_received));
  t.Metric("packets_handled_total", "counter",
           "Packets routed to a handler family (or through the controller's own steps) and handled without a "
           "failure.");
  for (const auto& [family, counts] : m.packets) t.Sample("family", family, static_cast<double>(counts.handled));
  t.Metric("packets_failed_total", "counter",
           "Packets routed to a handler family (or through the controller's own steps) whose handling there met a "
           "failure.");
  for (const auto& [family, counts] : m.packets) t.Sample("family", family, static_cast<double>(counts.failed));
  t.Metric("packets_unknown_vehicle_total", "counter", "Packets from a terminal no vehicle matches.")
      .Sample(static_cast<double>(m.packets_unknown_vehicle));
  t.Metric("packets_kept_total", "counter",
           "Tries of an inbound packet undone whole and kept for a later try (an outage, a lock or a time-out).")
      .Sample(static_cast<double>(m.packets_kept));
  t.Metric("packets_given_up_total", "counter", "Inbound packets given up after being kept by time-outs too long.")
      .Sample(static_cast<double>(m.packets_given_up));
  t.Metric("queue_file_in_step", "gauge",
           "1 while the queue file holds the queues; 0 while it cannot be written (nothing new is taken then).")
      .Sample(s.queue_file_in_step);
  t.Metric("gateway_reading", "gauge", "1 while the gateway is read; 0 while the inbound queue is full.")
      .Sample(s.reading);
  t.Metric("packets_sent_total", "counter", "Packets sent to the gateway and acknowledged by its host.")
      .Sample(static_cast<double>(m.packets_sent));

  t.Metric("message_box_rows_handled_total", "counter", "Message-box rows queued as a packet and marked processed.")
      .Sample(static_cast<double>(m.message_box_handled));
  t.Metric("message_box_rows_set_aside_total", "counter", "Times a message-box row was set aside.")
      .Sample(static_cast<double>(m.message_box_set_aside));
  t.Metric("message_box_rows_set_aside", "gauge", "Message-box rows set aside now.")
      .Sample(static_cast<double>(s.message_box_set_aside));

  t.Metric("database_connected", "gauge", "1 while the database connection is open.").Sample(s.database_connected);
  t.Metric("database_reconnects_total", "counter", "Openings of the database connection after it was lost.")
      .Sample(Reconnects(m.database));
  t.Metric("database_failures_total", "counter", "Failed openings of the database connection and failed statements.")
      .Sample(static_cast<double>(m.database.failures));
  t.Metric("gateway_connected", "gauge", "1 while the gateway connection is up.").Sample(s.gateway_connected);
  t.Metric("gateway_reconnects_total", "counter", "Connections to the gateway after the first.")
      .Sample(Reconnects(m.gateway));
  t.Metric("gateway_failures_total", "counter", "Connection attempts to the gateway that failed.")
      .Sample(static_cast<double>(m.gateway.failures));
  if (m.last_packet)
    t.Metric("gateway_last_packet_time_seconds", "gauge",
             "When the last packet came from the gateway, in seconds since the Unix epoch.")
        .Sample(Seconds(*m.last_packet));
  return t.Take();
}

void WriteFileAtomically(const std::filesystem::path& file, std::string_view text) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  // The collector runs as another user: the directory and the file are readable by all
  // whatever the service's umask (they hold no secret).
  if (fs::create_directories(file.parent_path(), ignored))
    fs::permissions(file.parent_path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec,
                    ignored);
  const fs::path temporary = file.string() + ".tmp";
  const auto fail = [&](const char* what) {
    const int error = errno;
    fs::remove(temporary, ignored);
    return std::runtime_error(fmt::format("{} {}: {}", what, file.string(), std::strerror(error)));
  };
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw fail("Cannot write");
  ::fchmod(fd, 0644);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      throw fail("Cannot write");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) throw fail("Cannot write");
  if (::rename(temporary.c_str(), file.c_str()) != 0) throw fail("Cannot replace");
}

}  // namespace dorvek::service
