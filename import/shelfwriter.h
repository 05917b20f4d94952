#pragma once

#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/errors.h"
#include "engine/limits.h"
#include "importcounts.h"

namespace engine {
class Database;
class PreparedStatement;
}  // namespace engine

namespace importer {

// How long one try at a write waits for another program's lock before the window runs again.
inline constexpr std::chrono::milliseconds kLockWaitPerTry{50};

// The longest text a file may give one value of its row: Title, Artist, Album, Genre and Track
// (Year and Comment are the user's, and the import never writes them). SQLite's length limit
// holds for each value and for each record it builds, and these values go into three records:
// the row, its companion row (a copy of all five), and the search index's row, which holds
// folded copies of four of them that may be half as long again (search_fold). Each of those
// stays within the limit, with the path as long as the system makes one (three bytes for each
// of its bytes once the ones that are not UTF-8 are replaced) and room for the numbers; no
// statement the program makes puts the three together into one record. What the user types into
// Year or Comment on top of that is bounded by the limit alone.
inline constexpr std::size_t kLongestFileValue = engine::kLongestFileValue;

namespace detail {
// The longest path as stored, and what a record needs besides its texts: far more than its
// header and numbers take.
inline constexpr std::size_t kLongestStoredPath = 3 * PATH_MAX;
inline constexpr std::size_t kRecordSlack = 64 * 1024;
}  // namespace detail
static_assert(5 * kLongestFileValue + detail::kLongestStoredPath + detail::kRecordSlack <
                  static_cast<std::size_t>(engine::kLongestValue),
              "a row, or its companion row, of five values at the cap fits in one record");
static_assert((4 * kLongestFileValue + detail::kLongestStoredPath) * 3 / 2 + detail::kRecordSlack <
                  static_cast<std::size_t>(engine::kLongestValue),
              "the search index's folded copy of such a row fits in one record");

// The one rule for a value's cut (engine::storablePart), which a rescan also measures a file's
// values against their last read by.
using engine::storablePart;

// Cuts each of the file's values (not its path) that is longer than kLongestFileValue to
// storablePart(); file.cut, and the result, tell whether one was. A file read again gives the
// same cut values, so a rescan does not take it for changed.
bool cutToStorable(ReadFile& file);

// The error that stopped an import (or, with `rescan`, a rescan) at the file `path`: the same
// number, its description followed by the file's name.
engine::EngineError stoppedAt(const engine::EngineError& error, std::string_view path,
                              bool rescan = false);
// The same for an error that took a batch of rows as it was committed: no one file's fault, so
// it names the last file the batch holds a row of.
engine::EngineError stoppedSavingUpTo(const engine::EngineError& error, std::string_view path,
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
  // With `lastReadAs`, the Filename of the companion row that describes the file now: its texts
  // stored whole before values were cut stay where the file gives their storable part.
  void writeCompanion(std::int64_t rowId, const std::string& filename, const ReadFile& file,
                      const std::string* lastReadAs = nullptr);
  // Drops the findings Check Files kept for the row, in the same unit as its new values.
  void dropFindings(std::int64_t rowId);

  DatabaseSource m_catalogue;
  Yield m_letWindowRun;
  StopCheck m_stopped;
  WaitReport m_waiting;
  std::unique_ptr<Statements> m_statements;
  std::weak_ptr<engine::Database> m_preparedOn;
  bool m_batchLost = false;
};

}  // namespace importer
