#include "catalog/catalogue.h"

#include <new>
#include <string>

namespace catalog {

void verifyCatalogue(engine::Database& db) {
  std::string columns;
  for (const char* name : kColumns) columns += (columns.empty() ? "" : ", ") + std::string(name);
  try {
    // Reads no row: preparing the query is enough to find a missing table or column.
    db.OpenRecordset("SELECT " + columns + " FROM music_shelf WHERE 0", engine::dbOpenSnapshot);
  } catch (const engine::EngineError& e) {
    throw engine::EngineError(e.number(), "The catalogue '" + db.path() +
                                              "' has no table music_shelf with the columns " +
                                              columns + " (" + e.description() + ").");
  }
}

ErrorInfo describeError(const std::exception& e) {
  if (const auto* engineError = dynamic_cast<const engine::EngineError*>(&e))
    return {engineError->number(), engineError->description()};
  if (dynamic_cast<const std::bad_alloc*>(&e)) return {kOutOfMemory, "Out of memory."};
  return {kInternalError, e.what()};
}

}  // namespace catalog
