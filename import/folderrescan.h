#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "folderimport.h"

namespace engine {
class Database;
}

namespace importer {

// A catalogue row whose file is no longer on disk.
struct VanishedRow {
  std::int64_t id = 0;
  std::string filename;  // as stored
};

// A folder below the rescanned one that is gone together with everything below it, such as
// where a disk was mounted before the desktop took its folder away when it was unplugged, and
// the rows whose files were below it.
struct GoneFolder {
  std::string path;               // as the rows' Filename names it, without doubled separators
  std::vector<VanishedRow> rows;  // in ID order
};

// Which of the rows a rescan found FolderRescan::removeVanished() removes.
struct RescanRemoval {
  bool vanished = true;      // FolderRescan::vanished()
  bool goneFolders = false;  // those of FolderRescan::goneFolders()
};

// A count of rows for each of the two kinds a rescan finds.
struct RescanRows {
  std::int64_t vanished = 0;       // of FolderRescan::vanished()
  std::int64_t inGoneFolders = 0;  // of FolderRescan::goneFolders()
};

// Brings the catalogue in step with a folder, in one walk as the import's: a file no row holds
// is stored, unless it holds the audio of a row whose file is gone (moved or renamed), which
// then names the new path and keeps its ID and values; a file whose size or modification time
// changed is read again, and each value of its row that the user has not changed since the last
// read takes the file's new one; an unchanged file is not opened. Rows below the folder whose
// files are gone, and not found elsewhere below it, are found for the caller to confirm their
// removal, a separate step.
class FolderRescan {
 public:
  // `import` walks and stores the new files; it must outlive this object.
  explicit FolderRescan(FolderImport& import);

  // Reads which files below `folder` (its name's bytes) the catalogue holds, then walks the
  // folder as FolderImport::run does (same progress, stop, failures), storing new files and the
  // new values of changed ones. After a finished walk it finds the vanished rows, moves those
  // whose audio turned up at a new path, and stores the new files it held back meanwhile.
  // Paths that differ only in doubled separators name the same file. A read-only catalogue is
  // refused before anything is read (SQLITE_READONLY).
  ImportEnd run(const std::string& folder, const FolderImport::DatabaseSource& catalogue,
                const FolderImport::Yield& letWindowRun);

  // The rows below the folder that name no existing file and whose audio was found at no new
  // path, after a finished run; empty after a stopped one. A row counts only when the nearest
  // of its folders that the walk came to could be listed and held something, so a folder that
  // cannot be read (a disk that is not mounted, no permission) or an empty one (where a disk is
  // mounted) never makes its rows look vanished. Only rows whose own folder is still there are
  // here (the file went, its folder stayed), and those below a folder that other rows of this
  // run moved out of: that folder was renamed or moved, not unplugged.
  const std::vector<VanishedRow>& vanished() const { return m_vanished; }

  // The other rows that name no existing file, after a finished run: those below a folder that
  // is gone as a whole, grouped by the topmost such folder under the nearest folder the walk
  // listed and found not empty, folders in byte order of their paths. Such rows are more likely
  // on a disk that is not plugged in than deleted, so they are told apart; a row that moved is
  // in neither list.
  const std::vector<GoneFolder>& goneFolders() const { return m_goneFolders; }

  // Removes the rows found (those `which` names) that still hold the Filename they were found
  // with and whose file is still gone, letting the window run now and then and while another
  // program holds the catalogue. Returns how many rows went, also counted in `removed` as each
  // batch of them is committed: those removed before a failure stay removed and counted, and a
  // batch the failure took back with it counts nothing. The rows passed over because their file,
  // or the gone folder they were below, is there again are counted in `skipped` when given: the
  // user said Yes, but they stay. Throws engine::EngineError.
  std::int64_t removeVanished(const std::shared_ptr<engine::Database>& catalogue,
                              const FolderImport::Yield& letWindowRun, std::int64_t& removed,
                              RescanRemoval which = {}, RescanRows* skipped = nullptr);

 private:
  // After the walk: moves each gone row whose audio a new file held back holds to that file's
  // path (into m_moved), and adds the other held files.
  template <typename Catalogued>
  ImportEnd storeHeldBack(Catalogued& catalogued, const FolderImport::DatabaseSource& catalogue,
                          const FolderImport::Yield& letWindowRun);

  FolderImport& m_import;
  std::unordered_set<std::int64_t> m_moved;  // rows this run moved
  std::vector<VanishedRow> m_vanished;
  std::vector<GoneFolder> m_goneFolders;
};

}  // namespace importer
