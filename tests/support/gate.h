#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testsupport {

// Holds threads at a chosen point until the test opens it, so that a test says where each
// thread stands rather than counting on how fast one runs. Once open it stays open.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(m_mutex);
      m_open = true;
    }
    m_opened.notify_all();
  }

  bool isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_open;
  }

  // Waits until the gate is open. The limit only keeps a broken test from hanging the suite:
  // false means nobody opened it in all that time, which the caller reports as a failure.
  bool wait(std::chrono::milliseconds limit = std::chrono::minutes(2)) const {
    std::unique_lock lock(m_mutex);
    return m_opened.wait_for(lock, limit, [this] { return m_open; });
  }

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_opened;
  bool m_open = false;
};

}  // namespace testsupport
