// Failed reads and writes of the catalogue file, injected through a VFS that fails one chosen
// call the way the unix VFS reports it: what the user is told, and that the handle carries on.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <ostream>
#include <string>

#include "catalogue_fixture.h"
#include "engine/errors.h"
#include "support/faultyvfs.h"
#include "testcatalogue.h"

namespace {

using testsupport::FaultyVfs;

// The parts a message must hold, as a GoogleTest assertion.
::testing::AssertionResult contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << text << "' does not contain '" << part << "'";
}

// What "Show All Records" opens.
constexpr const char* kAllRows = "Select * from music_shelf where Title like '*' ORDER BY ID";
constexpr int kRows = 3000;  // some two hundred pages: far more than one batch of the view reads
constexpr const char* kNoDamage = "A check of the catalogue found no damage: try again.";

class IoErrorTest : public CatalogueTest {
 protected:
  void SetUp() override {
    CatalogueTest::SetUp();
    testcatalogue::run(m_path,
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                           std::to_string(kRows) +
                           ") INSERT INTO music_shelf (Title, Artist, Track, Comment) SELECT "
                           "'song ' || i, 'artist', i, printf('%.200c', 'x') FROM n");
  }

  std::int64_t rowsShown(engine::Database& db) {
    auto rs = db.OpenRecordset(kAllRows, engine::dbOpenDynaset);
    rs->readAll();
    return rs->rowCount();
  }

  // Reads the view page by page as the grid does, until it ends or fails.
  static int readPageByPage(engine::Recordset& rs, std::string* description) {
    return testsupport::errorNumber([&] {
      while (rs.fetchMore(engine::Recordset::kBatchRows) > 0) {
      }
    }, description);
  }

  FaultyVfs m_vfs;  // made before any connection of the test, gone after the last
};

// One read of the file or of its log fails while the view reads its rows. SQLite says
// "database disk image is malformed" for that as for a damaged file; the user must learn that the
// catalogue is whole and a second try will do, and the same handle must show every row again.
struct ReadCase {
  const char* name;
  FaultyVfs::File file;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadFailureTest : public IoErrorTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadFailureTest, IsReportedAsAFailedReadOfAWholeCatalogue) {
  std::shared_ptr<engine::Database> writer;
  if (GetParam().file == FaultyVfs::File::kWal) {
    // Every page changed and still in the log, which this handle keeps from being checkpointed.
    writer = open();
    writer->Execute("UPDATE music_shelf SET Year = Track");
  }
  auto db = open();
  auto rs = db->OpenRecordset(kAllRows, engine::dbOpenDynaset);
  ASSERT_FALSE(rs->isComplete());
  m_vfs.failOnce(FaultyVfs::Call::kRead, GetParam().file);
  std::string description;
  const int number = readPageByPage(*rs, &description);
  ASSERT_TRUE(m_vfs.fired());
  EXPECT_EQ(number, SQLITE_CORRUPT);  // the number stays SQLite's
  EXPECT_TRUE(contains(description, "The catalogue could not be read"));
  EXPECT_TRUE(contains(description, "'" + m_path + "'"));
  EXPECT_FALSE(contains(description, "malformed"));
  EXPECT_TRUE(contains(description, kNoDamage));
  EXPECT_LT(rs->rowCount(), kRows);
  EXPECT_TRUE(rs->isComplete());
  EXPECT_EQ(readPageByPage(*rs, nullptr), 0);  // the failure is told once

  // The handle carries on, and nothing of the failed view holds on to an old snapshot: a row
  // another program adds now shows with the rest.
  testcatalogue::run(m_path, "INSERT INTO music_shelf (Title) VALUES ('added since')");
  EXPECT_EQ(rowsShown(*db), kRows + 1);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadFailureTest,
                         ::testing::Values(ReadCase{"Catalogue", FaultyVfs::File::kMain},
                                           ReadCase{"Log", FaultyVfs::File::kWal}),
                         [](const auto& info) { return std::string(info.param.name); });

// The first reads of the file, made while it is opened, fail as the disk reports them.
TEST_F(IoErrorTest, AFailedReadWhileOpeningNamesTheCatalogue) {
  m_vfs.failOnce(FaultyVfs::Call::kRead, FaultyVfs::File::kMain, 2);
  std::string description;
  const int number = errorNumber([&] { open(); }, &description);
  ASSERT_TRUE(m_vfs.fired());
  EXPECT_EQ(number & 0xFF, SQLITE_IOERR);
  EXPECT_EQ(description,
            "The catalogue could not be read: the disk reported an error (disk I/O error) ('" +
                m_path + "'). " + kNoDamage);
  EXPECT_EQ(rowsShown(*open()), kRows);
}

// A write of the log fails: the message says so and names the catalogue, as the one for a full
// disk does; what the statement changed is not in the catalogue, and the next write goes in.
TEST_F(IoErrorTest, AFailedWriteNamesTheCatalogue) {
  auto db = open();
  m_vfs.failOnce(FaultyVfs::Call::kWrite, FaultyVfs::File::kWal);
  std::string description;
  const int number =
      errorNumber([&] { db->Execute("UPDATE music_shelf SET Year = 1999"); }, &description);
  ASSERT_TRUE(m_vfs.fired());
  EXPECT_EQ(number, SQLITE_IOERR_WRITE);
  EXPECT_EQ(description,
            "The catalogue could not be written: the disk reported an error (disk I/O error) ('" +
                m_path + "').");
  EXPECT_EQ(count(*db, "WHERE Year = 1999"), 0);
  db->Execute("UPDATE music_shelf SET Year = 2000");
  EXPECT_EQ(count(*db, "WHERE Year = 2000"), kRows);
}

// An import's batch whose commit fails to write is rolled back whole, as after a full disk: the
// error names the catalogue, no batch stays open, and the next batch is saved.
TEST_F(IoErrorTest, ABatchWhoseCommitFailsToWriteIsLostAndTheNextIsSaved) {
  auto db = open();
  auto insert = db->Prepare("INSERT INTO music_shelf (Title) VALUES (?1)");
  insert->setBatched(true);
  for (const char* title : {"a", "b"}) {
    insert->bind(1, title);
    insert->Execute();
  }
  m_vfs.failOnce(FaultyVfs::Call::kWrite, FaultyVfs::File::kWal);
  std::string description;
  EXPECT_EQ(errorNumber([] { engine::commitOpenBatch(); }, &description), SQLITE_IOERR_WRITE);
  ASSERT_TRUE(m_vfs.fired());
  EXPECT_TRUE(contains(description, "could not be written"));
  EXPECT_TRUE(contains(description, "'" + m_path + "'"));
  EXPECT_EQ(count(*db, "WHERE Title IN ('a', 'b')"), 0);

  insert->bind(1, "c");
  insert->Execute();
  engine::commitOpenBatch();
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf WHERE Title = 'c'"),
            "1");
}

// A read that fails inside an import's batch leaves SQLite's pager in its error state, and the
// commit after it rolls the batch back: the row's error says so and is not checked (the batch was
// half written when it came); the next batch is saved.
TEST_F(IoErrorTest, AFailedReadInsideABatchLosesItAndTheNextIsSaved) {
  auto db = open();
  auto insert = db->Prepare("INSERT INTO music_shelf (Title, Artist) VALUES (?1, 'x')");
  insert->setBatched(true);
  insert->bind(1, "before");
  insert->Execute();
  // The next row's place in the title index is on pages this handle has not read yet.
  m_vfs.failOnce(FaultyVfs::Call::kRead, FaultyVfs::File::kMain);
  insert->bind(1, "song 2999 again");
  std::string description;
  const int number = errorNumber([&] { insert->Execute(); }, &description);
  ASSERT_TRUE(m_vfs.fired());
  EXPECT_EQ(number, SQLITE_CORRUPT);
  EXPECT_EQ(description, "database disk image is malformed ('" + m_path +
                             "'). This can also come from a read of the disk that failed once: "
                             "try again. The rows saved with it a moment before were lost as "
                             "well.");
  EXPECT_TRUE(insert->batchLost());
  EXPECT_EQ(count(*db, "WHERE Title = 'before'"), 0);

  insert->bind(1, "after");
  insert->Execute();
  engine::commitOpenBatch();
  EXPECT_EQ(count(*db, "WHERE Title = 'after'"), 1);
}

// A catalogue that really is damaged is still called damaged, and the check says so.
TEST_F(IoErrorTest, ADamagedCatalogueIsStillCalledDamaged) {
  {
    std::fstream file(m_path, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char size[2] = {};
    file.seekg(16);
    file.read(reinterpret_cast<char*>(size), 2);
    const std::streamoff pageSize = size[0] << 8 | size[1];
    // A page in the middle of the table's leaves: not a b-tree page any more.
    file.seekp(pageSize * 120);
    const std::string garbage(static_cast<std::size_t>(pageSize), '\xA5');
    file.write(garbage.data(), pageSize);
    ASSERT_TRUE(file.good());
  }
  auto db = open();
  auto rs = db->OpenRecordset(kAllRows, engine::dbOpenDynaset);
  std::string description;
  EXPECT_EQ(readPageByPage(*rs, &description), SQLITE_CORRUPT);
  EXPECT_EQ(description, "database disk image is malformed ('" + m_path +
                             "'). A check of the catalogue found it damaged.");
}

}  // namespace
