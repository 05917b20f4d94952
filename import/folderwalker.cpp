#include "folderwalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <vector>

namespace importer {

std::string storedPath(std::string_view path) {
  std::string stored;
  pipeline::storeText(stored, path);
  return stored;
}

std::string sameFile(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (const char c : path)
    if (c != '/' || out.empty() || out.back() != '/') out.push_back(c);
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
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
  // A folder and those above it, shared by every folder below.
  struct Lineage {
    dev_t device = 0;
    ino_t inode = 0;
    std::shared_ptr<const Lineage> up;
  };
  struct Entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    int lookedUp = -1;  // its place among those whose status is looked up, if it is one
  };
  struct LookedUp {
    int error = 0;  // 0, or the errno of the look-up
    struct stat status {};
  };

  // The indexes of its folders from the chosen one down: walk order is the order of places.
  std::vector<std::uint32_t> place;
  std::string path;  // the chosen folder's path, then "/" and a name for each level
  std::string name;  // its name in its parent; the chosen folder's path for that one
  std::shared_ptr<const FolderFd> parent;  // null for the chosen folder
  // The folders above it, to see a link that leads back up before listing round in a circle.
  std::shared_ptr<const Lineage> above;

  State state = State::Known;
  bool holdsPlaceAhead = false;
  // What its listing found. Everything below is written by the request threads before the
  // folder is Ready, and read by the walk after.
  int openError = 0;         // it could not be opened
  bool statusFailed = false;  // its own status could not be read
  bool listingFailed = false;
  bool listedAnything = false;  // its listing held any entry, even one the walk passes over
  std::shared_ptr<const Lineage> lineage;  // it and the folders above, once open
  std::shared_ptr<const FolderFd> fd;
  std::vector<Entry> entries;  // those the walk looks at, in name order
  std::vector<std::size_t> toLookUp;  // the entries whose status is looked up
  std::vector<LookedUp> statuses;     // theirs, in the same order
  std::size_t statusLeft = 0;  // entries whose status is still being looked up
  std::size_t entriesAhead = 0;  // entries it holds while listed ahead of the walk
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
  // On a local disk the walk lists each folder itself as it comes to it: handing a listing of
  // microseconds to another thread and waiting for it would cost more than it saves.
  if (!m_unlisted.empty() && m_shared.requests->slow()) {
    const std::shared_ptr<Folder>& first = *m_unlisted.begin();
    const bool room = m_ahead < m_shared.foldersAhead && m_entriesAhead < kMostEntriesAhead;
    if (room || first.get() == m_awaited) folder = first;
  }
  // Whatever the walk comes to first is done first: the files of a folder before the listings
  // of the folders after it.
  if (!m_statBatches.empty() && (!folder || !(folder->place < m_statBatches.begin()->folder->place))) {
    StatBatch batch = *m_statBatches.begin();
    m_statBatches.erase(m_statBatches.begin());
    return [this, batch = std::move(batch)] { lookUpStatus(batch); };
  }
  if (!folder) return {};
  startListing(folder);
  return [this, folder = std::move(folder)] { list(folder, false); };
}

// With the mutex held: the folder leaves those known for those listed ahead.
void Walker::startListing(const std::shared_ptr<Folder>& folder) {
  m_unlisted.erase(folder);
  folder->state = Folder::State::Listing;
  folder->holdsPlaceAhead = true;
  ++m_ahead;
}

// With the mutex held: the request threads look up the status of the folder's entries from the
// `first` on, a batch of entries in a row each; the walk reads them in order once all are in.
void Walker::queueLookUps(const std::shared_ptr<Folder>& folder, std::size_t first) {
  const std::size_t end = folder->toLookUp.size();
  for (std::size_t i = first; i < end; i += kStatusBatch) {
    m_statBatches.insert({folder, i, std::min(i + kStatusBatch, end)});
    m_shared.requests->arrived();
  }
}

// On a request thread, or on the walk's own (`here`), which then looks up the entries' status
// too: opens the folder, reads its status and its listing.
void Walker::list(const std::shared_ptr<Folder>& folder, bool here) {
  Medium& medium = *m_shared.medium;
  const int fd = medium.openFolder(folder->parent ? folder->parent->get() : AT_FDCWD,
                                   folder->name.c_str());
  const int openError = fd < 0 ? errno : 0;
  std::shared_ptr<const FolderFd> held;
  struct stat self {};
  bool statusFailed = false;
  bool listingFailed = false;
  bool seenBefore = false;
  std::vector<FolderEntry> listing;
  if (fd >= 0) {
    held = std::make_shared<const FolderFd>(fd);
    if (medium.statOpen(fd, self) != 0) {
      statusFailed = true;
    } else {
      for (const Folder::Lineage* up = folder->above.get(); up && !seenBefore; up = up->up.get())
        seenBefore = up->device == self.st_dev && up->inode == self.st_ino;
      if (!seenBefore) {
        std::lock_guard lock(m_shared.mutex);
        seenBefore = m_walked.contains({self.st_dev, self.st_ino});
      }
      // A folder above it reached again through a link, or one walked already, is passed by
      // unlisted: the walk drops it as walked.
      if (!seenBefore) listingFailed = !medium.listFolder(fd, listing);
    }
  }

  std::lock_guard lock(m_shared.mutex);
  folder->parent.reset();
  if (folder->state == Folder::State::Dropped) return;
  folder->openError = openError;
  folder->statusFailed = statusFailed;
  folder->listingFailed = listingFailed;
  folder->lineage = std::make_shared<const Folder::Lineage>(
      Folder::Lineage{self.st_dev, self.st_ino, folder->above});
  folder->fd = std::move(held);
  if (listingFailed) listing.clear();  // nothing of it is walked
  folder->listedAnything = !listing.empty();
  for (FolderEntry& entry : listing) {
    const bool mp3 = endsWithMp3(entry.name);
    if (entry.type == DT_REG && !mp3) continue;  // a cover, a playlist: nothing to walk
    // What the listing tells needs no look-up: folders, and, in an import, MP3 files, whose
    // status the reader learns as it opens them.
    const bool known = entry.type == DT_DIR || (entry.type == DT_REG && !m_filter);
    int lookedUp = -1;
    if (!known) {
      lookedUp = static_cast<int>(folder->toLookUp.size());
      folder->toLookUp.push_back(folder->entries.size());
    }
    folder->entries.push_back({std::move(entry.name), entry.type, lookedUp});
  }
  folder->statuses.resize(folder->toLookUp.size());
  folder->statusLeft = folder->toLookUp.size();
  folder->entriesAhead = folder->entries.size();
  m_entriesAhead += folder->entriesAhead;
  if (!here) queueLookUps(folder, 0);
  if (folder->statusLeft == 0) listed(folder);
}

// On a request thread: the status of a few entries of a listed folder.
void Walker::lookUpStatus(const StatBatch& batch) {
  Folder& folder = *batch.folder;
  Medium& medium = *m_shared.medium;
  std::size_t done = 0;
  for (std::size_t i = batch.first; i < batch.end; ++i) {
    const Folder::Entry& entry = folder.entries[folder.toLookUp[i]];
    Folder::LookedUp& found = folder.statuses[i];
    found.error = medium.statAt(folder.fd->get(), entry.name.c_str(), found.status) == 0 ? 0 : errno;
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
    const Folder::LookedUp* found =
        entry.lookedUp >= 0 ? &folder->statuses[static_cast<std::size_t>(entry.lookedUp)] : nullptr;
    const bool isFolder =
        entry.type == DT_DIR || (found && found->error == 0 && S_ISDIR(found->status.st_mode));
    if (!isFolder) continue;
    auto sub = std::make_shared<Folder>();
    sub->place = folder->place;
    sub->place.push_back(static_cast<std::uint32_t>(k));
    sub->path = folder->path + "/" + entry.name;
    sub->name = entry.name;
    sub->parent = folder->fd;
    sub->above = folder->lineage;
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
  m_entriesAhead -= folder.entriesAhead;
  folder.entriesAhead = 0;
  m_shared.requests->arrived();
}

// False when the import stopped before the walk had looked at every entry below the folder.
bool Walker::walk(const std::shared_ptr<Folder>& folder) {
  {
    std::unique_lock lock(m_shared.mutex);
    if (folder->state == Folder::State::Known && !m_shared.requests->slow()) {
      startListing(folder);
      lock.unlock();
      // Slow requests start the request threads listing ahead, and looking up what this folder
      // still holds.
      auto started = std::chrono::steady_clock::now();
      list(folder, true);
      lock.lock();
      m_shared.requests->record(std::chrono::steady_clock::now() - started);
      const std::size_t lookUps = folder->toLookUp.size();
      for (std::size_t i = 0; i < lookUps && folder->state == Folder::State::Listing; ++i) {
        if (m_shared.requests->slow()) {
          queueLookUps(folder, i);
          break;
        }
        lock.unlock();
        started = std::chrono::steady_clock::now();
        lookUpStatus({folder, i, i + 1});
        lock.lock();
        m_shared.requests->record(std::chrono::steady_clock::now() - started);
      }
    }
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
  {
    // A linked folder is walked once, and a link that leads back up the tree ends here. The
    // request threads look at the folders walked, not to list them again.
    std::lock_guard lock(m_shared.mutex);
    if (!m_walked.emplace(folder->lineage->device, folder->lineage->inode).second) {
      drop(folder);
      return true;
    }
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
  reached(path, folder->listedAnything ? WalkFilter::Listing::Listed
                                       : WalkFilter::Listing::Empty);
  const std::string prefix = path + "/";
  // The folder's part of its files' stored paths; a name's own part follows the "/".
  const std::string storedPrefix = m_filter ? storedPath(prefix) : std::string();
  std::shared_ptr<const FolderForFiles> forFiles;  // made with the folder's first MP3 file
  const auto queueFile = [&](const std::string& name, const struct stat* status,
                             const std::optional<KnownFile>& known) {
    if (!forFiles)
      forFiles = std::make_shared<const FolderForFiles>(folder->fd, m_shared.foldersInFlight);
    return queue(forFiles, prefix, name, status, known);
  };
  // A stop leaves the rest unwalked; the import's end clears what was listed ahead.
  for (const Folder::Entry& entry : folder->entries) {
    if (m_shared.stop) return false;
    const std::string& name = entry.name;
    if (entry.type == DT_DIR) continue;  // walked after the files
    if (entry.lookedUp < 0) {
      // An import's MP3 file, as the listing tells it: its reader opens it and learns the rest.
      if (!queueFile(name, nullptr, std::nullopt)) return false;
      continue;
    }
    const Folder::LookedUp& found = folder->statuses[static_cast<std::size_t>(entry.lookedUp)];
    // The look-up followed links: an entry gone since the listing, or a broken link, failed.
    if (found.error != 0) {
      const bool missing = found.error == ENOENT || found.error == ENOTDIR || found.error == ELOOP;
      m_shared.count(missing ? &ImportCounts::entriesMissing : &ImportCounts::entriesUnreadable);
      // A link may have led to a folder on a disk that is not there now.
      if (entry.type != DT_REG) reached(prefix + name, WalkFilter::Listing::Unreadable);
      // A row that holds it must not look vanished for it.
      if (entry.type == DT_REG) lookUp(storedPrefix, name);
      continue;
    }
    if (S_ISDIR(found.status.st_mode)) continue;
    if (!endsWithMp3(name)) continue;
    // Sockets, devices and pipes: a pipe would block a reader for ever.
    if (!S_ISREG(found.status.st_mode)) {
      m_shared.count(&ImportCounts::specialFiles);
      continue;
    }
    // A file a row holds, unchanged since it was read, needs no second look.
    const std::optional<KnownFile> known = lookUp(storedPrefix, name);
    if (known && known->stamp && *known->stamp == stampOf(found.status)) {
      m_shared.count(&ImportCounts::songsUnchanged);
      continue;
    }
    if (!queueFile(name, &found.status, known)) return false;
  }
  forFiles.reset();  // the folder's files hold it from here on
  folder->entries = {};
  folder->toLookUp = {};
  folder->statuses = {};

  for (std::shared_ptr<Folder>& sub : folder->subfolders) {
    if (m_shared.stop) return false;
    if (!walk(sub)) return false;
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
