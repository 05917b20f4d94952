#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "changestamp.h"
#include "value.h"

namespace engine {

// Record set types for Database::OpenRecordset.
inline constexpr int dbOpenTable = 1;     // a table, all its rows in primary key order, updatable
inline constexpr int dbOpenDynaset = 2;   // the rows of a query or table, updatable when possible
inline constexpr int dbOpenSnapshot = 4;  // a read-only copy taken when it opens

class Connection;
class RowStore;
class Statement;

// One field of the current row.
class Field {
 public:
  Field(std::string name, engine::Value value) : m_name(std::move(name)), m_value(std::move(value)) {}
  const std::string& Name() const { return m_name; }
  const engine::Value& Value() const { return m_value; }

 private:
  std::string m_name;
  engine::Value m_value;
};

// The rows of a table or query. Rows are read in batches as callers ask for them and kept in a
// compact cache; before the engine writes anywhere, every record set still reading is read to
// its end, so that no read statement stays open across a write.
//
// Two ways in: the current-row interface (Move*, Fields, Update) and the row-index interface a
// grid uses (rowCount, fetchMore, value, updateRow). They share one cache and one current row.
class Recordset {
 public:
  static constexpr std::size_t kBatchRows = 256;

  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  int type() const { return m_type; }
  const std::string& source() const { return m_source; }
  // The query the set runs for its source: the SQL as given, or the engine's own SELECT of a
  // table. Running it again gives the set's rows, all of them.
  const std::string& sql() const { return m_sql; }

  // Columns.
  int fieldCount() const { return static_cast<int>(m_names.size()); }
  const std::string& fieldName(int column) const { return m_names.at(column); }
  // Index of a column by name, ignoring case; -1 when there is none.
  int fieldIndex(std::string_view name) const;

  // Where a column's values come from: a table of the catalogue file and the column's name
  // there. Both empty for an expression.
  struct Origin {
    std::string table;
    std::string column;
  };
  const Origin& origin(int column) const { return m_origins.at(column); }

  // The current row's field. Throws EngineError: kNoCurrentRecord, kItemNotFound.
  Field Fields(int column) const;
  Field Fields(std::string_view name) const;

  // Current row. BOF/EOF as in DAO: both true on an empty record set.
  bool Bof() const;
  bool Eof() const;
  // Move* throw EngineError when reading further rows fails, or kNoCurrentRecord when moving
  // past an end that was already reached.
  void MoveFirst();
  void MoveLast();
  void MoveNext();
  void MovePrevious();
  // Zero-based index of the current row; -1 when there is none.
  std::int64_t AbsolutePosition() const { return (Bof() || Eof()) ? -1 : m_current; }
  // Makes row `row` current, reading up to it. Throws kNoCurrentRecord when there is no such row.
  void setAbsolutePosition(std::int64_t row);

  // Row-index access. rowCount() is the number of rows read so far, from the first on.
  // isComplete() stays false while a read failure is waiting to be thrown by the next fetchMore.
  std::int64_t rowCount() const;
  bool isComplete() const;
  // The rows the set is known to hold: those read so far, or all of them once jumpToEnd() found
  // the end without reading the rows before it.
  std::int64_t knownRows() const;
  // Counts the set's rows and reads its last `rows` rows, leaving the rows in between to be
  // read when they are asked for: the last row of a million shows without reading the million.
  // False, with nothing changed, when the set is read to its end already or cannot be counted.
  bool jumpToEnd(std::size_t rows = kBatchRows);
  // How many rows the set holds, counted without reading them when it is not read to its end;
  // nullopt when it cannot be counted (the catalogue changed since the set was opened, or the
  // count failed). Moves nothing and reads at most one row.
  std::optional<std::int64_t> countRows();
  // Reads up to `row` when it is neither read nor among the last rows. Throws EngineError.
  void ensureRow(std::int64_t row);
  // Reads up to `rows` more rows; returns how many were added. Throws EngineError when the
  // statement fails, runs past the connection's time limit or outgrows its cache limit
  // (kViewTooLarge); the rows read before stay, and the set counts as complete.
  std::size_t fetchMore(std::size_t rows = kBatchRows);
  void readAll();
  // A field of a row already read. Throws kItemNotFound for a row or column out of range.
  // With `longestText`, a text comes as at most that many of its bytes from byte `from` on,
  // which may begin or end inside a character: for showing part of a value without copying all
  // of it.
  engine::Value value(std::int64_t row, int column, std::size_t longestText = std::string::npos,
                      std::size_t from = 0) const;
  // The length in bytes of a text field of a row already read; 0 for a number or null.
  std::size_t textBytes(std::int64_t row, int column) const;
  bool isRead(std::int64_t row) const;

  // Updating. A table-type record set, and a dynaset whose columns come from one table and
  // include its INTEGER PRIMARY KEY, can be updated; the key column itself never.
  bool Updatable() const { return m_pkColumn >= 0 && !m_table.empty() && m_type != dbOpenSnapshot; }
  bool isColumnUpdatable(int column) const;
  // Writes the given (column, value) pairs of one row in one UPDATE with bound values, then
  // updates the cache. Throws EngineError: kNotUpdatable, kNoCurrentRecord, SQLite's code.
  void updateRow(std::int64_t row, const std::vector<std::pair<int, engine::Value>>& changes);
  void Update(const std::vector<std::pair<int, engine::Value>>& changes);

  // Runs the source again, so changed, added and deleted rows show; the first row becomes
  // current. When nothing in the catalogue changed since the set was opened, its rows are
  // already what the query would give, and they stay. Throws EngineError as OpenRecordset does.
  void Requery();

  // Reads the rest of the rows and finishes the statement (the engine calls this before a
  // write). Never throws: a failure is kept and thrown by the next fetchMore.
  void finishReading() noexcept;

 private:
  friend class Database;
  Recordset(std::shared_ptr<Connection> connection, std::string source, int type);
  void open();
  void describe();
  void resumeReading();
  // The count of a set not read to its end, in the snapshot it reads; `resume` first resumes a
  // reading that waits to be, so its statement holds that snapshot.
  std::optional<std::int64_t> countUnread(bool resume);
  bool inTail(std::int64_t row) const {
    return m_tail && row >= m_tailStart && row < m_knownTotal;
  }
  void closeStatement() noexcept;
  // Hands the open statement over to another record set's slot.
  void closeStatementKeeping(std::unique_ptr<Statement>& into) noexcept;

  std::shared_ptr<Connection> m_connection;
  std::string m_source;
  std::string m_sql;
  int m_type;
  std::vector<std::string> m_names;
  std::vector<bool> m_columnUpdatable;
  std::vector<Origin> m_origins;
  std::vector<std::string> m_columnOrigins;  // each updatable column's name in m_table
  std::string m_table;      // the one table the columns come from, when there is one
  std::string m_pkName;     // its INTEGER PRIMARY KEY column
  int m_pkColumn = -1;      // that column's index in this set, -1 when absent
  std::unique_ptr<Statement> m_statement;  // null once every row is read
  std::unique_ptr<RowStore> m_rows;
  // The last rows, read by jumpToEnd() ahead of the rows before them; gone once those are read.
  std::unique_ptr<RowStore> m_tail;
  std::int64_t m_tailStart = 0;
  std::int64_t m_knownTotal = -1;  // the set's row count, once counted; -1 before
  // The statement was closed before its end (a write came while the tail was held); reading goes
  // on from rowCount() with a fresh one.
  bool m_resumeReading = false;
  std::int64_t m_current = 0;
  bool m_hasPendingError = false;
  // The catalogue as the set's query first saw it. A stamp is taken only once the first rows
  // are read, so it can only be older than them: a change in between reads them again.
  ChangeStamp m_stamp;
  std::optional<std::int64_t> m_counted;  // countRows()'s answer, while m_stamp is m_countedAt
  ChangeStamp m_countedAt;
  int m_pendingNumber = 0;
  std::string m_pendingDescription;
};

}  // namespace engine
