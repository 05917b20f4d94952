#pragma once

#include <sqlite3.h>

#include <functional>
#include <mutex>
#include <optional>

namespace testsupport {

// A SQLite VFS over "unix" that fails chosen calls to a database's files, answering as the unix
// VFS answers when the system call fails: a read that gets EIO says SQLITE_IOERR_CORRUPTFS, a
// write SQLITE_IOERR_WRITE, a flush SQLITE_IOERR_FSYNC, each with errno EIO; a refused lock
// SQLITE_IOERR_LOCK, and the shared-memory index's calls SQLITE_IOERR_SHMMAP or _SHMLOCK. While
// one lives it is the process's default VFS, so every connection opened meanwhile goes through
// it. The test says which call fails by counting calls or by the place read, never by time.
//
// Every connection opened through it must be closed before it goes; SQLite keeps a connection
// whose statements are still alive as a zombie that goes on using the VFS, so a FaultyVfs that
// finds a file of its own still open when it goes stops the test (abort) rather than leave the
// zombie to call into freed memory.
class FaultyVfs {
 public:
  enum class File { kMain, kWal };
  enum class Call { kRead, kWrite, kSync, kLock, kShmMap, kShmLock };
  enum class Failure {
    kError,  // the system call fails with EIO
    kShort,  // a read returns only half of the bytes asked for
  };

  FaultyVfs();
  ~FaultyVfs();
  FaultyVfs(const FaultyVfs&) = delete;
  FaultyVfs& operator=(const FaultyVfs&) = delete;

  // Fails the `nth` call of `call` to a file of kind `file` counted from now (1 is the next),
  // once. Replaces a failure armed before that has not happened yet. Lock and shared-memory
  // calls are made on the catalogue (File::kMain).
  void failOnce(Call call, File file, int nth = 1, Failure failure = Failure::kError);
  // Fails every read of a file of kind `file` that covers byte `offset`, as a sector the disk can
  // no longer read does, until clearReadsFailingAt(). Counts as the armed failure for fired().
  void failReadsAt(File file, sqlite3_int64 offset);
  void clearReadsFailingAt();
  // True once the armed failure has happened.
  bool fired() const;
  // Calls of `call` to files of kind `file` since the VFS was made.
  int calls(Call call, File file) const;
  // Runs on the reading thread before every read of a catalogue or its log, failed or not, and
  // outside the VFS's lock: a test holds a read there on a gate.
  void setReadHook(std::function<void(File)> hook);

 private:
  static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                  int* outFlags);
  static int lastError(sqlite3_vfs* vfs, int size, char* text);
  static int close(sqlite3_file* file);
  static int read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset);
  static int write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset);
  static int sync(sqlite3_file* file, int flags);
  static int lock(sqlite3_file* file, int level);
  static int shmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out);
  static int shmLock(sqlite3_file* file, int offset, int n, int flags);
  // Counts the call and says whether it is the one to fail.
  bool strikes(Call call, File file, Failure* failure);
  bool readFailsAt(File file, sqlite3_int64 offset, int amount);

  sqlite3_vfs m_vfs{};
  sqlite3_vfs* m_real = nullptr;
  mutable std::mutex m_mutex;
  int m_calls[6][2] = {};
  int m_openFiles = 0;
  bool m_armed = false;
  bool m_fired = false;
  Call m_call = Call::kRead;
  File m_file = File::kMain;
  int m_at = 0;  // the value m_calls must reach for the failure
  Failure m_failure = Failure::kError;
  std::optional<std::pair<File, sqlite3_int64>> m_badPlace;
  std::function<void(File)> m_readHook;
};

}  // namespace testsupport
