#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <utility>

namespace engine {

class Connection;

// Throws EngineError with SQLite's extended code and the connection's message when rc is not OK.
void check(sqlite3* db, int rc);

// A prepared statement; finalized when it goes. Non-copyable, movable.
class Statement {
 public:
  Statement() = default;
  explicit Statement(sqlite3_stmt* stmt) : m_stmt(stmt) {}
  ~Statement() { sqlite3_finalize(m_stmt); }
  Statement(Statement&& other) noexcept : m_stmt(other.m_stmt) { other.m_stmt = nullptr; }
  Statement& operator=(Statement&& other) noexcept {
    std::swap(m_stmt, other.m_stmt);
    return *this;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  sqlite3_stmt* get() const { return m_stmt; }
  explicit operator bool() const { return m_stmt != nullptr; }

 private:
  sqlite3_stmt* m_stmt = nullptr;
};

// Prepares the one statement in `sql`. Blanks, semicolons and comments may follow it; anything
// else is refused (kTrailingText), since SQLite would silently ignore it. Throws EngineError:
// kEmptyStatement, kTrailingText, kStatementRefused, or SQLite's code.
Statement prepareOne(Connection& connection, std::string_view sql);

// Prepares internal SQL that the engine itself wrote (no authorizer limits apply).
Statement prepareInternal(Connection& connection, std::string_view sql);

}  // namespace engine
