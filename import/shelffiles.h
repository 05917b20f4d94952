#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "import/filehealth.h"

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

// The companion table of Check Files' findings, and the trigger that takes a deleted row's
// findings with it (see catalog/companion.sql).
inline constexpr const char* kShelfFindingsTable = "shelf_findings";
inline constexpr const char* kShelfFindingsTrigger = "shelf_findings_deleted";

bool hasShelfFindings(engine::Database& db);
// Drops the findings of row ?1: its file was read again, or is another one now.
inline constexpr const char* kDropFindingsSql = "DELETE FROM shelf_findings WHERE ID = ?1";

// Makes the findings table in a writable catalogue that lacks it, together with whatever else of
// the companion tables it lacks, and the trigger where only that is missing. True when the table
// was made by this call; false when it was there (also when the trigger was made again), or the
// catalogue is read-only. Throws engine::EngineError.
bool ensureShelfFindings(engine::Database& db);

// One checked file and what the check found wrong with it: `filename` is the row's Filename as
// it was read for the check.
struct CheckedFile {
  std::int64_t id = 0;
  std::string filename;
  std::vector<HealthFinding> findings;
};

// Replaces the kept findings of each file in `files` by its new ones (none for a sound file), as
// one unit of changes, committed before it returns. A row that no longer names its file (moved
// or deleted meanwhile) loses its old findings and gets no new ones. `checkedAt` goes into
// Checked. False, with nothing written, when another program held the catalogue longer than
// `lockWait`. Throws engine::EngineError, with nothing of the batch written.
bool replaceFindings(engine::Database& db, std::span<const CheckedFile> files,
                     std::int64_t checkedAt, std::chrono::milliseconds lockWait);

}  // namespace importer
