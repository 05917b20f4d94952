#include "support/lockholder.h"

#include <stdexcept>
#include <utility>

#include <sqlite3.h>

namespace testsupport {

namespace {

void run(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    throw std::runtime_error(sqlite3_errmsg(db));  // the child's exit status reports it
}

}  // namespace

LockHolder::LockHolder(const std::string& path, bool onCue, std::string statement)
    : m_child([path, onCue, statement = std::move(statement)](const Channel& test) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
          throw std::runtime_error("cannot open " + path + ": " + sqlite3_errmsg(db));
        if (onCue) {
          // The test's own writes may hold the lock for a moment when the cue comes.
          sqlite3_busy_timeout(db, 60000);
          test.receive();
        }
        run(db, "BEGIN IMMEDIATE");
        if (!statement.empty()) run(db, statement);
        test.send('l');
        test.receive();
        run(db, "COMMIT");
        sqlite3_close(db);
      }) {}

void LockHolder::take() {
  m_child.channel().send('g');
  m_child.channel().receive();
}

}  // namespace testsupport
