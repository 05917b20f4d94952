#pragma once

// What an import tells its caller as it goes, and what a rescan tells the walk: the counts,
// the progress, how it ended, the files as they were read, and the walk filter.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audioidentity.h"

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
  // Files stored with a value cut, since the catalogue could not hold all of it, and the path
  // of the first of them (as storedPath() gives it), which the summary names.
  std::int64_t filesCut = 0;
  std::string firstFileCut = {};  // initialised, so that counts given field by field may omit it

  bool operator==(const ImportCounts&) const = default;
  ImportCounts& operator+=(const ImportCounts& more);
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

// A stored path with every run of separators as one, and no separator at its end unless it is
// "/": an import of "/music/" stored "/music//a.mp3", and one of "/" stored "//music/a.mp3", for
// the file an import of "/music" stored as "/music/a.mp3".
std::string sameFile(std::string_view path);

// A file's size, modification time and status change time (nanoseconds since 1970): while all
// three stay, the file is taken to be unchanged. A tagger may keep the size and set the
// modification time back; the status change time moves with every write all the same.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  bool operator==(const FileStamp&) const = default;
};

// One file as the import read it: what its row and its companion row get.
struct ReadFile {
  // The row's values in the order Title, Artist, Album, Genre, Track, Filename, Duration,
  // Bitrate, VBR, as text.
  std::array<std::string, 9> values;
  std::optional<AudioIdentity> identity;
  // Taken before the file was read, so that a change while it is read shows at the next rescan.
  std::optional<FileStamp> stamp;
  bool readable = false;  // read as MP3, rather than given "Unknown" texts
  bool cut = false;       // a value was too long to store and is cut (see cutToStorable)
  // A rescan: the row that holds the file's path, and whether the companion table describes the
  // file as that row's (rather than not at all); 0 and false for a file no row holds.
  std::int64_t rowId = 0;
  bool described = false;
  std::string rowFilename;  // that row's Filename, which may spell the path differently

  const std::string& filename() const { return values[5]; }
};

// Counts `file` among those stored with a value cut, when it is one: once its row is written,
// whichever writer wrote it.
inline void countIfCut(ImportCounts& counts, const ReadFile& file) {
  if (!file.cut) return;
  ++counts.filesCut;
  if (counts.firstFileCut.empty()) counts.firstFileCut = file.filename();
}

// What a rescan knows of a file that a row holds.
struct KnownFile {
  std::int64_t rowId = 0;
  std::string_view filename;  // the row's Filename
  // Whether the companion table describes the file, and the stamp the file had when it was
  // last read; a file it does not describe, or without a stamp, is read.
  bool described = false;
  std::optional<FileStamp> stamp;
};

// What a rescan tells the walk and learns from it.
class WalkFilter {
 public:
  virtual ~WalkFilter() = default;
  // Whether a row already holds the file at `path` (as storedPath() gives it), and what is
  // known of it. A file whose stamp is the same is counted unchanged and neither read nor
  // stored again; one whose stamp differs, or is not known, is read for that row. Called on the
  // import's walking thread.
  virtual std::optional<KnownFile> lookUp(std::string_view path) = 0;
  // The walk came to the folder `path` (as storedPath() gives it): it listed it (finding
  // nothing the walk looks at, when `empty`), or could not list all of it. The chosen folder is
  // told as it was given; every folder below as its parent's path, "/" and its name. A link to a
  // folder that leads nowhere is told as a folder that could not be listed. Called on the
  // import's walking thread.
  enum class Listing { Listed, Empty, Unreadable };
  virtual void folderReached(std::string_view path, Listing listing) = 0;
  // A file no row holds has been read: true when the filter takes it over, to be stored once
  // the walk is over (it may be a catalogued file that has moved), rather than added now.
  // Called on the thread that runs the import.
  virtual bool holdBack(const ReadFile& file) = 0;
};

}  // namespace importer
