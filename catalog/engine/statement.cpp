#include "statement.h"

#include "connection.h"
#include "engine.h"
#include "errors.h"

namespace engine {

void check(sqlite3* db, int rc) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  const int code = db ? sqlite3_extended_errcode(db) : rc;
  throw EngineError(code ? code : rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

namespace {

// Prepares the first statement of [sql, end); `tail` gets where it stopped.
Statement prepareFirst(Connection& connection, const char* sql, const char* end,
                       const char** tail) {
  sqlite3_stmt* stmt = nullptr;
  connection.clearRefusal();
  const int rc = sqlite3_prepare_v2(connection.handle(), sql, static_cast<int>(end - sql), &stmt,
                                    tail);
  Statement result(stmt);
  // SQLITE_AUTH for a refused action, SQLITE_ERROR for a refused function.
  if (rc != SQLITE_OK && !connection.refusal().empty())
    throw EngineError(err::kStatementRefused, connection.refusal());
  // Preparing reads the schema, so it meets failed reads as a query does.
  if (rc != SQLITE_OK) throw connection.lastError();
  return result;
}

}  // namespace

Statement prepareOne(Connection& connection, std::string_view sql) {
  // Preparing commits the batch, and a unit in it must never be committed half done.
  if (unitOpen())
    throw EngineError(err::kTransactionLeftOpen,
                      "A statement was prepared while a unit of changes was open.");
  commitOpenBatch();
  if (sql.size() > static_cast<std::size_t>(sqlite3_limit(connection.handle(),
                                                          SQLITE_LIMIT_SQL_LENGTH, -1)))
    throw EngineError(SQLITE_TOOBIG, "The SQL text is too long.");
  const char* end = sql.data() + sql.size();
  const char* tail = nullptr;
  Statement first = prepareFirst(connection, sql.data(), end, &tail);
  if (!first) throw EngineError(err::kEmptyStatement, "The SQL statement is empty.");

  // SQLite stops at the first statement and ignores the rest; anything more than blanks,
  // semicolons and comments would be silently dropped, so it is refused.
  while (tail && tail < end) {
    const char* next = nullptr;
    Statement extra;
    try {
      extra = prepareFirst(connection, tail, end, &next);
    } catch (const EngineError&) {
      extra = Statement();
      next = nullptr;
    }
    if (extra || !next || next == tail)
      throw EngineError(err::kTrailingText, "Characters found after end of SQL statement.");
    tail = next;
  }
  return first;
}

Statement prepareInternal(Connection& connection, std::string_view sql) {
  connection.setInternal(true);
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(connection.handle(), sql.data(), static_cast<int>(sql.size()),
                                    &stmt, nullptr);
  connection.setInternal(false);
  Statement result(stmt);
  if (rc != SQLITE_OK) throw connection.lastError();
  return result;
}

}  // namespace engine
