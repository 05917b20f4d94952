// The main window's own path on a 100,000-row catalogue: start-up to the shown window, "Show All
// Records" to the first screen of rows painted, a heading-click sort, and peak memory.
// Run offscreen: QT_QPA_PLATFORM=offscreen app_bench [rows]
#include <sqlite3.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/frmmain.h"
#include "catalog/boundgrid.h"
#include "schema.h"

namespace {

bool makeCatalogue(const std::string& path, int rows) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  const std::string schema = std::string("PRAGMA journal_mode=WAL;") + kCatalogueSchema;
  bool ok = sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(db,
                                "INSERT INTO music_shelf (Title, Artist, Album, Year, Genre, Track,"
                                " Filename, Duration, Bitrate, VBR) VALUES (?1, ?2, ?3, '', ?4,"
                                " ?5, ?6, ?7, ?8, ?9)",
                                -1, &insert, nullptr) == SQLITE_OK;
  static const char* const kGenres[] = {"Rock", "Pop", "Jazz", "Blues", "Folk", "Classical"};
  std::srand(7);
  for (int i = 0; ok && i < rows; ++i) {
    const int artist = std::rand() % 2000;
    const int album = artist * 10 + std::rand() % 10;
    const std::string title = "Song " + std::to_string(std::rand()) + " of the night";
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
    sqlite3_bind_int(insert, 7, 120 + std::rand() % 300);
    sqlite3_bind_int(insert, 8, 128 + 32 * (std::rand() % 6));
    sqlite3_bind_text(insert, 9, i % 5 ? "False" : "True", -1, SQLITE_STATIC);
    ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

double ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

// Paints the whole window now, as the first screen after the event that changed it.
void paintNow(QWidget& window) {
  QApplication::processEvents();
  window.repaint();
}

double peakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

void report(const char* what, std::vector<double> times, double target) {
  std::sort(times.begin(), times.end());
  std::printf("%-44s median %7.1f ms  max %7.1f ms  (%zu runs; target < %.0f ms)\n", what,
              times[times.size() / 2], times.back(), times.size(), target);
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("music_1.mdb"));
  if (!dir.isValid() || !makeCatalogue(path.toStdString(), rows)) {
    std::fprintf(stderr, "cannot make the catalogue\n");
    return 1;
  }
  std::printf("catalogue: %d rows, peak memory before the window %.1f MB\n", rows, peakMegabytes());

  int errors = 0;
  QElapsedTimer startup;
  startup.start();
  QApplication app(argc, argv);
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
  paintNow(window);
  const double startupMs = ms(startup);

  auto* showAll = window.findChild<QPushButton*>(QStringLiteral("cmdShowAll"));
  auto* grid = window.findChild<catalog::BoundGrid*>(QStringLiteral("DBGrid1"));
  QHeaderView* header = grid->horizontalHeader();
  auto clickHeading = [&](int column) {
    const QPoint centre(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
  };

  std::vector<double> showAllTimes, sortTimes;
  for (int run = 0; run < 5; ++run) {
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(showAll, Qt::LeftButton);
    paintNow(window);
    showAllTimes.push_back(ms(timer));
  }
  const int shown = grid->model()->rowCount();
  for (int column : {1, 1, 2, 9, 1}) {
    QElapsedTimer timer;
    timer.start();
    clickHeading(column);
    paintNow(window);
    sortTimes.push_back(ms(timer));
  }
  const double peakViews = peakMegabytes();

  // Worst case for memory: the user goes to the last row with the navigator, so every row is
  // read.
  auto* last = window.findChild<QToolButton*>(QStringLiteral("Last"));
  QElapsedTimer timer;
  timer.start();
  QTest::mouseClick(last, Qt::LeftButton);
  paintNow(window);
  const double toEndMs = ms(timer);
  const int allRows = grid->model()->rowCount();

  std::printf("start-up to shown window (in process)           %7.1f ms  (target < 300 ms)\n",
              startupMs);
  report("Show All Records to first screen painted", showAllTimes, 100);
  report("heading click sort to first screen painted", sortTimes, 500);
  std::printf("rows in the grid after a view: %d; after moving to the last row: %d (%.1f ms)\n", shown, allRows,
              toEndMs);
  std::printf("peak memory after the views and sorts         %7.1f MB  (target < 150 MB)\n",
              peakViews);
  std::printf("peak memory with every row read               %7.1f MB\n", peakMegabytes());
  if (errors) std::printf("errors shown: %d\n", errors);
  return errors ? 1 : 0;
}
