#include "shelffiles.h"

#include <string>

#include "engine/engine.h"
#include "schema.h"

namespace importer {

bool hasShelfFiles(engine::Database& db) {
  bool found = false;
  const std::string name[] = {kShelfFilesTable};
  db.ForEachRow("SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1", name,
                [&](engine::Database::RowTexts) { found = true; });
  return found;
}

bool ensureShelfFiles(engine::Database& db) {
  if (db.isReadOnly() || hasShelfFiles(db)) return false;
  // Each statement on its own: the engine runs one at a time. Another program making the table
  // at the same moment is harmless, as both say IF NOT EXISTS.
  const std::string schema = kCompanionSchema;
  std::size_t start = 0;
  while (start < schema.size()) {
    std::size_t end = schema.find(';', start);
    if (end == std::string::npos) end = schema.size();
    std::string statement = schema.substr(start, end - start);
    start = end + 1;
    // Comments and blanks alone make no statement.
    std::string code;
    for (std::size_t line = 0; line < statement.size();) {
      std::size_t next = statement.find('\n', line);
      if (next == std::string::npos) next = statement.size();
      const std::string text = statement.substr(line, next - line);
      if (text.find_first_not_of(" \t\r") != std::string::npos &&
          text.compare(text.find_first_not_of(" \t\r"), 2, "--") != 0)
        code += text + "\n";
      line = next + 1;
    }
    if (!code.empty()) db.Execute(code);
  }
  return true;
}

std::int64_t removeOrphanShelfFiles(engine::Database& db) {
  db.Execute(
      "DELETE FROM shelf_files WHERE NOT EXISTS (SELECT 1 FROM music_shelf WHERE "
      "music_shelf.ID = shelf_files.ID)");
  return db.RecordsAffected();
}

}  // namespace importer
