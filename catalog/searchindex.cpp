#include "searchindex.h"

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "schema.h"

namespace catalog {

namespace {

// The statements of a schema text one by one, its comment lines dropped; a trigger's body keeps
// its semicolons.
template <typename Each>
void forEachStatement(std::string_view sql, const Each& each) {
  std::string statement;
  for (std::string_view rest = sql; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const std::size_t text = line.find_first_not_of(" \t\r");
    if (text == std::string_view::npos || line.substr(text, 2) == "--") continue;
    statement.append(line).push_back('\n');
    if (sqlite3_complete(statement.c_str())) {
      each(statement);
      statement.clear();
    }
  }
}

std::optional<std::int64_t> single(engine::Database& db, const std::string& sql) {
  std::optional<std::int64_t> value;
  db.ForEachRow(sql, {}, [&](engine::Database::RowTexts row) {
    if (!value && row[0]) value = std::stoll(std::string(*row[0]));
  });
  return value;
}

}  // namespace

bool hasSearchIndex(engine::Database& db) {
  // All three triggers must be there, or changes would slip past the queue.
  return single(db,
                "SELECT count(*) FROM sqlite_schema WHERE (type = 'table' AND name IN "
                "('shelf_search', 'shelf_search_queue')) OR (type = 'trigger' AND name IN "
                "('shelf_search_added', 'shelf_search_changed', 'shelf_search_deleted'))")
             .value_or(0) == 5;
}

bool ensureSearchIndex(engine::Database& db) {
  if (db.isReadOnly() || hasSearchIndex(db)) return false;
  // Everything says IF NOT EXISTS: another program, or a half-finished earlier try, may have
  // made part of it. Rows are queued before the triggers come, so none is missed; one queued
  // twice is indexed once.
  forEachStatement(kSearchSchema, [&](const std::string& statement) {
    if (statement.find("CREATE TRIGGER") == 0 &&
        single(db, "SELECT count(*) FROM shelf_search_queue").value_or(0) == 0)
      db.Execute("INSERT INTO shelf_search_queue (ID) SELECT ID FROM music_shelf ORDER BY ID");
    db.Execute(statement);
  });
  return true;
}

std::int64_t searchIndexPending(engine::Database& db) {
  if (!hasSearchIndex(db)) return 0;
  return single(db, "SELECT count(*) FROM shelf_search_queue").value_or(0);
}

std::size_t catchUpSearchIndex(engine::Database& db, std::size_t maxRows) {
  if (maxRows == 0 || db.isReadOnly() || !hasSearchIndex(db)) return 0;
  const std::string count = std::to_string(maxRows);
  std::int64_t entries = 0;
  std::optional<std::int64_t> last;
  db.ForEachRow("SELECT count(*), max(Seq) FROM (SELECT Seq FROM shelf_search_queue ORDER BY Seq "
                "LIMIT " + count + ")",
                {}, [&](engine::Database::RowTexts row) {
                  entries = row[0] ? std::stoll(std::string(*row[0])) : 0;
                  if (row[1]) last = std::stoll(std::string(*row[1]));
                });
  if (!last) return 0;
  // Each step may stop and leave the others for the next call: a row whose entry stays queued
  // is checked by the filter itself, so a stale or missing entry in the index never shows.
  // Entries queued after `last`, by another program meanwhile, stay for the next call.
  const std::string slice =
      "(SELECT ID FROM shelf_search_queue WHERE Seq <= " + std::to_string(*last) + ")";
  db.Execute("DELETE FROM shelf_search WHERE rowid IN " + slice);
  db.Execute(
      "INSERT INTO shelf_search (rowid, Title, Artist, Album, Genre, Year, Comment, Filename) "
      "SELECT ID, search_fold(Title), search_fold(Artist), search_fold(Album), "
      "search_fold(Genre), search_fold(Year), search_fold(Comment), search_fold(Filename) "
      "FROM music_shelf WHERE ID IN " + slice);
  db.Execute("DELETE FROM shelf_search_queue WHERE Seq <= " + std::to_string(*last));
  return static_cast<std::size_t>(entries);
}

}  // namespace catalog
