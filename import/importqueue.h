#pragma once

// What the walker, the readers and the row writer of an import share: the files on their way
// from the walk to their rows, in walk order, and the state that passes between the threads.
// For the import's own files only.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "engine/utf8.h"
#include "importcounts.h"
#include "medium.h"
#include "songinfo.h"

namespace importer::pipeline {

class RequestThreads;

// Files waiting for their rows keep their folders open; a tree of one song per folder must not
// run the process out of descriptors.
inline constexpr int kMostFoldersInFlight = 64;
// Folders listed, and files opened, ahead at most, where the process may open enough.
inline constexpr std::size_t kMostFoldersAhead = 64;
inline constexpr std::size_t kMostOpenAhead = 96;

// A text as the catalogue stores it: cut at a NUL, valid UTF-8.
inline void storeText(std::string& out, std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  engine::assignValidUtf8(out, text);
}

// A file's stamp as the system describes it.
inline FileStamp stampOf(const struct stat& status) {
  const auto nanoseconds = [](const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
  };
  return {static_cast<std::int64_t>(status.st_size), nanoseconds(status.st_mtim),
          nanoseconds(status.st_ctim)};
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

  // Where the opening of the file stands: a request thread opens it ahead of the readers,
  // unless the reader that takes it comes first.
  enum class Opening { NotYet, Under, Done };
  // What the opening found.
  enum class Found { File, Gone, Special, Unopened };

  std::uint64_t serial = 0;  // its place in the walk
  std::shared_ptr<const FolderForFiles> folder;
  std::string name;
  std::string path;  // the folder's path, "/" and the name
  Opening opening = Opening::NotYet;
  Found found = Found::File;
  int openFd = -1;  // opened for the reader that reads it
  // Its status once open (or, in a rescan, as the walk saw it): the stamp before its reading.
  bool statusKnown = false;
  struct stat status {};
  SongInfo info;
  ReadFile file;      // what its rows get; a rescan's walker sets which row holds it
  bool done = false;  // read; the values are ready
};

// What the walker, the readers and the writer share. Everything but the atomics is guarded by
// `mutex`; so is a job's opening, though what an open finds is written without it by the one
// thread that opens the file, before it marks the opening done.
struct Shared {
  std::mutex mutex;
  std::condition_variable jobQueued;          // readers wait for work
  std::condition_variable jobRead;            // the writer waits for the next row
  std::condition_variable roomFreed;          // the walker waits while enough files are in flight
  std::condition_variable jobOpened;          // a reader waits for a file being opened for it
  std::condition_variable folderReady;        // the walker waits for a folder's listing
  std::deque<std::unique_ptr<FileJob>> jobs;  // listed and not yet written, in walk order
  std::vector<std::unique_ptr<FileJob>> spareJobs;
  std::size_t firstUntaken = 0;  // the first job no reader has taken
  std::uint64_t nextSerial = 0;
  bool walkDone = false;
  bool walkComplete = false;  // the walk reached its end, rather than stopping
  std::atomic<int> foldersInFlight{0};
  Medium* medium = &systemMedium();
  RequestThreads* requests = nullptr;  // while the import runs
  // Descriptors the import may hold beyond its folders with files in flight, set for each run
  // from what the process may open: folders listed ahead of the walk (each with a second
  // descriptor while its listing is read), and files opened ahead of the readers.
  std::size_t foldersAhead = kMostFoldersAhead;
  std::size_t openAhead = kMostOpenAhead;
  std::uint64_t nextToOpen = 0;         // the serial of the next file to open ahead
  std::size_t opensUnder = 0;           // files being opened ahead
  std::size_t openedAhead = 0;          // files opened ahead that no reader has taken yet
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
      // Under the lock: the threads may be ending with the run.
      wakeRequestThreads();
    }
    jobQueued.notify_all();
    jobRead.notify_all();
    roomFreed.notify_all();
    jobOpened.notify_all();
    folderReady.notify_all();
  }

  // Defined with the request threads.
  void wakeRequestThreads();

  // Takes back the job of a file whose row is written, for a later file, and wakes the walker
  // when it waits for room.
  void recycle(std::unique_ptr<FileJob> job, std::size_t filesInFlight) {
    job->folder.reset();
    bool wakeWalker = false;
    {
      std::lock_guard lock(mutex);
      spareJobs.push_back(std::move(job));
      wakeWalker = walkerWaiting && walkerMayResume(filesInFlight);
    }
    if (wakeWalker) roomFreed.notify_one();
  }

  void fail(std::exception_ptr error) {
    {
      std::lock_guard lock(mutex);
      if (!failure) failure = std::move(error);
    }
    shutDown();
  }
};

}  // namespace importer::pipeline
