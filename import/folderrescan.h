#pragma once

#include <cstdint>
#include <memory>
#include <string>
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

// Brings the catalogue in step with a folder: stores the files below it that no row holds yet,
// walking exactly as the import does, and finds the rows below it whose files are gone. Files
// already catalogued are neither read nor stored again, and no row is changed: removing the
// vanished ones is a separate step, for the caller to confirm.
class FolderRescan {
 public:
  // `import` walks and stores the new files; it must outlive this object.
  explicit FolderRescan(FolderImport& import);

  // Reads which files below `folder` (its name's bytes) the catalogue holds, then walks the
  // folder and stores a row for every file no row holds, as FolderImport::run does (same
  // progress, stop, failures). After a finished walk it finds the vanished rows. Paths that
  // differ only in doubled separators name the same file. A read-only catalogue is refused
  // before anything is read (SQLITE_READONLY).
  ImportEnd run(const std::string& folder, const FolderImport::DatabaseSource& catalogue,
                const FolderImport::Yield& letWindowRun);

  // The rows below the folder that name no existing file, after a finished run; empty after a
  // stopped one. A row counts only when the nearest of its folders that the walk came to could
  // be listed and held something, so a folder that cannot be read (a disk that is not
  // mounted, no permission) or an empty one (where a disk is mounted) never makes its rows
  // look vanished.
  const std::vector<VanishedRow>& vanished() const { return m_vanished; }

  // Removes the vanished rows that still hold the Filename they were found with and whose
  // file is still gone, letting the window run now and then and while another program holds
  // the catalogue. Returns how many rows went, also counted in `removed` as they go: those
  // removed before a failure stay removed. Throws engine::EngineError.
  std::int64_t removeVanished(const std::shared_ptr<engine::Database>& catalogue,
                              const FolderImport::Yield& letWindowRun, std::int64_t& removed);

 private:
  FolderImport& m_import;
  std::vector<VanishedRow> m_vanished;
};

}  // namespace importer
