#include "shelffiles.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "engine/sqltext.h"
#include "schema.h"

namespace importer {

bool hasShelfFiles(engine::Database& db) { return db.hasTable(kShelfFilesTable); }

bool ensureShelfFiles(engine::Database& db) {
  if (db.isReadOnly() || hasShelfFiles(db)) return false;
  // The engine runs one statement at a time. Another program making the table at the same
  // moment is harmless, as both say IF NOT EXISTS.
  engine::forEachStatement(kCompanionSchema,
                           [&](const std::string& statement) { db.Execute(statement); });
  return true;
}

}  // namespace importer
