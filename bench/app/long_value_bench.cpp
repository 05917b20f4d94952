// One very long value in the first row of a catalogue of 10,000 rows, through the main window:
// "Show All Records" to the first screen painted, then a click on the row's Title cell (the grid
// and the text boxes show it) and the grid scrolled to the end and back. Each time is the median
// of three rounds, printed beside the same window and catalogue with an ordinary title in that
// row, measured in the same run, and beside SQLite alone reading the first screen's rows.
// Run offscreen: QT_QPA_PLATFORM=offscreen long_value_bench [MEGABYTES]... (2 and 20 unless
// given) [--accessible] (with Qt's accessibility on, as a screen reader turns it on)
#include <sqlite3.h>

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/frmmain.h"
#include "benchcatalogue.h"
#include "catalog/boundgrid.h"

namespace {

constexpr int kRows = 10000;

double ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

void paintNow(QWidget& window) {
  QApplication::processEvents();
  window.repaint();
}

bool setFirstTitle(const std::string& path, std::size_t bytes) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK;
  sqlite3_stmt* stmt = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "UPDATE music_shelf SET Title = ?1 WHERE ID = 1", -1, &stmt,
                                nullptr) == SQLITE_OK;
  // Words, as a title pasted from somewhere would have them.
  std::string title;
  title.reserve(bytes);
  while (title.size() < bytes) title += "a very long title ";
  title.resize(bytes);
  ok = ok && sqlite3_bind_text(stmt, 1, title.data(), static_cast<int>(title.size()),
                               SQLITE_TRANSIENT) == SQLITE_OK;
  ok = ok && sqlite3_step(stmt) == SQLITE_DONE;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return ok;
}

struct Times {
  double floor = 0;  // SQLite alone reading the first screen's rows
  double showAll = 0;
  double click = 0;
  double scroll = 0;
};

// Three rounds on the window over `path`.
Times measure(const QString& path, int& errors) {
  frmMain window(
      path,
      [&errors](int number, const QString& text) {
        ++errors;
        std::fprintf(stderr, "Error %d: %s\n", number, qPrintable(text));
      },
      {}, {});
  if (!window.Form_Load()) return {};
  window.resize(1200, 800);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return {};
  paintNow(window);
  auto* showAll = window.findChild<QPushButton*>(QStringLiteral("cmdShowAll"));
  auto* grid = window.findChild<catalog::BoundGrid*>(QStringLiteral("DBGrid1"));
  auto timed = [&](auto&& action) {
    QElapsedTimer timer;
    timer.start();
    action();
    paintNow(window);
    return ms(timer);
  };
  std::vector<double> floorTimes, showAllTimes, clickTimes, scrollTimes;
  for (int round = 0; round < 3; ++round) {
    floorTimes.push_back(bench::sqliteFirstScreen(path.toStdString(),
                                                  "SELECT * FROM music_shelf ORDER BY ID", 300));
    showAllTimes.push_back(timed([&] { QTest::mouseClick(showAll, Qt::LeftButton); }));
    clickTimes.push_back(timed([&] {
      grid->setCurrentIndex(grid->model()->index(1, 1));
      paintNow(window);
      const QRect cell = grid->visualRect(grid->model()->index(0, 1));
      QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    }));
    scrollTimes.push_back(timed([&] {
      QScrollBar* bar = grid->verticalScrollBar();
      bar->setValue(bar->maximum());
      paintNow(window);
      bar->setValue(0);
    }));
  }
  window.close();
  return {bench::median(floorTimes), bench::median(showAllTimes), bench::median(clickTimes), bench::median(scrollTimes)};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> sizes;
  bool accessible = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--accessible") accessible = true;
    else sizes.push_back(std::atof(argv[i]));
  }
  if (sizes.empty()) sizes = {2, 20};
  QApplication app(argc, argv);
  if (accessible) QAccessible::setActive(true);
  QTemporaryDir dir;
  if (!dir.isValid()) return 1;
  int errors = 0;
  std::printf("%d rows; the first row's title of each size against an ordinary one%s\n", kRows,
              accessible ? ", accessibility on" : "");
  std::printf("%10s %12s %14s %14s %14s\n", "title", "SQLite ms", "Show All ms", "click ms",
              "scroll ms");
  std::vector<std::pair<double, Times>> results;
  sizes.insert(sizes.begin(), 0);
  for (const double megabytes : sizes) {
    const QString path =
        dir.filePath(QStringLiteral("music_%1.mdb").arg(static_cast<int>(megabytes * 1000)));
    if (!bench::makeCatalogue(path.toStdString(), kRows) ||
        (megabytes > 0 &&
         !setFirstTitle(path.toStdString(), static_cast<std::size_t>(megabytes * (1 << 20))))) {
      std::fprintf(stderr, "cannot make the catalogue\n");
      return 1;
    }
    const Times times = measure(path, errors);
    results.emplace_back(megabytes, times);
    const Times& plain = results.front().second;
    if (megabytes == 0)
      std::printf("%10s %12.1f %14.1f %14.1f %14.1f\n", "ordinary", times.floor, times.showAll,
                  times.click, times.scroll);
    else
      std::printf("%7.0f MB %12.1f %8.1f (%4.2f) %8.1f (%4.2f) %8.1f (%4.2f)\n", megabytes,
                  times.floor, times.showAll, times.showAll / plain.showAll, times.click,
                  times.click / plain.click, times.scroll, times.scroll / plain.scroll);
  }
  if (errors) std::printf("errors shown: %d\n", errors);
  return errors ? 1 : 0;
}
