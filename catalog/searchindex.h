#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

struct sqlite3;

namespace engine {
class Database;
}

namespace catalog {

// The filter's index beside music_shelf (see catalog/search.sql): the folded texts of the rows
// up to the watermark in shelf_search_state, and in shelf_search_queue the IDs of rows changed
// since they were indexed.

// Whether the catalogue has the index: the table, its queue, its watermark and the triggers
// that fill the queue, wholly made and folded as this program folds (kSearchFoldVersion).
// Throws engine::EngineError.
bool hasSearchIndex(engine::Database& db);
// The same on a connection of the caller's own. Throws engine::EngineError.
bool hasSearchIndex(sqlite3* db);

// Makes the index in a writable catalogue that lacks it, empty, with its watermark at 0, so that
// catchUpSearchIndex() builds it; part of an index found there is dropped first. True when made
// by this call; false when it was there or the catalogue is read-only. Throws
// engine::EngineError.
bool ensureSearchIndex(engine::Database& db);

// Folds up to `maxRows` rows into the index, queued ones first and then the next above the
// watermark, which it moves past them; then merges a part of the index's segments in proportion.
// A slice short enough to run from an idle timer: it takes fewer rows when the last slices took
// longer than about 15 ms, and stops taking rows after 8 ms. Returns how many queue entries and rows it handled, at least one
// while any wait; 0 when none waited or there is no index. Like every write, it first reads to
// their end the record sets still reading. Throws engine::EngineError; the slice is one
// transaction, so a failure leaves the index as it was, and the next call does the rest.
std::size_t catchUpSearchIndex(engine::Database& db, std::size_t maxRows);

// The same slice on a connection of the caller's own, for a thread that must not touch the
// engine (see SearchIndexer): it needs registerSearchFunctions() and runs in a transaction of
// its own (BEGIN IMMEDIATE), which a failure rolls back. `betweenChunks` runs inside it after
// every few dozen rows; what it throws abandons the slice, rolled back, and comes out of here.
// Throws engine::EngineError.
std::size_t catchUpSearchIndex(sqlite3* db, std::size_t maxRows,
                               const std::function<void()>& betweenChunks = {});

// How many queue entries and rows above the watermark wait to be indexed (an ID changed twice
// counts twice); 0 without an index. Throws engine::EngineError.
std::int64_t searchIndexPending(engine::Database& db);

}  // namespace catalog
