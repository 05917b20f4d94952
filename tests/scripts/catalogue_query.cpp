// catalogue-query FILE SQL: runs SQL on an existing SQLite file and prints each result row, its
// fields joined by "|" (NULL for null). Never creates the file. Exit status 1 on any error.
#include <sqlite3.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: catalogue-query FILE SQL\n");
    return 2;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "catalogue-query: %s: %s\n", argv[1], sqlite3_errmsg(db));
    sqlite3_close(db);
    return 1;
  }
  const auto print = [](void*, int count, char** fields, char**) {
    for (int i = 0; i < count; ++i)
      std::printf("%s%s", i ? "|" : "", fields[i] ? fields[i] : "NULL");
    std::printf("\n");
    return 0;
  };
  char* message = nullptr;
  const int rc = sqlite3_exec(db, argv[2], print, nullptr, &message);
  if (rc != SQLITE_OK) std::fprintf(stderr, "catalogue-query: %s: %s\n", argv[1], message);
  sqlite3_free(message);
  sqlite3_close(db);
  return rc == SQLITE_OK ? 0 : 1;
}
