// The main window's own path on a catalogue of ROWS rows (100,000 unless given): start-up to the
// shown window; then, three rounds, "Show All Records" to the first screen of rows painted, a
// click on the Title heading to the first sorted screen, and the navigator's last-row button
// until the last row is painted; then every row's title asked of the grid, which reads every row,
// and the peak memory that leaves. Each time is the
// median of the rounds, printed beside SQLite alone running the same order in the same run (the
// first 300 rows, and every row, every field read). --no-indexes measures a catalogue made
// before it had indexes.
// Run offscreen: QT_QPA_PLATFORM=offscreen app_bench [ROWS] [--no-indexes]
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
#include "benchcatalogue.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  int rows = 100000;
  bool indexes = true;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--no-indexes") indexes = false;
    else rows = std::atoi(argv[i]);
  }
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("music_1.mdb"));
  if (!dir.isValid() || !bench::makeCatalogue(path.toStdString(), rows, indexes)) {
    std::fprintf(stderr, "cannot make the catalogue\n");
    return 1;
  }
  std::printf("catalogue: %d rows, %s; peak memory before the window %.1f MB\n", rows,
              indexes ? "with its indexes" : "without indexes", peakMegabytes());

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
  auto* last = window.findChild<QToolButton*>(QStringLiteral("Last"));
  auto* grid = window.findChild<catalog::BoundGrid*>(QStringLiteral("DBGrid1"));
  QHeaderView* header = grid->horizontalHeader();
  auto clickHeading = [&](int column) {
    const QPoint centre(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
  };
  auto timed = [&](auto&& action) {
    QElapsedTimer timer;
    timer.start();
    action();
    paintNow(window);
    return ms(timer);
  };

  const std::string plainTitle = "SELECT * FROM music_shelf ORDER BY Title";
  bench::sqliteAlone(path.toStdString(), plainTitle);  // warms the file cache
  std::vector<double> floorFirst, floorAll, showAllTimes, sortTimes, lastTimes;
  int shown = 0, allRows = 0;
  for (int round = 0; round < 3; ++round) {
    const bench::Floor floor = bench::sqliteAlone(path.toStdString(), plainTitle);
    floorFirst.push_back(floor.firstMs);
    floorAll.push_back(floor.allMs);
    showAllTimes.push_back(timed([&] { QTest::mouseClick(showAll, Qt::LeftButton); }));
    shown = grid->model()->rowCount();
    // Show All leaves the sort state alone, so the Title heading sorts ascending in round one
    // and alternates after; either way every row is read once the last one is shown.
    sortTimes.push_back(timed([&] { clickHeading(1); }));
    lastTimes.push_back(timed([&] { QTest::mouseClick(last, Qt::LeftButton); }));
    allRows = grid->model()->rowCount();
  }

  // Worst case for memory: every row of the sorted view is shown once, so every row is read.
  QElapsedTimer readAll;
  readAll.start();
  QAbstractItemModel* model = grid->model();
  std::size_t shownBytes = 0;
  for (int row = 0; row < model->rowCount(); ++row)
    shownBytes += static_cast<std::size_t>(model->index(row, 1).data().toString().size());
  const double readAllMs = ms(readAll);

  const double ff = bench::median(floorFirst), fa = bench::median(floorAll);
  std::printf("start-up to shown window (in process)         %8.1f ms\n", startupMs);
  std::printf("SQLite alone, ORDER BY Title: first 300 rows %8.1f ms, every row %8.1f ms\n", ff,
              fa);
  const double showAllMs = bench::median(showAllTimes), sortMs = bench::median(sortTimes),
               lastMs = bench::median(lastTimes);
  std::printf("Show All Records to first screen painted     %8.1f ms\n", showAllMs);
  std::printf("heading sort to first screen painted         %8.1f ms (ratio %.2f to SQLite's "
              "first 300 rows)\n",
              sortMs, sortMs / ff);
  std::printf("last row of the sorted view painted          %8.1f ms (ratio %.2f to SQLite's "
              "every row)\n",
              lastMs, lastMs / fa);
  std::printf("rows in the grid after a view: %d; after the last row: %d\n", shown, allRows);
  std::printf("every row's title asked of the grid          %8.1f ms (%zu characters)\n",
              readAllMs, shownBytes);
  std::printf("peak memory with every row read              %8.1f MB\n", peakMegabytes());
  if (errors) std::printf("errors shown: %d\n", errors);
  return errors ? 1 : 0;
}
