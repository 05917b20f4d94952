#include "searchindex.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "schema.h"

namespace catalog {

namespace {

// The statements of a schema text one by one, its comment lines dropped; a trigger's body keeps
// its semicolons.
template <typename Each>
void forEachStatement(std::string_view sql, const Each& each) {
  std::string statement;
  for (std::string_view rest = sql; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const std::size_t text = line.find_first_not_of(" \t\r");
    if (text == std::string_view::npos || line.substr(text, 2) == "--") continue;
    statement.append(line).push_back('\n');
    if (sqlite3_complete(statement.c_str())) {
      each(statement);
      statement.clear();
    }
  }
}

std::optional<std::int64_t> single(engine::Database& db, const std::string& sql) {
  std::optional<std::int64_t> value;
  db.ForEachRow(sql, {}, [&](engine::Database::RowTexts row) {
    if (!value && row[0]) value = std::stoll(std::string(*row[0]));
  });
  return value;
}

std::vector<std::int64_t> column(engine::Database& db, const std::string& sql) {
  std::vector<std::int64_t> values;
  db.ForEachRow(sql, {}, [&](engine::Database::RowTexts row) {
    if (row[0]) values.push_back(std::stoll(std::string(*row[0])));
  });
  return values;
}

using Clock = std::chrono::steady_clock;

// A slice runs on the window's thread between its events, so it takes as many rows as the last
// slices say fit in this long, merge step and commit included: how long a row takes varies
// tenfold with the size of the index and the disk's load.
constexpr double kSliceTargetMs = 15;
constexpr std::size_t kSliceLeastRows = 32;
// What a row cost the last slices on this thread, on average.
thread_local double t_msPerRow = 0.04;
// And it stops taking rows after this long, whatever the estimate said.
constexpr std::chrono::milliseconds kSliceBudget{8};
// Rows folded between looks at the clock: a few milliseconds' work.
constexpr std::size_t kChunkRows = 50;
// Pages of segment merging per slice: half a page per row folded, about what FTS5 writes for a
// row of a catalogue times the levels a million rows' segments make, so that the index keeps a
// few segments per level however long it grows and queries stay fast; and a slice with few rows
// still merges this many.
constexpr std::int64_t kMergePagesLeast = 16;

constexpr const char* kFoldInto =
    "INSERT INTO shelf_search (rowid, Title, Artist, Album, Genre, Year, Comment, Filename) "
    "SELECT ID, search_fold(Title), search_fold(Artist), search_fold(Album), "
    "search_fold(Genre), search_fold(Year), search_fold(Comment), search_fold(Filename) "
    "FROM music_shelf WHERE ";

// What a slice does, bound to ranges, prepared before its batch begins.
struct SliceStatements {
  explicit SliceStatements(engine::Database& db) {
    // Queue entries (from, to] by Seq. Only rows the watermark has passed are folded here: the
    // others it folds when it gets to them, after their old entries went.
    unqueue = db.Prepare(
        "DELETE FROM shelf_search WHERE rowid IN (SELECT ID FROM shelf_search_queue WHERE Seq > "
        "CAST(?1 AS INTEGER) AND Seq <= CAST(?2 AS INTEGER))");
    requeue = db.Prepare(std::string(kFoldInto) +
                         "ID IN (SELECT ID FROM shelf_search_queue WHERE Seq > CAST(?1 AS "
                         "INTEGER) AND Seq <= CAST(?2 AS INTEGER)) AND ID <= (SELECT Upto FROM "
                         "shelf_search_state)");
    dequeue = db.Prepare("DELETE FROM shelf_search_queue WHERE Seq <= CAST(?1 AS INTEGER)");
    // Rows (from, to] by ID above the watermark, and the watermark moved past them. Nothing
    // above the watermark should be in the index; whatever is goes first, so that a row is
    // never there twice.
    clear = db.Prepare(
        "DELETE FROM shelf_search WHERE rowid > CAST(?1 AS INTEGER) AND rowid <= CAST(?2 AS "
        "INTEGER)");
    fold = db.Prepare(std::string(kFoldInto) +
                      "ID > CAST(?1 AS INTEGER) AND ID <= CAST(?2 AS INTEGER)");
    advance = db.Prepare("UPDATE shelf_search_state SET Upto = max(Upto, CAST(?1 AS INTEGER))");
    merge = db.Prepare(
        "INSERT INTO shelf_search (shelf_search, rank) VALUES ('merge', CAST(?1 AS INTEGER))");
    for (auto* statement : {unqueue.get(), requeue.get(), dequeue.get(), clear.get(), fold.get(),
                            advance.get(), merge.get()})
      statement->setBatched(true);
  }

  static void run(engine::PreparedStatement& statement, std::int64_t from,
                  std::optional<std::int64_t> to = std::nullopt) {
    statement.bind(1, std::to_string(from));
    if (to) statement.bind(2, std::to_string(*to));
    statement.Execute();
  }

  std::unique_ptr<engine::PreparedStatement> unqueue, requeue, dequeue, clear, fold, advance,
      merge;
};

// Hands `each` the keys (ascending) in ranges (from, to] of at most kChunkRows, starting above
// `from`, until they run out or the deadline passes. Returns the last `to` and how many keys.
template <typename Each>
std::pair<std::int64_t, std::size_t> inChunks(const std::vector<std::int64_t>& keys,
                                              std::int64_t from, Clock::time_point deadline,
                                              const Each& each) {
  std::size_t done = 0;
  while (done < keys.size()) {
    const std::size_t end = std::min(done + kChunkRows, keys.size());
    each(from, keys[end - 1]);
    from = keys[end - 1];
    done = end;
    if (Clock::now() >= deadline) break;
  }
  return {from, done};
}

}  // namespace

bool hasSearchIndex(engine::Database& db) {
  // All three triggers must be there, or changes would slip past the queue.
  return single(db,
                "SELECT count(*) FROM sqlite_schema WHERE (type = 'table' AND name IN "
                "('shelf_search', 'shelf_search_queue', 'shelf_search_state')) OR (type = "
                "'trigger' AND name IN ('shelf_search_added', 'shelf_search_changed', "
                "'shelf_search_deleted'))")
             .value_or(0) == 6;
}

bool ensureSearchIndex(engine::Database& db) {
  if (db.isReadOnly() || hasSearchIndex(db)) return false;
  // A part of an index, left by a half-finished earlier try or by an older layout that queued
  // every new row, cannot be trusted to match its watermark: it is made anew. The triggers go
  // first, so that nothing writes into a table on its way out. Made anew, the watermark stands
  // at 0 and every row counts as not indexed until catchUpSearchIndex() gets to it; at any step
  // between, the index is incomplete and not used.
  for (const char* trigger : {"shelf_search_added", "shelf_search_changed", "shelf_search_deleted"})
    db.Execute(std::string("DROP TRIGGER IF EXISTS ") + trigger);
  for (const char* table : {"shelf_search_queue", "shelf_search_state", "shelf_search"})
    db.Execute(std::string("DROP TABLE IF EXISTS ") + table);
  forEachStatement(kSearchSchema, [&](const std::string& statement) { db.Execute(statement); });
  return true;
}

std::int64_t searchIndexPending(engine::Database& db) {
  if (!hasSearchIndex(db)) return 0;
  return single(db,
                "SELECT (SELECT count(*) FROM shelf_search_queue) + (SELECT count(*) FROM "
                "music_shelf WHERE ID > (SELECT Upto FROM shelf_search_state))")
      .value_or(0);
}

std::size_t catchUpSearchIndex(engine::Database& db, std::size_t maxRows) {
  if (maxRows == 0 || db.isReadOnly() || !hasSearchIndex(db)) return 0;
  const auto start = Clock::now();
  const auto deadline = start + kSliceBudget;
  maxRows = std::min(maxRows, std::max(kSliceLeastRows, static_cast<std::size_t>(
                                                            kSliceTargetMs / t_msPerRow)));
  // What the slice may take is read first: no query runs inside its batch. Whatever another
  // program writes meanwhile is either in the ranges read, and folded with them, or queued.
  const std::vector<std::int64_t> queued = column(
      db, "SELECT Seq FROM shelf_search_queue ORDER BY Seq LIMIT " + std::to_string(maxRows));
  const std::int64_t upto = single(db, "SELECT Upto FROM shelf_search_state").value_or(0);
  std::vector<std::int64_t> above;
  if (queued.size() < maxRows)
    above = column(db, "SELECT ID FROM music_shelf WHERE ID > " + std::to_string(upto) +
                           " ORDER BY ID LIMIT " + std::to_string(maxRows - queued.size()));
  if (queued.empty() && above.empty()) return 0;

  SliceStatements statements(db);
  engine::Unit unit(db, std::nullopt);
  // Queue entries first: the rows they fold lie at or below the watermark, below every row the
  // watermark then passes, and FTS5 writes rows in ascending order best.
  const auto [unqueued, entries] =
      inChunks(queued, 0, deadline, [&](std::int64_t from, std::int64_t to) {
        SliceStatements::run(*statements.unqueue, from, to);
        SliceStatements::run(*statements.requeue, from, to);
      });
  if (entries > 0) SliceStatements::run(*statements.dequeue, unqueued);
  std::int64_t passed = upto;
  std::size_t rows = 0;
  if (entries == queued.size() && Clock::now() < deadline)
    std::tie(passed, rows) = inChunks(above, upto, deadline, [&](std::int64_t from, std::int64_t to) {
      SliceStatements::run(*statements.clear, from, to);
      SliceStatements::run(*statements.fold, from, to);
    });
  if (passed > upto) SliceStatements::run(*statements.advance, passed);
  SliceStatements::run(*statements.merge,
                       std::max<std::int64_t>(kMergePagesLeast,
                                              static_cast<std::int64_t>(entries + rows) / 2));
  unit.keep();
  engine::commitOpenBatch();
  const std::size_t handled = entries + rows;
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  t_msPerRow = 0.7 * t_msPerRow + 0.3 * ms / static_cast<double>(handled);
  return handled;
}

}  // namespace catalog
