// "Add Directory", the rescan, the catalogue's views and the tag reader menu on the real main
// window: a fake MP3 component and a fake folder picker, a catalogue and a music folder in a
// temporary folder. The import runner itself is tested on its own; here, what the window makes
// of it.
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/frmmain.h"
#include "app/importrunner.h"
#include "engine/errors.h"
#include "importfakes.h"
#include "support/smalldisk.h"
#include "support/tempdir.h"
#include "testcatalogue.h"
#include "ui/question.h"

using importfakes::hold;
using importfakes::letGo;

class TestFrmMainImport : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void importsEveryFileOnce();
  void cancelChangesNothing();
  void noSecondImportWhileOneRuns();
  void closingStopsTheImportThenCloses();
  void refusedStatementStopsTheImportWithOneMessage();
  void statusBarShowsProgressThenWhatWasDone();
  void cancelStopsBeforeTheNextRow();
  void statusBarLeavesTheInnerAreaAsItWas();
  void progressCountsOnlyTheImportThatRuns();
  void tagReaderIsOneWindowThatOutlivesTheMainWindow();
  void rescanStoresNewFilesAndAsksBeforeRemovingVanishedOnes();
  void rescanThatIsCancelledAsksNothing();
  void rescanKeepsAnUnpluggedDisksSongsUnlessToldApart();
  void theRealQuestionAnswersNoToEnter();
  void missingFilesAndDuplicatesAreViews();
  void duplicateSongsStandTogether();
  void olderCatalogueGainsTheCompanionTableOnce();
  void readOnlyOlderCatalogueHasNoDuplicateSongs();

 private:
  std::unique_ptr<frmMain> makeWindow(const std::string& path);
  // Shows a new window on the catalogue at `path` in place of the one before.
  void openWindow(const std::string& path);
  void clickAddDirectory() { QTest::mouseClick(button("cmdAddDir"), Qt::LeftButton); }
  QPushButton* button(const char* name) {
    return m_window->findChild<QPushButton*>(QString::fromLatin1(name));
  }
  int rowsStored() { return std::stoi(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf")); }
  // Runs `action` once, from the window's events, as soon as `rows` rows are stored.
  void whenRowsStored(int rows, std::function<void()> action);
  QString statusText() {
    return m_window->findChild<QLabel*>(QStringLiteral("lblImportStatus"))->text();
  }
  QString noticeText() {
    return m_window->findChild<QLabel*>(QStringLiteral("lblNotice"))->text();
  }

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  QString m_music;
  std::optional<QString> m_pick;
  int m_picks = 0;
  std::vector<std::pair<int, QString>> m_errors;
  QStringList m_questions;
  bool m_answer = false;
  std::unique_ptr<frmMain> m_window;
};

void TestFrmMainImport::init() {
  importfakes::resetHold();
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = m_dir->path("music_1.mdb");
  importfakes::makeCatalogue(m_path);
  m_music = QFile::decodeName(m_dir->path("Music").c_str());
  m_pick = m_music;
  m_picks = 0;
  m_errors.clear();
  m_questions.clear();
  m_answer = false;
  openWindow(m_path);
}

void TestFrmMainImport::cleanup() {
  letGo();  // a failed test may have left a file held
  m_window.reset();
  QVERIFY2(importfakes::endHold(), "a held file was never let go");
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String("frmTagReader")) delete w;
  m_dir.reset();
}

std::unique_ptr<frmMain> TestFrmMainImport::makeWindow(const std::string& path) {
  return std::make_unique<frmMain>(
      QString::fromStdString(path),
      [this](int number, const QString& text) { m_errors.emplace_back(number, text); },
      [this](QWidget*, const QString& prompt, const QString&) {
        ++m_picks;
        [&] { QCOMPARE(prompt, QStringLiteral("select a music directory")); }();
        return m_pick;
      },
      importfakes::namedSongs());
}

void TestFrmMainImport::openWindow(const std::string& path) {
  m_window.reset();
  m_path = path;
  m_window = makeWindow(path);
  m_window->setQuestion([this](const QString& text) {
    m_questions << text;
    return m_answer;
  });
  QVERIFY(m_window->Form_Load());
  m_window->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_window.get(), 60000));
}

void TestFrmMainImport::whenRowsStored(int rows, std::function<void()> action) {
  auto* poll = new QTimer(m_window.get());
  connect(poll, &QTimer::timeout, poll, [this, poll, rows, action] {
    if (rowsStored() < rows) return;
    poll->stop();
    poll->deleteLater();
    action();
  });
  poll->start(0);
}

void TestFrmMainImport::importsEveryFileOnce() {
  importfakes::makeMusic(m_music, 4);
  testcatalogue::run(m_path, "INSERT INTO music_shelf (Title) VALUES ('before')");
  QTest::mouseClick(button("cmdShowAll"), Qt::LeftButton);
  clickAddDirectory();
  QVERIFY(m_errors.empty());
  const auto rows = testcatalogue::rows(
      m_path, "SELECT Title, Artist, Genre, Track, Filename, Duration, Bitrate, VBR FROM "
              "music_shelf WHERE ID > 1 ORDER BY ID");
  QCOMPARE(rows.size(), std::size_t{4});
  // The folder's own files first, then its sub-folder's.
  QCOMPARE(rows[0][0], std::string("song 00.mp3"));
  QCOMPARE(rows[1][0], std::string("song 02.mp3"));
  QCOMPARE(rows[2][0], std::string("song 01.mp3"));
  QCOMPARE(rows[0][4], (m_music + QStringLiteral("/song 00.mp3")).toStdString());
  QCOMPARE(rows[0][5], std::string("60"));
  QCOMPARE(rows[0][7], std::string("False"));
  // The view is not reloaded by the import.
  QCOMPARE(m_window->findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))->model()->rowCount(),
           1);
}

void TestFrmMainImport::cancelChangesNothing() {
  importfakes::makeMusic(m_music, 2);
  m_pick.reset();
  clickAddDirectory();
  QCOMPARE(m_picks, 1);
  QCOMPARE(rowsStored(), 0);
  QVERIFY(m_errors.empty());
}

void TestFrmMainImport::noSecondImportWhileOneRuns() {
  importfakes::makeMusic(m_music, 6);
  // Clicked again from within the first import's yields.
  QTimer::singleShot(0, this, [this] { clickAddDirectory(); });
  clickAddDirectory();
  QCOMPARE(m_picks, 1);
  QCOMPARE(rowsStored(), 6);
}

void TestFrmMainImport::closingStopsTheImportThenCloses() {
  importfakes::makeMusic(m_music, 40);
  hold("song 10.mp3");
  // The user closes the window once three songs are in.
  int rowsAtClose = -1;
  whenRowsStored(3, [&] {
    rowsAtClose = rowsStored();
    m_window->close();
    letGo();
  });
  clickAddDirectory();
  // The import stopped at its next yield, the window closed after it, and the rows so far stay.
  QVERIFY(!m_window->isVisible());
  QVERIFY(rowsAtClose >= 3 && rowsAtClose <= 5);
  QCOMPARE(rowsStored(), rowsAtClose);
  QVERIFY(rowsStored() < 40);
  QVERIFY(m_errors.empty());
}

void TestFrmMainImport::refusedStatementStopsTheImportWithOneMessage() {
  importfakes::makeMusic(m_music, 10);
  // Once two songs are in, another program renames the table; the fourth file's read waits for
  // that, so the rename surely comes while rows are still to be written.
  hold("song 06.mp3");
  whenRowsStored(2, [this] {
    testcatalogue::run(m_path, "ALTER TABLE music_shelf RENAME TO elsewhere");
    letGo();
  });
  clickAddDirectory();
  QCOMPARE(m_errors.size(), std::size_t{1});
  QVERIFY(m_errors[0].second.contains(QStringLiteral("music_shelf")));
  const int stored = std::stoi(testcatalogue::scalar(m_path, "SELECT count(*) FROM elsewhere"));
  QVERIFY(stored >= 2 && stored < 10);
  QCOMPARE(statusText(), QStringLiteral("Import stopped by an error: %1 songs added").arg(stored));
  // The window carries on.
  QTest::mouseClick(button("cmdAdd"), Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{2});
  QVERIFY(m_window->isVisible());
}

void TestFrmMainImport::statusBarShowsProgressThenWhatWasDone() {
  importfakes::makeMusic(m_music, 30);
  hold("song 10.mp3");
  auto* cancel = button("cmdCancelImport");
  QVERIFY(cancel && !cancel->isVisible());
  QString during;
  bool cancelShown = false;
  whenRowsStored(1, [&] {
    cancelShown = cancel->isVisible();
    during = statusText();
    letGo();
  });
  clickAddDirectory();
  QVERIFY(cancelShown);
  QVERIFY2(during.startsWith(QStringLiteral("Importing: ")), qPrintable(during));
  QVERIFY(!cancel->isVisible());
  const QString done = statusText();
  QVERIFY2(done.startsWith(QStringLiteral("Added 30 songs from ") + m_music + QStringLiteral(" in ")),
           qPrintable(done));
  QVERIFY(!done.contains(QLatin1Char('(')));

  // The summary stays until the next view.
  QTest::mouseClick(button("cmdAdd"), Qt::LeftButton);
  QCOMPARE(statusText(), done);
  QTest::mouseClick(button("cmdShowAll"), Qt::LeftButton);
  QCOMPARE(statusText(), QString());
}

void TestFrmMainImport::cancelStopsBeforeTheNextRow() {
  importfakes::makeMusic(m_music, 40);
  hold("song 10.mp3");
  int rowsAtCancel = -1;
  whenRowsStored(2, [&] {
    rowsAtCancel = rowsStored();
    QTest::mouseClick(button("cmdCancelImport"), Qt::LeftButton);
    letGo();
  });
  clickAddDirectory();
  QVERIFY(rowsAtCancel >= 2 && rowsAtCancel <= 5);
  QCOMPARE(rowsStored(), rowsAtCancel);
  QCOMPARE(statusText(), QStringLiteral("Import cancelled: %1 songs added").arg(rowsAtCancel));
  QVERIFY(m_errors.empty());
  // The window carries on, and the next import runs to its end.
  clickAddDirectory();
  QCOMPARE(rowsStored(), rowsAtCancel + 40);
}

void TestFrmMainImport::progressCountsOnlyTheImportThatRuns() {
  importfakes::makeMusic(m_music, 30);
  clickAddDirectory();
  QCOMPARE(rowsStored(), 30);

  // A second import, of the sub-folder: the window's first look at it comes before it has
  // stored anything, so the status bar must not still count the first import's songs.
  m_pick = m_music + QStringLiteral("/sub");
  QString atStart;
  int storedAtStart = -1;
  QTimer::singleShot(0, this, [&] {
    atStart = statusText();
    storedAtStart = rowsStored() - 30;
  });
  clickAddDirectory();
  QCOMPARE(rowsStored(), 45);
  QVERIFY(storedAtStart >= 0);
  const QString expected = QStringLiteral("Importing: %1 song").arg(storedAtStart);
  QVERIFY2(atStart.startsWith(expected), qPrintable(atStart));
}

void TestFrmMainImport::statusBarLeavesTheInnerAreaAsItWas() {
  auto* bar = m_window->findChild<QStatusBar*>();
  QVERIFY(bar && bar->isVisible());
  // 11970 x 5295 twips, as before the status bar came.
  QCOMPARE(m_window->centralWidget()->size(), QSize(798, 353));
  QVERIFY(bar->geometry().top() >= m_window->centralWidget()->geometry().bottom());
}

void TestFrmMainImport::tagReaderIsOneWindowThatOutlivesTheMainWindow() {
  auto* entry = m_window->findChild<QAction*>(QStringLiteral("mnuTagReader"));
  QVERIFY(entry);
  auto tagReaders = [] {
    QList<QWidget*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("frmTagReader") && w->isVisible()) found << w;
    return found;
  };
  entry->trigger();
  entry->trigger();
  QCOMPARE(tagReaders().size(), 1);
  QWidget* reader = tagReaders().first();
  QVERIFY(reader->parentWidget() == nullptr);

  // Closing the main window leaves the reader open and working.
  m_window->close();
  QVERIFY(reader->isVisible());
  auto* path = reader->findChild<QLineEdit*>(QStringLiteral("txtFile"));
  path->setText(QFile::decodeName(m_dir->path("missing.mp3").c_str()));
  QTest::mouseClick(reader->findChild<QPushButton*>(QStringLiteral("cmdReadTag")), Qt::LeftButton);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QVERIFY(!QFile::exists(QFile::decodeName(m_dir->path("missing.mp3").c_str())));
}

// The grid's IDs, in the view's order.
static QList<int> gridIds(const frmMain& window) {
  QList<int> ids;
  const QAbstractItemModel* model =
      window.findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))->model();
  for (int row = 0; row < model->rowCount(); ++row)
    ids << model->index(row, 0).data().toInt();
  return ids;
}

static void triggerMenu(const frmMain& window, const char* name) {
  auto* entry = window.findChild<QAction*>(QString::fromLatin1(name));
  QVERIFY(entry);
  entry->trigger();
}

void TestFrmMainImport::rescanStoresNewFilesAndAsksBeforeRemovingVanishedOnes() {
  importfakes::makeMusic(m_music, 4);
  clickAddDirectory();
  testcatalogue::run(m_path, "UPDATE music_shelf SET Title = 'edited' WHERE ID = 1");
  QVERIFY(QFile::remove(m_music + QStringLiteral("/song 00.mp3")));
  importfakes::touch(m_music + QStringLiteral("/sub/new 1.mp3"));
  importfakes::touch(m_music + QStringLiteral("/new 2.mp3"));

  // The user keeps the vanished row.
  triggerMenu(*m_window, "mnuRescan");
  QCOMPARE(m_picks, 2);
  QVERIFY(m_errors.empty());
  QCOMPARE(m_questions, QStringList{QStringLiteral("1 song below %1 is no longer on disk. Remove "
                                                   "it from the catalogue?")
                                        .arg(m_music)});
  QCOMPARE(rowsStored(), 6);
  QCOMPARE(statusText(), QStringLiteral("Rescan of %1: 2 added, 0 removed, 3 unchanged, 1 song no "
                                        "longer on disk kept")
                             .arg(m_music));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 1"),
           std::string("edited"));

  // Another goes; this time the user says yes.
  QVERIFY(QFile::remove(m_music + QStringLiteral("/sub/song 01.mp3")));
  m_answer = true;
  m_questions.clear();
  triggerMenu(*m_window, "mnuRescan");
  QCOMPARE(m_questions, QStringList{QStringLiteral("2 songs below %1 are no longer on disk. "
                                                   "Remove them from the catalogue?")
                                        .arg(m_music)});
  QCOMPARE(statusText(), QStringLiteral("Rescan of %1: 0 added, 2 removed, 4 unchanged").arg(m_music));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT group_concat(ID) FROM music_shelf"),
           std::string("2,4,5,6"));
  QVERIFY(m_errors.empty());

  // Nothing vanished: nothing is asked.
  m_questions.clear();
  triggerMenu(*m_window, "mnuRescan");
  QVERIFY(m_questions.isEmpty());
  QCOMPARE(statusText(), QStringLiteral("Rescan of %1: 0 added, 0 removed, 4 unchanged").arg(m_music));
}

void TestFrmMainImport::rescanThatIsCancelledAsksNothing() {
  importfakes::makeMusic(m_music, 2);
  clickAddDirectory();
  QVERIFY(QFile::remove(m_music + QStringLiteral("/song 00.mp3")));
  // New files after "sub/song 01.mp3": the walk has passed that known file before it queues
  // the first of them.
  for (int i = 0; i < 30; ++i)
    importfakes::touch(m_music + QStringLiteral("/sub/tune %1.mp3").arg(i + 10));
  // A later file's read waits for the Cancel, so it surely comes while files are still to come.
  hold("tune 20.mp3");
  whenRowsStored(4, [this] {
    m_window->findChild<QPushButton*>(QStringLiteral("cmdCancelImport"))->click();
    letGo();
  });
  triggerMenu(*m_window, "mnuRescan");
  const int added = rowsStored() - 2;
  QVERIFY(added >= 2 && added <= 10);
  QVERIFY(m_questions.isEmpty());
  QCOMPARE(statusText(),
           QStringLiteral("Rescan of %1 cancelled: %2 added, 1 unchanged").arg(m_music).arg(added));
}

// Two disks mounted in one folder; one is unplugged and the desktop takes its mount folder away.
// Its songs are not offered as songs no longer on disk: a question of their own names the disk,
// and only a Yes to it removes them. With the empty mount folder left in place nothing is
// asked.
void TestFrmMainImport::rescanKeepsAnUnpluggedDisksSongsUnlessToldApart() {
  for (const char* disk : {"/DISK1", "/DISK2"}) {
    QVERIFY(QDir().mkpath(m_music + QLatin1String(disk) + QStringLiteral("/Album")));
    importfakes::touch(m_music + QLatin1String(disk) + QStringLiteral("/a.mp3"));
    importfakes::touch(m_music + QLatin1String(disk) + QStringLiteral("/Album/b.mp3"));
  }
  clickAddDirectory();
  QCOMPARE(rowsStored(), 4);
  const QString disk2 = m_music + QStringLiteral("/DISK2");
  QVERIFY(QDir(disk2).removeRecursively());
  const QString asked = QStringLiteral(
      "All 2 songs below %1 are gone together with the folder itself: it may be on a disk that "
      "is not plugged in. Remove them from the catalogue anyway?")
                            .arg(disk2);

  // While the question is up the status bar does not count the disk's songs as no longer on
  // disk either.
  QString statusWhileAsked;
  m_window->setQuestion([&](const QString& text) {
    m_questions << text;
    statusWhileAsked = statusText();
    return m_answer;
  });
  triggerMenu(*m_window, "mnuRescan");
  QVERIFY(m_errors.empty());
  QCOMPARE(m_questions, QStringList{asked});
  QCOMPARE(statusWhileAsked, QStringLiteral("Rescan of %1: 0 added, 2 unchanged; 2 songs below "
                                            "folders that are gone, waiting for your answer")
                                 .arg(m_music));
  QCOMPARE(rowsStored(), 4);
  QCOMPARE(statusText(), QStringLiteral("Rescan of %1: 0 added, 0 removed, 2 unchanged, 2 songs "
                                        "below folders that are gone kept")
                             .arg(m_music));

  // The disk is plugged in again, or its empty mount folder is back: nothing is asked.
  QVERIFY(QDir().mkpath(disk2));
  m_questions.clear();
  triggerMenu(*m_window, "mnuRescan");
  QVERIFY(m_questions.isEmpty());
  QCOMPARE(rowsStored(), 4);

  QVERIFY(QDir(disk2).removeRecursively());
  m_answer = true;
  m_questions.clear();
  triggerMenu(*m_window, "mnuRescan");
  QCOMPARE(m_questions, QStringList{asked});
  QCOMPARE(statusText(),
           QStringLiteral("Rescan of %1: 0 added, 2 removed, 2 unchanged").arg(m_music));
  QCOMPARE(rowsStored(), 2);
  QVERIFY(m_errors.empty());
}

// The question the program asks with is a message box whose default answer, the one Enter
// gives, is No.
void TestFrmMainImport::theRealQuestionAnswersNoToEnter() {
  const ui::Question question = ui::messageBoxQuestion(m_window.get());
  QString shown;
  bool found = false;
  // Runs inside the box's own event loop, once the box is up. Whatever it finds, the loop ends
  // here: a box left open would hold the test until CTest gives up on it.
  QTimer::singleShot(0, m_window.get(), [&] {
    QMessageBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* candidate = qobject_cast<QMessageBox*>(widget); candidate && candidate->isVisible())
        box = candidate;
    if (!box) {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
        dialog->done(QMessageBox::Yes);
      return;
    }
    found = true;
    shown = box->text();
    QTest::keyClick(box, Qt::Key_Return);
    if (box->isVisible()) box->done(QMessageBox::Yes);  // Enter did nothing: fail, not hang
  });
  const bool answer = question(QStringLiteral("Remove them from the catalogue anyway?"));
  QVERIFY2(found, "the question is no message box");
  QVERIFY(!answer);
  QCOMPARE(shown, QStringLiteral("Remove them from the catalogue anyway?"));
}

void TestFrmMainImport::missingFilesAndDuplicatesAreViews() {
  importfakes::makeMusic(m_music, 2);  // song 00.mp3 here, song 01.mp3 in sub
  const std::string here = (m_music + QStringLiteral("/song 00.mp3")).toStdString();
  const std::string below = (m_music + QStringLiteral("/sub/song 01.mp3")).toStdString();
  const std::string gone = (m_music + QStringLiteral("/gone.mp3")).toStdString();
  std::string upper = below;
  upper.replace(upper.find("song"), 4, "SONG");
  testcatalogue::run(m_path, "INSERT INTO music_shelf (ID, Title, Filename) VALUES "
                             "(1, 'a', '" + below + "'), (2, 'b', '" + gone + "'), "
                             "(3, 'c', '" + here + "'), (4, 'd', NULL), (5, 'e', ''), "
                             "(6, 'f', '" + below + "'), (7, 'g', '" + gone + "'), "
                             "(8, 'h', '" + upper + "'), (9, 'i', ''), (10, 'j', '" + below + "')");
  triggerMenu(*m_window, "mnuShowMissing");
  QVERIFY(m_errors.empty());
  QCOMPARE(gridIds(*m_window), (QList<int>{2, 7, 8}));
  triggerMenu(*m_window, "mnuShowDuplicates");
  QVERIFY(m_errors.empty());
  // By Filename, then ID; a name that differs in case is another file.
  QCOMPARE(gridIds(*m_window), (QList<int>{2, 7, 1, 6, 10}));
  // The same without the Filename index, in one pass rather than one per row.
  testcatalogue::run(m_path, "DROP INDEX music_shelf_Filename");
  triggerMenu(*m_window, "mnuShowDuplicates");
  QVERIFY(m_errors.empty());
  QCOMPARE(gridIds(*m_window), (QList<int>{2, 7, 1, 6, 10}));

  // The user deletes an extra copy with the designed button.
  m_window->findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))
      ->setCurrentIndex(m_window->findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))
                            ->model()
                            ->index(3, 1));
  QTest::mouseClick(button("cmdDelet"), Qt::LeftButton);
  QVERIFY(m_errors.empty());
  QCOMPARE(gridIds(*m_window), (QList<int>{2, 7, 1, 10}));
}

// Rows whose files hold the same audio by the companion table's AudioHash and AudioBytes, group
// by group in the order of each group's first path.
void TestFrmMainImport::duplicateSongsStandTogether() {
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (ID, Title, Filename) VALUES (1, 'a', '/m/b.mp3'), "
                     "(2, 'b', '/m/a.mp3'), (3, 'c', '/m/c.mp3'), (4, 'd', '/m/d.mp3'), "
                     "(5, 'e', '/m/e.mp3'), (6, 'f', '/m/f.mp3'), (7, 'g', '/m/g.mp3'), "
                     "(8, 'h', '/m/h.mp3');"
                     // 6 has the audio hash of 1 and 3 but another length; 7's companion row
                     // describes the file it held before; 8 has none.
                     "INSERT INTO shelf_files (ID, Filename, AudioHash, AudioBytes) VALUES "
                     "(1, '/m/b.mp3', 7, 100), (2, '/m/a.mp3', 9, 200), (3, '/m/c.mp3', 7, 100), "
                     "(4, '/m/d.mp3', 9, 200), (5, '/m/e.mp3', 5, 100), (6, '/m/f.mp3', 7, 300), "
                     "(7, '/m/old.mp3', 7, 100)");
  triggerMenu(*m_window, "mnuShowDuplicateSongs");
  QVERIFY(m_errors.empty());
  QCOMPARE(gridIds(*m_window), (QList<int>{2, 4, 1, 3}));
  QCOMPARE(noticeText(), QString());  // the table was there: nothing to say
}

// A catalogue made before the companion table gets it from the first import, rescan or Show
// Duplicate Songs, and the status bar says so once, until the next view.
void TestFrmMainImport::olderCatalogueGainsTheCompanionTableOnce() {
  const QString notice = QString::fromLatin1(ImportRunner::kShelfFilesNotice);
  const auto hasTable = [](const std::string& path) {
    return testcatalogue::scalar(path, "SELECT count(*) FROM sqlite_schema WHERE name = "
                                       "'shelf_files'") == "1";
  };
  const std::string older = m_dir->path("older.mdb");
  importfakes::makeOlderCatalogue(older);
  openWindow(older);
  importfakes::makeMusic(m_music, 2);
  clickAddDirectory();
  QVERIFY(m_errors.empty());
  QVERIFY(hasTable(m_path));
  QCOMPARE(noticeText(), notice);
  QVERIFY2(statusText().startsWith(QStringLiteral("Added 2 songs")), qPrintable(statusText()));
  triggerMenu(*m_window, "mnuShowDuplicateSongs");
  QCOMPARE(noticeText(), QString());
  triggerMenu(*m_window, "mnuRescan");
  QCOMPARE(noticeText(), QString());
  QVERIFY(m_errors.empty());

  // Show Duplicate Songs makes it itself, and says so beside its view.
  const std::string oldest = m_dir->path("oldest.mdb");
  importfakes::makeOlderCatalogue(oldest);
  openWindow(oldest);
  triggerMenu(*m_window, "mnuShowDuplicateSongs");
  QVERIFY(m_errors.empty());
  QVERIFY(hasTable(m_path));
  QCOMPARE(noticeText(), notice);
  QVERIFY(gridIds(*m_window).isEmpty());
}

// A read-only catalogue without the companion table cannot learn which files hold the same
// audio: Show Duplicate Songs says why and shows nothing else, and a rescan is refused before
// it reads anything.
void TestFrmMainImport::readOnlyOlderCatalogueHasNoDuplicateSongs() {
  m_window.reset();
  testsupport::SmallDisk disk(m_dir->path() / "disc", 1 << 20);
  if (!disk.mounted()) QSKIP(disk.whyNot().c_str());
  const std::string path = disk.path("music_1.mdb");
  importfakes::makeOlderCatalogue(path);
  testcatalogue::run(path, "INSERT INTO music_shelf (Title) VALUES ('kept')");
  QVERIFY(disk.makeReadOnly());
  openWindow(path);
  QTest::mouseClick(button("cmdShowAll"), Qt::LeftButton);

  triggerMenu(*m_window, "mnuShowDuplicateSongs");
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, engine::err::kTableNotFound);
  QVERIFY2(m_errors[0].second.startsWith(QStringLiteral(
               "This catalogue does not know yet which files hold the same audio")),
           qPrintable(m_errors[0].second));
  QCOMPARE(gridIds(*m_window), QList<int>{1});  // the view before stays
  QCOMPARE(noticeText(), QString());

  importfakes::makeMusic(m_music, 2);
  m_picks = 0;
  triggerMenu(*m_window, "mnuRescan");
  QCOMPARE(m_picks, 1);
  QCOMPARE(m_errors.size(), std::size_t{2});
  QCOMPARE(m_errors[1].first, SQLITE_READONLY);
  QVERIFY(m_questions.isEmpty());
  QCOMPARE(statusText(), QStringLiteral("Rescan of %1 stopped by an error: 0 added, 0 removed, "
                                        "0 unchanged")
                             .arg(m_music));
  m_window.reset();
}

QTEST_MAIN(TestFrmMainImport)
#include "frmmain_import_test.moc"
