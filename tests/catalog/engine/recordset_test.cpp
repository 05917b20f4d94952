#include <gtest/gtest.h>

#include <functional>
#include <set>

#include <sqlite3.h>

#include <chrono>
#include <filesystem>

#include "catalogue_fixture.h"
#include "testcatalogue.h"
#include "engine/errors.h"

namespace {

namespace fs = std::filesystem;
using engine::EngineError;
using engine::Value;
namespace err = engine::err;

constexpr const char* kAllRows = "Select * from music_shelf where Title like '*' ORDER BY ID";


class RecordsetTest : public CatalogueTest {
 protected:
  // `rows` songs titled "song 1" .. "song N", in one statement.
  void fill(engine::Database& db, int rows) {
    db.Execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
            std::to_string(rows) +
            ") INSERT INTO music_shelf (Title, Artist, Track) SELECT 'song ' || i, 'artist', i "
            "FROM n",
        64);
  }
};

TEST_F(RecordsetTest, TypesDecideWhatCanBeUpdated) {
  auto db = open();
  insertSong(*db, "a", "x");
  struct Case {
    std::string source;
    int type;
    bool updatable;
  };
  const Case cases[] = {
      {"music_shelf", engine::dbOpenTable, true},
      {"music_shelf", engine::dbOpenDynaset, true},
      {kAllRows, engine::dbOpenDynaset, true},
      {"SELECT Year, * FROM music_shelf", engine::dbOpenDynaset, true},
      {kAllRows, engine::dbOpenSnapshot, false},
      {"SELECT Title, Artist FROM music_shelf", engine::dbOpenDynaset, false},
      {"SELECT count(*) FROM music_shelf", engine::dbOpenDynaset, false},
      // Read through an index, then the table: still one row each.
      {"SELECT * FROM music_shelf WHERE Title like '*' ORDER BY Title DESC",
       engine::dbOpenDynaset, true},
      {"SELECT ID, Title FROM music_shelf ORDER BY Title", engine::dbOpenDynaset, true},
      // A self-join could pair one row's key with another row's columns.
      {"SELECT a.ID, b.Title FROM music_shelf a, music_shelf b", engine::dbOpenDynaset, false},
      {"SELECT a.ID, b.Title FROM music_shelf a JOIN music_shelf b ON b.ID = a.ID + 1",
       engine::dbOpenDynaset, false},
      {"SELECT b.ID, a.Title FROM music_shelf a JOIN music_shelf b ON b.ID = a.ID + 1",
       engine::dbOpenDynaset, false},
      // The second SELECT's rows would be written to the first one's table.
      {"SELECT ID, Title FROM music_shelf UNION ALL SELECT ID, Artist FROM music_shelf",
       engine::dbOpenDynaset, false},
  };
  for (const Case& c : cases) {
    auto rs = db->OpenRecordset(c.source, c.type);
    EXPECT_EQ(rs->Updatable(), c.updatable) << c.source;
    const int id = rs->fieldIndex("id");
    if (id >= 0) {
      EXPECT_FALSE(rs->isColumnUpdatable(id)) << c.source;
    }
  }
  // An expression column is read-only while the rest of its row can be written.
  auto mixed = db->OpenRecordset("SELECT ID, Title, Title || '!' AS Loud FROM music_shelf");
  EXPECT_TRUE(mixed->isColumnUpdatable(1));
  EXPECT_FALSE(mixed->isColumnUpdatable(2));
  EXPECT_EQ(errorNumber([&] { mixed->Update({{2, Value("x")}}); }), err::kNotUpdatable);
  auto snapshot = db->OpenRecordset(kAllRows, engine::dbOpenSnapshot);
  EXPECT_EQ(errorNumber([&] { snapshot->Update({{1, Value("x")}}); }), err::kNotUpdatable);
}

TEST_F(RecordsetTest, RefusesBadSourcesAndTypes) {
  auto db = open();
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("music_shelf", 3); }), err::kInvalidArgument);
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("no_such_table", engine::dbOpenTable); }),
            err::kTableNotFound);
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset(kAllRows, engine::dbOpenTable); }),
            err::kTableNotFound);
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("SELECT 1; DELETE FROM music_shelf"); }),
            err::kTrailingText);
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("DELETE FROM music_shelf"); }),
            err::kInvalidArgument);
  EXPECT_NE(errorNumber([&] { db->OpenRecordset("SELECT * FROM music_shelf ORDER BY Nope"); }), 0);
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("SELECT 1 -- a trailing comment"); }), 0);
}

TEST_F(RecordsetTest, TableTypeListsEveryRowInKeyOrder) {
  auto db = open();
  insertSong(*db, "b", "x");
  db->Execute("INSERT INTO music_shelf (Artist) VALUES ('no title')", 64);
  insertSong(*db, "a", "x");
  auto table = db->OpenRecordset("music_shelf", engine::dbOpenTable);
  table->MoveLast();
  EXPECT_EQ(table->rowCount(), 3);
  for (int row = 0; row < 3; ++row) EXPECT_EQ(table->value(row, 0).integer(), row + 1);
  EXPECT_EQ(table->fieldCount(), 12);
  EXPECT_EQ(table->fieldName(8), "Filename");
  // The all-rows query leaves the row without a title out.
  auto all = db->OpenRecordset(kAllRows);
  all->MoveLast();
  EXPECT_EQ(all->rowCount(), 2);
}

TEST_F(RecordsetTest, SnapshotKeepsItsCopyUntilRequery) {
  auto db = open();
  auto other = open();
  insertSong(*db, "a", "x");
  auto snapshot = db->OpenRecordset(kAllRows, engine::dbOpenSnapshot);
  auto dynaset = db->OpenRecordset(kAllRows, engine::dbOpenDynaset);
  insertSong(*db, "b", "x");
  insertSong(*other, "c", "x");
  db->Execute("UPDATE music_shelf SET Title = 'changed' WHERE Title = 'a'", 64);
  EXPECT_EQ(snapshot->rowCount(), 1);
  EXPECT_EQ(snapshot->value(0, 1).text(), "a");
  dynaset->Requery();
  dynaset->MoveLast();
  EXPECT_EQ(dynaset->rowCount(), 3);
  EXPECT_EQ(dynaset->value(0, 1).text(), "changed");
  snapshot->Requery();
  EXPECT_EQ(snapshot->rowCount(), 3);
}

TEST_F(RecordsetTest, ReadsLazilyAndFinishesBeforeAnyWrite) {
  auto db = open();
  fill(*db, 1000);
  auto other = open();
  auto view = db->OpenRecordset(kAllRows);
  EXPECT_EQ(view->rowCount(), static_cast<std::int64_t>(engine::Recordset::kBatchRows));
  EXPECT_FALSE(view->isComplete());
  // A write on another handle reads the open view to its end first; the view does not see it.
  insertSong(*other, "new", "x");
  EXPECT_TRUE(view->isComplete());
  EXPECT_EQ(view->rowCount(), 1000);
  // The insert on the same handle as an open view is committed at once.
  auto again = db->OpenRecordset(kAllRows);
  insertSong(*db, "newer", "x");
  EXPECT_EQ(count(*other), 1002);
  EXPECT_EQ(again->rowCount(), 1001);
}

TEST_F(RecordsetTest, OpenViewDoesNotLetTheWalGrow) {
  auto db = open();
  fill(*db, 3000);
  auto view = db->OpenRecordset(kAllRows);
  for (int i = 0; i < 3000; ++i) insertSong(*db, "row " + std::to_string(i), "artist");
  // Checkpoints keep recycling the log; a reader pinned across the inserts would let it grow
  // to tens of megabytes.
  EXPECT_LT(fs::file_size(m_path + "-wal"), 6u << 20);
  EXPECT_EQ(view->rowCount(), 3000);
}

TEST_F(RecordsetTest, UpdateWritesBoundValuesAndKeepsTheCacheTrue) {
  auto db = open();
  insertSong(*db, "old", "old");
  auto view = db->OpenRecordset("SELECT Year, * FROM music_shelf");
  const int title = view->fieldIndex("Title");
  const int artist = view->fieldIndex("Artist");
  const int track = view->fieldIndex("Track");
  const std::string tricky = "Don't '); DROP TABLE music_shelf; --";
  view->Update({{title, Value(tricky)}, {artist, Value("O'Malley")}, {track, Value("07")}});
  EXPECT_EQ(view->Fields("Title").Value().text(), tricky);
  EXPECT_EQ(view->Fields(track).Value(), Value(std::int64_t{7}));  // stored as the table keeps it

  auto reread = open()->OpenRecordset("music_shelf", engine::dbOpenTable);
  EXPECT_EQ(reread->Fields("Title").Value().text(), tricky);
  EXPECT_EQ(reread->Fields("Artist").Value().text(), "O'Malley");

  db->Execute("DELETE FROM music_shelf", 64);
  EXPECT_EQ(errorNumber([&] { view->Update({{title, Value("gone")}}); }), err::kRecordDeleted);
}

// A trigger that drops an edit leaves the row as it was; the edit must not be reported as a
// deleted row, nor shown as saved.
TEST_F(RecordsetTest, AnEditATriggerIgnoresSaysSoAndKeepsTheRow) {
  auto db = open();
  insertSong(*db, "kept", "x");
  db->Execute(
      "CREATE TRIGGER keep_titles BEFORE UPDATE OF Title ON music_shelf "
      "BEGIN SELECT RAISE(IGNORE); END");
  auto view = db->OpenRecordset("SELECT * FROM music_shelf");
  std::string text;
  EXPECT_EQ(errorNumber([&] { view->Update({{view->fieldIndex("Title"), Value("new")}}); }, &text),
            err::kChangeIgnored);
  EXPECT_NE(text.find("trigger"), std::string::npos) << text;
  EXPECT_EQ(view->Fields("Title").Value().text(), "kept");
  EXPECT_EQ(count(*db, "WHERE Title = 'kept'"), 1);
}

TEST_F(RecordsetTest, CurrentRowMovesLikeDao) {
  auto db = open();
  auto empty = db->OpenRecordset(kAllRows);
  EXPECT_TRUE(empty->Bof());
  EXPECT_TRUE(empty->Eof());
  EXPECT_EQ(errorNumber([&] { empty->Fields(0); }), err::kNoCurrentRecord);
  EXPECT_EQ(errorNumber([&] { empty->MoveNext(); }), err::kNoCurrentRecord);

  fill(*db, 600);
  auto rs = db->OpenRecordset(kAllRows);
  EXPECT_FALSE(rs->Bof());
  EXPECT_EQ(rs->Fields("Title").Value().text(), "song 1");
  rs->setAbsolutePosition(299);  // beyond the first batch
  EXPECT_EQ(rs->Fields(1).Value().text(), "song 300");
  rs->MoveLast();
  EXPECT_EQ(rs->AbsolutePosition(), 599);
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  EXPECT_EQ(errorNumber([&] { rs->Fields(0); }), err::kNoCurrentRecord);
  rs->MoveFirst();
  rs->MovePrevious();
  EXPECT_TRUE(rs->Bof());
  EXPECT_EQ(errorNumber([&] { rs->setAbsolutePosition(600); }), err::kNoCurrentRecord);
  EXPECT_EQ(errorNumber([&] { rs->Fields(12); }), err::kItemNotFound);
}

TEST_F(RecordsetTest, QueryFailingMidwayKeepsTheRowsBefore) {
  auto db = open();
  fill(*db, 400);
  // abs() of the smallest integer overflows: the query fails at row 300.
  auto rs = db->OpenRecordset(
      "SELECT ID, abs(CASE WHEN ID = 300 THEN -9223372036854775807 - 1 ELSE ID END) FROM "
      "music_shelf ORDER BY ID");
  EXPECT_EQ(rs->rowCount(), 256);
  EXPECT_NE(errorNumber([&] { rs->fetchMore(); }), 0);
  EXPECT_TRUE(rs->isComplete());
  EXPECT_EQ(rs->rowCount(), 299);
  EXPECT_EQ(rs->fetchMore(), 0u);

  // The same failure met while a write finishes the view is reported by the next read.
  auto later = db->OpenRecordset(
      "SELECT ID, abs(CASE WHEN ID = 300 THEN -9223372036854775807 - 1 ELSE ID END) FROM "
      "music_shelf ORDER BY ID");
  insertSong(*db, "x", "y");
  EXPECT_FALSE(later->isComplete());  // the failure still has to be met
  EXPECT_NE(errorNumber([&] { later->fetchMore(); }), 0);
  EXPECT_TRUE(later->isComplete());
  EXPECT_EQ(later->rowCount(), 299);
}

TEST_F(RecordsetTest, RecordsetOutlivesItsHandle) {
  auto db = open();
  fill(*db, 700);
  auto rs = db->OpenRecordset(kAllRows);
  db->Close();
  db.reset();
  rs->MoveLast();
  EXPECT_EQ(rs->knownRows(), 700);
  EXPECT_EQ(rs->Fields(1).Value().text(), "song 700");
  rs->Requery();
  EXPECT_EQ(rs->Fields(1).Value().text(), "song 1");
  rs->Update({{1, Value("renamed")}});
  EXPECT_EQ(count(*open(), "WHERE Title = 'renamed'"), 1);
}

// A requery runs the query again only when the catalogue changed since the set read it: through
// its own connection, another handle, a table's design, or another program.
TEST_F(RecordsetTest, RequeryRunsAgainOnlyAfterAChange) {
  auto db = open();
  fill(*db, 3);
  // random() tells a second run from the rows kept.
  auto rs = db->OpenRecordset("SELECT random(), Title FROM music_shelf");
  const auto kept = [&] { return rs->value(0, 0); };
  Value first = kept();
  rs->MoveNext();
  rs->Requery();
  EXPECT_EQ(kept(), first);
  EXPECT_EQ(rs->AbsolutePosition(), 0);

  const std::vector<std::function<void()>> changes = {
      [&] { insertSong(*db, "own", "x"); },
      [&] { insertSong(*open(), "other handle", "x"); },
      [&] { db->Execute("CREATE INDEX requery_i ON music_shelf (Artist)"); },
      [&] { testcatalogue::run(m_path, "DELETE FROM music_shelf WHERE Title = 'own'"); },
  };
  for (const auto& change : changes) {
    change();
    rs->Requery();
    EXPECT_NE(kept(), first);
    first = kept();
    rs->Requery();
    EXPECT_EQ(kept(), first);
  }
}

// A set is counted without reading its rows, whether its reading is open or waits to resume
// after a Requery that kept its rows; a change since it opened means it cannot be counted.
TEST_F(RecordsetTest, CountsItsRowsWithoutReadingThem) {
  auto db = open();
  fill(*db, 1000);
  auto rs = db->OpenRecordset("SELECT * FROM music_shelf ORDER BY Title");
  const std::int64_t read = rs->rowCount();
  EXPECT_EQ(rs->countRows(), 1000);
  EXPECT_EQ(rs->rowCount(), read);
  rs->Requery();  // nothing changed: the rows stay, the reading waits to resume
  EXPECT_EQ(rs->countRows(), 1000);
  EXPECT_EQ(rs->rowCount(), read);
  insertSong(*open(), "another", "x");
  EXPECT_EQ(rs->countRows(), std::nullopt);
  rs->Requery();
  EXPECT_EQ(rs->countRows(), 1001);
  rs->readAll();
  EXPECT_EQ(rs->countRows(), 1001);
}

// The last row of a large set is found by counting and reading the last rows alone; the rows in
// between are read when asked for, and everything reads as if the set had been read in order.
TEST_F(RecordsetTest, LastRowsAreReadAheadAndTheRestOnDemand) {
  auto db = open();
  fill(*db, 2000);
  for (const char* sql : {"SELECT * FROM music_shelf WHERE Title like '*' ORDER BY ID DESC;",
                          "SELECT ID, Title FROM music_shelf ORDER BY Title -- by name\n",
                          "SELECT * FROM music_shelf WHERE ID % 2 = 0"}) {
    SCOPED_TRACE(sql);
    auto whole = db->OpenRecordset(sql);
    whole->readAll();
    const int title = whole->fieldIndex("Title");

    auto rs = db->OpenRecordset(sql);
    rs->MoveLast();
    EXPECT_LT(rs->rowCount(), whole->rowCount());
    ASSERT_EQ(rs->knownRows(), whole->rowCount());
    EXPECT_EQ(rs->AbsolutePosition(), whole->rowCount() - 1);
    EXPECT_EQ(rs->Fields(title).Value(), whole->value(whole->rowCount() - 1, title));
    rs->MoveNext();
    EXPECT_TRUE(rs->Eof());
    EXPECT_EQ(rs->rowCount(), 256);  // nothing read in between yet

    // A row in the middle is read up to, then the rest.
    const std::int64_t middle = whole->rowCount() / 2;
    rs->ensureRow(middle);
    EXPECT_EQ(rs->value(middle, title), whole->value(middle, title));
    rs->readAll();
    EXPECT_EQ(rs->rowCount(), whole->rowCount());
    for (std::int64_t row : {std::int64_t{0}, middle, whole->rowCount() - 1})
      EXPECT_EQ(rs->value(row, title), whole->value(row, title));
  }

  // An edit of a last row: the rows in between are read before the write, in the snapshot the
  // last rows came from.
  auto rs = db->OpenRecordset("SELECT * FROM music_shelf ORDER BY ID");
  rs->MoveLast();
  rs->Update({{rs->fieldIndex("Title"), Value("last one")}});
  EXPECT_EQ(rs->rowCount(), 2000);
  EXPECT_EQ(count(*db, "WHERE Title = 'last one' AND ID = 2000"), 1);
  rs->readAll();
  EXPECT_EQ(rs->rowCount(), 2000);
  EXPECT_EQ(rs->value(1999, rs->fieldIndex("Title")).text(), "last one");
  EXPECT_EQ(rs->value(1000, rs->fieldIndex("ID")).integer(), 1001);

  // An order no index gives would be sorted all over again to skip to the end: the set is read
  // in order instead.
  auto sorted = db->OpenRecordset("SELECT ID FROM music_shelf ORDER BY lower(Title) DESC");
  sorted->MoveLast();
  EXPECT_EQ(sorted->rowCount(), 2000);
  EXPECT_EQ(sorted->Fields(0).Value().integer(), 2000);  // "last one" sorts last, descending

  // A set with a LIMIT of its own is counted as it is.
  auto limited = db->OpenRecordset("SELECT ID FROM music_shelf ORDER BY ID LIMIT 1500");
  limited->MoveLast();
  EXPECT_EQ(limited->knownRows(), 1500);
  EXPECT_EQ(limited->Fields(0).Value().integer(), 1500);
}

// After a jump to the end, writes that move, drop or add rows before the last ones leave the set
// whole: every row once, as many as it said it had.
TEST_F(RecordsetTest, WritesAfterAJumpToTheEndKeepTheSetWhole) {
  auto db = open();
  fill(*db, 2000);
  const auto ids = [](engine::Recordset& rs) {
    rs.readAll();
    std::set<std::int64_t> seen;
    for (std::int64_t r = 0; r < rs.rowCount(); ++r)
      seen.insert(rs.value(r, rs.fieldIndex("ID")).integer());
    return seen;
  };
  {
    auto rs = db->OpenRecordset("SELECT * FROM music_shelf ORDER BY Title");
    rs->MoveLast();
    rs->updateRow(0, {{rs->fieldIndex("Title"), Value("zzz")}});  // now sorts last
    EXPECT_EQ(ids(*rs).size(), 2000u);
    EXPECT_EQ(rs->rowCount(), 2000);
  }
  {
    auto rs = db->OpenRecordset("SELECT * FROM music_shelf WHERE Artist = 'artist' ORDER BY ID");
    rs->MoveLast();
    const std::int64_t known = rs->knownRows();
    rs->updateRow(10, {{rs->fieldIndex("Artist"), Value("other")}});  // out of the filter
    EXPECT_EQ(static_cast<std::int64_t>(ids(*rs).size()), known);
    EXPECT_EQ(rs->rowCount(), known);
  }
  {
    auto rs = db->OpenRecordset("SELECT * FROM music_shelf ORDER BY Title");
    rs->MoveLast();
    insertSong(*open(), "a first", "x");  // another handle, as the import writes
    EXPECT_EQ(static_cast<std::int64_t>(ids(*rs).size()), rs->rowCount());
  }
}

// A requery sees what another program added while the set was still reading: the set's own
// statement held the snapshot it began with.
TEST_F(RecordsetTest, RequerySeesRowsAddedWhileTheSetWasReading) {
  auto db = open();
  fill(*db, 1000);
  auto rs = db->OpenRecordset("SELECT * FROM music_shelf ORDER BY ID");
  ASSERT_EQ(rs->rowCount(), 256);
  testcatalogue::run(m_path, "INSERT INTO music_shelf (Title) VALUES ('from another program')");
  rs->Requery();
  rs->readAll();
  EXPECT_EQ(rs->rowCount(), 1001);

  // With nothing changed, the rows already read stay and reading goes on after them.
  auto same = db->OpenRecordset("SELECT random(), ID FROM music_shelf ORDER BY ID");
  const Value first = same->value(0, 0);
  same->Requery();
  EXPECT_EQ(same->value(0, 0), first);
  same->readAll();
  EXPECT_EQ(same->rowCount(), 1001);
  EXPECT_EQ(same->value(1000, 1).integer(), 1001);
}

TEST_F(RecordsetTest, FailedRequeryLeavesTheSetAsItWas) {
  auto db = open();
  fill(*db, 10);
  auto rs = db->OpenRecordset("SELECT ID, Title FROM music_shelf ORDER BY ID");
  db->Execute("ALTER TABLE music_shelf RENAME TO shelf_gone", 64);
  EXPECT_NE(errorNumber([&] { rs->Requery(); }), 0);
  EXPECT_EQ(rs->rowCount(), 10);
  EXPECT_EQ(rs->value(9, 1).text(), "song 10");
}

}  // namespace

namespace {

constexpr const char* kEndless =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) ";

class LimitsTest : public RecordsetTest {};

TEST_F(LimitsTest, RunawayStatementsAreStoppedAndChangeNothing) {
  auto db = open();
  db->setQueryTimeout(std::chrono::milliseconds(200));
  std::string text;
  // A sort over an endless input never yields its first row.
  EXPECT_EQ(errorNumber([&] {
              db->OpenRecordset(std::string("SELECT * FROM (") + kEndless +
                                "SELECT x FROM c) ORDER BY x DESC");
            },
            &text) & 0xFF,
            SQLITE_INTERRUPT);
  EXPECT_NE(text.find("stopped"), std::string::npos) << text;
  // An endless insert is stopped and rolled back whole.
  EXPECT_EQ(errorNumber([&] {
              db->Execute(std::string(kEndless) +
                          "INSERT INTO music_shelf (Title) SELECT x FROM c", 64);
            }) & 0xFF,
            SQLITE_INTERRUPT);
  EXPECT_EQ(count(*db), 0);
  // The handle carries on.
  insertSong(*db, "after", "x");
  EXPECT_EQ(count(*db), 1);
}

// One function call cannot be stopped from outside: like() watches the time limit itself, and
// no call may build a value large enough to take seconds.
TEST_F(LimitsTest, LongFunctionCallsAreBoundedToo) {
  auto db = open();
  db->setQueryTimeout(std::chrono::milliseconds(300));
  std::string text;
  EXPECT_EQ(errorNumber([&] {
              db->OpenRecordset("SELECT printf('%.*c',120000,'a') LIKE "
                                "('*'||printf('%.*c',120000,'?')||'b')");
            },
            &text) & 0xFF,
            SQLITE_INTERRUPT);
  EXPECT_NE(text.find("stopped after running"), std::string::npos) << text;

  // The size limits answer long before any time limit, however busy the machine.
  db->setQueryTimeout(std::chrono::minutes(1));
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("SELECT 'a' like printf('%.*c', 2000000, '?')"); },
                        &text),
            SQLITE_ERROR);
  EXPECT_NE(text.find("pattern is too long"), std::string::npos) << text;
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("SELECT length(zeroblob(100000000))"); }) & 0xFF,
            SQLITE_TOOBIG);
  EXPECT_EQ(errorNumber([&] {
              db->OpenRecordset("SELECT replace(printf('%.*c', 1000000, 'x'), 'x', "
                                "printf('%.*c', 1000, 'y'))");
            }) & 0xFF,
            SQLITE_TOOBIG);
  insertSong(*db, "after", "x");
  EXPECT_EQ(count(*db), 1);
}

// Values that like() computed must not be kept in the file, where other programs would check
// them with SQLite's own like(); a view computes them afresh and is fine.
TEST_F(LimitsTest, LikeStaysOutOfIndexesAndConstraints) {
  auto db = open();
  for (const char* sql : {"CREATE INDEX i ON music_shelf (Title like 'a*')",
                          "CREATE INDEX i ON music_shelf (Title) WHERE Artist like 'a*'",
                          "CREATE TABLE t (a CHECK (a like 'x*'))",
                          "CREATE TABLE t (a, b AS (a like 'x'))"}) {
    std::string text;
    EXPECT_EQ(errorNumber([&] { db->Execute(sql); }, &text), err::kStatementRefused) << sql;
    EXPECT_NE(text.find("like cannot be used"), std::string::npos) << text;
  }
  db->Execute("CREATE VIEW liked AS SELECT * FROM music_shelf WHERE Title like 'a*'");
  db->Execute("CREATE INDEX lowered ON music_shelf (lower(Title))");
  insertSong(*db, "abc", "x");
  EXPECT_EQ(db->OpenRecordset("SELECT count(*) FROM liked")->Fields(0).Value().integer(), 1);
  db->Execute("ALTER TABLE music_shelf RENAME COLUMN Comment TO Note");
}

TEST_F(LimitsTest, ViewThatWouldNotFitIsCutOff) {
  auto db = open();
  fill(*db, 2000);
  db->setCacheLimit(3 << 20);
  auto cross = db->OpenRecordset("SELECT a.Title, b.Title FROM music_shelf a, music_shelf b");
  EXPECT_EQ(errorNumber([&] { cross->readAll(); }), err::kViewTooLarge);
  EXPECT_TRUE(cross->isComplete());
  EXPECT_GT(cross->rowCount(), 1000);
  EXPECT_LT(cross->rowCount(), 400000);
  // Met while a write finishes the open views, the limit ends the view, not the write.
  auto again = db->OpenRecordset("SELECT a.Title, b.Title FROM music_shelf a, music_shelf b");
  insertSong(*db, "written", "x");
  EXPECT_EQ(count(*db, "WHERE Title = 'written'"), 1);
  EXPECT_EQ(errorNumber([&] { again->readAll(); }), err::kViewTooLarge);
}

TEST_F(LimitsTest, UpdatesFinishOpenViewsOnEveryHandleFirst) {
  auto db = open();
  auto other = open();
  fill(*db, 3000);
  auto mine = db->OpenRecordset(kAllRows);
  auto theirs = other->OpenRecordset(kAllRows);
  for (int i = 0; i < 3000; ++i) mine->updateRow(i % 100, {{2, Value("artist " + std::to_string(i))}});
  EXPECT_TRUE(theirs->isComplete());
  EXPECT_EQ(theirs->value(0, 2).text(), "artist");  // read before the first update
  EXPECT_LT(fs::file_size(m_path + "-wal"), 6u << 20);
}

TEST_F(LimitsTest, ColumnsKnowTheirOrigin) {
  auto db = open();
  db->Execute("CREATE TABLE other (ID INTEGER PRIMARY KEY, Name TEXT)", 64);
  auto rs = db->OpenRecordset(
      "SELECT Year AS ID, other.*, music_shelf.*, 1 + 1 AS Two FROM other, music_shelf",
      engine::dbOpenSnapshot);
  EXPECT_EQ(rs->origin(0).column, "Year");
  EXPECT_EQ(rs->origin(1).table, "other");
  EXPECT_EQ(rs->origin(1).column, "ID");
  EXPECT_EQ(rs->origin(3).table, "music_shelf");
  EXPECT_EQ(rs->origin(3).column, "ID");
  EXPECT_TRUE(rs->origin(rs->fieldCount() - 1).table.empty());
}

}  // namespace
