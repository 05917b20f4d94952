// The statistics of a small made catalogue and of views of it: the bins, the genres beyond the
// fifteen largest, what each bin's condition lists, views that lack columns or songs, an empty
// catalogue, and a read that is stopped.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "catalog/statistics.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

// Allocations that fail on cue, on the thread that asks or on every other one: the n-th from
// then on throws std::bad_alloc.
namespace {
std::atomic<bool> g_failing{false};
std::atomic<bool> g_onOtherThreads{false};
std::atomic<bool> g_failed{false};
std::atomic<long> g_failIn{0};
std::atomic<std::thread::id> g_armedBy{};

void failAllocation(long n, bool onOtherThreads) {
  g_failed = false;
  g_failIn = n;
  g_onOtherThreads = onOtherThreads;
  g_armedBy = std::this_thread::get_id();
  g_failing = true;
}

// Whether an allocation failed since failAllocation.
bool allocationsWork() {
  g_failing = false;
  return g_failed;
}
}  // namespace

void* operator new(std::size_t size) {
  if (g_failing.load() && (std::this_thread::get_id() == g_armedBy.load()) != g_onOtherThreads &&
      g_failIn.fetch_sub(1) == 1) {
    g_failed = true;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, Closer>;

std::string row(const std::string& artist, const std::string& album, const std::string& genre,
                const std::string& year, const std::string& file, const std::string& duration,
                const std::string& bitrate, const std::string& vbr) {
  return "INSERT INTO music_shelf (Title, Artist, Album, Genre, Year, Filename, Duration, Bitrate,"
         " VBR) VALUES ('t', " +
         artist + ", " + album + ", " + genre + ", " + year + ", " + file + ", " + duration +
         ", " + bitrate + ", " + vbr + ");";
}

// Seven songs whose every figure is known, and seventeen one-song genres beside the two large
// ones, so that two of them fall to "Other".
std::string sampleRows() {
  std::string sql;
  sql += row("'ABBA'", "'Gold'", "'Pop'", "'1992'", "'/m/abba/gold/1.mp3'", "30", "64", "'False'");
  sql += row("'abba'", "'GOLD'", "'pop'", "'1992'", "'/m/abba/gold/2.mp3'", "90", "96", "'False'");
  sql += row("'ABBA'", "'Arrival'", "'Pop'", "''", "'/m/abba/arrival/1.mp3'", "650", "128",
             "'False'");
  sql += row("'Can'", "'Tago Mago'", "'Rock'", "'1971'", "'/m/can/1.mp3'", "1300", "320",
             "'False'");
  sql += row("'Can'", "''", "'Rock'", "NULL", "'C:\\music\\can\\2.mp3'", "NULL", "192", "'True'");
  sql += row("''", "'Loose'", "''", "'  '", "'nofolder.mp3'", "59", "0", "'False'");
  sql += row("NULL", "NULL", "NULL", "'1971'", "''", "61", "''", "NULL");
  for (int g = 0; g < 17; ++g)
    sql += row("'Solo'", "'Singles'", "'Genre " + std::to_string(100 + g) + "'", "''",
               "'/m/solo/" + std::to_string(g) + ".mp3'", "120", "256", "'False'");
  return sql;
}

std::int64_t songsOf(const std::vector<catalog::StatisticsBin>& bins, const std::string& label) {
  for (const catalog::StatisticsBin& bin : bins)
    if (bin.label == label) return bin.songs;
  return -1;
}

class StatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.path("music_1.mdb");
    testcatalogue::make(path, sampleRows());
    db.reset(catalog::openStatisticsConnection(path, &stop));
    ASSERT_TRUE(db);
  }

  catalog::CatalogueStatistics read(const std::string& viewSql = "", sqlite3* second = nullptr) {
    std::optional<catalog::CatalogueStatistics> statistics =
        catalog::readStatistics(db.get(), viewSql, stop, second);
    EXPECT_TRUE(statistics.has_value());
    return statistics.value_or(catalog::CatalogueStatistics());
  }

  // How many songs a bin's condition lists in the catalogue.
  std::int64_t listed(const std::string& condition) {
    return std::stoll(
        testcatalogue::scalar(path, "SELECT count(*) FROM music_shelf WHERE " + condition));
  }

  testsupport::TempDir dir;
  std::string path;
  std::atomic<bool> stop{false};
  Connection db;
};

TEST_F(StatisticsTest, TotalsCountDistinctNamesWithoutRegardToCase) {
  const catalog::CatalogueStatistics s = read();
  EXPECT_EQ(s.songs, 24);
  EXPECT_EQ(s.seconds, 30 + 90 + 650 + 1300 + 59 + 61 + 17 * 120);
  EXPECT_EQ(s.artists, 3);  // ABBA, Can, Solo: no name is no artist
  EXPECT_EQ(s.albums, 5);   // Gold, Arrival, Tago Mago, Singles, and Loose of nobody
  // /m/abba/gold, /m/abba/arrival, /m/can, C:\music\can, /m/solo.
  EXPECT_EQ(s.folders, 5);
  EXPECT_TRUE(s.wholeCatalogue);
  EXPECT_TRUE(s.restriction.empty());
  EXPECT_TRUE(s.notes.empty());
}

TEST_F(StatisticsTest, BinsCountTheirSongsAndTheirConditionsListTheSame) {
  const catalog::CatalogueStatistics s = read();
  // Pop, then (none) and Rock, of two songs each, then twelve of the genres of one song each.
  ASSERT_EQ(s.genres.size(), catalog::kTopGenres + 1);
  EXPECT_EQ(s.genres[0].label, "Pop");
  EXPECT_EQ(s.genres[0].songs, 3);
  EXPECT_EQ(s.genres[1].label, "(no genre)");
  EXPECT_EQ(s.genres[1].songs, 2);
  EXPECT_EQ(s.genres[2].label, "Rock");
  EXPECT_EQ(s.genres.back().label, "(other genres)");
  EXPECT_EQ(s.genres.back().songs, 24 - 3 - 2 - 2 - 12);

  EXPECT_EQ(songsOf(s.bitrates, "\u2264 64"), 1);
  EXPECT_EQ(songsOf(s.bitrates, "65-96"), 1);
  EXPECT_EQ(songsOf(s.bitrates, "113-128"), 1);
  EXPECT_EQ(songsOf(s.bitrates, "225-256"), 17);
  EXPECT_EQ(songsOf(s.bitrates, "> 256"), 1);
  EXPECT_EQ(songsOf(s.bitrates, "161-192"), 0);  // the 192 is VBR
  EXPECT_EQ(songsOf(s.bitrates, "VBR"), 1);
  EXPECT_EQ(songsOf(s.bitrates, "Unknown"), 2);
  EXPECT_EQ(songsOf(s.encodings, "VBR"), 1);
  EXPECT_EQ(songsOf(s.encodings, "CBR"), 23);

  // Filled years only, in order; blanks are not a year.
  ASSERT_EQ(s.years.size(), 2u);
  EXPECT_EQ(s.years[0].label, "1971");
  EXPECT_EQ(s.years[0].songs, 2);
  EXPECT_EQ(s.years[1].label, "1992");

  EXPECT_EQ(songsOf(s.lengths, "< 1 min"), 2);
  EXPECT_EQ(songsOf(s.lengths, "1-2 min"), 2);
  EXPECT_EQ(songsOf(s.lengths, "2-3 min"), 17);
  EXPECT_EQ(songsOf(s.lengths, "10-20 min"), 1);
  EXPECT_EQ(songsOf(s.lengths, "> 20 min"), 1);

  // A click shows exactly the songs its bar counts.
  for (const auto* bins : {&s.genres, &s.bitrates, &s.encodings, &s.years, &s.lengths})
    for (const catalog::StatisticsBin& bin : *bins)
      EXPECT_EQ(listed(bin.condition), bin.songs) << bin.label << ": " << bin.condition;
}

TEST_F(StatisticsTest, LargestArtistsAndAlbumsBySongsAndByLength) {
  const catalog::CatalogueStatistics s = read();
  ASSERT_EQ(s.artistsBySongs.size(), 3u);
  EXPECT_EQ(s.artistsBySongs[0].name, "Solo");
  EXPECT_EQ(s.artistsBySongs[1].name, "ABBA");
  EXPECT_EQ(s.artistsBySongs[1].songs, 3);
  EXPECT_EQ(s.artistsBySongs[1].seconds, 770);
  EXPECT_EQ(s.artistsByLength[0].name, "Solo");
  EXPECT_EQ(s.artistsByLength[1].name, "Can");
  ASSERT_EQ(s.albumsBySongs.size(), 5u);
  EXPECT_EQ(s.albumsBySongs[1].name, "Gold");
  EXPECT_EQ(s.albumsBySongs[1].artist, "ABBA");
  EXPECT_EQ(s.albumsBySongs[1].songs, 2);
  for (const auto* entries :
       {&s.artistsBySongs, &s.artistsByLength, &s.albumsBySongs, &s.albumsByLength})
    for (const catalog::LargestEntry& entry : *entries)
      EXPECT_EQ(listed(entry.condition), entry.songs) << entry.name;
}

TEST_F(StatisticsTest, TwoConnectionsGiveTheSameFiguresAsOne) {
  Connection second(catalog::openStatisticsConnection(path, &stop));
  const catalog::CatalogueStatistics one = read();
  const catalog::CatalogueStatistics two = read("", second.get());
  EXPECT_EQ(two.songs, one.songs);
  EXPECT_EQ(two.seconds, one.seconds);
  EXPECT_EQ(two.artists, one.artists);
  EXPECT_EQ(two.albums, one.albums);
  EXPECT_EQ(two.folders, one.folders);
  ASSERT_EQ(two.genres.size(), one.genres.size());
  for (std::size_t i = 0; i < one.genres.size(); ++i)
    EXPECT_EQ(two.genres[i].songs, one.genres[i].songs);
  ASSERT_EQ(two.albumsByLength.size(), one.albumsByLength.size());
  for (std::size_t i = 0; i < one.albumsByLength.size(); ++i)
    EXPECT_EQ(two.albumsByLength[i].seconds, one.albumsByLength[i].seconds);
}

// Views as the window shows them: the filter's and the search's list every column, an SQL box
// query may list some, or no songs at all, or not run on another connection.
TEST_F(StatisticsTest, ViewsAreCountedByTheirSongsOrGiveTheCatalogueWithANote) {
  struct Case {
    const char* sql;
    std::int64_t songs;
    bool whole;
    bool noted;
  };
  const Case cases[] = {
      {"SELECT * FROM music_shelf WHERE Genre = 'Pop' ORDER BY ID;", 3, false, false},
      {"SELECT ID, Title FROM music_shelf WHERE Artist = 'abba' -- mine", 3, false, false},
      {"select title, id as Id from music_shelf where Genre between 'genre' and 'genre 2'", 17,
       false, false},
      {"SELECT Artist, count(*) FROM music_shelf GROUP BY Artist", 24, true, true},
      {"SELECT * FROM no_such_table", 24, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    const catalog::CatalogueStatistics s = read(c.sql);
    EXPECT_EQ(s.songs, c.songs);
    EXPECT_EQ(s.wholeCatalogue, c.whole);
    EXPECT_EQ(!s.notes.empty(), c.noted);
    EXPECT_EQ(s.restriction.empty(), c.whole);
    // The view's bins list, within the view, what they count.
    for (const catalog::StatisticsBin& bin : s.genres)
      EXPECT_EQ(listed(s.restriction.empty() ? bin.condition
                                             : "(" + s.restriction + ") AND (" + bin.condition + ")"),
                bin.songs)
          << bin.label;
  }
  // Counted by its IDs, the view without Genre still has its songs' genres.
  EXPECT_EQ(songsOf(read("SELECT ID, Title FROM music_shelf WHERE Artist = 'abba'").genres, "Pop"),
            3);
}

TEST(StatisticsEmptyTest, AnEmptyCatalogueHasNothingToChart) {
  testsupport::TempDir dir;
  const std::string path = dir.path("music_1.mdb");
  testcatalogue::make(path);
  std::atomic<bool> stop{false};
  Connection db(catalog::openStatisticsConnection(path, &stop));
  Connection second(catalog::openStatisticsConnection(path, &stop));
  const auto s = catalog::readStatistics(db.get(), "", stop, second.get());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->songs, 0);
  EXPECT_EQ(catalog::daysLengthText(s->seconds), "0 0:00:00");
  EXPECT_EQ(s->artists, 0);
  EXPECT_TRUE(s->genres.empty());
  EXPECT_TRUE(s->years.empty());
  EXPECT_TRUE(s->artistsBySongs.empty());
  EXPECT_TRUE(s->notes.empty());
}

TEST_F(StatisticsTest, AStoppedReadGivesNothing) {
  stop = true;
  EXPECT_FALSE(catalog::readStatistics(db.get(), "", stop).has_value());
}

TEST(StatisticsTextTest, LengthsInDaysAndFolders) {
  const std::pair<std::int64_t, const char*> lengths[] = {
      {0, "0 0:00:00"}, {187, "0 0:03:07"}, {86399, "0 23:59:59"}, {86400, "1 0:00:00"},
      {12 * 86400 + 4 * 3600 + 5 * 60 + 6, "12 4:05:06"}, {-61, "-0 0:01:01"}};
  for (const auto& [seconds, text] : lengths) EXPECT_EQ(catalog::daysLengthText(seconds), text);
  EXPECT_EQ(catalog::folderOf("/m/a/b.mp3"), "/m/a");
  EXPECT_EQ(catalog::folderOf("C:\\m\\b.mp3"), "C:\\m");
  EXPECT_EQ(catalog::folderOf("b.mp3"), "");
  EXPECT_EQ(catalog::folderOf("/b.mp3"), "/");
  EXPECT_EQ(catalog::folderOf("C:\\b.mp3"), "C:\\");
  EXPECT_EQ(catalog::folderOf("/"), "/");
}

// Values no import writes but a damaged or hand-edited catalogue may hold: lengths of ages or
// infinity, rates between the usual ones, years that differ in case only.
TEST(StatisticsDamageTest, OddValuesAreCountedWhereAClickFindsThem) {
  testsupport::TempDir dir;
  const std::string path = dir.path("music_1.mdb");
  std::string rows;
  rows += row("'A'", "'X'", "'Pop'", "'1980s'", "'/a/1.mp3'", "1e300", "64.5", "'False'");
  rows += row("'A'", "'X'", "'Pop'", "'1980S'", "'/a/2.mp3'", "9e999", "100.25", "'False'");
  rows += row("'A'", "'X'", "'Pop'", "'1980s'", "'/a/3.mp3'", "9223372036854775807", "320.5",
              "'False'");
  rows += row("'A'", "'X'", "'Pop'", "'1981'", "'/a/4.mp3'", "10000001", "0.5", "'False'");
  rows += row("'A'", "'X'", "'Pop'", "'1981'", "'/a/5.mp3'", "180", "128", "'False'");
  rows += row("'A'", "'X'", "'Pop'", "'1981'", "'/b.mp3'", "10000000", "1000", "'False'");
  testcatalogue::make(path, rows);
  std::atomic<bool> stop{false};
  Connection db(catalog::openStatisticsConnection(path, &stop));
  const auto s = catalog::readStatistics(db.get(), "", stop);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->songs, 6);
  // Only the lengths a song can have are added up.
  EXPECT_EQ(s->seconds, 180 + 10000000);
  EXPECT_EQ(catalog::daysLengthText(s->seconds), "115 17:49:40");
  ASSERT_EQ(s->artistsBySongs.size(), 1u);
  EXPECT_EQ(s->artistsBySongs[0].seconds, 180 + 10000000);
  EXPECT_EQ(s->folders, 2);  // /a and the root
  // One bar for 1980s and 1980S, as a click on it finds both.
  ASSERT_EQ(s->years.size(), 2u);
  EXPECT_EQ(s->years[0].songs, 3);
  EXPECT_EQ(songsOf(s->bitrates, "65-96"), 1);
  EXPECT_EQ(songsOf(s->bitrates, "97-112"), 1);
  EXPECT_EQ(songsOf(s->bitrates, "> 256"), 2);
  std::int64_t lengths = 0;
  for (const auto* bins : {&s->bitrates, &s->years, &s->lengths}) {
    for (const catalog::StatisticsBin& bin : *bins) {
      EXPECT_EQ(std::stoll(testcatalogue::scalar(
                    path, "SELECT count(*) FROM music_shelf WHERE " + bin.condition)),
                bin.songs)
          << bin.label << ": " << bin.condition;
      if (bins == &s->lengths) lengths += bin.songs;
    }
  }
  EXPECT_EQ(lengths, 2);
}

// A join or a UNION ALL lists a song more than once; it is counted once, as a click lists it.
TEST_F(StatisticsTest, ViewsThatRepeatSongsCountEachOnce) {
  const std::pair<const char*, std::int64_t> views[] = {
      {"SELECT * FROM music_shelf UNION ALL SELECT * FROM music_shelf WHERE Genre = 'Pop'", 24},
      {"SELECT m.* FROM music_shelf m JOIN music_shelf n ON n.Artist = m.Artist"
       " WHERE m.Artist = 'Can'",
       2},
      // A row a join adds without a song is no song, on one connection or two.
      {"SELECT m.* FROM (SELECT 'Can' AS a UNION ALL SELECT 'nobody') x"
       " LEFT JOIN music_shelf m ON m.Artist = x.a",
       2},
      // A value the view computes is not the catalogue's: the songs' own values are counted.
      {"SELECT ID, upper(Artist) AS Artist, Album, Genre, Year, Filename, Duration, Bitrate, VBR"
       " FROM music_shelf WHERE Genre = 'Pop'",
       3},
  };
  Connection second(catalog::openStatisticsConnection(path, &stop));
  for (const auto& [sql, songs] : views) {
    SCOPED_TRACE(sql);
    for (sqlite3* other : {static_cast<sqlite3*>(nullptr), second.get()}) {
      const catalog::CatalogueStatistics s = read(sql, other);
      EXPECT_EQ(s.songs, songs);
      EXPECT_FALSE(s.wholeCatalogue);
      for (const auto* bins : {&s.genres, &s.bitrates, &s.lengths})
        for (const catalog::StatisticsBin& bin : *bins)
          EXPECT_EQ(listed("(" + s.restriction + ") AND (" + bin.condition + ")"), bin.songs)
              << bin.label;
    }
  }
}

// IDs set far apart by hand (or below zero) are counted each once, without a bit for every ID
// between them.
TEST_F(StatisticsTest, IdsFarApartAreCountedOnce) {
  testcatalogue::run(path,
                     "INSERT INTO music_shelf (ID, Title, Artist) VALUES (1099511627776, 'far', "
                     "'Can'), (-5, 'below', 'Can')");
  Connection second(catalog::openStatisticsConnection(path, &stop));
  for (sqlite3* other : {static_cast<sqlite3*>(nullptr), second.get()}) {
    const catalog::CatalogueStatistics s =
        read("SELECT * FROM music_shelf UNION ALL SELECT * FROM music_shelf", other);
    EXPECT_EQ(s.songs, 26);
  }
}

// Each allocation of the read failing in turn, on the thread that reads and on the one that reads
// the other half: the read throws std::bad_alloc with both threads ended, or gives its figures.
TEST_F(StatisticsTest, AnAllocationFailingOnEitherThreadEndsOnlyTheRead) {
  Connection second(catalog::openStatisticsConnection(path, &stop));
  ASSERT_TRUE(second);
  for (const bool onOtherThread : {false, true}) {
    bool everyAllocationTried = false;
    for (long n = 1; n < 100000 && !everyAllocationTried; ++n) {
      std::optional<catalog::CatalogueStatistics> s;
      bool threw = false;
      failAllocation(n, onOtherThread);
      try {
        s = catalog::readStatistics(db.get(), "", stop, second.get());
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      const bool failed = allocationsWork();
      if (!failed) {
        everyAllocationTried = true;
        EXPECT_FALSE(threw);
        EXPECT_TRUE(s && s->songs == 24);
      }
    }
    EXPECT_TRUE(everyAllocationTried) << onOtherThread;
  }
}

}  // namespace
