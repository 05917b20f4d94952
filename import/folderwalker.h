#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "importcounts.h"
#include "importqueue.h"
#include "requestthreads.h"

namespace importer::pipeline {

// Walks the tree depth first and queues its MP3 files in the order their rows are written: a
// folder's own files in name order, then its sub-folders. The folders are listed ahead of the
// walk by the request threads, many at once, in the order the walk comes to them, and in a
// rescan the files' status is looked up there too; the walk itself runs on a thread of its own
// and only takes what they found, in order. Folders are opened by descriptor, so no path is too
// long; a linked folder is walked once.
class Walker final : public RequestSource {
 public:
  Walker(Shared& shared, std::size_t filesInFlight, WalkFilter* filter);
  ~Walker() override;

  // Walks `root` and tells the others when it is done, and whether it saw every entry.
  void run(const std::string& root);

  // A listing, or the status of a few files, for a request thread; with the mutex held.
  std::function<void()> take() override;

  // Entries of folders listed ahead of the walk at most, besides the folder it waits for: a
  // few folders of many thousand files each hold enough.
  static constexpr std::size_t kMostEntriesAhead = 50'000;

 private:
  struct Folder;
  struct ByPlace {
    bool operator()(const std::shared_ptr<Folder>& a, const std::shared_ptr<Folder>& b) const;
  };
  // Entries of a listed folder whose status is looked up in one request: [first, end) of
  // those it looks up.
  struct StatBatch {
    std::shared_ptr<Folder> folder;
    std::size_t first = 0;
    std::size_t end = 0;
  };
  struct StatOrder {
    bool operator()(const StatBatch& a, const StatBatch& b) const;
  };

  bool walk(const std::shared_ptr<Folder>& folder);
  void startListing(const std::shared_ptr<Folder>& folder);
  void list(const std::shared_ptr<Folder>& folder, bool here);
  void queueLookUps(const std::shared_ptr<Folder>& folder, std::size_t first);
  void lookUpStatus(const StatBatch& batch);
  void listed(const std::shared_ptr<Folder>& folder);
  void drop(const std::shared_ptr<Folder>& folder);
  void release(Folder& folder);
  bool queue(const std::shared_ptr<const FolderForFiles>& folder, const std::string& prefix,
             const std::string& name, const struct stat* status,
             const std::optional<KnownFile>& known);
  void reached(const std::string& path, WalkFilter::Listing listing);
  std::optional<KnownFile> lookUp(const std::string& storedPrefix, const std::string& name);

  Shared& m_shared;
  const std::size_t m_filesInFlight;
  WalkFilter* const m_filter;
  std::string m_stored;  // reused for every file's stored path
  // Guarded by the mutex: the folders walked; folders known and not yet listed, in walk order,
  // and their entries waiting for their status; how many folders, and entries of theirs, are
  // listed ahead; the folder the walk waits for.
  std::set<std::pair<dev_t, ino_t>> m_walked;
  std::set<std::shared_ptr<Folder>, ByPlace> m_unlisted;
  std::set<StatBatch, StatOrder> m_statBatches;
  std::size_t m_ahead = 0;
  std::size_t m_entriesAhead = 0;
  const Folder* m_awaited = nullptr;
};

}  // namespace importer::pipeline
