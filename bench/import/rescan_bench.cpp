// rescan_bench FOLDER [RUNS] [--cold] [--moved] [--rows LIST] [--no-warm-up] [--medium PID:FILE]
//
// Rescans a folder whose every MP3 file is catalogued already and prints each time beside a
// plain walk of the same tree (every folder listed, every name looked at, nothing read),
// measured in the same run:
//   rescan             the folder rescan itself, the event loop run at every yield;
//   window             "Rescan Directory..." on the real main window (offscreen), with a folder
//                      picker that answers FOLDER at once;
//   no Filename index  the rescan on a catalogue without the index on Filename, as an older
//                      quollsong-mkdb made it.
// The catalogue is filled once, by importing FOLDER. RUNS (default 3) rounds run in turn after
// one warm-up round; the median counts. The target is 1.5 s for 50,000 unchanged files. With
// --cold the kernel drops its caches (folders, file data, the catalogue) before each timed pass,
// as after a reboot; that needs root. FOLDER is only read, so it may be on a read-only medium.
//
// --rows LIST (comma-separated: walk, rescan, window, unindexed) runs only those rows; the
// ratios are to the plain walk, or without it to the first row. --no-warm-up skips the warm-up
// round. --medium PID:FILE reads the counters of a bench/slowmedium mount (its process and its
// --stats file) around every timed pass and prints each row's round trips per file and how many
// requests it kept in flight.
//
// With --moved it measures a rescan that follows moved files instead. Each round hard-links
// FOLDER's tree into a scratch folder (copies it where links cannot be made), imports that into
// a fresh catalogue, then moves every file: each top-level folder goes below a new folder
// "Moved" under a new name, and each folder in it one level further down, below "Albums". The
// rescan of the scratch folder then finds every row's file at a new path, and is timed against
// the import of the same tree in the same round, and split into the walk with the reading of
// the files and the storing of the moves that follows it. Every round's counts are checked
// (every file moved, none added, updated or left vanished) and the last one's printed. A rescan
// follows a file only when its old and new paths both lie below the folder rescanned, as they
// do here.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include "app/frmmain.h"
#include "benchcatalogue.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "import/folderimport.h"
#include "import/folderrescan.h"
#include "import/mp3info.h"
#include "../slowmedium/mediumcounters.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The floor: every folder below `fd` listed and every entry's kind known, as `find` does.
// Returns how many names end in ".mp3".
long walkFolder(int fd) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return 0;
  }
  long mp3 = 0;
  std::vector<std::string> folders;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    if (type == DT_DIR)
      folders.emplace_back(name);
    else if (name.size() >= 4 && strcasecmp(entry->d_name + name.size() - 4, ".mp3") == 0)
      ++mp3;
  }
  for (const std::string& name : folders) {
    const int child = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (child >= 0) mp3 += walkFolder(child);
  }
  ::closedir(dir);
  return mp3;
}

// Empties the kernel's page, folder and inode caches; false when this process may not.
bool dropCaches() {
  ::sync();
  FILE* control = std::fopen("/proc/sys/vm/drop_caches", "w");
  if (!control) return false;
  const bool written = std::fputs("3\n", control) >= 0;
  return std::fclose(control) == 0 && written;
}

long plainWalk(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? 0 : walkFolder(fd);
}

std::shared_ptr<engine::Database> openCatalogue(const std::string& path) {
  return engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
}

// The rescan as the window runs it: rows on this thread, events at every yield. `vanished`
// gets how many rows it found gone; `walked` the seconds until the first yield that saw moved
// rows counted. Moves are stored after the walk, a batch of a few milliseconds at a time, so
// that is how long the walk and the reading took, give or take one batch.
double rescanOnce(importer::FolderImport& import, const std::string& folder,
                  const std::string& catalogue, importer::ImportCounts& counts,
                  std::size_t* vanished = nullptr, double* walked = nullptr) {
  std::shared_ptr<engine::Database> db = openCatalogue(catalogue);
  importer::FolderRescan rescan(import);
  const Clock::time_point start = Clock::now();
  std::optional<double> firstMoves;
  rescan.run(
      folder, [&] { return db; },
      [&] {
        if (walked && !firstMoves && import.progress().counts.songsMoved > 0)
          firstMoves = secondsSince(start);
        QCoreApplication::processEvents();
      });
  const double seconds = secondsSince(start);
  if (walked) *walked = firstMoves.value_or(seconds);
  counts = import.progress().counts;
  if (vanished) *vanished = rescan.vanished().size();
  else if (!rescan.vanished().empty()) std::fprintf(stderr, "unexpected vanished rows\n");
  return seconds;
}

// "Rescan Directory..." on the real main window.
double windowOnce(const std::string& folder, const std::string& catalogue) {
  int errors = 0;
  frmMain window(
      QString::fromStdString(catalogue),
      [&](int number, const QString& text) {
        ++errors;
        std::fprintf(stderr, "error %d: %s\n", number, qPrintable(text));
      },
      [&](QWidget*, const QString&, const QString&) {
        return std::optional<QString>(QFile::decodeName(folder.c_str()));
      },
      importer::createTagLibMp3Info);
  window.setQuestion([](const QString&) { return false; });
  if (!window.Form_Load()) std::exit(1);
  window.show();
  QCoreApplication::processEvents();
  const Clock::time_point start = Clock::now();
  window.mnuRescan_Click();
  const double seconds = secondsSince(start);
  if (errors) std::exit(1);
  return seconds;
}

// With `files`, the row's files a second too.
void printRow(const char* name, const std::vector<double>& seconds, double floor,
              std::int64_t files = 0) {
  const double m = bench::median(seconds);
  std::printf("  %-26s %7.3f s  ", name, m);
  if (files > 0) std::printf("%8.0f files/s  ", static_cast<double>(files) / m);
  std::printf("ratio %5.2f  (runs:", m / floor);
  for (double s : seconds) std::printf(" %.3f", s);
  std::printf(")\n");
}

// The rows --rows can choose, all by default.
struct Rows {
  bool walk = true;
  bool rescan = true;
  bool window = true;
  bool unindexed = true;
};

// `list` as in --rows: "walk,rescan". False on a name it does not know.
bool parseRows(const std::string& list, Rows& rows) {
  rows = Rows{false, false, false, false};
  for (const std::string& name : bench::splitList(list)) {
    if (name == "walk") rows.walk = true;
    else if (name == "rescan") rows.rescan = true;
    else if (name == "window") rows.window = true;
    else if (name == "unindexed") rows.unindexed = true;
    else return false;
  }
  return true;
}

// Makes `to` a tree like `from`: hard links to the same files where the file system allows (no
// data is copied, and the files stay in the page cache), copies otherwise.
bool copyTree(const std::string& from, const std::string& to) {
  const std::string links =
      "cp -al " + bench::shellQuoted(from) + " " + bench::shellQuoted(to) + " 2>/dev/null";
  if (std::system(links.c_str()) == 0) return true;
  std::filesystem::remove_all(to);
  const std::string copy = "cp -a " + bench::shellQuoted(from) + " " + bench::shellQuoted(to);
  return std::system(copy.c_str()) == 0;
}

// Moves every file below `tree` to another path below it: each top-level folder X becomes
// "Moved/X (renamed)", the folders in it move down into its "Albums", its files stay in it;
// a top-level file goes into "Moved". Every file's folder changes, every name stays.
void moveEverything(const std::filesystem::path& tree) {
  namespace fs = std::filesystem;
  const fs::path moved = tree / "Moved";
  fs::create_directory(moved);
  std::vector<fs::path> top;
  for (const fs::directory_entry& entry : fs::directory_iterator(tree))
    if (entry.path() != moved) top.push_back(entry.path());
  for (const fs::path& entry : top) {
    if (!fs::is_directory(fs::symlink_status(entry))) {
      fs::rename(entry, moved / entry.filename());
      continue;
    }
    const fs::path renamed = moved / (entry.filename().string() + " (renamed)");
    const fs::path albums = renamed / "Albums";
    fs::create_directories(albums);
    std::vector<fs::path> inside;
    for (const fs::directory_entry& child : fs::directory_iterator(entry))
      inside.push_back(child.path());
    for (const fs::path& child : inside)
      fs::rename(child, (fs::is_directory(fs::symlink_status(child)) ? albums : renamed) /
                            child.filename());
    fs::remove(entry);
  }
}

// The moved-files rescan against the import of the same tree, round by round.
int benchmarkMoves(const std::string& folder, int runs, bool cold, const QTemporaryDir& dir) {
  const auto beforePass = [cold] {
    if (cold) dropCaches();
  };
  importer::FolderImport import(importer::createTagLibMp3Info);
  std::vector<double> imports, rescans, walks, stores;
  std::int64_t files = 0;
  importer::ImportCounts counts;
  std::size_t vanished = 0;
  bool countsRight = true;
  // Round 0 warms up and is not counted.
  for (int run = 0; run <= runs; ++run) {
    const std::string tree = (dir.path() + QStringLiteral("/tree_%1").arg(run)).toStdString();
    const std::string catalogue =
        (dir.path() + QStringLiteral("/moved_%1.mdb").arg(run)).toStdString();
    if (!copyTree(folder, tree)) {
      std::fprintf(stderr, "cannot copy %s to %s\n", folder.c_str(), tree.c_str());
      return 1;
    }
    if (!bench::makeCatalogue(catalogue, 0)) return 1;

    beforePass();
    std::shared_ptr<engine::Database> db = openCatalogue(catalogue);
    Clock::time_point start = Clock::now();
    import.run(tree, [&] { return db; }, [] { QCoreApplication::processEvents(); });
    const double imported = secondsSince(start);
    db->Close();
    db.reset();
    files = import.progress().counts.songsAdded;
    if (files == 0) {
      std::fprintf(stderr, "no MP3 files below %s\n", folder.c_str());
      return 1;
    }

    moveEverything(tree);
    beforePass();
    double walked = 0;
    const double rescanned = rescanOnce(import, tree, catalogue, counts, &vanished, &walked);
    const bool right = counts.songsMoved == files && counts.songsAdded == 0 &&
                       counts.songsUpdated == 0 && counts.songsUnchanged == 0 && vanished == 0;
    if (!right)
      std::fprintf(stderr, "round %d: %lld moved, %lld added, %lld updated, %lld unchanged, "
                   "%zu vanished of %lld files\n", run, static_cast<long long>(counts.songsMoved),
                   static_cast<long long>(counts.songsAdded),
                   static_cast<long long>(counts.songsUpdated),
                   static_cast<long long>(counts.songsUnchanged), vanished,
                   static_cast<long long>(files));
    countsRight = countsRight && right;
    if (run > 0) {
      imports.push_back(imported);
      rescans.push_back(rescanned);
      walks.push_back(walked);
      stores.push_back(rescanned - walked);
    }
    std::filesystem::remove_all(tree);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(catalogue + suffix);
  }

  const double floor = bench::median(imports);
  std::printf("%lld files below %s, every one moved before the rescan, %s cache, median of "
              "%d\n",
              static_cast<long long>(files), folder.c_str(), cold ? "cold" : "warm", runs);
  std::printf("  last rescan: %lld moved, %lld added, %lld updated, %lld unchanged, %zu "
              "vanished (%s)\n",
              static_cast<long long>(counts.songsMoved), static_cast<long long>(counts.songsAdded),
              static_cast<long long>(counts.songsUpdated),
              static_cast<long long>(counts.songsUnchanged), vanished,
              countsRight ? "as expected in every round" : "NOT as expected");
  printRow("import (reference)", imports, floor);
  printRow("rescan, every file moved", rescans, floor);
  printRow("  of it walking and reading", walks, floor);
  printRow("  of it storing the moves", stores, floor);
  return countsRight ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool cold = std::erase(args, std::string("--cold")) > 0;
  const bool moved = std::erase(args, std::string("--moved")) > 0;
  const bool warmUp = std::erase(args, std::string("--no-warm-up")) == 0;
  const std::optional<std::string> rowsOption = bench::takeOption(args, "--rows");
  const std::optional<std::string> mediumOption = bench::takeOption(args, "--medium");
  Rows rows;
  const std::optional<bench::MediumCounters> medium =
      mediumOption ? bench::MediumCounters::fromArgument(*mediumOption) : std::nullopt;
  if (args.empty() || args.size() > 2 || (rowsOption && !parseRows(*rowsOption, rows)) ||
      (mediumOption && !medium)) {
    std::fprintf(stderr,
                 "usage: %s FOLDER [RUNS] [--cold] [--moved] "
                 "[--rows walk,rescan,window,unindexed] [--no-warm-up] [--medium PID:FILE]\n",
                 argv[0]);
    return 2;
  }
  const std::string folder = args[0];
  const int runs = args.size() == 2 ? std::max(1, std::atoi(args[1].c_str())) : 3;
  if (cold && !dropCaches()) {
    std::fprintf(stderr, "--cold needs root: the caches cannot be dropped\n");
    return 2;
  }
  const auto beforePass = [cold] {
    if (cold) dropCaches();
  };
  QTemporaryDir dir;
  if (!dir.isValid()) return 1;
  if (moved) {
    try {
      return benchmarkMoves(folder, runs, cold, dir);
    } catch (const engine::EngineError& error) {
      std::fprintf(stderr, "rescan failed: %d %s\n", error.number(),
                   error.description().c_str());
      return 1;
    } catch (const std::filesystem::filesystem_error& error) {
      std::fprintf(stderr, "moving the files failed: %s\n", error.what());
      return 1;
    }
  }
  const std::string indexed = (dir.path() + QStringLiteral("/music_1.mdb")).toStdString();
  const std::string plain = (dir.path() + QStringLiteral("/plain.mdb")).toStdString();

  try {
    if (!bench::makeCatalogue(indexed, 0)) return 1;
    importer::FolderImport import(importer::createTagLibMp3Info);
    {
      std::shared_ptr<engine::Database> db = openCatalogue(indexed);
      import.run(folder, [&] { return db; }, [] {});
    }
    const std::int64_t files = import.progress().counts.songsAdded;
    if (files == 0) {
      std::fprintf(stderr, "no MP3 files below %s\n", folder.c_str());
      return 1;
    }
    std::filesystem::copy_file(indexed, plain);
    if (!bench::dropIndexes(plain)) return 1;

    importer::ImportCounts counts;
    long walked = -1;
    struct Row {
      const char* name;
      std::vector<double> seconds;
      bench::MediumCost medium;
    };
    Row walks{"plain walk (floor)", {}, {}}, rescans{"rescan", {}, {}},
        windows{"window (Rescan Directory)", {}, {}},
        unindexed{"rescan, no Filename index", {}, {}};
    // Each selected row's pass in turn; round 0 is the warm-up and is not counted.
    for (int run = warmUp ? 0 : 1; run <= runs; ++run) {
      const bool timed = run > 0;
      const auto pass = [&](Row& row, auto&& body) {
        if (timed) beforePass();
        bench::MediumCost untimed;
        const double seconds = measuredPass(medium, timed ? row.medium : untimed, body);
        if (timed) row.seconds.push_back(seconds);
      };
      if (rows.walk)
        pass(walks, [&] {
          const Clock::time_point start = Clock::now();
          walked = plainWalk(folder);
          return secondsSince(start);
        });
      if (rows.rescan) pass(rescans, [&] { return rescanOnce(import, folder, indexed, counts); });
      if (rows.window) pass(windows, [&] { return windowOnce(folder, indexed); });
      if (rows.unindexed)
        pass(unindexed, [&] { return rescanOnce(import, folder, plain, counts); });
    }

    std::vector<const Row*> measured;
    for (const Row* row : {&walks, &rescans, &windows, &unindexed})
      if (!row->seconds.empty()) measured.push_back(row);
    if (measured.empty()) return 0;
    const double floor = bench::median(measured.front()->seconds);
    std::printf("%lld files catalogued below %s", static_cast<long long>(files), folder.c_str());
    if (walked >= 0) std::printf(" (the walk saw %ld .mp3 names)", walked);
    std::printf(", %s cache, median of %d", cold ? "cold" : "warm", runs);
    if (measured.front() != &walks) std::printf("; ratios to %s", measured.front()->name);
    std::printf("\n");
    if (!rescans.seconds.empty() || !unindexed.seconds.empty())
      std::printf("  last rescan: %lld added, %lld unchanged\n",
                  static_cast<long long>(counts.songsAdded),
                  static_cast<long long>(counts.songsUnchanged));
    for (const Row* row : measured) printRow(row->name, row->seconds, floor, files);
    std::printf("  target: rescan of 50,000 unchanged files within 1.5 s\n");
    if (medium) {
      std::printf("  round trips on the slow medium, per file and pass:\n");
      for (const Row* row : measured)
        std::printf("    %-26s %s\n", row->name,
                    row->medium.perFile(static_cast<long long>(files)).c_str());
    }
  } catch (const engine::EngineError& error) {
    std::fprintf(stderr, "rescan failed: %d %s\n", error.number(), error.description().c_str());
    return 1;
  }
  return 0;
}
