#include "shelffiles.h"

#include <algorithm>
#include <string>
#include <string_view>

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
  // The engine runs one statement at a time: the comment lines go, then each statement runs on
  // its own. Another program making the table at the same moment is harmless, as both say IF
  // NOT EXISTS.
  std::string code;
  for (std::string_view rest = kCompanionSchema; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const std::size_t text = line.find_first_not_of(" \t\r");
    if (text != std::string_view::npos && line.substr(text, 2) != "--")
      code.append(line).push_back('\n');
  }
  for (std::size_t start = 0; start < code.size();) {
    const std::size_t end = std::min(code.find(';', start), code.size());
    const std::string statement = code.substr(start, end - start);
    start = end + 1;
    if (statement.find_first_not_of(" \t\r\n") != std::string::npos) db.Execute(statement);
  }
  return true;
}

}  // namespace importer
