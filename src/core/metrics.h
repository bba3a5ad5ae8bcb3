#pragma once
// The service's figures for the monitoring: one small object, passed to whoever counts
// (no globals). Counters only grow, from the start of the process; states (queue
// lengths, connections) are not kept here but read when the figures are written.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace dorvek::core {

// Packets one step of the inbound handling went through, by outcome.
struct PacketCounts {
  std::uint64_t handled = 0;  // without a failure
  std::uint64_t failed = 0;   // a failure ended the packet, or the step logged one
};

struct ConnectionCounts {
  // Successful openings: the first, and each after the connection was lost (for the
  // database, not one after the service closed the connection itself).
  std::uint64_t connections = 0;
  std::uint64_t failures = 0;     // failed openings and, for the database, failed statements
};

struct Metrics {
  std::chrono::system_clock::time_point started{};
  // Whole packets from the gateway put in the inbound queue, and when the last came.
  std::uint64_t packets_received = 0;
  std::optional<std::chrono::system_clock::time_point> last_packet;
  // By handler family; the packet controller's own steps (reading, vehicle lookup,
  // packet time, refusals) count as the family "packet_controller".
  std::map<std::string, PacketCounts, std::less<>> packets;
  std::uint64_t packets_unknown_vehicle = 0;
  // Tries of a packet kept at the head by an outage, a lock or a time-out, and packets
  // given up after being kept by time-outs too long.
  std::uint64_t packets_kept = 0;
  std::uint64_t packets_given_up = 0;
  // Packets sent to the gateway and acknowledged by its host.
  std::uint64_t packets_sent = 0;
  // Message-box rows marked processed, and the times a row was set aside.
  std::uint64_t message_box_handled = 0;
  std::uint64_t message_box_set_aside = 0;
  ConnectionCounts database;
  ConnectionCounts gateway;
};

}  // namespace dorvek::core
