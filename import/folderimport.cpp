#include "folderimport.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/engine.h"
#include "folderwalker.h"
#include "importqueue.h"
#include "readerpool.h"
#include "requestthreads.h"
#include "rowwriter.h"
#include "shelffiles.h"

// The import is a short conductor over three parts, each in a file of its own: the walker
// (folderwalker), the reader threads (readerpool) and the row writer (rowwriter), which share
// the queue of files between them (importqueue).

namespace importer {

using namespace pipeline;

namespace {

// How much the walker and the readers give way to the window's thread.
constexpr int kHelperThreadNice = 5;

// Descriptors the process has open now.
std::size_t descriptorsOpen() {
  std::size_t open = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ++open;
    ::closedir(dir);
  }
  return open;
}

// How far the walk lists folders, and the request threads open files, ahead: as far as helps
// on a slow medium, within the descriptors the process may open. The folders whose files wait
// for their rows take up to kMostFoldersInFlight, the readers one each, the catalogue and the
// window a few more now and then.
void setDescriptorBudget(Shared& shared, unsigned readers) {
  // Besides what the window and the catalogue hold, one folder for every level of the tree.
  constexpr std::size_t kSpare = 24;
  rlimit limit{};
  std::size_t most = 1024;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    most = static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t taken = descriptorsOpen() + kMostFoldersInFlight + readers + kSpare;
  const std::size_t left = most > taken ? most - taken : 0;
  // A folder listed ahead holds two while its listing is read.
  shared.foldersAhead = std::clamp<std::size_t>(left / 4, 1, kMostFoldersAhead);
  shared.openAhead = std::clamp<std::size_t>(left / 2, 1, kMostOpenAhead);
}

}  // namespace

struct FolderImport::State : Shared {
  // A stop the caller asked for: the import's own end stops its threads too.
  std::atomic<bool> stopAsked{false};
};

FolderImport::FolderImport(Mp3InfoFactory factory) : FolderImport(std::move(factory), Options()) {}

FolderImport::FolderImport(Mp3InfoFactory factory, Options options)
    : m_factory(std::move(factory)), m_options(options), m_state(std::make_unique<State>()) {
  if (m_options.readers == 0) m_options.readers = std::max(1u, std::thread::hardware_concurrency());
  m_options.filesInFlight = std::max<std::size_t>(1, m_options.filesInFlight);
  m_components.resize(m_options.readers);
}

FolderImport::~FolderImport() = default;

void FolderImport::requestStop() {
  m_state->stopAsked = true;
  m_state->shutDown();
}

ImportProgress FolderImport::progress() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->progress;
}

bool FolderImport::stopRequested() const { return m_state->stopAsked; }

void FolderImport::addCounts(const ImportCounts& more) {
  std::lock_guard lock(m_state->mutex);
  m_state->progress.counts += more;
}

void FolderImport::setWaitingForCatalogue(bool waiting) {
  std::lock_guard lock(m_state->mutex);
  m_state->progress.waitingForCatalogue = waiting;
}

ImportEnd FolderImport::run(const std::string& folder, const DatabaseSource& catalogue,
                            const Yield& letWindowRun, WalkFilter* filter) {
  Shared& shared = *m_state;
  // Every row gets its companion row; a catalogue made before there was one gets the table.
  if (const std::shared_ptr<engine::Database> db = catalogue(); db && db->isOpen())
    ensureShelfFiles(*db);
  {
    std::lock_guard lock(shared.mutex);
    shared.jobs.clear();
    shared.firstUntaken = 0;
    shared.walkDone = false;
    shared.walkComplete = false;
    shared.idleReaders = 0;
    shared.writerWaiting = false;
    shared.walkerWaiting = false;
    shared.failure = nullptr;
    shared.stop = false;
    m_state->stopAsked = false;
    shared.progress = ImportProgress{{}, folder};
    shared.medium = m_options.medium ? m_options.medium : &systemMedium();
    setDescriptorBudget(shared, m_options.readers);
    shared.nextToOpen = 0;
    shared.opensUnder = 0;
    shared.openedAhead = 0;
  }

  // The walk and the opener hand their requests to the request threads, which must end before
  // either goes.
  Walker walker(shared, m_options.filesInFlight, filter);
  // The files the readers come to next are opened first; then what the walk needs, listings
  // and a rescan's look-ups; then the files further on.
  Opener soon(shared, 2 * m_options.readers);
  Opener opener(shared);
  RequestThreads requests(shared, {&soon, &walker, &opener}, m_options.mostRequests,
                          m_options.slowRequest);
  {
    std::lock_guard lock(shared.mutex);
    shared.requests = &requests;
  }
  requests.begin();
  std::vector<std::thread> threads;
  // However run() ends, every thread has ended before it returns, and the rows written are
  // committed (a failure on the way has been thrown already; a second one could not be told).
  struct Joiner {
    Shared& shared;
    std::vector<std::thread>& threads;
    RequestThreads& requests;
    void joinAll() {
      shared.shutDown();
      for (std::thread& thread : threads)
        if (thread.joinable()) thread.join();
      requests.joinAll();
    }
    ~Joiner() {
      try {
        engine::commitOpenBatch();
      } catch (...) {
      }
      joinAll();
      // The folders the unwritten files kept open close here.
      std::lock_guard lock(shared.mutex);
      shared.jobs.clear();
      shared.firstUntaken = 0;
      shared.requests = nullptr;
    }
  } joiner{shared, threads, requests};

  const auto guardedThread = [&shared](const char* name, auto work) {
    return [&shared, name, work] {
      ::pthread_setname_np(::pthread_self(), name);  // for top and debuggers
      // The window's thread, which writes the rows and draws, comes first when both want the
      // processor; on Linux the nice value is the thread's own.
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kHelperThreadNice);
      try {
        work();
      } catch (...) {
        shared.fail(std::current_exception());
      }
    };
  };
  threads.emplace_back(guardedThread("import walk", [&walker, &folder] { walker.run(folder); }));
  for (std::unique_ptr<Mp3Info>& component : m_components)
    threads.emplace_back(guardedThread(
        "import read", [&shared, &component, this] { readFiles(shared, component, m_factory); }));

  RowWriter writer(shared, catalogue, letWindowRun, filter);
  bool batchOpen = false;
  auto batchStarted = std::chrono::steady_clock::now();
  // A file taken from the queue whose row a stop kept from being written.
  bool rowLeftOut = false;
  // An error that stops the import names the file whose row it refused, or the last file of
  // the batch it took back (see RowWriter).
  for (;;) {
    std::unique_ptr<FileJob> job = writer.next();
    if (!job) break;
    if (!batchOpen) {
      // The window ran just after the last batch; it runs again before this one unless that
      // was a moment ago, since a second look at an empty event queue costs as much as the first.
      if (!writer.windowRanJustNow()) writer.letWindowRun();
      if (shared.stop) {
        rowLeftOut = true;
        break;
      }
      batchStarted = std::chrono::steady_clock::now();
    }

    batchOpen = true;
    if (!writer.write(*job)) {
      rowLeftOut = true;
      break;
    }
    shared.recycle(std::move(job), m_options.filesInFlight);
    // The batch goes on while the next row is ready and it is young; it is committed before
    // the window runs, so nothing the window does ever runs inside it.
    if (std::chrono::steady_clock::now() - batchStarted < m_options.longestBatch &&
        writer.nextIsReady())
      continue;
    batchOpen = false;
    writer.commit();
    writer.letWindowRun();
    if (shared.stop) break;
  }

  // The last rows, and those before a stop, are committed before run() returns.
  writer.commit();
  // The walker tells whether it saw the whole tree only once it has ended.
  joiner.joinAll();
  std::exception_ptr failure;
  bool finished = false;
  {
    std::lock_guard lock(shared.mutex);
    failure = shared.failure;
    // A stop that comes after the walk's end and the last row changes nothing.
    finished = shared.walkComplete && shared.jobs.empty() && !rowLeftOut;
  }
  if (failure) std::rethrow_exception(failure);
  return finished ? ImportEnd::Finished : ImportEnd::Stopped;
}

}  // namespace importer
