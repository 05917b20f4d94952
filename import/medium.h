#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

namespace importer {

// One name in a folder, with its kind as the listing tells it (DT_UNKNOWN where it does not).
struct FolderEntry {
  std::string name;
  unsigned char type = 0;
  bool operator<(const FolderEntry& other) const { return name < other.name; }
};

// The requests through which an import reaches folders and files. On a USB disk or a network
// share each is a round trip of milliseconds, which is why the import keeps many of them going
// at once; a test puts its own medium in to hold or slow one kind of request. Every member is
// called on many threads at once. Failures answer -1 or false with errno set, as the system
// calls do.
class Medium {
 public:
  virtual ~Medium() = default;
  // Opens the folder `name` of the open folder `parentFd` (AT_FDCWD and a path for the chosen
  // folder) for listing and for opening what is in it.
  virtual int openFolder(int parentFd, const char* name);
  // The entries of an open folder other than ".", ".." and hidden ones, in byte order of their
  // names, so that imports are repeatable. False when the folder cannot be listed whole.
  virtual bool listFolder(int folderFd, std::vector<FolderEntry>& entries);
  // The status of an entry, following links.
  virtual int statAt(int folderFd, const char* name, struct stat& status);
  // Opens an entry for reading: non-blocking, so that a pipe cannot hold the import up.
  virtual int openFile(int folderFd, const char* name);
  // The status of an open file or folder.
  virtual int statOpen(int fd, struct stat& status);
};

// The system itself.
Medium& systemMedium();

}  // namespace importer
