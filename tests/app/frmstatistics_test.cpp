// The Statistics window on a small made catalogue, opened from the real main window: filled once
// its thread answers, a click on a bar or a table row showing those songs in the main grid (also
// of names that are not UTF-8, and while a new answer comes in), a close or a cancel while the
// figures are being read, a catalogue that opens only later, and its size kept between runs.
#include <QAction>
#include <QBarCategoryAxis>
#include <QPointer>
#include <QSet>
#include <QApplication>
#include <QBarSet>
#include <QBarSeries>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/frmmain.h"
#include "app/frmstatistics.h"
#include "catalog/boundgrid.h"
#include "support/gate.h"
#include "support/tempdir.h"
#include "testcatalogue.h"
#include "windowtesting.h"

// Ends a wait for the window's events only when they never come.
constexpr int kEventWaitMs = 60000;

class TestFrmStatistics : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void fillsOnceItsThreadAnswers();
  void aBarClickShowsItsSongs();
  void aTableRowClickShowsItsSongs();
  void theCurrentViewKeepsClicksWithinIt();
  void closingWhileReadingLeavesNothingRunning();
  void noAnswerAfterCancel();
  void namesThatAreNotUtf8KeepTheirBarsAndRows();
  void aClickWaitingForANewAnswerKeepsItsChart();
  void aCatalogueThatCouldNotBeOpenedIsTriedAgain();
  void itsSizeComesBack();

 private:
  // Opens the window from the menu and waits until it is filled.
  frmStatistics* openFilled();
  QList<int> gridIds();
  // Clicks the middle of bar `index` of a chart's only set.
  static void clickBar(frmStatistics* statistics, const char* chart, int index);

  std::unique_ptr<testsupport::TempDir> m_dir;
  QString m_path;
  std::vector<std::pair<int, QString>> m_errors;
  std::unique_ptr<frmMain> m_window;
};

void TestFrmStatistics::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = QString::fromStdString(m_dir->path("music_1.mdb"));
  // IDs 1-3 Pop by ABBA, 4-5 Rock by Can, 6 Jazz by ABBA.
  testcatalogue::make(
      m_path.toStdString(),
      "INSERT INTO music_shelf (Title, Artist, Album, Genre, Filename, Duration, Bitrate, VBR)"
      " VALUES ('a', 'ABBA', 'Gold', 'Pop', '/m/1.mp3', 200, 128, 'False'),"
      " ('b', 'ABBA', 'Gold', 'Pop', '/m/2.mp3', 200, 128, 'False'),"
      " ('c', 'ABBA', 'Arrival', 'Pop', '/m/3.mp3', 200, 192, 'True'),"
      " ('d', 'Can', 'Tago Mago', 'Rock', '/n/4.mp3', 1000, 320, 'False'),"
      " ('e', 'Can', 'Tago Mago', 'Rock', '/n/5.mp3', 1000, 320, 'False'),"
      " ('f', 'ABBA', 'Voulez', 'Jazz', '/m/6.mp3', 100, 128, 'False');");
  m_errors.clear();
  m_window = windowtesting::quietWindow(m_path, m_errors);
  QVERIFY(m_window->Form_Load());
  m_window->show();
}

void TestFrmStatistics::cleanup() {
  m_window.reset();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCOMPARE(catalog::StatisticsReader::threadsAlive(), 0);
  m_dir.reset();
}

frmStatistics* TestFrmStatistics::openFilled() {
  auto* menu = m_window->findChild<QAction*>(QStringLiteral("mnuStatistics"));
  if (!menu) return nullptr;
  menu->trigger();
  auto* statistics = m_window->findChild<frmStatistics*>(QStringLiteral("frmStatistics"));
  if (!statistics) return nullptr;
  if (!statistics->isFilled()) {
    QSignalSpy filled(statistics, &frmStatistics::filled);
    if (!filled.wait(kEventWaitMs)) return nullptr;
  }
  return statistics;
}

QList<int> TestFrmStatistics::gridIds() {
  auto* grid = m_window->findChild<catalog::BoundGrid*>(QStringLiteral("DBGrid1"));
  return windowtesting::shownIds(grid->model());
}

void TestFrmStatistics::fillsOnceItsThreadAnswers() {
  frmStatistics* statistics = openFilled();
  QVERIFY(statistics);
  auto text = [&](const char* name) {
    return statistics->findChild<QLabel*>(QString::fromLatin1(name))->text();
  };
  QCOMPARE(text("lblSongs"), QStringLiteral("6"));
  QCOMPARE(text("lblLength"), QStringLiteral("0 0:45:00"));
  QCOMPARE(text("lblArtists"), QStringLiteral("2"));
  QCOMPARE(text("lblAlbums"), QStringLiteral("4"));
  QCOMPARE(text("lblFolders"), QStringLiteral("2"));
  for (const char* name : {"chartGenres", "chartBitrates", "chartEncodings", "chartLengths"}) {
    auto* view = statistics->findChild<QChartView*>(QString::fromLatin1(name));
    QVERIFY2(view && view->chart()->series().size() == 1, name);
  }
  auto* artists = statistics->findChild<QTableWidget*>(QStringLiteral("tblArtists"));
  QCOMPARE(artists->rowCount(), 2);
  QCOMPARE(artists->item(0, 0)->text(), QStringLiteral("ABBA"));
  // By length, Can's two long songs come first.
  statistics->findChild<QComboBox*>(QStringLiteral("cboLargestBy"))->setCurrentIndex(1);
  QCOMPARE(artists->item(0, 0)->text(), QStringLiteral("Can"));
  // Every control a screen reader meets has a name.
  for (QWidget* control : statistics->findChildren<QWidget*>())
    if (!control->objectName().isEmpty() && !control->objectName().startsWith(QLatin1String("qt_")))
      QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
  QVERIFY(m_errors.empty());
}

void TestFrmStatistics::clickBar(frmStatistics* statistics, const char* chart, int index) {
  auto* view = statistics->findChild<QChartView*>(QString::fromLatin1(chart));
  auto* tabs = statistics->findChild<QTabWidget*>(QStringLiteral("tabStatistics"));
  tabs->setCurrentWidget(view);
  QVERIFY(QTest::qWaitForWindowExposed(statistics));
  auto* series = qobject_cast<QHorizontalBarSeries*>(view->chart()->series().value(0));
  QVERIFY(series);
  // The middle of the bar, where a user clicks.
  const QPointF middle = view->chart()->mapToPosition(QPointF(1, index), series);
  const QPoint at = view->mapFromScene(view->chart()->mapToScene(middle));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
}

void TestFrmStatistics::aBarClickShowsItsSongs() {
  frmStatistics* statistics = openFilled();
  QVERIFY(statistics);
  // Genres largest first: Pop, Rock, Jazz.
  clickBar(statistics, "chartGenres", 1);
  QCOMPARE(gridIds(), (QList<int>{4, 5}));
  QVERIFY(m_errors.empty());
}

void TestFrmStatistics::aTableRowClickShowsItsSongs() {
  frmStatistics* statistics = openFilled();
  QVERIFY(statistics);
  auto* tabs = statistics->findChild<QTabWidget*>(QStringLiteral("tabStatistics"));
  tabs->setCurrentIndex(tabs->count() - 1);
  auto* albums = statistics->findChild<QTableWidget*>(QStringLiteral("tblAlbums"));
  QVERIFY(QTest::qWaitForWindowExposed(statistics));
  // Largest first: Gold and Tago Mago, two songs each, then the others.
  int row = -1;
  for (int r = 0; r < albums->rowCount(); ++r)
    if (albums->item(r, 0)->text() == QStringLiteral("Gold")) row = r;
  QVERIFY(row >= 0);
  const QRect cell = albums->visualItemRect(albums->item(row, 0));
  QTest::mouseClick(albums->viewport(), Qt::LeftButton, {}, cell.center());
  QCOMPARE(gridIds(), (QList<int>{1, 2}));
  QVERIFY(m_errors.empty());
}

void TestFrmStatistics::theCurrentViewKeepsClicksWithinIt() {
  // An SQL box view of the longer songs, without most columns.
  auto* sql = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSQL"));
  QVERIFY(sql);
  sql->setPlainText(QStringLiteral("SELECT ID, Title FROM music_shelf WHERE Duration >= 200"));
  QTest::mouseClick(m_window->findChild<QPushButton*>(QStringLiteral("cmdSQL")), Qt::LeftButton);
  QCOMPARE(gridIds(), (QList<int>{1, 2, 3, 4, 5}));
  frmStatistics* statistics = openFilled();
  QVERIFY(statistics);
  QCOMPARE(statistics->findChild<QLabel*>(QStringLiteral("lblSongs"))->text(), QStringLiteral("5"));
  // ABBA's row shows ABBA's songs of the view, not the short one beside it.
  auto* tabs = statistics->findChild<QTabWidget*>(QStringLiteral("tabStatistics"));
  tabs->setCurrentIndex(tabs->count() - 1);
  QVERIFY(QTest::qWaitForWindowExposed(statistics));
  auto* artists = statistics->findChild<QTableWidget*>(QStringLiteral("tblArtists"));
  QCOMPARE(artists->rowCount(), 2);
  QCOMPARE(artists->item(0, 0)->text(), QStringLiteral("ABBA"));
  QTest::mouseClick(artists->viewport(), Qt::LeftButton, {},
                    artists->visualItemRect(artists->item(0, 0)).center());
  QCOMPARE(gridIds(), (QList<int>{1, 2, 3}));

  // The whole catalogue, chosen at the top, counts again.
  QSignalSpy filled(statistics, &frmStatistics::filled);
  statistics->findChild<QComboBox*>(QStringLiteral("cboScope"))->setCurrentIndex(1);
  QVERIFY(filled.wait(kEventWaitMs));
  QCOMPARE(statistics->findChild<QLabel*>(QStringLiteral("lblSongs"))->text(), QStringLiteral("6"));
  QVERIFY(m_errors.empty());
}

void TestFrmStatistics::closingWhileReadingLeavesNothingRunning() {
  testsupport::Gate reached, release;
  auto* statistics =
      new frmStatistics(m_path.toStdString(), {}, {}, nullptr, m_window.get());
  statistics->reader()->setBeforeRead([&] {
    reached.open();
    release.wait();
  });
  statistics->show();
  statistics->refresh();
  QVERIFY(reached.wait());
  statistics->close();
  release.open();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCOMPARE(catalog::StatisticsReader::threadsAlive(), 0);
  QVERIFY(!m_window->findChild<frmStatistics*>());
}

void TestFrmStatistics::noAnswerAfterCancel() {
  testsupport::Gate reached, release, done;
  auto* statistics = new frmStatistics(m_path.toStdString(), {}, {}, nullptr, m_window.get());
  statistics->reader()->setBeforeRead([&] {
    reached.open();
    release.wait();
  });
  statistics->reader()->setAfterRead([&] { done.open(); });
  QSignalSpy filled(statistics, &frmStatistics::filled);
  QSignalSpy answers(statistics->reader(), &catalog::StatisticsReader::statisticsRead);
  statistics->show();
  statistics->refresh();
  QVERIFY(reached.wait());
  statistics->reader()->cancel();
  release.open();
  // The read has ended and sent whatever it was going to send.
  QVERIFY(done.wait());
  QApplication::sendPostedEvents();
  QApplication::processEvents();
  QCOMPARE(answers.count(), 0);
  QCOMPARE(filled.count(), 0);
  QVERIFY(!statistics->isFilled());
  delete statistics;
}

void TestFrmStatistics::namesThatAreNotUtf8KeepTheirBarsAndRows() {
  // Genres that all read as U+FFFD, one named like the bar of songs without a genre, and an
  // artist whose name is not UTF-8 (ID 7).
  testcatalogue::run(
      m_path.toStdString(),
      "INSERT INTO music_shelf (Title, Artist, Album, Genre, Filename, Duration)"
      " VALUES ('g', CAST(X'41FF' AS TEXT), 'One', CAST(X'FF' AS TEXT), '/m/7.mp3', 10),"
      " ('h', 'Bee', 'Two', CAST(X'FE' AS TEXT), '/m/8.mp3', 10),"
      " ('i', 'Bee', 'Two', CAST(X'C3' AS TEXT), '/m/9.mp3', 10),"
      " ('j', 'Bee', 'Two', '(no genre)', '/m/10.mp3', 10),"
      " ('k', 'Bee', 'Two', '', '/m/11.mp3', 10);");
  frmStatistics* statistics = openFilled();
  QVERIFY(statistics);
  auto* view = statistics->findChild<QChartView*>(QStringLiteral("chartGenres"));
  auto* series = qobject_cast<QAbstractBarSeries*>(view->chart()->series().value(0));
  QVERIFY(series);
  const auto axes = series->attachedAxes();
  QBarCategoryAxis* categories = nullptr;
  for (QAbstractAxis* axis : axes)
    if (auto* c = qobject_cast<QBarCategoryAxis*>(axis)) categories = c;
  QVERIFY(categories);
  // Pop, Rock, Jazz and the five above: a caption for every bar.
  QCOMPARE(series->barSets().value(0)->count(), 8);
  QCOMPARE(categories->count(), 8);
  const QStringList captions = categories->categories();
  QCOMPARE(QSet<QString>(captions.begin(), captions.end()).size(), 8);

  auto* tabs = statistics->findChild<QTabWidget*>(QStringLiteral("tabStatistics"));
  tabs->setCurrentIndex(tabs->count() - 1);
  QVERIFY(QTest::qWaitForWindowExposed(statistics));
  auto* artists = statistics->findChild<QTableWidget*>(QStringLiteral("tblArtists"));
  int row = -1;
  for (int r = 0; r < artists->rowCount(); ++r)
    if (artists->item(r, 0)->text() == QStringLiteral("A\uFFFD")) row = r;
  QVERIFY(row >= 0);
  QTest::mouseClick(artists->viewport(), Qt::LeftButton, {},
                    artists->visualItemRect(artists->item(row, 0)).center());
  QCOMPARE(gridIds(), (QList<int>{7}));
  QVERIFY(m_errors.empty());
}

void TestFrmStatistics::aClickWaitingForANewAnswerKeepsItsChart() {
  // A click whose songs are shown while a new answer comes in, as under the main window's error
  // box: the chart clicked on is still there when the click's handling returns to it.
  frmStatistics* statistics = nullptr;
  QPointer<QChart> clicked;
  bool aliveWhileShowing = false, refilled = false;
  statistics = new frmStatistics(
      m_path.toStdString(), {},
      [&](const std::string&) {
        clicked = statistics->findChild<QChartView*>(QStringLiteral("chartGenres"))->chart();
        QSignalSpy filled(statistics, &frmStatistics::filled);
        statistics->refresh();
        refilled = filled.wait(kEventWaitMs);
        aliveWhileShowing = !clicked.isNull();
      },
      nullptr, m_window.get());
  QSignalSpy filled(statistics, &frmStatistics::filled);
  statistics->show();
  statistics->refresh();
  QVERIFY(filled.wait(kEventWaitMs));
  clickBar(statistics, "chartGenres", 0);
  QVERIFY(refilled);
  QVERIFY(aliveWhileShowing);
  QVERIFY(statistics->findChild<QChartView*>(QStringLiteral("chartGenres"))->chart() != clicked);
  // Once the click has returned, the old chart goes.
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QVERIFY(clicked.isNull());
  delete statistics;
}

void TestFrmStatistics::aCatalogueThatCouldNotBeOpenedIsTriedAgain() {
  const std::string later = m_dir->path("later.mdb");
  auto* statistics = new frmStatistics(later, {}, {}, nullptr, m_window.get());
  auto* state = statistics->findChild<QLabel*>(QStringLiteral("lblState"));
  QSignalSpy answers(statistics->reader(), &catalog::StatisticsReader::statisticsRead);
  statistics->show();
  statistics->refresh();
  QVERIFY(answers.wait(kEventWaitMs));
  QCOMPARE(state->text(), QStringLiteral("The catalogue cannot be opened for statistics."));
  QVERIFY(!statistics->isFilled());
  testcatalogue::make(later, "INSERT INTO music_shelf (Title) VALUES ('a'), ('b');");
  QSignalSpy filled(statistics, &frmStatistics::filled);
  statistics->refresh();
  QVERIFY(filled.wait(kEventWaitMs));
  QCOMPARE(statistics->findChild<QLabel*>(QStringLiteral("lblSongs"))->text(), QStringLiteral("2"));
  delete statistics;
}

void TestFrmStatistics::itsSizeComesBack() {
  const QString file = QString::fromStdString(m_dir->path("settings.ini"));
  {
    auto settings = std::make_shared<QSettings>(file, QSettings::IniFormat);
    m_window->setSettings(settings);
    frmStatistics* statistics = openFilled();
    QVERIFY(statistics);
    statistics->resize(640, 480);
    statistics->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_window->close();
    m_window.reset();
  }
  m_window = windowtesting::quietWindow(m_path, m_errors);
  QVERIFY(m_window->Form_Load());
  m_window->setSettings(std::make_shared<QSettings>(file, QSettings::IniFormat));
  m_window->show();
  frmStatistics* statistics = openFilled();
  QVERIFY(statistics);
  QCOMPARE(statistics->size(), QSize(640, 480));
}

QTEST_MAIN(TestFrmStatistics)
#include "frmstatistics_test.moc"
