#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "importcounts.h"
#include "medium.h"
#include "mp3info.h"

namespace engine {
class Database;
}

namespace importer {

// Imports every MP3 file in a folder and every folder below it into the catalogue, one row per
// file. A walker thread lists the folders (by descriptor, so no path is too long), reader
// threads read the tags ahead, each with a component of its own, and the thread that called
// run() writes the rows in walk order: a folder's own files in name order, then its sub-folders,
// depth first. Rows already read are written in batches of a few milliseconds, each committed
// before the window runs again or the import waits, so an interrupted import keeps every row
// written before it and a crash loses at most the last few milliseconds. The components live
// as long as this object and serve every later import.
class FolderImport {
 public:
  // The catalogue handle for the next row, taken anew for every row: when it is replaced while
  // the import runs, the following rows go to the new one.
  using DatabaseSource = std::function<std::shared_ptr<engine::Database>()>;
  // Lets the caller's window process its pending events once.
  using Yield = std::function<void()>;

  struct Options {
    unsigned readers = 0;             // threads reading tags; 0 for one per processor core
    std::size_t filesInFlight = 256;  // files listed or read ahead of the last row written
    // Rows that are ready are written as one batch, committed together, for at most this long
    // before the window runs again; zero commits and lets the window run after every row.
    std::chrono::milliseconds longestBatch{5};
    // Requests of the medium (listings, look-ups, opens) in flight at most. Threads for them
    // are added only while every one is waiting on its request, so a local disk uses few.
    std::size_t mostRequests = 64;
    // Requests that mostly take this long are a slow medium's, which more threads serve.
    std::chrono::microseconds slowRequest{300};
    // How the files are reached; null for the system itself.
    Medium* medium = nullptr;
  };

  explicit FolderImport(Mp3InfoFactory factory);
  FolderImport(Mp3InfoFactory factory, Options options);
  ~FolderImport();

  FolderImport(const FolderImport&) = delete;
  FolderImport& operator=(const FolderImport&) = delete;

  // Imports `folder` (its name's bytes). Yields after every batch of rows (after every row when
  // the readers are slower than the writer), before it too unless the window ran less than a
  // millisecond before, and at least every 10 ms while it waits for the readers. Returns
  // Stopped when requestStop() came first. A catalogue that another program holds locked is
  // waited for as long as it takes, the window running all along; any other refusal of a row
  // throws engine::EngineError, and the rows before it stay. No thread of the import is left
  // running when it returns or throws.
  // With a `filter` (a rescan), what it knows of a file decides whether the file is passed
  // over, read for its row or read as a new one; it hears of every folder reached, and may take
  // over new files until the walk is over. Every row gets its companion row.
  ImportEnd run(const std::string& folder, const DatabaseSource& catalogue,
                const Yield& letWindowRun, WalkFilter* filter = nullptr);

  // Asks the running import to stop before its next row. Safe from any thread and from within
  // a yield; a later run() starts afresh.
  void requestStop();

  // What the running import, or the last one, has done. Safe from any thread.
  ImportProgress progress() const;

  // For a rescan that goes on after the walk: whether a stop was asked for, and what it stores
  // then, told in progress() as the import's own.
  bool stopRequested() const;
  void addCounts(const ImportCounts& more);
  void setWaitingForCatalogue(bool waiting);

 private:
  struct State;
  Mp3InfoFactory m_factory;
  Options m_options;
  std::vector<std::unique_ptr<Mp3Info>> m_components;  // one per reader thread
  std::unique_ptr<State> m_state;
};

}  // namespace importer
