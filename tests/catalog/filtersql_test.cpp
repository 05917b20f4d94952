// The filter's SQL against a real catalogue: with the index and without, with rows the index has
// not caught up with, and with text that tries to break out of the SQL.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "catalog/filterquery.h"
#include "catalog/searchindex.h"
#include "engine/engine.h"
#include "engine/searchfold.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

namespace {

using Ids = std::vector<long long>;

class FilterSqlTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    path = dir.path("music_1.mdb");
    const std::string present = dir.write("present.mp3", "x");
    testcatalogue::make(path);
    testcatalogue::run(
        path,
        "INSERT INTO music_shelf (ID, Title, Artist, Album, Year, Genre, Track, Comment, "
        "Filename, Duration, Bitrate, VBR) VALUES "
        "(1, 'Café del Mar', 'The Beatles', 'Help', '1994', 'Pop', 1, NULL, '" + present +
            "', 215, 128, 'False'),"
        "(2, 'CAFÉ noir', 'Miles', 'Kind', '1959', 'Jazz', 2, NULL, '/nonexistent/a.mp3', 610, "
        "320, 'True'),"
        "(3, 'Cafe\xCC\x81 Society', 'X', NULL, 'junk', NULL, '', NULL, NULL, 90, 192, NULL),"
        "(4, NULL, 'Beatles tribute', NULL, '1994-05-01', NULL, 7, 'it''s 100% * (weird)', "
        "'/x/\"q\".mp3', 3600, 256, 'true'),"
        "(5, 'Other', 'Someone', NULL, '', 'Rock', 3, 'a \"quote\"', 'rel.mp3', NULL, 96, "
        "'False')");
    if (GetParam()) {
      db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
      EXPECT_TRUE(catalog::ensureSearchIndex(*db));
      while (catalog::catchUpSearchIndex(*db, 2) > 0) {
      }
    } else {
      db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    }
    ASSERT_EQ(catalog::hasSearchIndex(*db), GetParam());
  }

  Ids ids(const std::string& text, const std::optional<catalog::SortOrder>& order = {}) {
    const catalog::FilterQuery query = catalog::parseFilter(text);
    EXPECT_TRUE(query.valid()) << text;
    auto view = db->OpenRecordset(catalog::filterSql(query, GetParam(), order));
    view->readAll();
    EXPECT_TRUE(view->Updatable()) << text;
    Ids out;
    for (std::int64_t row = 0; row < view->rowCount(); ++row)
      out.push_back(std::stoll(view->value(row, 0).toText()));
    return out;
  }

  testsupport::TempDir dir;
  std::string path;
  std::shared_ptr<engine::Database> db;
};

TEST_P(FilterSqlTest, FindsWhatEachFormSays) {
  const std::vector<std::pair<const char*, Ids>> cases = {
      {"", {1, 2, 3, 4, 5}},
      {"cafe", {1, 2, 3}},
      {"CAFÉ", {1, 2, 3}},
      {"tles", {1, 4}},
      {"beatles -tribute", {1}},
      {"\"del mar\"", {1}},
      {"\"cafe society\"", {3}},
      {"artist:beatles", {1, 4}},
      {"artist:\"the beatles\"", {1}},
      {"title:beatles", {}},
      {"-title:cafe", {4, 5}},
      {"path:/nonexistent", {2}},
      {"genre:ja", {2}},
      {"ja", {2}},
      {"bitrate<128", {5}},
      {"bitrate<=128", {1, 5}},
      {"bitrate>256", {2}},
      {"bitrate>=256", {2, 4}},
      {"bitrate:128..192", {1, 3}},
      {"track=1", {1}},
      {"track>2", {4, 5}},
      {"-track>2", {1, 2, 3}},
      {"year:1994", {1, 4}},
      {"year:1950..1960", {2}},
      {"year:..1979", {2}},
      {"year:1990..", {1, 4}},
      {"year:junk", {3}},
      {"duration>=10:00", {2, 4}},
      {"duration<90", {}},
      {"length:1:30", {3}},
      {"vbr:yes", {2, 4}},
      {"vbr:no", {1, 3, 5}},
      {"missing:yes", {2, 4, 5}},
      {"missing:no", {1, 3}},
      {"id:2..3", {2, 3}},
      {"cafe bitrate>150", {2, 3}},
      {"cafe -id:1", {2, 3}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ids(text), expected) << text;
}

TEST_P(FilterSqlTest, SortsWithinTheFilter) {
  EXPECT_EQ(ids("cafe", catalog::SortOrder{"title", false}), (Ids{3, 2, 1}));  // by bytes after ASCII case
  EXPECT_EQ(ids("cafe", catalog::SortOrder{"Bitrate", true}), (Ids{2, 3, 1}));
  EXPECT_EQ(ids("cafe", catalog::SortOrder{"no such column", true}), (Ids{1, 2, 3}));
}

TEST_P(FilterSqlTest, TextThatLooksLikeSqlIsOnlyLookedFor) {
  const std::vector<std::pair<const char*, Ids>> cases = {
      {"'", {4}},
      {"\"it's 100% *\"", {4}},
      {"%", {4}},
      {"*", {4}},
      {")", {4}},
      {"\"\"\"\"", {4, 5}},
      {"'); DROP TABLE music_shelf; --", {}},
      {"\"' OR 1=1 --\"", {}},
      {"comment:\"\"\"quote\"\"\"", {5}},
      {"\"a \"\"quote\"", {5}},
      {"\"NEAR(a b)\" OR", {}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ids(text), expected) << text;
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM music_shelf"), "5");
}

TEST_P(FilterSqlTest, RowsOtherProgramsChangedShowAsTheyAreNow) {
  // Another program writes behind the index: a new row, an edit, a deletion, a new ID.
  testcatalogue::run(path,
                     "INSERT INTO music_shelf (ID, Title) VALUES (6, 'Cafe latte');"
                     "UPDATE music_shelf SET Title = 'Tea' WHERE ID = 1;"
                     "DELETE FROM music_shelf WHERE ID = 2;"
                     "UPDATE music_shelf SET ID = 9 WHERE ID = 3;"
                     "UPDATE music_shelf SET Comment = 'cafe' WHERE ID = 5;");
  EXPECT_EQ(ids("cafe"), (Ids{5, 6, 9}));
  EXPECT_EQ(ids("-cafe"), (Ids{1, 4}));
  EXPECT_EQ(ids("tea"), (Ids{1}));
  if (GetParam()) {
    EXPECT_GT(catalog::searchIndexPending(*db), 0);
    while (catalog::catchUpSearchIndex(*db, 3) > 0) {
    }
    EXPECT_EQ(catalog::searchIndexPending(*db), 0);
  }
  EXPECT_EQ(ids("cafe"), (Ids{5, 6, 9}));
  EXPECT_EQ(ids("tea"), (Ids{1}));
}

// As many terms as the filter takes, of each kind, still make a query SQLite runs.
TEST_P(FilterSqlTest, TakesTwoHundredTermsAndRefusesMore) {
  for (const char* word : {"cafe ", "a ", "-zzz ", "-z ", "track>0 ", "-bitrate<1 "}) {
    std::string text;
    for (int n = 0; n < 200; ++n) text += word;
    EXPECT_FALSE(ids(text).empty()) << word;
    const catalog::FilterQuery more = catalog::parseFilter(text + word);
    ASSERT_EQ(more.problems.size(), 1u);
    EXPECT_NE(more.problems.front().find("201"), std::string::npos) << more.problems.front();
  }
}

TEST_P(FilterSqlTest, EditsInAFilteredViewReachTheCatalogue) {
  auto view = db->OpenRecordset(catalog::filterSql(catalog::parseFilter("cafe"), GetParam()));
  ASSERT_TRUE(view->Updatable());
  view->updateRow(0, {{view->fieldIndex("Title"), engine::Value(std::string("Renamed"))}});
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT Title FROM music_shelf WHERE ID = 1"), "Renamed");
  EXPECT_EQ(ids("cafe"), (Ids{2, 3}));
}

INSTANTIATE_TEST_SUITE_P(Filter, FilterSqlTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "WithIndex" : "WithoutIndex";
                         });

TEST(SearchIndex, BuildsInSlicesAndStaysAwayFromReadOnlyOrIndexlessWork) {
  testsupport::TempDir dir;
  const std::string path = dir.path("music_1.mdb");
  testcatalogue::make(path);
  testcatalogue::addSongs(path, {{"a", "b"}, {"c", "d"}, {"e", "f"}});
  auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
  EXPECT_FALSE(catalog::hasSearchIndex(*db));
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 10), 0u);
  EXPECT_EQ(catalog::searchIndexPending(*db), 0);
  EXPECT_TRUE(catalog::ensureSearchIndex(*db));
  EXPECT_FALSE(catalog::ensureSearchIndex(*db));
  EXPECT_EQ(catalog::searchIndexPending(*db), 3);
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 2), 2u);
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 2), 1u);
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 2), 0u);
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM shelf_search"), "3");
}

// Rows at or below the watermark never rise above it, so those already there when the index is
// made must be queued with it: another program may have chosen 0 or a negative ID.
TEST(SearchIndex, RowsAtOrBelowZeroWhenTheIndexIsMadeAreFound) {
  testsupport::TempDir dir;
  const std::string path = dir.path("music_1.mdb");
  testcatalogue::make(path);
  testcatalogue::run(path,
                     "INSERT INTO music_shelf (ID, Title) VALUES (0, 'Cafe zero'), (-3, 'Cafe "
                     "minus'), (5, 'Cafe five'), (-4, 'Tea')");
  auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
  ASSERT_TRUE(catalog::ensureSearchIndex(*db));
  EXPECT_EQ(catalog::searchIndexPending(*db), 4);
  const auto ids = [&](bool indexed) {
    auto view = db->OpenRecordset(catalog::filterSql(catalog::parseFilter("cafe"), indexed));
    view->readAll();
    Ids out;
    for (std::int64_t row = 0; row < view->rowCount(); ++row)
      out.push_back(std::stoll(view->value(row, 0).toText()));
    return out;
  };
  EXPECT_EQ(ids(true), (Ids{-3, 0, 5}));
  while (catalog::catchUpSearchIndex(*db, 2) > 0) {
  }
  EXPECT_EQ(catalog::searchIndexPending(*db), 0);
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT group_concat(rowid) FROM shelf_search"),
            "-4,-3,0,5");
  EXPECT_EQ(ids(true), (Ids{-3, 0, 5}));
  EXPECT_EQ(ids(false), (Ids{-3, 0, 5}));
}

// Number columns as other programs leave them: negative numbers, reals, text where a number
// belongs ('' tracks, 'long' durations), years stored as numbers or as text.
TEST(FilterNumbers, HoldExactlyWhatTheyCompare) {
  testsupport::TempDir dir;
  const std::string path = dir.path("music_1.mdb");
  testcatalogue::make(path);
  testcatalogue::run(path,
                     "INSERT INTO music_shelf (ID, Title, Track, Duration, Bitrate, Year) VALUES "
                     "(1, 'a', -1, 'long', 320, '1994'), (2, 'b', -5, 200.5, 'vbr', ' 1994'), "
                     "(3, 'c', 3, 600, 128.0, '1994.0'), (4, 'd', '5/12', NULL, 400, 1994), "
                     "(5, 'e', '', 100, NULL, 'x'), (6, 'f', 0, X'01', 319, '2001-02-03')");
  auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
  const std::vector<std::pair<const char*, Ids>> cases = {
      {"track<0", {1, 2}},
      {"track<=0", {1, 2, 6}},
      {"-track<0", {3, 4, 5, 6}},
      {"track>=0", {3, 6}},
      {"track:5", {}},
      {"track:0..3", {3, 6}},
      {"-track:0..3", {1, 2, 4, 5}},
      {"duration>=200", {2, 3}},
      {"duration<200", {5}},
      {"-duration>=200", {1, 4, 5, 6}},
      {"duration:100", {5}},
      {"bitrate>=320", {1, 4}},
      {"bitrate>319", {1, 4}},
      {"bitrate<320", {3, 6}},
      {"bitrate:128", {3}},
      {"-bitrate:128", {1, 2, 4, 5, 6}},
      {"-bitrate>=320", {2, 3, 5, 6}},
      {"year:1994", {1, 4}},
      {"year>=2000", {6}},
      {"-year:1994", {2, 3, 5, 6}},
      {"id:3", {3}},
      {"id>4", {5, 6}},
      {"id<2", {1}},
      {"-id:2..5", {1, 6}},
      {"id<0", {}},
  };
  for (const auto& [text, expected] : cases) {
    const catalog::FilterQuery query = catalog::parseFilter(text);
    ASSERT_TRUE(query.valid()) << text;
    auto view = db->OpenRecordset(catalog::filterSql(query, false));
    view->readAll();
    Ids found;
    for (std::int64_t row = 0; row < view->rowCount(); ++row)
      found.push_back(std::stoll(view->value(row, 0).toText()));
    EXPECT_EQ(found, expected) << text;
  }
}

// The rows of a catalogue with an index that has caught up, as other programs and Undo leave it.
class SearchWatermarkTest : public testing::Test {
 protected:
  void SetUp() override {
    path = dir.path("music_1.mdb");
    testcatalogue::make(path);
    testcatalogue::addSongs(path, {{"Cafe one", "a"}, {"Tea two", "b"}, {"Cafe three", "c"}});
    db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    ASSERT_TRUE(catalog::ensureSearchIndex(*db));
    while (catalog::catchUpSearchIndex(*db, 400) > 0) {
    }
  }

  Ids ids(const std::string& text) {
    auto view = db->OpenRecordset(catalog::filterSql(catalog::parseFilter(text), true));
    view->readAll();
    Ids out;
    for (std::int64_t row = 0; row < view->rowCount(); ++row)
      out.push_back(std::stoll(view->value(row, 0).toText()));
    return out;
  }
  std::string indexed() {
    return testcatalogue::scalar(
        path, "SELECT coalesce(group_concat(rowid || ':' || Title), '') FROM shelf_search");
  }
  std::string queue() {
    return testcatalogue::scalar(path,
                                 "SELECT coalesce(group_concat(ID), '') FROM shelf_search_queue");
  }
  std::string upto() { return testcatalogue::scalar(path, "SELECT Upto FROM shelf_search_state"); }

  testsupport::TempDir dir;
  std::string path;
  std::shared_ptr<engine::Database> db;
};

TEST_F(SearchWatermarkTest, NewRowsAreFoundBeforeTheIndexHasThemAndCostNoQueueEntry) {
  EXPECT_EQ(upto(), "3");
  EXPECT_EQ(indexed(), "1:cafe one,2:tea two,3:cafe three");
  testcatalogue::addSongs(path, {{"CAFÉ four", "d"}, {"Milk five", "e"}, {"cafe six", "f"}});
  EXPECT_EQ(queue(), "");
  EXPECT_EQ(catalog::searchIndexPending(*db), 3);
  EXPECT_EQ(ids("cafe"), (Ids{1, 3, 4, 6}));
  EXPECT_EQ(ids("milk"), (Ids{5}));
  // Slices go in ID order and move the watermark past what they folded.
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 2), 2u);
  EXPECT_EQ(upto(), "5");
  EXPECT_EQ(ids("cafe"), (Ids{1, 3, 4, 6}));
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 2), 1u);
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 2), 0u);
  EXPECT_EQ(upto(), "6");
  EXPECT_EQ(indexed(),
            "1:cafe one,2:tea two,3:cafe three,4:cafe four,5:milk five,6:cafe six");
  EXPECT_EQ(ids("cafe"), (Ids{1, 3, 4, 6}));
}

TEST_F(SearchWatermarkTest, RowsPutBackBelowTheWatermarkAreQueuedFoundAndIndexed) {
  // Undo of a deletion puts the row back under its old ID; another program may pick any free
  // ID below the newest. Neither is above the watermark.
  testcatalogue::run(path, "DELETE FROM music_shelf WHERE ID = 2");
  while (catalog::catchUpSearchIndex(*db, 400) > 0) {
  }
  EXPECT_EQ(indexed(), "1:cafe one,3:cafe three");
  testcatalogue::run(path,
                     "INSERT INTO music_shelf (ID, Title) VALUES (2, 'Cafe put back');"
                     "INSERT INTO music_shelf (ID, Title) VALUES (-7, 'Cafe below all')");
  EXPECT_EQ(queue(), "2,-7");
  EXPECT_EQ(ids("cafe"), (Ids{-7, 1, 2, 3}));
  EXPECT_EQ(ids("back"), (Ids{2}));
  EXPECT_EQ(catalog::catchUpSearchIndex(*db, 400), 2u);
  EXPECT_EQ(queue(), "");
  EXPECT_EQ(upto(), "3");
  EXPECT_EQ(indexed(), "-7:cafe below all,1:cafe one,2:cafe put back,3:cafe three");
  EXPECT_EQ(ids("cafe"), (Ids{-7, 1, 2, 3}));
}

// SQLite's own names for the key change ID without naming it in the UPDATE.
TEST_F(SearchWatermarkTest, AnIdChangedThroughRowidIsQueuedUnderBothIds) {
  for (const char* key : {"rowid", "oid", "_rowid_"}) {
    SCOPED_TRACE(key);
    testcatalogue::run(path, std::string("UPDATE music_shelf SET ") + key +
                                 " = -1 WHERE Title = 'Cafe three'");
    EXPECT_EQ(ids("three"), (Ids{-1}));
    EXPECT_EQ(ids("cafe"), (Ids{-1, 1}));
    while (catalog::catchUpSearchIndex(*db, 400) > 0) {
    }
    EXPECT_EQ(indexed(), "-1:cafe three,1:cafe one,2:tea two");
    testcatalogue::run(path, std::string("UPDATE music_shelf SET ") + key + " = 3 WHERE ID = -1");
    EXPECT_EQ(ids("three"), (Ids{3}));
    while (catalog::catchUpSearchIndex(*db, 400) > 0) {
    }
    EXPECT_EQ(indexed(), "1:cafe one,2:tea two,3:cafe three");
  }
}

TEST_F(SearchWatermarkTest, ChangesAboveTheWatermarkAreFoldedOnceAsTheyAreNow) {
  testcatalogue::addSongs(path, {{"Cafe four", "d"}});
  testcatalogue::run(path,
                     "UPDATE music_shelf SET Title = 'Tea four' WHERE ID = 4;"
                     "UPDATE music_shelf SET ID = 9 WHERE ID = 1;"
                     "UPDATE music_shelf SET ID = 1 WHERE ID = 3;");
  EXPECT_EQ(ids("tea"), (Ids{2, 4}));
  EXPECT_EQ(ids("cafe"), (Ids{1, 9}));
  while (catalog::catchUpSearchIndex(*db, 2) > 0) {
  }
  EXPECT_EQ(catalog::searchIndexPending(*db), 0);
  EXPECT_EQ(indexed(), "1:cafe three,2:tea two,4:tea four,9:cafe one");
  EXPECT_EQ(ids("tea"), (Ids{2, 4}));
  EXPECT_EQ(ids("cafe"), (Ids{1, 9}));
}

// What an earlier try or an earlier layout may have left: never trusted, always made anew.
TEST(SearchIndex, APartOrAnOlderLayoutOfTheIndexIsMadeAnew) {
  const std::vector<std::pair<const char*, std::string>> leftovers = {
      {"the layout that queued every new row",
       "CREATE VIRTUAL TABLE shelf_search USING fts5(Title, Artist, Album, Genre, Year, Comment, "
       "Filename, tokenize = 'trigram case_sensitive 1');"
       "CREATE TABLE shelf_search_queue (Seq INTEGER PRIMARY KEY, ID INTEGER NOT NULL);"
       "CREATE INDEX shelf_search_queue_ID ON shelf_search_queue (ID);"
       "INSERT INTO shelf_search (rowid, Title) VALUES (1, 'stale');"
       "CREATE TRIGGER shelf_search_added AFTER INSERT ON music_shelf BEGIN INSERT INTO "
       "shelf_search_queue (ID) VALUES (new.ID); END;"
       "CREATE TRIGGER shelf_search_changed AFTER UPDATE ON music_shelf BEGIN INSERT INTO "
       "shelf_search_queue (ID) VALUES (new.ID); END;"
       "CREATE TRIGGER shelf_search_deleted AFTER DELETE ON music_shelf BEGIN INSERT INTO "
       "shelf_search_queue (ID) VALUES (old.ID); END;"},
      {"the layout before the fold's version",
       "CREATE VIRTUAL TABLE shelf_search USING fts5(Title, Artist, Album, Genre, Year, Comment, "
       "Filename, tokenize = 'trigram case_sensitive 1');"
       "CREATE TABLE shelf_search_queue (Seq INTEGER PRIMARY KEY, ID INTEGER NOT NULL);"
       "CREATE TABLE shelf_search_state (Upto INTEGER NOT NULL);"
       "INSERT INTO shelf_search_state VALUES (2);"
       "INSERT INTO shelf_search (rowid, Title) VALUES (1, 'stale');"
       "CREATE TRIGGER shelf_search_added AFTER INSERT ON music_shelf BEGIN SELECT 1; END;"
       "CREATE TRIGGER shelf_search_changed AFTER UPDATE ON music_shelf BEGIN SELECT 1; END;"
       "CREATE TRIGGER shelf_search_deleted AFTER DELETE ON music_shelf BEGIN SELECT 1; END;"
       "CREATE TRIGGER shelf_search_renamed AFTER UPDATE ON music_shelf BEGIN SELECT 1; END;"},
      {"a watermark whose index was dropped",
       "CREATE TABLE shelf_search_state (Upto INTEGER NOT NULL);"
       "INSERT INTO shelf_search_state VALUES (1000)"},
      {"an index without its watermark",
       "CREATE VIRTUAL TABLE shelf_search USING fts5(Title, Artist, Album, Genre, Year, Comment, "
       "Filename, tokenize = 'trigram case_sensitive 1');"
       "INSERT INTO shelf_search (rowid, Title) VALUES (2, 'stale');"},
  };
  for (const auto& [what, sql] : leftovers) {
    SCOPED_TRACE(what);
    testsupport::TempDir dir;
    const std::string path = dir.path("music_1.mdb");
    testcatalogue::make(path);
    testcatalogue::addSongs(path, {{"Cafe one", "a"}, {"Tea two", "b"}});
    testcatalogue::run(path, sql);
    auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    EXPECT_FALSE(catalog::hasSearchIndex(*db));
    EXPECT_EQ(catalog::catchUpSearchIndex(*db, 10), 0u);
    ASSERT_TRUE(catalog::ensureSearchIndex(*db));
    EXPECT_TRUE(catalog::hasSearchIndex(*db));
    EXPECT_EQ(catalog::searchIndexPending(*db), 2);
    EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM shelf_search"), "0");
    auto view = db->OpenRecordset(catalog::filterSql(catalog::parseFilter("cafe"), true));
    view->readAll();
    EXPECT_EQ(view->rowCount(), 1);
    EXPECT_EQ(catalog::catchUpSearchIndex(*db, 10), 2u);
    EXPECT_EQ(testcatalogue::scalar(path, "SELECT group_concat(rowid || ':' || Title) FROM "
                                          "shelf_search"),
              "1:cafe one,2:tea two");
  }
}

// Random texts of letters that fold in every way (case, accents, combining marks, ligatures,
// Greek, Cyrillic, NUL and the code points FTS5 reads otherwise), looked for with the index
// behind, caught up and absent: each time the rows whose folded texts hold the folded needle.
TEST(FilterDifferential, FindsWhatAFoldedSearchOfEveryRowFinds) {
  const std::vector<std::string> pieces = {
      "a", "b", "A", "B", "e", "n", "x", "\xC3\xA9", "\xC3\x89", "e\xCC\x81", "\xC3\x9F",
      "\xE1\xBA\x9E", "ss", "\xC3\xA6", "\xC3\x86", "ae", "\xCE\xA3", "\xCF\x83", "\xCF\x82",
      " ", "\"", "'", "*", "^", ":", "(", ")", "-", "\xF0\x9F\x8E\xB5", "\xD0\x81",
      "\xD1\x91", "\t", "\xEF\xBF\xBD", "\xEF\xBF\xBE", "\xEF\xBF\xBF", "\xC7\x85",
      "\xC4\xB0", "\xC4\xB1", "\xC5\x89", std::string(1, '\0')};
  std::mt19937 random(20);  // fixed: the same texts every run
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const auto text = [&](std::size_t most) {
    std::string out;
    for (std::size_t n = pick(most) + 1; n > 0; --n) out += pieces[pick(pieces.size())];
    return out;
  };
  // Bytes as a blob cast to text: a NUL goes in whole.
  const auto literal = [](const std::string& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "CAST(X'";
    for (const unsigned char c : bytes) {
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
    return out + "' AS TEXT)";
  };

  testsupport::TempDir dir;
  const std::string path = dir.path("music_1.mdb");
  testcatalogue::make(path);
  std::vector<std::vector<std::string>> rows;
  std::string insert;
  for (int id = 1; id <= 250; ++id) {
    rows.emplace_back();
    insert += "INSERT INTO music_shelf (ID, Title, Artist, Album, Genre, Year, Comment, Filename) "
              "VALUES (" + std::to_string(id);
    for (int column = 0; column < 7; ++column) {
      rows.back().push_back(text(8));
      insert += ", " + literal(rows.back().back());
    }
    insert += ");";
  }
  testcatalogue::run(path, insert);
  auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
  ASSERT_TRUE(catalog::ensureSearchIndex(*db));

  std::vector<std::string> needles;
  for (int n = 0; n < 300; ++n) needles.push_back(text(4));
  for (const char* phase : {"index behind", "index caught up", "no index"}) {
    SCOPED_TRACE(phase);
    const bool indexed = phase != std::string("no index");
    if (phase == std::string("index caught up"))
      while (catalog::catchUpSearchIndex(*db, 400) > 0) {
      }
    int looked = 0;
    for (const std::string& needle : needles) {
      std::string typed = "\"";
      for (const char c : needle) typed += c == '"' ? std::string("\"\"") : std::string(1, c);
      const catalog::FilterQuery query = catalog::parseFilter(typed + "\"");
      if (!query.valid()) continue;  // a needle that folds to nothing, or holds a NUL
      ++looked;
      const std::string folded = engine::foldForSearch(needle);
      Ids expected;
      for (std::size_t row = 0; row < rows.size(); ++row)
        for (const std::string& field : rows[row])
          if (engine::foldForSearch(field).find(folded) != std::string::npos) {
            expected.push_back(static_cast<long long>(row + 1));
            break;
          }
      auto view = db->OpenRecordset(catalog::filterSql(query, indexed));
      view->readAll();
      Ids found;
      for (std::int64_t row = 0; row < view->rowCount(); ++row)
        found.push_back(std::stoll(view->value(row, 0).toText()));
      EXPECT_EQ(found, expected) << "needle " << testing::PrintToString(needle);
    }
    EXPECT_GT(looked, 200);
  }
}

// An index folded by another version of the program, or never finished, finds other rows than
// the filter's own check: it is not used, and a writable catalogue makes it anew.
TEST(SearchIndex, AnIndexFoldedOtherwiseOrUnfinishedIsNotUsed) {
  for (const char* fold : {"0", "1", "1000"}) {
    SCOPED_TRACE(fold);
    testsupport::TempDir dir;
    const std::string path = dir.path("music_1.mdb");
    testcatalogue::make(path);
    testcatalogue::addSongs(path, {{"Cafe one", "a"}, {"Tea two", "b"}});
    {
      auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
      ASSERT_TRUE(catalog::ensureSearchIndex(*db));
      EXPECT_EQ(testcatalogue::scalar(path, "SELECT Fold FROM shelf_search_state"),
                std::to_string(engine::kSearchFoldVersion));
      while (catalog::catchUpSearchIndex(*db, 10) > 0) {
      }
    }
    testcatalogue::run(path, std::string("UPDATE shelf_search_state SET Fold = ") + fold);
    auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    EXPECT_FALSE(catalog::hasSearchIndex(*db));
    EXPECT_EQ(catalog::catchUpSearchIndex(*db, 10), 0u);
    EXPECT_EQ(catalog::searchIndexPending(*db), 0);
    ASSERT_TRUE(catalog::ensureSearchIndex(*db));
    EXPECT_TRUE(catalog::hasSearchIndex(*db));
    EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM shelf_search"), "0");
    EXPECT_EQ(catalog::searchIndexPending(*db), 2);
  }
}

}  // namespace
