#include "value.h"

#include <sqlite3.h>

namespace engine {

std::string Value::toText() const {
  if (isText()) return text();
  if (isInteger()) return std::to_string(integer());
  if (isReal()) {
    // SQLite's own rendering of a real ("%!.15g"), so text matches what SQL would show.
    char buf[64];
    sqlite3_snprintf(sizeof buf, buf, "%!.15g", real());
    return buf;
  }
  return {};
}

}  // namespace engine
