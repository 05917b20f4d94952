// quollsong-mkdb PATH: makes a fresh, empty catalogue. Never overwrites an existing file.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "schema.h"

namespace {

int fail(const std::string& path, const std::string& why) {
  std::fprintf(stderr, "quollsong-mkdb: %s: %s\n", path.c_str(), why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quollsong-mkdb PATH\n");
    return 2;
  }
  const std::string path = argv[1];
  // Claim the name first, so that an existing file is never touched, even in a race.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0)
    return fail(path, errno == EEXIST ? "already exists; not overwritten" : std::strerror(errno));
  ::close(fd);

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  char* message = nullptr;
  if (rc == SQLITE_OK) {
    const std::string sql = std::string("PRAGMA journal_mode=WAL;") + kCatalogueSchema;
    rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  }
  const std::string error = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  sqlite3_close(db);
  if (rc != SQLITE_OK) {
    ::unlink(path.c_str());
    return fail(path, error);
  }
  std::printf("%s: new empty catalogue\n", path.c_str());
  return 0;
}
