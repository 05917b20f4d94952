#pragma once

namespace engine {
class Database;
}

namespace importer {

// The companion table beside music_shelf (see catalog/companion.sql): what the import learnt of
// each row's file, so that a rescan can follow it.
inline constexpr const char* kShelfFilesTable = "shelf_files";

// Whether the catalogue has the companion table.
bool hasShelfFiles(engine::Database& db);

// Makes the companion table in a writable catalogue that lacks it. True when it was made by this
// call, for the caller to say so; false when it was there, or the catalogue is read-only. Throws
// engine::EngineError.
bool ensureShelfFiles(engine::Database& db);

}  // namespace importer
