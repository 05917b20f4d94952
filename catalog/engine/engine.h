#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include "errors.h"
#include "recordset.h"
#include "statement.h"

namespace engine {

class Connection;
class Database;
class PreparedStatement;
class Workspace;

// Told while a statement waits for another program to release a catalogue: `waiting` with the
// catalogue's path and how long it has waited, about every quarter second once the wait has
// lasted a moment, and `ended` when the statement goes on or gives up. Called on the thread that
// runs the statement, from inside SQLite: it must not use the engine.
struct LockWaitObserver {
  std::function<void(const std::string& path, std::chrono::milliseconds waited)> waiting;
  std::function<void()> ended;
};
void setLockWaitObserver(LockWaitObserver observer);

// True when `path` names a file that a connection of this process has open, compared by device
// and inode without opening it. Code that would open such a file itself must not: closing its
// descriptor would drop the locks SQLite holds on the file.
bool isOpenCatalogue(const std::string& path);

// The engine: one object per process, created on first use.
class DBEngine {
 public:
  static DBEngine& instance();

  // Only index 0, the default workspace, exists. Throws EngineError (kItemNotFound) otherwise.
  Workspace& Workspaces(std::int16_t index);

  DBEngine(const DBEngine&) = delete;
  DBEngine& operator=(const DBEngine&) = delete;

 private:
  DBEngine();
  ~DBEngine();
  std::unique_ptr<Workspace> m_default;
};

class Workspace {
 public:
  // Opens a new handle, with a connection of its own, on an existing catalogue file. Never
  // creates a file. Throws EngineError: kFileNotFound, kNotADatabase (empty, foreign or
  // Jet/Access file, with the path in the description) or SQLite's code.
  std::shared_ptr<Database> OpenDatabase(const std::string& path);

  // Closes every database this workspace opened that is still open. The default workspace
  // itself stays usable, so a window that reconnects can take it again.
  void Close();

 private:
  friend class DBEngine;
  Workspace() = default;
  std::vector<std::weak_ptr<Database>> m_databases;
};

// A database handle. Record sets it opens share its connection: closing or dropping the handle
// while a record set still reads from it is safe, and the connection goes with the last of them.
class Database {
 public:
  explicit Database(std::shared_ptr<Connection> connection);
  ~Database();

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens a record set of the given type (dbOpenTable, dbOpenDynaset or dbOpenSnapshot) over a
  // table name or one SQL query. Rows are read lazily, except for a snapshot, which reads them
  // all at once. Throws EngineError: SQLite's code for bad SQL, kTrailingText when more than one
  // statement is given, kTableNotFound, kInvalidArgument for another type, kObjectClosed.
  std::shared_ptr<Recordset> OpenRecordset(const std::string& source, int type = dbOpenDynaset);

  // Runs exactly one statement that returns no rows, committed at once. The options value is
  // accepted for callers that pass one and changes nothing. Throws EngineError:
  // kSelectNotAllowed, kTrailingText, kEmptyStatement, kStatementRefused,
  // kTransactionLeftOpen, kObjectClosed, or SQLite's code.
  void Execute(const std::string& sql, int options = 0);

  // Prepares one statement that changes rows, to be run many times with values bound to its
  // parameters ("?1", "?2", ...): values never pass through SQL text. It may return rows with
  // RETURNING; a query is refused. The statement keeps this
  // handle's connection; it goes on working after Close, like a record set. Throws EngineError
  // as Execute does, before anything runs.
  std::unique_ptr<PreparedStatement> Prepare(const std::string& sql);

  // Runs one query with text bound to its parameters ("?1", "?2", ...) and hands each row to
  // `row`, every field as text, std::nullopt for NULL. The texts are valid only during the
  // call. For the program's own look-ups: rows are streamed, never cached. Throws EngineError
  // as OpenRecordset does, and what `row` throws, which ends the query.
  using RowTexts = std::span<const std::optional<std::string_view>>;
  void ForEachRow(const std::string& sql, std::span<const std::string> parameters,
                  const std::function<void(RowTexts)>& row);

  // Whether the catalogue holds a table of that name. Throws EngineError as ForEachRow does.
  bool hasTable(const std::string& name);

  // Rows changed by the last Execute.
  std::int64_t RecordsAffected() const { return m_recordsAffected; }
  // The ID (rowid) of the row the last INSERT on this handle's connection added.
  std::int64_t LastInsertedId() const;

  // How long one statement, or one batch of rows, may run before it is stopped (20 seconds
  // unless set), and how many bytes of rows one record set may cache (512 MiB unless set).
  // Both guard the window against a query that would never end or never fit.
  void setQueryTimeout(std::chrono::milliseconds limit);
  void setCacheLimit(std::size_t bytes);
  // How long a statement on this handle's connection waits for another program's lock before
  // it gives up (isLockTimeout); nullopt for the usual wait, longer than any statement may run.
  // Throws EngineError (kObjectClosed).
  void setLockWait(std::optional<std::chrono::milliseconds> wait);
  std::optional<std::chrono::milliseconds> lockWait() const;

  // Whether statements may change the catalogue: false for a read-only file, folder or medium,
  // which is opened for viewing and searching. readOnlyReason() says why, as a phrase.
  bool isReadOnly() const;
  std::string readOnlyReason() const;
  // Throws the refusal of a change to a read-only catalogue (SQLITE_READONLY, saying why), for a
  // step that must not begin when nothing it does could be kept.
  void refuseIfReadOnly() const;

  // Ends this handle; later calls throw kObjectClosed. Record sets still held keep reading.
  void Close();
  bool isOpen() const { return m_connection != nullptr; }
  const std::string& path() const { return m_path; }

 private:
  friend class Unit;
  friend void beginBatch(Database& db, std::optional<std::chrono::milliseconds> lockWait);
  const std::shared_ptr<Connection>& connection() const;

  std::shared_ptr<Connection> m_connection;
  std::string m_path;
  std::int64_t m_recordsAffected = 0;
};

// A statement prepared once and run many times, each run committed on its own, under the same
// rules as Database::Execute (time limit, open readers finished before a write, no transaction
// left open).
class PreparedStatement {
 public:
  PreparedStatement(const PreparedStatement&) = delete;
  PreparedStatement& operator=(const PreparedStatement&) = delete;

  // Binds text to parameter `index` (from 1) for the next Execute. Throws EngineError.
  void bind(int index, std::string_view text);
  // Rows changed by the last run.
  std::int64_t RecordsAffected() const { return m_recordsAffected; }
  // For a statement with RETURNING: the first field of the first row the last run returned, as
  // text (empty for NULL); nullopt when it returned none.
  const std::optional<std::string>& returned() const { return m_returned; }
  // Runs the statement with the bound values and clears them. Throws EngineError; the
  // statement stays usable, and after a lock timeout (isLockTimeout) the same values are still
  // bound for another try.
  void Execute();

  // How long each run waits for another program's lock; unless set, as long as any statement.
  // A caller that keeps a window alive between tries sets a short wait.
  void setLockWait(std::chrono::milliseconds wait) { m_lockWait = wait; }

  // Runs the statement in batches: the runs of one batch are one transaction, committed by
  // commitOpenBatch(), or before the engine prepares any other statement or edits a row, so
  // nothing else ever runs inside one. Each commit writes every page its rows touched, so with
  // a table's indexes a batch of rows costs little more than one. A run that fails leaves the
  // batch's earlier rows committed, unless SQLite rolled it back whole (see batchLost()).
  void setBatched(bool batched) { m_batched = batched; }
  // After a failed run: whether SQLite rolled back the whole batch with it, so the batch's
  // earlier rows are not in the catalogue either.
  bool batchLost() const { return m_batchLost; }

 private:
  friend class Database;
  PreparedStatement(std::shared_ptr<Connection> connection, Statement stmt);

  std::shared_ptr<Connection> m_connection;
  Statement m_stmt;
  std::optional<std::chrono::milliseconds> m_lockWait;
  bool m_batched = false;
  bool m_batchLost = false;
  std::int64_t m_recordsAffected = 0;
  std::optional<std::string> m_returned;
};

// Changes that reach the catalogue together or not at all: batched runs of prepared statements
// (see PreparedStatement::setBatched) made while a unit is open are kept by keep() and undone
// when it ends without (a failure on the way); the batch goes on either way, and a kill at any
// moment before its commit loses the whole batch. Begins the batch when none is open, waiting
// for another program's lock as long as `lockWait` says (unless nullopt, as any statement) and
// throwing as Execute does when that runs out. Prepare the statements first: no statement may
// be prepared while a unit is open (kTransactionLeftOpen).
class Unit {
 public:
  Unit(Database& db, std::optional<std::chrono::milliseconds> lockWait);
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // Keeps the unit's changes in the batch. Throws EngineError, having rolled back the whole
  // batch, when SQLite cannot.
  void keep();

 private:
  std::shared_ptr<Connection> m_connection;
};

// Commits the batch a prepared statement holds open, if any (see PreparedStatement::setBatched).
// Throws EngineError.
void commitOpenBatch();

// Begins a batch on `db`'s connection when none is open, waiting for another program's lock as
// long as `lockWait` says (unless nullopt, as any statement), and throwing as Execute does when
// that runs out: so that a caller can wait with its window running and try again.
void beginBatch(Database& db, std::optional<std::chrono::milliseconds> lockWait);

}  // namespace engine
