#include "connection.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "errors.h"
#include "sqltext.h"
#include "jetlike.h"
#include "recordset.h"

namespace engine {

namespace {

constexpr int kBusyTimeoutMs = 5000;

// PRAGMAs that take an argument only to name what they describe; they change nothing.
constexpr std::array<std::string_view, 9> kDescribingPragmas = {
    "table_info",        "table_xinfo",     "index_info",      "index_xinfo", "index_list",
    "foreign_key_list",  "foreign_key_check", "integrity_check", "quick_check"};

// Looks at the file before SQLite does, so each kind of wrong file gets a message of its own.
void checkFile(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0)
    throw EngineError(err::kFileNotFound, "Could not find file '" + path + "'.");
  if (S_ISDIR(st.st_mode))
    throw EngineError(err::kNotADatabase, "'" + path + "' is a folder, not a catalogue file.");
  if (st.st_size == 0)
    throw EngineError(err::kNotADatabase,
                      "'" + path + "' is empty; it is not a catalogue database.");

  char header[32] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EngineError(SQLITE_CANTOPEN, "Could not open file '" + path + "'.");
  in.read(header, sizeof header);
  const std::string_view head(header, static_cast<std::size_t>(in.gcount()));
  const bool jet = head.size() >= 19 && head.substr(0, 4) == std::string_view("\0\1\0\0", 4) &&
                   (head.substr(4, 15) == "Standard Jet DB" ||
                    head.substr(4, 15) == "Standard ACE DB");
  if (jet)
    throw EngineError(err::kNotADatabase,
                      "'" + path +
                          "' is a Microsoft Access (Jet) database. QuollsongDB keeps its "
                          "catalogue in SQLite format; make a new catalogue with quollsong-mkdb.");
  if (head.size() < 16 || head.substr(0, 16) != std::string_view("SQLite format 3\0", 16))
    throw EngineError(err::kNotADatabase,
                      "'" + path + "' is not a catalogue database (unrecognized format).");
}

std::vector<Recordset*>& readers() {
  static std::vector<Recordset*> list;
  return list;
}

}  // namespace

std::shared_ptr<Connection> Connection::open(const std::string& path) {
  checkFile(path);
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  std::shared_ptr<Connection> connection(new Connection(db, path));
  if (rc != SQLITE_OK) {
    const int code = db ? sqlite3_extended_errcode(db) : rc;
    throw EngineError(code, std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + " ('" +
                                path + "')");
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  // The first real read of the file: a damaged file fails here, with its path in the message.
  char* message = nullptr;
  const int pragmaRc = sqlite3_exec(
      db, "PRAGMA synchronous=NORMAL; SELECT count(*) FROM sqlite_schema;", nullptr, nullptr,
      &message);
  if (pragmaRc != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errstr(pragmaRc);
    sqlite3_free(message);
    const int code = sqlite3_extended_errcode(db);
    if ((code & 0xFF) == SQLITE_NOTADB)
      throw EngineError(err::kNotADatabase,
                        "'" + path + "' is not a catalogue database (" + text + ").");
    throw EngineError(code, text + " ('" + path + "')");
  }
  int likeRc = registerJetLike(db);
  if (likeRc != SQLITE_OK) throw EngineError(likeRc, sqlite3_errstr(likeRc));
  sqlite3_set_authorizer(db, &Connection::authorize, connection.get());
  sqlite3_progress_handler(db, 10000, &Connection::progress, connection.get());
  return connection;
}

Connection::~Connection() {
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
  switch (action) {
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
      return refuse(
          "Transaction statements (BEGIN, COMMIT, ROLLBACK, SAVEPOINT, RELEASE) are not "
          "allowed: every statement is committed on its own.");
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      return refuse("ATTACH and DETACH are not allowed: the catalogue is the only database.");
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
  auto* connection = static_cast<Connection*>(self);
  if (std::chrono::steady_clock::now() < connection->m_deadline) return 0;
  connection->m_timedOut = true;
  return 1;  // SQLite stops the statement with SQLITE_INTERRUPT
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

Connection::Deadline::~Deadline() { m_connection.m_deadline = m_previous; }

EngineError Connection::lastError() const {
  const int code = sqlite3_extended_errcode(m_db);
  if (m_timedOut && (code & 0xFF) == SQLITE_INTERRUPT) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_timeLimit).count();
    return EngineError(code, "The statement was stopped after running for " +
                                 std::to_string(seconds) +
                                 " seconds. Narrow it down, for instance with WHERE or LIMIT.");
  }
  return EngineError(code, sqlite3_errmsg(m_db));
}

void Connection::rollBackStrayTransaction() {
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
