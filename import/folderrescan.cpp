#include "folderrescan.h"

#include <sys/stat.h>

#include <cerrno>
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
// ["folder/", "folder0"): the range walks the Filename index where there is one. The exact
// bytes are compared afterwards.
constexpr const char* kRowsBelow =
    "SELECT ID, Filename FROM music_shelf WHERE Filename >= ?1 AND Filename < ?2";

// The row is removed only while it still names the same file, compared byte for byte.
constexpr const char* kRemoveRow =
    "DELETE FROM music_shelf WHERE ID = ?1 AND Filename = ?2 COLLATE BINARY";

// Vanished rows removed between two runs of the window.
constexpr int kRemovalsPerYield = 256;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD, where a byte was not UTF-8

struct CataloguedRow {
  std::int64_t id;
  std::string below;  // the stored Filename after the folder's prefix
};

// Whether anything at all is at `path` (a stored path), or whether that cannot be told:
// only a path that surely leads nowhere counts as gone.
bool mayExist(const std::string& path) {
  // A name stored with U+FFFD for bytes that were not UTF-8 no longer names its file.
  if (path.find(kReplacement) != std::string::npos && engine::fileExists(path)) return true;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return true;
  return errno != ENOENT && errno != ENOTDIR;
}

// The catalogue's rows below the folder as the walk sees them: which files it holds, and which
// folders the walk could list.
class Catalogued final : public WalkFilter {
 public:
  Catalogued(std::string root, std::string prefix, std::vector<CataloguedRow> rows)
      : m_root(std::move(root)), m_prefix(std::move(prefix)), m_rows(std::move(rows)) {
    m_seen.reserve(m_rows.size());
    for (const CataloguedRow& row : m_rows) m_seen.emplace(row.below, false);
  }

  bool isCatalogued(std::string_view path) override {
    if (!path.starts_with(m_prefix)) return false;
    const auto found = m_seen.find(path.substr(m_prefix.size()));
    if (found == m_seen.end()) return false;
    found->second = true;
    return true;
  }

  void folderReached(std::string_view path, bool listed) override {
    m_folders.insert_or_assign(std::string(path), listed);
  }

  std::vector<VanishedRow> vanished() const {
    std::vector<VanishedRow> gone;
    for (const CataloguedRow& row : m_rows) {
      if (m_seen.at(row.below)) continue;
      const std::string path = m_prefix + row.below;
      if (mayExist(path) || !inListedFolder(path)) continue;
      gone.push_back({row.id, path});
    }
    return gone;
  }

 private:
  // Whether the nearest folder of `path` that the walk came to could be listed. Folders it
  // never came to (gone, hidden) are passed over on the way up to the chosen folder.
  bool inListedFolder(const std::string& path) const {
    std::size_t end = path.size();
    while (end > 0) {
      const std::size_t slash = path.rfind('/', end - 1);
      if (slash == std::string::npos || slash < m_root.size()) return false;
      const std::string_view folder(path.data(), slash);
      if (const auto found = m_folders.find(std::string(folder)); found != m_folders.end())
        return found->second;
      end = slash;
    }
    return false;
  }

  const std::string m_root;    // the chosen folder, as stored
  const std::string m_prefix;  // the same with "/" after it
  const std::vector<CataloguedRow> m_rows;
  std::unordered_map<std::string_view, bool> m_seen;  // a Filename's part below the folder
  std::unordered_map<std::string, bool> m_folders;    // a folder reached: whether it was listed
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

  std::string root = storedPath(folder);
  std::string prefix = root + "/";
  std::string upper = prefix;
  upper.back() = '0';
  std::vector<CataloguedRow> rows;
  const std::string range[] = {prefix, upper};
  db->ForEachRow(kRowsBelow, range, [&](engine::Database::RowTexts fields) {
    if (!fields[0] || !fields[1] || !fields[1]->starts_with(prefix)) return;
    rows.push_back({std::stoll(std::string(*fields[0])),
                    std::string(fields[1]->substr(prefix.size()))});
  });

  Catalogued catalogued(std::move(root), std::move(prefix), std::move(rows));
  const ImportEnd end = m_import.run(folder, catalogue, letWindowRun, &catalogued);
  if (end == ImportEnd::Finished) m_vanished = catalogued.vanished();
  return end;
}

std::int64_t FolderRescan::removeVanished(const std::shared_ptr<engine::Database>& catalogue,
                                          const FolderImport::Yield& letWindowRun) {
  if (!catalogue || !catalogue->isOpen())
    throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
  std::int64_t removed = 0;
  if (m_vanished.empty()) return removed;
  const std::unique_ptr<engine::PreparedStatement> remove = catalogue->Prepare(kRemoveRow);
  remove->setBatched(true);
  int sinceYield = 0;
  for (const VanishedRow& row : m_vanished) {
    remove->bind(1, std::to_string(row.id));
    remove->bind(2, row.filename);
    remove->Execute();
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
