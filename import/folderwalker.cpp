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

// Entries whose status one request thread looks up in a row: enough to keep the cost of
// handing work over small on a local disk, few enough that a folder of many files is looked
// up by many threads at once on a share.
constexpr std::size_t kStatusBatch = 4;

bool endsWithMp3(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'm' && (tail[2] | 0x20) == 'p' && tail[3] == '3';
}

}  // namespace

// A folder the walk knows of: made when its parent is listed, listed by a request thread, then
// walked. Its parent's descriptor is held until it is open itself.
struct Walker::Folder {
  enum class State { Known, Listing, Ready, Dropped };
  struct Entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    int statusError = -1;  // -1 while not looked up, then 0 or the errno of the look-up
    struct stat status {};
  };

  // The indexes of its folders from the chosen one down: walk order is the order of places.
  std::vector<std::uint32_t> place;
  std::string path;  // the chosen folder's path, then "/" and a name for each level
  std::string name;  // its name in its parent; the chosen folder's path for that one
  std::shared_ptr<const FolderFd> parent;  // null for the chosen folder
  // The folders above it, to see a link that leads back up before listing round in a circle.
  std::vector<std::pair<dev_t, ino_t>> above;

  State state = State::Known;
  bool holdsPlaceAhead = false;
  // What its listing found. Everything below is written by the request threads before the
  // folder is Ready, and read by the walk after.
  int openError = 0;         // it could not be opened
  bool statusFailed = false;  // its own status could not be read
  bool listingFailed = false;
  bool leadsUp = false;       // a folder above it, reached again through a link: not listed
  dev_t device = 0;
  ino_t inode = 0;
  std::shared_ptr<const FolderFd> fd;
  std::vector<Entry> entries;
  std::size_t statusLeft = 0;  // entries whose status is still being looked up
  std::vector<std::shared_ptr<Folder>> subfolders;
};

bool Walker::ByPlace::operator()(const std::shared_ptr<Folder>& a,
                                 const std::shared_ptr<Folder>& b) const {
  return a->place < b->place;
}

bool Walker::StatOrder::operator()(const StatBatch& a, const StatBatch& b) const {
  if (a.folder->place != b.folder->place) return a.folder->place < b.folder->place;
  return a.first < b.first;
}

Walker::Walker(Shared& shared, std::size_t filesInFlight, WalkFilter* filter)
    : m_shared(shared), m_filesInFlight(filesInFlight), m_filter(filter) {}

Walker::~Walker() = default;

void Walker::run(const std::string& root) {
  auto top = std::make_shared<Folder>();
  top->path = root;
  top->name = root;
  {
    std::lock_guard lock(m_shared.mutex);
    m_unlisted.insert(top);
    m_shared.requests->arrived();
  }
  const bool complete = walk(top);
  {
    std::lock_guard lock(m_shared.mutex);
    m_shared.walkDone = true;
    m_shared.walkComplete = complete;
    // A stop leaves folders listed ahead; nothing asks for them now.
    m_unlisted.clear();
    m_statBatches.clear();
  }
  m_shared.jobQueued.notify_all();
  m_shared.jobRead.notify_all();
}

std::function<void()> Walker::take() {
  std::shared_ptr<Folder> folder;
  if (!m_unlisted.empty()) {
    const std::shared_ptr<Folder>& first = *m_unlisted.begin();
    if (m_ahead < m_shared.foldersAhead || first.get() == m_awaited) folder = first;
  }
  // Whatever the walk comes to first is done first: the files of a folder before the listings
  // of the folders after it.
  if (!m_statBatches.empty() && (!folder || !(folder->place < m_statBatches.begin()->folder->place))) {
    StatBatch batch = *m_statBatches.begin();
    m_statBatches.erase(m_statBatches.begin());
    return [this, batch = std::move(batch)] { lookUpStatus(batch); };
  }
  if (!folder) return {};
  m_unlisted.erase(m_unlisted.begin());
  folder->state = Folder::State::Listing;
  folder->holdsPlaceAhead = true;
  ++m_ahead;
  return [this, folder = std::move(folder)] { list(folder); };
}

// On a request thread: opens the folder, reads its status and its listing.
void Walker::list(const std::shared_ptr<Folder>& folder) {
  Medium& medium = *m_shared.medium;
  const int fd = medium.openFolder(folder->parent ? folder->parent->get() : AT_FDCWD,
                                   folder->name.c_str());
  const int openError = fd < 0 ? errno : 0;
  std::shared_ptr<const FolderFd> held;
  struct stat self {};
  bool statusFailed = false;
  bool listingFailed = false;
  bool leadsUp = false;
  std::vector<FolderEntry> listing;
  if (fd >= 0) {
    held = std::make_shared<const FolderFd>(fd);
    if (medium.statOpen(fd, self) != 0) {
      statusFailed = true;
    } else if (std::find(folder->above.begin(), folder->above.end(),
                         std::pair(self.st_dev, self.st_ino)) != folder->above.end()) {
      leadsUp = true;
    } else {
      listingFailed = !medium.listFolder(fd, listing);
    }
  }

  std::lock_guard lock(m_shared.mutex);
  folder->parent.reset();
  if (folder->state == Folder::State::Dropped) return;
  folder->openError = openError;
  folder->statusFailed = statusFailed;
  folder->listingFailed = listingFailed;
  folder->leadsUp = leadsUp;
  folder->device = self.st_dev;
  folder->inode = self.st_ino;
  folder->fd = std::move(held);
  if (listingFailed) listing.clear();  // nothing of it is walked
  folder->entries.reserve(listing.size());
  std::vector<std::size_t> toLookUp;
  for (FolderEntry& entry : listing) {
    const bool mp3 = endsWithMp3(entry.name);
    // What the listing tells needs no look-up: folders, files of other kinds, and, in an
    // import, MP3 files, whose status the reader learns as it opens them.
    const bool known = entry.type == DT_DIR || (entry.type == DT_REG && (!mp3 || !m_filter));
    if (!known) toLookUp.push_back(folder->entries.size());
    folder->entries.push_back({std::move(entry.name), entry.type, -1, {}});
  }
  folder->statusLeft = toLookUp.size();
  // Batches of neighbouring entries; the walk reads the entries in order once all are in.
  for (std::size_t i = 0; i < toLookUp.size();) {
    std::size_t end = i + 1;
    while (end < toLookUp.size() && end - i < kStatusBatch && toLookUp[end] == toLookUp[end - 1] + 1)
      ++end;
    m_statBatches.insert({folder, toLookUp[i], toLookUp[end - 1] + 1});
    m_shared.requests->arrived();
    i = end;
  }
  if (folder->statusLeft == 0) listed(folder);
}

// On a request thread: the status of a few entries of a listed folder.
void Walker::lookUpStatus(const StatBatch& batch) {
  Folder& folder = *batch.folder;
  Medium& medium = *m_shared.medium;
  std::size_t done = 0;
  for (std::size_t i = batch.first; i < batch.end; ++i) {
    Folder::Entry& entry = folder.entries[i];
    entry.statusError =
        medium.statAt(folder.fd->get(), entry.name.c_str(), entry.status) == 0 ? 0 : errno;
    ++done;
  }
  std::lock_guard lock(m_shared.mutex);
  folder.statusLeft -= done;
  if (folder.statusLeft == 0 && folder.state == Folder::State::Listing) listed(batch.folder);
}

// With the mutex held: the folder's listing and look-ups are in. Its sub-folders are known now,
// and may be listed ahead.
void Walker::listed(const std::shared_ptr<Folder>& folder) {
  for (std::size_t k = 0; k < folder->entries.size(); ++k) {
    const Folder::Entry& entry = folder->entries[k];
    const bool isFolder =
        entry.type == DT_DIR || (entry.statusError == 0 && S_ISDIR(entry.status.st_mode));
    if (!isFolder) continue;
    auto sub = std::make_shared<Folder>();
    sub->place = folder->place;
    sub->place.push_back(static_cast<std::uint32_t>(k));
    sub->path = folder->path + "/" + entry.name;
    sub->name = entry.name;
    sub->parent = folder->fd;
    sub->above = folder->above;
    sub->above.emplace_back(folder->device, folder->inode);
    folder->subfolders.push_back(sub);
    m_unlisted.insert(std::move(sub));
    m_shared.requests->arrived();
  }
  folder->state = Folder::State::Ready;
  m_shared.folderReady.notify_all();
}

// With the mutex held: the walk passes the folder by, and all that was found below it.
void Walker::drop(const std::shared_ptr<Folder>& folder) {
  const Folder::State was = folder->state;
  folder->state = Folder::State::Dropped;
  release(*folder);
  if (was == Folder::State::Known) m_unlisted.erase(folder);
  std::erase_if(m_statBatches, [&](const StatBatch& batch) { return batch.folder == folder; });
  for (const std::shared_ptr<Folder>& sub : folder->subfolders) drop(sub);
  folder->subfolders.clear();
}

// With the mutex held: the folder no longer counts among those listed ahead.
void Walker::release(Folder& folder) {
  if (!folder.holdsPlaceAhead) return;
  folder.holdsPlaceAhead = false;
  --m_ahead;
  m_shared.requests->arrived();
}

// False when the import stopped before the walk had looked at every entry below the folder.
bool Walker::walk(const std::shared_ptr<Folder>& folder) {
  {
    std::unique_lock lock(m_shared.mutex);
    if (folder->state != Folder::State::Ready) {
      // The folder it waits for is listed even while the others ahead fill every place.
      m_awaited = folder.get();
      m_shared.requests->arrived();
      m_shared.folderReady.wait(
          lock, [&] { return m_shared.stop || folder->state == Folder::State::Ready; });
      m_awaited = nullptr;
    }
    if (m_shared.stop) return false;
    release(*folder);
  }
  const std::string& path = folder->path;
  const bool unreadable = folder->openError != 0 || folder->statusFailed;
  if (unreadable) {
    // The chosen folder counts as unreadable whatever the cause; a folder below it that has
    // gone since its parent was listed counts as an entry gone.
    const bool gone = !folder->place.empty() && folder->openError == ENOENT;
    m_shared.count(gone ? &ImportCounts::entriesMissing : &ImportCounts::foldersUnreadable);
    reached(path, WalkFilter::Listing::Unreadable);
    return true;
  }
  // A linked folder is walked once, and a link that leads back up the tree ends here.
  if (!m_walked.emplace(folder->device, folder->inode).second) {
    std::lock_guard lock(m_shared.mutex);
    drop(folder);
    return true;
  }
  if (folder->listingFailed) {
    m_shared.count(&ImportCounts::foldersUnreadable);
    reached(path, WalkFilter::Listing::Unreadable);
    return true;
  }
  {
    std::lock_guard lock(m_shared.mutex);
    m_shared.progress.folder = path;
  }
  reached(path, folder->entries.empty() ? WalkFilter::Listing::Empty
                                        : WalkFilter::Listing::Listed);
  const std::string prefix = path + "/";
  // The folder's part of its files' stored paths; a name's own part follows the "/".
  const std::string storedPrefix = m_filter ? storedPath(prefix) : std::string();
  std::shared_ptr<const FolderForFiles> forFiles;  // made with the folder's first MP3 file
  // A stop leaves the rest unwalked; the import's end clears what was listed ahead.
  const auto stopped = [] { return false; };
  for (const Folder::Entry& entry : folder->entries) {
    if (m_shared.stop) return stopped();
    const std::string& name = entry.name;
    if (entry.type == DT_DIR) continue;  // walked after the files
    if (entry.type == DT_REG && !endsWithMp3(name)) continue;
    if (entry.statusError == -1) {
      // An import's MP3 file, as the listing tells it: its reader opens it and learns the rest.
      if (!forFiles)
        forFiles = std::make_shared<const FolderForFiles>(folder->fd, m_shared.foldersInFlight);
      if (!queue(forFiles, prefix, name, nullptr, std::nullopt)) return stopped();
      continue;
    }
    // The look-up followed links: an entry gone since the listing, or a broken link, failed.
    if (entry.statusError != 0) {
      const int error = entry.statusError;
      const bool missing = error == ENOENT || error == ENOTDIR || error == ELOOP;
      m_shared.count(missing ? &ImportCounts::entriesMissing : &ImportCounts::entriesUnreadable);
      // A link may have led to a folder on a disk that is not there now.
      if (entry.type != DT_REG) reached(prefix + name, WalkFilter::Listing::Unreadable);
      // A row that holds it must not look vanished for it.
      if (entry.type == DT_REG) lookUp(storedPrefix, name);
      continue;
    }
    if (S_ISDIR(entry.status.st_mode)) continue;
    if (!endsWithMp3(name)) continue;
    // Sockets, devices and pipes: a pipe would block a reader for ever.
    if (!S_ISREG(entry.status.st_mode)) {
      m_shared.count(&ImportCounts::specialFiles);
      continue;
    }
    // A file a row holds, unchanged since it was read, needs no second look.
    const std::optional<KnownFile> known = lookUp(storedPrefix, name);
    if (known && known->stamp && *known->stamp == stampOf(entry.status)) {
      m_shared.count(&ImportCounts::songsUnchanged);
      continue;
    }
    if (!forFiles)
      forFiles = std::make_shared<const FolderForFiles>(folder->fd, m_shared.foldersInFlight);
    if (!queue(forFiles, prefix, name, &entry.status, known)) return stopped();
  }
  forFiles.reset();  // the folder's files hold it from here on
  folder->entries = {};

  for (std::shared_ptr<Folder>& sub : folder->subfolders) {
    if (m_shared.stop) return stopped();
    if (!walk(sub)) return stopped();
    sub.reset();  // what was found there goes
  }
  return true;
}

// Queues the file `name` of `folder`, with its status where the walk looked it up. False when
// the import stopped while it waited for room.
bool Walker::queue(const std::shared_ptr<const FolderForFiles>& folder,
                   const std::string& prefix, const std::string& name,
                   const struct stat* status, const std::optional<KnownFile>& known) {
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
    job->opening = FileJob::Opening::NotYet;
    job->found = FileJob::Found::File;
    job->closeFile();
    job->statusKnown = status != nullptr;
    if (status) job->status = *status;
    job->file.rowId = known ? known->rowId : 0;
    job->file.described = known && known->described;
    if (known) job->file.rowFilename.assign(known->filename);
    else job->file.rowFilename.clear();
    job->done = false;
    m_shared.jobs.push_back(std::move(job));
    wakeReader = m_shared.idleReaders > 0;
    if (m_shared.requests->slow()) m_shared.requests->arrived();  // to open it ahead
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
