#include "catalog/undo.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <memory>
#include <utility>

#include "catalog/catalogue.h"
#include "engine/errors.h"
#include "engine/sqltext.h"

namespace catalog {

namespace {

// The companion table's columns (see companion.sql), ID first.
constexpr const char* kFileColumns[] = {"ID",       "Filename",     "AudioBytes", "AudioHash",
                                        "FileSize", "FileModified", "FileChanged", "Title",
                                        "Artist",   "Album",        "Genre",      "Track",
                                        "Duration", "Bitrate",      "VBR"};
constexpr int kFileColumnCount = static_cast<int>(std::size(kFileColumns));
constexpr const char* kFileTable = "shelf_files";
// How many steps are kept; the oldest go first.
constexpr std::size_t kMostSteps = 100;

// A list of IDs as one JSON array, bound as one value: "ID IN (SELECT value FROM json_each(?1))"
// reads or deletes thousands of rows in one statement.
std::string idArray(const std::vector<std::int64_t>& ids) {
  std::string json = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i) json += ',';
    json += std::to_string(ids[i]);
  }
  return json + "]";
}

std::string columnList(const char* const* columns, int count, const char* table) {
  std::string list;
  for (int c = 0; c < count; ++c)
    list += std::string(c ? ", " : "") + (table ? std::string(table) + "." : std::string()) +
            engine::quoteIdentifier(columns[c]);
  return list;
}

std::string parameterList(int count) {
  std::string list;
  for (int i = 1; i <= count; ++i) list += (i > 1 ? ", ?" : "?") + std::to_string(i);
  return list;
}

bool hasFileTable(engine::Database& db) { return db.hasTable(kFileTable); }

FieldText fieldText(const std::optional<std::string_view>& text) {
  return text ? FieldText(std::string(*text)) : std::nullopt;
}

// Binds the fields from parameter `first` on; a NULL is left unbound, which SQLite reads as NULL.
void bindFields(engine::PreparedStatement& statement, int first,
                const std::vector<FieldText>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i]) statement.bind(first + static_cast<int>(i), *fields[i]);
}

// Commits the unit's batch however the step ends; a unit that ended without keep() left it
// empty.
struct CommitAtEnd {
  ~CommitAtEnd() {
    try {
      engine::commitOpenBatch();
    } catch (...) {
    }
  }
};

bool sameRows(const std::optional<SongRow>& a, const std::optional<SongRow>& b,
              const std::vector<int>& columns) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (columns.empty()) return a->song == b->song;
  return std::all_of(columns.begin(), columns.end(),
                     [&](int c) { return a->song[c] == b->song[c]; });
}

}  // namespace

FieldText fieldTextOf(const engine::Value& value) {
  return value.isNull() ? FieldText() : FieldText(value.toText());
}

const FieldText* songField(const SongRow& row, std::string_view column) {
  for (int c = 0; c < kColumnCount && static_cast<std::size_t>(c) < row.song.size(); ++c)
    if (engine::equalsIgnoringCase(kColumns[c], column)) return &row.song[c];
  return nullptr;
}

std::vector<std::optional<SongRow>> readSongRows(engine::Database& db,
                                                 const std::vector<std::int64_t>& ids) {
  std::vector<std::optional<SongRow>> rows(ids.size());
  if (ids.empty()) return rows;
  const bool files = hasFileTable(db);
  std::string sql = "SELECT " + columnList(kColumns, kColumnCount, "s");
  if (files)
    sql += ", " + columnList(kFileColumns, kFileColumnCount, "f") +
           " FROM music_shelf AS s LEFT JOIN shelf_files AS f ON f.ID = s.ID";
  else
    sql += " FROM music_shelf AS s";
  sql += " WHERE s.ID IN (SELECT value FROM json_each(?1))";
  std::map<std::int64_t, SongRow> found;
  const std::string parameters[] = {idArray(ids)};
  db.ForEachRow(sql, parameters, [&](engine::Database::RowTexts fields) {
    SongRow row;
    if (!fields[0]) return;
    std::from_chars(fields[0]->data(), fields[0]->data() + fields[0]->size(), row.id);
    for (int c = 0; c < kColumnCount; ++c) row.song.push_back(fieldText(fields[c]));
    if (files && fields[kColumnCount]) {
      row.file.emplace();
      for (int c = 0; c < kFileColumnCount; ++c)
        row.file->push_back(fieldText(fields[kColumnCount + c]));
    }
    found[row.id] = std::move(row);
  });
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (const auto it = found.find(ids[i]); it != found.end()) rows[i] = it->second;
  return rows;
}

std::int64_t deleteSongRows(engine::Database& db, const std::vector<std::int64_t>& ids) {
  if (ids.empty()) return 0;
  const std::unique_ptr<engine::PreparedStatement> remove =
      db.Prepare("DELETE FROM music_shelf WHERE ID IN (SELECT value FROM json_each(?1))");
  remove->bind(1, idArray(ids));
  remove->Execute();
  return remove->RecordsAffected();
}

void writeSongField(engine::Database& db, std::int64_t id, const std::string& column,
                    const engine::Value& value, std::chrono::milliseconds lockWait) {
  if (std::none_of(std::begin(kColumns), std::end(kColumns),
                   [&](const char* c) { return engine::equalsIgnoringCase(c, column); }))
    throw engine::EngineError(engine::err::kItemNotFound,
                              "Item '" + column + "' not found in this collection.");
  const std::unique_ptr<engine::PreparedStatement> write = db.Prepare(
      "UPDATE music_shelf SET " + engine::quoteIdentifier(column) + " = ?1 WHERE ID = ?2");
  write->setLockWait(lockWait);
  if (!value.isNull()) write->bind(1, value.toText());
  write->bind(2, std::to_string(id));
  write->Execute();
}

UndoStack::UndoStack(QObject* parent) : QObject(parent) {}

UndoStack::~UndoStack() = default;

std::int64_t UndoStack::deleteRows(engine::Database& db, const std::vector<std::int64_t>& ids,
                                   const QString& label) {
  const bool kept = ids.size() <= kMostRowsKept;
  std::vector<std::optional<SongRow>> before;
  if (kept) before = readSongRows(db, ids);
  const std::int64_t deleted = deleteSongRows(db, ids);
  if (!kept) {
    // The steps before it may need rows that are gone now without a way back.
    clear();
    return deleted;
  }
  if (deleted > 0)
    push({label, ids, std::move(before), std::vector<std::optional<SongRow>>(ids.size()), {}});
  return deleted;
}

void UndoStack::record(engine::Database& db, const QString& label,
                       const std::vector<std::int64_t>& ids,
                       const std::vector<std::optional<SongRow>>& before, bool edit) {
  Step step{label, ids, before, readSongRows(db, ids), {}};
  if (edit) {
    for (int c = 1; c < kColumnCount; ++c)
      for (std::size_t i = 0; i < ids.size(); ++i)
        if (!sameRows(step.before[i], step.after[i], {c})) {
          step.columns.push_back(c);
          break;
        }
    if (step.columns.empty()) return;
  } else if (step.before == step.after) {
    return;
  }
  push(std::move(step));
}

QString UndoStack::undoLabel() const { return m_done.empty() ? QString() : m_done.back().label; }

QString UndoStack::redoLabel() const {
  return m_undone.empty() ? QString() : m_undone.back().label;
}

void UndoStack::push(Step step) {
  m_done.push_back(std::move(step));
  if (m_done.size() > kMostSteps) m_done.erase(m_done.begin());
  m_undone.clear();
  emit changed();
}

void UndoStack::clear() {
  if (m_done.empty() && m_undone.empty()) return;
  m_done.clear();
  m_undone.clear();
  emit changed();
}

UndoStack::Outcome UndoStack::undo(engine::Database& db, const Question& ask) {
  return carryOut(db, m_done, m_undone, true, ask);
}

UndoStack::Outcome UndoStack::redo(engine::Database& db, const Question& ask) {
  return carryOut(db, m_undone, m_done, false, ask);
}

// Carries out the last step of `from` and moves it to `to`. The row to show afterwards is the
// first that is there once it is done.
UndoStack::Outcome UndoStack::carryOut(engine::Database& db, std::vector<Step>& from,
                                       std::vector<Step>& to, bool undoing, const Question& ask) {
  if (from.empty()) return {};
  if (!apply(db, from.back(), undoing, ask)) return {};
  to.push_back(std::move(from.back()));
  from.pop_back();
  emit changed();
  const Step& step = to.back();
  const auto& rows = undoing ? step.before : step.after;
  for (std::size_t i = 0; i < step.ids.size(); ++i)
    if (rows[i]) return {true, step.ids[i]};
  return {true, step.ids.empty() ? std::nullopt : std::optional(step.ids.front())};
}

bool UndoStack::apply(engine::Database& db, const Step& step, bool undoing, const Question& ask) {
  const auto& from = undoing ? step.after : step.before;
  const auto& to = undoing ? step.before : step.after;
  const std::vector<std::optional<SongRow>> now = readSongRows(db, step.ids);

  // Rows that are no longer as the step left them were changed by someone else since: writing
  // over that is the user's call.
  std::size_t changed = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < step.ids.size(); ++i)
    if (!sameRows(from[i], now[i], step.columns) && changed++ == 0) first = i;
  if (changed > 0) {
    const QString action =
        (undoing ? QStringLiteral("Undo ") : QStringLiteral("Redo ")) + step.label;
    QString text;
    if (changed > 1)
      text = QStringLiteral("%1 of these songs were changed since, maybe by another program. "
                            "%2 anyway?")
                 .arg(changed)
                 .arg(action);
    else if (!from[first] && now[first])
      text = QStringLiteral("A song with ID %1 is in the catalogue again. %2 anyway and "
                            "replace it?")
                 .arg(step.ids[first])
                 .arg(action);
    else if (!now[first])
      text = QStringLiteral("Song %1 was deleted since, maybe by another program. %2 anyway?")
                 .arg(step.ids[first])
                 .arg(action);
    else
      text = QStringLiteral("Song %1 was changed since, maybe by another program. %2 anyway?")
                 .arg(step.ids[first])
                 .arg(action);
    if (!ask || !ask(text)) return false;
  }

  // Every statement is prepared before the unit opens, as the engine requires.
  const bool files = std::any_of(to.begin(), to.end(), [](const auto& r) { return r && r->file; }) &&
                     hasFileTable(db);
  const auto remove = db.Prepare("DELETE FROM music_shelf WHERE ID = ?1");
  const auto put = db.Prepare("INSERT OR REPLACE INTO music_shelf (" +
                              columnList(kColumns, kColumnCount, nullptr) +
                              ") VALUES (" + parameterList(kColumnCount) + ")");
  std::unique_ptr<engine::PreparedStatement> update;
  if (!step.columns.empty()) {
    std::string sql = "UPDATE music_shelf SET ";
    for (std::size_t i = 0; i < step.columns.size(); ++i)
      sql += (i ? ", " : "") + engine::quoteIdentifier(kColumns[step.columns[i]]) + " = ?" +
             std::to_string(i + 2);
    update = db.Prepare(sql + " WHERE ID = ?1");
  }
  std::unique_ptr<engine::PreparedStatement> putFile;
  if (files)
    putFile = db.Prepare("INSERT OR REPLACE INTO shelf_files (" +
                         columnList(kFileColumns, kFileColumnCount, nullptr) + ") VALUES (" +
                         parameterList(kFileColumnCount) + ")");
  for (auto* statement : {remove.get(), put.get(), update.get(), putFile.get()})
    if (statement) statement->setBatched(true);

  CommitAtEnd commitAtEnd;
  engine::Unit unit(db, std::nullopt);
  for (std::size_t i = 0; i < step.ids.size(); ++i) {
    if (!to[i]) {
      if (!now[i]) continue;
      remove->bind(1, std::to_string(step.ids[i]));
      remove->Execute();
    } else if (update && now[i]) {
      update->bind(1, std::to_string(step.ids[i]));
      for (std::size_t c = 0; c < step.columns.size(); ++c)
        if (const FieldText& field = to[i]->song[step.columns[c]])
          update->bind(static_cast<int>(c + 2), *field);
      update->Execute();
    } else {
      bindFields(*put, 1, to[i]->song);
      put->Execute();
      if (putFile && to[i]->file) {
        bindFields(*putFile, 1, *to[i]->file);
        putFile->Execute();
      }
    }
  }
  unit.keep();
  engine::commitOpenBatch();
  return true;
}

}  // namespace catalog
