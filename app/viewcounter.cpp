#include "app/viewcounter.h"

#include <sqlite3.h>

#include <utility>

#include "engine/fileexists.h"
#include "engine/jetlike.h"
#include "engine/searchfold.h"
#include "engine/sqltext.h"

namespace {

std::optional<std::int64_t> countOf(sqlite3* db, const std::string& sql,
                                    std::optional<std::int64_t>* sum) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    return std::nullopt;
  }
  std::optional<std::int64_t> rows;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    rows = sqlite3_column_int64(stmt, 0);
    if (sum) {
      // A view of no rows, or of no lengths, lasts no time at all.
      const double total = sqlite3_column_double(stmt, 1);
      *sum = static_cast<std::int64_t>(total + 0.5);
    }
  }
  sqlite3_finalize(stmt);
  return rows;
}

}  // namespace

ViewCounter::ViewCounter(const std::string& catalogPath, QObject* parent) : QObject(parent) {
  qRegisterMetaType<ViewCounter::Result>();
  sqlite3* db = nullptr;
  // Its own connection, read-only: it never writes, and a reader of a catalogue in write-ahead
  // mode neither waits for the window's writes nor holds them up.
  if (sqlite3_open_v2(catalogPath.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK ||
      engine::registerJetLike(db, &ViewCounter::superseded, this) != SQLITE_OK ||
      engine::registerFileExists(db, &ViewCounter::superseded, this) != SQLITE_OK ||
      engine::registerSearchFunctions(db) != SQLITE_OK ||
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
    sqlite3_close_v2(db);
    return;
  }
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  sqlite3_progress_handler(
      db, 10000, [](void* self) { return superseded(self) ? 1 : 0; }, this);
  m_db = db;
  m_thread = std::thread([this] { run(); });
}

ViewCounter::~ViewCounter() {
  if (!m_db) return;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  m_thread.join();
  sqlite3_close_v2(m_db);
}

std::uint64_t ViewCounter::count(Request request) {
  if (!m_db) return 0;
  std::uint64_t generation;
  {
    std::lock_guard lock(m_mutex);
    generation = ++m_latest;
    m_pending = std::move(request);
  }
  m_wake.notify_all();
  return generation;
}

void ViewCounter::setBeforeCount(std::function<void()> hook) {
  std::lock_guard lock(m_mutex);
  m_beforeCount = std::move(hook);
}

bool ViewCounter::superseded(void* self) {
  auto* counter = static_cast<ViewCounter*>(self);
  return counter->m_stopping || counter->m_latest != counter->m_running ||
         std::chrono::steady_clock::now() > counter->m_deadline;
}

void ViewCounter::run() {
  for (;;) {
    Request request;
    std::function<void()> hook;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stopping || m_pending.has_value(); });
      if (m_stopping) return;
      request = std::move(*m_pending);
      m_pending.reset();
      m_running = m_latest;
      hook = m_beforeCount;
    }
    if (hook) hook();
    const std::uint64_t generation = m_running;
    m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeLimitSeconds);
    Result result = countNow(request, generation);
    if (m_stopping) return;
    if (m_latest != generation) continue;  // a newer request waits; its answer is the one to send
    QMetaObject::invokeMethod(
        this, [this, result] { emit counted(result); }, Qt::QueuedConnection);
  }
}

ViewCounter::Result ViewCounter::countNow(const Request& request, std::uint64_t generation) {
  Result result;
  result.generation = generation;
  result.songs = countOf(m_db, "SELECT count(*) FROM main.music_shelf", nullptr);
  if (request.viewSql.empty()) return result;
  // Without its order, which a count does not need, and without the semicolon or comment a
  // view may end with.
  const std::string inner = engine::asSubquery(
      engine::withoutFinalOrderBy(engine::withoutTrailingEnd(request.viewSql)));
  if (request.sumDuration) {
    std::optional<std::int64_t> seconds;
    result.viewRows = countOf(m_db, "SELECT count(*), total(Duration) FROM " + inner, &seconds);
    if (result.viewRows) result.seconds = seconds;
  } else {
    result.viewRows = countOf(m_db, "SELECT count(*) FROM " + inner, nullptr);
  }
  return result;
}
