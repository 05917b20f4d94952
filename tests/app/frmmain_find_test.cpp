// Finding songs through the real main window: the filter box, sorting within it, and a status
// bar that counts what the view lists.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/frmmain.h"
#include "windowtesting.h"
#include "app/viewcounter.h"
#include "catalog/boundgrid.h"
#include "catalog/datacontrol.h"
#include "support/gate.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

using IdList = QList<int>;

// Waits end as soon as what they wait for is there; only a broken window takes this long.
constexpr int kEventWaitMs = 60000;

class TestFrmMain : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void filterBoxStandsAside();
  void typingFilters();
  void filterTermsAreRead_data();
  void filterTermsAreRead();
  void unreadableTermsTurnTheBoxRed();
  void escapeAndShowAllLeaveTheFilter();
  void headingSortKeepsTheFilter();
  void filterViewIsEdited();
  void filterViewIsExported();
  void statusBarTellsTheTruth();
  void counterAnswersOnlyTheNewestRequest();

 private:
  std::unique_ptr<frmMain> makeWindow(const QString& path);
  void typeFilter(const QString& text);
  IdList shownIds();
  QString countText();

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  std::vector<std::pair<int, QString>> m_errors;
  std::unique_ptr<frmMain> m_window;
};

// IDs 1 to 6; row 4 has no title.
void TestFrmMain::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  QVERIFY(std::filesystem::is_directory(m_dir->path()));
  m_path = m_dir->path("music_1.mdb");
  testcatalogue::make(m_path);
  testcatalogue::run(
      m_path,
      "INSERT INTO music_shelf (Title, Artist, Album, Year, Genre, Filename, Duration, Bitrate, "
      "VBR) VALUES "
      "('Yellow Submarine', 'The Beatles', 'Revolver', '1966', 'Pop', '/m/b/ys.mp3', 160, 128, "
      "'False'),"
      "('Help', 'The Beatles', 'Help!', '1965', 'Pop', '/m/b/help.mp3', 140, 192, 'False'),"
      "('Don''t Stop', 'Fleetwood Mac', 'Rumours', '1977', 'Rock', '/m/f/ds.mp3', 193, 320, "
      "'True'),"
      "(NULL, 'The Beatles', NULL, NULL, NULL, NULL, NULL, NULL, NULL),"
      "('Angie', 'The Rolling Stones', 'Goats Head Soup', '1973', 'Rock', '/m/s/angie.mp3', "
      "272, 128, 'False'),"
      "('Café del Mar', 'Energy 52', NULL, '1993', 'Trance', '/m/e/cafe.mp3', 3725, 256, 'True')");
  m_errors.clear();
  m_window = makeWindow(QString::fromStdString(m_path));
  QVERIFY(m_window->Form_Load());
}

void TestFrmMain::cleanup() {
  m_window.reset();
  m_dir.reset();
}

std::unique_ptr<frmMain> TestFrmMain::makeWindow(const QString& path) {
  return windowtesting::quietWindow(path, m_errors);
}

// Types as a user does, then waits for the pause after typing to pass and the view to follow.
void TestFrmMain::typeFilter(const QString& text) {
  m_window->txtFilter->selectAll();
  QTest::keyClick(m_window->txtFilter, Qt::Key_Backspace);
  QTest::keyClicks(m_window->txtFilter, text);
  QTRY_VERIFY_WITH_TIMEOUT(!m_window->m_filterTimer->isActive(), kEventWaitMs);
}

IdList TestFrmMain::shownIds() {
  return windowtesting::shownIds(m_window->DBGrid1->model());
}

QString TestFrmMain::countText() { return m_window->lblRowCount->text(); }

void TestFrmMain::filterBoxStandsAside() {
  m_window->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_window.get(), kEventWaitMs));
  QLineEdit* box = m_window->txtFilter;
  QCOMPARE(box->objectName(), QStringLiteral("txtFilter"));
  QCOMPARE(box->accessibleName(), QStringLiteral("Filter"));
  // In the menu bar, not among the window's controls, which keep their places and sizes.
  QCOMPARE(m_window->menuBar()->cornerWidget(Qt::TopRightCorner), box);
  QCOMPARE(m_window->centralWidget()->size(), QSize(798, 353));
  QCOMPARE(m_window->DBGrid1->geometry(), QRect(2, 114, 794, 239));
  // Ctrl+F reaches it from anywhere in the window.
  QApplication::setActiveWindow(m_window.get());
  QVERIFY(QTest::qWaitForWindowActive(m_window.get(), kEventWaitMs));
  m_window->txtSQL->setFocus();
  QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
  QCOMPARE(QApplication::focusWidget(), box);
}

void TestFrmMain::typingFilters() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  typeFilter(QStringLiteral("beatles"));
  // Every row of the catalogue that holds the word, also the one without a title.
  QCOMPARE(shownIds(), (IdList{1, 2, 4}));
  QCOMPARE(m_window->txtFilter->text(), QStringLiteral("beatles"));
  typeFilter(QStringLiteral("beatles help"));
  QCOMPARE(shownIds(), (IdList{2}));

  // A word too short for the index waits for a longer pause than one the index finds, so that
  // typing on never waits for a search through every row.
  m_window->txtFilter->clear();
  m_window->m_lastFilterMs = 0;  // however long the last one took on a busy machine
  QTest::keyClicks(m_window->txtFilter, QStringLiteral("he"));
  const int shortWord = m_window->m_filterTimer->interval();
  QTest::keyClicks(m_window->txtFilter, QStringLiteral("l"));
  QVERIFY2(m_window->m_filterTimer->interval() < shortWord,
           qPrintable(QStringLiteral("%1 ms for a short word").arg(shortWord)));
  QTRY_VERIFY_WITH_TIMEOUT(!m_window->m_filterTimer->isActive(), kEventWaitMs);
  QCOMPARE(shownIds(), (IdList{2}));
  QVERIFY(m_errors.empty());
}

void TestFrmMain::filterTermsAreRead_data() {
  QTest::addColumn<QString>("filter");
  QTest::addColumn<IdList>("ids");
  QTest::newRow("accents ignored") << "cafe" << IdList{6};
  QTest::newRow("case ignored") << "CAFÉ" << IdList{6};
  QTest::newRow("substring") << "tles" << IdList{1, 2, 4};
  QTest::newRow("phrase") << "\"rolling stones\"" << IdList{5};
  QTest::newRow("exclusion") << "beatles -help" << IdList{1, 4};
  QTest::newRow("field") << "artist:mac" << IdList{3};
  QTest::newRow("path") << "path:/m/b/" << IdList{1, 2};
  QTest::newRow("number below") << "bitrate<192" << IdList{1, 5};
  QTest::newRow("length") << "duration>=4:00" << IdList{5, 6};
  QTest::newRow("year range") << "year:1970..1979" << IdList{3, 5};
  QTest::newRow("vbr") << "vbr:yes" << IdList{3, 6};
  QTest::newRow("missing") << "missing:yes" << IdList{1, 2, 3, 5, 6};
  QTest::newRow("apostrophe") << "don't" << IdList{3};
  QTest::newRow("no such field: text") << "del:mar" << IdList{};
}

void TestFrmMain::filterTermsAreRead() {
  QFETCH(QString, filter);
  QFETCH(IdList, ids);
  typeFilter(filter);
  QCOMPARE(shownIds(), ids);
  QVERIFY(m_errors.empty());
}

void TestFrmMain::unreadableTermsTurnTheBoxRed() {
  typeFilter(QStringLiteral("beatles"));
  const IdList before = shownIds();
  typeFilter(QStringLiteral("bitrate<abc"));
  // The grid keeps what it lists; the box says why.
  QCOMPARE(shownIds(), before);
  QVERIFY(!m_window->txtFilter->styleSheet().isEmpty());
  QVERIFY(m_window->txtFilter->toolTip().contains(QStringLiteral("bitrate<abc")));
  QVERIFY(m_errors.empty());
  typeFilter(QStringLiteral("help"));
  QVERIFY(m_window->txtFilter->styleSheet().isEmpty());
  QVERIFY(m_window->txtFilter->toolTip().isEmpty());
  QCOMPARE(shownIds(), (IdList{2}));
}

void TestFrmMain::escapeAndShowAllLeaveTheFilter() {
  // Before any view: emptied, the filter leaves the grid as empty as it found it.
  typeFilter(QStringLiteral("rock"));
  QCOMPARE(shownIds(), (IdList{3, 5}));
  QTest::keyClick(m_window->txtFilter, Qt::Key_Escape);
  QVERIFY(!m_window->Data1->Recordset());
  QCOMPARE(m_window->DBGrid1->model()->rowCount(), 0);

  m_window->txtTitle->setText(QStringLiteral("e"));
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  const QString search = QString::fromStdString(m_window->Data1->Recordset()->source());
  typeFilter(QStringLiteral("rock"));
  QCOMPARE(shownIds(), (IdList{3, 5}));
  // Escape empties the box and brings back the view the filter started from.
  QTest::keyClick(m_window->txtFilter, Qt::Key_Escape);
  QVERIFY(m_window->txtFilter->text().isEmpty());
  QCOMPARE(QString::fromStdString(m_window->Data1->Recordset()->source()), search);

  typeFilter(QStringLiteral("rock"));
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QVERIFY(m_window->txtFilter->text().isEmpty());
  QCOMPARE(QString::fromStdString(m_window->Data1->Recordset()->source()),
           QStringLiteral("Select * from music_shelf where Title like '*' ORDER BY ID"));
}

void TestFrmMain::headingSortKeepsTheFilter() {
  QHeaderView* headings = m_window->DBGrid1->horizontalHeader();
  typeFilter(QStringLiteral("beatles"));
  emit m_window->DBGrid1->headClick(1);     // Title
  QCOMPARE(shownIds(), (IdList{4, 2, 1}));  // no title first
  QVERIFY(headings->isSortIndicatorShown());
  QCOMPARE(headings->sortIndicatorSection(), 1);
  QCOMPARE(headings->sortIndicatorOrder(), Qt::AscendingOrder);
  emit m_window->DBGrid1->headClick(1);
  QCOMPARE(shownIds(), (IdList{1, 2, 4}));
  QCOMPARE(headings->sortIndicatorOrder(), Qt::DescendingOrder);
  // Typing on keeps the order.
  typeFilter(QStringLiteral("the"));
  QCOMPARE(shownIds(), (IdList{1, 2, 5, 4}));
  QCOMPARE(m_window->txtFilter->text(), QStringLiteral("the"));

  // A designed view sorts as it always has, and its arrow shows too.
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QVERIFY(!headings->isSortIndicatorShown());
  emit m_window->DBGrid1->headClick(2);  // Artist
  QCOMPARE(QString::fromStdString(m_window->Data1->Recordset()->source()),
           QStringLiteral("Select * from music_shelf where Title like '*' ORDER BY Artist"));
  QVERIFY(headings->isSortIndicatorShown());
  QCOMPARE(headings->sortIndicatorSection(), 2);
  QVERIFY(m_errors.empty());
}

void TestFrmMain::filterViewIsEdited() {
  typeFilter(QStringLiteral("angie"));
  QCOMPARE(shownIds(), (IdList{5}));
  QAbstractItemModel* model = m_window->DBGrid1->model();
  QVERIFY(model->flags(model->index(0, 3)) & Qt::ItemIsEditable);
  QVERIFY(model->setData(model->index(0, 3), QStringLiteral("Goats Head Soup (2009)")));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Album FROM music_shelf WHERE ID = 5"),
           "Goats Head Soup (2009)");
  // The edit reaches the filter at once, also before the index has caught up with it.
  typeFilter(QStringLiteral("album:2009"));
  QCOMPARE(shownIds(), (IdList{5}));
  QVERIFY(m_errors.empty());
}

void TestFrmMain::filterViewIsExported() {
  const QString file = QFile::decodeName(m_dir->path("rock.csv").c_str());
  m_window->setSaveDialog(
      [&](QWidget*, const QString&, const QString&, const frmMain::SaveChoice&) {
        return std::optional<frmMain::SaveChoice>(frmMain::SaveChoice{file, QString()});
      });
  typeFilter(QStringLiteral("genre:rock"));
  m_window->mnuExport->trigger();
  QFile csv(file);
  QVERIFY(csv.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = csv.readAll().trimmed().split('\n');
  QCOMPARE(lines.size(), 3);  // the heading and the two rows
  QVERIFY(lines[1].contains("Don't Stop") && lines[2].contains("Angie"));
}

void TestFrmMain::statusBarTellsTheTruth() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  // Every titled song of six, and their lengths added up: 160+140+193+272+3725 s.
  QTRY_COMPARE_WITH_TIMEOUT(countText(), QStringLiteral("5 of 6 songs \u00b7 1:14:50"),
                            kEventWaitMs);
  typeFilter(QStringLiteral("rock"));
  QTRY_COMPARE_WITH_TIMEOUT(countText(), QStringLiteral("2 of 6 songs \u00b7 7:45"), kEventWaitMs);
  // Not one row per song: rows.
  m_window->txtSQL->setPlainText(
      QStringLiteral("SELECT Artist, count(*) AS Songs FROM music_shelf GROUP BY Artist"));
  QTest::mouseClick(m_window->cmdSQL, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(countText(), QStringLiteral("4 rows"), kEventWaitMs);
  // A view the counting thread cannot run (its connection has no temporary tables) is counted
  // by the window itself.
  m_window->txtSQL->setPlainText(QStringLiteral(
      "CREATE TEMP TABLE picks AS SELECT * FROM music_shelf WHERE Genre = 'Pop'"));
  QTest::mouseClick(m_window->cmdSQL, Qt::LeftButton);
  m_window->txtSQL->setPlainText(QStringLiteral("SELECT * FROM picks"));
  QTest::mouseClick(m_window->cmdSQL, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(countText(), QStringLiteral("2 rows"), kEventWaitMs);
  // A statement that removes rows is counted at once.
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  m_window->txtSQL->setPlainText(QStringLiteral("DELETE FROM music_shelf WHERE Genre = 'Rock'"));
  QTest::mouseClick(m_window->cmdSQL, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(countText(), QStringLiteral("3 of 4 songs \u00b7 1:07:05"),
                            kEventWaitMs);
  QVERIFY(m_errors.empty());
}

// A count in progress is given up for a newer one, and only the newer one's answer comes.
void TestFrmMain::counterAnswersOnlyTheNewestRequest() {
  ViewCounter counter(m_path);
  QVERIFY(counter.available());
  testsupport::Gate reached;
  testsupport::Gate release;
  std::atomic<int> calls = 0;
  counter.setBeforeCount([&] {
    if (calls++ == 0) {
      reached.open();
      release.wait();
    }
  });
  QSignalSpy answers(&counter, &ViewCounter::counted);
  counter.count({"SELECT * FROM music_shelf", false});
  QVERIFY(reached.wait());
  const std::uint64_t newest = counter.count({"SELECT * FROM music_shelf WHERE ID < 3", true});
  release.open();
  QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, kEventWaitMs);
  const auto result = answers.first().first().value<ViewCounter::Result>();
  QCOMPARE(result.generation, newest);
  QCOMPARE(result.viewRows, std::optional<std::int64_t>(2));
  QCOMPARE(result.seconds, std::optional<std::int64_t>(300));
  QCOMPARE(result.songs, std::optional<std::int64_t>(6));
  // A view that ends as a sorted view does, or with a comment, is counted too.
  counter.setBeforeCount({});
  counter.count({"SELECT * FROM music_shelf ORDER BY Title DESC; -- mine", false});
  QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 2, kEventWaitMs);
  QCOMPARE(answers.last().first().value<ViewCounter::Result>().viewRows,
           std::optional<std::int64_t>(6));
}

QTEST_MAIN(TestFrmMain)
#include "frmmain_find_test.moc"
