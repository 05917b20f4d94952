// The bound view without the window: the grid's model, the data control and the grid over a
// real catalogue in a temporary folder.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "catalog/boundgrid.h"
#include "catalog/datacontrol.h"
#include "catalog/recordsetmodel.h"
#include "engine/engine.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

namespace {

// The query of the tests that read past a failure: row 300 overflows an integer.
const std::string kFailsAtRow300 =
    "SELECT *, abs(CASE WHEN ID = 300 THEN -9223372036854775807 - 1 ELSE ID END) AS x "
    "FROM music_shelf ORDER BY ID";

std::vector<std::pair<std::string, std::string>> numberedSongs(int count) {
  std::vector<std::pair<std::string, std::string>> songs;
  for (int i = 1; i <= count; ++i)
    songs.emplace_back("Song " + std::to_string(i), "Artist " + std::to_string(i % 7));
  return songs;
}

}  // namespace

class TestBoundView : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void modelPassesTheModelTester();
  void columnsAreBoundByName();
  void rowsArriveInBatches();
  void longValuesShowCutAndEditWhole();
  void rowsReadByTheEngineReachTheView();
  void editableCellsFollowTheRecordSet_data();
  void editableCellsFollowTheRecordSet();
  void cellEditIsWrittenAtOnce();
  void unchangedCellWritesNothing();

  void boxesFollowTheCurrentRow();
  void boxesShowALongValueCutAndKeepIt();
  void updateRecordWritesChangedBoxesInOneStatement();
  void updateRecordWithoutTypingKeepsNulls();
  void updateRecordFailures();
  void refreshWithoutRecordSetDoesNothing();
  void refreshShowsChangedRows();
  void gridAndNavigatorShareTheCurrentRow();

 private:
  std::shared_ptr<engine::Recordset> open(const std::string& source,
                                          int type = engine::dbOpenDynaset) {
    return m_db->OpenRecordset(source, type);
  }

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  std::shared_ptr<engine::Database> m_db;
};

void TestBoundView::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  QVERIFY(std::filesystem::is_directory(m_dir->path()));
  m_path = m_dir->path("music_1.mdb");
  // Counts UPDATE statements on the table: a statement that changes one row fires it once.
  testcatalogue::make(m_path,
                      "CREATE TABLE updates (n INTEGER); INSERT INTO updates VALUES (0);"
                      "CREATE TRIGGER count_updates AFTER UPDATE ON music_shelf "
                      "BEGIN UPDATE updates SET n = n + 1; END;");
  testcatalogue::addSongs(m_path, numberedSongs(600));
  m_db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(m_path);
}

void TestBoundView::cleanup() {
  m_db.reset();
  m_dir.reset();
}

void TestBoundView::modelPassesTheModelTester() {
  catalog::RecordsetModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
  model.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  while (model.canFetchMore(QModelIndex())) model.fetchMore(QModelIndex());
  QCOMPARE(model.rowCount(), 600);
  QVERIFY(model.setData(model.index(5, 1), QStringLiteral("Renamed")));
  model.setCurrentRow(3);
  model.requery();
  model.setRecordset(open("SELECT ID, Title FROM music_shelf"));
  model.setRecordset(nullptr);
  QCOMPARE(model.rowCount(), 0);
}

void TestBoundView::columnsAreBoundByName() {
  catalog::RecordsetModel model;
  // Fields in another order, one missing: columns still show their own field.
  model.setRecordset(open("SELECT Artist, ID, Title FROM music_shelf WHERE ID = 8"));
  QCOMPARE(model.columnCount(), 12);
  const QStringList captions = {"ID",    "Title",   "Artist",   "Album",    "Year",    "Genre",
                                "Track", "Comment", "Filename", "Duration", "Bitrate", "VBR"};
  for (int c = 0; c < 12; ++c)
    QCOMPARE(model.headerData(c, Qt::Horizontal).toString(), captions[c]);
  QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("8"));
  QCOMPARE(model.data(model.index(0, 1)).toString(), QStringLiteral("Song 8"));
  QCOMPARE(model.data(model.index(0, 2)).toString(), QStringLiteral("Artist 1"));
  QCOMPARE(model.data(model.index(0, 3)).toString(), QString());
  QCOMPARE(model.fieldOfColumn(3), -1);
}

void TestBoundView::rowsArriveInBatches() {
  catalog::RecordsetModel model;
  model.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  QCOMPARE(model.rowCount(), 256);
  QVERIFY(model.canFetchMore(QModelIndex()));
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  model.fetchMore(QModelIndex());
  QCOMPARE(model.rowCount(), 512);
  model.fetchMore(QModelIndex());
  QCOMPARE(model.rowCount(), 600);
  QVERIFY(!model.canFetchMore(QModelIndex()));
  QCOMPARE(inserted.count(), 2);
  QCOMPARE(model.data(model.index(599, 1)).toString(), QStringLiteral("Song 600"));
}

// A title of megabytes shows as its first characters, however its characters are written, and
// edits and reads back whole; the grid measures only what it shows.
void TestBoundView::longValuesShowCutAndEditWhole() {
  // Two-byte characters, then a pair of surrogates across the cut, then more.
  std::string title;
  for (int i = 0; i < catalog::kLongestShownText - 1; ++i) title += "\xc3\xa9";
  title += "\xf0\x9f\x8e\xb5" + std::string(2 << 20, 'y');
  const std::string path = "/music/" + std::string(1 << 20, 'p') + ".mp3";
  const auto set = m_db->Prepare("UPDATE music_shelf SET Title = ?1, Filename = ?2 WHERE ID = 4");
  set->bind(1, title);
  set->bind(2, path);
  set->Execute();
  catalog::RecordsetModel model;
  model.setRecordset(open("SELECT * FROM music_shelf WHERE ID IN (4, 5) ORDER BY ID"));
  const QString shown = model.data(model.index(0, 1)).toString();
  QCOMPARE(shown.size(), catalog::kLongestShownText - 1 + 1);  // the pair does not fit
  QVERIFY(shown.endsWith(QChar(0x2026)));
  QVERIFY(QString::fromStdString(title).startsWith(shown.chopped(1)));
  QCOMPARE(model.data(model.index(0, 1), Qt::EditRole).toString().toStdString(), title);
  // A path keeps both ends, its file's name among them.
  const QString shownPath = model.data(model.index(0, 8)).toString();
  QCOMPARE(shownPath.size(), catalog::kLongestShownText + 1);
  QVERIFY(shownPath.startsWith(QStringLiteral("/music/ppp")));
  QVERIFY(shownPath.endsWith(QStringLiteral("ppp.mp3")));
  QCOMPARE(shownPath.at(catalog::kLongestShownText / 2), QChar(0x2026));
  QCOMPARE(model.data(model.index(0, 8), Qt::ToolTipRole).toString(), shownPath);
  QCOMPARE(model.data(model.index(1, 1)).toString(), QStringLiteral("Song 5"));
}

void TestBoundView::rowsReadByTheEngineReachTheView() {
  catalog::RecordsetModel model;
  model.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  // Before writing, the engine reads every open record set to its end.
  m_db->Execute("INSERT INTO music_shelf (Title) VALUES ('late')", 64);
  QCOMPARE(model.rowCount(), 256);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  model.syncRows();
  QCOMPARE(model.rowCount(), 600);
  QCOMPARE(inserted.count(), 1);
  QVERIFY(!model.canFetchMore(QModelIndex()));

  // A read that fails while the engine finishes the set is reported by the next sync.
  QSignalSpy errors(&model, &catalog::RecordsetModel::error);
  model.setRecordset(open(kFailsAtRow300));
  m_db->Execute("INSERT INTO music_shelf (Title) VALUES ('later')", 64);
  model.syncRows();
  QCOMPARE(errors.count(), 1);
  QCOMPARE(model.rowCount(), 299);
}

void TestBoundView::editableCellsFollowTheRecordSet_data() {
  QTest::addColumn<QString>("source");
  QTest::addColumn<int>("type");
  QTest::addColumn<bool>("titleEditable");
  QTest::newRow("dynaset") << "SELECT * FROM music_shelf" << engine::dbOpenDynaset << true;
  QTest::newRow("table") << "music_shelf" << engine::dbOpenTable << true;
  QTest::newRow("snapshot") << "SELECT * FROM music_shelf" << engine::dbOpenSnapshot << false;
  QTest::newRow("no key") << "SELECT Title, Artist FROM music_shelf" << engine::dbOpenDynaset
                          << false;
}

void TestBoundView::editableCellsFollowTheRecordSet() {
  QFETCH(QString, source);
  QFETCH(int, type);
  QFETCH(bool, titleEditable);
  catalog::RecordsetModel model;
  model.setRecordset(open(source.toStdString(), type));
  QCOMPARE(bool(model.flags(model.index(0, 1)) & Qt::ItemIsEditable), titleEditable);
  QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
  QVERIFY(!model.setData(model.index(0, 0), 99));
  if (!titleEditable) QVERIFY(!model.setData(model.index(0, 1), QStringLiteral("x")));
}

void TestBoundView::cellEditIsWrittenAtOnce() {
  catalog::RecordsetModel model;
  model.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  QVERIFY(model.setData(model.index(2, 4), QStringLiteral("1999")));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Year FROM music_shelf WHERE ID = 3"), "1999");
  QCOMPARE(model.data(model.index(2, 4)).toString(), QStringLiteral("1999"));
  QCOMPARE(changed.count(), 1);
  // The value as stored: Duration has integer affinity.
  QVERIFY(model.setData(model.index(2, 9), QStringLiteral("215")));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT typeof(Duration) FROM music_shelf WHERE ID = 3"),
           "integer");
}

void TestBoundView::unchangedCellWritesNothing() {
  catalog::RecordsetModel model;
  model.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  QVERIFY(model.setData(model.index(0, 1), QStringLiteral("Song 1")));
  QVERIFY(model.setData(model.index(0, 3), QString()));  // Album is NULL and stays so
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT n FROM updates"), "0");
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Album IS NULL FROM music_shelf WHERE ID = 1"),
           "1");
}

void TestBoundView::boxesFollowTheCurrentRow() {
  catalog::DataControl data;
  QLineEdit title, artist;
  data.bindTextBox(&title, "Title");
  data.bindTextBox(&artist, "Artist");
  QSignalSpy moved(&data, &catalog::DataControl::currentRowChanged);
  data.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  QCOMPARE(title.text(), QStringLiteral("Song 1"));
  QCOMPARE(artist.text(), QStringLiteral("Artist 1"));
  QCOMPARE(moved.count(), 1);

  title.setText(QStringLiteral("typed"));
  data.moveNext();
  QCOMPARE(title.text(), QStringLiteral("Song 2"));  // typed text is discarded, not written
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT n FROM updates"), "0");
  data.moveLast();
  QCOMPARE(data.currentRow(), 599);
  QCOMPARE(data.model()->rowCount(), 600);
  QCOMPARE(title.text(), QStringLiteral("Song 600"));
  // The last rows were read ahead; one in between is read when it is shown.
  QCOMPARE(data.model()->index(400, 1).data().toString(), QStringLiteral("Song 401"));
  data.moveNext();  // past the end: stays
  QCOMPARE(data.currentRow(), 599);
  data.movePrevious();
  QCOMPARE(title.text(), QStringLiteral("Song 599"));
  data.moveFirst();
  QCOMPARE(data.currentRow(), 0);
  data.movePrevious();
  QCOMPARE(data.currentRow(), 0);

  // A record set without the bound field empties its box; an empty one empties both.
  data.setRecordset(open("SELECT ID, Artist FROM music_shelf ORDER BY ID"));
  QCOMPARE(title.text(), QString());
  QCOMPARE(artist.text(), QStringLiteral("Artist 1"));
  data.setRecordset(open("SELECT * FROM music_shelf WHERE 0"));
  QCOMPARE(data.currentRow(), -1);
  QCOMPARE(artist.text(), QString());
}

// A box shows a value of megabytes cut; saving the row leaves that value whole, and Search looks
// for the part it shows. Typed into, the box holds what was typed.
void TestBoundView::boxesShowALongValueCutAndKeepIt() {
  const std::string title(1 << 20, 't');
  const auto set = m_db->Prepare("UPDATE music_shelf SET Title = ?1 WHERE ID = 1");
  set->bind(1, title);
  set->Execute();
  catalog::DataControl data;
  QLineEdit titleBox, artistBox;
  data.bindTextBox(&titleBox, "Title");
  data.bindTextBox(&artistBox, "Artist");
  data.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  QCOMPARE(titleBox.text().size(), catalog::kLongestShownText + 1);
  QCOMPARE(data.searchText(&titleBox), QString(catalog::kLongestShownText, QLatin1Char('t')));
  QCOMPARE(data.searchText(&artistBox), QStringLiteral("Artist 1"));
  artistBox.setText(QStringLiteral("New Artist"));
  data.UpdateRecord();
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT length(Title) FROM music_shelf WHERE ID = 1"),
           std::to_string(title.size()));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Artist FROM music_shelf WHERE ID = 1"),
           "New Artist");
  // Typed around the cut, the box would save only the value's start: refused, the value stays.
  titleBox.setText(titleBox.text().prepend(QStringLiteral("The ")));
  QVERIFY_THROWS_EXCEPTION(engine::EngineError, data.UpdateRecord());
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT length(Title) FROM music_shelf WHERE ID = 1"),
           std::to_string(title.size()));
  // Its whole text replaced, the box saves what it holds, and is an ordinary box after.
  titleBox.setText(QStringLiteral("Short again"));
  QCOMPARE(data.searchText(&titleBox), QStringLiteral("Short again"));
  data.UpdateRecord();
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 1"),
           "Short again");
  QCOMPARE(data.searchText(&titleBox), QStringLiteral("Short again"));
}

void TestBoundView::updateRecordWritesChangedBoxesInOneStatement() {
  catalog::DataControl data;
  QLineEdit title, artist;
  data.bindTextBox(&title, "Title");
  data.bindTextBox(&artist, "Artist");
  data.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  data.setCurrentRow(4);
  title.setText(QStringLiteral("New Title"));
  artist.setText(QStringLiteral("New Artist"));
  data.UpdateRecord();
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT n FROM updates"), "1");
  const auto row = testcatalogue::rows(m_path, "SELECT Title, Artist FROM music_shelf WHERE ID = 5");
  QCOMPARE(row.at(0).at(0), "New Title");
  QCOMPARE(row.at(0).at(1), "New Artist");
  QCOMPARE(data.model()->data(data.model()->index(4, 1)).toString(), QStringLiteral("New Title"));
}

void TestBoundView::updateRecordWithoutTypingKeepsNulls() {
  testcatalogue::run(m_path, "UPDATE music_shelf SET Artist = NULL WHERE ID = 1");
  catalog::DataControl data;
  QLineEdit title, artist;
  data.bindTextBox(&title, "Title");
  data.bindTextBox(&artist, "Artist");
  data.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  data.UpdateRecord();
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Artist IS NULL FROM music_shelf WHERE ID = 1"),
           "1");
}

void TestBoundView::updateRecordFailures() {
  catalog::DataControl data;
  QLineEdit title;
  data.bindTextBox(&title, "Title");
  auto numberOf = [&] {
    try {
      data.UpdateRecord();
    } catch (const engine::EngineError& e) {
      return e.number();
    }
    return 0;
  };
  QCOMPARE(numberOf(), 3021);  // no record set
  data.setRecordset(open("SELECT * FROM music_shelf WHERE 0"));
  QCOMPARE(numberOf(), 3021);  // no current row
  data.setRecordset(open("SELECT * FROM music_shelf", engine::dbOpenSnapshot));
  QCOMPARE(numberOf(), 3027);  // read-only, even with nothing typed
  title.setText(QStringLiteral("x"));
  QCOMPARE(numberOf(), 3027);
  data.setRecordset(open("SELECT ID, Artist FROM music_shelf"));
  title.setText(QStringLiteral("x"));
  QCOMPARE(numberOf(), 3265);  // typed into a box whose field the view lacks
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT n FROM updates"), "0");
}

void TestBoundView::refreshWithoutRecordSetDoesNothing() {
  catalog::DataControl data;
  QLineEdit title;
  data.bindTextBox(&title, "Title");
  title.setText(QStringLiteral("typed"));
  data.Refresh();
  data.UpdateControls();
  QCOMPARE(title.text(), QStringLiteral("typed"));
  QCOMPARE(data.model()->rowCount(), 0);
}

void TestBoundView::refreshShowsChangedRows() {
  catalog::DataControl data;
  QLineEdit title;
  data.bindTextBox(&title, "Title");
  data.setRecordset(open("SELECT * FROM music_shelf WHERE ID <= 3 ORDER BY ID DESC"));
  data.setCurrentRow(2);
  testcatalogue::run(m_path, "UPDATE music_shelf SET Title = 'Changed' WHERE ID = 3");
  QSignalSpy reset(data.model(), &QAbstractItemModel::modelReset);
  data.Refresh();
  QCOMPARE(reset.count(), 1);
  QCOMPARE(data.currentRow(), 0);
  QCOMPARE(title.text(), QStringLiteral("Changed"));

  // A refresh that fails leaves the rows as they were.
  testcatalogue::run(m_path, "ALTER TABLE music_shelf RENAME TO shelf_away");
  QVERIFY_THROWS_EXCEPTION(engine::EngineError, data.Refresh());
  QCOMPARE(data.model()->rowCount(), 3);
}

void TestBoundView::gridAndNavigatorShareTheCurrentRow() {
  catalog::DataControl data;
  catalog::BoundGrid grid;
  QLineEdit title;
  data.bindTextBox(&title, "Title");
  grid.setDataControl(&data);
  data.setRecordset(open("SELECT * FROM music_shelf ORDER BY ID"));
  QCOMPARE(grid.currentIndex().row(), 0);

  grid.setCurrentIndex(grid.model()->index(6, 2));
  QCOMPARE(data.currentRow(), 6);
  QCOMPARE(title.text(), QStringLiteral("Song 7"));
  QCOMPARE(data.model()->headerData(6, Qt::Vertical).toString(), QStringLiteral("\u25B6"));
  QCOMPARE(data.model()->headerData(5, Qt::Vertical).toString(), QString());

  data.moveNext();
  QCOMPARE(grid.currentIndex().row(), 7);
  QCOMPARE(grid.currentIndex().column(), 2);
  data.moveLast();
  QCOMPARE(grid.currentIndex().row(), 599);

  QSignalSpy heads(&grid, &catalog::BoundGrid::headClick);
  emit grid.horizontalHeader()->sectionClicked(3);
  QCOMPARE(heads.count(), 1);
  QCOMPARE(heads.at(0).at(0).toInt(), 3);
  QCOMPARE(grid.columnCaption(3), QStringLiteral("Album"));
  QVERIFY(!grid.isSortingEnabled());
}

QTEST_MAIN(TestBoundView)
#include "boundview_test.moc"
