#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace importer::pipeline {

struct Shared;

// Where the request threads find work: a request to make, taken with the import's mutex held
// and made with it released.
class RequestSource {
 public:
  virtual ~RequestSource() = default;
  // The next request, or an empty function when there is none to make now.
  virtual std::function<void()> take() = 0;
};

// The threads that make an import's requests of the medium: folder listings, the status of
// files and the opening of files ahead of the readers. A thread is added whenever a request
// waits while every thread is inside one and most of the latest requests took long, up to a
// limit: on a local disk a request takes microseconds and two threads serve, while on a network
// share each is a round trip of milliseconds and dozens wait on theirs at once. So the medium,
// not the number of cores, sets how many requests are in flight. (That every thread is inside
// a request tells nothing alone: on a busy processor a thread is inside one also while it waits
// for its turn to run.) Sources earlier in the list come first.
class RequestThreads {
 public:
  // Requests that take `slow` or longer, most of the latest, call for more threads; the first
  // threads start with begin().
  RequestThreads(Shared& shared, std::vector<RequestSource*> sources, std::size_t most,
                 std::chrono::microseconds slow);
  ~RequestThreads();
  RequestThreads(const RequestThreads&) = delete;
  RequestThreads& operator=(const RequestThreads&) = delete;

  // Starts the first threads, once the import can find them.
  void begin();
  // Tells the threads that there may be a request to make. Called with the mutex held.
  void arrived();
  // Wakes every thread after a stop; they return once their request is made.
  void wakeAll();
  // Ends every thread; the import has been told to stop. Safe to call twice.
  void joinAll();
  // Counts a request made elsewhere (a reader opening its own file), with the mutex held.
  void record(std::chrono::duration<double> took);
  // Whether requests take long enough that making them ahead on many threads pays, with the
  // mutex held: three in four of the latest took long, of at least four. On a share every
  // request is a round trip; on a local disk only one that waited for the processor is slow,
  // now and then.
  bool slow() const {
    return m_slowSeconds <= 0 ||
           (m_recorded >= kFewest && 4 * m_slowOfLatest >= 3 * std::min(m_recorded, kLatest));
  }
  // How many threads there are now, with the mutex held.
  std::size_t count() const { return m_threads.size(); }

 private:
  void serve();
  void start();
  void startThread();

  Shared& m_shared;
  const std::vector<RequestSource*> m_sources;
  const std::size_t m_most;
  static constexpr std::size_t kLatest = 16;
  static constexpr std::size_t kFewest = 4;
  std::size_t m_recorded = 0;
  const double m_slowSeconds;
  std::array<bool, kLatest> m_latest{};  // whether each of the latest requests took long
  std::size_t m_nextLatest = 0;
  std::size_t m_slowOfLatest = 0;
  std::vector<std::thread> m_threads;  // guarded by the mutex
  std::size_t m_idle = 0;
  std::condition_variable m_requestWaits;
};

}  // namespace importer::pipeline
