#include "searchindexer.h"

#include <sqlite3.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "engine/searchfold.h"
#include "searchindex.h"

namespace catalog {

namespace {

// Rows a slice may take at most; it takes fewer when the last slices were slow, so that it holds
// the write lock only some fifteen milliseconds.
constexpr std::size_t kSliceRows = 400;
// Virtual machine steps between looks at the stop flag: well under a millisecond.
constexpr int kProgressSteps = 1000;
constexpr int kLockStepMs = 5;

// The slice was given up because the indexer stops.
struct Stopped {};

}  // namespace

SearchIndexer::SearchIndexer(const std::string& catalogPath) {
  sqlite3* db = nullptr;
  // Like the engine's connection: nothing in the file (a view, a trigger another program wrote)
  // may reach native code or write behind SQLite's back.
  const std::pair<int, int> settings[] = {{SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0},
                                          {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0},
                                          {SQLITE_DBCONFIG_DEFENSIVE, 1},
                                          {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0}};
  bool usable = sqlite3_open_v2(catalogPath.c_str(), &db,
                                SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK;
  for (const auto& [option, value] : settings) {
    int now = -1;
    usable = usable && sqlite3_db_config(db, option, value, &now) == SQLITE_OK && now == value;
  }
  usable = usable && engine::registerSearchFunctions(db) == SQLITE_OK &&
           sqlite3_db_readonly(db, "main") == 0;
  try {
    usable = usable && hasSearchIndex(db);
  } catch (const std::exception&) {
    usable = false;  // not a catalogue SQLite can read
  }
  if (!usable) {
    sqlite3_close_v2(db);
    return;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_handler(db, &SearchIndexer::busy, this);
  sqlite3_progress_handler(db, kProgressSteps, &SearchIndexer::progress, this);
  m_db = db;
  m_thread = std::thread([this] { run(); });
}

SearchIndexer::~SearchIndexer() {
  if (!m_db) return;
  stop();
  m_thread.join();
  sqlite3_close_v2(m_db);
}

void SearchIndexer::wake() {
  if (!m_db) return;
  {
    std::lock_guard lock(m_mutex);
    ++m_wakes;
    m_pending = true;
  }
  m_wake.notify_all();
}

void SearchIndexer::setPaused(bool paused) {
  if (!m_db) return;
  {
    std::lock_guard lock(m_mutex);
    m_paused = paused;
  }
  m_wake.notify_all();
  m_settled.notify_all();
}

void SearchIndexer::stop() {
  if (!m_db) return;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  // A statement in progress stops at its next step; one that has not begun fails at once.
  sqlite3_interrupt(m_db);
  m_wake.notify_all();
  m_settled.notify_all();
}

void SearchIndexer::setInSlice(std::function<void()> hook) {
  std::lock_guard lock(m_mutex);
  m_inSlice = std::move(hook);
}

void SearchIndexer::setAfterSlice(std::function<void(std::int64_t)> hook) {
  std::lock_guard lock(m_mutex);
  m_afterSlice = std::move(hook);
}

bool SearchIndexer::settled() const {
  return m_stopping || (!m_working && (m_paused || !m_pending));
}

bool SearchIndexer::waitSettled(std::chrono::milliseconds limit) const {
  if (!m_db) return true;
  std::unique_lock lock(m_mutex);
  return m_settled.wait_for(lock, limit, [this] { return settled(); });
}

int SearchIndexer::busy(void* self, int count) {
  const auto* indexer = static_cast<SearchIndexer*>(self);
  if (indexer->m_stopping || count * kLockStepMs >= kLockWait.count()) return 0;
  sqlite3_sleep(kLockStepMs);
  return 1;
}

int SearchIndexer::progress(void* self) {
  return static_cast<SearchIndexer*>(self)->m_stopping ? 1 : 0;
}

void SearchIndexer::run() {
  std::chrono::milliseconds retryPause{0};
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stopping || (m_pending && !m_paused); });
    if (m_stopping) return;
    const std::uint64_t wakes = m_wakes;
    m_working = true;
    const std::function<void(std::int64_t)> afterSlice = m_afterSlice;
    lock.unlock();
    const std::int64_t handled = slice();
    if (afterSlice) afterSlice(handled);
    lock.lock();
    m_working = false;
    // A wake() during a slice that found nothing may have come after its look at the queue.
    if (handled == 0 && m_wakes == wakes) m_pending = false;
    m_settled.notify_all();
    if (handled >= 0) {
      retryPause = std::chrono::milliseconds{0};
      continue;
    }
    retryPause = std::clamp(retryPause * 2, kRetryPause, kLongestRetryPause);
    m_wake.wait_for(lock, retryPause, [this] { return m_stopping.load(); });
  }
}

std::int64_t SearchIndexer::slice() {
  std::function<void()> inSlice;
  {
    std::lock_guard lock(m_mutex);
    inSlice = m_inSlice;
  }
  const std::function<void()> betweenChunks = [&] {
    if (inSlice) inSlice();
    if (m_stopping) throw Stopped{};
  };
  try {
    return static_cast<std::int64_t>(catchUpSearchIndex(m_db, kSliceRows, betweenChunks));
  } catch (const Stopped&) {
    return -1;
  } catch (const std::exception&) {
    // Another connection held the lock, say: the rows still wait, and the filter checks them
    // itself meanwhile.
    return -1;
  }
}

}  // namespace catalog
