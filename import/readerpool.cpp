#include "readerpool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "readmp3info.h"

namespace importer::pipeline {

namespace {

// How many files ahead of itself a reader opens one for reading ahead.
constexpr std::size_t kReadAheadDistance = 32;

void storeNumber(std::string& out, std::int32_t value) {
  char digits[16];
  out.assign(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Opens a file and asks the system to start reading the parts its tags, its audio frames and
// the stretches of its audio identity are found in, so that they are in memory by the time a
// reader comes to it: on a cold disk the readers would otherwise wait for one file's reads after
// another. Returns the open file, or -1.
int openAhead(int folderFd, const std::string& name, off_t size) {
  constexpr off_t kHead = 64 * 1024;
  constexpr off_t kTail = 32 * 1024;
  // The middle stretch lies half way through the audio, near enough the file's middle.
  constexpr off_t kMiddle = 32 * 1024;
  const int fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  ::posix_fadvise(fd, 0, kHead, POSIX_FADV_WILLNEED);
  if (size > kHead) ::posix_fadvise(fd, std::max(kHead, size - kTail), kTail, POSIX_FADV_WILLNEED);
  if (size > 2 * kHead) ::posix_fadvise(fd, size / 2 - kMiddle / 2, kMiddle, POSIX_FADV_WILLNEED);
  return fd;
}

}  // namespace

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
    ReadFile& file = job->file;
    // The stamp comes first: a file that changes while it is read is read again next time.
    struct stat before {};
    const int looked = openFd >= 0 ? ::fstat(openFd, &before)
                                   : ::fstatat(job->folder->get(), job->name.c_str(), &before, 0);
    file.stamp.reset();
    if (looked == 0) file.stamp = stampOf(before);
    ReadMp3Info(job->folder->get(), job->name, job->path, openFd, info, component, factory,
                &file.identity);
    if (openFd >= 0) ::close(openFd);
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
    // The component answers bit rate 0 for a file it cannot read, -1 when it failed.
    file.readable = info.Bitrate > 0;
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
