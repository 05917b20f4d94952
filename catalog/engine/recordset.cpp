#include "recordset.h"

#include <algorithm>
#include <cctype>

#include "connection.h"
#include "engine.h"
#include "errors.h"
#include "sqltext.h"
#include "rowstore.h"
#include "statement.h"

namespace engine {

namespace {

[[noreturn]] void noCurrentRecord() { throw EngineError(err::kNoCurrentRecord, "No current record."); }

}  // namespace

Recordset::Recordset(std::shared_ptr<Connection> connection, std::string source, int type)
    : m_connection(std::move(connection)), m_source(std::move(source)), m_type(type) {}

Recordset::~Recordset() { closeStatement(); }

void Recordset::closeStatementKeeping(std::unique_ptr<Statement>& into) noexcept {
  unregisterReader(this);
  into = std::move(m_statement);
}

void Recordset::closeStatement() noexcept {
  if (m_statement) {
    unregisterReader(this);
    m_statement.reset();
  }
}

void Recordset::open() {
  Connection& connection = *m_connection;
  Statement statement = prepareOne(connection, m_sql);
  sqlite3_stmt* stmt = statement.get();
  if (sqlite3_column_count(stmt) == 0 || !sqlite3_stmt_readonly(stmt))
    throw EngineError(err::kInvalidArgument,
                      "Only a query can be opened as a record set; run other statements with "
                      "Execute.");
  m_names.clear();
  for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
    const char* name = sqlite3_column_name(stmt, c);
    m_names.emplace_back(name ? name : "");
  }
  closeStatement();
  m_statement = std::make_unique<Statement>(std::move(statement));
  registerReader(this);
  describe();
  m_rows = std::make_unique<RowStore>(fieldCount());
  m_current = 0;
  m_hasPendingError = false;
  m_stamp = connection.changeStamp();
  // The first batch now: errors in the query show at once, and BOF/EOF are known.
  if (m_type == dbOpenSnapshot)
    readAll();
  else
    fetchMore(kBatchRows);
}

// Finds the one table the columns come from and its INTEGER PRIMARY KEY, which make the set
// updatable. A table that the query reads more than once (a self-join) makes it read-only: the
// key of one row and a column of another could not be told apart.
void Recordset::describe() {
  m_table.clear();
  m_pkName.clear();
  m_pkColumn = -1;
  m_columnUpdatable.assign(m_names.size(), false);
  m_origins.assign(m_names.size(), Origin{});

  sqlite3_stmt* stmt = m_statement->get();
  bool otherDatabase = false;  // a temporary table, say
  for (int c = 0; c < fieldCount(); ++c) {
    const char* t = sqlite3_column_table_name(stmt, c);
    const char* o = sqlite3_column_origin_name(stmt, c);
    const char* d = sqlite3_column_database_name(stmt, c);
    if (!t || !o || !d) continue;  // an expression: no origin, and read-only
    if (std::string_view(d) == "main") m_origins[c] = {t, o};
    else otherDatabase = true;
  }
  // Rows of a compound SELECT may come from other tables under the same names.
  if (m_type == dbOpenSnapshot || otherDatabase || isCompoundSelect(m_sql)) return;

  std::string table;
  std::vector<std::string> origins(m_names.size());
  for (int c = 0; c < fieldCount(); ++c) {
    if (m_origins[c].table.empty()) continue;
    if (table.empty()) table = m_origins[c].table;
    else if (table != m_origins[c].table) return;  // columns from two tables
    origins[c] = m_origins[c].column;
  }
  if (table.empty()) return;

  Connection& connection = *m_connection;
  std::string pk;
  int pkCount = 0;
  {
    Statement info = prepareInternal(connection, "PRAGMA main.table_info(" + quoteIdentifier(table) + ")");
    while (sqlite3_step(info.get()) == SQLITE_ROW) {
      if (sqlite3_column_int(info.get(), 5) > 0) {
        ++pkCount;
        const char* type = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 2));
        if (type && equalsIgnoringCase(type, "INTEGER"))
          pk = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 1));
      }
    }
  }
  if (pkCount != 1 || pk.empty()) return;

  // How many times the query reads the table: once through the table, once through one of its
  // indexes alone (a covering index), or once through an index and then the table by rowid.
  int rootPage = 0;
  std::vector<int> indexRoots;
  {
    Statement roots = prepareInternal(
        connection,
        "SELECT type, rootpage FROM main.sqlite_schema WHERE tbl_name = ?1 AND "
        "type IN ('table', 'index')");
    sqlite3_bind_text(roots.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(roots.get()) == SQLITE_ROW) {
      const std::string_view type = reinterpret_cast<const char*>(sqlite3_column_text(roots.get(), 0));
      if (type == "table") rootPage = sqlite3_column_int(roots.get(), 1);
      else indexRoots.push_back(sqlite3_column_int(roots.get(), 1));
    }
  }
  std::vector<int> tableCursors, indexCursors;
  bool seeksTableByRowid = false;
  {
    Statement plan = prepareInternal(connection, "EXPLAIN " + m_sql);
    while (sqlite3_step(plan.get()) == SQLITE_ROW) {
      const char* op = reinterpret_cast<const char*>(sqlite3_column_text(plan.get(), 1));
      if (!op) continue;
      const std::string_view opcode(op);
      const int p1 = sqlite3_column_int(plan.get(), 2);
      const int p2 = sqlite3_column_int(plan.get(), 3);
      const int p3 = sqlite3_column_int(plan.get(), 4);
      if ((opcode == "OpenRead" || opcode == "OpenWrite") && p3 == 0) {
        if (p2 == rootPage) tableCursors.push_back(p1);
        else if (std::find(indexRoots.begin(), indexRoots.end(), p2) != indexRoots.end())
          indexCursors.push_back(p1);
      } else if (opcode == "DeferredSeek") {
        // The table row that an index entry points to: p1 the index's cursor, p3 the table's.
        const auto has = [](const std::vector<int>& list, int cursor) {
          return std::find(list.begin(), list.end(), cursor) != list.end();
        };
        if (has(indexCursors, p1) && has(tableCursors, p3)) seeksTableByRowid = true;
      }
    }
  }
  const std::size_t cursors = tableCursors.size() + indexCursors.size();
  const bool readOnce = cursors == 1 || (tableCursors.size() == 1 && indexCursors.size() == 1 &&
                                         seeksTableByRowid);
  if (!readOnce) return;

  int pkColumn = -1;
  std::vector<bool> updatable(m_names.size(), false);
  std::vector<std::string> seen;
  for (int c = 0; c < fieldCount(); ++c) {
    if (origins[c].empty()) continue;
    if (std::find_if(seen.begin(), seen.end(), [&](const std::string& s) {
          return equalsIgnoringCase(s, origins[c]);
        }) != seen.end())
      continue;  // the same column twice: only the first copy is written
    seen.push_back(origins[c]);
    if (equalsIgnoringCase(origins[c], pk)) {
      pkColumn = c;
    } else {
      updatable[c] = true;
    }
  }
  if (pkColumn < 0) return;
  m_table = table;
  m_pkName = pk;
  m_pkColumn = pkColumn;
  m_columnOrigins = std::move(origins);
  m_columnUpdatable = std::move(updatable);
}

int Recordset::fieldIndex(std::string_view name) const {
  for (int c = 0; c < fieldCount(); ++c)
    if (equalsIgnoringCase(m_names[c], name)) return c;
  return -1;
}

// A failure met while the engine finished the set counts as rows still to come, so that a
// reader that fetches until the set is complete meets the error.
bool Recordset::isComplete() const {
  return m_statement == nullptr && !m_hasPendingError && !m_resumeReading;
}

std::int64_t Recordset::knownRows() const {
  return m_knownTotal >= 0 ? std::max(m_knownTotal, rowCount()) : rowCount();
}

bool Recordset::isRead(std::int64_t row) const {
  return (row >= 0 && row < rowCount()) || inTail(row);
}

namespace {

// A query as a subquery. The line breaks end a comment the query may close with.
}  // namespace

bool Recordset::jumpToEnd(std::size_t rows) {
  if (isComplete() || m_hasPendingError) return false;
  if (m_tail) return true;
  Connection& connection = *m_connection;
  try {
    const std::optional<std::int64_t> counted = countUnread(true);
    if (!counted) return false;
    const std::int64_t total = *counted;
    if (total <= rowCount() + static_cast<std::int64_t>(rows)) return false;  // read them all
    const std::int64_t start = total - static_cast<std::int64_t>(rows);
    const std::string lastSql = "SELECT * FROM " + asSubquery(withoutTrailingEnd(m_sql)) +
                                " LIMIT -1 OFFSET " + std::to_string(start);
    {
      // An order that needs a sort (no index gives it) would sort every row again, holding
      // all of them at once to skip the first ones: reading on is cheaper then.
      Statement plan = prepareInternal(connection, "EXPLAIN " + lastSql);
      while (sqlite3_step(plan.get()) == SQLITE_ROW) {
        const auto* op = reinterpret_cast<const char*>(sqlite3_column_text(plan.get(), 1));
        const std::string_view opcode = op ? op : "";
        if (opcode == "SorterOpen" || opcode == "Sort") return false;
      }
    }
    Statement last = prepareOne(connection, lastSql);
    if (sqlite3_column_count(last.get()) != fieldCount()) return false;
    auto tail = std::make_unique<RowStore>(fieldCount());
    {
      Connection::Deadline deadline(connection);
      int rc;
      while ((rc = sqlite3_step(last.get())) == SQLITE_ROW) tail->append(last.get());
      if (rc != SQLITE_DONE) return false;
    }
    if (connection.changeStamp() != m_stamp || tail->size() == 0) return false;
    m_tailStart = total - tail->size();
    m_knownTotal = total;
    m_tail = std::move(tail);
    return true;
  } catch (const EngineError&) {
    return false;  // the set reads on from where it is instead
  }
}

std::optional<std::int64_t> Recordset::countUnread(bool resume) {
  Connection& connection = *m_connection;
  if (m_resumeReading && resume) {
    // The set's own statement, stepped, holds the snapshot that reading the last rows needs.
    try {
      fetchMore(1);
    } catch (const EngineError& error) {
      // The grid's next read reports it: the rows after those read are not silently lost.
      m_hasPendingError = true;
      m_pendingNumber = error.number();
      m_pendingDescription = error.description();
      return std::nullopt;
    }
  }
  if (isComplete()) return rowCount();
  // The count is of the rows the set lists only while nothing changed since it was opened.
  if ((!m_statement && !m_resumeReading) || connection.changeStamp() != m_stamp)
    return std::nullopt;
  // Counting needs no order; without it SQLite counts through an index alone.
  std::int64_t total = 0;
  {
    Statement count =
        prepareOne(connection, "SELECT count(*) FROM " + asSubquery(withoutFinalOrderBy(m_sql)));
    Connection::Deadline deadline(connection);
    if (sqlite3_step(count.get()) != SQLITE_ROW) return std::nullopt;
    total = sqlite3_column_int64(count.get(), 0);
  }
  // Without the set's own statement open, nothing held the snapshot meanwhile.
  if (connection.changeStamp() != m_stamp) return std::nullopt;
  return total;
}

std::optional<std::int64_t> Recordset::countRows() {
  if (isComplete()) return rowCount();
  if (m_hasPendingError) return std::nullopt;
  if (m_tail) return m_knownTotal;
  if (m_counted && m_countedAt == m_stamp && m_connection->changeStamp() == m_stamp)
    return m_counted;
  try {
    // A set whose reading waits to be resumed is counted as it stands: resuming it would run
    // its whole query, sort and all, once more only to be counted.
    m_counted = countUnread(false);
    m_countedAt = m_stamp;
    return m_counted;
  } catch (const EngineError&) {
    return std::nullopt;  // only the count failed; the set reads on as before
  }
}

std::int64_t Recordset::rowCount() const { return m_rows ? m_rows->size() : 0; }

std::size_t Recordset::fetchMore(std::size_t rows) {
  if (m_hasPendingError) {
    m_hasPendingError = false;
    throw EngineError(m_pendingNumber, m_pendingDescription);
  }
  if (!m_statement && m_resumeReading) resumeReading();
  if (!m_statement) return 0;
  Connection::Deadline deadline(*m_connection);
  std::size_t added = 0;
  while (added < rows) {
    const int rc = sqlite3_step(m_statement->get());
    if (rc == SQLITE_ROW) {
      m_rows->append(m_statement->get());
      ++added;
      // The rows read ahead from the end are reached: they are read here again from now on.
      if (m_tail && rowCount() >= m_tailStart) m_tail.reset();
      if (m_rows->bytes() > m_connection->cacheLimit()) {
        closeStatement();
        throw EngineError(err::kViewTooLarge,
                          "The view was cut off after " + std::to_string(m_rows->size()) +
                              " rows: it would not fit in memory. Narrow the query, for "
                              "instance with WHERE or LIMIT.");
      }
    } else if (rc == SQLITE_DONE) {
      closeStatement();
      m_tail.reset();
      m_knownTotal = -1;
      break;
    } else {
      // The rows read so far stay; the set ends here.
      EngineError error = m_connection->lastError();
      closeStatement();
      throw error;
    }
  }
  return added;
}

void Recordset::readAll() {
  while (!isComplete()) fetchMore(4096);
}

void Recordset::finishReading() noexcept {
  try {
    readAll();
  } catch (const EngineError& e) {
    m_hasPendingError = true;
    m_pendingNumber = e.number();
    m_pendingDescription = e.description();
  } catch (...) {
    m_hasPendingError = true;
    m_pendingNumber = SQLITE_NOMEM;
    m_pendingDescription = "Out of memory while reading the record set.";
  }
  closeStatement();
}

void Recordset::resumeReading() {
  Statement statement =
      prepareOne(*m_connection, "SELECT * FROM " + asSubquery(withoutTrailingEnd(m_sql)) +
                                    " LIMIT -1 OFFSET " + std::to_string(rowCount()));
  m_resumeReading = false;
  m_statement = std::make_unique<Statement>(std::move(statement));
  registerReader(this);
}

void Recordset::ensureRow(std::int64_t row) {
  while (row >= rowCount() && !isComplete() && !inTail(row) &&
         !(m_knownTotal >= 0 && row >= m_knownTotal))
    fetchMore(kBatchRows);
}

bool Recordset::Eof() const {
  return (isComplete() || m_knownTotal >= 0) && m_current >= knownRows();
}

bool Recordset::Bof() const { return m_current < 0 || (isComplete() && rowCount() == 0); }

void Recordset::MoveFirst() {
  ensureRow(0);
  m_current = 0;
}

void Recordset::MoveLast() {
  if (!jumpToEnd()) readAll();
  m_current = std::max<std::int64_t>(knownRows() - 1, 0);
}

void Recordset::MoveNext() {
  if (Eof()) noCurrentRecord();
  ++m_current;
  ensureRow(m_current);
}

void Recordset::MovePrevious() {
  if (m_current < 0) noCurrentRecord();
  --m_current;
}

void Recordset::setAbsolutePosition(std::int64_t row) {
  if (row < 0) noCurrentRecord();
  ensureRow(row);
  if (!isRead(row)) noCurrentRecord();
  m_current = row;
}

Field Recordset::Fields(int column) const {
  if (column < 0 || column >= fieldCount())
    throw EngineError(err::kItemNotFound, "Item not found in this collection.");
  if (Bof() || Eof() || !isRead(m_current)) noCurrentRecord();
  return Field(m_names[column], value(m_current, column));
}

Field Recordset::Fields(std::string_view name) const {
  const int column = fieldIndex(name);
  if (column < 0)
    throw EngineError(err::kItemNotFound,
                      "Item '" + std::string(name) + "' not found in this collection.");
  return Fields(column);
}

engine::Value Recordset::value(std::int64_t row, int column, std::size_t longestText,
                               std::size_t from) const {
  if (!isRead(row) || column < 0 || column >= fieldCount())
    throw EngineError(err::kItemNotFound, "Item not found in this collection.");
  if (row < rowCount()) return m_rows->get(row, column, longestText, from);
  return m_tail->get(row - m_tailStart, column, longestText, from);
}

std::size_t Recordset::textBytes(std::int64_t row, int column) const {
  if (!isRead(row) || column < 0 || column >= fieldCount())
    throw EngineError(err::kItemNotFound, "Item not found in this collection.");
  if (row < rowCount()) return m_rows->textBytes(row, column);
  return m_tail->textBytes(row - m_tailStart, column);
}

bool Recordset::isColumnUpdatable(int column) const {
  return Updatable() && column >= 0 && column < fieldCount() && m_columnUpdatable[column];
}

void Recordset::updateRow(std::int64_t row,
                          const std::vector<std::pair<int, engine::Value>>& changes) {
  if (!Updatable())
    throw EngineError(err::kNotUpdatable, "Cannot update. Database or object is read-only.");
  if (!isRead(row)) noCurrentRecord();
  if (changes.empty()) return;
  for (const auto& change : changes)
    if (!isColumnUpdatable(change.first))
      throw EngineError(err::kNotUpdatable,
                        "Field '" + (change.first >= 0 && change.first < fieldCount()
                                         ? m_names[change.first]
                                         : std::to_string(change.first)) +
                            "' cannot be updated.");
  const engine::Value key = value(row, m_pkColumn);

  std::string sql = "UPDATE main." + quoteIdentifier(m_table) + " SET ";
  std::string readBack = "SELECT ";
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const std::string column = quoteIdentifier(m_columnOrigins[changes[i].first]);
    sql += (i ? ", " : "") + column + " = ?" + std::to_string(i + 1);
    readBack += (i ? ", " : "") + column;
  }
  const std::string where = " WHERE " + quoteIdentifier(m_pkName) + " = ?" +
                            std::to_string(changes.size() + 1);
  sql += where;
  readBack += " FROM main." + quoteIdentifier(m_table) + " WHERE " + quoteIdentifier(m_pkName) +
              " = ?1";

  commitOpenBatch();
  finishAllReaders();
  Connection& connection = *m_connection;
  sqlite3* db = connection.handle();
  Connection::Deadline deadline(connection);
  {
    Statement update = prepareInternal(connection, sql);
    auto bind = [&](int index, const engine::Value& v) {
      int rc;
      if (v.isNull()) rc = sqlite3_bind_null(update.get(), index);
      else if (v.isInteger()) rc = sqlite3_bind_int64(update.get(), index, v.integer());
      else if (v.isReal()) rc = sqlite3_bind_double(update.get(), index, v.real());
      else
        rc = sqlite3_bind_text64(update.get(), index, v.text().data(), v.text().size(),
                                 SQLITE_TRANSIENT, SQLITE_UTF8);
      check(db, rc);
    };
    for (std::size_t i = 0; i < changes.size(); ++i)
      bind(static_cast<int>(i + 1), changes[i].second);
    bind(static_cast<int>(changes.size() + 1), key);
    if (sqlite3_step(update.get()) != SQLITE_DONE) throw connection.lastError();
  }
  connection.rollBackStrayTransaction();
  const bool changed = sqlite3_changes(db) != 0;

  // Keep what the table stored (affinity and triggers may differ from what was sent).
  std::vector<std::pair<int, engine::Value>> stored;
  Statement read = prepareInternal(connection, readBack);
  if (key.isInteger()) sqlite3_bind_int64(read.get(), 1, key.integer());
  else sqlite3_bind_text(read.get(), 1, key.toText().c_str(), -1, SQLITE_TRANSIENT);
  const int found = sqlite3_step(read.get());
  if (found != SQLITE_ROW && found != SQLITE_DONE) throw connection.lastError();
  if (!changed) {
    if (found != SQLITE_ROW) throw EngineError(err::kRecordDeleted, "The record has been deleted.");
    // The row is there, so a trigger dropped the change (RAISE(IGNORE)).
    throw EngineError(err::kChangeIgnored,
                      "The change was not saved: a trigger on " + m_table +
                          " ignored it, and the row keeps its values.");
  }
  if (found == SQLITE_ROW) {
    RowStore one(static_cast<int>(changes.size()));
    one.append(read.get());
    for (std::size_t i = 0; i < changes.size(); ++i)
      stored.emplace_back(changes[i].first, one.get(0, static_cast<int>(i)));
  } else {
    stored = changes;
  }
  if (row < rowCount()) m_rows->replace(row, stored);
  else m_tail->replace(row - m_tailStart, stored);
}

void Recordset::Update(const std::vector<std::pair<int, engine::Value>>& changes) {
  if (Bof() || Eof() || !isRead(m_current)) noCurrentRecord();
  updateRow(m_current, changes);
}

void Recordset::Requery() {
  // The set's own open statement keeps the snapshot it started with, and the stamp with it: it
  // is closed first, so the stamp tells what the catalogue holds now.
  const bool reading = m_statement != nullptr || m_resumeReading;
  closeStatement();
  m_resumeReading = reading;
  if (!m_hasPendingError && m_connection->changeStamp() == m_stamp) {
    // Nothing changed: the rows read are still the query's, and reading goes on after them.
    m_current = 0;
    return;
  }
  // Open afresh beside this one, so a failing requery leaves the record set as it was.
  Recordset fresh(m_connection, m_source, m_type);
  fresh.m_sql = m_sql;
  fresh.open();
  closeStatement();
  m_names = std::move(fresh.m_names);
  m_columnUpdatable = std::move(fresh.m_columnUpdatable);
  m_columnOrigins = std::move(fresh.m_columnOrigins);
  m_origins = std::move(fresh.m_origins);
  m_table = std::move(fresh.m_table);
  m_pkName = std::move(fresh.m_pkName);
  m_pkColumn = fresh.m_pkColumn;
  m_rows = std::move(fresh.m_rows);
  m_tail.reset();
  m_knownTotal = -1;
  m_resumeReading = false;
  m_stamp = fresh.m_stamp;
  m_current = 0;
  m_hasPendingError = false;
  if (fresh.m_statement) {
    fresh.closeStatementKeeping(m_statement);
    registerReader(this);
  }
}

}  // namespace engine
