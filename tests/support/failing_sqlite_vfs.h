#pragma once
// A SQLite VFS over the system's default one whose files fail on demand, as a full or
// failing disk would: for tests of what a SQLite user does when its writes fail.
//
//   FailingSqliteVfs vfs("failing");       // registered under that name
//   open the file with VFS "failing" ...
//   vfs.FailWrites(true);                  // every write and sync now fails
//
// Reads, locks and the WAL index keep working. Registered for the object's lifetime;
// files must be closed before it goes.

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <string>

namespace dorvek::test_support {

class FailingSqliteVfs {
 public:
  explicit FailingSqliteVfs(std::string name);
  ~FailingSqliteVfs();
  FailingSqliteVfs(const FailingSqliteVfs&) = delete;
  FailingSqliteVfs& operator=(const FailingSqliteVfs&) = delete;

  const std::string& name() const { return name_; }
  // While true, writes fail with SQLITE_FULL and syncs with SQLITE_IOERR_FSYNC.
  void FailWrites(bool fail) { fail_writes_ = fail; }
  bool failing() const { return fail_writes_; }
  // Writes and syncs refused so far.
  int refused() const { return refused_; }

  // As a process that dies in the middle of its saves: the n-th write, sync or
  // truncation from now on (1: the next one) and everything after it, deletions of files
  // included, never happen; `then` is called once, at that moment, before the refusal
  // returns. What was written before stays, as in the page cache of a killed process.
  // Revive ends the refusals (the next process opens the files afresh).
  void CrashAt(long long n, std::function<void()> then = {});
  void Revive();
  bool crash_armed() const { return crash_at_ > 0 && !dead_; }
  bool dead() const { return dead_; }
  // Writes, syncs and truncations asked for so far.
  long long writes() const { return writes_; }

 private:
  friend struct FailingFileMethods;

  std::string name_;
  sqlite3_vfs vfs_{};
  sqlite3_vfs* real_ = nullptr;
  std::atomic<bool> fail_writes_{false};
  std::atomic<int> refused_{0};
  std::atomic<long long> writes_{0};
  std::atomic<long long> crash_at_{0};  // the count of writes_ at which it dies; 0: never
  std::atomic<bool> dead_{false};
  std::function<void()> on_crash_;
};

}  // namespace dorvek::test_support
