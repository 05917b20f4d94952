// Failed reads and writes of the catalogue file, injected through a VFS that fails one chosen
// call the way the unix VFS reports it: what the user is told, and that the handle carries on.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "catalogue_fixture.h"
#include "engine/connection.h"
#include "engine/errors.h"
#include "support/faultyvfs.h"
#include "support/gate.h"
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

// The first reads of the file, made while it is opened, fail as the disk reports them. The
// second read is the first one made after the engine's settings are in place, so its failure is
// checked; a failure of the first, made before them, is reported unchecked.
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

// The catalogue's page size, read from its header.
std::streamoff pageSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char size[2] = {};
  file.seekg(16);
  file.read(reinterpret_cast<char*>(size), 2);
  return size[0] << 8 | size[1];
}

// Sets the bounds of the check after a failed read for one test, and puts the usual ones back.
class CheckBounds {
 public:
  explicit CheckBounds(engine::Connection::DamageCheckBounds bounds) {
    engine::Connection::setDamageCheckBounds(std::move(bounds));
  }
  ~CheckBounds() { engine::Connection::setDamageCheckBounds({}); }
  CheckBounds(const CheckBounds&) = delete;
  CheckBounds& operator=(const CheckBounds&) = delete;
};

// A sector that fails every read, as on a failing disk: the check meets the same page and
// quick_check reports "unable to get the page" with the disk's error code. That is the disk's
// failure, not damage: the user is told to move the catalogue or check the disk, not to rebuild
// it; once the disk delivers the page again, every row is there.
TEST_F(IoErrorTest, APageTheDiskCannotDeliverIsNotCalledDamage) {
  auto db = open();
  auto rs = db->OpenRecordset(kAllRows, engine::dbOpenDynaset);
  m_vfs.failReadsAt(FaultyVfs::File::kMain, pageSize(m_path) * 120 + 100);
  std::string description;
  EXPECT_EQ(readPageByPage(*rs, &description), SQLITE_CORRUPT);
  ASSERT_TRUE(m_vfs.fired());
  EXPECT_EQ(description,
            "The catalogue could not be read: the disk reported an error (disk I/O error) ('" +
                m_path +
                "'). A check of the catalogue found a part of it that the disk cannot deliver: "
                "the disk is failing there. Copy the catalogue to another disk, or have this "
                "disk checked.");
  m_vfs.clearReadsFailingAt();
  EXPECT_EQ(rowsShown(*db), kRows);
}

// A read that fails now and then: the first time a check finds the catalogue whole, and "try
// again" is right; the same failure again on the same handle means something is wrong that the
// check does not see, and the user is no longer told to try again.
TEST_F(IoErrorTest, AFailureThatComesBackAfterACleanCheckIsNoLongerTryAgain) {
  auto db = open();
  std::string descriptions[2];
  for (std::string& description : descriptions) {
    // A change by another program: the handle reads the file afresh instead of from its cache.
    testcatalogue::run(m_path, "UPDATE music_shelf SET Year = Year + 1 WHERE ID = 1");
    auto rs = db->OpenRecordset(kAllRows, engine::dbOpenDynaset);
    m_vfs.failOnce(FaultyVfs::Call::kRead, FaultyVfs::File::kMain);
    EXPECT_EQ(readPageByPage(*rs, &description), SQLITE_CORRUPT);
    ASSERT_TRUE(m_vfs.fired());
  }
  EXPECT_TRUE(contains(descriptions[0], kNoDamage));
  EXPECT_EQ(descriptions[1],
            "database disk image is malformed ('" + m_path +
                "'). The same failure came back after a check had found no damage: the "
                "catalogue or the disk may be damaged. PRAGMA integrity_check in the SQL box "
                "checks the catalogue through; copy it to another disk, or have this disk "
                "checked.");
}

// Damage that quick_check does not look for is named as what it is, with the way to repair it,
// rather than cleared by a check that cannot see it. An index whose entries belong to another
// column: deleting a row finds no entry to delete (SQLITE_CORRUPT_INDEX). REINDEX, typed into
// the SQL box, goes through the statement guard and repairs it.
TEST_F(IoErrorTest, ADamagedIndexIsNamedWithItsRepair) {
  testcatalogue::run(m_path,
                     "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = 'CREATE INDEX "
                     "music_shelf_Title ON music_shelf (Artist)' WHERE name = 'music_shelf_Title'");
  auto db = open();
  std::string description;
  EXPECT_EQ(errorNumber([&] { db->Execute("DELETE FROM music_shelf WHERE ID = 5"); }, &description),
            SQLITE_CORRUPT_INDEX);
  EXPECT_EQ(description,
            "An index of the catalogue is damaged: it no longer agrees with its table ('" +
                m_path +
                "'). The songs themselves are whole. Type REINDEX in the SQL box and run it to "
                "rebuild the indexes (where the catalogue may be changed).");
  db->Execute("REINDEX");
  db->Execute("DELETE FROM music_shelf WHERE ID = 5");
  EXPECT_EQ(count(*db), kRows - 1);
}

// The search index's own tables are damaged (SQLITE_CORRUPT_VTAB): quick_check never reads them,
// and the songs are whole. The statement the user is told to run passes the guard.
TEST_F(IoErrorTest, ADamagedSearchIndexIsNamedWithItsRepair) {
  testcatalogue::run(
      m_path,
      "CREATE VIRTUAL TABLE shelf_search USING fts5(Title, tokenize = 'trigram case_sensitive 1');"
      "CREATE TABLE shelf_search_state (Upto INTEGER NOT NULL, Fold INTEGER NOT NULL DEFAULT 0);"
      "INSERT INTO shelf_search_state VALUES (0, 3);"
      "INSERT INTO shelf_search (rowid, Title) SELECT ID, Title FROM music_shelf;"
      "UPDATE shelf_search_data SET block = x'00ff00ff00ff00ff' WHERE id > 10");
  auto db = open();
  std::string description;
  EXPECT_EQ(errorNumber(
                [&] {
                  db->OpenRecordset("SELECT rowid FROM shelf_search WHERE shelf_search MATCH "
                                    "'ong 29'",
                                    engine::dbOpenSnapshot)
                      ->readAll();
                },
                &description),
            SQLITE_CORRUPT_VTAB);
  EXPECT_EQ(description,
            "The catalogue's search index is damaged ('" + m_path +
                "'); the songs themselves are not. To have it made anew from the songs, run "
                "UPDATE shelf_search_state SET Fold = 0 in the SQL box, then open the catalogue "
                "again. Until then the filter finds songs without it.");
  db->Execute("UPDATE shelf_search_state SET Fold = 0");
  EXPECT_EQ(rowsShown(*db), kRows);
}

// The check is stopped at its time limit by its watchdog even inside quick_check's walk of a
// tree, where SQLite's progress handler is never called: here the watchdog stops it while a read
// of the walk is held, and a check cut short clears nothing. Nothing of the stop is left on the
// handle: the next view reads every row.
TEST_F(IoErrorTest, TheCheckIsStoppedAtItsTimeLimitInsideTheWalk) {
  testsupport::Gate atLimit, reading, stopped;
  CheckBounds bounds({std::chrono::milliseconds(0), std::uintmax_t{1} << 30,
                      [&](const std::function<void()>& stop) {
                        atLimit.open();
                        reading.wait();
                        stop();
                        stopped.open();
                      }});
  // SQLite reads nothing between the failed read and the check's walk: the next read is the
  // walk's, and it waits there until the watchdog has stopped the check.
  m_vfs.setReadHook([&](FaultyVfs::File) {
    if (!m_vfs.fired() || reading.isOpen()) return;
    atLimit.wait();
    reading.open();
    stopped.wait();
  });
  auto db = open();
  auto rs = db->OpenRecordset(kAllRows, engine::dbOpenDynaset);
  m_vfs.failOnce(FaultyVfs::Call::kRead, FaultyVfs::File::kMain);
  std::string description;
  EXPECT_EQ(readPageByPage(*rs, &description), SQLITE_CORRUPT);
  m_vfs.setReadHook({});
  EXPECT_TRUE(stopped.isOpen());
  EXPECT_EQ(description, "database disk image is malformed ('" + m_path +
                             "'). This can also come from a read of the disk that failed once: "
                             "try again.");
  EXPECT_EQ(rowsShown(*db), kRows);
}

// The size bound counts the log with the catalogue: rows still in the log are read by the check
// as well. Just under the two together, the check is skipped; at their size, it runs.
TEST_F(IoErrorTest, TheCheckCountsTheLogInItsSizeBound) {
  auto writer = open();
  writer->Execute("UPDATE music_shelf SET Year = Track");  // every page in the log
  const auto main = std::filesystem::file_size(m_path);
  const auto log = std::filesystem::file_size(m_path + "-wal");
  ASSERT_GT(log, 0u);
  for (const bool fits : {false, true}) {
    SCOPED_TRACE(fits ? "fits" : "too large");
    // The time bound only guards against a hang: the case is the size bound.
    CheckBounds bounds({std::chrono::minutes(2), main + log - (fits ? 0 : 1), {}});
    auto db = open();
    auto rs = db->OpenRecordset(kAllRows, engine::dbOpenDynaset);
    m_vfs.failOnce(FaultyVfs::Call::kRead, FaultyVfs::File::kWal);
    std::string description;
    EXPECT_EQ(readPageByPage(*rs, &description), SQLITE_CORRUPT);
    ASSERT_TRUE(m_vfs.fired());
    EXPECT_EQ(contains(description, kNoDamage), fits) << description;
  }
}

// Failures that are not the disk's own reads and writes do not blame the disk: a lock the file
// system refuses, the shared-memory index beside the catalogue. Each message names the file
// concerned.
struct NotTheDiskCase {
  const char* name;
  FaultyVfs::Call call;
  int code;
  const char* says;
};

void PrintTo(const NotTheDiskCase& c, std::ostream* os) { *os << c.name; }

class NotTheDiskTest : public IoErrorTest, public ::testing::WithParamInterface<NotTheDiskCase> {};

TEST_P(NotTheDiskTest, IsNotBlamedOnTheDisk) {
  m_vfs.failOnce(GetParam().call, FaultyVfs::File::kMain);
  std::string description;
  const int number = errorNumber([&] { open(); }, &description);
  ASSERT_TRUE(m_vfs.fired());
  EXPECT_EQ(number, GetParam().code);
  std::string says = GetParam().says;
  if (const auto at = says.find("PATH"); at != std::string::npos) says.replace(at, 4, m_path);
  EXPECT_TRUE(contains(description, says));
  EXPECT_FALSE(contains(description, "the disk reported"));
  EXPECT_EQ(rowsShown(*open()), kRows);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, NotTheDiskTest,
    ::testing::Values(
        NotTheDiskCase{"Lock", FaultyVfs::Call::kLock, SQLITE_IOERR_LOCK,
                       "the file system refused a lock on it (disk I/O error) ('PATH')"},
        NotTheDiskCase{"SharedMemoryMap", FaultyVfs::Call::kShmMap, SQLITE_IOERR_SHMMAP,
                       "its shared-memory file 'PATH-shm' could not be mapped into memory"},
        NotTheDiskCase{"SharedMemoryLock", FaultyVfs::Call::kShmLock, SQLITE_IOERR_SHMLOCK,
                       "its shared-memory file 'PATH-shm' could not be locked"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
