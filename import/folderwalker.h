#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "importcounts.h"
#include "importqueue.h"

namespace importer::pipeline {

// Walks the tree depth first and queues its MP3 files in the order their rows are written: a
// folder's own files in name order, then its sub-folders. Folders are opened by descriptor, so
// no path is too long; a linked folder is walked once. Runs on a thread of its own.
class Walker {
 public:
  Walker(Shared& shared, std::size_t filesInFlight, WalkFilter* filter)
      : m_shared(shared), m_filesInFlight(filesInFlight), m_filter(filter) {}

  // Walks `root` and tells the others when it is done, and whether it saw every entry.
  void run(const std::string& root);

 private:
  bool walk(const std::shared_ptr<const FolderFd>& folder, const std::string& path);
  bool queue(const std::shared_ptr<const FolderForFiles>& folder, const std::string& prefix,
             const std::string& name, off_t size, const std::optional<KnownFile>& known);
  void reached(const std::string& path, WalkFilter::Listing listing);
  std::optional<KnownFile> lookUp(const std::string& storedPrefix, const std::string& name);

  Shared& m_shared;
  const std::size_t m_filesInFlight;
  WalkFilter* const m_filter;
  std::string m_stored;  // reused for every file's stored path
  std::set<std::pair<dev_t, ino_t>> m_walked;
};

}  // namespace importer::pipeline
