#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace catalog {

// Folds the rows waiting for the filter's index into it (catchUpSearchIndex) on a thread of its
// own, with a read-write connection of its own: on a large index a slice's merge can take a
// tenth of a second, which the window must not stand still for, and a write on the window's
// connection first reads every view still reading to its end, which a filter of a common word
// at a million rows never is. Nothing here touches the engine, whose objects belong to the
// window's thread.
//
// It works while woken and not paused, a slice (one transaction) at a time, so that the
// window's own writes get in between; it sleeps once nothing waits. A slice that meets another
// connection's lock for longer than kLockWait, or fails, is tried again after a pause, and no
// one is told: the filter stays exact without the index, only slower.
class SearchIndexer {
 public:
  // Opens its connection on `catalogPath`. When the catalogue cannot be written or has no
  // index, available() is false and everything else does nothing.
  explicit SearchIndexer(const std::string& catalogPath);
  // Stops as stop() does.
  ~SearchIndexer();

  SearchIndexer(const SearchIndexer&) = delete;
  SearchIndexer& operator=(const SearchIndexer&) = delete;

  bool available() const { return m_db != nullptr; }

  // There may be rows to fold: the thread works until none waits.
  void wake();
  // While paused it begins no slice (an import's batches hold the write lock and must not wait
  // for it); a slice in progress ends first. Unpaused, it goes on where it was.
  void setPaused(bool paused);
  // Stops the thread: a slice in progress is abandoned at its next chunk of rows, or in the
  // middle of a statement, and rolled back, so that its rows still wait. Returns at once; the
  // destructor waits for the thread and closes the connection.
  void stop();

  // For tests and the benchmarks. Runs on the thread, inside a slice's transaction, after each
  // chunk of rows: a test holds the thread there.
  void setInSlice(std::function<void()> hook);
  // Runs on the thread after each slice with how many rows it handled, or -1 when it failed
  // and is to be tried again.
  void setAfterSlice(std::function<void(std::int64_t handled)> hook);
  // Waits until the thread has settled: every wake() taken in and nothing left to fold, or
  // paused with no slice in progress, or stopped. False when `limit` passed first.
  bool waitSettled(std::chrono::milliseconds limit) const;

  // How long a slice waits for another connection's write lock before it gives up.
  static constexpr std::chrono::milliseconds kLockWait{100};
  // The pause before a failed slice is tried again, doubled after each further failure up to
  // kLongestRetryPause: a full disk need not be tried four times a second.
  static constexpr std::chrono::milliseconds kRetryPause{250};
  static constexpr std::chrono::milliseconds kLongestRetryPause{8000};

 private:
  void run();
  // One slice; -1 when it failed.
  std::int64_t slice();
  bool settled() const;
  static int busy(void* self, int count);
  static int progress(void* self);

  sqlite3* m_db = nullptr;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  mutable std::condition_variable m_settled;
  std::uint64_t m_wakes = 0;  // wake() calls so far
  bool m_pending = false;     // rows may wait
  bool m_paused = false;
  bool m_working = false;  // a slice is in progress
  std::atomic<bool> m_stopping{false};
  std::function<void()> m_inSlice;
  std::function<void(std::int64_t)> m_afterSlice;
  std::thread m_thread;
};

}  // namespace catalog
