// The filter's index caught up on the indexer's own thread: to the end, stopped in the middle of
// a slice, paused, and held up by another program's lock; the filter's results stay exact
// throughout. Where the thread stands is said by hooks and gates, never by how long it took.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalog/filterquery.h"
#include "catalog/searchindex.h"
#include "catalog/searchindexer.h"
#include "engine/engine.h"
#include "support/gate.h"
#include "support/lockholder.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

namespace {

using Ids = std::vector<long long>;

// Only a broken test waits this long.
constexpr std::chrono::minutes kLimit{2};

// More rows than a few slices take, with texts the filter folds.
constexpr int kRows = 2400;

class SearchIndexerTest : public testing::Test {
 protected:
  void SetUp() override {
    path = dir.path("music_1.mdb");
    testcatalogue::make(path);
    testcatalogue::run(
        path,
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
            std::to_string(kRows) +
            ") INSERT INTO music_shelf (ID, Title, Artist, Album, Genre, Filename) SELECT i, "
            "CASE i % 3 WHEN 0 THEN 'Café ' || i WHEN 1 THEN 'Tea ' || i ELSE 'MILK ' || i END, "
            "CASE i % 5 WHEN 0 THEN 'Beyoncé' ELSE 'Band ' || (i % 7) END, 'Album ' || (i % 11), "
            "'Pop', '/music/' || i || '.mp3' FROM n");
    open();
    // Half indexed already; then rows changed, removed and put back below the watermark
    // (queued), and added above it.
    ASSERT_TRUE(catalog::ensureSearchIndex(*db));
    while (catalog::searchIndexPending(*db) > kRows / 2) catalog::catchUpSearchIndex(*db, 400);
    testcatalogue::run(path,
                       "UPDATE music_shelf SET Title = 'Cafe changed ' || ID WHERE ID % 97 = 1;"
                       "DELETE FROM music_shelf WHERE ID % 89 = 2;"
                       "INSERT INTO music_shelf (ID, Title) VALUES (-5, 'Milk put back');"
                       "INSERT INTO music_shelf (ID, Title, Artist) SELECT ID + 10000, Title, "
                       "'Added' FROM music_shelf WHERE ID <= 500");
    pendingAtStart = catalog::searchIndexPending(*db);
    ASSERT_GT(pendingAtStart, 1000);
    ASSERT_GT(std::stoll(testcatalogue::scalar(path, "SELECT count(*) FROM shelf_search_queue")),
              20);
  }

  void open() { db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path); }

  Ids ids(const std::string& text, bool indexed) {
    auto view = db->OpenRecordset(catalog::filterSql(catalog::parseFilter(text), indexed));
    view->readAll();
    Ids out;
    for (std::int64_t row = 0; row < view->rowCount(); ++row)
      out.push_back(std::stoll(view->value(row, 0).toText()));
    return out;
  }

  // The filter through the index finds what it finds without.
  void expectExactFilter() {
    for (const char* text : {"cafe", "beyonce", "milk -tea", "artist:added", "title:\"ea 1\"",
                             "changed", "back"}) {
      SCOPED_TRACE(text);
      const Ids plain = ids(text, false);
      EXPECT_FALSE(plain.empty());
      EXPECT_EQ(ids(text, true), plain);
    }
  }

  // Every row indexed as it is now, once, and FTS5's own structures sound.
  void expectIndexMatchesRows() {
    EXPECT_EQ(catalog::searchIndexPending(*db), 0);
    EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM shelf_search"),
              testcatalogue::scalar(path, "SELECT count(*) FROM music_shelf"));
    std::string wrong;
    db->ForEachRow(
        "SELECT count(*) FROM music_shelf m LEFT JOIN shelf_search s ON s.rowid = m.ID WHERE "
        "s.Title IS NOT search_fold(m.Title) OR s.Artist IS NOT search_fold(m.Artist)",
        {}, [&](engine::Database::RowTexts row) { wrong = std::string(*row[0]); });
    EXPECT_EQ(wrong, "0");
    EXPECT_NO_THROW(db->Execute(
        "INSERT INTO shelf_search (shelf_search, rank) VALUES ('integrity-check', 1)"));
  }

  testsupport::TempDir dir;
  std::string path;
  std::shared_ptr<engine::Database> db;
  std::int64_t pendingAtStart = 0;
};

TEST_F(SearchIndexerTest, CatchesUpQueuedRowsAndRowsAboveTheWatermark) {
  catalog::SearchIndexer indexer(path);
  ASSERT_TRUE(indexer.available());
  std::atomic<int> slices{0};
  std::atomic<int> failed{0};
  indexer.setAfterSlice([&](std::int64_t handled) { ++(handled < 0 ? failed : slices); });
  expectExactFilter();
  indexer.wake();
  ASSERT_TRUE(indexer.waitSettled(kLimit));
  EXPECT_EQ(failed, 0);
  EXPECT_GT(slices, 2);  // several transactions, each letting the window's writes in
  expectIndexMatchesRows();
  expectExactFilter();

  // Woken again after the window's own writes, it folds those too.
  db->Execute("UPDATE music_shelf SET Title = 'Latte' WHERE ID = 3");
  db->Execute("INSERT INTO music_shelf (ID, Title) VALUES (20000, 'Latte too')");
  indexer.wake();
  ASSERT_TRUE(indexer.waitSettled(kLimit));
  expectIndexMatchesRows();
  EXPECT_EQ(ids("latte", true), (Ids{3, 20000}));
}

TEST_F(SearchIndexerTest, StoppedInTheMiddleOfASliceLosesNoPendingRow) {
  testsupport::Gate inside;
  testsupport::Gate release;
  auto indexer = std::make_unique<catalog::SearchIndexer>(path);
  ASSERT_TRUE(indexer->available());
  indexer->setInSlice([&] {
    inside.open();
    ASSERT_TRUE(release.wait());
  });
  indexer->wake();
  ASSERT_TRUE(inside.wait());
  // The slice holds the write lock with rows folded but not committed: the window still reads,
  // and finds what it found before.
  expectExactFilter();
  EXPECT_EQ(catalog::searchIndexPending(*db), pendingAtStart);
  // The window closes: the slice is abandoned at its next chunk and rolled back.
  indexer->stop();
  release.open();
  indexer.reset();
  EXPECT_EQ(catalog::searchIndexPending(*db), pendingAtStart);
  expectExactFilter();
  // The index was left as it stood: a later catch-up completes it.
  while (catalog::catchUpSearchIndex(*db, 400) > 0) {
  }
  expectIndexMatchesRows();
  expectExactFilter();
}

TEST_F(SearchIndexerTest, DestroyedWhileWorkingOrAsleepStopsAndCloses) {
  {
    // Destroyed at once after a wake: whatever it had committed stays, the rest waits.
    catalog::SearchIndexer indexer(path);
    indexer.wake();
  }
  EXPECT_LE(catalog::searchIndexPending(*db), pendingAtStart);
  {
    catalog::SearchIndexer indexer(path);  // never woken
  }
  expectExactFilter();
  // Its connection is closed: the window's connection may write and checkpoint freely.
  db->Execute("UPDATE music_shelf SET Title = 'Latte' WHERE ID = 3");
  EXPECT_EQ(ids("latte", true), (Ids{3}));
}

TEST_F(SearchIndexerTest, PausedItBeginsNoSliceAndGoesOnWhenUnpaused) {
  testsupport::Gate inside;
  testsupport::Gate release;
  std::atomic<int> slices{0};
  catalog::SearchIndexer indexer(path);
  indexer.setInSlice([&] {
    inside.open();
    ASSERT_TRUE(release.wait());
  });
  indexer.setAfterSlice([&](std::int64_t handled) {
    if (handled > 0) ++slices;
  });
  indexer.wake();
  ASSERT_TRUE(inside.wait());
  // An import starts while a slice runs: that slice ends, and no other begins.
  indexer.setPaused(true);
  release.open();
  ASSERT_TRUE(indexer.waitSettled(kLimit));
  EXPECT_EQ(slices, 1);
  const std::int64_t pending = catalog::searchIndexPending(*db);
  EXPECT_LT(pending, pendingAtStart);
  EXPECT_GT(pending, 0);
  // The import's writes wake it; paused, it takes them in and writes nothing.
  db->Execute("UPDATE music_shelf SET Title = 'Latte' WHERE ID = 3");
  indexer.wake();
  indexer.wake();
  ASSERT_TRUE(indexer.waitSettled(kLimit));
  EXPECT_EQ(slices, 1);
  EXPECT_EQ(catalog::searchIndexPending(*db), pending + 1);
  expectExactFilter();

  indexer.setPaused(false);
  ASSERT_TRUE(indexer.waitSettled(kLimit));
  EXPECT_GT(slices, 1);
  expectIndexMatchesRows();
  expectExactFilter();
}

TEST_F(SearchIndexerTest, RetriesWhileAnotherProgramHoldsTheLockAndFinishesOnceReleased) {
  // The other program's process starts before this one opens anything of the catalogue.
  db.reset();
  testsupport::LockHolder holder(path, true);
  open();
  catalog::SearchIndexer indexer(path);
  testsupport::Gate metLock;
  std::atomic<int> failed{0};
  indexer.setAfterSlice([&](std::int64_t handled) {
    if (handled < 0 && ++failed >= 2) metLock.open();  // tried, paused, and tried again
  });
  holder.take();
  indexer.wake();
  ASSERT_TRUE(metLock.wait());
  EXPECT_FALSE(indexer.waitSettled(std::chrono::milliseconds(0)));  // it has not given up
  EXPECT_EQ(catalog::searchIndexPending(*db), pendingAtStart);
  expectExactFilter();
  holder.letGo();
  ASSERT_TRUE(indexer.waitSettled(kLimit));
  EXPECT_EQ(holder.wait(), 0);
  expectIndexMatchesRows();
  expectExactFilter();
}

TEST_F(SearchIndexerTest, IsInactiveWithoutAWritableCatalogueWithTheIndex) {
  db.reset();
  const std::string plain = dir.path("plain.mdb");
  testcatalogue::make(plain);
  for (const std::string& where : {plain, dir.path("missing.mdb"), dir.path("")}) {
    SCOPED_TRACE(where);
    catalog::SearchIndexer indexer(where);
    EXPECT_FALSE(indexer.available());
    indexer.wake();
    indexer.setPaused(true);
    EXPECT_TRUE(indexer.waitSettled(kLimit));
  }
  EXPECT_EQ(testcatalogue::scalar(plain, "SELECT count(*) FROM sqlite_schema WHERE name LIKE "
                                         "'shelf_search%'"),
            "0");
}

}  // namespace
