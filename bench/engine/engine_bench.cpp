// Engine benchmark: a 100,000-row catalogue in a temporary folder, then the all-rows view
// opened and read through the engine, ordered by ID and by Title. Prints its figures.
//
//   build/bin/engine_bench [ROWS]
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "engine/engine.h"
#include "schema.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Rows that look like an imported music folder: varied titles, long paths.
void buildCatalogue(const std::string& path, int rows) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  const std::string schema = std::string("PRAGMA journal_mode=WAL;") + kCatalogueSchema;
  sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO music_shelf (Title, Artist, Album, Genre, Track, Filename, "
                     "Duration, Bitrate, VBR) VALUES (?,?,?,?,?,?,?,?,?)",
                     -1, &insert, nullptr);
  std::mt19937 rng(1);
  const char* words[] = {"Silver", "Hollow", "Velvet", "Broken", "Golden", "Quiet", "Electric",
                         "Paper",  "Rivers", "Tides",  "Ghosts", "Echoes", "Night",  "Fire",
                         "Rain",   "Heart",  "Road",   "Dream",  "Light",  "Summer"};
  auto word = [&] { return std::string(words[rng() % 20]); };
  const char* genres[] = {"Rock", "Pop", "Jazz", "Folk", "Electronic", "Blues"};
  for (int i = 0; i < rows; ++i) {
    const std::string artist = word() + " " + word();
    const std::string album = word() + " " + word() + " " + word();
    const std::string title = word() + " " + word() + " " + std::to_string(rng() % 1000);
    const std::string file = "/home/listener/Music/" + artist + "/" + album + "/" +
                             std::to_string(i % 20 + 1) + " " + title + ".mp3";
    sqlite3_bind_text(insert, 1, title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, artist.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, album.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, genres[rng() % 6], -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 5, i % 20 + 1);
    sqlite3_bind_text(insert, 6, file.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 7, 120 + static_cast<int>(rng() % 300));
    sqlite3_bind_int(insert, 8, 128 + 64 * static_cast<int>(rng() % 4));
    sqlite3_bind_text(insert, 9, (rng() % 3) ? "False" : "True", -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

void measure(engine::Database& db, const char* label, const std::string& sql) {
  auto start = Clock::now();
  auto rs = db.OpenRecordset(sql, engine::dbOpenDynaset);
  rs->setAbsolutePosition(299);
  const double first = msSince(start);
  rs->readAll();
  const double all = msSince(start);
  std::printf("%-16s first 300 rows %8.1f ms   all %lld rows %8.1f ms\n", label, first,
              static_cast<long long>(rs->rowCount()), all);
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quollsong-engine-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "music_1.mdb").string();

  auto start = Clock::now();
  buildCatalogue(path, rows);
  std::printf("built %d rows in %.0f ms\n", rows, msSince(start));

  try {
    auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    const std::string base = "Select * from music_shelf where Title like '*' ORDER BY ";
    // Twice each: the first run also warms the file cache.
    for (int round = 0; round < 2; ++round) {
      measure(*db, "ORDER BY ID", base + "ID");
      measure(*db, "ORDER BY Title", base + "Title");
    }
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "Error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %.1f MB\n", usage.ru_maxrss / 1024.0);
  std::filesystem::remove_all(dir);
  return 0;
}
