// The window's edits driven as a user would: several rows selected and deleted after one
// question, Undo and Redo of each kind of change, lengths as m:ss, and an edit that another
// program's lock holds up. Questions and errors are recorded instead of shown.
#include <QAction>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/frmmain.h"
#include "windowtesting.h"
#include "catalog/boundgrid.h"
#include "catalog/datacontrol.h"
#include "catalog/recordsetmodel.h"
#include "catalog/searchindexer.h"
#include "support/lockholder.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

using IdList = QList<int>;
using Rows = std::vector<std::vector<std::string>>;

// Only a broken window waits this long for a queued event.
constexpr int kEventWaitMs = 60000;
constexpr int kTitle = 1;

class TestFrmMainEdit : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void editMenuSitsAfterDebug();
  void severalRowsGoAfterOneQuestion_data();
  void severalRowsGoAfterOneQuestion();
  void oneRowKeepsTheOldPath();
  void selectAllDeletesTheWholeView();
  void undoAndRedoOfEveryKind();
  void undoOverAnotherProgramsChangeAsks();
  void lengthsShowAsMinutesAndSeconds();
  void editKeptWhileAnotherProgramHoldsTheCatalogue();
  void keptEditLeftOrTypedAgain_data();
  void keptEditLeftOrTypedAgain();
  void severalKeptEditsAreEachSaved();
  void keptEditGivesWayToANewerSave_data();
  void keptEditGivesWayToANewerSave();
  void closingWithAKeptEditAsks_data();
  void closingWithAKeptEditAsks();

 private:
  std::unique_ptr<frmMain> makeWindow();
  IdList shownIds();
  int currentId() { return static_cast<int>(m_window->Data1->idOfRow(m_window->Data1->currentRow()).value_or(-1)); }
  void selectRows(int first, int last);
  void pressDelete() { QTest::keyClick(m_window->DBGrid1, Qt::Key_Delete); }
  Rows all() { return testcatalogue::rows(m_path, "SELECT * FROM music_shelf ORDER BY ID"); }
  // A fresh window on the catalogue, showing all, while another program holds it (running
  // `statement` in its write when one is given).
  std::unique_ptr<testsupport::LockHolder> holdCatalogue(const std::string& statement = {});
  std::size_t kept() { return m_window->Data1->model()->keptEdits().size(); }
  // The window's statements give up on a lock at once rather than after half a minute. Its
  // filter index's own thread goes: it takes the write lock between the window's writes, which
  // a wait this short would then meet by chance.
  void giveUpOnLocksAtOnce() {
    m_window->m_indexer.reset();
    m_window->dbMusic->setLockWait(std::chrono::milliseconds(1));
  }
  std::string titleOf(int id) {
    return testcatalogue::scalar(m_path,
                                 "SELECT Title FROM music_shelf WHERE ID = " + std::to_string(id));
  }

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  std::vector<std::pair<int, QString>> m_errors;
  QStringList m_asked;
  bool m_answer = true;
  std::unique_ptr<frmMain> m_window;
};

// IDs 1 to 6.
void TestFrmMainEdit::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = m_dir->path("music_1.mdb");
  testcatalogue::make(m_path);
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (Title, Artist, Year, Track, Duration) VALUES "
                     "('Yellow Submarine', 'The Beatles', '1966', 6, 158), "
                     "('Help', 'The Beatles', '1965', 1, 138), "
                     "('Don''t Stop', 'Fleetwood Mac', '1977', NULL, 8), "
                     "('Dreams', 'Fleetwood Mac', '1977', 2, 3723), "
                     "('Angie', 'The Rolling Stones', '1973', 1, NULL), "
                     "('Sway', 'The Rolling Stones', '1971', 4, 'long')");
  m_errors.clear();
  m_asked.clear();
  m_answer = true;
  m_window = makeWindow();
  QVERIFY(m_window->Form_Load());
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
}

void TestFrmMainEdit::cleanup() {
  m_window.reset();
  m_dir.reset();
}

std::unique_ptr<frmMain> TestFrmMainEdit::makeWindow() {
  auto window = windowtesting::quietWindow(QString::fromStdString(m_path), m_errors);
  window->setQuestion([this](const QString& text) {
    m_asked << text;
    return m_answer;
  });
  return window;
}

std::unique_ptr<testsupport::LockHolder> TestFrmMainEdit::holdCatalogue(
    const std::string& statement) {
  m_window.reset();
  auto other = std::make_unique<testsupport::LockHolder>(m_path, true, statement);
  m_window = makeWindow();
  if (!m_window->Form_Load()) return nullptr;
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  giveUpOnLocksAtOnce();
  other->take();
  return other;
}

IdList TestFrmMainEdit::shownIds() {
  return windowtesting::shownIds(m_window->DBGrid1->model());
}

// As a click on the first row and a Shift+click on the last.
void TestFrmMainEdit::selectRows(int first, int last) {
  catalog::BoundGrid* grid = m_window->DBGrid1;
  grid->setCurrentIndex(grid->model()->index(first, kTitle));
  grid->selectionModel()->setCurrentIndex(
      grid->model()->index(last, kTitle),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  grid->selectionModel()->select(
      QItemSelection(grid->model()->index(first, 0), grid->model()->index(last, 0)),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TestFrmMainEdit::editMenuSitsAfterDebug() {
  const QList<QAction*> bar = m_window->menuBar()->actions();
  QVERIFY(bar.size() >= 3);
  QCOMPARE(bar[0]->menu(), m_window->mnufile);
  QCOMPARE(bar[1]->menu(), m_window->mnuDebug);
  QCOMPARE(bar[2]->menu(), m_window->mnuEdit);
  QCOMPARE(m_window->mnuEdit->title(), QStringLiteral("&Edit"));
  QCOMPARE(m_window->mnuEdit->objectName(), QStringLiteral("mnuEdit"));
  QCOMPARE(m_window->mnuUndo->objectName(), QStringLiteral("mnuUndo"));
  QCOMPARE(m_window->mnuRedo->objectName(), QStringLiteral("mnuRedo"));
  QCOMPARE(m_window->mnuUndo->shortcut(), QKeySequence(QStringLiteral("Ctrl+Z")));
  QCOMPARE(m_window->mnuRedo->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+Z")));
  QVERIFY(!m_window->mnuUndo->isEnabled());
  QVERIFY(!m_window->mnuRedo->isEnabled());
}

void TestFrmMainEdit::severalRowsGoAfterOneQuestion_data() {
  QTest::addColumn<bool>("byKey");
  QTest::addColumn<bool>("answer");
  QTest::newRow("Delete key, Yes") << true << true;
  QTest::newRow("Delete key, No") << true << false;
  QTest::newRow("button, Yes") << false << true;
  QTest::newRow("button, No") << false << false;
}

void TestFrmMainEdit::severalRowsGoAfterOneQuestion() {
  QFETCH(bool, byKey);
  QFETCH(bool, answer);
  const Rows before = all();
  m_answer = answer;
  selectRows(1, 3);
  QCOMPARE(m_window->DBGrid1->selectedRowNumbers(), (std::vector<int>{1, 2, 3}));
  if (byKey)
    pressDelete();
  else
    QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QCOMPARE(m_asked, QStringList{"Delete 3 songs from the catalogue? The files stay on disk."});
  QVERIFY(m_errors.empty());
  if (!answer) {
    QCOMPARE(all(), before);
    QVERIFY(!m_window->mnuUndo->isEnabled());
    return;
  }
  QCOMPARE(shownIds(), (IdList{1, 5, 6}));
  QCOMPARE(currentId(), 5);  // the row after the block
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Delete 3 Songs"));

  m_window->mnuUndo->trigger();
  QVERIFY(m_errors.empty());
  QCOMPARE(all(), before);
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 4, 5, 6}));
  QCOMPARE(currentId(), 2);
  QCOMPARE(m_window->mnuRedo->text(), QStringLiteral("&Redo Delete 3 Songs"));
  m_window->mnuRedo->trigger();
  QCOMPARE(shownIds(), (IdList{1, 5, 6}));
  QCOMPARE(m_asked.size(), 1);  // neither asked again
}

void TestFrmMainEdit::oneRowKeepsTheOldPath() {
  selectRows(2, 2);
  pressDelete();
  QVERIFY(m_asked.isEmpty());
  QVERIFY(m_errors.empty());
  QCOMPARE(shownIds(), (IdList{1, 2, 4, 5, 6}));
  QCOMPARE(currentId(), 4);
  // The last row: the one before it becomes current.
  m_window->Data1->setCurrentRow(4);
  QTest::mouseClick(m_window->cmdDelet, Qt::LeftButton);
  QVERIFY(m_asked.isEmpty());
  QCOMPARE(shownIds(), (IdList{1, 2, 4, 5}));
  QCOMPARE(currentId(), 5);
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Delete 1 Song"));
  m_window->mnuUndo->trigger();
  m_window->mnuUndo->trigger();
  QCOMPARE(shownIds(), (IdList{1, 2, 3, 4, 5, 6}));
  QCOMPARE(testcatalogue::rows(m_path, "SELECT Title, Duration, typeof(Duration) FROM "
                                       "music_shelf WHERE ID IN (3, 6) ORDER BY ID"),
           (Rows{{"Don't Stop", "8", "integer"}, {"Sway", "long", "text"}}));
}

// Ctrl+A means every row of the view, also those the grid has not read yet.
void TestFrmMainEdit::selectAllDeletesTheWholeView() {
  std::vector<std::pair<std::string, std::string>> songs;
  for (int i = 0; i < 1228; ++i) songs.emplace_back("Song " + std::to_string(i), "Artist");
  testcatalogue::addSongs(m_path, songs);
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QVERIFY(m_window->DBGrid1->model()->rowCount() < 1234);
  m_window->DBGrid1->setFocus();
  QTest::keyClick(m_window->DBGrid1, Qt::Key_A, Qt::ControlModifier);
  QVERIFY(m_window->DBGrid1->wholeViewSelected());
  pressDelete();
  QCOMPARE(m_asked, QStringList{"Delete 1,234 songs from the catalogue? The files stay on disk."});
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"), "0");
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Delete 1,234 Songs"));
  m_window->mnuUndo->trigger();
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"), "1234");
  QVERIFY(m_errors.empty());
}

void TestFrmMainEdit::undoAndRedoOfEveryKind() {
  const Rows original = all();
  QAbstractItemModel* model = m_window->DBGrid1->model();
  // A cell edited in place.
  QVERIFY(model->setData(model->index(1, kTitle), QStringLiteral("Helpless")));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 2"), "Helpless");
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Edit Title"));

  // Update Mp3 Tags.
  m_window->Data1->setCurrentRow(2);
  m_window->txtArtist->setText(QStringLiteral("Stevie Nicks"));
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Update Mp3 Tags"));

  // Add One Song.
  QTest::mouseClick(m_window->cmdAdd, Qt::LeftButton);
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Add One Song"));
  const Rows added = testcatalogue::rows(m_path, "SELECT * FROM music_shelf WHERE ID = 7");
  QCOMPARE(added.size(), std::size_t{1});

  m_window->mnuUndo->trigger();  // the added row goes
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf WHERE ID = 7"), "0");
  m_window->mnuRedo->trigger();  // and comes back with its ID
  QCOMPARE(testcatalogue::rows(m_path, "SELECT * FROM music_shelf WHERE ID = 7"), added);
  QCOMPARE(currentId(), 7);
  for (int i = 0; i < 3; ++i) m_window->mnuUndo->trigger();
  QVERIFY(m_errors.empty());
  QCOMPARE(all(), original);
  QVERIFY(!m_window->mnuUndo->isEnabled());
  QCOMPARE(currentId(), 2);
  m_window->mnuRedo->trigger();
  m_window->mnuRedo->trigger();
  QCOMPARE(testcatalogue::rows(m_path, "SELECT Title, Artist FROM music_shelf WHERE ID IN (2, 3)"),
           (Rows{{"Helpless", "The Beatles"}, {"Don't Stop", "Stevie Nicks"}}));
  QVERIFY(m_asked.isEmpty());
}

void TestFrmMainEdit::undoOverAnotherProgramsChangeAsks() {
  QAbstractItemModel* model = m_window->DBGrid1->model();
  QVERIFY(model->setData(model->index(0, kTitle), QStringLiteral("Blue Submarine")));
  testcatalogue::run(m_path, "UPDATE music_shelf SET Title = 'Green Submarine' WHERE ID = 1");
  m_answer = false;
  m_window->mnuUndo->trigger();
  QCOMPARE(m_asked.size(), 1);
  QVERIFY2(m_asked[0].contains("changed since") && m_asked[0].contains("Undo Edit Title anyway?"),
           qPrintable(m_asked[0]));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 1"),
           "Green Submarine");
  QVERIFY(m_window->mnuUndo->isEnabled());
  m_answer = true;
  m_window->mnuUndo->trigger();
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 1"),
           "Yellow Submarine");
  QVERIFY(m_errors.empty());
}

void TestFrmMainEdit::lengthsShowAsMinutesAndSeconds() {
  QAbstractItemModel* model = m_window->DBGrid1->model();
  const int duration = catalog::RecordsetModel::durationColumn();
  QStringList shown;
  for (int row = 0; row < 6; ++row) shown << model->index(row, duration).data().toString();
  QCOMPARE(shown, (QStringList{"2:38", "2:18", "0:08", "1:02:03", "", "long"}));

  QVERIFY(model->setData(model->index(0, duration), QStringLiteral("3:07")));
  QVERIFY(model->setData(model->index(1, duration), QStringLiteral("1:02:03")));
  QVERIFY(model->setData(model->index(4, duration), QStringLiteral("95")));
  QCOMPARE(testcatalogue::rows(m_path, "SELECT Duration, typeof(Duration) FROM music_shelf "
                                       "WHERE ID IN (1, 2, 5) ORDER BY ID"),
           (Rows{{"187", "integer"}, {"3723", "integer"}, {"95", "integer"}}));
  QCOMPARE(model->index(4, duration).data().toString(), QStringLiteral("1:35"));

  QVERIFY(!model->setData(model->index(0, duration), QStringLiteral("3 minutes")));
  QTRY_COMPARE_WITH_TIMEOUT(m_errors.size(), std::size_t{1}, kEventWaitMs);
  QCOMPARE(m_errors[0].first, 13);
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Duration FROM music_shelf WHERE ID = 1"), "187");
}

// Another program holds the catalogue: the typed value stays in the cell and is written once it
// lets go; Update Mp3 Tags keeps the typed boxes.
void TestFrmMainEdit::editKeptWhileAnotherProgramHoldsTheCatalogue() {
  m_window.reset();
  testsupport::LockHolder other(m_path, true);
  m_window = makeWindow();
  QVERIFY(m_window->Form_Load());
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  giveUpOnLocksAtOnce();
  other.take();

  QAbstractItemModel* model = m_window->DBGrid1->model();
  QVERIFY(model->setData(model->index(2, kTitle), QStringLiteral("Go Your Own Way")));
  QCOMPARE(kept(), std::size_t{1});
  QCOMPARE(model->index(2, kTitle).data().toString(), QStringLiteral("Go Your Own Way"));
  QVERIFY2(m_window->statusBar()->currentMessage().contains("Your edit of Title is kept"),
           qPrintable(m_window->statusBar()->currentMessage()));
  m_window->retryKeptEdit();  // still held
  QCOMPARE(kept(), std::size_t{1});

  m_window->Data1->setCurrentRow(4);
  m_window->txtTitle->setText(QStringLiteral("Angie (live)"));
  QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(m_errors.size(), std::size_t{1}, kEventWaitMs);
  QCOMPARE(m_errors[0].first & 0xFF, 5);
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Angie (live)"));
  QVERIFY(m_errors[0].second.contains("still in the boxes"));

  other.letGo();
  QCOMPARE(other.wait(), 0);
  m_window->retryKeptEdit();
  QCOMPARE(kept(), std::size_t{0});
  QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("Your edit of Title was saved."));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 3"),
           "Go Your Own Way");
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Edit Title"));
  QCOMPARE(m_errors.size(), std::size_t{1});
  // The boxes can now be saved as typed.
  QCOMPARE(m_window->txtTitle->text(), QStringLiteral("Angie (live)"));
}

// The editor of a cell showing a kept edit opens on the kept text: leaving it, or typing the
// kept text again, keeps the edit; only typing the stored text gives it up.
void TestFrmMainEdit::keptEditLeftOrTypedAgain_data() {
  QTest::addColumn<QString>("typed");
  QTest::addColumn<std::string>("saved");
  QTest::newRow("left as it shows") << QString() << std::string("Go Your Own Way");
  QTest::newRow("kept text typed again") << QStringLiteral("Go Your Own Way")
                                         << std::string("Go Your Own Way");
  QTest::newRow("stored text typed back") << QStringLiteral("Don't Stop")
                                          << std::string("Don't Stop");
}

void TestFrmMainEdit::keptEditLeftOrTypedAgain() {
  QFETCH(QString, typed);
  QFETCH(std::string, saved);
  const auto other = holdCatalogue();
  QVERIFY(other);
  QAbstractItemModel* model = m_window->DBGrid1->model();
  const QModelIndex cell = model->index(2, kTitle);
  QVERIFY(model->setData(cell, QStringLiteral("Go Your Own Way")));
  // What the delegate commits when the editor closes.
  QVERIFY(model->setData(cell, typed.isNull() ? cell.data(Qt::EditRole) : QVariant(typed)));
  QCOMPARE(cell.data().toString(), QString::fromStdString(saved));
  QCOMPARE(kept(), std::size_t{saved == "Don't Stop" ? 0u : 1u});

  other->letGo();
  QCOMPARE(other->wait(), 0);
  m_window->retryKeptEdit();
  QCOMPARE(titleOf(3), saved);
  QCOMPARE(kept(), std::size_t{0});
  QVERIFY(m_errors.empty());
}

// Edits of several cells, one of them typed twice, all wait for the lock and are saved in turn,
// each reported; the count below the grid follows a saved length.
void TestFrmMainEdit::severalKeptEditsAreEachSaved() {
  const auto other = holdCatalogue();
  QVERIFY(other);
  QTRY_COMPARE_WITH_TIMEOUT(m_window->lblRowCount->text(),
                            QStringLiteral("6 songs \u00b7 1:07:07"), kEventWaitMs);
  QAbstractItemModel* model = m_window->DBGrid1->model();
  const int duration = catalog::RecordsetModel::durationColumn();
  QVERIFY(model->setData(model->index(2, kTitle), QStringLiteral("Go Your Own Way")));
  QVERIFY(model->setData(model->index(3, kTitle), QStringLiteral("Rhiannon")));
  QVERIFY(model->setData(model->index(2, duration), QStringLiteral("1:00:08")));
  QVERIFY(model->setData(model->index(2, kTitle), QStringLiteral("Landslide")));
  QCOMPARE(kept(), std::size_t{3});
  QCOMPARE(model->index(2, kTitle).data().toString(), QStringLiteral("Landslide"));
  QCOMPARE(model->index(3, kTitle).data().toString(), QStringLiteral("Rhiannon"));
  QVERIFY(m_window->statusBar()->currentMessage().contains("Your edit of Title is kept"));

  other->letGo();
  QCOMPARE(other->wait(), 0);
  m_window->retryKeptEdit();
  QCOMPARE(kept(), std::size_t{0});
  QCOMPARE(testcatalogue::rows(m_path, "SELECT Title, Duration FROM music_shelf "
                                       "WHERE ID IN (3, 4) ORDER BY ID"),
           (Rows{{"Landslide", "3608"}, {"Rhiannon", "3723"}}));
  QCOMPARE(m_window->statusBar()->currentMessage(),
           QStringLiteral("Your edit of Title was saved. Your edit of Duration was saved. "
                          "Your edit of Title was saved."));
  QVERIFY(m_errors.empty());
  QTRY_COMPARE_WITH_TIMEOUT(m_window->lblRowCount->text(),
                            QStringLiteral("6 songs \u00b7 2:07:07"), kEventWaitMs);
  // Each is its own step, the last saved on top.
  QCOMPARE(m_window->mnuUndo->text(), QStringLiteral("&Undo Edit Title"));
  m_window->mnuUndo->trigger();
  QCOMPARE(titleOf(3), "Don't Stop");
  QCOMPARE(titleOf(4), "Rhiannon");
}

// A title saved for the same song after the edit was kept is newer: the kept edit gives way to
// it and says so. A save of another field leaves the kept edit to be saved.
void TestFrmMainEdit::keptEditGivesWayToANewerSave_data() {
  QTest::addColumn<QString>("how");
  QTest::addColumn<std::string>("saved");
  QTest::addColumn<QString>("message");
  QTest::newRow("Update Mp3 Tags") << QStringLiteral("update") << std::string("Tusk")
                                   << QStringLiteral("Your earlier edit of Title was given up: "
                                                     "Update Mp3 Tags saved Title.");
  QTest::newRow("Update Mp3 Tags of the artist")
      << QStringLiteral("update artist") << std::string("Go Your Own Way")
      << QStringLiteral("Your edit of Title was saved.");
  QTest::newRow("the cell typed again") << QStringLiteral("cell") << std::string("Tusk")
                                        << QString();
  QTest::newRow("another program") << QStringLiteral("other") << std::string("Tusk")
                                   << QStringLiteral("Your edit of Title was not saved: Title "
                                                     "was changed to \"Tusk\" meanwhile.");
}

void TestFrmMainEdit::keptEditGivesWayToANewerSave() {
  QFETCH(QString, how);
  QFETCH(std::string, saved);
  QFETCH(QString, message);
  const auto other = holdCatalogue(
      how == "other" ? "UPDATE music_shelf SET Title = 'Tusk' WHERE ID = 3" : std::string());
  QVERIFY(other);
  QAbstractItemModel* model = m_window->DBGrid1->model();
  QVERIFY(model->setData(model->index(2, kTitle), QStringLiteral("Go Your Own Way")));
  other->letGo();
  QCOMPARE(other->wait(), 0);

  // Before the retry's next tick.
  if (how.startsWith("update")) {
    m_window->Data1->setCurrentRow(2);
    if (how == "update")
      m_window->txtTitle->setText(QStringLiteral("Tusk"));
    else
      m_window->txtArtist->setText(QStringLiteral("Fleetwood Mac (live)"));
    QTest::mouseClick(m_window->cmdUpdate, Qt::LeftButton);
  } else if (how == "cell") {
    QVERIFY(model->setData(model->index(2, kTitle), QStringLiteral("Tusk")));
  }
  m_window->retryKeptEdit();
  QCOMPARE(titleOf(3), saved);
  QCOMPARE(kept(), std::size_t{0});
  if (!message.isEmpty()) QCOMPARE(m_window->statusBar()->currentMessage(), message);
  QVERIFY(m_errors.empty());
}

// Closing the window tries the kept edit once more; while the lock lasts it asks, and No keeps
// the window open with the edit.
void TestFrmMainEdit::closingWithAKeptEditAsks_data() {
  QTest::addColumn<bool>("stillHeld");
  QTest::addColumn<bool>("answer");
  QTest::newRow("held, No") << true << false;
  QTest::newRow("held, Yes") << true << true;
  QTest::newRow("let go") << false << false;
}

void TestFrmMainEdit::closingWithAKeptEditAsks() {
  QFETCH(bool, stillHeld);
  QFETCH(bool, answer);
  const auto other = holdCatalogue();
  QVERIFY(other);
  QAbstractItemModel* model = m_window->DBGrid1->model();
  QVERIFY(model->setData(model->index(2, kTitle), QStringLiteral("Go Your Own Way")));
  if (!stillHeld) {
    other->letGo();
    QCOMPARE(other->wait(), 0);
  }
  m_answer = answer;
  QCOMPARE(m_window->close(), !stillHeld || answer);
  if (stillHeld) {
    QCOMPARE(m_asked, QStringList{QStringLiteral("Your edit of Title is not saved yet: another "
                                                 "program holds the catalogue. Close anyway?")});
    QCOMPARE(kept(), std::size_t{1});
    other->letGo();
    QCOMPARE(other->wait(), 0);
  } else {
    QVERIFY(m_asked.isEmpty());
  }
  QCOMPARE(titleOf(3), stillHeld ? "Don't Stop" : "Go Your Own Way");
  if (stillHeld && !answer) {
    // Still open: the edit is saved once the other program let go.
    m_window->retryKeptEdit();
    QCOMPARE(titleOf(3), "Go Your Own Way");
  }
  QVERIFY(m_errors.empty());
}

QTEST_MAIN(TestFrmMainEdit)
#include "frmmain_edit_test.moc"
