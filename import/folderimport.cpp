#include "folderimport.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/utf8.h"
#include "readmp3info.h"

namespace importer {

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

// How much the walker and the readers give way to the window's thread.
constexpr int kHelperThreadNice = 5;

// How many files ahead of itself a reader opens one for reading ahead.
constexpr std::size_t kReadAheadDistance = 32;

// Files waiting for their rows keep their folders open; a tree of one song per folder must not
// run the process out of descriptors.
constexpr int kMostFoldersInFlight = 64;

// A text as the catalogue stores it: cut at a NUL, valid UTF-8.
void storeText(std::string& out, std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  engine::assignValidUtf8(out, text);
}

void storeNumber(std::string& out, std::int32_t value) {
  char digits[16];
  out.assign(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

bool endsWithMp3(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'm' && (tail[2] | 0x20) == 'p' && tail[3] == '3';
}

// Opens a file and asks the system to start reading the parts its tags and audio frames are
// found in, so that they are in memory by the time a reader comes to it: on a cold disk the
// readers would otherwise wait for one file's reads after another. Returns the open file, or -1.
int openAhead(int folderFd, const std::string& name, off_t size) {
  constexpr off_t kHead = 64 * 1024;
  constexpr off_t kTail = 32 * 1024;
  const int fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  ::posix_fadvise(fd, 0, kHead, POSIX_FADV_WILLNEED);
  if (size > kHead) ::posix_fadvise(fd, std::max(kHead, size - kTail), kTail, POSIX_FADV_WILLNEED);
  return fd;
}

// One name in a folder, with its kind as the listing tells it (DT_UNKNOWN where it does not).
struct FolderEntry {
  std::string name;
  unsigned char type = DT_UNKNOWN;
  bool operator<(const FolderEntry& other) const { return name < other.name; }
};

// The entries of an open folder other than ".", ".." and hidden ones, in byte order of their
// names, so that imports are repeatable. False when the folder cannot be listed.
bool listFolder(int folderFd, std::vector<FolderEntry>& entries) {
  // The listing reads through a descriptor of its own; the folder's stays open for the
  // look-ups relative to it.
  const int listing = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
  if (listing < 0) return false;
  DIR* dir = ::fdopendir(listing);
  if (!dir) {
    ::close(listing);
    return false;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden entries
    entries.push_back({std::string(name), entry->d_type});
  }
  const bool complete = errno == 0;
  ::closedir(dir);
  std::sort(entries.begin(), entries.end());
  return complete;
}

// An open folder; closed once the walk and the last of its files are done with it.
class FolderFd {
 public:
  explicit FolderFd(int fd) : m_fd(fd) {}
  ~FolderFd() { ::close(m_fd); }
  FolderFd(const FolderFd&) = delete;
  FolderFd& operator=(const FolderFd&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// An open folder as its files' jobs hold it: counted while any of them waits for its row.
class FolderForFiles {
 public:
  FolderForFiles(std::shared_ptr<const FolderFd> folder, std::atomic<int>& inFlight)
      : m_folder(std::move(folder)), m_inFlight(inFlight) {
    ++m_inFlight;
  }
  ~FolderForFiles() { --m_inFlight; }
  FolderForFiles(const FolderForFiles&) = delete;
  FolderForFiles& operator=(const FolderForFiles&) = delete;
  int get() const { return m_folder->get(); }

 private:
  std::shared_ptr<const FolderFd> m_folder;
  std::atomic<int>& m_inFlight;
};

// One MP3 file on its way from the walk through a reader to its row. Written jobs are used
// again, with their strings' storage, so that a file costs the threads no allocations that
// another thread must free.
struct FileJob {
  FileJob() = default;
  ~FileJob() { closeFile(); }
  FileJob(const FileJob&) = delete;
  FileJob& operator=(const FileJob&) = delete;

  void closeFile() {
    if (openFd >= 0) ::close(openFd);
    openFd = -1;
  }

  std::uint64_t serial = 0;  // its place in the walk
  std::shared_ptr<const FolderForFiles> folder;
  std::string name;
  std::string path;  // the folder's path, "/" and the name
  off_t size = 0;
  int openFd = -1;  // opened ahead by a reader for the one that reads it
  SongInfo info;
  std::array<std::string, 9> values;  // the row, in the order of kInsertRow
  bool readable = false;
  bool done = false;  // read; the values are ready
};

// What the walker, the readers and the writer share. Everything but the atomics is guarded by
// `mutex`.
struct Shared {
  std::mutex mutex;
  std::condition_variable jobQueued;          // readers wait for work
  std::condition_variable jobRead;            // the writer waits for the next row
  std::condition_variable roomFreed;          // the walker waits while enough files are in flight
  std::deque<std::unique_ptr<FileJob>> jobs;  // listed and not yet written, in walk order
  std::vector<std::unique_ptr<FileJob>> spareJobs;
  std::size_t firstUntaken = 0;  // the first job no reader has taken
  std::uint64_t nextSerial = 0;
  bool walkDone = false;
  bool walkComplete = false;  // the walk reached its end, rather than stopping
  std::atomic<int> foldersInFlight{0};
  // Who is asleep: every wake-up costs a system call, so each side wakes the others only when
  // they wait for what it just did.
  int idleReaders = 0;
  bool writerWaiting = false;
  bool walkerWaiting = false;
  std::exception_ptr failure;  // what went wrong on a walker or reader thread
  std::atomic<bool> stop{false};
  ImportProgress progress;

  // Whether the walker, waiting for rows to be written, may queue files again: it waits until
  // half the files and folders in flight are written, not for each one.
  bool walkerMayResume(std::size_t filesInFlight) const {
    return stop || jobs.empty() ||
           (jobs.size() <= filesInFlight / 2 && foldersInFlight <= kMostFoldersInFlight / 2);
  }

  void count(std::int64_t ImportCounts::*counter) {
    std::lock_guard lock(mutex);
    ++(progress.counts.*counter);
  }

  // Ends every thread's work; they all return at their next look at the queue.
  void shutDown() {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    jobQueued.notify_all();
    jobRead.notify_all();
    roomFreed.notify_all();
  }

  void fail(std::exception_ptr error) {
    {
      std::lock_guard lock(mutex);
      if (!failure) failure = std::move(error);
    }
    shutDown();
  }
};

// Walks the tree depth first and queues its MP3 files in the order their rows are written.
class Walker {
 public:
  Walker(Shared& shared, std::size_t filesInFlight, WalkFilter* filter)
      : m_shared(shared), m_filesInFlight(filesInFlight), m_filter(filter) {}

  void run(const std::string& root) {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    bool complete = true;
    if (fd < 0) {
      m_shared.count(&ImportCounts::foldersUnreadable);
      reached(root, WalkFilter::Listing::Unreadable);
    } else {
      complete = walk(std::make_shared<const FolderFd>(fd), root);
    }
    {
      std::lock_guard lock(m_shared.mutex);
      m_shared.walkDone = true;
      m_shared.walkComplete = complete;
    }
    m_shared.jobQueued.notify_all();
    m_shared.jobRead.notify_all();
  }

 private:
  // False when the import stopped before the walk had looked at every entry below `path`.
  bool walk(const std::shared_ptr<const FolderFd>& folder, const std::string& path) {
    // A linked folder is walked once, and a link that leads back up the tree ends here.
    struct stat self {};
    if (::fstat(folder->get(), &self) != 0) {
      m_shared.count(&ImportCounts::foldersUnreadable);
      reached(path, WalkFilter::Listing::Unreadable);
      return true;
    }
    if (!m_walked.emplace(self.st_dev, self.st_ino).second) return true;
    {
      std::lock_guard lock(m_shared.mutex);
      m_shared.progress.folder = path;
    }

    std::vector<FolderEntry> entries;
    if (!listFolder(folder->get(), entries)) {
      m_shared.count(&ImportCounts::foldersUnreadable);
      reached(path, WalkFilter::Listing::Unreadable);
      return true;
    }
    reached(path, entries.empty() ? WalkFilter::Listing::Empty : WalkFilter::Listing::Listed);
    const std::string prefix = path + "/";
    // The folder's part of its files' stored paths; a name's own part follows the "/".
    const std::string storedPrefix = m_filter ? storedPath(prefix) : std::string();
    std::vector<std::string> subfolders;
    std::shared_ptr<const FolderForFiles> forFiles;  // made with the folder's first MP3 file
    for (auto& [name, type] : entries) {
      if (m_shared.stop) return false;
      // What the listing already tells needs no look-up: folders, and files of other kinds.
      if (type == DT_DIR) {
        subfolders.push_back(std::move(name));
        continue;
      }
      if (type == DT_REG && !endsWithMp3(name)) continue;
      // A file a row already holds needs no second look.
      if (type == DT_REG && isCatalogued(storedPrefix, name)) continue;
      // Follows links: an entry gone since the listing, or a broken link, fails here.
      struct stat entry {};
      if (::fstatat(folder->get(), name.c_str(), &entry, 0) != 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        m_shared.count(missing ? &ImportCounts::entriesMissing : &ImportCounts::entriesUnreadable);
        // A link may have led to a folder on a disk that is not there now.
        if (type != DT_REG) reached(prefix + name, WalkFilter::Listing::Unreadable);
        continue;
      }
      if (S_ISDIR(entry.st_mode)) {
        subfolders.push_back(std::move(name));
        continue;
      }
      if (!endsWithMp3(name)) continue;
      // Sockets, devices and pipes: a pipe would block a reader for ever.
      if (!S_ISREG(entry.st_mode)) {
        m_shared.count(&ImportCounts::specialFiles);
        continue;
      }
      if (type != DT_REG && isCatalogued(storedPrefix, name)) continue;
      if (!forFiles)
        forFiles = std::make_shared<const FolderForFiles>(folder, m_shared.foldersInFlight);
      if (!queue(forFiles, prefix, name, entry.st_size)) return false;
    }
    forFiles.reset();  // the folder's files hold it from here on

    for (const std::string& name : subfolders) {
      if (m_shared.stop) return false;
      const int fd =
          ::openat(folder->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
      if (fd < 0) {
        m_shared.count(errno == ENOENT ? &ImportCounts::entriesMissing
                                       : &ImportCounts::foldersUnreadable);
        reached(prefix + name, WalkFilter::Listing::Unreadable);
        continue;
      }
      if (!walk(std::make_shared<const FolderFd>(fd), prefix + name)) return false;
    }
    return true;
  }

  // Queues the file `name` of `folder`. False when the import stopped while it waited for room.
  bool queue(const std::shared_ptr<const FolderForFiles>& folder, const std::string& prefix,
             const std::string& name, off_t size) {
    bool wakeReader = false;
    {
      std::unique_lock lock(m_shared.mutex);
      if (m_shared.jobs.size() >= m_filesInFlight ||
          m_shared.foldersInFlight > kMostFoldersInFlight) {
        m_shared.walkerWaiting = true;
        m_shared.roomFreed.wait(lock, [&] { return m_shared.walkerMayResume(m_filesInFlight); });
        m_shared.walkerWaiting = false;
      }
      if (m_shared.stop) return false;
      std::unique_ptr<FileJob> job;
      if (m_shared.spareJobs.empty()) {
        job = std::make_unique<FileJob>();
      } else {
        job = std::move(m_shared.spareJobs.back());
        m_shared.spareJobs.pop_back();
      }
      job->serial = m_shared.nextSerial++;
      job->folder = folder;
      job->name.assign(name);
      job->path.assign(prefix).append(name);
      job->size = size;
      job->done = false;
      m_shared.jobs.push_back(std::move(job));
      wakeReader = m_shared.idleReaders > 0;
    }
    if (wakeReader) m_shared.jobQueued.notify_one();
    return true;
  }

  void reached(const std::string& path, WalkFilter::Listing listing) {
    if (m_filter) m_filter->folderReached(storedPath(path), listing);
  }

  // Whether the filter knows the file `name` of the folder whose stored prefix is given; such a
  // file is counted unchanged.
  bool isCatalogued(const std::string& storedPrefix, const std::string& name) {
    if (!m_filter) return false;
    m_stored.assign(storedPrefix);
    m_stored.append(storedPath(name));
    if (!m_filter->isCatalogued(m_stored)) return false;
    m_shared.count(&ImportCounts::songsUnchanged);
    return true;
  }

  Shared& m_shared;
  const std::size_t m_filesInFlight;
  WalkFilter* const m_filter;
  std::string m_stored;  // reused for every file's stored path
  std::set<std::pair<dev_t, ino_t>> m_walked;
};

// Reads the queued files' tags, one file at a time, until the walk is done or the import stops.
void readFiles(Shared& shared, std::unique_ptr<Mp3Info>& component, const Mp3InfoFactory& factory) {
  for (;;) {
    FileJob* job = nullptr;
    int openFd = -1;
    // A file further on, to open ahead: its place and where it is.
    std::uint64_t aheadSerial = 0;
    std::shared_ptr<const FolderForFiles> aheadFolder;
    std::string aheadName;
    off_t aheadSize = 0;
    {
      std::unique_lock lock(shared.mutex);
      ++shared.idleReaders;
      shared.jobQueued.wait(lock, [&] {
        return shared.stop || shared.firstUntaken < shared.jobs.size() || shared.walkDone;
      });
      --shared.idleReaders;
      if (shared.stop || shared.firstUntaken == shared.jobs.size()) return;
      const std::size_t taken = shared.firstUntaken++;
      job = shared.jobs[taken].get();
      std::swap(openFd, job->openFd);
      // Every file but the first few is opened ahead once, by the reader that takes the file
      // so many places before it.
      if (taken + kReadAheadDistance < shared.jobs.size()) {
        const FileJob& ahead = *shared.jobs[taken + kReadAheadDistance];
        aheadSerial = ahead.serial;
        aheadFolder = ahead.folder;
        aheadName = ahead.name;
        aheadSize = ahead.size;
      }
    }
    if (aheadFolder) {
      const int fd = openAhead(aheadFolder->get(), aheadName, aheadSize);
      std::lock_guard lock(shared.mutex);
      // Still waiting for a reader? Written jobs are used again for other files.
      const std::uint64_t first = shared.jobs.empty() ? 0 : shared.jobs.front()->serial;
      const std::uint64_t index = aheadSerial - first;
      if (fd >= 0 && !shared.jobs.empty() && aheadSerial >= first && index < shared.jobs.size() &&
          index >= shared.firstUntaken && shared.jobs[index]->openFd < 0)
        shared.jobs[index]->openFd = fd;
      else if (fd >= 0)
        ::close(fd);
    }
    SongInfo& info = job->info;
    ReadMp3Info(job->folder->get(), job->name, job->path, openFd, info, component, factory);
    if (openFd >= 0) ::close(openFd);
    auto& values = job->values;
    storeText(values[0], info.Title);
    storeText(values[1], info.Artist);
    storeText(values[2], info.Album);
    storeText(values[3], info.Genre);
    storeText(values[4], info.Track);
    storeText(values[5], job->path);
    storeNumber(values[6], info.Duration);
    storeNumber(values[7], info.Bitrate);
    values[8].assign(info.VBR ? "True" : "False");
    // The component answers bit rate 0 for a file it cannot read, -1 when it failed.
    job->readable = info.Bitrate > 0;
    bool wakeWriter = false;
    {
      std::lock_guard lock(shared.mutex);
      job->done = true;
      wakeWriter = shared.writerWaiting && shared.jobs.front().get() == job;
    }
    if (wakeWriter) shared.jobRead.notify_one();
  }
}

// The next file whose row can be written, in walk order; null once every file is written or
// the import stops. Lets the window run while it waits.
bool nextRowIsReady(Shared& shared) {
  std::lock_guard lock(shared.mutex);
  return !shared.stop && !shared.jobs.empty() && shared.jobs.front()->done;
}

// `commitRows` commits the rows written so far; it runs before the wait for the next one.
std::unique_ptr<FileJob> nextRow(Shared& shared, const FolderImport::Yield& letWindowRun,
                                 const std::function<void()>& commitRows) {
  std::unique_lock lock(shared.mutex);
  auto lastYield = std::chrono::steady_clock::now();
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
    commitRows();
    lock.lock();
    if (shared.stop || (!shared.jobs.empty() && shared.jobs.front()->done)) continue;
    shared.writerWaiting = true;
    shared.jobRead.wait_until(lock, lastYield + kLongestWait);
    shared.writerWaiting = false;
    if (std::chrono::steady_clock::now() >= lastYield + kLongestWait) {
      lock.unlock();
      letWindowRun();
      lock.lock();
      lastYield = std::chrono::steady_clock::now();
    }
  }
}

}  // namespace

std::string storedPath(std::string_view path) {
  std::string stored;
  storeText(stored, path);
  return stored;
}

struct FolderImport::State : Shared {};

FolderImport::FolderImport(Mp3InfoFactory factory) : FolderImport(std::move(factory), Options()) {}

FolderImport::FolderImport(Mp3InfoFactory factory, Options options)
    : m_factory(std::move(factory)), m_options(options), m_state(std::make_unique<State>()) {
  if (m_options.readers == 0) m_options.readers = std::max(1u, std::thread::hardware_concurrency());
  m_options.filesInFlight = std::max<std::size_t>(1, m_options.filesInFlight);
  m_components.resize(m_options.readers);
}

FolderImport::~FolderImport() = default;

void FolderImport::requestStop() { m_state->shutDown(); }

ImportProgress FolderImport::progress() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->progress;
}

ImportEnd FolderImport::run(const std::string& folder, const DatabaseSource& catalogue,
                            const Yield& letWindowRun, WalkFilter* filter) {
  Shared& shared = *m_state;
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
    shared.progress = ImportProgress{{}, folder};
  }

  std::vector<std::thread> threads;
  // However run() ends, every thread has ended before it returns, and the rows written are
  // committed (a failure on the way has been thrown already; a second one could not be told).
  struct Joiner {
    Shared& shared;
    std::vector<std::thread>& threads;
    void joinAll() {
      shared.shutDown();
      for (std::thread& thread : threads)
        if (thread.joinable()) thread.join();
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
    }
  } joiner{shared, threads};

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
  threads.emplace_back(guardedThread("import walk", [&shared, this, &folder, filter] {
    Walker(shared, m_options.filesInFlight, filter).run(folder);
  }));
  for (std::unique_ptr<Mp3Info>& component : m_components)
    threads.emplace_back(guardedThread(
        "import read", [&shared, &component, this] { readFiles(shared, component, m_factory); }));

  std::unique_ptr<engine::PreparedStatement> insert;
  std::weak_ptr<engine::Database> preparedOn;
  bool batchOpen = false;
  auto batchStarted = std::chrono::steady_clock::now();
  auto lastYield = std::chrono::steady_clock::now() - kShortestPause;  // the window runs first
  const FolderImport::Yield yieldNow = [&] {
    letWindowRun();
    lastYield = std::chrono::steady_clock::now();
  };
  const auto setWaiting = [&shared](bool waiting) {
    std::lock_guard lock(shared.mutex);
    shared.progress.waitingForCatalogue = waiting;
  };
  // Writes one row; false when a stop came while another program held the catalogue.
  // Rows written in the open batch count once it is committed: a batch SQLite rolls back whole
  // (a full disk) leaves nothing to count.
  ImportCounts uncommitted;
  const auto countCommitted = [&] {
    std::lock_guard lock(shared.mutex);
    shared.progress.counts.songsAdded += uncommitted.songsAdded;
    shared.progress.counts.filesUnreadable += uncommitted.filesUnreadable;
    uncommitted = {};
  };
  const auto commitRows = [&] {
    engine::commitOpenBatch();
    countCommitted();
  };
  const auto writeRow = [&](const FileJob& job) {
    for (;;) {
      const std::shared_ptr<engine::Database> db = catalogue();
      if (!db || !db->isOpen()) {
        commitRows();
        throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
      }
      if (!insert || preparedOn.lock() != db) {
        insert.reset();
        insert = db->Prepare(kInsertRow);
        insert->setLockWait(kLockWaitPerTry);
        insert->setBatched(true);
        preparedOn = db;
      }
      for (std::size_t i = 0; i < job.values.size(); ++i)
        insert->bind(static_cast<int>(i + 1), job.values[i]);
      try {
        insert->Execute();
        setWaiting(false);
        return true;
      } catch (const engine::EngineError& error) {
        if (!engine::isLockTimeout(error)) {
          setWaiting(false);
          // The engine committed the rows before this one, unless they were lost with it.
          if (insert->batchLost()) uncommitted = {};
          countCommitted();
          throw;
        }
      }
      // Another program is writing, maybe for a long while: the window goes on meanwhile.
      setWaiting(true);
      yieldNow();
      if (shared.stop) {
        setWaiting(false);
        return false;
      }
    }
  };
  // A file taken from the queue whose row a stop kept from being written.
  bool rowLeftOut = false;
  for (;;) {
    std::unique_ptr<FileJob> job = nextRow(shared, yieldNow, commitRows);
    if (!job) break;
    if (!batchOpen) {
      // The window ran just after the last batch; it runs again before this one unless that
      // was a moment ago, since a second look at an empty event queue costs as much as the first.
      if (std::chrono::steady_clock::now() - lastYield >= kShortestPause) yieldNow();
      if (shared.stop) {
        rowLeftOut = true;
        break;
      }
      batchStarted = std::chrono::steady_clock::now();
    }

    batchOpen = true;
    if (!writeRow(*job)) {
      rowLeftOut = true;
      break;
    }
    job->folder.reset();
    bool wakeWalker = false;
    ++uncommitted.songsAdded;
    if (!job->readable) ++uncommitted.filesUnreadable;
    {
      std::lock_guard lock(shared.mutex);
      shared.spareJobs.push_back(std::move(job));
      wakeWalker = shared.walkerWaiting && shared.walkerMayResume(m_options.filesInFlight);
    }
    if (wakeWalker) shared.roomFreed.notify_one();
    // The batch goes on while the next row is ready and it is young; it is committed before
    // the window runs, so nothing the window does ever runs inside it.
    if (std::chrono::steady_clock::now() - batchStarted < m_options.longestBatch &&
        nextRowIsReady(shared))
      continue;
    batchOpen = false;
    commitRows();
    yieldNow();
    if (shared.stop) break;
  }

  // The last rows, and those before a stop, are committed before run() returns.
  commitRows();
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
