#include "catalogfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sqlite3.h>

#include "errors.h"

namespace engine {

namespace {

// SQLite names a catalogue's companions after the file a link leads to, so they are looked for
// beside that file.
std::string resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : path;
}

std::string folderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool mayWrite(const std::string& path, int* why) {
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) return true;
  *why = errno;
  return false;
}

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
  throw EngineError(err::kNotADatabase, "'" + path + "' is " + what + ", not a catalogue file.");
}

}  // namespace

CatalogueFile inspectCatalogueFile(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    const int error = path.empty() ? ENOENT : errno;
    if (error == ENOENT || error == ENOTDIR)
      throw EngineError(err::kFileNotFound, "Could not find file '" + path + "'.");
    throw EngineError(SQLITE_CANTOPEN,
                      "Could not open file '" + path + "': " + std::strerror(error) + ".");
  }
  if (S_ISDIR(st.st_mode)) refuse(path, "a folder");
  if (S_ISFIFO(st.st_mode)) refuse(path, "a named pipe (FIFO)");
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) refuse(path, "a device");
  if (S_ISSOCK(st.st_mode)) refuse(path, "a socket");
  if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
  if (st.st_size == 0)
    throw EngineError(err::kNotADatabase,
                      "'" + path + "' is empty; it is not a catalogue database.");
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0)
    throw EngineError(SQLITE_CANTOPEN, "Could not open file '" + path + "': " +
                                           std::strerror(errno) + ".");

  CatalogueFile file;
  file.path = path;
  file.device = st.st_dev;
  file.inode = st.st_ino;
  const std::string real = resolved(path);
  file.wal = real + "-wal";
  file.shm = real + "-shm";

  int why = 0;
  const std::string folder = folderOf(real);
  if (!mayWrite(real, &why))
    file.readOnlyReason = why == EROFS ? "it lies on a read-only medium" : "the file is read-only";
  else if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    file.readOnlyReason = errno == EROFS ? "it lies on a read-only medium"
                                         : "its folder '" + folder + "' is read-only";

  struct stat companion {};
  file.walExisted = ::stat(file.wal.c_str(), &companion) == 0;
  file.walHasContent = file.walExisted && companion.st_size > 0;
  file.shmExisted = ::stat(file.shm.c_str(), &companion) == 0;
  return file;
}

void repairStaleSharedMemory(const CatalogueFile& file) {
  struct stat st {};
  if (::stat(file.shm.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (st.st_uid != ::geteuid() || (st.st_mode & S_IWUSR)) return;
  ::chmod(file.shm.c_str(), (st.st_mode & 07777) | S_IRUSR | S_IWUSR);
}

std::string immutableUri(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // An absolute path gets an empty authority ("file:///..."), a relative one none.
  std::string uri = path.starts_with('/') ? "file://" : "file:";
  for (const unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '/' || c == '-' || c == '_' || c == '.' ||
                       c == '~';
    if (plain) {
      uri.push_back(static_cast<char>(c));
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 0xF]);
    }
  }
  return uri + "?immutable=1";
}

void removeLeftovers(const CatalogueFile& file) {
  struct stat st {};
  if (!file.shmExisted && ::stat(file.shm.c_str(), &st) == 0) {
    // A process that opened the catalogue meanwhile holds a lock on the index; then it stays.
    // The descriptor is on the index only, which no connection of this process uses.
    const int fd = ::open(file.shm.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool inUse = ::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type != F_UNLCK;
    ::close(fd);
    if (inUse) return;
    ::unlink(file.shm.c_str());
  } else if (file.shmExisted) {
    return;  // the log belongs to whoever made the index
  }
  if (!file.walExisted && ::stat(file.wal.c_str(), &st) == 0 && st.st_size == 0)
    ::unlink(file.wal.c_str());
}

bool diskIsFull(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(folderOf(resolved(path)).c_str(), &fs) != 0) return false;
  // Less than a megabyte left is full for a database that grows by pages and logs each one.
  return static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < (1ull << 20);
}

std::string describeForeignFile(const std::string& path, std::string_view head) {
  const bool jet = head.size() >= 19 && head.substr(0, 4) == std::string_view("\0\1\0\0", 4) &&
                   (head.substr(4, 15) == "Standard Jet DB" ||
                    head.substr(4, 15) == "Standard ACE DB");
  if (jet)
    return "'" + path +
           "' is a Microsoft Access (Jet) database. QuollsongDB keeps its catalogue in SQLite "
           "format; make a new catalogue with quollsong-mkdb.";
  return "'" + path + "' is not a catalogue database (unrecognized format).";
}

}  // namespace engine
