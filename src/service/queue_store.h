#pragma once
// The queue store: both packet queues kept in a SQLite file beside them, so that what
// they hold survives a stop, a crash or a power loss. The queues in memory stay what the
// service works with; the store follows them: each entry knows its row in the file, and
// each Save writes what changed since the last one in one transaction.
//
// A packet once added is on disk before the service goes on (synchronous FULL: it
// survives a power loss). A save that only removes packets or settles their bookkeeping
// is written with synchronous NORMAL, which survives a crash of the process and at worst
// brings back, after a power loss, a packet already handled: a removal is cheap enough to
// save for every packet, so a crash repeats at most the packet in hand.
//
//   closed ──Open──► in step ──Save fails──► behind ──Save succeeds──► in step
//     ▲                 │      (one warning;     (what changed meanwhile is written;
//     └─────Close───────┘       the file kept)    information)
//
// A write that fails changes nothing: the file keeps what it held and the store what it
// has yet to write, and the next Save tries it all again. While the store is behind, the
// service takes nothing new on trust (healthy() tells it).
//
// Formats of the file (PRAGMA user_version):
//   1  user_version 0: one table pakketten (id, wachtrij, tekst), what earlier releases
//      wrote.
//   2  pakketten also holds when each packet was queued (tijd, Unix ms), the
//      message-box row whose marking an outbound packet waits for (bbo_id) and the
//      inbound packet whose work a reply waits for (antwoord_op); the table opzij holds
//      the message-box rows set aside.
// Open migrates an older format in one transaction, every packet keeping its queue and
// its order. A file it will not touch (a newer format, a migration that fails, a file
// locked by another process) fails the start and stays as it is. Only a file that is not
// a queue file at all (not SQLite, or a database of something else) is moved aside, with
// the time in its name, and a new one made.
//
// Not thread-safe: every call comes from the service's event loop.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/event_log.h"
#include "gateway/packet_queue.h"
#include "outbound/aside_row.h"

struct sqlite3;
struct sqlite3_stmt;

namespace dorvek::service {

// The file, under the base directory.
inline constexpr std::string_view kQueueStorePath = "VmrZOLData/Wachtrijen.db";
// The newest format this executable reads and writes.
inline constexpr int kQueueFileFormat = 2;

class QueueStore {
 public:
  struct Options {
    // How long Open waits for a lock another process holds on the file.
    std::chrono::milliseconds lock_wait = std::chrono::seconds(2);
    // How long a save waits for such a lock while the service runs.
    std::chrono::milliseconds busy_wait = std::chrono::milliseconds(200);
    // The SQLite VFS to open the file with; empty: the default one. Tests put one that
    // fails on demand here.
    std::string vfs;
  };

  enum class Queue { kInbound = 1, kOutbound = 2 };

  // The file could not be made ready, and was left as it is: the service cannot start.
  class StartError : public std::runtime_error {
   public:
    // Whether a later start may well succeed on its own (a lock another process holds)
    // or needs the administrator (a newer format, a failed migration, no directory).
    enum class Kind { kLater, kAdministrator };
    StartError(const std::string& text, Kind kind) : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

   private:
    Kind kind_;
  };

  struct Opened {
    std::size_t inbound = 0;  // packets loaded into each queue
    std::size_t outbound = 0;
    int migrated_from = 0;     // the format the file was migrated from; 0: none
    std::filesystem::path moved_aside;  // where a file that was no queue file went
  };

  // What a Close could not leave in the file.
  struct Unkept {
    std::size_t packets = 0;   // queued, not written
    std::size_t removals = 0;  // taken, still in the file: they come back at the next start
  };

  QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file);
  QueueStore(core::EventLog& log, const core::Clock& clock, std::filesystem::path file, Options options);
  ~QueueStore();
  QueueStore(const QueueStore&) = delete;
  QueueStore& operator=(const QueueStore&) = delete;

  // Makes the file ready (creating, migrating, or moving aside as above) and appends
  // what it holds to the two queues, each in its order; from now on the store follows
  // these queues until Close. Throws StartError.
  Opened Open(gateway::PacketQueue& inbound, gateway::PacketQueue& outbound);
  // A last Save, then closes the file; what it holds stays there for the next Open.
  Unkept Close();

  // Writes what changed in both queues since the last save: entries added (stamped with
  // the time they were queued), entries taken away, bookkeeping changed. False when the
  // file could not be written; nothing is lost then, and the next Save tries again.
  // Never throws.
  bool Save();
  // True when the file holds both queues as they are now, or at least as they were at
  // the last successful save.
  bool healthy() const { return healthy_; }
  bool durable() const { return db_ != nullptr; }
  const std::filesystem::path& file() const { return file_; }

  // The message-box rows set aside, as the file held them at Open, and their
  // replacement. SaveAside never throws; false when it could not be written.
  const std::vector<outbound::AsideRow>& aside_rows() const { return aside_rows_; }
  bool SaveAside(const std::vector<outbound::AsideRow>& rows);

  // Statements run on the file so far, for the figures.
  std::uint64_t transactions() const { return transactions_; }

 private:

  void OpenFile(int flags);
  void CloseFile() noexcept;
  int UserVersion();
  // What the file is: its format, or 0 for a fresh (empty) database, or -1 for a
  // database that is not a queue file.
  int Classify();
  void Migrate(int from);
  void CreateSchema();
  void Load(gateway::PacketQueue& inbound, gateway::PacketQueue& outbound);
  void MoveAside(const std::string& why, Opened& opened);
  void Prepare();
  void SetSynchronous(bool full);
  // Frees the file's space once both queues are empty after a backlog.
  void MaybeShrink();
  void Failed(const std::string& text);
  // One transaction, FULL when it adds packets, NORMAL otherwise; the failure's text when
  // it could not be committed (it is rolled back then).
  std::optional<std::string> Transaction(bool full, const std::function<void()>& work);
  using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
  // Prepares a statement; throws the store's failure.
  Statement Compile(const std::string& sql);
  void Exec(const char* sql);
  void Step(sqlite3_stmt* statement);
  std::string Error() const;

  core::EventLog& log_;
  const core::Clock& clock_;
  std::filesystem::path file_;
  Options options_;

  gateway::PacketQueue* inbound_ = nullptr;  // the queues followed, between Open and Close
  gateway::PacketQueue* outbound_ = nullptr;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  sqlite3_stmt* update_ = nullptr;
  bool synchronous_full_ = true;
  bool healthy_ = true;
  std::vector<outbound::AsideRow> aside_rows_;
  std::uint64_t transactions_ = 0;
  bool aside_warned_ = false;
  int last_failure_ = 0;  // SQLite's primary result code of the last statement that failed
  std::chrono::steady_clock::time_point last_shrink_{};
};

}  // namespace dorvek::service
