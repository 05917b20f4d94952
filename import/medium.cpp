#include "medium.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace importer {

int Medium::openFolder(int parentFd, const char* name) {
  return ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
}

bool Medium::listFolder(int folderFd, std::vector<FolderEntry>& entries) {
  // The listing reads through a descriptor of its own; the folder's stays open for the
  // look-ups relative to it.
  const int listing = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
  if (listing < 0) return false;
  DIR* dir = ::fdopendir(listing);
  if (!dir) {
    const int error = errno;
    ::close(listing);
    errno = error;
    return false;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden entries
    entries.push_back({std::string(name), entry->d_type});
  }
  const int error = errno;
  ::closedir(dir);
  std::sort(entries.begin(), entries.end());
  errno = error;
  return error == 0;
}

int Medium::statAt(int folderFd, const char* name, struct stat& status) {
  return ::fstatat(folderFd, name, &status, 0);
}

int Medium::openFile(int folderFd, const char* name) {
  return ::openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

int Medium::statOpen(int fd, struct stat& status) { return ::fstat(fd, &status); }

Medium& systemMedium() {
  static Medium medium;
  return medium;
}

}  // namespace importer
