#include "readerpool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>

#include "readmp3info.h"
#include "shelfwriter.h"

namespace importer::pipeline {

namespace {

void storeNumber(std::string& out, std::int32_t value) {
  char digits[16];
  out.assign(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// How a file is opened: for its reader at once; ahead of it on a local disk, asking the system
// to fetch the parts it will read; or ahead on a slow medium, waiting for them too.
enum class Fetch { None, Ask, AskAndWait };

// How many files ahead of itself a reader opens one on a local disk, for a cold disk to fetch.
constexpr std::size_t kReadAheadDistance = 32;

// Opens a job's file and learns its status. Opening it ahead of its reader, it also has the
// system read the parts its tags, its audio frames and the stretches of its audio identity are
// found in, and on a slow medium waits for the first bytes of each: the reader that takes the
// file then finds them in memory rather than wait for one round trip after another on its own.
// Without the lock.
void openFile(Shared& shared, FileJob& job, Fetch fetch) {
  Medium& medium = *shared.medium;
  constexpr off_t kHead = 64 * 1024;
  constexpr off_t kLongestHead = 16 * 1024 * 1024;
  // What the opener waits for of a long tag: the reader waits for the rest, if the import is
  // still going on by then, rather than a Cancel wait for every opener's.
  constexpr off_t kLongestWait = 1024 * 1024;
  constexpr off_t kTail = 32 * 1024;
  // The middle stretch lies half way through the audio, near enough the file's middle.
  constexpr off_t kMiddle = 32 * 1024;
  const int fd = medium.openFile(job.folder->get(), job.name.c_str());
  if (fd < 0) {
    const int error = errno;
    // Gone since the listing: no row. Any other refusal (no permission) gives the file the row
    // of one that cannot be read, as the reader would.
    job.found = error == ENOENT || error == ENOTDIR ? FileJob::Found::Gone
                                                     : FileJob::Found::Unopened;
    // A file that may not be read keeps its stamp, so that a rescan passes it over while it
    // stays as it is.
    if (job.found == FileJob::Found::Unopened && !job.statusKnown)
      job.statusKnown = medium.statAt(job.folder->get(), job.name.c_str(), job.status) == 0;
    return;
  }
  struct stat status {};
  if (medium.statOpen(fd, status) != 0) {
    job.statusKnown = false;
    job.openFd = fd;
    return;
  }
  // Replaced by a pipe, a device or a folder since the listing.
  if (!S_ISREG(status.st_mode)) {
    ::close(fd);
    job.found = FileJob::Found::Special;
    return;
  }
  job.status = status;
  job.statusKnown = true;
  job.openFd = fd;
  if (fetch == Fetch::None) return;
  const off_t size = status.st_size;
  const off_t tail = std::max(kHead, size - kTail);
  const off_t middle = size / 2 - kMiddle / 2;
  ::posix_fadvise(fd, 0, kHead, POSIX_FADV_WILLNEED);
  if (size > kHead) ::posix_fadvise(fd, tail, kTail, POSIX_FADV_WILLNEED);
  if (size > 2 * kHead) ::posix_fadvise(fd, middle, kMiddle, POSIX_FADV_WILLNEED);
  if (fetch == Fetch::Ask) return;
  // The start holds the ID3v2 tag, whose size its header tells: a tag with pictures in it may
  // be far longer than the stretch fetched for it, and the audio frames follow it.
  unsigned char header[10] = {};
  if (::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
      header[0] == 'I' && header[1] == 'D' && header[2] == '3' &&
      ((header[6] | header[7] | header[8] | header[9]) & 0x80) == 0) {
    const off_t tag = (off_t{header[6]} << 21) | (off_t{header[7]} << 14) |
                      (off_t{header[8]} << 7) | off_t{header[9]};
    const off_t head = std::min({kLongestHead, size, 20 + tag + kHead});
    if (head > kHead && !shared.stop) {
      ::posix_fadvise(fd, kHead, head - kHead, POSIX_FADV_WILLNEED);
      char byte = 0;
      (void)!::pread(fd, &byte, 1, std::min(head, kLongestWait) - 1);
    }
  }
  // Each read waits for its stretch, which the system has been fetching meanwhile.
  char byte = 0;
  if (size > kHead && !shared.stop) (void)!::pread(fd, &byte, 1, size - 1);
  if (size > 2 * kHead && !shared.stop) (void)!::pread(fd, &byte, 1, middle);
}

// A job is used again, with its strings' storage, for file after file: storage that once held
// a value longer than the cap would stay with it, in each of the jobs in flight, until the
// import ends. The texts as read are given back whole (a text cut at a NUL may have been long
// too); the values, cut already, keep only what they hold.
void releaseLongBuffers(SongInfo& info, ReadFile& file) {
  for (std::string* text : {&info.Title, &info.Artist, &info.Album, &info.Genre, &info.Track})
    if (text->capacity() > kLongestFileValue) std::string().swap(*text);
  for (std::size_t i = 0; i < 5; ++i)
    if (file.values[i].capacity() > kLongestFileValue) file.values[i].shrink_to_fit();
}

// With the mutex held: the open of `job` is over, by whichever thread.
void opened(Shared& shared, FileJob& job) {
  job.opening = FileJob::Opening::Done;
  ++shared.openedAhead;
  shared.jobOpened.notify_all();
}

}  // namespace

std::function<void()> Opener::take() {
  Shared& shared = m_shared;
  // On a local disk the reader opens its file as fast as it could take it from another thread.
  if (shared.jobs.empty() || !shared.requests->slow() ||
      shared.opensUnder + shared.openedAhead >= shared.openAhead)
    return {};
  // Files a reader has taken are past; so are those a reader opens itself.
  const std::uint64_t first = shared.jobs.front()->serial;
  std::size_t index = std::max<std::uint64_t>(shared.nextToOpen, first) - first;
  index = std::max(index, shared.firstUntaken);
  while (index < shared.jobs.size() && shared.jobs[index]->opening != FileJob::Opening::NotYet)
    ++index;
  if (index >= shared.jobs.size()) {
    shared.nextToOpen = first + index;
    return {};
  }
  // Only the files the readers come to next, when others' requests wait too.
  if (m_within > 0 && index >= shared.firstUntaken + m_within) return {};
  FileJob* job = shared.jobs[index].get();
  job->opening = FileJob::Opening::Under;
  shared.nextToOpen = job->serial + 1;
  ++shared.opensUnder;
  // The job stays in the queue until it is read, which waits for this.
  return [&shared, job] {
    openFile(shared, *job, Fetch::AskAndWait);
    std::lock_guard lock(shared.mutex);
    --shared.opensUnder;
    opened(shared, *job);
  };
}

void readFiles(Shared& shared, std::unique_ptr<Mp3Info>& component, const Mp3InfoFactory& factory) {
  for (;;) {
    FileJob* job = nullptr;
    FileJob* ahead = nullptr;
    bool openItself = false;
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
      // On a local disk a cold one fetches a file further on meanwhile.
      // Within the descriptors the import may hold.
      const std::size_t distance = std::min(kReadAheadDistance, shared.openAhead);
      if (!shared.requests->slow() && shared.opensUnder + shared.openedAhead < shared.openAhead &&
          taken + distance < shared.jobs.size() &&
          shared.jobs[taken + distance]->opening == FileJob::Opening::NotYet) {
        ahead = shared.jobs[taken + distance].get();
        ahead->opening = FileJob::Opening::Under;
        ++shared.opensUnder;
      }
      switch (job->opening) {
        case FileJob::Opening::NotYet:
          // No request thread came to it yet: the reader opens it at once.
          job->opening = FileJob::Opening::Under;
          openItself = true;
          break;
        case FileJob::Opening::Under:
          shared.jobOpened.wait(lock, [&] {
            return shared.stop || job->opening == FileJob::Opening::Done;
          });
          if (shared.stop) return;
          --shared.openedAhead;
          break;
        case FileJob::Opening::Done:
          --shared.openedAhead;
          break;
      }
      // Room for another file to be opened ahead.
      if (!openItself && shared.requests->slow()) shared.requests->arrived();
    }
    if (openItself) {
      const auto started = std::chrono::steady_clock::now();
      openFile(shared, *job, Fetch::None);
      const auto took = std::chrono::steady_clock::now() - started;
      std::lock_guard lock(shared.mutex);
      job->opening = FileJob::Opening::Done;
      // Slow opens start the request threads opening ahead.
      shared.requests->record(took);
      if (shared.requests->slow()) shared.requests->arrived();
    }
    if (ahead) {
      // It stays in the queue until it is read, which waits for this.
      openFile(shared, *ahead, Fetch::Ask);
      std::lock_guard lock(shared.mutex);
      --shared.opensUnder;
      opened(shared, *ahead);
    }
    SongInfo& info = job->info;
    ReadFile& file = job->file;
    const FileJob::Found found = job->found;
    if (found == FileJob::Found::File || found == FileJob::Found::Unopened) {
      // The stamp comes first: a file that changes while it is read is read again next time.
      file.stamp.reset();
      if (job->statusKnown) file.stamp = stampOf(job->status);
      const std::int64_t size = job->statusKnown ? job->status.st_size : -1;
      ReadMp3Info(job->folder->get(), job->name, job->path, {job->openFd, size}, info, component,
                  factory, &file.identity);
      job->closeFile();
      auto& values = file.values;
      storeText(values[0], info.Title);
      storeText(values[1], info.Artist);
      storeText(values[2], info.Album);
      storeText(values[3], info.Genre);
      storeText(values[4], info.Track);
      storeText(values[5], job->path);
      storeNumber(values[6], info.Duration);
      storeNumber(values[7], info.Bitrate);
      values[8].assign(info.VBR ? "True" : "False");
      // Here, where every file's values are made, so that a file waiting for its row holds
      // them as they will be stored.
      cutToStorable(file);
      releaseLongBuffers(info, file);
      // The component answers bit rate 0 for a file it cannot read, -1 when it failed.
      file.readable = info.Bitrate > 0;
    }
    bool wakeWriter = false;
    {
      std::lock_guard lock(shared.mutex);
      job->done = true;
      wakeWriter = shared.writerWaiting && shared.jobs.front().get() == job;
    }
    if (wakeWriter) shared.jobRead.notify_one();
  }
}

}  // namespace importer::pipeline
