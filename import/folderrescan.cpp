#include "folderrescan.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/fileexists.h"
#include "shelffiles.h"
#include "shelfwriter.h"

namespace importer {

namespace {

// Rows whose Filename lies below a folder. Filename compares without regard to ASCII case, and
// "/" sorts just before "0" in either case, so every path that starts with "folder/" lies in
// ["folder/", "folder0"): the range walks the Filename index where there is one. The second
// range finds rows an import of "/" stored with a doubled first separator. The exact bytes are
// compared afterwards.
// With each row, what the companion table knows of its file: its stamp and its audio, while it
// describes the row's present Filename.
constexpr const char* kRowsBelow =
    "SELECT s.ID, s.Filename, f.ID, f.FileSize, f.FileModified, f.FileChanged, f.AudioBytes, "
    "f.AudioHash FROM "
    "music_shelf AS s LEFT JOIN shelf_files AS f ON f.ID = s.ID AND f.Filename = s.Filename "
    "COLLATE BINARY WHERE (s.Filename >= ?1 AND s.Filename < ?2) OR (s.Filename >= ?3 AND "
    "s.Filename < ?4) ORDER BY s.ID";

// The row is removed only while it still names the same file, compared byte for byte; its
// companion row goes with it.
constexpr const char* kRemoveRow =
    "DELETE FROM music_shelf WHERE rowid = ?1 AND Filename = ?2 COLLATE BINARY";
constexpr const char* kRemoveCompanion =
    "DELETE FROM shelf_files WHERE ID = ?1 AND NOT EXISTS (SELECT 1 FROM music_shelf WHERE ID = "
    "?1)";

// Files stored after the walk between two runs of the window, at most.
constexpr int kWritesPerYield = 256;
constexpr auto kLongestBatch = std::chrono::milliseconds(5);

// Vanished rows removed between two runs of the window.
constexpr int kRemovalsPerYield = 256;

// The part of a range's upper end: the same text with its last character, "/", as "0".
std::string rangeEnd(std::string start) {
  start.back() = '0';
  return start;
}

struct CataloguedRow {
  std::int64_t id;
  std::string filename;  // as stored
  std::string below;     // sameFile(filename) after the folder's prefix
  bool described = false;  // the companion table describes its file
  std::optional<FileStamp> stamp;
  std::optional<AudioIdentity> identity;
  bool seen = false;  // the walk came to its file
};

struct IdentityHash {
  std::size_t operator()(const AudioIdentity& identity) const {
    return static_cast<std::size_t>(identity.hash);
  }
};

// The last part of a path: a moved file that kept its name is matched to its row first.
std::string_view fileName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The catalogue's rows below the folder as the walk sees them: which files they hold, which
// audio, and which folders the walk could list. The walker's thread looks files up and tells
// folders; the import's own thread hands over new files that may be moved ones.
class Catalogued final : public WalkFilter {
 public:
  Catalogued(std::string prefix, std::vector<CataloguedRow> rows)
      : m_prefix(std::move(prefix)), m_rows(std::move(rows)) {
    m_byPath.reserve(m_rows.size());
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
      // Where two rows hold one path, the lower ID stands for both (rows come in ID order).
      m_byPath.emplace(m_rows[i].below, i);
      if (m_rows[i].identity) m_byAudio[*m_rows[i].identity].push_back(i);
    }
  }

  std::optional<KnownFile> lookUp(std::string_view path) override {
    // Most paths hold no doubled separator and need no copy.
    std::string copy;
    if (path.find("//") != std::string_view::npos) path = copy = sameFile(path);
    if (!path.starts_with(m_prefix)) return std::nullopt;
    const std::string_view below = path.substr(m_prefix.size());
    const auto [first, last] = m_byPath.equal_range(below);
    if (first == last) return std::nullopt;
    for (auto it = first; it != last; ++it) m_rows[it->second].seen = true;
    std::size_t lowest = first->second;
    for (auto it = first; it != last; ++it) lowest = std::min(lowest, it->second);
    const CataloguedRow& row = m_rows[lowest];
    return KnownFile{row.id, row.filename, row.described, row.stamp};
  }

  void folderReached(std::string_view path, Listing listing) override {
    // Two folders whose names differ only in bytes that are not UTF-8 are stored alike: the
    // doubt of either one holds for both.
    const auto [it, fresh] = m_folders.try_emplace(sameFile(path), listing);
    if (!fresh && listing != Listing::Listed) it->second = listing;
  }

  // A new file is held back only while a row with its audio has no file at its own path: a copy
  // of files that are all still there (a backup folder) is added at once.
  bool holdBack(const ReadFile& file) override {
    if (!file.identity) return false;
    const auto found = m_byAudio.find(*file.identity);
    if (found == m_byAudio.end()) return false;
    for (const std::size_t i : found->second) {
      if (mayExist(m_rows[i].filename)) continue;
      m_held.push_back(file);
      return true;
    }
    return false;
  }

  // New files held back, in walk order.
  std::vector<ReadFile>& held() { return m_held; }

  // The rows whose files the walk did not come to and that are surely gone, in ID order. With
  // `movable`, also those in folders the walk found empty (marked so): such a folder may be
  // where a disk is mounted when it is plugged in, so its rows are never offered for removal,
  // but one may follow its file to a new place under the same name. With `findGoneFolders`,
  // each row says which folder on its way went with it.
  struct GoneRow {
    VanishedRow row;
    bool inEmptyFolder = false;
    // The topmost folder on its path below the nearest one the walk listed and found not empty
    // that is gone too, or "" when the file went from a folder that is still there (or it was
    // not looked for).
    std::string goneFolder;
  };
  std::vector<GoneRow> gone(bool movable, bool findGoneFolders) const {
    std::vector<GoneRow> rows;
    // A whole disk's rows share one folder: it is looked up once.
    std::unordered_map<std::string, bool> folderGone;
    for (const CataloguedRow& row : m_rows) {
      if (row.seen) continue;
      const std::string path = m_prefix + row.below;
      const std::optional<Nearest> folder = nearestFolder(path);
      if (!folder || folder->listing == Listing::Unreadable) continue;
      if (folder->listing == Listing::Empty && !movable) continue;
      if (mayExist(row.filename)) continue;
      rows.push_back({{row.id, row.filename},
                      folder->listing == Listing::Empty,
                      findGoneFolders ? goneFolderOf(path, folder->slash, folderGone)
                                      : std::string()});
    }
    return rows;
  }

  const CataloguedRow* row(std::int64_t id) const {
    const auto found = std::lower_bound(
        m_rows.begin(), m_rows.end(), id,
        [](const CataloguedRow& row, std::int64_t value) { return row.id < value; });
    return found != m_rows.end() && found->id == id ? &*found : nullptr;
  }

  // Whether something is at a stored path, or whether that cannot be told: only a path that
  // surely leads nowhere counts as gone.
  static bool mayExist(const std::string& filename) {
    return engine::lookUpStoredPath(filename) != engine::PathState::Absent;
  }

 private:
  // How the nearest folder of `path` that the walk came to was listed, and where that folder's
  // part of the path ends (at the separator that follows it). Folders it never came to (gone,
  // hidden) are passed over on the way up to the chosen folder.
  struct Nearest {
    Listing listing;
    std::size_t slash;
  };
  std::optional<Nearest> nearestFolder(const std::string& path) const {
    std::size_t end = path.size();
    while (end > 1) {
      const std::size_t slash = path.rfind('/', end - 1);
      if (slash == std::string::npos) return std::nullopt;
      const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
      if (folder.size() + 1 < m_prefix.size() && folder != m_prefix) return std::nullopt;
      if (const auto found = m_folders.find(folder); found != m_folders.end())
        return Nearest{found->second, slash};
      end = slash;
    }
    return std::nullopt;
  }

  // The first folder of `path` after the one whose part ends at `slash` that surely is not
  // there, or "" when each is there or cannot be told (a hidden folder the walk passes over is
  // still there). `folderGone` keeps what was looked up.
  static std::string goneFolderOf(const std::string& path, std::size_t slash,
                                  std::unordered_map<std::string, bool>& folderGone) {
    for (std::size_t end = path.find('/', slash + 1); end != std::string::npos;
         end = path.find('/', end + 1)) {
      std::string folder = path.substr(0, end);
      const auto [known, fresh] = folderGone.try_emplace(folder, false);
      if (fresh) known->second = engine::lookUpStoredPath(folder) == engine::PathState::Absent;
      if (known->second) return folder;
    }
    return {};
  }

  const std::string m_prefix;  // sameFile(the chosen folder), with "/" after it unless it is "/"
  std::vector<CataloguedRow> m_rows;  // in ID order
  std::unordered_multimap<std::string_view, std::size_t> m_byPath;  // a Filename's part below
  std::unordered_map<AudioIdentity, std::vector<std::size_t>, IdentityHash> m_byAudio;
  std::unordered_map<std::string, Listing> m_folders;  // every folder the walk came to
  std::vector<ReadFile> m_held;
};

// However a writing loop ends, the rows it wrote are committed (a failure on the way has been
// thrown already; a second one could not be told).
struct CommitAtEnd {
  ~CommitAtEnd() {
    try {
      engine::commitOpenBatch();
    } catch (...) {
    }
  }
};

std::optional<std::int64_t> numberOf(std::optional<std::string_view> field) {
  if (!field || field->empty()) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(field->data(), field->data() + field->size(), value);
  if (error != std::errc() || end != field->data() + field->size()) return std::nullopt;
  return value;
}

}  // namespace

FolderRescan::FolderRescan(FolderImport& import) : m_import(import) {}

ImportEnd FolderRescan::run(const std::string& folder,
                            const FolderImport::DatabaseSource& catalogue,
                            const FolderImport::Yield& letWindowRun) {
  m_vanished.clear();
  m_goneFolders.clear();
  const std::shared_ptr<engine::Database> db = catalogue();
  if (!db || !db->isOpen())
    throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
  // Nothing is read before it is clear that nothing could be stored.
  db->refuseIfReadOnly();
  ensureShelfFiles(*db);

  const std::string root = sameFile(storedPath(folder));
  const std::string prefix = root == "/" ? root : root + "/";
  const std::string doubled = "/" + prefix;
  const std::string range[] = {prefix, rangeEnd(prefix), doubled, rangeEnd(doubled)};
  std::vector<CataloguedRow> rows;
  db->ForEachRow(kRowsBelow, range, [&](engine::Database::RowTexts fields) {
    const std::optional<std::int64_t> id = numberOf(fields[0]);
    if (!id || !fields[1]) return;
    std::string below = sameFile(*fields[1]);
    if (!below.starts_with(prefix) || below.size() == prefix.size()) return;
    below.erase(0, prefix.size());
    CataloguedRow row{*id, std::string(*fields[1]), std::move(below), false, {}, {}, false};
    row.described = fields[2].has_value();
    const auto size = numberOf(fields[3]);
    const auto modified = numberOf(fields[4]);
    const auto changed = numberOf(fields[5]);
    if (size && modified && changed) row.stamp = FileStamp{*size, *modified, *changed};
    const auto bytes = numberOf(fields[6]);
    const auto hash = numberOf(fields[7]);
    if (bytes && hash) row.identity = AudioIdentity{*bytes, static_cast<std::uint64_t>(*hash)};
    rows.push_back(std::move(row));
  });

  Catalogued catalogued(prefix, std::move(rows));
  const ImportEnd end = m_import.run(folder, catalogue, letWindowRun, &catalogued);
  if (end != ImportEnd::Finished) return end;
  const ImportEnd stored = storeHeldBack(catalogued, catalogue, letWindowRun);
  if (stored != ImportEnd::Finished) return stored;
  // The rows that moved are neither gone nor to be removed. A folder they moved out of was
  // renamed or moved, not unplugged: the songs left behind in it were deleted, and are asked
  // about as any others no longer on disk.
  std::vector<Catalogued::GoneRow> gone = catalogued.gone(false, true);
  std::unordered_set<std::string> movedFrom;
  for (const auto& row : gone)
    if (m_moved.contains(row.row.id) && !row.goneFolder.empty()) movedFrom.insert(row.goneFolder);
  std::map<std::string, std::vector<VanishedRow>> byFolder;
  for (auto& row : gone) {
    if (m_moved.contains(row.row.id)) continue;
    if (row.goneFolder.empty() || movedFrom.contains(row.goneFolder))
      m_vanished.push_back(std::move(row.row));
    else
      byFolder[row.goneFolder].push_back(std::move(row.row));
  }
  for (auto& [path, rows] : byFolder) m_goneFolders.push_back({path, std::move(rows)});
  return ImportEnd::Finished;
}

template <typename Catalogued>
ImportEnd FolderRescan::storeHeldBack(Catalogued& catalogued,
                                      const FolderImport::DatabaseSource& catalogue,
                                      const FolderImport::Yield& letWindowRun) {
  m_moved.clear();
  std::vector<ReadFile>& held = catalogued.held();
  const auto gone = catalogued.gone(true, false);
  // Which gone row each held file is: first the one with its audio whose file had the same
  // name, then of the others with its audio the one with the lowest ID, so that the same folders
  // always give the same rows. A row in a folder found empty follows only a file of its name.
  std::unordered_map<AudioIdentity, std::vector<std::size_t>, IdentityHash> goneByAudio;
  for (std::size_t i = 0; i < gone.size(); ++i)
    if (const auto* row = catalogued.row(gone[i].row.id); row && row->identity)
      goneByAudio[*row->identity].push_back(i);
  std::vector<std::optional<std::size_t>> rowOf(held.size());
  std::vector<bool> taken(gone.size(), false);
  for (const bool byName : {true, false}) {
    for (std::size_t f = 0; f < held.size(); ++f) {
      const auto found = goneByAudio.find(*held[f].identity);
      if (rowOf[f] || found == goneByAudio.end()) continue;
      for (const std::size_t i : found->second) {
        if (taken[i]) continue;
        if (byName ? fileName(gone[i].row.filename) != fileName(held[f].filename())
                   : gone[i].inEmptyFolder)
          continue;
        rowOf[f] = i;
        taken[i] = true;
        break;
      }
    }
  }

  ShelfWriter writer(
      catalogue, letWindowRun, [this] { return m_import.stopRequested(); },
      [this](bool waiting) { m_import.setWaitingForCatalogue(waiting); });
  ImportCounts counts;
  int sinceYield = 0;
  auto batchStarted = std::chrono::steady_clock::now();
  const auto commit = [&] {
    engine::commitOpenBatch();
    m_import.addCounts(counts);
    counts = {};
  };
  CommitAtEnd commitAtEnd;
  for (std::size_t f = 0; f < held.size(); ++f) {
    if (m_import.stopRequested()) break;
    const ReadFile& file = held[f];
    ShelfWriter::Result result = ShelfWriter::Result::Missed;
    try {
      if (rowOf[f]) {
        const VanishedRow& row = gone[*rowOf[f]].row;
        ShelfWriter::Change change;
        result = writer.move(row.id, row.filename, file, change);
        if (result == ShelfWriter::Result::Written) {
          m_moved.insert(row.id);
          ++counts.songsMoved;
          countIfCut(counts, file);
          if (change.fileChanged) ++counts.songsUpdated;
          counts.editsKept += change.editsKept;
        }
      }
      // A file that is no moved one, or whose row another program changed meanwhile, is new.
      if (result == ShelfWriter::Result::Missed) {
        result = writer.add(file, true);
        if (result == ShelfWriter::Result::Written) {
          ++counts.songsAdded;
          if (!file.readable) ++counts.filesUnreadable;
          countIfCut(counts, file);
        }
      }
    } catch (const engine::EngineError& error) {
      if (writer.batchLost()) counts = {};
      m_import.addCounts(counts);
      throw stoppedAt(error, file.filename(), true);
    }
    if (result == ShelfWriter::Result::Stopped) break;
    if (++sinceYield == kWritesPerYield ||
        std::chrono::steady_clock::now() - batchStarted >= kLongestBatch) {
      sinceYield = 0;
      commit();
      letWindowRun();
      batchStarted = std::chrono::steady_clock::now();
    }
  }
  commit();
  if (m_import.stopRequested()) return ImportEnd::Stopped;
  // A rescan that changed the catalogue also clears what other programs left in the companion
  // table when they deleted rows; one that changed nothing needs no write at all.
  const ImportCounts done = m_import.progress().counts;
  if (done.songsAdded + done.songsMoved + done.songsUpdated > 0 &&
      writer.removeOrphans() == ShelfWriter::Result::Stopped)
    return ImportEnd::Stopped;
  return ImportEnd::Finished;
}

std::int64_t FolderRescan::removeVanished(const std::shared_ptr<engine::Database>& catalogue,
                                          const FolderImport::Yield& letWindowRun,
                                          std::int64_t& removed, RescanRemoval which,
                                          RescanRows* skipped) {
  removed = 0;
  if (skipped) *skipped = {};
  if (!catalogue || !catalogue->isOpen())
    throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
  const bool goneFolders = which.goneFolders && !m_goneFolders.empty();
  if ((!which.vanished || m_vanished.empty()) && !goneFolders) return removed;
  const std::unique_ptr<engine::PreparedStatement> remove = catalogue->Prepare(kRemoveRow);
  remove->setBatched(true);
  remove->setLockWait(kLockWaitPerTry);  // then the window runs
  const std::unique_ptr<engine::PreparedStatement> removeCompanion =
      catalogue->Prepare(kRemoveCompanion);
  removeCompanion->setBatched(true);
  CommitAtEnd commitAtEnd;
  // Rows removed in the open batch count once it is committed: a batch that a failed write
  // takes with it removed nothing.
  std::int64_t pending = 0;
  const auto commit = [&] {
    engine::commitOpenBatch();
    removed += pending;
    pending = 0;
  };
  // A statement that fails leaves its batch's earlier rows committed, unless SQLite rolled the
  // batch back with it.
  const auto failed = [&](const engine::PreparedStatement& statement) {
    if (!statement.batchLost()) removed += pending;
    pending = 0;
  };
  int sinceYield = 0;
  // Whether the row went or was passed over; the latter only when its file is back.
  const auto removeRow = [&](const VanishedRow& row) {
    // The disk may be back since the question was asked.
    if (Catalogued::mayExist(row.filename)) return false;
    for (;;) {
      remove->bind(1, std::to_string(row.id));
      remove->bind(2, row.filename);
      try {
        remove->Execute();
        break;
      } catch (const engine::EngineError& error) {
        if (!engine::isLockTimeout(error)) {
          failed(*remove);
          throw;
        }
      }
      // Another program is writing: the window goes on meanwhile.
      letWindowRun();
    }
    pending += remove->RecordsAffected();
    if (remove->RecordsAffected() > 0) {
      removeCompanion->bind(1, std::to_string(row.id));
      try {
        removeCompanion->Execute();
      } catch (const engine::EngineError&) {
        failed(*removeCompanion);
        throw;
      }
    }
    if (++sinceYield == kRemovalsPerYield) {
      sinceYield = 0;
      commit();
      letWindowRun();
    }
    return true;
  };
  if (which.vanished)
    for (const VanishedRow& row : m_vanished)
      if (!removeRow(row) && skipped) ++skipped->vanished;
  if (goneFolders)
    for (const GoneFolder& folder : m_goneFolders) {
      // A mount folder made again, even empty, means the disk may be on its way back: none of
      // its rows go.
      if (engine::lookUpStoredPath(folder.path) != engine::PathState::Absent) {
        if (skipped) skipped->inGoneFolders += static_cast<std::int64_t>(folder.rows.size());
        continue;
      }
      for (const VanishedRow& row : folder.rows)
        if (!removeRow(row) && skipped) ++skipped->inGoneFolders;
    }
  commit();
  return removed;
}

}  // namespace importer
