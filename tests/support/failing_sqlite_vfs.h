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

 private:
  friend struct FailingFileMethods;

  std::string name_;
  sqlite3_vfs vfs_{};
  sqlite3_vfs* real_ = nullptr;
  std::atomic<bool> fail_writes_{false};
  std::atomic<int> refused_{0};
};

}  // namespace dorvek::test_support
