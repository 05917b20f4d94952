// The main window driven as a user would, on a catalogue in a temporary folder. Errors go to a
// recording display instead of a message box.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QUrl>

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/frmmain.h"
#include "windowtesting.h"
#include "catalog/boundgrid.h"
#include "catalog/datacontrol.h"
#include "catalog/recordsetmodel.h"
#include "engine/sqltext.h"
#include "support/childprocess.h"
#include "support/lockholder.h"
#include "support/smalldisk.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

using IdList = QList<int>;

// How long a test waits for the window's timers and queued events before it counts them as
// never coming. The waits end as soon as the event is there, so only a broken window takes
// this long; a busy machine must never reach it.
constexpr int kEventWaitMs = 60000;

class TestFrmMain : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void layout();
  void tabOrder();
  void menus();
  void gridFollowsTheWindow_data();
  void gridFollowsTheWindow();
  void startsWithoutRows();

  void showAll();
  void tableTypeAndSnapshot();
  void search_data();
  void search();
  void searchWithBothBoxesEmptyKeepsTheView();
  void searchRightAfterAView();
  void headerClicksToggle();
  void headerClicksOnId();
  void headerRuleUsesStoredState();

  void console_data();
  void console();
  void consoleStatementChangesAndReloads();
  void emptyConsoleDoesNothing();
  void consoleTakesTheTextExactly();

  void deleteCurrentRow();
  void deleteTakesTheHighlightedRow();
  void deleteReadsTheIdField();
  void deleteRefusals_data();
  void deleteRefusals();
  void deleteInSnapshot();
  void addOneSongTwice();
  void updateMp3Tags();
  void updateMp3TagsRefusals();

  void titleBoxFeedsTheCaption();
  void movingDiscardsTypedText();
  void readFailureIsShownAndTheWindowCarriesOn();
  void refusedCellEditIsShown();
  void openingAndClosingEditorsChangesNothing();
  void reopenUsesTheNewestHandle();
  void failedReopenKeepsTheOldHandle();
  void exitClosesTheConnection();
  void loadFailures_data();
  void loadFailures();
  void anotherProgramsLockIsWaitedForAndShown();
  void readOnlyCatalogueIsShownAndRefusesChanges();
  void columnsFitWhatTheyShowAndKeepTheUsersWidths();
  void endKeysGoToTheViewsLastRow();
  void consoleShowsEveryColumnOfAQuery();
  void addAndDeleteKeepAMeaningfulCurrentRow();
  void statusBarCountsTheViewsRows();
  void rowMenuPlaysOpensAndCopies();
  void boxesAndGridHaveAccessibleNames();
  void exportViewWritesEveryRowOfTheView();
  void currentRowAfterEditsAtTheEndOfALargeView();
  void rowMenuHandsTheDesktopTheFilesOwnBytes();

 private:
  std::unique_ptr<frmMain> makeWindow(const QString& path);
  void showWindow();
  IdList shownIds();
  QString source();
  void selectRow(int row);
  void clickHeading(int column);
  void runConsole(const QString& text);
  std::string scalar(const std::string& sql) { return testcatalogue::scalar(m_path, sql); }

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  std::vector<std::pair<int, QString>> m_errors;
  std::unique_ptr<frmMain> m_window;
};

// IDs 1 to 5; row 4 has no title.
void TestFrmMain::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  QVERIFY(std::filesystem::is_directory(m_dir->path()));
  m_path = m_dir->path("music_1.mdb");
  testcatalogue::make(m_path);
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (Title, Artist, Year) VALUES "
                     "('Yellow Submarine', 'The Beatles', '2'), ('Help', 'The Beatles', '1965'),"
                     "('Don''t Stop', 'Fleetwood Mac', '1977'), (NULL, 'The Beatles', NULL),"
                     "('Angie', 'The Rolling Stones', '1973')");
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

void TestFrmMain::showWindow() {
  m_window->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_window.get(), kEventWaitMs));
}

IdList TestFrmMain::shownIds() {
  return windowtesting::shownIds(m_window->DBGrid1->model());
}

QString TestFrmMain::source() {
  const auto rs = m_window->Data1->Recordset();
  return rs ? QString::fromStdString(rs->source()) : QString();
}

void TestFrmMain::selectRow(int row) {
  m_window->DBGrid1->setCurrentIndex(m_window->DBGrid1->model()->index(row, 1));
}

void TestFrmMain::clickHeading(int column) {
  QHeaderView* header = m_window->DBGrid1->horizontalHeader();
  m_window->DBGrid1->scrollTo(m_window->DBGrid1->model()->index(0, column));
  const QPoint centre(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                      header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
}

void TestFrmMain::runConsole(const QString& text) {
  m_window->txtSQL->setPlainText(text);
  QTest::mouseClick(m_window->cmdSQL, Qt::LeftButton);
}

void TestFrmMain::layout() {
  showWindow();
  QCOMPARE(m_window->windowTitle(), QStringLiteral("Quollsong Database"));
  QCOMPARE(m_window->centralWidget()->size(), QSize(798, 353));
  // Twips divided by 15.
  QCOMPARE(m_window->Command1->geometry(), QRect(704, 4, 91, 47));
  QCOMPARE(m_window->txtTitle->geometry(), QRect(158, 26, 193, 19));
  QCOMPARE(m_window->txtSQL->geometry(), QRect(474, 16, 221, 63));
  QCOMPARE(m_window->Label2[0]->geometry(), QRect(128, 30, 20, 13));
  QCOMPARE(m_window->Data1->geometry(), QRect(2, 84, 461, 27));
  QCOMPARE(m_window->cmdAddDir->geometry(), QRect(98, 54, 83, 27));
  // The first size notification fitted the grid: 11970 - 2 * 30 by 5295 - 1710 twips.
  QCOMPARE(m_window->DBGrid1->geometry(), QRect(2, 114, 794, 239));

  const std::vector<std::pair<const char*, const char*>> captions = {
      {"Command1", "Assign Table-type"},     {"cmdShowAll", "Show All Records"},
      {"Command3", "Assign Snapshot-type"},  {"cmdSQL", "Execute SQL statement"},
      {"cmdSearch", "Search"},               {"cmdAdd", "Add One Song"},
      {"cmdDelet", "Delete Selected Record"}, {"cmdUpdate", "Update Mp3 Tags"},
      {"cmdAddDir", "Add Directory"}};
  for (const auto& [name, caption] : captions) {
    auto* button = m_window->findChild<QPushButton*>(QString::fromLatin1(name));
    QVERIFY2(button, name);
    QCOMPARE(button->text(), QString::fromLatin1(caption));
    QVERIFY(!button->isDefault() && !button->autoDefault());
  }
  QCOMPARE(m_window->findChild<QLabel*>(QStringLiteral("Label1"))->text(),
           QStringLiteral("SQL statement:"));
  QCOMPARE(m_window->findChild<QLabel*>(QStringLiteral("Label2_0"))->text(), QStringLiteral("Title"));
  QCOMPARE(m_window->findChild<QLabel*>(QStringLiteral("Label2_1"))->text(),
           QStringLiteral("Artist"));
  for (const char* name : {"txtTitle", "txtArtist", "txtSQL", "DBGrid1", "Data1"})
    QVERIFY2(m_window->findChild<QWidget*>(QString::fromLatin1(name)), name);
  QVERIFY(m_window->txtTitle->text().isEmpty() && m_window->txtSQL->toPlainText().isEmpty());
}

void TestFrmMain::tabOrder() {
  showWindow();
  QApplication::setActiveWindow(m_window.get());
  QVERIFY(QTest::qWaitForWindowActive(m_window.get(), kEventWaitMs));
  m_window->Command1->setFocus();
  // The designed order, then the filter box in the menu bar.
  const QStringList expected = {"Command1", "cmdShowAll", "Command3",  "txtTitle", "txtArtist",
                                "DBGrid1",  "txtSQL",     "cmdSQL",    "cmdSearch", "cmdAdd",
                                "cmdDelet", "cmdUpdate",  "cmdAddDir", "txtFilter", "Command1"};
  QStringList seen;
  for (int i = 0; i < expected.size(); ++i) {
    seen << QApplication::focusWidget()->objectName();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  QCOMPARE(seen, expected);
}

void TestFrmMain::menus() {
  QCOMPARE(m_window->mnufile->title(), QStringLiteral("&File"));
  QCOMPARE(m_window->mnufile->objectName(), QStringLiteral("mnufile"));
  QCOMPARE(m_window->mnufileExit->text(), QStringLiteral("E&xit"));
  QCOMPARE(m_window->mnuDebug->title(), QStringLiteral("&Debug"));
  QCOMPARE(m_window->mnuTagReader->text(), QStringLiteral("MP3 tag reader"));
  QCOMPARE(m_window->mnuTagReader->objectName(), QStringLiteral("mnuTagReader"));
  const QList<QAction*> bar = m_window->menuBar()->actions();
  QCOMPARE(bar.size(), 4);
  QCOMPARE(bar[0]->menu(), m_window->mnufile);
  QCOMPARE(bar[1]->menu(), m_window->mnuDebug);
  QCOMPARE(bar[2]->menu(), m_window->mnuEdit);
  QCOMPARE(bar[3]->menu(), m_window->mnuCatalogue);
  QCOMPARE(m_window->mnuCatalogue->title(), QStringLiteral("&Catalogue"));
  QStringList entries;
  for (const QAction* entry : m_window->mnuCatalogue->actions()) entries << entry->text();
  QCOMPARE(entries, (QStringList{QStringLiteral("Rescan Directory\u2026"),
                                 QStringLiteral("Show Missing Files"),
                                 QStringLiteral("Show Duplicates"),
                                 QStringLiteral("Show Duplicate Songs"),
                                 QStringLiteral("Export View\u2026"),
                                 QStringLiteral("Rescan Last Directory"),
                                 QStringLiteral("Filter"),
                                 QStringLiteral("Statistics\u2026"),
                                 QStringLiteral("Check Files\u2026"),
                                 QStringLiteral("Show Problems")}));
  QCOMPARE(m_window->mnuShowDuplicateSongs->objectName(), QStringLiteral("mnuShowDuplicateSongs"));
  QCOMPARE(m_window->mnufile->actions().size(), 1);
  QCOMPARE(m_window->mnuDebug->actions().size(), 1);
  QCOMPARE(m_window->mnufileExit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
}

void TestFrmMain::gridFollowsTheWindow_data() {
  // Inner size in pixels and the grid's size after it. Inner widths of 75 twips (5 px) and
  // below leave the width; from 90 (6 px) it applies. Heights: 1725 twips (115 px) leaves it.
  QTest::addColumn<QSize>("inner");
  QTest::addColumn<QSize>("grid");
  QTest::newRow("start") << QSize(798, 353) << QSize(794, 239);
  QTest::newRow("width 15 twips, skipped") << QSize(5, 353) << QSize(794, 239);
  QTest::newRow("width 30 twips, applied") << QSize(6, 353) << QSize(2, 239);
  QTest::newRow("height 15 twips, skipped") << QSize(798, 115) << QSize(794, 239);
  QTest::newRow("height 30 twips, applied") << QSize(798, 116) << QSize(794, 2);
  QTest::newRow("both skipped") << QSize(5, 115) << QSize(794, 239);
  QTest::newRow("minimized") << QSize(0, 0) << QSize(794, 239);
  QTest::newRow("larger") << QSize(1000, 600) << QSize(996, 486);
}

void TestFrmMain::gridFollowsTheWindow() {
  QFETCH(QSize, inner);
  QFETCH(QSize, grid);
  showWindow();
  QWidget* client = m_window->centralWidget();
  client->resize(798, 353);
  client->resize(inner);
  QCOMPARE(m_window->DBGrid1->size(), grid);
  QCOMPARE(m_window->DBGrid1->pos(), QPoint(2, 114));
}

void TestFrmMain::startsWithoutRows() {
  showWindow();
  QCOMPARE(m_window->DBGrid1->model()->rowCount(), 0);
  QVERIFY(!m_window->Data1->Recordset());
  QCOMPARE(m_window->intSortCol, 0);
}

void TestFrmMain::showAll() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QCOMPARE(source(), QStringLiteral("Select * from music_shelf where Title like '*' ORDER BY ID"));
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5}));
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Yellow Submarine"));
  QCOMPARE(m_window->txtArtist->text(), QStringLiteral("The Beatles"));
  QVERIFY(m_errors.empty());
}

void TestFrmMain::tableTypeAndSnapshot() {
  auto* before = m_window->dbMusic.get();
  QTest::mouseClick(m_window->Command1, Qt::LeftButton);
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 4, 5}));  // the table itself: the untitled row too
  QVERIFY(m_window->dbMusic.get() != before);
  QVERIFY(m_window->DBGrid1->model()->flags(m_window->DBGrid1->model()->index(0, 1)) &
          Qt::ItemIsEditable);

  QTest::mouseClick(m_window->Command3, Qt::LeftButton);
  QCOMPARE(source(), QStringLiteral("Select * from music_shelf where Title like '*' "));
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5}));
  // The snapshot refuses edits in the grid.
  QAbstractItemModel* model = m_window->DBGrid1->model();
  QVERIFY(!(model->flags(model->index(0, 1)) & Qt::ItemIsEditable));
  QVERIFY(!model->setData(model->index(0, 1), QStringLiteral("x")));
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 1"), "Yellow Submarine");
  QVERIFY(m_errors.empty());
}

void TestFrmMain::search_data() {
  QTest::addColumn<QString>("title");
  QTest::addColumn<QString>("artist");
  QTest::addColumn<IdList>("ids");
  QTest::newRow("artist") << "" << "beatles" << IdList{1, 2, 4};
  QTest::newRow("title") << "e" << "" << IdList{1, 2, 5};
  QTest::newRow("both") << "help" << "beat" << IdList{2};
  QTest::newRow("apostrophe") << "Don't" << "" << IdList{3};
  QTest::newRow("pattern") << "?elp" << "" << IdList{2};
  QTest::newRow("no match") << "zzz" << "" << IdList{};
}

void TestFrmMain::search() {
  QFETCH(QString, title);
  QFETCH(QString, artist);
  QFETCH(IdList, ids);
  QTest::keyClicks(m_window->txtTitle, title);
  QTest::keyClicks(m_window->txtArtist, artist);
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  QVERIFY2(m_errors.empty(), qPrintable(m_errors.empty() ? QString() : m_errors[0].second));
  QCOMPARE(shownIds(), ids);
  QVERIFY(source().startsWith(QStringLiteral("SELECT * FROM music_shelf WHERE ")));
}

void TestFrmMain::searchWithBothBoxesEmptyKeepsTheView() {
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  QVERIFY(!m_window->Data1->Recordset());
  QTest::mouseClick(m_window->Command1, Qt::LeftButton);
  m_window->txtTitle->clear();
  m_window->txtArtist->clear();
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  QCOMPARE(source(), QStringLiteral("music_shelf"));
  QCOMPARE(shownIds().size(), 5);
}

void TestFrmMain::searchRightAfterAView() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  selectRow(1);  // Help, The Beatles
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  QCOMPARE(source(), QStringLiteral(
                         "SELECT * FROM music_shelf WHERE Artist like '*The Beatles*' AND Title "
                         "like '*Help*'"));
  QCOMPARE(shownIds(), (IdList{2}));
}

void TestFrmMain::headerClicksToggle() {
  showWindow();
  const QString base = QStringLiteral("Select * from music_shelf where Title like '*' ORDER BY ");
  clickHeading(1);
  QCOMPARE(source(), base + "Title");
  QCOMPARE(m_window->intSortCol, 1);
  QCOMPARE(shownIds(), (IdList{5, 3, 2, 1}));
  clickHeading(1);
  QCOMPARE(source(), base + "Title DESC;");
  QCOMPARE(m_window->intSortCol, -1);
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5}));
  clickHeading(1);
  QCOMPARE(source(), base + "Title");
  QCOMPARE(m_window->intSortCol, 1);
  // Another column starts ascending; back on Title too.
  clickHeading(1);
  clickHeading(2);
  QCOMPARE(source(), base + "Artist");
  clickHeading(1);
  QCOMPARE(source(), base + "Title");
  QVERIFY(m_errors.empty());
}

void TestFrmMain::headerClicksOnId() {
  showWindow();
  const QString base = QStringLiteral("Select * from music_shelf where Title like '*' ORDER BY ");
  clickHeading(0);
  QCOMPARE(source(), base + "ID DESC;");
  QCOMPARE(shownIds(), (IdList{5, 3, 2, 1}));
  clickHeading(0);
  QCOMPARE(source(), base + "ID");
  clickHeading(0);
  QCOMPARE(source(), base + "ID DESC;");
  clickHeading(4);
  clickHeading(0);
  QCOMPARE(source(), base + "ID");
  QCOMPARE(m_window->intSortCol, 0);
}

void TestFrmMain::headerRuleUsesStoredState() {
  showWindow();
  clickHeading(1);
  // A search in between: the sort starts from the whole table again, and the stored state
  // decides the direction.
  QTest::keyClicks(m_window->txtArtist, QStringLiteral("Mac"));
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  clickHeading(1);
  QVERIFY(source().endsWith(QStringLiteral("ORDER BY Title DESC;")));
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5}));
}

void TestFrmMain::console_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("error");  // 0: none
  QTest::addColumn<IdList>("ids");
  QTest::newRow("lower-case select") << "select * from music_shelf where Artist like '*mac*'" << 0
                                     << IdList{3};
  QTest::newRow("select over lines") << "SELECT *\nFROM music_shelf\nWHERE ID > 3" << 0
                                     << IdList{4, 5};
  // Run as a statement, which the engine refuses for a query.
  QTest::newRow("select after a blank") << " select * from music_shelf" << 3065 << IdList{};
  QTest::newRow("select after a line break") << "\nSELECT * FROM music_shelf" << 3065 << IdList{};
  QTest::newRow("garbage") << "blah blah" << -1 << IdList{};
  QTest::newRow("short") << "sel" << -1 << IdList{};
  QTest::newRow("bad select") << "SELECT * FROM nowhere" << -1 << IdList{};
  QTest::newRow("two statements") << "DELETE FROM music_shelf; DELETE FROM music_shelf" << 3142
                                  << IdList{};
}

void TestFrmMain::console() {
  QFETCH(QString, text);
  QFETCH(int, error);
  QFETCH(IdList, ids);
  runConsole(text);
  if (error == 0) {
    QVERIFY(m_errors.empty());
    QCOMPARE(shownIds(), ids);
    QCOMPARE(m_window->txtSQL->toPlainText(), text);
  } else {
    QCOMPARE(m_errors.size(), std::size_t{1});
    if (error > 0) QCOMPARE(m_errors[0].first, error);
    QCOMPARE(scalar("SELECT count(*) FROM music_shelf"), "5");
    // The window carries on.
    QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
    QCOMPARE(shownIds().size(), 4);
  }
}

void TestFrmMain::consoleStatementChangesAndReloads() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  selectRow(2);
  runConsole(QStringLiteral("UPDATE music_shelf SET Title = 'Aardvark' WHERE ID = 1"));
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 1"), "Aardvark");
  // Reloaded: the change shows and the first row is current.
  QCOMPARE(m_window->DBGrid1->model()->index(0, 1).data().toString(), QStringLiteral("Aardvark"));
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Aardvark"));
  // A statement before any view: carried out, nothing to reload.
  m_window = makeWindow(QString::fromStdString(m_path));
  QVERIFY(m_window->Form_Load());
  runConsole(QStringLiteral("DELETE FROM music_shelf WHERE ID = 5"));
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT count(*) FROM music_shelf"), "4");
}

void TestFrmMain::emptyConsoleDoesNothing() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  selectRow(2);
  runConsole(QString());
  QCOMPARE(m_window->Data1->currentRow(), 2);  // not reloaded
  QVERIFY(m_errors.empty());
}

void TestFrmMain::consoleTakesTheTextExactly() {
  // A pasted non-breaking space stays one; line breaks stay line breaks.
  runConsole(QStringLiteral("UPDATE music_shelf\nSET Title = 'Caf\u00e9\u00a0Tacvba'\nWHERE ID = 1"));
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT hex(Title) FROM music_shelf WHERE ID = 1"),
           std::string("436166C3A9C2A0546163766261"));
}

// A Ctrl+click that takes the current row out of the selection leaves one row highlighted: that
// one goes, as the current row does when nothing else is.
void TestFrmMain::deleteTakesTheHighlightedRow() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  showWindow();
  catalog::BoundGrid* grid = m_window->DBGrid1;
  const auto at = [&](int row) { return grid->visualRect(grid->model()->index(row, 1)).center(); };
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at(0));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier, at(2));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier, at(2));
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Delete);
  QVERIFY(m_errors.empty());
  QCOMPARE(shownIds(), (IdList{2, 3, 5}));
}

void TestFrmMain::deleteCurrentRow() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  selectRow(1);
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT count(*) FROM music_shelf WHERE ID = 2"), "0");
  QCOMPARE(shownIds(), (IdList{1, 3, 5}));
}

void TestFrmMain::deleteReadsTheIdField() {
  // The first field is Year, which is '2' in the row with ID 1: row 2 must survive.
  runConsole(QStringLiteral("SELECT Year, * FROM music_shelf ORDER BY ID"));
  QCOMPARE(m_window->Data1->currentRow(), 0);
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT group_concat(ID) FROM music_shelf"), "2,3,4,5");

  // Another table's ID comes first: the catalogue's own ID column still names the row.
  runConsole(QStringLiteral(
      "SELECT other.*, music_shelf.* FROM (SELECT 4 AS ID) AS other, music_shelf ORDER BY 2"));
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT group_concat(ID) FROM music_shelf"), "3,4,5");
}

void TestFrmMain::deleteRefusals_data() {
  QTest::addColumn<QString>("view");  // console text; empty: no view at all
  QTest::addColumn<int>("error");
  QTest::newRow("no record set") << "" << 3021;
  QTest::newRow("empty view") << "SELECT * FROM music_shelf WHERE 0" << 3021;
  QTest::newRow("no ID field") << "SELECT Title, Artist FROM music_shelf" << 3265;
  // A column merely named ID is not the catalogue's key.
  QTest::newRow("aliased ID") << "SELECT Year AS ID, Title FROM music_shelf" << 3265;
  QTest::newRow("NULL named ID") << "SELECT NULL AS ID, Title FROM music_shelf" << 3265;
  QTest::newRow("two catalogue rows per line")
      << "SELECT a.ID, b.ID FROM music_shelf a, music_shelf b WHERE a.ID < b.ID" << 3265;
  QTest::newRow("ID beyond 32 bits") << "SELECT * FROM music_shelf WHERE ID > 5" << 6;
}

void TestFrmMain::deleteRefusals() {
  QFETCH(QString, view);
  QFETCH(int, error);
  testcatalogue::run(m_path, "INSERT INTO music_shelf (ID, Title) VALUES (4294967296, 'far')");
  if (!view.isEmpty()) runConsole(view);
  QVERIFY(m_errors.empty());
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, error);
  QCOMPARE(scalar("SELECT count(*) FROM music_shelf"), "6");
}

void TestFrmMain::deleteInSnapshot() {
  QTest::mouseClick(m_window->Command3, Qt::LeftButton);
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(shownIds(), (IdList{2, 3, 5}));
}

void TestFrmMain::addOneSongTwice() {
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);  // before any view
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(testcatalogue::rows(m_path, "SELECT ID, Title, Artist FROM music_shelf WHERE ID > 5"),
           (std::vector<std::vector<std::string>>{{"6", "unknown", "unknown"},
                                                  {"7", "unknown", "unknown"}}));
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5, 6, 7}));  // the view was reloaded
}

void TestFrmMain::updateMp3Tags() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  selectRow(2);
  m_window->txtTitle->selectAll();
  QTest::keyClicks(m_window->txtTitle, QStringLiteral("Go Your Own Way"));
  m_window->txtArtist->selectAll();
  QTest::keyClicks(m_window->txtArtist, QStringLiteral("Fleetwood Mac's"));
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(testcatalogue::rows(m_path, "SELECT Title, Artist FROM music_shelf WHERE ID = 3"),
           (std::vector<std::vector<std::string>>{{"Go Your Own Way", "Fleetwood Mac's"}}));
  // Reloaded, with the row just saved still current.
  QCOMPARE(m_window->Data1->currentRow(), 2);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Go Your Own Way"));
  // Without typing: the row stays as it was.
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 3"), "Go Your Own Way");
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 1"), "Yellow Submarine");
}

void TestFrmMain::updateMp3TagsRefusals() {
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, 3021);
  QTest::mouseClick(m_window->Command3, Qt::LeftButton);
  QTest::keyClicks(m_window->txtTitle, QStringLiteral("x"));
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{2});
  QCOMPARE(m_errors[1].first, 3027);
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 1"), "Yellow Submarine");
}

void TestFrmMain::titleBoxFeedsTheCaption() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QCOMPARE(m_window->Data1->Caption(), QStringLiteral("Yellow Submarine"));
  QTest::keyClicks(m_window->txtTitle, QStringLiteral("!"));
  QCOMPARE(m_window->Data1->Caption(), QStringLiteral("Yellow Submarine!"));
  m_window->Data1->moveNext();
  QCOMPARE(m_window->Data1->Caption(), QStringLiteral("Help"));
}

void TestFrmMain::movingDiscardsTypedText() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QTest::keyClicks(m_window->txtTitle, QStringLiteral(" typed"));
  selectRow(1);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Help"));
  selectRow(0);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Yellow Submarine"));
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 1"), "Yellow Submarine");
}

void TestFrmMain::readFailureIsShownAndTheWindowCarriesOn() {
  std::vector<std::pair<std::string, std::string>> more(400, {"Filler", "Nobody"});
  testcatalogue::addSongs(m_path, more);
  showWindow();
  runConsole(QStringLiteral(
      "SELECT *, abs(CASE WHEN ID = 300 THEN -9223372036854775807 - 1 ELSE ID END) AS x "
      "FROM music_shelf ORDER BY ID"));
  QVERIFY(m_errors.empty());
  m_window->DBGrid1->scrollToBottom();  // the grid reads on, and row 300 fails
  QTRY_COMPARE_WITH_TIMEOUT(m_errors.size(), std::size_t{1}, kEventWaitMs);
  QVERIFY(m_errors[0].second.contains(QStringLiteral("overflow")));
  QCOMPARE(m_window->DBGrid1->model()->rowCount(), 299);
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QCOMPARE(shownIds().size(), 404);
}

void TestFrmMain::openingAndClosingEditorsChangesNothing() {
  // Longer than a line edit's usual limit, and bytes that are not UTF-8.
  testcatalogue::run(m_path,
                     "UPDATE music_shelf SET Comment = printf('%.*c', 40000, 'x'), "
                     "Filename = CAST(X'436166E9' AS TEXT) WHERE ID = 1");
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  for (int column : {7, 8}) {
    const QModelIndex index = m_window->DBGrid1->model()->index(0, column);
    m_window->DBGrid1->setCurrentIndex(index);
    m_window->DBGrid1->edit(index);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor);
    QTest::keyClick(editor, Qt::Key_Return);
  }
  // Saving without typing, too.
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT length(Comment) || ' ' || hex(Filename) FROM music_shelf WHERE ID = 1"),
           std::string("40000 436166E9"));
}

void TestFrmMain::refusedCellEditIsShown() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  testcatalogue::run(m_path, "DELETE FROM music_shelf WHERE ID = 2");
  QAbstractItemModel* model = m_window->DBGrid1->model();
  QVERIFY(!model->setData(model->index(1, 3), QStringLiteral("Album")));
  QTRY_COMPARE_WITH_TIMEOUT(m_errors.size(), std::size_t{1}, kEventWaitMs);
  QCOMPARE(m_errors[0].first, 3167);
  QCOMPARE(model->index(1, 3).data().toString(), QString());
}

void TestFrmMain::reopenUsesTheNewestHandle() {
  for (int i = 0; i < 3; ++i) {
    QTest::mouseClick(m_window->Command1, Qt::LeftButton);
    QTest::mouseClick(m_window->Command3, Qt::LeftButton);
  }
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT count(*) FROM music_shelf"), "6");
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5, 6}));
  QVERIFY(m_window->dbMusic->isOpen());
}

void TestFrmMain::failedReopenKeepsTheOldHandle() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  const auto before = m_window->dbMusic;
  const QString path = QString::fromStdString(m_path);
  QVERIFY(QFile::rename(path, path + ".away"));
  QTest::mouseClick(m_window->Command1, Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, 3024);
  QCOMPARE(m_window->dbMusic, before);
  QVERIFY(!QFile::exists(path));
  QVERIFY(QFile::rename(path + ".away", path));
  QTest::mouseClick(m_window->Command1, Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(shownIds().size(), 5);
}

void TestFrmMain::exitClosesTheConnection() {
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  const auto db = m_window->dbMusic;
  m_window->mnufileExit->trigger();
  QVERIFY(!m_window->isVisible());
  QVERIFY(!db->isOpen());
  QVERIFY(m_errors.empty());
}

void TestFrmMain::loadFailures_data() {
  QTest::addColumn<QString>("setup");  // SQL for a fresh file; "missing": no file; "text": not one
  QTest::addColumn<int>("error");
  QTest::newRow("missing") << "missing" << 3024;
  QTest::newRow("not a database") << "text" << 3343;
  QTest::newRow("no table") << "CREATE TABLE other (x)" << 1;
  QTest::newRow("missing column")
      << "CREATE TABLE music_shelf (ID INTEGER PRIMARY KEY, Title, Artist, Album, Year, Genre, "
         "Track, Comment, Filename, Duration, Bitrate)"
      << 1;
}

void TestFrmMain::loadFailures() {
  QFETCH(QString, setup);
  QFETCH(int, error);
  QVERIFY(QDir().mkpath(QFile::decodeName(m_dir->path("other").c_str())));
  const QString path = QFile::decodeName(m_dir->path("other/music_1.mdb").c_str());
  if (setup == QStringLiteral("text")) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("These are my songs, one a line.\n");
  } else if (setup != QStringLiteral("missing")) {
    testcatalogue::makePlain(path.toStdString(), setup.toStdString());
  }
  m_errors.clear();
  auto window = makeWindow(path);
  QVERIFY(!window->Form_Load());
  if (setup == QStringLiteral("missing")) QVERIFY(!QFile::exists(path));  // nothing created
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, error);
  QVERIFY2(m_errors[0].second.contains(path), qPrintable(m_errors[0].second));
}

// Another program holds the catalogue for a second: "Add One Song" waits for it, the status bar
// says so while it waits, and the row is added without an error.
void TestFrmMain::anotherProgramsLockIsWaitedForAndShown() {
  // The child must not inherit SQLite's record of the window's connection.
  m_window.reset();
  testsupport::LockHolder other(m_path);
  other.held();
  m_window = makeWindow(QString::fromStdString(m_path));
  QVERIFY(m_window->Form_Load());
  // The other program lets go once the status bar has said that the window waits for it.
  QStringList messages;
  connect(m_window->statusBar(), &QStatusBar::messageChanged, [&](const QString& text) {
    if (messages.isEmpty()) other.letGo();
    messages << text;
  });

  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QCOMPARE(other.wait(), 0);
  QVERIFY(m_errors.empty());
  QCOMPARE(scalar("SELECT count(*) FROM music_shelf WHERE Title = 'unknown'"), "1");
  QVERIFY2(!messages.isEmpty() && messages.first().startsWith("Waiting for another program"),
           qPrintable(messages.join(" | ")));
  QCOMPARE(m_window->statusBar()->currentMessage(), QString());
}

// A catalogue on a read-only medium opens for viewing; the status bar says it is read-only, and
// a change is refused with a message while the window carries on.
void TestFrmMain::readOnlyCatalogueIsShownAndRefusesChanges() {
  QVERIFY(m_window->findChild<QLabel*>("lblReadOnly")->isHidden());  // a writable one
  m_window.reset();
  testsupport::SmallDisk disk(m_dir->path() / "disc", 1 << 20);
  if (!disk.mounted()) QSKIP(disk.whyNot().c_str());
  const std::string path = disk.path("music_1.mdb");
  std::filesystem::copy_file(m_path, path);
  QVERIFY(disk.makeReadOnly());

  m_window = makeWindow(QString::fromStdString(path));
  QVERIFY(m_window->Form_Load());
  showWindow();
  auto* label = m_window->findChild<QLabel*>("lblReadOnly");
  QVERIFY(label && label->isVisible());
  QVERIFY2(label->toolTip().contains("read-only medium"), qPrintable(label->toolTip()));

  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5}));
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, SQLITE_READONLY);
  QVERIFY2(m_errors[0].second.startsWith("The catalogue is read-only"),
           qPrintable(m_errors[0].second));
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5}));
  m_window.reset();
}

QTEST_MAIN(TestFrmMain)
void TestFrmMain::columnsFitWhatTheyShowAndKeepTheUsersWidths() {
  const std::string longPath = "/music/" + std::string(300, 'x') + "/song.mp3";
  testcatalogue::run(m_path, "UPDATE music_shelf SET Filename = '" + longPath + "' WHERE ID = 1");
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  catalog::BoundGrid* grid = m_window->DBGrid1;
  const QFontMetrics metrics(grid->font());
  QVERIFY(grid->columnWidth(1) >= metrics.horizontalAdvance(QStringLiteral("Yellow Submarine")));
  QVERIFY(grid->columnWidth(0) < grid->columnWidth(1));
  QVERIFY(grid->columnWidth(0) >= 36);
  // The long path takes at most 40% of the grid, and shows whole as a tooltip.
  QCOMPARE(grid->columnWidth(8), static_cast<int>(grid->viewport()->width() * 0.4));
  QCOMPARE(grid->model()->index(0, 8).data(Qt::ToolTipRole).toString(),
           QString::fromStdString(longPath));

  // A wider window gives the long column more room.
  m_window->resize(m_window->width() + 400, m_window->height());
  QTRY_COMPARE_WITH_TIMEOUT(grid->columnWidth(8),
                            static_cast<int>(grid->viewport()->width() * 0.4), kEventWaitMs);

  grid->horizontalHeader()->resizeSection(1, 300);  // the user drags the Title column wider
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  m_window->txtTitle->setText(QStringLiteral("Help"));
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  QCOMPARE(grid->model()->rowCount(), 1);
  QCOMPARE(grid->columnWidth(1), 300);
  QVERIFY(m_errors.empty());
}

void TestFrmMain::endKeysGoToTheViewsLastRow() {
  testcatalogue::run(m_path, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < 1995) INSERT INTO music_shelf (Title) SELECT 'song ' || i "
                             "FROM n");
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QVERIFY(m_window->DBGrid1->model()->rowCount() < 2000);
  m_window->DBGrid1->setFocus();
  QTest::keyClick(m_window->DBGrid1, Qt::Key_End, Qt::ControlModifier);
  QCOMPARE(m_window->Data1->currentRow(), 1998);
  QCOMPARE(m_window->DBGrid1->currentIndex().row(), 1998);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("song 1995"));
  QTest::keyClick(m_window->DBGrid1, Qt::Key_Home, Qt::ControlModifier);
  QCOMPARE(m_window->Data1->currentRow(), 0);
  QTest::keyClick(m_window->DBGrid1, Qt::Key_End);
  QCOMPARE(m_window->Data1->currentRow(), 1998);
  QVERIFY(m_errors.empty());
}

void TestFrmMain::consoleShowsEveryColumnOfAQuery() {
  runConsole(QStringLiteral("SELECT Artist, count(*) AS Songs FROM music_shelf GROUP BY Artist"));
  QVERIFY(m_errors.empty());
  QAbstractItemModel* model = m_window->DBGrid1->model();
  QCOMPARE(model->columnCount(), 13);
  QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Artist"));
  QCOMPARE(model->headerData(12, Qt::Horizontal).toString(), QStringLiteral("Songs"));
  QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("The Beatles"));
  QCOMPARE(model->index(1, 12).data().toString(), QStringLiteral("3"));
  // Its heading is not the catalogue's to sort by: a click changes nothing.
  clickHeading(12);
  QVERIFY(m_errors.empty());
  QCOMPARE(model->columnCount(), 13);
  // A view of the catalogue's own columns has the twelve only.
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QCOMPARE(model->columnCount(), 12);
}

void TestFrmMain::addAndDeleteKeepAMeaningfulCurrentRow() {
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);  // IDs 1, 2, 3, 5
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 5, 6}));
  QCOMPARE(m_window->Data1->currentRow(), 4);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("unknown"));
  // What the user types next goes into the new row, not the first.
  m_window->txtTitle->setText(QStringLiteral("New Song"));
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 6"), "New Song");
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 1"), "Yellow Submarine");

  selectRow(1);  // Help, ID 2: the row after it takes its place
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QCOMPARE(m_window->Data1->currentRow(), 1);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Don't Stop"));
  selectRow(3);  // the last row: the one before it takes its place
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QCOMPARE(shownIds(), (IdList{1, 3, 5}));
  QCOMPARE(m_window->Data1->currentRow(), 2);
  QVERIFY(m_errors.empty());
}

void TestFrmMain::statusBarCountsTheViewsRows() {
  testcatalogue::run(m_path, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < 1996) INSERT INTO music_shelf (Title) SELECT 'song ' || i "
                             "FROM n");
  auto* count = m_window->findChild<QLabel*>(QStringLiteral("lblRowCount"));
  QVERIFY(count);
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  // Row 4 has no title, so Show All Records leaves it out.
  QTRY_COMPARE_WITH_TIMEOUT(count->text(), QStringLiteral("2,000 of 2,001 songs"), kEventWaitMs);
  QVERIFY(m_window->DBGrid1->model()->rowCount() < 2000);  // counted, not read
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(count->text(), QStringLiteral("2,001 of 2,002 songs"), kEventWaitMs);
  m_window->txtTitle->setText(QStringLiteral("Help"));
  m_window->txtArtist->clear();
  QTest::mouseClick(m_window->cmdSearch, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(count->text(), QStringLiteral("1 of 2,002 songs"), kEventWaitMs);
}

void TestFrmMain::rowMenuPlaysOpensAndCopies() {
  const QString file = QFile::decodeName(m_dir->path("it's here.mp3").c_str());
  QFile(file).open(QIODevice::WriteOnly);
  testcatalogue::run(m_path, "UPDATE music_shelf SET Filename = '" +
                                 engine::doubleApostrophes(file.toStdString()) +
                                 "' WHERE ID = 1; UPDATE music_shelf SET Filename = "
                                 "'/nowhere/gone.mp3' WHERE ID = 2");
  QList<QUrl> opened;
  m_window->setUrlOpener([&](const QUrl& url) {
    opened << url;
    return true;
  });
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  selectRow(2);
  // The menu key opens the current row's menu.
  QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(1, 1),
                        m_window->DBGrid1->viewport()->mapToGlobal(QPoint(1, 1)));
  QApplication::sendEvent(m_window->DBGrid1->viewport(), &key);
  QVERIFY(m_window->mnuRow->isVisible());
  QVERIFY(!m_window->mnuPlay->isEnabled());  // Don't Stop has no file
  m_window->mnuRow->hide();

  emit m_window->DBGrid1->rowMenuRequested(0, QPoint());
  QVERIFY(m_window->mnuPlay->isEnabled());
  m_window->mnuPlay->trigger();
  m_window->mnuOpenFolder->trigger();
  QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(file),
                                QUrl::fromLocalFile(QFile::decodeName(m_dir->path().c_str()))}));
  m_window->mnuCopyPath->trigger();
  QCOMPARE(QGuiApplication::clipboard()->text(), file);
  QVERIFY(m_errors.empty());
  m_window->mnuRow->hide();

  // A missing file is said to be missing; nothing is opened.
  emit m_window->DBGrid1->rowMenuRequested(1, QPoint());
  m_window->mnuPlay->trigger();
  QCOMPARE(opened.size(), 2);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, 53);
  QVERIFY(m_errors[0].second.contains(QStringLiteral("/nowhere/gone.mp3")));
  // Nothing in the menu touched the rows.
  QCOMPARE(m_window->Data1->currentRow(), 2);
  QCOMPARE(scalar("SELECT Title FROM music_shelf WHERE ID = 1"), "Yellow Submarine");
}

void TestFrmMain::boxesAndGridHaveAccessibleNames() {
  QCOMPARE(m_window->txtTitle->accessibleName(), QStringLiteral("Title"));
  QCOMPARE(m_window->txtArtist->accessibleName(), QStringLiteral("Artist"));
  QCOMPARE(m_window->txtSQL->accessibleName(), QStringLiteral("SQL statement"));
  QVERIFY(!m_window->DBGrid1->accessibleName().isEmpty());
}

void TestFrmMain::exportViewWritesEveryRowOfTheView() {
  testcatalogue::run(m_path, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < 995) INSERT INTO music_shelf (Title, Artist, Filename, "
                             "Duration) SELECT 'song ' || i, 'Band', '/m/' || i || '.mp3', i "
                             "FROM n");
  QStringList asked;
  std::optional<frmMain::SaveChoice> answer;
  m_window->setSaveDialog([&](QWidget*, const QString& caption, const QString& filters,
                              const frmMain::SaveChoice&) {
    asked << caption << filters;
    return answer;
  });
  const auto readFile = [](const QString& name) {
    QFile file(name);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
  };

  // No view yet: nothing to export, and no dialog.
  m_window->mnuExport->trigger();
  QCOMPARE(m_errors.size(), std::size_t{1});
  QVERIFY(asked.isEmpty());
  m_errors.clear();

  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QVERIFY(m_window->DBGrid1->model()->rowCount() < 999);
  const QString csv = QFile::decodeName(m_dir->path("songs").c_str());
  answer = frmMain::SaveChoice{csv, QStringLiteral("CSV (*.csv)")};
  m_window->mnuExport->trigger();
  QVERIFY(m_errors.empty());
  QCOMPARE(asked, (QStringList{QStringLiteral("Export View"),
                               QStringLiteral("CSV (*.csv);;M3U8 playlist (*.m3u8)")}));
  const QStringList lines = readFile(csv + QStringLiteral(".csv")).split(QStringLiteral("\r\n"),
                                                                           Qt::SkipEmptyParts);
  QCOMPARE(lines.size(), 1 + 999);  // every row of the view, not only those the grid read
  QCOMPARE(lines[0], QStringLiteral("ID,Title,Artist,Album,Year,Genre,Track,Comment,Filename,"
                                    "Duration,Bitrate,VBR"));
  QCOMPARE(lines[3], QStringLiteral("3,Don't Stop,Fleetwood Mac,,1977,,,,,,,"));

  const QString playlist = QFile::decodeName(m_dir->path("songs.m3u8").c_str());
  answer = frmMain::SaveChoice{playlist, QStringLiteral("M3U8 playlist (*.m3u8)")};
  m_window->mnuExport->trigger();
  QVERIFY(m_errors.empty());
  const QStringList entries = readFile(playlist).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  QCOMPARE(entries.size(), 1 + 2 * 995);  // the rows without a file are left out
  QCOMPARE(entries[0], QStringLiteral("#EXTM3U"));
  QCOMPARE(entries[1], QStringLiteral("#EXTINF:1,Band - song 1"));
  QCOMPARE(entries[2], QStringLiteral("/m/1.mp3"));

  // "songs" chosen again as a playlist: "songs.m3u8" is there, and is replaced only after Yes.
  QStringList questions;
  bool replace = false;
  m_window->setQuestion([&](const QString& text) {
    questions << text;
    return replace;
  });
  answer = frmMain::SaveChoice{csv, QStringLiteral("M3U8 playlist (*.m3u8)")};
  QFile(playlist).open(QIODevice::WriteOnly | QIODevice::Truncate);
  m_window->mnuExport->trigger();
  QCOMPARE(questions.size(), 1);
  QVERIFY(questions[0].endsWith(QStringLiteral("songs.m3u8 already exists. Replace it?")));
  QCOMPARE(QFileInfo(playlist).size(), 0);
  replace = true;
  m_window->mnuExport->trigger();
  QVERIFY(QFileInfo(playlist).size() > 0);
  QVERIFY(m_errors.empty());
}

void TestFrmMain::currentRowAfterEditsAtTheEndOfALargeView() {
  testcatalogue::run(m_path, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < 1995) INSERT INTO music_shelf (Title) SELECT 'song ' || i "
                             "FROM n");
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  m_window->DBGrid1->setFocus();
  QTest::keyClick(m_window->DBGrid1, Qt::Key_End, Qt::ControlModifier);
  QCOMPARE(m_window->Data1->currentRow(), 1998);
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);  // the last row: the one before follows
  QCOMPARE(m_window->Data1->currentRow(), 1997);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("song 1994"));
  m_window->txtTitle->setText(QStringLiteral("renamed"));
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QCOMPARE(m_window->Data1->currentRow(), 1997);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("renamed"));

  // A row a trigger kept out: no other row is taken for it.
  testcatalogue::run(m_path, "CREATE TRIGGER no_more BEFORE INSERT ON music_shelf BEGIN "
                             "SELECT RAISE(IGNORE); END");
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QCOMPARE(m_window->Data1->currentRow(), 0);
  QTest::qWait(0);  // errors from the grid arrive through the event queue
  QVERIFY(m_errors.empty());
}

void TestFrmMain::rowMenuHandsTheDesktopTheFilesOwnBytes() {
  const std::string folder = m_dir->path("caf\xE9");
  std::filesystem::create_directory(folder);
  testsupport::writeFile(folder + "/\xFF.mp3", "x");
  testcatalogue::run(m_path, "UPDATE music_shelf SET Filename = '" + m_dir->path("caf") +
                                 "\xEF\xBF\xBD/\xEF\xBF\xBD.mp3' WHERE ID = 1");
  QList<QUrl> opened;
  m_window->setUrlOpener([&](const QUrl& url) {
    opened << url;
    return true;
  });
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  emit m_window->DBGrid1->rowMenuRequested(0, QPoint());
  m_window->mnuPlay->trigger();
  m_window->mnuOpenFolder->trigger();
  QVERIFY(m_errors.empty());
  QCOMPARE(opened.size(), 2);
  QVERIFY(opened[0].toEncoded().endsWith("caf%E9/%FF.mp3"));
  QVERIFY(opened[1].toEncoded().endsWith("caf%E9"));
  m_window->mnuRow->hide();
}

#include "frmmain_test.moc"
