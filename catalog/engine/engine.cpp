#include "engine.h"

#include <algorithm>
#include <cctype>

#include "connection.h"
#include "sqltext.h"
#include "statement.h"

namespace engine {

namespace {

// A source that is a bare identifier naming a table is opened as that table.
bool isIdentifier(std::string_view s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
  });
}

// The table's name as stored, when `name` names a table (ignoring case); empty otherwise.
std::string findTable(Connection& connection, const std::string& name) {
  Statement stmt = prepareInternal(
      connection,
      "SELECT name FROM main.sqlite_schema WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
  sqlite3_bind_text(stmt.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw connection.lastError();
  if (rc != SQLITE_ROW) return {};
  return reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
}

}  // namespace

DBEngine::DBEngine() : m_default(new Workspace()) {}
DBEngine::~DBEngine() = default;

DBEngine& DBEngine::instance() {
  static DBEngine engine;
  return engine;
}

Workspace& DBEngine::Workspaces(std::int16_t index) {
  if (index != 0) throw EngineError(err::kItemNotFound, "Item not found in this collection.");
  return *m_default;
}

std::shared_ptr<Database> Workspace::OpenDatabase(const std::string& path) {
  auto database = std::make_shared<Database>(Connection::open(path));
  std::erase_if(m_databases, [](const std::weak_ptr<Database>& d) { return d.expired(); });
  m_databases.push_back(database);
  return database;
}

void Workspace::Close() {
  for (const auto& weak : m_databases)
    if (auto database = weak.lock()) database->Close();
  m_databases.clear();
}

Database::Database(std::shared_ptr<Connection> connection)
    : m_connection(std::move(connection)), m_path(m_connection->path()) {}

Database::~Database() = default;

const std::shared_ptr<Connection>& Database::connection() const {
  if (!m_connection) throw EngineError(err::kObjectClosed, "Object invalid or no longer set.");
  return m_connection;
}

void Database::Close() { m_connection.reset(); }

bool Database::hasTable(const std::string& name) {
  bool found = false;
  const std::string parameters[] = {name};
  ForEachRow("SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1", parameters,
             [&](RowTexts) { found = true; });
  return found;
}

std::int64_t Database::LastInsertedId() const {
  return sqlite3_last_insert_rowid(connection()->handle());
}

bool Database::isReadOnly() const { return connection()->readOnly(); }

std::string Database::readOnlyReason() const { return connection()->readOnlyReason(); }

void Database::refuseIfReadOnly() const {
  if (isReadOnly())
    throw EngineError(SQLITE_READONLY, "The catalogue is read-only because " + readOnlyReason() +
                                           ": it can be viewed and searched, but not changed.");
}

void Database::setQueryTimeout(std::chrono::milliseconds limit) { connection()->setTimeLimit(limit); }

void Database::setLockWait(std::optional<std::chrono::milliseconds> wait) {
  connection()->setLockWait(wait);
}

std::optional<std::chrono::milliseconds> Database::lockWait() const {
  return connection()->lockWaitSetting();
}

void Database::setCacheLimit(std::size_t bytes) { connection()->setCacheLimit(bytes); }

std::shared_ptr<Recordset> Database::OpenRecordset(const std::string& source, int type) {
  const auto& conn = connection();
  if (type != dbOpenTable && type != dbOpenDynaset && type != dbOpenSnapshot)
    throw EngineError(err::kInvalidArgument, "Invalid argument: record set type " +
                                                 std::to_string(type) + ".");
  std::shared_ptr<Recordset> recordset(new Recordset(conn, source, type));
  const std::string table = isIdentifier(source) ? findTable(*conn, source) : std::string();
  if (type == dbOpenTable) {
    if (table.empty())
      throw EngineError(err::kTableNotFound,
                        "The engine cannot find the input table '" + source + "'.");
    // A table-type set lists the rows in key order (the rowid is the INTEGER PRIMARY KEY).
    recordset->m_sql = "SELECT * FROM main." + quoteIdentifier(table) + " ORDER BY rowid";
  } else if (!table.empty()) {
    recordset->m_sql = "SELECT * FROM main." + quoteIdentifier(table);
  } else {
    recordset->m_sql = source;
  }
  recordset->open();
  return recordset;
}

namespace {

// Steps a statement that changes rows under the engine's rules. A statement that returns
// rows as well (RETURNING) is stepped to its end, and `returned` gets the first field of the
// first row it returned. Throws EngineError.
void runToEnd(Connection& conn, sqlite3_stmt* stmt, std::optional<std::string>* returned = nullptr) {
  if (!sqlite3_stmt_readonly(stmt)) finishAllReaders();
  const char* sql = sqlite3_sql(stmt);
  const bool vacuum = sql && equalsIgnoringCase(firstKeyword(sql), "VACUUM");
  if (returned) returned->reset();
  int rc;
  {
    Connection::Deadline deadline(conn);
    conn.clearRefusal();
    conn.setVacuuming(vacuum);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (returned && !*returned) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        *returned = text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)))
                         : std::string();
      }
    }
    conn.setVacuuming(false);
  }
  if (rc != SQLITE_DONE) {
    // The guard can refuse a statement that SQLite runs on the way (VACUUM INTO's ATTACH).
    EngineError error = (rc & 0xFF) == SQLITE_AUTH && !conn.refusal().empty()
                            ? EngineError(err::kStatementRefused, conn.refusal())
                            : conn.lastError();
    sqlite3_reset(stmt);
    conn.rollBackStrayTransaction();
    throw error;
  }
}

}  // namespace

void Database::Execute(const std::string& sql, int /*options*/) {
  const auto& conn = connection();
  Statement stmt = prepareOne(*conn, sql);
  if (sqlite3_column_count(stmt.get()) > 0)
    throw EngineError(err::kSelectNotAllowed, "Cannot execute a select query.");
  runToEnd(*conn, stmt.get());
  m_recordsAffected = sqlite3_changes64(conn->handle());
  stmt = Statement();
  conn->rollBackStrayTransaction();
}

void Database::ForEachRow(const std::string& sql, std::span<const std::string> parameters,
                          const std::function<void(RowTexts)>& row) {
  const auto& conn = connection();
  Statement stmt = prepareOne(*conn, sql);
  sqlite3_stmt* query = stmt.get();
  if (!sqlite3_stmt_readonly(query))
    throw EngineError(err::kStatementRefused, "Only a query can be read row by row.");
  for (std::size_t i = 0; i < parameters.size(); ++i)
    check(conn->handle(), sqlite3_bind_text64(query, static_cast<int>(i + 1),
                                              parameters[i].data(), parameters[i].size(),
                                              SQLITE_TRANSIENT, SQLITE_UTF8));
  const int columns = sqlite3_column_count(query);
  std::vector<std::optional<std::string_view>> fields(static_cast<std::size_t>(columns));
  for (;;) {
    int rc;
    {
      Connection::Deadline deadline(*conn);
      conn->clearRefusal();
      rc = sqlite3_step(query);
    }
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) throw conn->lastError();
    for (int c = 0; c < columns; ++c) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(query, c));
      fields[static_cast<std::size_t>(c)] =
          text ? std::optional<std::string_view>(std::in_place, text,
                                                 static_cast<std::size_t>(
                                                     sqlite3_column_bytes(query, c)))
               : std::nullopt;
    }
    row(fields);
  }
}

std::unique_ptr<PreparedStatement> Database::Prepare(const std::string& sql) {
  const auto& conn = connection();
  Statement stmt = prepareOne(*conn, sql);
  // A statement that changes rows may return some of them too (RETURNING); a query may not.
  if (sqlite3_column_count(stmt.get()) > 0 && sqlite3_stmt_readonly(stmt.get()))
    throw EngineError(err::kSelectNotAllowed, "Cannot execute a select query.");
  return std::unique_ptr<PreparedStatement>(new PreparedStatement(conn, std::move(stmt)));
}

PreparedStatement::PreparedStatement(std::shared_ptr<Connection> connection, Statement stmt)
    : m_connection(std::move(connection)), m_stmt(std::move(stmt)) {}

void PreparedStatement::bind(int index, std::string_view text) {
  // A null pointer would bind NULL; an empty text stays an empty text.
  const char* bytes = text.empty() ? "" : text.data();
  check(m_connection->handle(),
        sqlite3_bind_text64(m_stmt.get(), index, bytes, text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8));
}

void PreparedStatement::Execute() {
  {
    const auto usual = m_connection->lockWaitSetting();
    struct Restore {
      Connection& connection;
      std::optional<std::chrono::milliseconds> wait;
      ~Restore() { connection.setLockWait(wait); }
    } restore{*m_connection, usual};
    if (m_lockWait) m_connection->setLockWait(m_lockWait);
    try {
      if (m_batched) {
        // A set still reading holds an older snapshot, in which no write can start.
        finishAllReaders();
        m_connection->beginBatch();
      }
      m_batchLost = false;
      runToEnd(*m_connection, m_stmt.get(), &m_returned);
      m_recordsAffected = sqlite3_changes64(m_connection->handle());
    } catch (const EngineError& error) {
      if (!isLockTimeout(error)) sqlite3_clear_bindings(m_stmt.get());
      // The rows before this one stay, unless SQLite rolled the whole batch back (a full disk,
      // an I/O error, no memory, the time limit).
      m_batchLost = m_connection->inBatch() && sqlite3_get_autocommit(m_connection->handle());
      try {
        m_connection->commitBatch();
      } catch (const EngineError&) {
        m_batchLost = true;  // the commit failed, and rolled the batch back
      }
      if (m_batchLost)
        throw EngineError(error.number(), error.description() +
                                              " The rows saved with it a moment before were "
                                              "lost as well.");
      throw;
    } catch (...) {
      sqlite3_clear_bindings(m_stmt.get());
      m_connection->commitBatch();
      throw;
    }
  }
  sqlite3_reset(m_stmt.get());
  sqlite3_clear_bindings(m_stmt.get());
  m_connection->rollBackStrayTransaction();
}

namespace {

// Runs `begin` on the connection with the lock wait `lockWait`, unless nullopt.
template <typename Begin>
void withLockWait(Connection& connection, std::optional<std::chrono::milliseconds> lockWait,
                  const Begin& begin) {
  const auto usual = connection.lockWaitSetting();
  if (lockWait) connection.setLockWait(lockWait);
  try {
    // A set still reading holds an older snapshot, in which no write can start.
    finishAllReaders();
    begin();
  } catch (...) {
    connection.setLockWait(usual);
    throw;
  }
  connection.setLockWait(usual);
}

}  // namespace

void beginBatch(Database& db, std::optional<std::chrono::milliseconds> lockWait) {
  Connection& connection = *db.connection();
  withLockWait(connection, lockWait, [&] { connection.beginBatch(); });
}

Unit::Unit(Database& db, std::optional<std::chrono::milliseconds> lockWait)
    : m_connection(db.connection()) {
  withLockWait(*m_connection, lockWait, [&] { m_connection->beginUnit(); });
}

Unit::~Unit() {
  try {
    m_connection->endUnit(false);
  } catch (...) {
    // The batch's commit undoes it instead.
  }
}

void Unit::keep() { m_connection->endUnit(true); }

}  // namespace engine
