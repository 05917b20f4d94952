// The Statistics window on a catalogue of ROWS rows (1,000,000 unless given, then also
// 100,000 unless --rows names only some): SQLite alone running the GROUP BY queries that give the
// same figures, one after another, against the statistics read on their own thread, and against
// the real window, from its opening until every chart and table is filled; meanwhile the main
// window's longest stall, measured by a timer that should fire every 5 ms. Also the read on two
// connections the window makes, with the process's peak memory meanwhile, and whether the window
// filled within 1 s at 1,000,000 rows. Each time is the median of three rounds.
// Run offscreen: QT_QPA_PLATFORM=offscreen statistics_bench [--rows 1000000,100000]
#include <sqlite3.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/frmmain.h"
#include "app/frmstatistics.h"
#include "benchcatalogue.h"
#include "catalog/statistics.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The same figures as GROUP BY queries, as anyone would write them for SQLite.
const char* const kGroupBys[] = {
    "SELECT count(*), total(Duration), count(DISTINCT Artist),"
    " count(DISTINCT rtrim(Filename, replace(Filename, '/', ''))) FROM music_shelf",
    "SELECT Genre, count(*) FROM music_shelf GROUP BY Genre",
    "SELECT CASE WHEN VBR = 'True' THEN 'VBR' WHEN Bitrate <= 64 THEN '8-64'"
    " WHEN Bitrate <= 96 THEN '96' WHEN Bitrate <= 112 THEN '112' WHEN Bitrate <= 128 THEN '128'"
    " WHEN Bitrate <= 160 THEN '160' WHEN Bitrate <= 192 THEN '192' WHEN Bitrate <= 224 THEN '224'"
    " WHEN Bitrate <= 256 THEN '256' ELSE '320' END, count(*) FROM music_shelf GROUP BY 1",
    "SELECT Year, count(*) FROM music_shelf WHERE Year <> '' GROUP BY Year",
    "SELECT min(Duration / 60, 10) + (Duration >= 1200), count(*) FROM music_shelf GROUP BY 1",
    "SELECT Artist, count(*), total(Duration) FROM music_shelf GROUP BY Artist",
    "SELECT Artist, Album, count(*), total(Duration) FROM music_shelf GROUP BY Artist, Album",
};

double sqliteGroupBys(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const auto start = Clock::now();
  long long rows = 0;
  for (const char* sql : kGroupBys) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) sqlite3_column_text(stmt, c);
      ++rows;
    }
    sqlite3_finalize(stmt);
  }
  const double elapsed = msSince(start) + static_cast<double>(rows % 2) * 1e-9;
  sqlite3_close(db);
  return elapsed;
}

double statisticsAlone(const std::string& path) {
  std::atomic<bool> stop{false};
  sqlite3* db = catalog::openStatisticsConnection(path, &stop);
  const auto start = Clock::now();
  const auto statistics = catalog::readStatistics(db, "", stop);
  const double elapsed = msSince(start);
  sqlite3_close(db);
  return statistics && statistics->songs > 0 ? elapsed : -1;
}

// The peak resident memory since the last resetPeakMemory, in KiB; 0 where Linux's /proc has none.
long peakMemoryKib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

void resetPeakMemory() {
  if (std::FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", refs);
    std::fclose(refs);
  }
}

struct TwoConnectionRead {
  double ms = -1;
  long peakKib = 0;
};

// As the window reads: two connections, half the rows on a thread of its own.
TwoConnectionRead statisticsTwoConnections(const std::string& path) {
  std::atomic<bool> stop{false};
  sqlite3* db = catalog::openStatisticsConnection(path, &stop);
  sqlite3* second = catalog::openStatisticsConnection(path, &stop);
  resetPeakMemory();
  TwoConnectionRead read;
  const auto start = Clock::now();
  const auto statistics = catalog::readStatistics(db, "", stop, second);
  read.ms = msSince(start);
  read.peakKib = peakMemoryKib();
  sqlite3_close(second);
  sqlite3_close(db);
  if (!statistics || statistics->songs <= 0) read.ms = -1;
  return read;
}

struct WindowRound {
  double filledMs = -1;
  double longestStallMs = 0;
};

// Opens the window through the menu and waits until it has filled every chart and table; a
// timer meanwhile notes the longest time the main window's events stood still.
WindowRound windowRound(frmMain& window, QAction* menu) {
  WindowRound round;
  QTimer ticker;
  ticker.setInterval(5);
  Clock::time_point last = Clock::now();
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    round.longestStallMs = std::max(round.longestStallMs,
                                    std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  });
  ticker.start();
  const auto start = Clock::now();
  last = start;
  menu->trigger();
  auto* statistics = window.findChild<frmStatistics*>();
  if (!statistics) return round;
  QSignalSpy filled(statistics, &frmStatistics::filled);
  if (!filled.count() && !filled.wait(60000)) return round;
  round.filledMs = msSince(start);
  // One more turn of the loop, so the stall that filling itself caused is counted.
  QApplication::processEvents();
  statistics->close();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return round;
}

int runRows(int rows) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("music_1.mdb"));
  if (!dir.isValid() || !bench::makeCatalogue(path.toStdString(), rows)) {
    std::fprintf(stderr, "cannot make the catalogue\n");
    return 1;
  }
  {
    // The made catalogue has no years; sixty of them give the year chart its work.
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db, "UPDATE music_shelf SET Year = 1960 + ID % 60", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  const std::string file = path.toStdString();
  sqliteGroupBys(file);  // warms the file cache
  std::vector<double> floor, alone, two;
  long peakKib = 0;
  for (int i = 0; i < 3; ++i) {
    floor.push_back(sqliteGroupBys(file));
    alone.push_back(statisticsAlone(file));
    const TwoConnectionRead read = statisticsTwoConnections(file);
    two.push_back(read.ms);
    peakKib = std::max(peakKib, read.peakKib);
  }
  int errors = 0;
  frmMain window(
      path,
      [&errors](int number, const QString& text) {
        ++errors;
        std::fprintf(stderr, "Error %d: %s\n", number, qPrintable(text));
      },
      {}, {});
  if (!window.Form_Load()) return 1;
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  auto* menu = window.findChild<QAction*>(QStringLiteral("mnuStatistics"));
  if (!menu) {
    std::fprintf(stderr, "no Statistics menu entry\n");
    return 1;
  }
  std::vector<double> filled, stalls;
  for (int i = 0; i < 3; ++i) {
    const WindowRound round = windowRound(window, menu);
    filled.push_back(round.filledMs);
    stalls.push_back(round.longestStallMs);
  }
  const double f = bench::median(floor), a = bench::median(alone), w = bench::median(filled);
  std::printf("%d rows:\n", rows);
  std::printf("  SQLite alone, %zu GROUP BY queries one after another  %8.1f ms\n",
              std::size(kGroupBys), f);
  std::printf("  statistics read in one pass (no window)              %8.1f ms (ratio %.2f)\n", a,
              a / f);
  const double t = bench::median(two);
  std::printf("  statistics read on two connections, as the window    %8.1f ms (ratio %.2f)\n", t,
              t / f);
  if (peakKib > 0)
    std::printf("  peak memory of the process during that read          %8.1f MiB\n",
                static_cast<double>(peakKib) / 1024);
  std::printf("  Statistics window opened to every chart filled       %8.1f ms (ratio %.2f)\n", w,
              w / f);
  std::printf("  main window's longest stall meanwhile                %8.1f ms (median; worst "
              "%.1f ms)\n",
              bench::median(stalls), *std::max_element(stalls.begin(), stalls.end()));
  if (rows == 1000000)
    std::printf("  window filled within 1 s at 1,000,000 rows: %s\n",
                w >= 0 && w < 1000 ? "yes" : "NO");
  if (errors) std::printf("  errors shown: %d\n", errors);
  return errors ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::optional<std::string> list = bench::takeOption(args, "--rows");
  std::vector<int> sizes = {1000000, 100000};
  if (list) {
    sizes.clear();
    for (const std::string& piece : bench::splitList(*list)) {
      const int rows = std::atoi(piece.c_str());
      if (rows <= 0) {
        std::fprintf(stderr, "not a number of rows: '%s'\n", piece.c_str());
        return 2;
      }
      sizes.push_back(rows);
    }
  }
  if (!args.empty()) {
    std::fprintf(stderr, "usage: statistics_bench [--rows 1000000,100000]\n");
    return 2;
  }
  QApplication app(argc, argv);
  int failed = 0;
  for (int rows : sizes) failed |= runRows(rows);
  return failed;
}
