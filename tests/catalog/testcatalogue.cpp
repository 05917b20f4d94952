#include "testcatalogue.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

#include "schema.h"

namespace testcatalogue {

namespace {

struct Closer {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using Handle = std::unique_ptr<sqlite3, Closer>;

Handle open(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  Handle handle(db);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + path + ": " + sqlite3_errstr(rc));
  // The window's filter indexer writes on a thread of its own: a test's write waits for its
  // slice to end rather than fail.
  sqlite3_busy_timeout(db, 60000);
  return handle;
}

void exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw std::runtime_error(text + " in: " + sql);
  }
}

}  // namespace

void make(const std::string& path, const std::string& extraSql) {
  Handle db = open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  exec(db.get(), std::string("PRAGMA journal_mode=WAL;") + kCatalogueSchema);
  if (!extraSql.empty()) exec(db.get(), extraSql);
}

void makePlain(const std::string& path, const std::string& sql) {
  Handle db = open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  exec(db.get(), sql);
}

void run(const std::string& path, const std::string& sql) {
  Handle db = open(path, SQLITE_OPEN_READWRITE);
  exec(db.get(), sql);
}

std::vector<std::vector<std::string>> rows(const std::string& path, const std::string& sql) {
  Handle db = open(path, SQLITE_OPEN_READONLY);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string(sqlite3_errmsg(db.get())) + " in: " + sql);
  std::vector<std::vector<std::string>> result;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
      row.emplace_back(sqlite3_column_type(stmt, c) == SQLITE_NULL ? "NULL" : text);
    }
    result.push_back(std::move(row));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw std::runtime_error(std::string(sqlite3_errstr(rc)) + " in: " + sql);
  return result;
}

std::string scalar(const std::string& path, const std::string& sql) {
  const auto result = rows(path, sql);
  if (result.empty() || result.front().empty()) throw std::runtime_error("no value: " + sql);
  return result.front().front();
}

void addSongs(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& titlesAndArtists) {
  Handle db = open(path, SQLITE_OPEN_READWRITE);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db.get(), "INSERT INTO music_shelf (Title, Artist) VALUES (?1, ?2)", -1,
                     &stmt, nullptr);
  exec(db.get(), "BEGIN");
  for (const auto& [title, artist] : titlesAndArtists) {
    sqlite3_bind_text(stmt, 1, title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, artist.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  exec(db.get(), "COMMIT");
}

}  // namespace testcatalogue
