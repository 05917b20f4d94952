// quollsong-mkdb PATH: makes a fresh, empty catalogue. Never overwrites an existing file.
// --help and --version say what it is; any other argument starting with "-" is refused.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "schema.h"

namespace {

constexpr const char* kUsage =
    "usage: quollsong-mkdb PATH\n"
    "       quollsong-mkdb --help | --version\n"
    "\n"
    "Makes a fresh, empty QuollsongDB catalogue at PATH; an existing file is never\n"
    "overwritten. The program opens the catalogue music_1.mdb in its own folder.\n"
    "A PATH that starts with \"-\" needs a folder in front: ./-name.mdb\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n";

int fail(const std::string& path, const std::string& why) {
  std::fprintf(stderr, "quollsong-mkdb: %s: %s\n", path.c_str(), why.c_str());
  return 1;
}

int usageError(const std::string& why) {
  std::fprintf(stderr, "quollsong-mkdb: %s\n%s", why.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Every argument is looked at before anything is made, so "PATH --bad" makes nothing either.
  // Anything that starts with "-" is an option: a mistyped one must never become a file.
  bool help = false;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help")
      help = true;
    else if (arg == "--version")
      version = true;
    else if (arg.starts_with('-'))
      return usageError("unknown option '" + std::string(arg) + "'");
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (version) {
    std::printf("quollsong-mkdb %s\n", QUOLLSONG_VERSION);
    return 0;
  }
  if (argc != 2) return usageError(argc < 2 ? "no PATH given" : "more than one PATH given");

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
    const std::string sql =
        std::string("PRAGMA journal_mode=WAL;") + kCatalogueSchema + kCompanionSchema + kSearchSchema;
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
