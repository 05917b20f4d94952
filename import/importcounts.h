#pragma once

// What an import tells its caller as it goes, and what a rescan tells the walk: the counts,
// the progress, how it ended, and the walk filter.

#include <cstdint>
#include <string>
#include <string_view>

namespace importer {

// What an import has done so far, and what it passed over.
struct ImportCounts {
  std::int64_t songsAdded = 0;
  // Files passed over because a row already holds them unchanged (a rescan).
  std::int64_t songsUnchanged = 0;
  // Rows that now name the new path of their moved or renamed file (a rescan).
  std::int64_t songsMoved = 0;
  // Rows whose file gave other values than at its last read, read again (a rescan).
  std::int64_t songsUpdated = 0;
  // Values of such rows that the user had changed, and that stayed rather than take the file's.
  std::int64_t editsKept = 0;
  // Files stored with "Unknown" texts because they could not be read as MP3.
  std::int64_t filesUnreadable = 0;
  // Folders that could not be listed (no permission, gone, too deep): nothing below was seen.
  std::int64_t foldersUnreadable = 0;
  // ".mp3" names that are pipes, devices or sockets rather than files.
  std::int64_t specialFiles = 0;
  // Entries that vanished between listing and looking, and links that lead nowhere.
  std::int64_t entriesMissing = 0;
  // Entries whose kind could not be read for another reason.
  std::int64_t entriesUnreadable = 0;

  bool operator==(const ImportCounts&) const = default;
};

struct ImportProgress {
  ImportCounts counts;
  std::string folder;  // the folder being walked (its bytes); the rows may trail behind it
  // The next row waits for another program that holds the catalogue locked.
  bool waitingForCatalogue = false;
};

enum class ImportEnd { Finished, Stopped };

// A file's or folder's path (its name's bytes) as the catalogue stores it in Filename: cut at
// a NUL, with every byte that is not UTF-8 replaced by U+FFFD.
std::string storedPath(std::string_view path);

// What a rescan tells the walk and learns from it. Called on the import's walking thread only,
// with paths as storedPath() gives them.
class WalkFilter {
 public:
  virtual ~WalkFilter() = default;
  // Whether a row already holds the file at `path`: such a file is counted unchanged and
  // neither read nor stored again.
  virtual bool isCatalogued(std::string_view path) = 0;
  // The walk came to the folder `path`: it listed it (finding nothing the walk looks at, when
  // `empty`), or could not list all of it. The chosen folder is told as it was given; every
  // folder below as its parent's path, "/" and its name. A link to a folder that leads nowhere
  // is told as a folder that could not be listed.
  enum class Listing { Listed, Empty, Unreadable };
  virtual void folderReached(std::string_view path, Listing listing) = 0;
};

}  // namespace importer
