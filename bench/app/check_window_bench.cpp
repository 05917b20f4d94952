// QT_QPA_PLATFORM=offscreen check_window_bench FOLDER [RUNS] [--spectral-seconds S]
//                                              [--no-cold] [--list]
//
// Check Files on the real main window (offscreen), over FOLDER imported first into a fresh
// catalogue through Add Directory, the question answered "below a folder" and the folder picker
// FOLDER at once: the time from the click to the problems view shown, against `cat` over the
// files the catalogue lists (xargs -P with as many processes as the check has threads, into
// /dev/null), in the same run. Warm: the files as the page cache holds them after a warm-up
// round; cold (unless --no-cold): every file evicted (posix_fadvise DONTNEED) before each timed
// pass. The median of RUNS rounds (default 3) counts; the check's speed is given as a share of
// cat's (the aim is at least 0.8), with the longest time the window's event loop went without
// running meanwhile (between two ticks of a 1 ms timer).
// Then the re-encode analysis through the window: Check Files with it ticked, over FOLDER and
// over copies of one 320 kbit/s encode of S seconds (default 240) of noise that the benchmark
// makes with sox and lame, in files per second. With --list, every finding of the re-encode
// check over FOLDER follows: file, Problem and Detail (for bench/make-problem-tree's folder, to
// hold against its EXPECTED.txt).
//   bench/make-corpus 2000 /tmp/t2k && QT_QPA_PLATFORM=offscreen build/bin/check_window_bench /tmp/t2k

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>

#include "app/checkrunner.h"
#include "app/frmmain.h"
#include "benchcatalogue.h"
#include "import/mp3info.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double catAll(const std::string& listFile, int processes) {
  const std::string command = "xargs -0 -P " + std::to_string(processes) + " -n 64 cat < " +
                              bench::shellQuoted(listFile) + " > /dev/null";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cat failed\n");
  return secondsSince(start);
}

std::string makeCatalogue(const QTemporaryDir& dir, const std::string& name) {
  const std::string path = (dir.path() + "/" + QString::fromStdString(name)).toStdString();
  const std::string command = std::string("'") + QUOLLSONG_MKDB + "' '" + path + "' > /dev/null";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "cannot make a catalogue at %s\n", path.c_str());
    std::exit(1);
  }
  return path;
}

// The files a catalogue lists: those Check Files reads.
std::vector<std::string> cataloguedFiles(const std::string& catalogue) {
  std::vector<std::string> paths;
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_open_v2(catalogue.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "SELECT Filename FROM music_shelf ORDER BY ID", -1, &statement,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW)
      paths.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return paths;
}

// A main window on a fresh catalogue of `folder`, imported through Add Directory, whose Check
// Files reads below `folder`.
class CheckWindow {
 public:
  CheckWindow(const QTemporaryDir& dir, const std::string& name, const std::string& folder)
      : m_catalogue(makeCatalogue(dir, name)),
        m_window(
            QString::fromStdString(m_catalogue),
            [this](int number, const QString& text) {
              ++m_errors;
              std::fprintf(stderr, "error %d: %s\n", number, qPrintable(text));
            },
            [folder](QWidget*, const QString&, const QString&) {
              return std::optional<QString>(QFile::decodeName(folder.c_str()));
            },
            importer::createTagLibMp3Info) {
    m_window.setQuestion([](const QString&) { return false; });
    m_window.setCheckDialog([this](QWidget*) { return CheckChoice{true, m_spectral}; });
    if (!m_window.Form_Load()) std::exit(1);
    m_window.show();
    QCoreApplication::processEvents();
    m_window.cmdAddDir_Click();
    if (m_errors) std::exit(1);
    m_files = cataloguedFiles(m_catalogue);
  }

  const std::vector<std::string>& files() const { return m_files; }
  const std::string& catalogue() const { return m_catalogue; }
  int threads() const { return static_cast<int>(std::max(2u, std::thread::hardware_concurrency())); }

  struct Timing {
    double seconds = 0;
    double longestGap = 0;
  };

  // From the click on Check Files to the problems view shown.
  Timing check(bool spectral) {
    m_spectral = spectral;
    Timing timing;
    Clock::time_point lastTick;
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
    m_window.findChild<QAction*>(QStringLiteral("mnuCheckFiles"))->trigger();
    timing.seconds = secondsSince(start);
    ticker.stop();
    if (m_errors) std::exit(1);
    m_summary = m_window.findChild<QLabel*>(QStringLiteral("lblImportStatus"))->text();
    return timing;
  }
  const QString& summary() const { return m_summary; }

 private:
  std::string m_catalogue;
  int m_errors = 0;
  bool m_spectral = false;
  frmMain m_window;
  std::vector<std::string> m_files;
  QString m_summary;
};

// Every finding the catalogue keeps, by file below `folder`.
void printFindings(const std::string& catalogue, const std::string& folder) {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_open_v2(catalogue.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db,
                         "SELECT s.Filename, f.Problem, f.Detail FROM shelf_findings AS f JOIN "
                         "music_shelf AS s ON s.ID = f.ID ORDER BY s.Filename, f.rowid",
                         -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string file = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      if (file.rfind(folder + "/", 0) == 0) file.erase(0, folder.size() + 1);
      std::printf("    %s\t%s\t%s\n", file.c_str(), sqlite3_column_text(statement, 1),
                  sqlite3_column_text(statement, 2));
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
}

struct Rows {
  std::vector<double> cat, check, gaps;
};

void printRound(const char* name, const Rows& rows, double megabytes, int processes) {
  const double cat = bench::median(rows.cat), check = bench::median(rows.check);
  std::printf("  %s:\n", name);
  std::printf("    cat (xargs -P %d)          %8.3f s  %8.1f MB/s\n", processes, cat,
              megabytes / cat);
  std::printf("    Check Files (window)       %8.3f s  %8.1f MB/s  longest stall %.0f ms\n",
              check, megabytes / check, 1000 * *std::max_element(rows.gaps.begin(), rows.gaps.end()));
  std::printf("    check / cat  %.2f  (aim: at least 0.80)\n", cat / check);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool cold = std::erase(args, std::string("--no-cold")) == 0;
  const bool list = std::erase(args, std::string("--list")) > 0;
  const auto secondsOption = bench::takeOption(args, "--spectral-seconds");
  if (args.empty() || args.size() > 2) {
    std::fprintf(stderr, "usage: %s FOLDER [RUNS] [--spectral-seconds S] [--no-cold] [--list]\n",
                 argv[0]);
    return 2;
  }
  const std::string folder = std::filesystem::absolute(args[0]).lexically_normal().string();
  const int runs = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 3;
  const int spectralSeconds = secondsOption ? std::max(1, std::atoi(secondsOption->c_str())) : 240;

  QTemporaryDir dir;
  const auto importStart = Clock::now();
  CheckWindow window(dir, "music_1.mdb", folder);
  const double importSeconds = secondsSince(importStart);
  const std::vector<std::string>& paths = window.files();
  if (paths.empty()) {
    std::fprintf(stderr, "no MP3 file below %s was imported\n", folder.c_str());
    return 1;
  }
  long long bytes = 0;
  for (const std::string& path : paths) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!error) bytes += static_cast<long long>(size);
  }
  const std::string listFile = (dir.path() + "/files.list").toStdString();
  {
    std::ofstream list(listFile, std::ios::binary);
    for (const std::string& path : paths) list << path << '\0';
  }
  const int processes = window.threads();
  const double megabytes = static_cast<double>(bytes) / 1e6;
  std::printf("%zu files, %.1f MB below %s, imported through the window in %.1f s; %d threads, "
              "median of %d\n",
              paths.size(), megabytes, folder.c_str(), importSeconds, processes, runs);

  for (const bool evicting : {false, true}) {
    if (evicting && !cold) break;
    Rows rows;
    for (int round = 0; round <= runs; ++round) {
      // The warm passes begin after one round that fills the page cache.
      const bool timed = round > 0;
      if (evicting) bench::evictFromCache(paths);
      const double c = catAll(listFile, processes);
      if (evicting) bench::evictFromCache(paths);
      const CheckWindow::Timing k = window.check(false);
      if (!timed) continue;
      rows.cat.push_back(c);
      rows.check.push_back(k.seconds);
      rows.gaps.push_back(k.longestGap);
    }
    printRound(evicting ? "cold (every file evicted before each pass)" : "warm", rows, megabytes,
               processes);
  }
  std::printf("  last frame check: %s\n", qPrintable(window.summary()));

  // The re-encode analysis decodes up to 30 s of every file at 256 kbit/s or more.
  const auto spectralRate = [&](CheckWindow& on, const char* what) {
    std::vector<double> seconds;
    for (int round = 0; round <= runs; ++round) {
      const double s = on.check(true).seconds;
      if (round > 0) seconds.push_back(s);
    }
    const double s = bench::median(seconds);
    std::printf("  re-encode analysis through the window, %s: %zu files in %.3f s, %.1f files/s "
                "(aim: at least 20)\n    %s\n",
                what, on.files().size(), s, static_cast<double>(on.files().size()) / s,
                qPrintable(on.summary()));
  };
  spectralRate(window, "over FOLDER");
  if (list) printFindings(window.catalogue(), folder);

  const std::filesystem::path copiesDir = std::filesystem::temp_directory_path() /
                                          ("check_window_bench_" + std::to_string(spectralSeconds));
  std::filesystem::create_directories(copiesDir);
  const std::string source = (copiesDir / "source.mp3.src").string();
  if (!bench::encodePinkNoise(source, spectralSeconds)) return 1;
  for (int i = 0; i < 40 * processes; ++i) {
    const std::filesystem::path copy = copiesDir / ("copy" + std::to_string(i) + ".mp3");
    if (!std::filesystem::exists(copy)) std::filesystem::copy_file(source, copy);
  }
  CheckWindow copies(dir, "music_2.mdb", copiesDir.string());
  spectralRate(copies, ("over copies of one " + std::to_string(spectralSeconds) +
                        " s encode at 320 kbit/s").c_str());
  return 0;
}
