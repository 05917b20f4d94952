#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "changestamp.h"
#include "errors.h"
#include "limits.h"

namespace engine {

class Recordset;

// One SQLite connection, with the engine's settings, Jet's like() and the statement guard.
// Shared by a Database handle and the record sets it opened; closes with the last of them.
class Connection {
 public:
  // Opens the catalogue for reading and writing, or read-only when this process may not change
  // it; a writable catalogue is switched to write-ahead logging for good. Leaves no file behind
  // when it fails. Throws EngineError: kFileNotFound, kNotADatabase, or SQLite's code.
  static std::shared_ptr<Connection> open(const std::string& path);
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* handle() const { return m_db; }
  const std::string& path() const { return m_path; }

  // Empty when statements may change the catalogue; otherwise why they may not.
  const std::string& readOnlyReason() const { return m_readOnlyReason; }
  bool readOnly() const { return !m_readOnlyReason.empty(); }

  // Why the guard refused the last statement; empty when it refused nothing.
  const std::string& refusal() const { return m_refusal; }
  // Also called before each statement is prepared.
  void clearRefusal() {
    m_refusal.clear();
    m_storesValues = false;
  }

  // While set, the guard lets everything through: for SQL the engine writes itself.
  void setInternal(bool internal) { m_internal = internal; }
  // While set, the guard lets VACUUM make its temporary copy.
  void setVacuuming(bool vacuuming) { m_vacuuming = vacuuming; }

  // The catalogue as this connection sees it now. Throws EngineError.
  ChangeStamp changeStamp();

  // Throws kTransactionLeftOpen after rolling back, when a statement left a transaction open.
  // The transaction of an open batch is left alone.
  void rollBackStrayTransaction();

  // A write transaction the engine holds open so that many rows are committed at once (see
  // PreparedStatement::setBatch). At most one is open in the process; commitOpenBatch() ends it.
  bool inBatch() const { return m_batchStarted.has_value(); }
  std::chrono::steady_clock::duration batchAge() const {
    return inBatch() ? std::chrono::steady_clock::now() - *m_batchStarted
                     : std::chrono::steady_clock::duration::zero();
  }
  // BEGIN IMMEDIATE, waiting for other programs as any write does. Throws EngineError.
  void beginBatch();
  // Commits the open batch of this connection, if any. Throws EngineError; the batch is over
  // either way. An open unit is undone first: it never reaches the catalogue half done.
  void commitBatch();

  // A unit: runs inside the batch whose changes stay together or go together (a savepoint).
  // beginUnit() begins the batch when none is open; endUnit() keeps or undoes the unit's
  // changes, and the batch goes on. At most one unit is open. Throw EngineError.
  void beginUnit();
  void endUnit(bool keep);
  bool inUnit() const { return m_unitOpen; }

  // The error SQLite reports for the last call, or the engine's own when the time limit stopped
  // the statement. After a failed read, it says whether a quick check found the catalogue
  // damaged (see checkForDamage); that check never throws. The check runs statements of its
  // own, which overwrite SQLite's code, message and errno for the connection: everything the
  // message needs of the failed call is read first, so call this right after the failure,
  // before anything else runs on the connection.
  EngineError lastError();

  // What bounds the check after a failed read: how long it may run before its watchdog stops
  // it, and how large the catalogue and its log together may be. `atLimit` runs on the
  // watchdog's thread at the time limit and is handed what stops the check; by default it stops
  // it at once. For tests; the bounds hold for every connection until set again.
  struct DamageCheckBounds {
    std::chrono::milliseconds time{5000};
    std::uintmax_t bytes = std::uintmax_t{1} << 30;
    std::function<void(const std::function<void()>& stop)> atLimit;
  };
  static void setDamageCheckBounds(DamageCheckBounds bounds);

  // How long one call into SQLite may run before it is stopped: a query with a huge sort or an
  // endless recursion would otherwise freeze the window for good.
  std::chrono::milliseconds timeLimit() const { return m_timeLimit; }
  void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }

  // How long a statement waits for another program to release the catalogue before it gives
  // up with SQLITE_BUSY. Unless set, longer than any statement of this engine may run, so a
  // second instance is always waited for.
  std::chrono::milliseconds lockWait() const {
    return m_lockWait ? *m_lockWait : m_timeLimit + kLockWaitMargin;
  }
  void setLockWait(std::optional<std::chrono::milliseconds> wait) { m_lockWait = wait; }
  std::optional<std::chrono::milliseconds> lockWaitSetting() const { return m_lockWait; }
  static constexpr std::chrono::milliseconds kLockWaitMargin{10000};

  // True once the running statement has passed its time limit; for functions that run long
  // inside one call. `self` is the connection.
  static bool deadlinePassed(void* self);

  // How many bytes of rows one record set may keep; reading stops with an error past it.
  std::size_t cacheLimit() const { return m_cacheLimit; }
  void setCacheLimit(std::size_t bytes) { m_cacheLimit = bytes; }

  // While one lives, SQLite calls on this connection run against the time limit.
  class Deadline {
   public:
    explicit Deadline(Connection& connection);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

   private:
    Connection& m_connection;
    std::chrono::steady_clock::time_point m_previous;
  };

 private:
  Connection(sqlite3* db, std::string path) : m_db(db), m_path(std::move(path)) {}
  static int authorize(void* self, int action, const char* a1, const char* a2, const char* db,
                       const char* trigger);
  static int progress(void* self);
  static int busy(void* self, int attempts);
  void configure();
  void firstRead();
  void useWriteAheadLog();
  EngineError explain(int code, std::string message);
  // The message for a read of the catalogue that failed with `code`, either an I/O error or
  // plain SQLITE_CORRUPT, which SQLite also says for EIO.
  EngineError readFailure(int code, const std::string& message);
  // What SQLite's quick check says of the catalogue after a read failed: whole (the failure was
  // the disk's, once), damaged, with pages the disk could not deliver, or unreadable again (the
  // check's own setup failed). Unchecked while a transaction, batch or unit is open, whose state
  // is not the check's to disturb, while another statement of the connection is running, for a
  // catalogue over the size bound, or when the check ran out of time.
  enum class Soundness { kWhole, kDamaged, kUndelivered, kUnreadable, kUnchecked };
  Soundness checkForDamage() noexcept;
  Soundness runDamageCheck(const DamageCheckBounds& bounds);
  // The sentence a message about a failed read ends with, after the check.
  static std::string damageNote(Soundness soundness);
  std::string exhaustedSequence() const;

  sqlite3* m_db;
  std::string m_path;
  std::string m_refusal;
  bool m_internal = false;
  bool m_vacuuming = false;
  bool m_storesValues = false;  // the statement defines an index or a table's constraints
  std::chrono::milliseconds m_timeLimit{20000};
  std::size_t m_cacheLimit = std::size_t{512} << 20;
  std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
  bool m_timedOut = false;
  bool m_configured = false;  // the time limit and the guard are in place
  // The failure a check found no damage after, on this connection: when it comes again, a
  // second check would say the same and "try again" would be wrong.
  int m_passedCheckAfter = 0;
  std::string m_readOnlyReason;
  std::optional<std::chrono::milliseconds> m_lockWait;
  std::chrono::steady_clock::time_point m_waitStarted;
  std::chrono::steady_clock::time_point m_waitReported;
  bool m_waiting = false;
  std::optional<std::pair<dev_t, ino_t>> m_file;  // the file, once open
  std::optional<std::chrono::steady_clock::time_point> m_batchStarted;
  bool m_unitOpen = false;
  // SAVEPOINT, RELEASE and ROLLBACK TO for units, prepared once: a unit per row of an import.
  enum UnitStep { kMark, kKeep, kUndo };
  sqlite3_stmt* m_unitSteps[3] = {nullptr, nullptr, nullptr};
  void endBatch();
  // Runs one of the engine's own statements; false when SQLite refused it.
  bool runInternal(const char* sql);
  bool runUnitStep(UnitStep step);
};


// Record sets whose statement is still open. Before the engine writes on any connection it
// reads all of them to the end, so no read statement spans a write (an open reader would pin
// the WAL and could see rows written after it).
// Whether a unit is open in the batch (see Connection::beginUnit).
bool unitOpen();

void registerReader(Recordset* recordset);
void unregisterReader(Recordset* recordset);
void finishAllReaders() noexcept;

}  // namespace engine
