#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testsupport {

// Holds threads until `needed` of them wait here at the same time, then lets them and every
// later one through: a test proves that that many requests were in flight together without
// timing anything. The limit of each wait only keeps a broken test from hanging the suite; once
// one wait gives up, every other one does at once, and the caller reports the failure.
class Quorum {
 public:
  explicit Quorum(int needed) : m_needed(needed) {}

  // Waits until the quorum is or was reached. False when it was not within `limit`.
  bool arriveAndWait(std::chrono::milliseconds limit = std::chrono::minutes(1)) {
    std::unique_lock lock(m_mutex);
    ++m_waiting;
    m_mostWaiting = std::max(m_mostWaiting, m_waiting);
    if (m_waiting >= m_needed) m_reached = true;
    m_changed.notify_all();
    if (!m_changed.wait_for(lock, limit, [this] { return m_reached || m_gaveUp; })) m_gaveUp = true;
    --m_waiting;
    m_changed.notify_all();
    return m_reached;
  }

  // Waits, as the test's own thread, until the quorum is reached; false when it was not in time.
  bool waitReached(std::chrono::milliseconds limit = std::chrono::minutes(1)) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [this] { return m_reached; });
  }

  bool reached() const {
    std::lock_guard lock(m_mutex);
    return m_reached;
  }

  // The most threads that ever waited here at once: what a failure reports.
  int mostWaiting() const {
    std::lock_guard lock(m_mutex);
    return m_mostWaiting;
  }

 private:
  const int m_needed;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  int m_waiting = 0;
  int m_mostWaiting = 0;
  bool m_reached = false;
  bool m_gaveUp = false;
};

}  // namespace testsupport
