#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/connection.h"
#include "engine/errors.h"
#include "importcounts.h"

namespace engine {
class Database;
class PreparedStatement;
}  // namespace engine

namespace importer {

// How long one try at a write waits for another program's lock before the window runs again.
inline constexpr std::chrono::milliseconds kLockWaitPerTry{50};

// The longest text a file may give one value of its row. SQLite's length limit holds for a
// whole row record too, and a row carries four such texts, its companion row a copy of them,
// and the search index a folded copy that may be half as long again; at a sixteenth of the
// limit every one of those records stays well within it, whatever else the row holds.
inline constexpr std::size_t kLongestFileValue = engine::kLongestValue / 16;

// Cuts each of the file's values (not its path) that is longer than kLongestFileValue to the
// whole characters that fit; file.cut, and the result, tell whether one was. The values are valid
// UTF-8, as storeText() leaves them. A file read again gives the same cut values, so a rescan
// does not take it for changed.
bool cutToStorable(ReadFile& file);

// The error that stopped an import (or, with `rescan`, a rescan) at the file `path`: the same
// number, its description followed by the file's name.
engine::EngineError stoppedAt(const engine::EngineError& error, std::string_view path,
                              bool rescan = false);

// Writes a file's row of music_shelf together with its companion row in shelf_files: a new
// file's, a known file's new values, a moved file's new path. A row's change and its companion
// row reach the catalogue together or not at all; a new row may come without its companion row
// (it is then simply not known yet). The writes go into batches that the caller commits (see
// engine::commitOpenBatch). In a catalogue that has no companion table and cannot be given one
// (read-only), only rows are written. Runs on the thread that runs the import.
class ShelfWriter {
 public:
  // The catalogue handle for the next file, asked anew for every file.
  using DatabaseSource = std::function<std::shared_ptr<engine::Database>()>;
  using Yield = std::function<void()>;
  // Whether the import has been asked to stop, for a writer that waits for another program.
  using StopCheck = std::function<bool()>;
  // Told true while the writer waits for another program that holds the catalogue, false after.
  using WaitReport = std::function<void(bool waiting)>;

  ShelfWriter(DatabaseSource catalogue, Yield letWindowRun, StopCheck stopped, WaitReport waiting);
  ~ShelfWriter();
  ShelfWriter(const ShelfWriter&) = delete;
  ShelfWriter& operator=(const ShelfWriter&) = delete;

  enum class Result {
    Written,
    Missed,   // the row no longer holds the file it was to be written for: nothing was written
    Stopped,  // a stop came while another program held the catalogue: nothing was written
  };
  // What a known row's new values did.
  struct Change {
    bool fileChanged = false;  // the file gave other values than at its last read
    // Values the user had changed that stayed, where the file now gives another value than at
    // its last read.
    int editsKept = 0;
  };

  // Adds a row for `file` and its companion row; `onlyNew` (a rescan) while no row holds its
  // path, Missed when one does.
  Result add(const ReadFile& file, bool onlyNew = false);
  // Brings the row file.rowId, which holds the file's path, up to date with it: each value that
  // still is what the file gave at its last read takes the file's new value; one the user has
  // changed since stays. A row the companion table did not know gets its companion row only.
  Result refresh(const ReadFile& file, Change& change);
  // The row `rowId`, which names `oldFilename`, gets the path of `file`, the moved file, and its
  // values as refresh() gives them.
  Result move(std::int64_t rowId, const std::string& oldFilename, const ReadFile& file,
              Change& change);

  // Removes the companion rows whose music_shelf row another program deleted.
  Result removeOrphans();

  // After a failed write: whether SQLite rolled back the whole open batch with it, rather than
  // only that file's writes.
  bool batchLost() const { return m_batchLost; }

 private:
  struct Statements;
  // Prepares the statements on the newest handle. Throws engine::EngineError.
  Statements& statements();
  // Runs `write` in the open batch, as one unit of changes when `whole`, waiting for another
  // program's lock meanwhile.
  template <typename Write>
  Result inBatch(bool whole, const Write& write);
  Result update(std::int64_t rowId, const std::string& oldFilename,
                const std::string& newFilename, const ReadFile& file, Change& change);
  void writeCompanion(std::int64_t rowId, const std::string& filename, const ReadFile& file);

  DatabaseSource m_catalogue;
  Yield m_letWindowRun;
  StopCheck m_stopped;
  WaitReport m_waiting;
  std::unique_ptr<Statements> m_statements;
  std::weak_ptr<engine::Database> m_preparedOn;
  bool m_batchLost = false;
};

}  // namespace importer
