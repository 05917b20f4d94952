#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace engine {

// What the engine learns about a catalogue file before SQLite opens it. Nothing here opens the
// catalogue itself: closing any descriptor of a file drops every POSIX lock this process holds
// on it, SQLite's included, so only SQLite keeps descriptors on it.
struct CatalogueFile {
  std::string path;
  std::string wal;  // the write-ahead log beside it ("-wal")
  std::string shm;  // the log's shared-memory index ("-shm")

  // Empty when this process may change the file and make its two companions beside it;
  // otherwise why it may not, as a phrase ("the file is read-only").
  std::string readOnlyReason;
  bool walExisted = false;
  bool shmExisted = false;
  bool walHasContent = false;
  dev_t device = 0;  // the file itself, as this process may know it again
  ino_t inode = 0;

  bool writable() const { return readOnlyReason.empty(); }
};

// Throws EngineError: kFileNotFound, or kNotADatabase for a folder, a pipe, a device or an
// empty file, each with a message of its own.
CatalogueFile inspectCatalogueFile(const std::string& path);

// A read-only open by an older program, or one while the catalogue was read-only, can leave a
// "-shm" without write permission; SQLite then refuses every write until it is gone. When this
// process owns the catalogue's "-shm", it gets its owner's write permission back. Nothing else
// is touched, and a missing one is no fault.
void repairStaleSharedMemory(const CatalogueFile& file);

// "file:" URI that opens the catalogue read-only and unchanging: no lock, no companion file.
std::string immutableUri(const std::string& path);

// After an open that failed: removes the "-wal" and "-shm" that the open made, unless another
// process holds a lock on them. Files that were there before stay.
void removeLeftovers(const CatalogueFile& file);

// True when the file system holding `path` has no block left for this process.
bool diskIsFull(const std::string& path);

// A description of a file that is not an SQLite database, from its first bytes.
std::string describeForeignFile(const std::string& path, std::string_view head);

}  // namespace engine
