#include "folderrescan.h"

#include <chrono>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/fileexists.h"

namespace importer {

namespace {

// Rows whose Filename lies below a folder. Filename compares without regard to ASCII case, and
// "/" sorts just before "0" in either case, so every path that starts with "folder/" lies in
// ["folder/", "folder0"): the range walks the Filename index where there is one. The second
// range finds rows an import of "/" stored with a doubled first separator. The exact bytes are
// compared afterwards.
constexpr const char* kRowsBelow =
    "SELECT rowid, Filename FROM music_shelf WHERE (Filename >= ?1 AND Filename < ?2) OR "
    "(Filename >= ?3 AND Filename < ?4)";

// The row is removed only while it still names the same file, compared byte for byte.
constexpr const char* kRemoveRow =
    "DELETE FROM music_shelf WHERE rowid = ?1 AND Filename = ?2 COLLATE BINARY";

// Vanished rows removed between two runs of the window.
constexpr int kRemovalsPerYield = 256;
// How long one try at a removal waits for another program's lock before the window runs.
constexpr auto kLockWaitPerTry = std::chrono::milliseconds(50);

// A path with every run of separators as one, and no separator at its end unless it is "/":
// an import of "/music/" stored "/music//a.mp3", and one of "/" stored "//music/a.mp3", for the
// file an import of "/music" stored as "/music/a.mp3".
std::string sameFile(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (const char c : path)
    if (c != '/' || out.empty() || out.back() != '/') out.push_back(c);
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// The part of a range's upper end: the same text with its last character, "/", as "0".
std::string rangeEnd(std::string start) {
  start.back() = '0';
  return start;
}

struct CataloguedRow {
  std::int64_t id;
  std::string filename;  // as stored
  std::string below;     // sameFile(filename) after the folder's prefix
};

// The catalogue's rows below the folder as the walk sees them: which files it holds, and which
// folders the walk could list.
class Catalogued final : public WalkFilter {
 public:
  Catalogued(std::string prefix, std::vector<CataloguedRow> rows)
      : m_prefix(std::move(prefix)), m_rows(std::move(rows)) {
    m_seen.reserve(m_rows.size());
    for (const CataloguedRow& row : m_rows) m_seen.emplace(row.below, false);
  }

  bool isCatalogued(std::string_view path) override {
    // Most paths hold no doubled separator and need no copy.
    std::string copy;
    if (path.find("//") != std::string_view::npos) path = copy = sameFile(path);
    if (!path.starts_with(m_prefix)) return false;
    const auto found = m_seen.find(path.substr(m_prefix.size()));
    if (found == m_seen.end()) return false;
    found->second = true;
    return true;
  }

  void folderReached(std::string_view path, Listing listing) override {
    // Two folders whose names differ only in bytes that are not UTF-8 are stored alike: the
    // doubt of either one holds for both.
    const auto [it, fresh] = m_folders.try_emplace(sameFile(path), listing);
    if (!fresh && listing != Listing::Listed) it->second = listing;
  }

  std::vector<VanishedRow> vanished() const {
    std::vector<VanishedRow> gone;
    for (const CataloguedRow& row : m_rows) {
      if (m_seen.at(row.below)) continue;
      if (!inListedFolder(m_prefix + row.below) || mayExist(row.filename)) continue;
      gone.push_back({row.id, row.filename});
    }
    return gone;
  }

  // Whether something is at a stored path, or whether that cannot be told: only a path that
  // surely leads nowhere counts as gone.
  static bool mayExist(const std::string& filename) {
    return engine::lookUpStoredPath(filename) != engine::PathState::Absent;
  }

 private:
  // Whether the nearest folder of `path` that the walk came to was listed with something in
  // it. Folders it never came to (gone, hidden) are passed over on the way up to the chosen
  // folder. One that was empty may be where a disk is mounted when it is plugged in: its rows
  // stay.
  bool inListedFolder(const std::string& path) const {
    std::size_t end = path.size();
    while (end > 1) {
      const std::size_t slash = path.rfind('/', end - 1);
      if (slash == std::string::npos) return false;
      const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
      if (folder.size() + 1 < m_prefix.size() && folder != m_prefix) return false;
      if (const auto found = m_folders.find(folder); found != m_folders.end())
        return found->second == Listing::Listed;
      end = slash;
    }
    return false;
  }

  const std::string m_prefix;  // sameFile(the chosen folder), with "/" after it unless it is "/"
  const std::vector<CataloguedRow> m_rows;
  std::unordered_map<std::string_view, bool> m_seen;  // a Filename's part below the folder
  std::unordered_map<std::string, Listing> m_folders;  // every folder the walk came to
};

}  // namespace

FolderRescan::FolderRescan(FolderImport& import) : m_import(import) {}

ImportEnd FolderRescan::run(const std::string& folder,
                            const FolderImport::DatabaseSource& catalogue,
                            const FolderImport::Yield& letWindowRun) {
  m_vanished.clear();
  const std::shared_ptr<engine::Database> db = catalogue();
  if (!db || !db->isOpen())
    throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
  // Nothing is read before it is clear that nothing could be stored.
  if (db->isReadOnly())
    throw engine::EngineError(SQLITE_READONLY, "The catalogue is read-only because " +
                                                   db->readOnlyReason() +
                                                   ": it can be viewed and searched, but not "
                                                   "changed.");

  const std::string root = sameFile(storedPath(folder));
  const std::string prefix = root == "/" ? root : root + "/";
  const std::string doubled = "/" + prefix;
  const std::string range[] = {prefix, rangeEnd(prefix), doubled, rangeEnd(doubled)};
  std::vector<CataloguedRow> rows;
  db->ForEachRow(kRowsBelow, range, [&](engine::Database::RowTexts fields) {
    if (!fields[0] || !fields[1]) return;
    std::string below = sameFile(*fields[1]);
    if (!below.starts_with(prefix) || below.size() == prefix.size()) return;
    below.erase(0, prefix.size());
    rows.push_back({std::stoll(std::string(*fields[0])), std::string(*fields[1]),
                    std::move(below)});
  });

  Catalogued catalogued(prefix, std::move(rows));
  const ImportEnd end = m_import.run(folder, catalogue, letWindowRun, &catalogued);
  if (end == ImportEnd::Finished) m_vanished = catalogued.vanished();
  return end;
}

std::int64_t FolderRescan::removeVanished(const std::shared_ptr<engine::Database>& catalogue,
                                          const FolderImport::Yield& letWindowRun,
                                          std::int64_t& removed) {
  removed = 0;
  if (!catalogue || !catalogue->isOpen())
    throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
  if (m_vanished.empty()) return removed;
  const std::unique_ptr<engine::PreparedStatement> remove = catalogue->Prepare(kRemoveRow);
  remove->setBatched(true);
  remove->setLockWait(kLockWaitPerTry);
  struct CommitAtEnd {
    ~CommitAtEnd() {
      try {
        engine::commitOpenBatch();
      } catch (...) {
      }
    }
  } commitAtEnd;
  int sinceYield = 0;
  for (const VanishedRow& row : m_vanished) {
    // The disk may be back since the question was asked.
    if (Catalogued::mayExist(row.filename)) continue;
    for (;;) {
      remove->bind(1, std::to_string(row.id));
      remove->bind(2, row.filename);
      try {
        remove->Execute();
        break;
      } catch (const engine::EngineError& error) {
        if (!engine::isLockTimeout(error)) throw;
      }
      // Another program is writing: the window goes on meanwhile.
      letWindowRun();
    }
    removed += remove->RecordsAffected();
    if (++sinceYield == kRemovalsPerYield) {
      sinceYield = 0;
      engine::commitOpenBatch();
      letWindowRun();
    }
  }
  engine::commitOpenBatch();
  return removed;
}

}  // namespace importer
