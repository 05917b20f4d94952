// import_bench FOLDER [RUNS] [--cold] [--no-indexes] [--no-search-index] [--taglib-threads N]
//              [--rows LIST] [--no-warm-up] [--medium PID:FILE]
//
// Imports every MP3 file below FOLDER three ways and prints each time as a ratio to reading the
// same files with TagLib alone (one thread, TagLib's own file stream, the five tag values and
// the three audio values), measured in the same run:
//   import   the folder import itself, on a fresh catalogue, the event loop run at every yield;
//   window   "Add Directory" on the real main window (offscreen), with a folder picker that
//            answers FOLDER at once;
//   rollback the import into a catalogue that starts in SQLite's rollback-journal mode, as one
//            made with the sqlite3 shell does (the program switches it to the write-ahead log).
// For each it also prints the longest time the event loop went without running: between two
// yields for the import, between two ticks of a 1 ms timer for the window. RUNS (default 3)
// rounds run in turn, after one warm-up round; the median counts. With --cold every corpus
// file is evicted from the page cache (posix_fadvise DONTNEED) before each timed pass. With
// --no-indexes the catalogues have none of the indexes quollsong-mkdb makes, to see their cost;
// with --no-search-index they lack the filter's index and the triggers that queue rows for it.
// Last, a separate process runs one window import alone and reports its peak memory.
//
// --taglib-threads N adds a row "TagLib alone, N threads": the floor's work on the same files,
// shared by N threads that each take the next file, the reference for an import that keeps many
// requests in flight on a slow medium. --rows LIST (comma-separated: floor, import, window,
// rollback, taglib or taglibN for N threads, memory) runs only those rows; the default is every
// row but taglib, which comes with --taglib-threads. Without the floor, ratios are to TagLib
// with N threads. --no-warm-up skips the warm-up round (on a slow medium it only doubles the
// time). --medium PID:FILE reads the counters of a bench/slowmedium mount (its process and its
// --stats file) around every timed pass and prints each row's round trips per file and how many
// requests it kept in flight.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegproperties.h>
#include <taglib/tag.h>

#include "app/frmmain.h"
#include "benchcatalogue.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "import/folderimport.h"
#include "import/mp3info.h"
#include "../slowmedium/mediumcounters.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Records the paths the import would read, in its order, and reads nothing.
class PathRecorder final : public importer::Mp3Info {
 public:
  explicit PathRecorder(std::vector<std::string>& paths) : m_paths(paths) {}
  bool read(const std::string& path) override {
    m_paths.push_back(path);
    return false;
  }
  std::string title() override { return {}; }
  std::string artist() override { return {}; }
  std::string album() override { return {}; }
  std::string track() override { return {}; }
  std::string genre() override { return {}; }
  int bitrate() override { return 0; }
  int duration() override { return 0; }
  bool vbr() override { return false; }

 private:
  std::vector<std::string>& m_paths;
};

// Set by --no-indexes: catalogues as an older quollsong-mkdb made them, without indexes.
bool g_withoutIndexes = false;
// Set by --no-search-index: catalogues without the filter's index.
bool g_withoutSearchIndex = false;

std::string makeCatalogue(const QTemporaryDir& dir) {
  static int serial = 0;
  const std::string path =
      (dir.path() + QStringLiteral("/music_%1.mdb").arg(++serial)).toStdString();
  const std::string command = std::string("'") + QUOLLSONG_MKDB + "' '" + path + "' > /dev/null";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "cannot make a catalogue at %s\n", path.c_str());
    std::exit(1);
  }
  if ((g_withoutIndexes && !bench::dropIndexes(path)) ||
      (g_withoutSearchIndex && !bench::dropSearchIndex(path))) {
    std::fprintf(stderr, "cannot drop the indexes of %s\n", path.c_str());
    std::exit(1);
  }
  return path;
}

// A catalogue as another tool would make it: the same table, in rollback-journal mode.
std::string makeRollbackCatalogue(const QTemporaryDir& dir) {
  const std::string path = makeCatalogue(dir);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "cannot switch %s to rollback mode\n", path.c_str());
    std::exit(1);
  }
  sqlite3_close(db);
  return path;
}

std::shared_ptr<engine::Database> openCatalogue(const std::string& path) {
  return engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
}

// One file as the floor reads it: the five tag values and the three audio values, summed into
// a checksum so that nothing is skipped.
std::size_t readOneWithTagLib(const std::string& path) {
  TagLib::MPEG::File file(path.c_str(), true, TagLib::AudioProperties::Average);
  if (!file.isValid()) return 0;
  std::size_t sum = 0;
  if (const TagLib::Tag* tag = file.tag()) {
    sum += tag->title().to8Bit(true).size() + tag->artist().to8Bit(true).size() +
           tag->album().to8Bit(true).size() + tag->genre().to8Bit(true).size() + tag->track();
  }
  if (const TagLib::MPEG::Properties* p = file.audioProperties())
    sum += static_cast<std::size_t>(p->bitrate() + p->lengthInSeconds());
  return sum;
}

// The floor: TagLib alone, one file after another.
std::size_t readWithTagLib(const std::vector<std::string>& paths) {
  std::size_t sum = 0;
  for (const std::string& path : paths) sum += readOneWithTagLib(path);
  return sum;
}

// TagLib alone on `threads` threads, each taking the next file: what keeping that many files in
// flight gains without any of the import's own work.
std::size_t readWithTagLib(const std::vector<std::string>& paths, int threads) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> sum{0};
  std::vector<std::jthread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      std::size_t mine = 0;
      for (std::size_t i; (i = next.fetch_add(1)) < paths.size();)
        mine += readOneWithTagLib(paths[i]);
      sum += mine;
    });
  workers.clear();  // joins
  return sum;
}

struct Timing {
  double seconds = 0;
  double longestGap = 0;  // seconds without the event loop running
};

// The import class as the window runs it: rows on this thread, events at every yield.
Timing importOnce(importer::FolderImport& import, const std::string& folder,
                  const QTemporaryDir& dir, bool rollbackCatalogue = false) {
  std::shared_ptr<engine::Database> db =
      openCatalogue(rollbackCatalogue ? makeRollbackCatalogue(dir) : makeCatalogue(dir));
  Timing timing;
  Clock::time_point last = Clock::now();
  const Clock::time_point start = last;
  import.run(
      folder, [&] { return db; },
      [&] {
        const Clock::time_point now = Clock::now();
        timing.longestGap = std::max(timing.longestGap,
                                     std::chrono::duration<double>(now - last).count());
        QCoreApplication::processEvents();
        last = Clock::now();
      });
  timing.seconds = secondsSince(start);
  timing.longestGap =
      std::max(timing.longestGap, std::chrono::duration<double>(Clock::now() - last).count());
  db->Close();
  return timing;
}

// "Add Directory" on the real main window.
Timing windowOnce(const std::string& folder, const QTemporaryDir& dir) {
  const QString catalogue = QString::fromStdString(makeCatalogue(dir));
  int errors = 0;
  frmMain window(
      catalogue, [&](int number, const QString& text) {
        ++errors;
        std::fprintf(stderr, "error %d: %s\n", number, qPrintable(text));
      },
      [&](QWidget*, const QString&, const QString&) {
        return std::optional<QString>(QFile::decodeName(folder.c_str()));
      },
      importer::createTagLibMp3Info);
  if (!window.Form_Load()) std::exit(1);
  window.show();
  QCoreApplication::processEvents();

  Timing timing;
  Clock::time_point lastTick = Clock::now();
  QTimer ticker;
  ticker.setInterval(1);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    timing.longestGap = std::max(timing.longestGap,
                                 std::chrono::duration<double>(now - lastTick).count());
    lastTick = now;
  });
  ticker.start();
  const Clock::time_point start = Clock::now();
  lastTick = start;
  window.cmdAddDir_Click();
  timing.seconds = secondsSince(start);
  ticker.stop();
  if (errors) std::exit(1);
  return timing;
}

long peakMemoryKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// The rows --rows can choose.
struct Rows {
  bool floor = true;
  bool import = true;
  bool window = true;
  bool rollback = true;
  bool memory = true;
  int taglibThreads = 0;  // 0: no multi-threaded TagLib row
};

// `list` as in --rows: "floor,import,taglib32". False on a name it does not know.
bool parseRows(const std::string& list, int taglibThreads, Rows& rows) {
  rows = Rows{false, false, false, false, false, 0};
  for (const std::string& name : bench::splitList(list)) {
    if (name == "floor") rows.floor = true;
    else if (name == "import") rows.import = true;
    else if (name == "window") rows.window = true;
    else if (name == "rollback") rows.rollback = true;
    else if (name == "memory") rows.memory = true;
    else if (name == "taglib" && taglibThreads > 0) rows.taglibThreads = taglibThreads;
    else if (name.rfind("taglib", 0) == 0 && name.size() > 6 && std::atoi(name.c_str() + 6) > 0)
      rows.taglibThreads = std::atoi(name.c_str() + 6);
    else
      return false;
  }
  return true;
}

// One row: its times, and what they cost on a slow medium when one is watched.
struct Row {
  explicit Row(std::string rowName) : name(std::move(rowName)) {}
  std::string name;
  std::vector<double> seconds;
  bench::MediumCost medium;
};

void printRow(const Row& row, double reference, std::size_t files) {
  const double m = median(row.seconds);
  std::printf("  %-28s %7.3f s  %8.0f files/s  ratio %.2f  (runs:", row.name.c_str(), m,
              static_cast<double>(files) / m, m / reference);
  for (double s : row.seconds) std::printf(" %.3f", s);
  std::printf(")\n");
}

}  // namespace

int main(int argc, char** argv) {
  // The window is measured as it works, but nothing needs to be seen.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool cold = std::erase(args, std::string("--cold")) > 0;
  g_withoutIndexes = std::erase(args, std::string("--no-indexes")) > 0;
  g_withoutSearchIndex = std::erase(args, std::string("--no-search-index")) > 0;
  const bool memoryOnly = std::erase(args, std::string("--memory-only")) > 0;
  const bool warmUp = std::erase(args, std::string("--no-warm-up")) == 0;
  const std::optional<std::string> threadsOption = bench::takeOption(args, "--taglib-threads");
  const std::optional<std::string> rowsOption = bench::takeOption(args, "--rows");
  const std::optional<std::string> mediumOption = bench::takeOption(args, "--medium");
  const int taglibThreads = threadsOption ? std::atoi(threadsOption->c_str()) : 0;
  Rows rows;
  rows.taglibThreads = taglibThreads;
  const std::optional<bench::MediumCounters> medium =
      mediumOption ? bench::MediumCounters::fromArgument(*mediumOption) : std::nullopt;
  if (args.empty() || args.size() > 2 || (threadsOption && taglibThreads <= 0) ||
      (rowsOption && !parseRows(*rowsOption, taglibThreads, rows)) ||
      (mediumOption && !medium)) {
    std::fprintf(stderr,
                 "usage: %s FOLDER [RUNS] [--cold] [--no-indexes] [--no-search-index] "
                 "[--taglib-threads N] [--rows floor,import,window,rollback,taglib[N],memory] "
                 "[--no-warm-up] [--medium PID:FILE]\n",
                 argv[0]);
    return 2;
  }
  const std::string folder = args[0];
  const int runs = args.size() == 2 ? std::max(1, std::atoi(args[1].c_str())) : 3;
  QTemporaryDir dir;
  if (!dir.isValid()) return 1;

  try {
    if (memoryOnly) {
      windowOnce(folder, dir);
      std::printf("%ld\n", peakMemoryKb());
      return 0;
    }

    std::vector<std::string> paths;
    {
      importer::FolderImport lister(
          [&paths] { return std::make_unique<PathRecorder>(paths); }, {.readers = 1});
      std::shared_ptr<engine::Database> db = openCatalogue(makeCatalogue(dir));
      lister.run(folder, [&] { return db; }, [] {});
    }
    if (paths.empty()) {
      std::fprintf(stderr, "no MP3 files below %s\n", folder.c_str());
      return 1;
    }

    importer::FolderImport import(importer::createTagLibMp3Info);
    std::size_t checksum = 0;
    const std::string threadsName =
        "TagLib alone, " + std::to_string(rows.taglibThreads) + " threads";
    Row floor{"TagLib alone (floor)"}, imports{"import"}, windows{"window (Add Directory)"},
        rollbacks{"import, rollback catalogue"}, threaded{threadsName};
    std::vector<double> importGaps, windowGaps;
    // Each selected row's pass in turn; round 0 is the warm-up, so that the first timed round
    // starts where the others do, and is not counted.
    for (int run = warmUp ? 0 : 1; run <= runs; ++run) {
      const bool timed = run > 0;
      // One row's pass: times it, and with --medium counts its round trips.
      const auto pass = [&](Row& row, auto&& body) {
        if (cold && timed) bench::evictFromCache(paths);
        bench::MediumCost untimed;
        const double seconds = measuredPass(medium, timed ? row.medium : untimed, body);
        if (timed) row.seconds.push_back(seconds);
      };
      if (rows.floor)
        pass(floor, [&] {
          const Clock::time_point start = Clock::now();
          checksum += readWithTagLib(paths);
          return secondsSince(start);
        });
      if (rows.taglibThreads > 0)
        pass(threaded, [&] {
          const Clock::time_point start = Clock::now();
          checksum += readWithTagLib(paths, rows.taglibThreads);
          return secondsSince(start);
        });
      if (rows.import)
        pass(imports, [&] {
          const Timing imported = importOnce(import, folder, dir);
          if (timed) importGaps.push_back(imported.longestGap);
          return imported.seconds;
        });
      if (rows.window)
        pass(windows, [&] {
          const Timing shown = windowOnce(folder, dir);
          if (timed) windowGaps.push_back(shown.longestGap);
          return shown.seconds;
        });
      if (rows.rollback)
        pass(rollbacks, [&] { return importOnce(import, folder, dir, true).seconds; });
    }

    std::vector<const Row*> measured;
    for (const Row* row : {&floor, &threaded, &imports, &windows, &rollbacks})
      if (!row->seconds.empty()) measured.push_back(row);
    // Ratios are to the floor; without it, to TagLib on threads, or else to the first row.
    const Row* reference = measured.empty() ? nullptr : measured.front();
    std::printf("%zu files below %s, %s cache, median of %d (checksum %zu)%s%s\n", paths.size(),
                folder.c_str(), cold ? "cold" : "warm", runs, checksum,
                reference && reference != &floor ? "; ratios to " : "",
                reference && reference != &floor ? reference->name.c_str() : "");
    for (const Row* row : measured) printRow(*row, median(reference->seconds), paths.size());
    if (!threaded.seconds.empty())
      for (const Row* row : {&imports, &windows})
        if (!row->seconds.empty())
          std::printf("  %s / %s: %.2f\n", row->name.c_str(), threaded.name.c_str(),
                      median(row->seconds) / median(threaded.seconds));
    std::string gaps;
    char gap[64];
    for (const auto& [name, longest] : {std::pair{"import", &importGaps}, {"window", &windowGaps}})
      if (!longest->empty()) {
        std::snprintf(gap, sizeof gap, "%s%s %.1f ms", gaps.empty() ? "" : ", ", name,
                      median(*longest) * 1000);
        gaps += gap;
      }
    if (!gaps.empty())
      std::printf("  longest event-loop gap: %s (median of the runs' longest)\n", gaps.c_str());
    if (medium) {
      std::printf("  round trips on the slow medium, per file and pass:\n");
      for (const Row* row : measured)
        std::printf("    %-28s %s\n", row->name.c_str(),
                    row->medium.perFile(static_cast<long long>(paths.size())).c_str());
    }
  } catch (const engine::EngineError& error) {
    std::fprintf(stderr, "import failed: %d %s\n", error.number(), error.description().c_str());
    return 1;
  }
  if (!rows.memory) return 0;

  // Peak memory of a process that runs one window import and nothing else.
  const std::string command = std::string("'") + argv[0] + "' --memory-only '" + folder + "'";
  if (FILE* child = ::popen(command.c_str(), "r")) {
    long kb = -1;
    if (std::fscanf(child, "%ld", &kb) == 1)
      std::printf("  peak memory of one window import: %.1f MB\n", static_cast<double>(kb) / 1024);
    ::pclose(child);
  }
  return 0;
}
