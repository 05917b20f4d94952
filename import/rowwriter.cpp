#include "rowwriter.h"

#include <mutex>
#include <utility>

#include "engine/engine.h"
#include "engine/errors.h"

namespace importer::pipeline {

namespace {

// One row per file. Every value is bound as text, as rows have always reached the catalogue;
// the columns' types turn the numbers into numbers.
constexpr const char* kInsertRow =
    "INSERT INTO music_shelf (Title, Artist, Album, Genre, Track, Filename, Duration, Bitrate, "
    "VBR) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

// How long the writing thread waits for the readers before it lets its window run again.
constexpr auto kLongestWait = std::chrono::milliseconds(10);
// How long before a row the window must have run for it to run again first.
constexpr auto kShortestPause = std::chrono::milliseconds(1);
// How long one try at a row waits for another program's lock before the window runs again.
constexpr auto kLockWaitPerTry = std::chrono::milliseconds(50);

}  // namespace

RowWriter::RowWriter(Shared& shared, const DatabaseSource& catalogue,
                     const Yield& letWindowRun)
    : m_shared(shared),
      m_catalogue(catalogue),
      m_letWindowRun(letWindowRun),
      m_lastYield(std::chrono::steady_clock::now() - kShortestPause) {}  // the window runs first

RowWriter::~RowWriter() = default;

void RowWriter::letWindowRun() {
  m_letWindowRun();
  m_lastYield = std::chrono::steady_clock::now();
}

bool RowWriter::windowRanJustNow() const {
  return std::chrono::steady_clock::now() - m_lastYield < kShortestPause;
}

bool RowWriter::nextIsReady() const {
  std::lock_guard lock(m_shared.mutex);
  return !m_shared.stop && !m_shared.jobs.empty() && m_shared.jobs.front()->done;
}

std::unique_ptr<FileJob> RowWriter::next() {
  Shared& shared = m_shared;
  std::unique_lock lock(shared.mutex);
  auto waitedSince = std::chrono::steady_clock::now();
  for (;;) {
    if (shared.stop) return nullptr;
    if (!shared.jobs.empty() && shared.jobs.front()->done) {
      std::unique_ptr<FileJob> job = std::move(shared.jobs.front());
      shared.jobs.pop_front();
      --shared.firstUntaken;
      return job;
    }
    if (shared.jobs.empty() && shared.walkDone) return nullptr;
    // The rows written so far are committed before the wait, not held back by a slow file.
    lock.unlock();
    commit();
    lock.lock();
    if (shared.stop || (!shared.jobs.empty() && shared.jobs.front()->done)) continue;
    shared.writerWaiting = true;
    shared.jobRead.wait_until(lock, waitedSince + kLongestWait);
    shared.writerWaiting = false;
    if (std::chrono::steady_clock::now() >= waitedSince + kLongestWait) {
      lock.unlock();
      letWindowRun();
      lock.lock();
      waitedSince = std::chrono::steady_clock::now();
    }
  }
}

void RowWriter::setWaiting(bool waiting) {
  std::lock_guard lock(m_shared.mutex);
  m_shared.progress.waitingForCatalogue = waiting;
}

void RowWriter::countCommitted() {
  std::lock_guard lock(m_shared.mutex);
  m_shared.progress.counts.songsAdded += m_uncommitted.songsAdded;
  m_shared.progress.counts.filesUnreadable += m_uncommitted.filesUnreadable;
  m_uncommitted = {};
}

void RowWriter::commit() {
  engine::commitOpenBatch();
  countCommitted();
}

bool RowWriter::write(const FileJob& job) {
  for (;;) {
    const std::shared_ptr<engine::Database> db = m_catalogue();
    if (!db || !db->isOpen()) {
      commit();
      throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
    }
    if (!m_insert || m_preparedOn.lock() != db) {
      m_insert.reset();
      m_insert = db->Prepare(kInsertRow);
      m_insert->setLockWait(kLockWaitPerTry);
      m_insert->setBatched(true);
      m_preparedOn = db;
    }
    for (std::size_t i = 0; i < job.values.size(); ++i)
      m_insert->bind(static_cast<int>(i + 1), job.values[i]);
    try {
      m_insert->Execute();
      setWaiting(false);
      ++m_uncommitted.songsAdded;
      if (!job.readable) ++m_uncommitted.filesUnreadable;
      return true;
    } catch (const engine::EngineError& error) {
      if (!engine::isLockTimeout(error)) {
        setWaiting(false);
        // The engine committed the rows before this one, unless they were lost with it.
        if (m_insert->batchLost()) m_uncommitted = {};
        countCommitted();
        throw;
      }
    }
    // Another program is writing, maybe for a long while: the window goes on meanwhile.
    setWaiting(true);
    letWindowRun();
    if (m_shared.stop) {
      setWaiting(false);
      return false;
    }
  }
}

}  // namespace importer::pipeline
