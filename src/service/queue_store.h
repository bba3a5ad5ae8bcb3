#pragma once
// The queue store: both packet queues kept in a SQLite file beside them, so that what
// they hold survives a stop, a crash or a power loss. The queues in memory stay what the
// service works with; the store follows them. A packet is written when it is queued and
// deleted when it is taken, and at start the file fills the new queues, oldest first.
//
// Every change is committed (WAL, synchronous FULL) before the service goes on, so a
// packet the gateway has delivered, or an offer whose message-box row is marked, is on
// disk. A commit costs a disk flush, so changes are written per piece of work, not per
// packet: one transaction for the packets of one socket read, one for a controller tick
// (its removals and the replies it queued), one for a message-box firing, one for each
// packet the send pump has written.
//
//   closed ──Open──► durable ──a write fails──► memory only ──retry_after, next change──┐
//     ▲                │                          │ (one warning; the file is removed,   │
//     └─────Close──────┘ ◄──── rewritten whole ───┘  so nothing stale comes back)  ◄─────┘
//                                (information)
//
// A file that cannot be opened or read at start leaves the store in memory only for
// this run, with one warning, and the file as it is: what it holds has not been handled
// and is loaded at the next start that can read it. The service never stops for the
// store: in memory only it keeps its queues as before, and loses them at a stop.
//
// Not thread-safe: every call comes from the service's event loop.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/event_log.h"
#include "gateway/packet_queue.h"

struct sqlite3;
struct sqlite3_stmt;

namespace dorvek::service {

// The file, under the base directory.
inline constexpr std::string_view kQueueStorePath = "VmrZOLData/Wachtrijen.db";

class QueueStore {
 public:
  struct Options {
    // How long after a failed write the store tries the file again.
    std::chrono::milliseconds retry_after = std::chrono::minutes(1);
    // The SQLite VFS to open the file with; empty: the default one. Tests put one that
    // fails on demand here.
    std::string vfs;
  };

  // The lengths of both queues: taken before a piece of work, so Save knows what it
  // changed.
  struct Lengths {
    std::size_t inbound = 0;
    std::size_t outbound = 0;
  };

  enum class Queue { kInbound = 1, kOutbound = 2 };

  QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file);
  QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file, Options options);
  ~QueueStore();
  QueueStore(const QueueStore&) = delete;
  QueueStore& operator=(const QueueStore&) = delete;

  // Opens the file (creating it and its table when missing) and appends what it holds
  // to the two queues, each in its order; from now on the store follows these queues
  // until Close. Gives how many packets each queue got. Never throws.
  Lengths Open(gateway::PacketQueue& inbound, gateway::PacketQueue& outbound);
  // Closes the file; what it holds stays there for the next Open. The queues are no
  // longer followed.
  void Close();

  Lengths Mark() const;
  // Writes, in one transaction, what the work since `before` changed: in one piece of
  // work a queue only grows at its end or only shrinks at its head. Never throws.
  void Save(const Lengths& before);
  // `count` packets have been taken from the head of the queue. Never throws.
  void Removed(Queue queue, std::size_t count);

  // True while the queues are on disk.
  bool durable() const { return db_ != nullptr; }
  const std::filesystem::path& file() const { return file_; }

 private:
  gateway::PacketQueue& QueueOf(Queue queue) const;
  std::deque<std::int64_t>& IdsOf(Queue queue);
  // Writes the change of one queue whose length was `before`, inside a transaction.
  void Apply(Queue queue, std::size_t before);
  // Writes one queue again whole: its rows replaced by what the queue holds.
  void Rewrite(Queue queue);
  std::int64_t Insert(Queue queue, const std::string& packet);
  void Step(sqlite3_stmt* statement);
  void OpenFile();
  void CloseFile() noexcept;
  // A write failed: memory only, the file removed, one warning per spell.
  void Failed(const std::string& text);
  // In memory only after a failed write: once retry_after has passed, a fresh file with
  // both queues written whole.
  void MaybeRecover();
  void Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);

  core::EventLog& log_;
  const core::Clock& clock_;
  std::filesystem::path file_;
  Options options_;

  gateway::PacketQueue* inbound_ = nullptr;  // the queues followed, between Open and Close
  gateway::PacketQueue* outbound_ = nullptr;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;      // a queue's rows up to an id
  sqlite3_stmt* delete_all_ = nullptr;  // all rows of a queue
  // The row ids of each queue's packets, in queue order.
  std::deque<std::int64_t> inbound_ids_;
  std::deque<std::int64_t> outbound_ids_;

  // Memory only after a failed write: when to try again. Empty after a failed Open,
  // when the file must stay as it is for the next start.
  std::optional<std::chrono::steady_clock::time_point> retry_at_;
  bool warned_ = false;  // the warning of this spell in memory only is written
};

}  // namespace dorvek::service
