#include "benchcatalogue.h"

#include <fcntl.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "schema.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

bool makeCatalogue(const std::string& path, int rows, bool withIndexes) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  const std::string schema = std::string("PRAGMA journal_mode=WAL;") + kCatalogueSchema;
  bool ok = sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  // The schema's indexes are made again once the rows are in: a million random inserts into
  // eleven indexes take many times longer than building them.
  std::vector<std::string> indexes;
  sqlite3_exec(
      db, "SELECT sql FROM sqlite_schema WHERE type = 'index' AND sql IS NOT NULL",
      [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
        return 0;
      },
      &indexes, nullptr);
  sqlite3_close(db);
  if (!ok || !dropIndexes(path) || sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  ok = ok && sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(db,
                                "INSERT INTO music_shelf (Title, Artist, Album, Year, Genre, Track,"
                                " Filename, Duration, Bitrate, VBR) VALUES (?1, ?2, ?3, '', ?4,"
                                " ?5, ?6, ?7, ?8, ?9)",
                                -1, &insert, nullptr) == SQLITE_OK;
  static const char* const kGenres[] = {"Rock", "Pop", "Jazz", "Blues", "Folk", "Classical"};
  std::mt19937 random(7);
  for (int i = 0; ok && i < rows; ++i) {
    const int artist = static_cast<int>(random() % 2000);
    const int album = artist * 10 + static_cast<int>(random() % 10);
    const std::string title = "Song " + std::to_string(random() % 1000000) + " of the night";
    const std::string artistName = "Artist " + std::to_string(artist);
    const std::string albumName = "Album " + std::to_string(album);
    const std::string track = std::to_string(1 + i % 14);
    const std::string file =
        "/home/user/Music/" + artistName + "/" + albumName + "/" + track + " " + title + ".mp3";
    sqlite3_bind_text(insert, 1, title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, artistName.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, albumName.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, kGenres[i % 6], -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, track.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 6, file.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 7, 120 + static_cast<int>(random() % 300));
    sqlite3_bind_int(insert, 8, 128 + 32 * static_cast<int>(random() % 6));
    sqlite3_bind_text(insert, 9, i % 5 ? "False" : "True", -1, SQLITE_STATIC);
    ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (withIndexes)
    for (const std::string& index : indexes)
      ok = ok && sqlite3_exec(db, index.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

bool dropIndexes(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  std::vector<std::string> names;
  bool ok = sqlite3_exec(
                db, "SELECT name FROM sqlite_schema WHERE type = 'index' AND sql IS NOT NULL",
                [](void* out, int, char** values, char**) {
                  static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
                  return 0;
                },
                &names, nullptr) == SQLITE_OK;
  for (const std::string& name : names)
    ok = ok && sqlite3_exec(db, ("DROP INDEX \"" + name + "\"").c_str(), nullptr, nullptr,
                            nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

bool dropSearchIndex(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  const bool ok = sqlite3_exec(db,
                               "DROP TRIGGER IF EXISTS shelf_search_added;"
                               "DROP TRIGGER IF EXISTS shelf_search_changed;"
                               "DROP TRIGGER IF EXISTS shelf_search_deleted;"
                               "DROP TABLE IF EXISTS shelf_search_queue;"
                               "DROP TABLE IF EXISTS shelf_search_state;"
                               "DROP TABLE IF EXISTS shelf_search;",
                               nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

Floor sqliteAlone(const std::string& path, const std::string& sql, int firstRows) {
  Floor floor;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const auto start = Clock::now();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  std::size_t bytes = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
      if (sqlite3_column_type(stmt, c) == SQLITE_INTEGER) {
        bytes += static_cast<std::size_t>(sqlite3_column_int64(stmt, c));
      } else {
        sqlite3_column_text(stmt, c);
        bytes += static_cast<std::size_t>(sqlite3_column_bytes(stmt, c));
      }
    }
    if (++floor.rows == firstRows) floor.firstMs = msSince(start);
  }
  floor.allMs = msSince(start) + static_cast<double>(bytes % 2) * 1e-9;  // bytes stay read
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return floor;
}

double sqliteFirstScreen(const std::string& path, const std::string& sql, int rows,
                         void (*setup)(sqlite3*)) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  if (setup) setup(db);
  const auto start = Clock::now();
  sqlite3_stmt* stmt = nullptr;
  double elapsed = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    int rc = SQLITE_ROW;
    for (int row = 0; row < rows && (rc = sqlite3_step(stmt)) == SQLITE_ROW; ++row)
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) sqlite3_column_text(stmt, c);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) elapsed = msSince(start);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return elapsed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

bool encodePinkNoise(const std::string& mp3, int seconds) {
  std::error_code ignored;
  if (std::filesystem::exists(mp3, ignored)) return true;
  const std::string wav = mp3 + ".wav";
  const std::string make = "sox -R -n -r 44100 -c 2 -b 16 " + shellQuoted(wav) + " synth " +
                           std::to_string(seconds) + " pinknoise vol 0.5 && lame --quiet -b 320 " +
                           shellQuoted(wav) + " " + shellQuoted(mp3);
  const bool made = std::system(make.c_str()) == 0;
  if (!made) std::fprintf(stderr, "sox or lame failed: %s\n", make.c_str());
  std::filesystem::remove(wav, ignored);
  return made;
}

void evictFromCache(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

std::vector<std::string> splitList(const std::string& list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    names.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return names;
}

std::optional<std::string> takeOption(std::vector<std::string>& args, const std::string& name) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end()) return std::nullopt;
  if (std::next(it) == args.end()) {
    args.erase(it);
    return std::string();
  }
  std::string value = *std::next(it);
  args.erase(it, std::next(it, 2));
  return value;
}

}  // namespace bench
