#include "folderwalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

namespace importer {

std::string storedPath(std::string_view path) {
  std::string stored;
  pipeline::storeText(stored, path);
  return stored;
}

namespace pipeline {

namespace {

bool endsWithMp3(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'm' && (tail[2] | 0x20) == 'p' && tail[3] == '3';
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

}  // namespace

void Walker::run(const std::string& root) {
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


// False when the import stopped before the walk had looked at every entry below `path`.
bool Walker::walk(const std::shared_ptr<const FolderFd>& folder, const std::string& path) {
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
    // Follows links: an entry gone since the listing, or a broken link, fails here.
    struct stat entry {};
    if (::fstatat(folder->get(), name.c_str(), &entry, 0) != 0) {
      const bool missing = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
      m_shared.count(missing ? &ImportCounts::entriesMissing : &ImportCounts::entriesUnreadable);
      // A link may have led to a folder on a disk that is not there now.
      if (type != DT_REG) reached(prefix + name, WalkFilter::Listing::Unreadable);
      // A row that holds it must not look vanished for it.
      if (type == DT_REG) lookUp(storedPrefix, name);
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
    // A file a row holds, unchanged since it was read, needs no second look.
    const std::optional<KnownFile> known = lookUp(storedPrefix, name);
    if (known && known->stamp && *known->stamp == stampOf(entry)) {
      m_shared.count(&ImportCounts::songsUnchanged);
      continue;
    }
    if (!forFiles)
      forFiles = std::make_shared<const FolderForFiles>(folder, m_shared.foldersInFlight);
    if (!queue(forFiles, prefix, name, entry.st_size, known)) return false;
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
bool Walker::queue(const std::shared_ptr<const FolderForFiles>& folder,
                   const std::string& prefix, const std::string& name, off_t size,
                   const std::optional<KnownFile>& known) {
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
    job->file.rowId = known ? known->rowId : 0;
    job->file.described = known && known->described;
    if (known) job->file.rowFilename.assign(known->filename);
    else job->file.rowFilename.clear();
    job->done = false;
    m_shared.jobs.push_back(std::move(job));
    wakeReader = m_shared.idleReaders > 0;
  }
  if (wakeReader) m_shared.jobQueued.notify_one();
  return true;
}


void Walker::reached(const std::string& path, WalkFilter::Listing listing) {
  if (m_filter) m_filter->folderReached(storedPath(path), listing);
}


// What the filter knows of the file `name` of the folder whose stored prefix is given.
std::optional<KnownFile> Walker::lookUp(const std::string& storedPrefix, const std::string& name) {
  if (!m_filter) return std::nullopt;
  m_stored.assign(storedPrefix);
  m_stored.append(storedPath(name));
  return m_filter->lookUp(m_stored);
}


}  // namespace pipeline
}  // namespace importer
