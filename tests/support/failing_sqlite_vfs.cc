#include "support/failing_sqlite_vfs.h"

#include <stdexcept>
#include <utility>

namespace dorvek::test_support {

// Each file is this header followed by the real VFS's own file.
struct FailingFile {
  sqlite3_file base;
  FailingSqliteVfs* owner;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

struct FailingFileMethods {
  static FailingFile* Of(sqlite3_file* file) { return reinterpret_cast<FailingFile*>(file); }
  static sqlite3_file* Real(sqlite3_file* file) { return Of(file)->real(); }

  static bool Refuse(sqlite3_file* file) { return RefuseFor(Of(file)->owner); }
  static bool RefuseFor(FailingSqliteVfs* owner) {
    const long long n = ++owner->writes_;
    if (!owner->dead_ && owner->crash_at_ > 0 && n >= owner->crash_at_) {
      owner->dead_ = true;
      if (owner->on_crash_) owner->on_crash_();
    }
    if (!owner->fail_writes_ && !owner->dead_) return false;
    ++owner->refused_;
    return true;
  }

  static int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
  static int Read(sqlite3_file* f, void* out, int n, sqlite3_int64 at) {
    return Real(f)->pMethods->xRead(Real(f), out, n, at);
  }
  static int Write(sqlite3_file* f, const void* in, int n, sqlite3_int64 at) {
    if (Refuse(f)) return SQLITE_FULL;
    return Real(f)->pMethods->xWrite(Real(f), in, n, at);
  }
  static int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    if (Refuse(f)) return SQLITE_IOERR_TRUNCATE;
    return Real(f)->pMethods->xTruncate(Real(f), size);
  }
  static int Sync(sqlite3_file* f, int flags) {
    if (Refuse(f)) return SQLITE_IOERR_FSYNC;
    return Real(f)->pMethods->xSync(Real(f), flags);
  }
  static int FileSize(sqlite3_file* f, sqlite3_int64* size) { return Real(f)->pMethods->xFileSize(Real(f), size); }
  static int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
  static int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
  static int CheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
  }
  static int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
  }
  static int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
  static int DeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
  }
  static int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
  }
  static int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
  }
  static void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
  static int ShmUnmap(sqlite3_file* f, int remove) { return Real(f)->pMethods->xShmUnmap(Real(f), remove); }
  // No memory-mapped reads: every page goes through Read.
  static int Fetch(sqlite3_file*, sqlite3_int64, int, void** out) {
    *out = nullptr;
    return SQLITE_OK;
  }
  static int Unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

  static constexpr sqlite3_io_methods kMethods = {
      .iVersion = 3,
      .xClose = Close,
      .xRead = Read,
      .xWrite = Write,
      .xTruncate = Truncate,
      .xSync = Sync,
      .xFileSize = FileSize,
      .xLock = Lock,
      .xUnlock = Unlock,
      .xCheckReservedLock = CheckReservedLock,
      .xFileControl = FileControl,
      .xSectorSize = SectorSize,
      .xDeviceCharacteristics = DeviceCharacteristics,
      .xShmMap = ShmMap,
      .xShmLock = ShmLock,
      .xShmBarrier = ShmBarrier,
      .xShmUnmap = ShmUnmap,
      .xFetch = Fetch,
      .xUnfetch = Unfetch,
  };

  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* out_flags) {
    auto* owner = static_cast<FailingSqliteVfs*>(vfs->pAppData);
    auto* wrapper = Of(file);
    wrapper->base.pMethods = nullptr;
    wrapper->owner = owner;
    const int rc = owner->real_->xOpen(owner->real_, name, wrapper->real(), flags, out_flags);
    // SQLite calls xClose only on a file whose pMethods is set.
    if (rc == SQLITE_OK && wrapper->real()->pMethods != nullptr) wrapper->base.pMethods = &kMethods;
    return rc;
  }

  // The rest of the VFS is the real one's.
  static sqlite3_vfs* RealOf(sqlite3_vfs* vfs) { return static_cast<FailingSqliteVfs*>(vfs->pAppData)->real_; }
  static int Delete(sqlite3_vfs* v, const char* name, int sync) {
    if (static_cast<FailingSqliteVfs*>(v->pAppData)->dead_) return SQLITE_IOERR_DELETE;
    return RealOf(v)->xDelete(RealOf(v), name, sync);
  }
  static int Access(sqlite3_vfs* v, const char* name, int flags, int* out) {
    return RealOf(v)->xAccess(RealOf(v), name, flags, out);
  }
  static int FullPathname(sqlite3_vfs* v, const char* name, int n, char* out) {
    return RealOf(v)->xFullPathname(RealOf(v), name, n, out);
  }
  static void* DlOpen(sqlite3_vfs* v, const char* name) { return RealOf(v)->xDlOpen(RealOf(v), name); }
  static void DlError(sqlite3_vfs* v, int n, char* out) { RealOf(v)->xDlError(RealOf(v), n, out); }
  static void (*DlSym(sqlite3_vfs* v, void* handle, const char* symbol))(void) {
    return RealOf(v)->xDlSym(RealOf(v), handle, symbol);
  }
  static void DlClose(sqlite3_vfs* v, void* handle) { RealOf(v)->xDlClose(RealOf(v), handle); }
  static int Randomness(sqlite3_vfs* v, int n, char* out) { return RealOf(v)->xRandomness(RealOf(v), n, out); }
  static int Sleep(sqlite3_vfs* v, int us) { return RealOf(v)->xSleep(RealOf(v), us); }
  static int CurrentTime(sqlite3_vfs* v, double* out) { return RealOf(v)->xCurrentTime(RealOf(v), out); }
  static int GetLastError(sqlite3_vfs* v, int n, char* out) { return RealOf(v)->xGetLastError(RealOf(v), n, out); }
  static int CurrentTimeInt64(sqlite3_vfs* v, sqlite3_int64* out) {
    return RealOf(v)->xCurrentTimeInt64(RealOf(v), out);
  }
};

FailingSqliteVfs::FailingSqliteVfs(std::string name) : name_(std::move(name)), real_(sqlite3_vfs_find(nullptr)) {
  if (real_ == nullptr) throw std::runtime_error("SQLite has no default VFS");
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(FailingFile)) + real_->szOsFile;
  vfs_.mxPathname = real_->mxPathname;
  vfs_.zName = name_.c_str();
  vfs_.pAppData = this;
  vfs_.xOpen = FailingFileMethods::Open;
  vfs_.xDelete = FailingFileMethods::Delete;
  vfs_.xAccess = FailingFileMethods::Access;
  vfs_.xFullPathname = FailingFileMethods::FullPathname;
  vfs_.xDlOpen = FailingFileMethods::DlOpen;
  vfs_.xDlError = FailingFileMethods::DlError;
  vfs_.xDlSym = FailingFileMethods::DlSym;
  vfs_.xDlClose = FailingFileMethods::DlClose;
  vfs_.xRandomness = FailingFileMethods::Randomness;
  vfs_.xSleep = FailingFileMethods::Sleep;
  vfs_.xCurrentTime = FailingFileMethods::CurrentTime;
  vfs_.xGetLastError = FailingFileMethods::GetLastError;
  vfs_.xCurrentTimeInt64 = FailingFileMethods::CurrentTimeInt64;
  if (sqlite3_vfs_register(&vfs_, 0) != SQLITE_OK) throw std::runtime_error("cannot register VFS " + name_);
}

FailingSqliteVfs::~FailingSqliteVfs() { sqlite3_vfs_unregister(&vfs_); }

void FailingSqliteVfs::CrashAt(long long n, std::function<void()> then) {
  on_crash_ = std::move(then);
  crash_at_ = n > 0 ? writes_ + n : 0;
}

void FailingSqliteVfs::Revive() {
  dead_ = false;
  crash_at_ = 0;
  on_crash_ = nullptr;
}

}  // namespace dorvek::test_support
