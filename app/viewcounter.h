#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct sqlite3;

// Counts a view's rows and adds up their lengths, and counts the catalogue's songs, on a thread
// of its own with a read-only connection of its own: at a million rows a count takes longer than
// the window may stand still while the user types. A newer request stops the one in progress;
// only the newest one's answer is sent.
class ViewCounter final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ViewCounter)

 public:
  struct Request {
    std::string viewSql;       // the view's query; empty: only the catalogue's songs are counted
    bool sumDuration = false;  // the view has the catalogue's Duration column
  };
  struct Result {
    std::uint64_t generation = 0;
    std::optional<std::int64_t> viewRows;  // nullopt when the view was not counted or failed
    std::optional<std::int64_t> seconds;   // the view's Duration added up
    std::optional<std::int64_t> songs;     // the catalogue's rows
  };

  // Opens its connection on `catalogPath` read-only. When that fails, available() is false and
  // requests are ignored: the window counts on its own thread instead.
  explicit ViewCounter(const std::string& catalogPath, QObject* parent = nullptr);
  ~ViewCounter() override;

  bool available() const { return m_db != nullptr; }

  // Asks for a count; returns the request's generation, which its answer carries.
  std::uint64_t count(Request request);

  // Runs on the counting thread before each count: tests hold the thread there.
  void setBeforeCount(std::function<void()> hook);

  // How long one count may run before it is given up.
  static constexpr int kTimeLimitSeconds = 60;

 signals:
  void counted(ViewCounter::Result result);

 private:
  void run();
  Result countNow(const Request& request, std::uint64_t generation);
  static bool superseded(void* self);

  sqlite3* m_db = nullptr;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::optional<Request> m_pending;
  std::function<void()> m_beforeCount;
  std::atomic<std::uint64_t> m_latest{0};
  std::atomic<bool> m_stopping{false};
  std::uint64_t m_running = 0;  // the generation being counted, on the counting thread
  std::chrono::steady_clock::time_point m_deadline;
  std::thread m_thread;
};

Q_DECLARE_METATYPE(ViewCounter::Result)
