#include "faultyvfs.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace testsupport {

namespace {

// Our file, with the unix VFS's file after it in the same allocation.
struct FaultyFile {
  sqlite3_file base;
  FaultyVfs* owner;
  bool tracked;  // a main database file or its log; other files are never failed
  FaultyVfs::File kind;
  sqlite3_file* real;
};

// What xGetLastError reports right after a failure this VFS made, on the thread that met it:
// connections on other threads keep their own.
thread_local int t_injectedErrno = 0;

constexpr std::size_t kRealOffset = (sizeof(FaultyFile) + 15) & ~std::size_t{15};

FaultyFile* self(sqlite3_file* file) { return reinterpret_cast<FaultyFile*>(file); }
sqlite3_file* real(sqlite3_file* file) { return self(file)->real; }
const sqlite3_io_methods& methods(sqlite3_file* file) { return *real(file)->pMethods; }

int truncate(sqlite3_file* file, sqlite3_int64 size) {
  return methods(file).xTruncate(real(file), size);
}
int fileSize(sqlite3_file* file, sqlite3_int64* size) {
  return methods(file).xFileSize(real(file), size);
}
int unlock(sqlite3_file* file, int level) { return methods(file).xUnlock(real(file), level); }
int checkReservedLock(sqlite3_file* file, int* out) {
  return methods(file).xCheckReservedLock(real(file), out);
}
int fileControl(sqlite3_file* file, int op, void* arg) {
  // SQLite asks for the VFS's name chain; ours is of no interest to it.
  return methods(file).xFileControl(real(file), op, arg);
}
int sectorSize(sqlite3_file* file) { return methods(file).xSectorSize(real(file)); }
int deviceCharacteristics(sqlite3_file* file) {
  return methods(file).xDeviceCharacteristics(real(file));
}
void shmBarrier(sqlite3_file* file) { methods(file).xShmBarrier(real(file)); }
int shmUnmap(sqlite3_file* file, int deleteFlag) {
  return methods(file).xShmUnmap(real(file), deleteFlag);
}
// No memory-mapped reads: each page goes through xRead, where a failure can be injected.
int fetch(sqlite3_file*, sqlite3_int64, int, void** out) {
  *out = nullptr;
  return SQLITE_OK;
}
int unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

}  // namespace

FaultyVfs::FaultyVfs() {
  m_real = sqlite3_vfs_find("unix");
  if (!m_real) throw std::runtime_error("SQLite has no unix VFS");
  m_vfs = *m_real;
  m_vfs.iVersion = 2;  // nothing of version 3 (system call overrides) is forwarded
  m_vfs.szOsFile = static_cast<int>(kRealOffset) + m_real->szOsFile;
  m_vfs.pNext = nullptr;
  m_vfs.zName = "quollsong-faulty";
  m_vfs.pAppData = this;
  m_vfs.xOpen = &FaultyVfs::open;
  m_vfs.xGetLastError = &FaultyVfs::lastError;
  m_vfs.xSetSystemCall = nullptr;
  m_vfs.xGetSystemCall = nullptr;
  m_vfs.xNextSystemCall = nullptr;
  if (sqlite3_vfs_register(&m_vfs, 1) != SQLITE_OK)
    throw std::runtime_error("the faulty VFS could not be registered");
}

FaultyVfs::~FaultyVfs() {
  sqlite3_vfs_unregister(&m_vfs);
  std::lock_guard lock(m_mutex);
  if (m_openFiles > 0) {
    std::fprintf(stderr, "FaultyVfs: %d file(s) still open through it as it goes\n", m_openFiles);
    std::abort();
  }
}

void FaultyVfs::failOnce(Call call, File file, int nth, Failure failure) {
  std::lock_guard lock(m_mutex);
  m_armed = true;
  m_fired = false;
  m_call = call;
  m_file = file;
  m_at = m_calls[static_cast<int>(call)][static_cast<int>(file)] + nth;
  m_failure = failure;
}

void FaultyVfs::failReadsAt(File file, sqlite3_int64 offset) {
  std::lock_guard lock(m_mutex);
  m_armed = false;
  m_fired = false;
  m_badPlace = std::pair(file, offset);
}

void FaultyVfs::clearReadsFailingAt() {
  std::lock_guard lock(m_mutex);
  m_badPlace.reset();
}

void FaultyVfs::setReadHook(std::function<void(File)> hook) {
  std::lock_guard lock(m_mutex);
  m_readHook = std::move(hook);
}

bool FaultyVfs::fired() const {
  std::lock_guard lock(m_mutex);
  return m_fired;
}

int FaultyVfs::calls(Call call, File file) const {
  std::lock_guard lock(m_mutex);
  return m_calls[static_cast<int>(call)][static_cast<int>(file)];
}

bool FaultyVfs::strikes(Call call, File file, Failure* failure) {
  std::lock_guard lock(m_mutex);
  const int count = ++m_calls[static_cast<int>(call)][static_cast<int>(file)];
  if (!m_armed || call != m_call || file != m_file || count != m_at) return false;
  m_armed = false;
  m_fired = true;
  *failure = m_failure;
  return true;
}

bool FaultyVfs::readFailsAt(File file, sqlite3_int64 offset, int amount) {
  std::lock_guard lock(m_mutex);
  if (!m_badPlace || m_badPlace->first != file || m_badPlace->second < offset ||
      m_badPlace->second >= offset + amount)
    return false;
  m_fired = true;
  return true;
}

int FaultyVfs::open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                    int* outFlags) {
  auto* owner = static_cast<FaultyVfs*>(vfs->pAppData);
  FaultyFile* ours = self(file);
  ours->owner = owner;
  ours->tracked = (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL)) != 0;
  ours->kind = (flags & SQLITE_OPEN_WAL) ? File::kWal : File::kMain;
  ours->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
  file->pMethods = nullptr;
  const int rc = owner->m_real->xOpen(owner->m_real, name, ours->real, flags, outFlags);
  if (ours->real->pMethods == nullptr) return rc;
  static const sqlite3_io_methods kMethods = {
      3,         &FaultyVfs::close, &FaultyVfs::read,   &FaultyVfs::write,
      &truncate, &FaultyVfs::sync,  &fileSize,          &FaultyVfs::lock,
      &unlock,   &checkReservedLock, &fileControl,      &sectorSize,
      &deviceCharacteristics, &FaultyVfs::shmMap, &FaultyVfs::shmLock, &shmBarrier,
      &shmUnmap, &fetch,            &unfetch};
  file->pMethods = &kMethods;
  std::lock_guard lock(owner->m_mutex);
  ++owner->m_openFiles;
  return rc;
}

int FaultyVfs::lastError(sqlite3_vfs* vfs, int size, char* text) {
  auto* owner = static_cast<FaultyVfs*>(vfs->pAppData);
  if (const int injected = std::exchange(t_injectedErrno, 0)) return injected;
  return owner->m_real->xGetLastError(owner->m_real, size, text);
}

int FaultyVfs::close(sqlite3_file* file) {
  FaultyFile* ours = self(file);
  const int rc = methods(file).xClose(real(file));
  file->pMethods = nullptr;
  std::lock_guard lock(ours->owner->m_mutex);
  --ours->owner->m_openFiles;
  return rc;
}

int FaultyVfs::read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  FaultyFile* ours = self(file);
  if (ours->tracked) {
    std::function<void(File)> hook;
    {
      std::lock_guard lock(ours->owner->m_mutex);
      hook = ours->owner->m_readHook;
    }
    if (hook) hook(ours->kind);
    if (ours->owner->readFailsAt(ours->kind, offset, amount)) {
      t_injectedErrno = EIO;
      errno = EIO;
      return SQLITE_IOERR_CORRUPTFS;
    }
  }
  Failure failure{};
  if (ours->tracked && ours->owner->strikes(Call::kRead, ours->kind, &failure)) {
    if (failure == Failure::kShort) {
      // As the unix VFS does with a short read: the rest is zeros, and SQLite is told.
      const int got = amount / 2;
      const int rc = methods(file).xRead(real(file), buffer, got, offset);
      if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) return rc;
      std::memset(static_cast<char*>(buffer) + got, 0, static_cast<std::size_t>(amount - got));
      return SQLITE_IOERR_SHORT_READ;
    }
    t_injectedErrno = EIO;
    errno = EIO;
    return SQLITE_IOERR_CORRUPTFS;  // what unixRead() answers for EIO
  }
  return methods(file).xRead(real(file), buffer, amount, offset);
}

int FaultyVfs::write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  FaultyFile* ours = self(file);
  Failure failure{};
  if (ours->tracked && ours->owner->strikes(Call::kWrite, ours->kind, &failure)) {
    t_injectedErrno = EIO;
    errno = EIO;
    return SQLITE_IOERR_WRITE;
  }
  return methods(file).xWrite(real(file), buffer, amount, offset);
}

int FaultyVfs::sync(sqlite3_file* file, int flags) {
  FaultyFile* ours = self(file);
  Failure failure{};
  if (ours->tracked && ours->owner->strikes(Call::kSync, ours->kind, &failure)) {
    t_injectedErrno = EIO;
    errno = EIO;
    return SQLITE_IOERR_FSYNC;
  }
  return methods(file).xSync(real(file), flags);
}

int FaultyVfs::lock(sqlite3_file* file, int level) {
  FaultyFile* ours = self(file);
  Failure failure{};
  if (ours->tracked && ours->owner->strikes(Call::kLock, ours->kind, &failure)) {
    // What unixLock() answers when fcntl() fails with anything but a lock held elsewhere.
    t_injectedErrno = ENOLCK;
    errno = ENOLCK;
    return SQLITE_IOERR_LOCK;
  }
  return methods(file).xLock(real(file), level);
}

int FaultyVfs::shmMap(sqlite3_file* file, int region, int size, int extend,
                      void volatile** out) {
  FaultyFile* ours = self(file);
  Failure failure{};
  if (ours->tracked && ours->owner->strikes(Call::kShmMap, ours->kind, &failure)) {
    t_injectedErrno = ENOMEM;
    errno = ENOMEM;
    *out = nullptr;
    return SQLITE_IOERR_SHMMAP;
  }
  return methods(file).xShmMap(real(file), region, size, extend, out);
}

int FaultyVfs::shmLock(sqlite3_file* file, int offset, int n, int flags) {
  FaultyFile* ours = self(file);
  Failure failure{};
  if (ours->tracked && ours->owner->strikes(Call::kShmLock, ours->kind, &failure)) {
    t_injectedErrno = ENOLCK;
    errno = ENOLCK;
    return SQLITE_IOERR_SHMLOCK;
  }
  return methods(file).xShmLock(real(file), offset, n, flags);
}

}  // namespace testsupport
