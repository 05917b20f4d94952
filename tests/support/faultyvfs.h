#pragma once

#include <sqlite3.h>

#include <mutex>

namespace testsupport {

// A SQLite VFS over "unix" that fails one chosen call to a database's files, answering as the
// unix VFS answers when the system call fails: a read that gets EIO says SQLITE_IOERR_CORRUPTFS,
// a write SQLITE_IOERR_WRITE, a flush SQLITE_IOERR_FSYNC, each with errno EIO. While one lives
// it is the process's default VFS, so every connection opened meanwhile goes through it; those
// connections must be closed before it goes. The test says which call fails by counting calls,
// never by time.
class FaultyVfs {
 public:
  enum class File { kMain, kWal };
  enum class Call { kRead, kWrite, kSync };
  enum class Failure {
    kError,  // the system call fails with EIO
    kShort,  // a read returns only half of the bytes asked for
  };

  FaultyVfs();
  ~FaultyVfs();
  FaultyVfs(const FaultyVfs&) = delete;
  FaultyVfs& operator=(const FaultyVfs&) = delete;

  // Fails the `nth` call of `call` to a file of kind `file` counted from now (1 is the next),
  // once. Replaces a failure armed before that has not happened yet.
  void failOnce(Call call, File file, int nth = 1, Failure failure = Failure::kError);
  // True once the armed failure has happened.
  bool fired() const;
  // Calls of `call` to files of kind `file` since the VFS was made.
  int calls(Call call, File file) const;

 private:
  static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                  int* outFlags);
  static int lastError(sqlite3_vfs* vfs, int size, char* text);
  static int read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset);
  static int write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset);
  static int sync(sqlite3_file* file, int flags);
  // Counts the call and says whether it is the one to fail.
  bool strikes(Call call, File file, Failure* failure);

  sqlite3_vfs m_vfs{};
  sqlite3_vfs* m_real = nullptr;
  mutable std::mutex m_mutex;
  int m_calls[3][2] = {};
  bool m_armed = false;
  bool m_fired = false;
  Call m_call = Call::kRead;
  File m_file = File::kMain;
  int m_at = 0;  // the value m_calls must reach for the failure
  Failure m_failure = Failure::kError;
  int m_errno = 0;  // what xGetLastError reports right after an injected failure
};

}  // namespace testsupport
