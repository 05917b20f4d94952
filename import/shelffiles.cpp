#include "shelffiles.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/sqltext.h"
#include "schema.h"

namespace importer {

namespace {

// Only while the row still names the file that was checked: a finding about a file the row no
// longer holds, or about a row deleted during the check, would describe nothing.
constexpr const char* kAddFinding =
    "INSERT INTO shelf_findings (ID, Filename, Problem, Detail, Checked) SELECT ?1, ?2, ?3, ?4, "
    "?5 WHERE EXISTS (SELECT 1 FROM music_shelf WHERE ID = ?1 AND Filename = ?2 COLLATE BINARY)";

void runCompanionSchema(engine::Database& db) {
  // The engine runs one statement at a time. Another program making the tables at the same
  // moment is harmless, as every statement says IF NOT EXISTS.
  engine::forEachStatement(kCompanionSchema,
                           [&](const std::string& statement) { db.Execute(statement); });
}

}  // namespace

bool hasShelfFiles(engine::Database& db) { return db.hasTable(kShelfFilesTable); }

bool ensureShelfFiles(engine::Database& db) {
  if (db.isReadOnly() || hasShelfFiles(db)) return false;
  runCompanionSchema(db);
  return true;
}

bool hasShelfFindings(engine::Database& db) { return db.hasTable(kShelfFindingsTable); }

bool ensureShelfFindings(engine::Database& db) {
  if (db.isReadOnly()) return false;
  if (!hasShelfFindings(db)) {
    runCompanionSchema(db);
    return true;
  }
  // A table without its trigger (dropped by hand, or by a tool that copied the table alone)
  // would keep the findings of deleted rows for good. The schema makes only what is missing.
  bool triggerFound = false;
  const std::string trigger[] = {kShelfFindingsTrigger};
  db.ForEachRow("SELECT 1 FROM sqlite_schema WHERE type = 'trigger' AND name = ?1", trigger,
                [&](engine::Database::RowTexts) { triggerFound = true; });
  if (!triggerFound) runCompanionSchema(db);
  return false;
}

bool replaceFindings(engine::Database& db, std::span<const CheckedFile> files,
                     std::int64_t checkedAt, std::chrono::milliseconds lockWait) {
  if (files.empty()) return true;
  // Prepared before the unit opens, which allows no preparing inside it.
  const std::unique_ptr<engine::PreparedStatement> drop = db.Prepare(kDropFindingsSql);
  const std::unique_ptr<engine::PreparedStatement> add = db.Prepare(kAddFinding);
  drop->setBatched(true);
  add->setBatched(true);
  std::optional<engine::Unit> unit;
  try {
    unit.emplace(db, lockWait);
  } catch (const engine::EngineError& error) {
    if (engine::isLockTimeout(error)) return false;
    throw;
  }
  const std::string checked = std::to_string(checkedAt);
  for (const CheckedFile& file : files) {
    const std::string id = std::to_string(file.id);
    drop->bind(1, id);
    drop->Execute();
    for (const HealthFinding& finding : file.findings) {
      add->bind(1, id);
      add->bind(2, file.filename);
      add->bind(3, finding.problem);
      add->bind(4, finding.detail);
      add->bind(5, checked);
      add->Execute();
    }
  }
  unit->keep();
  unit.reset();
  engine::commitOpenBatch();
  return true;
}

}  // namespace importer
