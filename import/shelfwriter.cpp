#include "shelfwriter.h"

#include <charconv>
#include <optional>
#include <string_view>
#include <utility>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/utf8.h"
#include "shelffiles.h"

namespace importer {

namespace {

// One row per file. Every value is bound as text, as rows have always reached the catalogue;
// the columns' types turn the numbers into numbers.
constexpr const char* kInsertRow =
    "INSERT INTO music_shelf (Title, Artist, Album, Genre, Track, Filename, Duration, Bitrate, "
    "VBR) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

// The same for a rescan's new file, only while no row holds its path: the look and the row are
// one write, so that two programs rescanning one folder at once store each file once. The first
// comparison walks the Filename index, the second tells paths apart by their letter case.
constexpr const char* kInsertNewRow =
    "INSERT INTO music_shelf (Title, Artist, Album, Genre, Track, Filename, Duration, Bitrate, "
    "VBR) SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9 WHERE NOT EXISTS (SELECT 1 FROM music_shelf "
    "WHERE Filename = ?6 AND Filename = ?6 COLLATE BINARY)";

// The companion row of row ?1, written only while that row names the file (?2) it describes.
// Unknown numbers are bound as empty texts and stored as NULL.
constexpr const char* kWriteCompanion =
    "INSERT OR REPLACE INTO shelf_files (ID, Filename, AudioBytes, AudioHash, FileSize, "
    "FileModified, FileChanged, Title, Artist, Album, Genre, Track, Duration, Bitrate, VBR) "
    "SELECT ?1, ?2, NULLIF(?3, ''), NULLIF(?4, ''), NULLIF(?5, ''), NULLIF(?6, ''), "
    "NULLIF(?7, ''), ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15 WHERE EXISTS (SELECT 1 FROM "
    "music_shelf WHERE ID = ?1 AND Filename = ?2 COLLATE BINARY)";

// What other programs left behind when they deleted rows.
constexpr const char* kRemoveOrphans =
    "DELETE FROM shelf_files WHERE NOT EXISTS (SELECT 1 FROM music_shelf WHERE music_shelf.ID = "
    "shelf_files.ID)";

// The values a file gives, which a rescan brings up to date, with their places among the
// bound values (those of kInsertRow).
constexpr std::pair<const char*, int> kFileValues[] = {
    {"Title", 1}, {"Artist", 2}, {"Album", 3},    {"Genre", 4},
    {"Track", 5}, {"Duration", 7}, {"Bitrate", 8}, {"VBR", 9}};

// The value the file gives at ?`index`, as a rescan measures it against the last read: with
// `cutAware`, a text stored whole before values were cut, whose storable part the file now
// gives, is taken to be what the file gives, so that its row neither changes nor counts as
// updated. `lastRead` is the companion row the value is measured against, in SQL.
std::string given(const std::string& column, int index, bool cutAware,
                  const std::string& lastRead) {
  const std::string value = "?" + std::to_string(index);
  if (!cutAware || index > 5) return value;
  return "coalesce((SELECT shelf_files." + column + " " + lastRead + " AND storable_part(" +
         "shelf_files." + column + ") IS " + value + " COLLATE BINARY), " + value + ")";
}

// Row ?10, while it names ?11 and the companion row describes that file, gets the path ?6 and
// the new values ?1 to ?9 where its values are still those the file gave at its last read. It
// returns "kept/changed": how many of the values the file now gives differently from its last
// read the row did not take (the user's, kept), and how many the file gives differently.
// Compared byte for byte: an edit that only changed the case of a title is an edit. With
// `cutAware`, for a file with a value at the cap, the values are measured as given() says.
std::string updateRowSql(bool cutAware = false) {
  const std::string asRead =
      "FROM shelf_files WHERE shelf_files.ID = ?10 AND shelf_files.Filename = ?11 COLLATE BINARY";
  std::string set = "Filename = ?6";
  std::string kept;
  std::string changed;
  for (const auto& [column, index] : kFileValues) {
    const std::string name = column;
    const std::string value = given(name, index, cutAware, asRead);
    set += ", " + name + " = CASE WHEN " + name + " IS (SELECT " + name + " " + asRead +
           ") COLLATE BINARY THEN " + value + " ELSE " + name + " END";
    const std::string differs = "(shelf_files." + name + " IS NOT " + value + " COLLATE BINARY)";
    kept += std::string(kept.empty() ? "" : " + ") + "(" + differs + " AND music_shelf." + name +
            " IS NOT " + value + " COLLATE BINARY)";
    changed += std::string(changed.empty() ? "" : " + ") + differs;
  }
  return "UPDATE music_shelf SET " + set +
         " WHERE ID = ?10 AND Filename = ?11 COLLATE BINARY AND EXISTS (SELECT 1 " + asRead +
         ") RETURNING (SELECT " + kept + " " + asRead + ") || '/' || (SELECT " + changed + " " +
         asRead + ")";
}

// Row ?10, while it names ?11 and the file gives the values it gave at its last read, gets the
// path ?6 and nothing else: most moved files are not retagged, and an update that names only
// Filename rewrites only that index entry. With `cutAware`, a text stored whole before values
// were cut is the same when the file gives its storable part.
std::string moveOnlySql(bool cutAware = false) {
  std::string same;
  for (const auto& [column, index] : kFileValues) {
    const std::string lastRead = std::string("shelf_files.") + column;
    same += " AND " + (cutAware && index <= 5 ? "storable_part(" + lastRead + ")" : lastRead) +
            " IS ?" + std::to_string(index) + " COLLATE BINARY";
  }
  return "UPDATE music_shelf SET Filename = ?6 WHERE ID = ?10 AND Filename = ?11 COLLATE BINARY "
         "AND EXISTS (SELECT 1 FROM shelf_files WHERE shelf_files.ID = ?10 AND "
         "shelf_files.Filename = ?11 COLLATE BINARY" +
         same + ")";
}

// kWriteCompanion for a file with a value at the cap whose companion row describes it as ?16:
// a text of that row stored whole before values were cut stays whole where the file gives its
// storable part, as the row's own value does (given()).
std::string writeCompanionCutAwareSql() {
  const std::string lastRead =
      "FROM shelf_files WHERE shelf_files.ID = ?1 AND shelf_files.Filename = ?16 COLLATE BINARY";
  std::string values;
  int place = 8;
  for (const auto& [column, index] : kFileValues) {
    const std::string value = "?" + std::to_string(place++);
    values += ", ";
    values += index <= 5 ? "coalesce((SELECT shelf_files." + std::string(column) + " " +
                               lastRead + " AND storable_part(shelf_files." + column + ") IS " +
                               value + " COLLATE BINARY), " + value + ")"
                         : value;
  }
  return "INSERT OR REPLACE INTO shelf_files (ID, Filename, AudioBytes, AudioHash, FileSize, "
         "FileModified, FileChanged, Title, Artist, Album, Genre, Track, Duration, Bitrate, VBR) "
         "SELECT ?1, ?2, NULLIF(?3, ''), NULLIF(?4, ''), NULLIF(?5, ''), NULLIF(?6, ''), "
         "NULLIF(?7, '')" +
         values +
         " WHERE EXISTS (SELECT 1 FROM music_shelf WHERE ID = ?1 AND Filename = ?2 COLLATE "
         "BINARY)";
}

// Whether one of the file's texts is long enough to be the storable part of a longer one, so
// that a rescan measures it with the statements that know about the cut; most files are not,
// and their statements stay as plain as they were.
bool nearTheCap(const ReadFile& file) {
  for (std::size_t i = 0; i < 5; ++i)
    if (file.values[i].size() + 3 >= kLongestFileValue) return true;
  return false;
}

std::string numberText(std::int64_t value) { return std::to_string(value); }

// "kept/changed" as the update returns it.
ShelfWriter::Change changeFrom(const std::string& returned) {
  ShelfWriter::Change change;
  const std::size_t slash = returned.find('/');
  if (slash == std::string::npos) return change;
  int changed = 0;
  std::from_chars(returned.data(), returned.data() + slash, change.editsKept);
  std::from_chars(returned.data() + slash + 1, returned.data() + returned.size(), changed);
  change.fileChanged = changed > 0;
  return change;
}

}  // namespace

bool cutToStorable(ReadFile& file) {
  bool cut = false;
  // Title, Artist, Album, Genre and Track; the path names the file and stays whole.
  for (std::size_t i = 0; i < 5; ++i) {
    std::string& value = file.values[i];
    const std::size_t keep = storablePart(value).size();
    if (keep == value.size()) continue;
    value.resize(keep);
    cut = true;
  }
  file.cut = cut;
  return cut;
}

namespace {

engine::EngineError withSentence(const engine::EngineError& error, std::string_view sentence,
                                 std::string_view path) {
  std::string description = error.description();
  if (!description.empty()) description += description.back() == '.' ? " " : ". ";
  description += sentence;
  description += engine::validUtf8(path);
  description += '.';
  return engine::EngineError(error.number(), std::move(description));
}

}  // namespace

engine::EngineError stoppedAt(const engine::EngineError& error, std::string_view path,
                              bool rescan) {
  return withSentence(error, rescan ? "The rescan stopped at " : "The import stopped at ", path);
}

engine::EngineError stoppedSavingUpTo(const engine::EngineError& error, std::string_view path,
                                      bool rescan) {
  return withSentence(error,
                      rescan ? "The rescan stopped while saving the rows up to "
                             : "The import stopped while saving the rows up to ",
                      path);
}

// The companion statements are null in a catalogue without the companion table.
struct ShelfWriter::Statements {
  std::unique_ptr<engine::PreparedStatement> insertRow;
  std::unique_ptr<engine::PreparedStatement> insertNewRow;
  std::unique_ptr<engine::PreparedStatement> writeCompanion;
  std::unique_ptr<engine::PreparedStatement> updateRow;
  std::unique_ptr<engine::PreparedStatement> moveOnly;
  std::unique_ptr<engine::PreparedStatement> removeOrphans;
  // For a file with a value at the cap (nearTheCap).
  std::unique_ptr<engine::PreparedStatement> updateRowCutAware;
  std::unique_ptr<engine::PreparedStatement> moveOnlyCutAware;
  std::unique_ptr<engine::PreparedStatement> writeCompanionCutAware;
  // Null in a catalogue without Check Files' findings.
  std::unique_ptr<engine::PreparedStatement> dropFindings;
};

ShelfWriter::ShelfWriter(DatabaseSource catalogue, Yield letWindowRun, StopCheck stopped,
                         WaitReport waiting)
    : m_catalogue(std::move(catalogue)),
      m_letWindowRun(std::move(letWindowRun)),
      m_stopped(std::move(stopped)),
      m_waiting(std::move(waiting)) {}

ShelfWriter::~ShelfWriter() = default;

ShelfWriter::Statements& ShelfWriter::statements() {
  const std::shared_ptr<engine::Database> db = m_catalogue();
  if (!db || !db->isOpen())
    throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
  if (m_statements && m_preparedOn.lock() == db) return *m_statements;
  m_statements.reset();
  auto fresh = std::make_unique<Statements>();
  const bool companion = hasShelfFiles(*db);
  for (auto [statement, sql] :
       {std::pair{&fresh->insertRow, std::string(kInsertRow)},
        std::pair{&fresh->insertNewRow, std::string(kInsertNewRow)},
        std::pair{&fresh->writeCompanion, std::string(kWriteCompanion)},
        std::pair{&fresh->updateRow, updateRowSql()},
        std::pair{&fresh->moveOnly, moveOnlySql()},
        std::pair{&fresh->removeOrphans, std::string(kRemoveOrphans)},
        std::pair{&fresh->updateRowCutAware, updateRowSql(true)},
        std::pair{&fresh->moveOnlyCutAware, moveOnlySql(true)},
        std::pair{&fresh->writeCompanionCutAware, writeCompanionCutAwareSql()}}) {
    if (statement != &fresh->insertRow && statement != &fresh->insertNewRow && !companion)
      continue;
    *statement = db->Prepare(sql);
    (*statement)->setBatched(true);
  }
  if (hasShelfFindings(*db)) {
    fresh->dropFindings = db->Prepare(kDropFindingsSql);
    fresh->dropFindings->setBatched(true);
  }
  m_statements = std::move(fresh);
  m_preparedOn = db;
  return *m_statements;
}

template <typename Write>
ShelfWriter::Result ShelfWriter::inBatch(bool whole, const Write& write) {
  for (;;) {
    Statements& prepared = statements();
    std::optional<engine::Unit> unit;
    try {
      if (whole)
        unit.emplace(*m_catalogue(), kLockWaitPerTry);
      else
        engine::beginBatch(*m_catalogue(), kLockWaitPerTry);
    } catch (const engine::EngineError& error) {
      if (!engine::isLockTimeout(error)) throw;
      // Another program is writing, maybe for a long while: the window goes on meanwhile.
      m_waiting(true);
      m_letWindowRun();
      if (m_stopped()) {
        m_waiting(false);
        return Result::Stopped;
      }
      continue;
    }
    m_waiting(false);
    m_batchLost = false;
    try {
      const Result result = write(prepared);
      if (result == Result::Written && unit) {
        try {
          unit->keep();
        } catch (const engine::EngineError&) {
          m_batchLost = true;  // the batch went with the unit
          throw;
        }
      }
      return result;
    } catch (const engine::EngineError&) {
      for (const auto* statement : {&prepared.insertRow, &prepared.insertNewRow,
                                    &prepared.writeCompanion,
                                    &prepared.updateRow, &prepared.moveOnly,
                                    &prepared.removeOrphans, &prepared.updateRowCutAware,
                                    &prepared.moveOnlyCutAware,
                                    &prepared.writeCompanionCutAware, &prepared.dropFindings})
        m_batchLost = m_batchLost || (*statement && (*statement)->batchLost());
      throw;
    }
  }
}

void ShelfWriter::writeCompanion(std::int64_t rowId, const std::string& filename,
                                 const ReadFile& file, const std::string* lastReadAs) {
  if (!m_statements->writeCompanion) return;
  engine::PreparedStatement& companion = lastReadAs ? *m_statements->writeCompanionCutAware
                                                    : *m_statements->writeCompanion;
  if (lastReadAs) companion.bind(16, *lastReadAs);
  companion.bind(1, numberText(rowId));
  companion.bind(2, filename);
  companion.bind(3, file.identity ? numberText(file.identity->bytes) : std::string());
  // The hash as the signed 64-bit number SQLite stores.
  companion.bind(4, file.identity ? numberText(static_cast<std::int64_t>(file.identity->hash))
                                  : std::string());
  companion.bind(5, file.stamp ? numberText(file.stamp->size) : std::string());
  companion.bind(6, file.stamp ? numberText(file.stamp->modified) : std::string());
  companion.bind(7, file.stamp ? numberText(file.stamp->changed) : std::string());
  int index = 8;
  for (const auto& [column, value] : kFileValues)
    companion.bind(index++, file.values[static_cast<std::size_t>(value - 1)]);
  companion.Execute();
}

void ShelfWriter::dropFindings(std::int64_t rowId) {
  if (!m_statements->dropFindings) return;
  m_statements->dropFindings->bind(1, numberText(rowId));
  m_statements->dropFindings->Execute();
}

ShelfWriter::Result ShelfWriter::add(const ReadFile& file, bool onlyNew) {
  // No unit: a row without its companion row is as good as one made before there was a table.
  return inBatch(false, [&](Statements& prepared) {
    engine::PreparedStatement& insert = onlyNew ? *prepared.insertNewRow : *prepared.insertRow;
    for (std::size_t i = 0; i < file.values.size(); ++i)
      insert.bind(static_cast<int>(i + 1), file.values[i]);
    insert.Execute();
    // Another program stored the file meanwhile; or a trigger of another program's kept the
    // row out.
    if (insert.RecordsAffected() == 0) return onlyNew ? Result::Missed : Result::Written;
    try {
      writeCompanion(m_catalogue()->LastInsertedId(), file.filename(), file);
    } catch (const engine::EngineError&) {
      // The row is in, and simply not known yet, unless the batch went with the failure.
      if (prepared.writeCompanion->batchLost()) throw;
    }
    return Result::Written;
  });
}

ShelfWriter::Result ShelfWriter::update(std::int64_t rowId, const std::string& oldFilename,
                                        const std::string& newFilename, const ReadFile& file,
                                        Change& change) {
  return inBatch(true, [&](Statements& prepared) {
    if (!prepared.updateRow) return Result::Missed;
    const bool cutAware = nearTheCap(file);
    const auto run = [&](engine::PreparedStatement& statement) {
      for (std::size_t i = 0; i < file.values.size(); ++i)
        statement.bind(static_cast<int>(i + 1), i == 5 ? newFilename : file.values[i]);
      statement.bind(10, numberText(rowId));
      statement.bind(11, oldFilename);
      statement.Execute();
      return statement.RecordsAffected() > 0;
    };
    // A file moved with its values as they were needs its new path only.
    if (oldFilename != newFilename &&
        run(cutAware ? *prepared.moveOnlyCutAware : *prepared.moveOnly)) {
      change = {};
    } else {
      engine::PreparedStatement& update =
          cutAware ? *prepared.updateRowCutAware : *prepared.updateRow;
      if (!run(update) || !update.returned()) return Result::Missed;
      change = changeFrom(*update.returned());
    }
    writeCompanion(rowId, newFilename, file, cutAware ? &oldFilename : nullptr);
    // What a check found in the file before it changed or moved no longer tells about it.
    dropFindings(rowId);
    return Result::Written;
  });
}

ShelfWriter::Result ShelfWriter::refresh(const ReadFile& file, Change& change) {
  change = {};
  // The row keeps its Filename, which may spell the path with doubled separators.
  if (file.described)
    return update(file.rowId, file.rowFilename, file.rowFilename, file, change);
  // What the row holds may be the user's: the file's values become what it gave at this read,
  // and later changes of the file are measured from them.
  return inBatch(true, [&](Statements& prepared) {
    if (!prepared.writeCompanion) return Result::Missed;
    writeCompanion(file.rowId, file.rowFilename, file);
    if (prepared.writeCompanion->RecordsAffected() == 0) return Result::Missed;
    // Read again because it may have changed since a check: its findings may be out of date.
    dropFindings(file.rowId);
    return Result::Written;
  });
}

ShelfWriter::Result ShelfWriter::removeOrphans() {
  return inBatch(false, [&](Statements& prepared) {
    if (prepared.removeOrphans) prepared.removeOrphans->Execute();
    return Result::Written;
  });
}

ShelfWriter::Result ShelfWriter::move(std::int64_t rowId, const std::string& oldFilename,
                                      const ReadFile& file, Change& change) {
  change = {};
  return update(rowId, oldFilename, file.filename(), file, change);
}

}  // namespace importer
