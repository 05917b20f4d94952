// The packed row cache gives back exactly what SQLite returned, whichever way each field was
// kept: numbers of every size, texts kept once for their column, paths that share a folder.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/rowstore.h"

namespace {

using engine::RowStore;
using engine::Value;

// Reads every row of `sql` on a fresh in-memory database into a store.
class Rows {
 public:
  explicit Rows(const std::string& sql) {
    sqlite3_open(":memory:", &m_db);
    sqlite3_prepare_v2(m_db, sql.c_str(), -1, &m_stmt, nullptr);
    m_store = std::make_unique<RowStore>(sqlite3_column_count(m_stmt));
    while (sqlite3_step(m_stmt) == SQLITE_ROW) m_store->append(m_stmt);
  }
  ~Rows() {
    sqlite3_finalize(m_stmt);
    sqlite3_close(m_db);
  }
  RowStore& store() { return *m_store; }

 private:
  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_stmt = nullptr;
  std::unique_ptr<RowStore> m_store;
};

TEST(RowStoreTest, EveryKindOfFieldComesBackAsItWent) {
  Rows rows(
      "SELECT NULL, 0, -1, 63, -64, 64, 9223372036854775807, -9223372036854775808, 2.5, -0.0, "
      "'', 'a', x'00ff', char(0) || 'after nul', '/', 'no/folder', "
      "'/home/user/Music/Artist/Album/01 Song.mp3'");
  RowStore& store = rows.store();
  ASSERT_EQ(store.size(), 1);
  const std::vector<Value> expected = {
      Value(), Value(0), Value(-1), Value(63), Value(-64), Value(64),
      Value(std::numeric_limits<std::int64_t>::max()), Value(std::numeric_limits<std::int64_t>::min()),
      Value(2.5), Value(-0.0), Value(""), Value("a"), Value(std::string("\x00\xff", 2)),
      Value(std::string("\0after nul", 10)), Value("/"), Value("no/folder"),
      Value("/home/user/Music/Artist/Album/01 Song.mp3")};
  for (int c = 0; c < static_cast<int>(expected.size()); ++c)
    EXPECT_EQ(store.get(0, c), expected[c]) << "column " << c;
}

// Repeated texts and folders are kept once; a column of unique texts stops being looked up;
// either way every row reads back whole, also after a row is replaced.
TEST(RowStoreTest, RepeatedTextsAreKeptOnceAndReadBackWhole) {
  Rows rows(
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 20000) "
      "SELECT 'Artist ' || (x % 50), 'Unique title ' || x, "
      "'/music/Artist ' || (x % 50) || '/Album ' || (x % 300) || '/' || x || '.mp3', "
      "printf('%.*c', 200, 'L') || (x % 3) FROM c");
  RowStore& store = rows.store();
  ASSERT_EQ(store.size(), 20000);
  for (std::int64_t r : {0, 1, 4095, 4096, 12345, 19999}) {
    const std::int64_t x = r + 1;
    EXPECT_EQ(store.get(r, 0), Value("Artist " + std::to_string(x % 50)));
    EXPECT_EQ(store.get(r, 1), Value("Unique title " + std::to_string(x)));
    EXPECT_EQ(store.get(r, 2), Value("/music/Artist " + std::to_string(x % 50) + "/Album " +
                                     std::to_string(x % 300) + "/" + std::to_string(x) + ".mp3"));
    EXPECT_EQ(store.get(r, 3), Value(std::string(200, 'L') + std::to_string(x % 3)));
  }
  // Well under the 20,000 x 260 bytes the texts take written out in full.
  EXPECT_LT(store.bytes(), std::size_t{3} << 20);

  store.replace(12345, {{0, Value("Someone new")}, {2, Value(std::int64_t{7})}});
  EXPECT_EQ(store.get(12345, 0), Value("Someone new"));
  EXPECT_EQ(store.get(12345, 1), Value("Unique title 12346"));
  EXPECT_EQ(store.get(12345, 2), Value(std::int64_t{7}));
  EXPECT_EQ(store.get(12346, 0), Value("Artist " + std::to_string(12347 % 50)));
  EXPECT_EQ(store.size(), 20000);
}

// A text asked for with a length comes cut to that many bytes however it was kept: on its own,
// once for its column, or as a folder and a name; shorter texts and numbers come whole.
TEST(RowStoreTest, TextsComeCutToTheLengthAsked) {
  Rows rows(
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3) "
      "SELECT 'Repeated artist', 'Title ' || x, '/music/Album/' || x || '.mp3', 12345 FROM c");
  RowStore& store = rows.store();
  ASSERT_EQ(store.size(), 3);
  EXPECT_EQ(store.get(2, 0, 8), Value("Repeated"));
  EXPECT_EQ(store.get(2, 1, 3), Value("Tit"));
  EXPECT_EQ(store.get(2, 1, 100), Value("Title 3"));
  EXPECT_EQ(store.get(2, 2, 4), Value("/mus"));           // within the folder
  EXPECT_EQ(store.get(2, 2, 15), Value("/music/Album/3."));  // into the name
  EXPECT_EQ(store.get(2, 2, 0), Value(""));
  EXPECT_EQ(store.get(2, 3, 1), Value(12345));
  // From a byte on: within a text, within a folder, across folder and name, within the name.
  EXPECT_EQ(store.get(2, 1, 3, 2), Value("tle"));
  EXPECT_EQ(store.get(2, 1, 100, 6), Value("3"));
  EXPECT_EQ(store.get(2, 1, 100, 60), Value(""));
  EXPECT_EQ(store.get(2, 0, 100, 9), Value("artist"));
  EXPECT_EQ(store.get(2, 2, 3, 1), Value("mus"));
  EXPECT_EQ(store.get(2, 2, 4, 11), Value("m/3."));
  EXPECT_EQ(store.get(2, 2, 100, 13), Value("3.mp3"));
  EXPECT_EQ(store.textBytes(2, 2), std::string("/music/Album/3.mp3").size());
  EXPECT_EQ(store.textBytes(2, 1), 7u);
  EXPECT_EQ(store.textBytes(2, 3), 0u);
}

}  // namespace
