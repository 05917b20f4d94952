#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

namespace engine {

class Recordset;

// One SQLite connection, with the engine's settings, Jet's like() and the statement guard.
// Shared by a Database handle and the record sets it opened; closes with the last of them.
class Connection {
 public:
  // Throws EngineError: kFileNotFound, kNotADatabase, or SQLite's code.
  static std::shared_ptr<Connection> open(const std::string& path);
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* handle() const { return m_db; }
  const std::string& path() const { return m_path; }

  // Why the guard refused the last statement; empty when it refused nothing.
  const std::string& refusal() const { return m_refusal; }
  void clearRefusal() { m_refusal.clear(); }

  // While set, the guard lets everything through: for SQL the engine writes itself.
  void setInternal(bool internal) { m_internal = internal; }

  // Throws kTransactionLeftOpen after rolling back, when a statement left a transaction open.
  void rollBackStrayTransaction();

 private:
  Connection(sqlite3* db, std::string path) : m_db(db), m_path(std::move(path)) {}
  static int authorize(void* self, int action, const char* a1, const char* a2, const char* db,
                       const char* trigger);

  sqlite3* m_db;
  std::string m_path;
  std::string m_refusal;
  bool m_internal = false;
};

// Record sets whose statement is still open. Before the engine writes on any connection it
// reads all of them to the end, so no read statement spans a write (an open reader would pin
// the WAL and could see rows written after it).
void registerReader(Recordset* recordset);
void unregisterReader(Recordset* recordset);
void finishAllReaders() noexcept;

}  // namespace engine
