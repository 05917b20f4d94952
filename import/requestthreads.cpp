#include "requestthreads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>

#include "importqueue.h"

namespace importer::pipeline {

namespace {

// As the import's other helper threads: the window's thread comes first.
constexpr int kRequestThreadNice = 5;
// Two threads from the start, asleep until requests prove slow.
constexpr std::size_t kFirstThreads = 2;

}  // namespace

RequestThreads::RequestThreads(Shared& shared, std::vector<RequestSource*> sources,
                               std::size_t most, std::chrono::microseconds slow)
    : m_shared(shared),
      m_sources(std::move(sources)),
      m_most(std::max<std::size_t>(1, most)),
      m_slowSeconds(std::chrono::duration<double>(slow).count()) {}

void RequestThreads::begin() {
  std::unique_lock lock(m_shared.mutex);
  try {
    while (m_threads.size() < std::min(kFirstThreads, m_most)) start();
  } catch (...) {
    lock.unlock();
    m_shared.shutDown();
    joinAll();
    throw;
  }
}

RequestThreads::~RequestThreads() {
  m_shared.shutDown();
  joinAll();
}

void RequestThreads::record(std::chrono::duration<double> took) {
  const bool wasSlow = slow();
  const bool tookLong = took.count() >= m_slowSeconds;
  m_slowOfLatest += tookLong;
  m_slowOfLatest -= m_latest[m_nextLatest];
  m_latest[m_nextLatest] = tookLong;
  m_nextLatest = (m_nextLatest + 1) % kLatest;
  ++m_recorded;
  // The work the others left to the request threads' sources waits for them from now on.
  if (!wasSlow && slow()) m_requestWaits.notify_all();
}

void RequestThreads::start() {
  // One more thread only makes more requests go at once: the import goes on without it while
  // there is one.
  try {
    startThread();
  } catch (const std::system_error&) {
    if (m_threads.empty()) throw;
  }
}

void RequestThreads::startThread() {
  m_threads.emplace_back([this] {
    ::pthread_setname_np(::pthread_self(), "import request");
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kRequestThreadNice);
    try {
      serve();
    } catch (...) {
      m_shared.fail(std::current_exception());
    }
  });
}

void RequestThreads::arrived() {
  // On a fast medium the sources hand out nothing: the walk and the readers make their own
  // requests, and waking a thread for none would cost more than a request.
  if (m_shared.stop || !slow()) return;
  if (m_idle > 0) {
    m_requestWaits.notify_one();
    return;
  }
  // Every thread is waiting on a slow medium: one more goes, whether or not this one finds work
  // by the time it looks.
  if (m_threads.size() < m_most) start();
}

void RequestThreads::wakeAll() { m_requestWaits.notify_all(); }

void RequestThreads::joinAll() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(m_shared.mutex);
    threads.swap(m_threads);
  }
  m_requestWaits.notify_all();
  for (std::thread& thread : threads)
    if (thread.joinable()) thread.join();
}

void RequestThreads::serve() {
  std::unique_lock lock(m_shared.mutex);
  for (;;) {
    if (m_shared.stop) return;
    std::function<void()> request;
    for (RequestSource* source : m_sources)
      if ((request = source->take())) break;
    if (!request) {
      ++m_idle;
      m_requestWaits.wait(lock);
      --m_idle;
      continue;
    }
    // Whoever takes a request while no thread is idle sets one more looking for the next: work
    // known all at once (the sub-folders one listing found) arrives only once.
    if (m_idle == 0 && m_threads.size() < m_most && slow()) start();
    lock.unlock();
    const auto started = std::chrono::steady_clock::now();
    request();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    request = nullptr;  // what it held goes before the lock is taken again
    lock.lock();
    record(took);
  }
}

void Shared::wakeRequestThreads() {
  if (requests) requests->wakeAll();
}

}  // namespace importer::pipeline
