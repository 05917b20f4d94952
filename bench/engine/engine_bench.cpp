// engine_bench [ROWS] [--no-indexes]
//
// A catalogue of ROWS rows (100,000 unless given) in a temporary folder, then the all-rows view
// ordered by ID and by Title, opened and read through the engine: the first 300 rows, then
// every row, and the memory that takes. SQLite alone running the same order, every field read,
// is the floor, measured in the same run; each figure is the median of 3 rounds and is printed
// with its ratio to the floor. --no-indexes measures a catalogue made before it had indexes.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "benchcatalogue.h"
#include "engine/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double peakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  int rows = 100000;
  bool indexes = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-indexes") == 0) indexes = false;
    else rows = std::atoi(argv[i]);
  }
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quollsong-engine-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "music_1.mdb").string();
  auto start = Clock::now();
  if (!bench::makeCatalogue(path, rows, indexes)) {
    std::fprintf(stderr, "cannot make the catalogue\n");
    return 1;
  }
  std::printf("catalogue: %d rows, %s, built in %.0f ms\n", rows,
              indexes ? "with its indexes" : "without indexes", msSince(start));

  try {
    auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    for (const char* column : {"ID", "Title"}) {
      const std::string view =
          std::string("Select * from music_shelf where Title like '*' ORDER BY ") + column;
      const std::string plain = std::string("SELECT * FROM music_shelf ORDER BY ") + column;
      std::vector<double> floorFirst, floorAll, first, all;
      long long count = 0;
      bench::sqliteAlone(path, plain);  // warms the file cache
      for (int round = 0; round < 3; ++round) {
        const bench::Floor floor = bench::sqliteAlone(path, plain);
        floorFirst.push_back(floor.firstMs);
        floorAll.push_back(floor.allMs);
        start = Clock::now();
        auto rs = db->OpenRecordset(view, engine::dbOpenDynaset);
        rs->setAbsolutePosition(299);
        first.push_back(msSince(start));
        rs->readAll();
        all.push_back(msSince(start));
        count = rs->rowCount();
      }
      const double ff = bench::median(floorFirst), fa = bench::median(floorAll);
      const double ef = bench::median(first), ea = bench::median(all);
      std::printf("ORDER BY %-6s first 300 rows: SQLite %8.1f ms, engine %8.1f ms (ratio %.2f)\n",
                  column, ff, ef, ef / ff);
      std::printf("ORDER BY %-6s all %lld rows: SQLite %8.1f ms, engine %8.1f ms (ratio %.2f)\n",
                  column, count, fa, ea, ea / fa);
    }
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "Error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
  std::printf("peak memory %.1f MB\n", peakMegabytes());
  std::filesystem::remove_all(dir);
  return 0;
}
