#include "connection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stop_token>
#include <thread>
#include <string_view>
#include <vector>

#include "catalogfile.h"
#include "engine.h"
#include "errors.h"
#include "fileexists.h"
#include "jetlike.h"
#include "limits.h"
#include "recordset.h"
#include "searchfold.h"
#include "sqltext.h"
#include "statement.h"

namespace engine {

namespace {

// PRAGMAs that take an argument only to name what they describe; they change nothing.
constexpr std::array<std::string_view, 9> kDescribingPragmas = {
    "table_info",        "table_xinfo",     "index_info",      "index_xinfo", "index_list",
    "foreign_key_list",  "foreign_key_check", "integrity_check", "quick_check"};

// The files open through connections of this process, as (device, inode), once per connection.
std::vector<std::pair<dev_t, ino_t>>& openFiles() {
  static std::vector<std::pair<dev_t, ino_t>> files;
  return files;
}

// One thread uses a connection at a time (the window's), so SQLite need not lock it on every
// call; reading a million rows makes some forty million calls.
constexpr int kThreading = SQLITE_OPEN_NOMUTEX;

enum class IoKind { kRead, kWrite, kLock, kSharedMemory, kTemporary, kOther };

// What SQLite was doing when its I/O error came: only reads and writes of the files are the
// disk's; locks, the shared-memory index and the temporary folder fail for other reasons.
IoKind ioKind(int code) {
  switch (code) {
    case SQLITE_IOERR_READ:
    case SQLITE_IOERR_SHORT_READ:
    case SQLITE_IOERR_CORRUPTFS:  // what the unix VFS says for EIO on a read
    case SQLITE_IOERR_FSTAT:
    case SQLITE_IOERR_MMAP:
    case SQLITE_IOERR_DATA:
      return IoKind::kRead;
    case SQLITE_IOERR_WRITE:
    case SQLITE_IOERR_FSYNC:
    case SQLITE_IOERR_DIR_FSYNC:
    case SQLITE_IOERR_TRUNCATE:
    case SQLITE_IOERR_DELETE:
    case SQLITE_IOERR_BEGIN_ATOMIC:
    case SQLITE_IOERR_COMMIT_ATOMIC:
    case SQLITE_IOERR_ROLLBACK_ATOMIC:
      return IoKind::kWrite;
    case SQLITE_IOERR_LOCK:
    case SQLITE_IOERR_RDLOCK:
    case SQLITE_IOERR_UNLOCK:
    case SQLITE_IOERR_CHECKRESERVEDLOCK:
      return IoKind::kLock;
    case SQLITE_IOERR_SHMOPEN:
    case SQLITE_IOERR_SHMSIZE:
    case SQLITE_IOERR_SHMMAP:
    case SQLITE_IOERR_SHMLOCK:
      return IoKind::kSharedMemory;
    case SQLITE_IOERR_GETTEMPPATH:
      return IoKind::kTemporary;
    default:
      return IoKind::kOther;
  }
}

// What SQLite could not do to the shared-memory file.
const char* sharedMemoryStep(int code) {
  switch (code) {
    case SQLITE_IOERR_SHMOPEN:
      return "opened";
    case SQLITE_IOERR_SHMSIZE:
      return "made larger";
    case SQLITE_IOERR_SHMMAP:
      return "mapped into memory";
    default:
      return "locked";
  }
}

// A failure that a read of the file can cause: damage, or the disk failing to deliver a page.
bool isReadFailure(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB ||
         (primary == SQLITE_IOERR && ioKind(code) == IoKind::kRead);
}

// Failures a check can tell apart: the disk failing once, failing for good, or damage. Other
// kinds of damage SQLite names itself (an index, the search index), and quick_check reads
// neither the one's entries nor the other's tables, so it would call them whole.
bool worthChecking(int code) {
  return code == SQLITE_CORRUPT ||
         ((code & 0xFF) == SQLITE_IOERR && ioKind(code) == IoKind::kRead);
}

// quick_check's row for a page that could not be read at all: "Page N: unable to get the page.
// error code=C", where an I/O error code is the disk's failure, not a wrong page.
bool namesUndeliveredPage(std::string_view row) {
  constexpr std::string_view kCode = "unable to get the page. error code=";
  const auto at = row.find(kCode);
  if (at == std::string_view::npos) return false;
  const int code = std::atoi(std::string(row.substr(at + kCode.size())).c_str());
  return (code & 0xFF) == SQLITE_IOERR;
}

std::mutex& damageCheckMutex() {
  static std::mutex mutex;
  return mutex;
}

Connection::DamageCheckBounds& damageCheckBounds() {
  static Connection::DamageCheckBounds bounds;
  return bounds;
}

// Stops a statement on another thread at a time limit, with sqlite3_interrupt(), which SQLite
// allows from any thread while the connection is open. SQLite's own progress handler is not
// called while quick_check walks a table's tree, which on a failing disk can take minutes.
class Watchdog {
 public:
  using AtLimit = std::function<void(const std::function<void()>& stop)>;

  Watchdog(sqlite3* db, std::chrono::milliseconds limit, AtLimit atLimit)
      : m_db(db),
        m_thread([this, limit, atLimit = std::move(atLimit)](std::stop_token stop) {
          watch(stop, limit, atLimit);
        }) {}
  ~Watchdog() { stop(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Ends the watch; no interrupt comes after this returns. True when the watchdog stopped the
  // statement (or would have stopped it, had it not ended first).
  bool stop() {
    {
      std::lock_guard lock(m_mutex);
      m_thread.request_stop();
    }
    if (m_thread.joinable()) m_thread.join();
    return m_fired;
  }

 private:
  void watch(const std::stop_token& stop, std::chrono::milliseconds limit,
             const AtLimit& atLimit) {
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait_for(lock, stop, limit, [] { return false; });
      if (stop.stop_requested()) return;
    }
    const auto interrupt = [this, stop] {
      std::lock_guard lock(m_mutex);
      if (stop.stop_requested()) return;
      sqlite3_interrupt(m_db);
      m_fired = true;
    };
    if (atLimit)
      atLimit(interrupt);
    else
      interrupt();
  }

  sqlite3* m_db;
  std::mutex m_mutex;
  std::condition_variable_any m_wake;
  bool m_fired = false;
  std::jthread m_thread;  // last: it starts once the rest is made
};

// storable_part(value): storablePart() of a text, any other value as it is.
void storablePartOf(sqlite3_context* context, int, sqlite3_value** arguments) {
  sqlite3_value* value = arguments[0];
  if (sqlite3_value_type(value) != SQLITE_TEXT) {
    sqlite3_result_value(context, value);
    return;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
  const auto bytes = static_cast<std::size_t>(sqlite3_value_bytes(value));
  if (bytes <= kLongestFileValue || !text) {
    sqlite3_result_value(context, value);
    return;
  }
  const std::string_view part = storablePart({text, bytes});
  sqlite3_result_text64(context, part.data(), part.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

LockWaitObserver& lockWaitObserver() {
  static LockWaitObserver observer;
  return observer;
}

std::vector<Recordset*>& readers() {
  static std::vector<Recordset*> list;
  return list;
}

}  // namespace

bool isOpenCatalogue(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const auto& files = openFiles();
  return std::find(files.begin(), files.end(), std::pair(st.st_dev, st.st_ino)) != files.end();
}

void setLockWaitObserver(LockWaitObserver observer) {
  lockWaitObserver() = std::move(observer);
}

std::shared_ptr<Connection> Connection::open(const std::string& path) {
  const CatalogueFile file = inspectCatalogueFile(path);
  if (file.writable()) repairStaleSharedMemory(file);

  sqlite3* db = nullptr;
  int rc;
  if (file.writable()) {
    rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | kThreading, nullptr);
  } else if (file.walHasContent) {
    // Rows still in the log must show, so the log and its index are read as they are.
    rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | kThreading, nullptr);
  } else {
    // Nothing to lock and nothing made beside a file that may not change.
    rc = sqlite3_open_v2(immutableUri(path).c_str(), &db,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | kThreading, nullptr);
  }
  std::shared_ptr<Connection> connection(new Connection(db, path));
  connection->m_readOnlyReason = file.readOnlyReason;
  try {
    if (rc != SQLITE_OK) {
      const int code = db ? sqlite3_extended_errcode(db) : rc;
      const std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      EngineError error = connection->explain(code, text);
      if (error.description() == text) throw EngineError(code, text + " ('" + path + "')");
      throw error;
    }
    connection->configure();
    connection->firstRead();
    if (file.writable()) connection->useWriteAheadLog();
    if (connection->m_readOnlyReason.empty() && sqlite3_db_readonly(db, "main") == 1)
      connection->m_readOnlyReason = "SQLite could open it for reading only";
    openFiles().emplace_back(file.device, file.inode);
    connection->m_file = {file.device, file.inode};
    // A read-only open that had to make the log's index made it read-only like the catalogue;
    // it stays, but must not block writes once the catalogue may be changed again.
    if (!file.writable() && !file.shmExisted) repairStaleSharedMemory(file);
  } catch (const EngineError& error) {
    connection.reset();
    removeLeftovers(file);
    // SQLite reads the rows still in the log through an index file beside it. Where there is
    // none and none may be made, it cannot read the catalogue at all and only says so.
    if ((error.number() & 0xFF) == SQLITE_CANTOPEN && !file.writable() && file.walHasContent &&
        !file.shmExisted)
      throw EngineError(error.number(),
                        "The catalogue cannot be opened: some of its rows are still in its log '" +
                            file.wal + "', and reading them needs an index file '" + file.shm +
                            "', which cannot be made because " + file.readOnlyReason +
                            ". Open the catalogue once where it may be changed, or copy it "
                            "together with its log to such a place.");
    throw;
  } catch (...) {
    connection.reset();
    removeLeftovers(file);
    throw;
  }
  return connection;
}

void Connection::configure() {
  sqlite3_extended_result_codes(m_db, 1);
  // Nothing typed into the SQL box may reach native code or write the file behind SQLite's
  // back: fts3_tokenizer() would install a function pointer, writable_schema and friends
  // corrupt the file, and functions with side effects stay out of views and triggers.
  const std::pair<int, int> settings[] = {{SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0},
                                          {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0},
                                          {SQLITE_DBCONFIG_DEFENSIVE, 1},
                                          {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0}};
  for (const auto& [option, value] : settings) {
    int now = -1;
    const int rc = sqlite3_db_config(m_db, option, value, &now);
    if (rc != SQLITE_OK || now != value)
      throw EngineError(rc != SQLITE_OK ? rc : SQLITE_MISUSE,
                        "The database engine refused a safety setting (" +
                            std::to_string(option) + ").");
  }
  sqlite3_busy_handler(m_db, &Connection::busy, this);
  // No single value may be large enough for one function call (printf, replace, ||) to run
  // for seconds: the time limit stops statements only between calls.
  sqlite3_limit(m_db, SQLITE_LIMIT_LENGTH, kLongestValue);
  const int likeRc = registerJetLike(m_db, &Connection::deadlinePassed, this);
  if (likeRc != SQLITE_OK) throw EngineError(likeRc, sqlite3_errstr(likeRc));
  const int existsRc = registerFileExists(m_db, &Connection::deadlinePassed, this);
  if (existsRc != SQLITE_OK) throw EngineError(existsRc, sqlite3_errstr(existsRc));
  const int searchRc = registerSearchFunctions(m_db);
  if (searchRc != SQLITE_OK) throw EngineError(searchRc, sqlite3_errstr(searchRc));
  const int storableRc = sqlite3_create_function_v2(
      m_db, "storable_part", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
      storablePartOf, nullptr, nullptr, nullptr);
  if (storableRc != SQLITE_OK) throw EngineError(storableRc, sqlite3_errstr(storableRc));
  sqlite3_set_authorizer(m_db, &Connection::authorize, this);
  sqlite3_progress_handler(m_db, 10000, &Connection::progress, this);
  m_configured = true;
}

// The first real read of the file: a damaged or foreign file fails here, with its path in the
// message.
void Connection::firstRead() {
  Deadline deadline(*this);
  m_internal = true;
  char* message = nullptr;
  const int rc =
      sqlite3_exec(m_db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, &message);
  m_internal = false;
  if (rc == SQLITE_OK) return;
  std::string text = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  const int code = sqlite3_extended_errcode(m_db);
  if ((code & 0xFF) != SQLITE_NOTADB) {
    EngineError error = explain(code, text);
    if (error.description() == text) throw EngineError(code, text + " ('" + m_path + "')");
    throw error;
  }

  // The header as SQLite read it, through SQLite's own descriptor.
  char header[32] = {};
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK && file &&
      file->pMethods)
    file->pMethods->xRead(file, header, sizeof header, 0);  // a short read fills with zeros
  const std::string_view head(header, sizeof header);
  if (head.substr(0, 16) == std::string_view("SQLite format 3\0", 16))
    throw EngineError(err::kNotADatabase,
                      "'" + m_path + "' is not a catalogue database (" + text + ").");
  throw EngineError(err::kNotADatabase, describeForeignFile(m_path, head));
}

// A catalogue in rollback-journal mode waits for two flushes to disk per committed row; with
// the write-ahead log it waits for none. The mode is stored in the file, so this happens once.
// Another program holding the catalogue open in the old mode keeps it there for now.
void Connection::useWriteAheadLog() {
  m_internal = true;
  auto run = [this](const char* sql) {
    Deadline deadline(*this);
    std::string mode;
    sqlite3_exec(
        m_db, sql,
        [](void* out, int, char** values, char**) {
          if (values && values[0]) *static_cast<std::string*>(out) = values[0];
          return 0;
        },
        &mode, nullptr);
    return mode;
  };
  if (!equalsIgnoringCase(run("PRAGMA journal_mode"), "wal")) {
    const auto previous = m_lockWait;
    m_lockWait = std::chrono::milliseconds(200);  // a switch can wait for the next open
    run("PRAGMA journal_mode=WAL");
    m_lockWait = previous;
  }
  run("PRAGMA synchronous=NORMAL");
  m_internal = false;
}

Connection::~Connection() {
  if (inBatch()) {
    try {
      commitBatch();
    } catch (...) {
      // Closing rolls back what could not be committed; there is no one left to tell.
    }
  }
  if (m_file) {
    auto& files = openFiles();
    if (auto it = std::find(files.begin(), files.end(), *m_file); it != files.end())
      files.erase(it);
  }
  for (sqlite3_stmt* step : m_unitSteps) sqlite3_finalize(step);
  if (m_db) {
    sqlite3_set_authorizer(m_db, nullptr, nullptr);
    sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    // close_v2 defers the close until any statement still alive is finalized.
    sqlite3_close_v2(m_db);
  }
}

int Connection::authorize(void* self, int action, const char* a1, const char* a2, const char*,
                          const char*) {
  auto* connection = static_cast<Connection*>(self);
  if (connection->m_internal) return SQLITE_OK;
  auto refuse = [&](std::string why) {
    connection->m_refusal = std::move(why);
    return SQLITE_DENY;
  };
  // VACUUM runs statements of SQLite's own (a transaction, a copy) through the guard.
  if (connection->m_vacuuming && action != SQLITE_ATTACH) return SQLITE_OK;
  switch (action) {
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
      return refuse(
          "Transaction statements (BEGIN, COMMIT, ROLLBACK, SAVEPOINT, RELEASE) are not "
          "allowed: every statement is committed on its own.");
    case SQLITE_ATTACH:
      // VACUUM rebuilds the catalogue through a private, nameless temporary database.
      if (connection->m_vacuuming && a1 && *a1 == '\0') return SQLITE_OK;
      if (connection->m_vacuuming)
        return refuse("VACUUM INTO is not allowed: the catalogue is the only database file the "
                      "program writes.");
      [[fallthrough]];
    case SQLITE_DETACH:
      return refuse("ATTACH and DETACH are not allowed: the catalogue is the only database.");
    case SQLITE_CREATE_INDEX:
    case SQLITE_CREATE_TABLE:
      connection->m_storesValues = true;
      return SQLITE_OK;
    case SQLITE_FUNCTION:
      // Indexes, CHECK constraints and generated columns keep what like() answered in the
      // file, where every other SQLite program checks it with SQLite's own like().
      if (connection->m_storesValues && a2 && equalsIgnoringCase(a2, "like"))
        return refuse(
            "like cannot be used in an index, a CHECK constraint or a generated column: other "
            "SQLite programs compare by other rules, so the stored results would not agree.");
      return SQLITE_OK;
    case SQLITE_PRAGMA: {
      if (a2 == nullptr) return SQLITE_OK;  // reading a setting
      const std::string_view name = a1 ? a1 : "";
      for (std::string_view allowed : kDescribingPragmas)
        if (equalsIgnoringCase(name, allowed)) return SQLITE_OK;
      return refuse("PRAGMA " + std::string(name) +
                    " would change the engine's settings and is not allowed.");
    }
    default:
      return SQLITE_OK;
  }
}

int Connection::progress(void* self) {
  return deadlinePassed(self) ? 1 : 0;  // 1: SQLite stops the statement with SQLITE_INTERRUPT
}

bool Connection::deadlinePassed(void* self) {
  auto* connection = static_cast<Connection*>(self);
  if (std::chrono::steady_clock::now() < connection->m_deadline) return false;
  connection->m_timedOut = true;
  return true;
}

// Another connection, most likely another program, holds the lock this statement needs. The
// wait does not count against the statement's own time limit.
int Connection::busy(void* self, int attempts) {
  using namespace std::chrono;
  auto* connection = static_cast<Connection*>(self);
  const auto now = steady_clock::now();
  if (attempts == 0 || !connection->m_waiting) {
    connection->m_waitStarted = now;
    connection->m_waitReported = now;
    connection->m_waiting = true;
  }
  const auto waited = duration_cast<milliseconds>(now - connection->m_waitStarted);
  const milliseconds limit = connection->lockWait();
  if (waited >= limit) return 0;

  constexpr milliseconds kQuiet{300}, kReportEvery{250};
  const LockWaitObserver& observer = lockWaitObserver();
  if (observer.waiting && waited >= kQuiet && now - connection->m_waitReported >= kReportEvery) {
    connection->m_waitReported = now;
    observer.waiting(connection->m_path, waited);
  }
  // Short naps first: most locks are held for one commit.
  const milliseconds nap = std::min<milliseconds>(
      {milliseconds(attempts < 6 ? 1 << attempts : 50), limit - waited});
  std::this_thread::sleep_for(nap);
  if (connection->m_deadline != steady_clock::time_point::max())
    connection->m_deadline += steady_clock::now() - now;
  return 1;
}

Connection::Deadline::Deadline(Connection& connection)
    : m_connection(connection), m_previous(connection.m_deadline) {
  // Nested calls (an internal query inside a read) keep the outer, earlier deadline.
  const auto now = std::chrono::steady_clock::now();
  if (m_previous == std::chrono::steady_clock::time_point::max()) {
    connection.m_deadline = now + connection.m_timeLimit;
    connection.m_timedOut = false;
  }
}

Connection::Deadline::~Deadline() {
  m_connection.m_deadline = m_previous;
  if (m_connection.m_waiting) {
    m_connection.m_waiting = false;
    if (const auto& ended = lockWaitObserver().ended) ended();
  }
}

EngineError Connection::lastError() {
  // SQLite's code and message of the failed call, taken before explain() may run a check.
  const int code = sqlite3_extended_errcode(m_db);
  std::string message = sqlite3_errmsg(m_db);
  if (m_timedOut && (code & 0xFF) == SQLITE_INTERRUPT) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_timeLimit).count();
    return EngineError(code, "The statement was stopped after running for " +
                                 std::to_string(seconds) +
                                 " seconds. Narrow it down, for instance with WHERE or LIMIT.");
  }
  return explain(code, std::move(message));
}

// SQLite's message, or a plainer one where SQLite's names a symptom rather than the cause.
EngineError Connection::explain(int code, std::string message) {
  // Read before a check after a failed read runs statements that overwrite it.
  const int systemErrno = m_db ? sqlite3_system_errno(m_db) : 0;
  const std::string where = " ('" + m_path + "')";
  switch (code & 0xFF) {
    case SQLITE_BUSY: {
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(lockWait()).count();
      return EngineError(code, "The catalogue is locked: another program has been using it for " +
                                   std::to_string(seconds) +
                                   " seconds. Try again once it has finished." + where);
    }
    case SQLITE_READONLY:
      if (readOnly())
        return EngineError(code, "The catalogue is read-only because " + m_readOnlyReason +
                                     ": it can be viewed and searched, but not changed." + where);
      if (::faccessat(AT_FDCWD, (m_path + "-shm").c_str(), W_OK, AT_EACCESS) != 0 &&
          errno == EACCES)
        return EngineError(code, "The catalogue cannot be changed: its shared-memory file '" +
                                     m_path +
                                     "-shm' is read-only. Close every program using the "
                                     "catalogue, then delete that file.");
      break;
    case SQLITE_FULL:
    case SQLITE_IOERR:
      // Whatever step ran out of room (the log, its index, the file), it is one failure.
      if (diskIsFull(m_path) || systemErrno == ENOSPC)
        return EngineError(SQLITE_FULL, "The disk that holds the catalogue is full. Free some space "
                                 "on it, then try again." + where);
      if ((code & 0xFF) == SQLITE_FULL) {
        if (std::string table = exhaustedSequence(); !table.empty())
          return EngineError(code, "No more rows can be added to " + table +
                                       ": its AUTOINCREMENT counter has reached the largest "
                                       "possible ID.");
        break;
      }
      switch (ioKind(code)) {
        case IoKind::kRead:
          return readFailure(code, message);
        case IoKind::kWrite:
          return EngineError(code, "The catalogue could not be written: the disk reported an "
                                   "error (" + message + ")" + where + ".");
        case IoKind::kLock:
          return EngineError(code, "The catalogue could not be used: the file system refused a "
                                   "lock on it (" + message + ")" + where +
                                       ". Network shares and some synced folders do not allow "
                                       "locks: copy the catalogue to a local disk.");
        case IoKind::kSharedMemory:
          return EngineError(code, "The catalogue could not be used: its shared-memory file '" +
                                       m_path + "-shm' could not be " + sharedMemoryStep(code) +
                                       " (" + message +
                                       "). Close every program using the catalogue, then try "
                                       "again; on a network share, copy the catalogue to a "
                                       "local disk.");
        case IoKind::kTemporary:
          return EngineError(code, "The catalogue could not be used: no folder for temporary "
                                   "files could be written (" + message + ")" + where +
                                       ". Set TMPDIR to a folder that may be written, then try "
                                       "again.");
        case IoKind::kOther:
          return EngineError(code, "The catalogue could not be read or written: the file "
                                   "system reported an error (" + message + ")" + where + ".");
      }
      break;
    case SQLITE_CORRUPT:
      if (code == SQLITE_CORRUPT_INDEX)
        return EngineError(code, "An index of the catalogue is damaged: it no longer agrees with "
                                 "its table" + where +
                                     ". The songs themselves are whole. Type REINDEX in the SQL "
                                     "box and run it to rebuild the indexes (where the catalogue "
                                     "may be changed).");
      if (code == SQLITE_CORRUPT_VTAB)
        return EngineError(code, "The catalogue's search index is damaged" + where +
                                     "; the songs themselves are not. To have it made anew from "
                                     "the songs, run UPDATE shelf_search_state SET Fold = 0 in "
                                     "the SQL box, then open the catalogue again. Until then "
                                     "the filter finds songs without it.");
      if (worthChecking(code)) return readFailure(code, message);
      return EngineError(code, message + where);
    case SQLITE_NOTADB:
      return EngineError(code, message + where);
    default:
      break;
  }
  return EngineError(code, std::move(message));
}

EngineError Connection::readFailure(int code, const std::string& message) {
  const std::string where = " ('" + m_path + "')";
  // SQLite says the same of a page the disk failed to read (EIO) as of a damaged one, and a
  // user told "malformed" rebuilds a catalogue that may be whole: the check tells which.
  // SQLite's "malformed" is left out where the check clears the catalogue: it is what the user
  // must not believe.
  const bool corrupt = (code & 0xFF) == SQLITE_CORRUPT;
  const std::string failedRead = "The catalogue could not be read: the disk reported an error (" +
                                 std::string(sqlite3_errstr(SQLITE_IOERR)) + ")" + where + ".";
  if (m_passedCheckAfter == code)
    return EngineError(code, (corrupt ? message + where + "." : failedRead) +
                                 " The same failure came back after a check had found no "
                                 "damage: the catalogue or the disk may be damaged. PRAGMA "
                                 "integrity_check in the SQL box checks the catalogue "
                                 "through; copy it to another disk, or have this disk checked.");
  const Soundness soundness = checkForDamage();
  if (soundness == Soundness::kWhole) m_passedCheckAfter = code;
  if (corrupt) {
    if (soundness == Soundness::kUnchecked)
      return EngineError(code, message + where +
                                   ". This can also come from a read of the disk that failed "
                                   "once: try again.");
    if (soundness == Soundness::kDamaged || soundness == Soundness::kUnreadable)
      return EngineError(code, message + where + "." + damageNote(soundness));
  }
  return EngineError(code, failedRead + damageNote(soundness));
}

void Connection::setDamageCheckBounds(DamageCheckBounds bounds) {
  std::lock_guard lock(damageCheckMutex());
  damageCheckBounds() = std::move(bounds);
}

Connection::Soundness Connection::checkForDamage() noexcept {
  // Inside a transaction the check would read pages the failed statement left behind, or a
  // pager SQLite has put in its error state; and a half-made batch or unit is not to be
  // touched, even where SQLite has already ended its transaction.
  if (!m_db || !m_configured || inBatch() || m_unitOpen || !sqlite3_get_autocommit(m_db))
    return Soundness::kUnchecked;
  // The watchdog's interrupt reaches every statement of the connection that is running and
  // stays until none runs: a view still reading would be stopped along with the check.
  for (sqlite3_stmt* stmt = sqlite3_next_stmt(m_db, nullptr); stmt;
       stmt = sqlite3_next_stmt(m_db, stmt))
    if (sqlite3_stmt_busy(stmt)) return Soundness::kUnchecked;
  try {
    DamageCheckBounds bounds;
    {
      std::lock_guard lock(damageCheckMutex());
      bounds = damageCheckBounds();
    }
    return runDamageCheck(bounds);
  } catch (...) {
    return Soundness::kUnchecked;  // no thread for the watchdog, or no memory
  }
}

Connection::Soundness Connection::runDamageCheck(const DamageCheckBounds& bounds) {
  // The check reads the whole file and the log: a million songs make some 250 MB, checked in
  // about half a second once the system has the file in memory, and far longer from a failing
  // disk. Far larger files are left unchecked; the watchdog stops the rest at the time limit.
  struct stat st {};
  if (::stat(m_path.c_str(), &st) != 0) return Soundness::kUnchecked;
  std::uintmax_t bytes = static_cast<std::uintmax_t>(st.st_size);
  if (struct stat wal {}; ::stat((m_path + "-wal").c_str(), &wal) == 0)
    bytes += static_cast<std::uintmax_t>(wal.st_size);
  if (bytes > bounds.bytes) return Soundness::kUnchecked;

  // On its own, shorter clock for the rest, not waiting for locks, and leaving the failed
  // statement's lock wait as it was for the observer.
  struct Saved {
    Connection& c;
    std::chrono::steady_clock::time_point deadline = c.m_deadline;
    bool timedOut = c.m_timedOut;
    bool internal = c.m_internal;
    std::optional<std::chrono::milliseconds> lockWait = c.m_lockWait;
    bool waiting = c.m_waiting;
    ~Saved() {
      c.m_deadline = deadline;
      c.m_timedOut = timedOut;
      c.m_internal = internal;
      c.m_lockWait = lockWait;
      c.m_waiting = waiting;
    }
  } saved{*this};
  m_deadline = std::chrono::steady_clock::now() + std::min(bounds.time, m_timeLimit);
  m_timedOut = false;
  m_internal = true;
  m_lockWait = std::chrono::milliseconds(0);

  sqlite3_stmt* raw = nullptr;
  const int prepared = sqlite3_prepare_v2(m_db, "PRAGMA main.quick_check(1)", -1, &raw, nullptr);
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, &sqlite3_finalize);
  if (prepared != SQLITE_OK)  // the schema itself could not be read
    return isReadFailure(sqlite3_extended_errcode(m_db)) ? Soundness::kUnreadable
                                                         : Soundness::kUnchecked;
  Watchdog watchdog(m_db, std::min(bounds.time, m_timeLimit), bounds.atLimit);
  const int rc = sqlite3_step(stmt.get());
  // A check cut short says nothing, whatever it had found by then.
  if (watchdog.stop() || m_timedOut) return Soundness::kUnchecked;
  if (rc == SQLITE_ROW) {
    const auto* result = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
    const std::string_view row = result ? result : "";
    if (row == "ok") return Soundness::kWhole;
    return namesUndeliveredPage(row) ? Soundness::kUndelivered : Soundness::kDamaged;
  }
  return isReadFailure(sqlite3_extended_errcode(m_db)) ? Soundness::kUnreadable
                                                       : Soundness::kUnchecked;
}

std::string Connection::damageNote(Soundness soundness) {
  switch (soundness) {
    case Soundness::kWhole:
      return " A check of the catalogue found no damage: try again.";
    case Soundness::kDamaged:
      return " A check of the catalogue found it damaged.";
    case Soundness::kUndelivered:
      return " A check of the catalogue found a part of it that the disk cannot deliver: the "
             "disk is failing there. Copy the catalogue to another disk, or have this disk "
             "checked.";
    case Soundness::kUnreadable:
      return " A check of the catalogue could not read all of it either: the disk or the "
             "catalogue may be damaged.";
    case Soundness::kUnchecked:
      break;
  }
  return {};
}

// The table whose AUTOINCREMENT counter stands at the largest rowid, if any.
std::string Connection::exhaustedSequence() const {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(m_db,
                         "SELECT name FROM main.sqlite_sequence WHERE seq = 9223372036854775807",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return {};
  }
  std::string table;
  if (sqlite3_step(stmt) == SQLITE_ROW)
    if (const auto* name = sqlite3_column_text(stmt, 0))
      table = reinterpret_cast<const char*>(name);
  sqlite3_finalize(stmt);
  return table;
}

ChangeStamp Connection::changeStamp() {
  auto read = [this](const char* pragma) {
    Statement stmt = prepareInternal(*this, pragma);
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) throw lastError();
    return sqlite3_column_int64(stmt.get(), 0);
  };
  Deadline deadline(*this);
  return {read("PRAGMA main.data_version"), sqlite3_total_changes64(m_db),
          read("PRAGMA main.schema_version")};
}

namespace {

Connection*& batchConnection() {
  static Connection* connection = nullptr;
  return connection;
}

}  // namespace

void commitOpenBatch() {
  if (Connection* connection = batchConnection()) connection->commitBatch();
}

bool unitOpen() {
  const Connection* connection = batchConnection();
  return connection && connection->inUnit();
}

void Connection::beginBatch() {
  if (inBatch()) return;
  if (batchConnection()) batchConnection()->commitBatch();
  Deadline deadline(*this);
  m_internal = true;
  const int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  m_internal = false;
  if (rc != SQLITE_OK) throw lastError();
  m_batchStarted = std::chrono::steady_clock::now();
  batchConnection() = this;
}

void Connection::endBatch() {
  m_batchStarted.reset();
  if (batchConnection() == this) batchConnection() = nullptr;
}

bool Connection::runInternal(const char* sql) {
  Deadline deadline(*this);
  m_internal = true;
  const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
  m_internal = false;
  return rc == SQLITE_OK;
}

bool Connection::runUnitStep(UnitStep step) {
  static constexpr const char* kSql[] = {"SAVEPOINT quollsong_unit", "RELEASE quollsong_unit",
                                         "ROLLBACK TO quollsong_unit"};
  Deadline deadline(*this);
  m_internal = true;  // also while SQLite prepares a statement again after a schema change
  sqlite3_stmt*& stmt = m_unitSteps[step];
  int rc = stmt ? SQLITE_OK : sqlite3_prepare_v2(m_db, kSql[step], -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  m_internal = false;
  return rc == SQLITE_DONE;
}

void Connection::beginUnit() {
  if (m_unitOpen) throw EngineError(err::kTransactionLeftOpen, "A unit of changes is open already.");
  beginBatch();
  if (!runUnitStep(kMark)) throw lastError();
  m_unitOpen = true;
}

void Connection::endUnit(bool keep) {
  if (!m_unitOpen) return;
  m_unitOpen = false;
  // SQLite may have rolled back the whole batch with a failed statement; nothing is left then.
  if (sqlite3_get_autocommit(m_db)) return;
  if (keep) {
    if (runUnitStep(kKeep)) return;
    // A unit left on SQLite's stack would be committed with the batch all the same.
    const EngineError error = lastError();
    runInternal("ROLLBACK");
    endBatch();
    throw error;
  }
  if (!runUnitStep(kUndo)) {
    // What cannot be undone alone goes with the whole batch rather than stay half done.
    const EngineError error = lastError();
    runInternal("ROLLBACK");
    endBatch();
    throw error;
  }
  runUnitStep(kKeep);
}

void Connection::commitBatch() {
  if (!inBatch()) return;
  if (sqlite3_get_autocommit(m_db)) {  // SQLite ended it already, after a failure
    m_unitOpen = false;
    endBatch();
    return;
  }
  if (m_unitOpen) {
    try {
      endUnit(false);
    } catch (const EngineError&) {
      // The commit below rolls everything back when the unit could not be.
      runInternal("ROLLBACK");
      endBatch();
      throw;
    }
  }
  Deadline deadline(*this);
  m_internal = true;
  const int rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const EngineError error = lastError();
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_internal = false;
    endBatch();
    throw error;
  }
  m_internal = false;
  endBatch();
}

void Connection::rollBackStrayTransaction() {
  if (inBatch()) {
    if (sqlite3_get_autocommit(m_db)) endBatch();
    return;
  }
  if (sqlite3_get_autocommit(m_db)) return;
  m_internal = true;
  sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  m_internal = false;
  throw EngineError(err::kTransactionLeftOpen,
                    "The statement left a transaction open; it was rolled back.");
}

void registerReader(Recordset* recordset) { readers().push_back(recordset); }

void unregisterReader(Recordset* recordset) {
  auto& list = readers();
  list.erase(std::remove(list.begin(), list.end(), recordset), list.end());
}

void finishAllReaders() noexcept {
  // finishReading always unregisters the record set it finishes.
  auto& list = readers();
  while (!list.empty()) list.back()->finishReading();
}

}  // namespace engine
