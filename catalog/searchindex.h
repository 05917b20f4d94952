#pragma once

#include <cstddef>
#include <cstdint>

namespace engine {
class Database;
}

namespace catalog {

// The filter's index beside music_shelf (see catalog/search.sql): the folded texts of every row
// in shelf_search, and in shelf_search_queue the IDs of rows changed since they were indexed.

// Whether the catalogue has the index: the table, its queue and the triggers that fill the
// queue. Throws engine::EngineError.
bool hasSearchIndex(engine::Database& db);

// Makes the index in a writable catalogue that lacks it, with every existing row queued, so that
// catchUpSearchIndex() builds it. True when made by this call; false when it was there or the
// catalogue is read-only. Throws engine::EngineError.
bool ensureSearchIndex(engine::Database& db);

// Folds up to `maxRows` queued rows into the index and takes them off the queue: a slice short
// enough to run from an idle timer (a few hundred rows take a few milliseconds). Returns how
// many queue entries it handled; 0 when none waited or there is no index. Like every write, it
// first reads to their end the record sets still reading. Throws engine::EngineError; what it
// did before stays consistent, and the next call does the rest.
std::size_t catchUpSearchIndex(engine::Database& db, std::size_t maxRows);

// How many queue entries wait to be indexed (an ID changed twice counts twice); 0 without an
// index. Throws engine::EngineError.
std::int64_t searchIndexPending(engine::Database& db);

}  // namespace catalog
