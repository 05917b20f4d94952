#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "importqueue.h"
#include "shelfwriter.h"

namespace engine {
class Database;
}  // namespace engine

namespace importer::pipeline {

// Writes an import's rows on the thread that runs the import, in walk order: takes each file
// whose tags are read, writes its row and companion row into the open batch (a new row, or, in
// a rescan, a known row's new values), commits batches and counts their rows, and lets the
// window run while it waits for the readers or for another program that holds the catalogue.
class RowWriter {
 public:
  // The catalogue handle for the next row, asked anew for every row (FolderImport's).
  using DatabaseSource = std::function<std::shared_ptr<engine::Database>()>;
  using Yield = std::function<void()>;

  // With a `filter` (a rescan), files no row holds are offered to it first.
  RowWriter(Shared& shared, const DatabaseSource& catalogue, const Yield& letWindowRun,
            WalkFilter* filter);
  ~RowWriter();
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;

  // The next file whose row can be written; null once every file is written or the import
  // stops. Commits the rows written so far before it waits, and lets the window run at least
  // every 10 ms meanwhile.
  std::unique_ptr<FileJob> next();
  // Whether the next file is read already.
  bool nextIsReady() const;

  // Writes the rows of `job` into the open batch; false when a stop came while another program
  // held the catalogue. Any other refusal throws engine::EngineError, the rows before it counted,
  // its description naming the file (stoppedAt).
  bool write(const FileJob& job);
  // Commits the open batch; its rows count from then on. Throws engine::EngineError, naming the
  // last file the batch held a row of (stoppedSavingUpTo).
  void commit();

  void letWindowRun();
  // Whether the window ran less than a moment ago, so that letting it run again costs a look at
  // an empty event queue.
  bool windowRanJustNow() const;

 private:
  void setWaiting(bool waiting);
  void countCommitted();

  Shared& m_shared;
  const Yield& m_letWindowRun;
  WalkFilter* const m_filter;
  ShelfWriter m_shelf;
  std::chrono::steady_clock::time_point m_lastYield;
  // Rows written in the open batch count once it is committed: a batch SQLite rolls back whole
  // (a full disk) leaves nothing to count.
  ImportCounts m_uncommitted;
  // The path of the last file whose row the open batch holds; empty while it holds none.
  std::string m_lastInBatch;
};

}  // namespace importer::pipeline
