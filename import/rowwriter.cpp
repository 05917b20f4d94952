#include "rowwriter.h"

#include <mutex>
#include <utility>

#include "engine/engine.h"
#include "engine/errors.h"

namespace importer::pipeline {

namespace {

// How long the writing thread waits for the readers before it lets its window run again.
constexpr auto kLongestWait = std::chrono::milliseconds(10);
// How long before a row the window must have run for it to run again first.
constexpr auto kShortestPause = std::chrono::milliseconds(1);

}  // namespace

RowWriter::RowWriter(Shared& shared, const DatabaseSource& catalogue,
                     const Yield& letWindowRun, WalkFilter* filter)
    : m_shared(shared),
      m_letWindowRun(letWindowRun),
      m_filter(filter),
      m_shelf(
          catalogue, [this] { this->letWindowRun(); }, [&shared] { return shared.stop.load(); },
          [this](bool waiting) { setWaiting(waiting); }),
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
  m_shared.progress.counts += m_uncommitted;
  m_uncommitted = {};
}

void RowWriter::commit() {
  try {
    engine::commitOpenBatch();
  } catch (const engine::EngineError& error) {
    // A batch that fails as a whole (a full disk, a failed write of the log) is no one file's
    // fault: the error says how far the rows it took back went.
    if (m_lastInBatch.empty()) throw;
    const std::string last = std::move(m_lastInBatch);
    m_lastInBatch.clear();
    throw stoppedSavingUpTo(error, last, m_filter != nullptr);
  }
  m_lastInBatch.clear();
  countCommitted();
}

bool RowWriter::write(const FileJob& job) {
  // Gone since the listing, or no longer a file: no row.
  if (job.found == FileJob::Found::Gone) {
    ++m_uncommitted.entriesMissing;
    return true;
  }
  if (job.found == FileJob::Found::Special) {
    ++m_uncommitted.specialFiles;
    return true;
  }
  const ReadFile& file = job.file;
  try {
    if (file.rowId != 0) {
      // A rescan's known file that changed, or that the companion table did not describe. One
      // that cannot be read now (caught half copied, damaged) leaves its row as it is.
      if (!file.readable) {
        ++m_uncommitted.filesUnreadable;
        return true;
      }
      ShelfWriter::Change change;
      const ShelfWriter::Result result = m_shelf.refresh(file, change);
      if (result == ShelfWriter::Result::Stopped) return false;
      // A row that no longer holds the file (another program changed it) is left alone.
      if (result == ShelfWriter::Result::Written) {
        ++(change.fileChanged ? m_uncommitted.songsUpdated : m_uncommitted.songsUnchanged);
        m_uncommitted.editsKept += change.editsKept;
        countIfCut(m_uncommitted, file);
        m_lastInBatch.assign(job.path);
      }
      return true;
    }
    // A rescan keeps a file that may be a moved one until it knows; it counts once stored.
    if (m_filter && m_filter->holdBack(file)) return true;
    // A rescan adds a file only while no row holds it: another program may have meanwhile.
    const ShelfWriter::Result added = m_shelf.add(file, m_filter != nullptr);
    if (added == ShelfWriter::Result::Stopped) return false;
    if (added == ShelfWriter::Result::Missed) return true;
    ++m_uncommitted.songsAdded;
    if (!file.readable) ++m_uncommitted.filesUnreadable;
    countIfCut(m_uncommitted, file);
    m_lastInBatch.assign(job.path);
    return true;
  } catch (const engine::EngineError& error) {
    // The engine committed the rows before this one, unless they were lost with it.
    if (m_shelf.batchLost()) m_uncommitted = {};
    m_lastInBatch.clear();
    countCommitted();
    throw stoppedAt(error, job.path, m_filter != nullptr);
  }
}

}  // namespace importer::pipeline
