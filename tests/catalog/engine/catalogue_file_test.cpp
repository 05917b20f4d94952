// The catalogue as a file: read-only files, folders and media, a stale shared-memory index, a
// full disk, the journal mode, things that are not files, and the file format's limits.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

#include "catalogue_fixture.h"
#include "engine/errors.h"
#include "schema.h"
#include "support/childprocess.h"
#include "support/smalldisk.h"
#include "testcatalogue.h"

namespace {

namespace fs = std::filesystem;
namespace err = engine::err;
using testsupport::Channel;
using testsupport::ChildProcess;

constexpr std::int64_t kLargestRowid = 9223372036854775807;

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

mode_t permissionsOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

off_t sizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Bytes 18 and 19 of the header, the versions SQLite needs to write and to read the file: 1 for
// a rollback journal, 2 for the write-ahead log.
std::pair<int, int> formatVersions(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char header[20] = {};
  in.read(header, sizeof header);
  return {static_cast<unsigned char>(header[18]), static_cast<unsigned char>(header[19])};
}

// Another program that wrote rows and closed without a checkpoint, the way a crash or a program
// that turned checkpoints off leaves them: the rows are only in the log.
void leaveRowsInTheLog(const std::string& path, int rows) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), SQLITE_OK);
  for (int i = 0; i < rows; ++i) {
    const std::string sql =
        "INSERT INTO music_shelf (Title, Artist) VALUES ('logged " + std::to_string(i) + "', 'l')";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  sqlite3_close(db);
  ASSERT_GT(sizeOf(path + "-wal"), 0) << "the rows were checkpointed after all";
}

using testsupport::SmallDisk;

class CatalogueFileTest : public CatalogueTest {
 protected:
  void SetUp() override {
    CatalogueTest::SetUp();
    testcatalogue::addSongs(m_path, {{"one", "a"}, {"two", "b"}, {"three", "c"}});
    ASSERT_FALSE(exists(m_path + "-wal") || exists(m_path + "-shm"))
        << "closing SQLite's connection should have removed the log and its index";
  }

  // A copy of the test's catalogue, with its rows and no log, in a folder of its own.
  std::string copyInto(const fs::path& folder) const {
    fs::create_directories(folder);
    const fs::path copy = folder / "music_1.mdb";
    fs::copy_file(m_path, copy);
    return copy.string();
  }

  static bool companionsLeft(const std::string& path) {
    return exists(path + "-wal") || exists(path + "-shm") || exists(path + "-journal");
  }

  // Runs `body` in a process that file permissions apply to, also when the tests run as root.
  void asUnprivilegedUser(const std::function<void()>& body) {
    testsupport::handToUnprivilegedUser(m_dir);
    ChildProcess child([&](const Channel&) { body(); }, {.withoutRoot = true});
    EXPECT_EQ(child.wait(), 0) << "the unprivileged process reported failures (see above)";
  }

  static std::shared_ptr<engine::Database> openAt(const std::string& path) {
    return engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
  }

  // What a catalogue opened read-only must give: its rows, a reason, and every kind of write
  // refused with that reason and without a change.
  void expectReadOnly(engine::Database& db, const std::string& because,
                      std::int64_t rows) const {
    EXPECT_TRUE(db.isReadOnly());
    EXPECT_NE(db.readOnlyReason().find(because), std::string::npos) << db.readOnlyReason();
    EXPECT_EQ(count(db), rows);
    const std::string expected = "The catalogue is read-only because " + db.readOnlyReason();

    const std::string writes[] = {"INSERT INTO music_shelf (Title) VALUES ('new')",
                                  "UPDATE music_shelf SET Title = 'changed'",
                                  "DELETE FROM music_shelf", "VACUUM"};
    for (const std::string& sql : writes) {
      std::string text;
      const int number = errorNumber([&] { db.Execute(sql, 64); }, &text);
      EXPECT_EQ(number & 0xFF, SQLITE_READONLY) << sql << " -> " << number << " " << text;
      EXPECT_TRUE(text.starts_with(expected)) << sql << " -> " << text;
    }
    auto table = db.OpenRecordset("music_shelf", engine::dbOpenTable);
    auto insert = db.Prepare("INSERT INTO music_shelf (Title) VALUES (?1)");
    insert->bind(1, "new");
    const std::function<void()> others[] = {
        [&] { table->updateRow(0, {{table->fieldIndex("Title"), engine::Value("changed")}}); },
        [&] { insert->Execute(); }};
    for (const auto& write : others) {
      std::string text;
      const int number = errorNumber(write, &text);
      EXPECT_EQ(number & 0xFF, SQLITE_READONLY) << number << " " << text;
      EXPECT_TRUE(text.starts_with(expected)) << text;
    }

    EXPECT_EQ(count(db), rows);
    EXPECT_EQ(count(db, "WHERE Title = 'changed' OR Title = 'new'"), 0);
  }
};

// ---------------------------------------------------------------------------------------------
// A catalogue this process may not change is opened for viewing and searching.

class CatalogueFileReadOnly : public CatalogueFileTest {};

TEST_F(CatalogueFileReadOnly, ReadOnlyFileOrFolderIsOpenedForReadingAndLeavesNoFiles) {
  const std::string lockedFile = copyInto(m_dir / "file");
  const std::string inLockedFolder = copyInto(m_dir / "folder");
  // An empty log holds no rows: the file is still read as one that cannot change.
  const std::string withEmptyLog = copyInto(m_dir / "emptylog");
  writeFile(withEmptyLog + "-wal", "");
  // A link in a folder that may change, to a catalogue in one that may not: the log would go
  // beside the catalogue itself.
  const std::string link = (m_dir / "link.mdb").string();
  fs::create_symlink(inLockedFolder, link);
  const std::string lockedFolder = fs::canonical(m_dir / "folder").string();
  asUnprivilegedUser([&] {
    ASSERT_EQ(::chmod(lockedFile.c_str(), 0444), 0);
    ASSERT_EQ(::chmod((m_dir / "folder").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(withEmptyLog.c_str(), 0444), 0);

    for (const auto& [path, because] :
         {std::pair{lockedFile, std::string("the file is read-only")},
          std::pair{inLockedFolder, "its folder '" + lockedFolder},
          std::pair{link, "its folder '" + lockedFolder}}) {
      SCOPED_TRACE(path);
      auto db = openAt(path);
      expectReadOnly(*db, because, 3);
      // Nothing beside the file while it is open, nor after.
      EXPECT_FALSE(companionsLeft(path));
      db->Close();
      EXPECT_FALSE(companionsLeft(path));
    }

    auto db = openAt(withEmptyLog);
    expectReadOnly(*db, "the file is read-only", 3);
    db->Close();
    EXPECT_FALSE(exists(withEmptyLog + "-shm"));
  });
  EXPECT_EQ(permissionsOf(lockedFile), 0444);
  EXPECT_FALSE(companionsLeft(lockedFile));
  EXPECT_FALSE(companionsLeft(inLockedFolder));
  EXPECT_EQ(sizeOf(withEmptyLog + "-wal"), 0) << "the log that was there stays as it was";
}

// Rows another program left in the log must show even though nothing may be written; the file
// is then read with the log rather than as an unchanging file.
TEST_F(CatalogueFileReadOnly, RowsStillInTheLogShowInAReadOnlyFile) {
  leaveRowsInTheLog(m_path, 2);
  ASSERT_TRUE(exists(m_path + "-shm"));
  const off_t logSize = sizeOf(m_path + "-wal");
  asUnprivilegedUser([&] {
    ASSERT_EQ(::chmod(m_path.c_str(), 0444), 0);
    auto db = open();
    expectReadOnly(*db, "the file is read-only", 5);
    EXPECT_EQ(count(*db, "WHERE Title LIKE 'logged*'"), 2);
  });
  // The log is the other program's to checkpoint: left as it was.
  EXPECT_EQ(sizeOf(m_path + "-wal"), logSize);
  EXPECT_EQ(formatVersions(m_path), std::pair(2, 2));
}

// SQLite reads rows in the log through the index beside it. Without one, in a folder where none
// may be made, SQLite cannot read the file at all; the message says why and what helps.
TEST_F(CatalogueFileReadOnly, LogWithoutItsIndexInAReadOnlyFolderIsExplained) {
  leaveRowsInTheLog(m_path, 2);
  ASSERT_EQ(::unlink((m_path + "-shm").c_str()), 0);
  asUnprivilegedUser([&] {
    ASSERT_EQ(::chmod(m_dir.c_str(), 0555), 0);
    std::string text;
    EXPECT_EQ(errorNumber([&] { open(); }, &text) & 0xFF, SQLITE_CANTOPEN) << text;
    EXPECT_NE(text.find("'" + fs::canonical(m_path).string() + "-wal'"), std::string::npos)
        << text;
    EXPECT_NE(text.find("its folder"), std::string::npos) << text;
    EXPECT_FALSE(exists(m_path + "-shm"));
  });
  EXPECT_GT(sizeOf(m_path + "-wal"), 0) << "the rows in the log must stay";
}

TEST_F(CatalogueFileReadOnly, ReadOnlyMediumWithOrWithoutRowsInTheLog) {
  SmallDisk disk(m_dir / "disk", 4 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
  const std::string plain = disk.path("plain.mdb");
  fs::copy_file(m_path, plain);
  // A catalogue copied with its log and index while another program had rows in them.
  leaveRowsInTheLog(m_path, 2);
  const std::string logged = disk.path("logged.mdb");
  fs::copy_file(m_path, logged);
  fs::copy_file(m_path + "-wal", logged + "-wal");
  fs::copy_file(m_path + "-shm", logged + "-shm");
  const std::string withoutIndex = disk.path("noindex.mdb");
  fs::copy_file(m_path, withoutIndex);
  fs::copy_file(m_path + "-wal", withoutIndex + "-wal");
  ASSERT_TRUE(disk.makeReadOnly()) << std::strerror(errno);

  {
    SCOPED_TRACE("without a log");
    auto db = openAt(plain);
    expectReadOnly(*db, "read-only medium", 3);
    db->Close();
    EXPECT_FALSE(companionsLeft(plain));
  }
  {
    SCOPED_TRACE("with rows in the log");
    auto db = openAt(logged);
    expectReadOnly(*db, "read-only medium", 5);
  }
  std::string text;
  EXPECT_EQ(errorNumber([&] { openAt(withoutIndex); }, &text) & 0xFF, SQLITE_CANTOPEN) << text;
  EXPECT_NE(text.find("read-only medium"), std::string::npos) << text;
}

// ---------------------------------------------------------------------------------------------
// A shared-memory index left without write permission no longer blocks writing.

class CatalogueFileSharedMemory : public CatalogueFileTest {};

TEST_F(CatalogueFileSharedMemory, StaleReadOnlyIndexOfOurOwnIsRepairedBeforeWriting) {
  const std::string byReadOnlyOpen = copyInto(m_dir / "opened");
  const std::string byHand = copyInto(m_dir / "made");
  asUnprivilegedUser([&] {
    // An open while the catalogue was read-only, with rows in the log: SQLite makes the index
    // with the catalogue's permissions, 0444, and leaves it.
    leaveRowsInTheLog(byReadOnlyOpen, 1);
    ASSERT_EQ(::unlink((byReadOnlyOpen + "-shm").c_str()), 0);
    ASSERT_EQ(::chmod(byReadOnlyOpen.c_str(), 0444), 0);
    {
      sqlite3* raw = nullptr;
      ASSERT_EQ(sqlite3_open_v2(byReadOnlyOpen.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr),
                SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(raw, "SELECT count(*) FROM music_shelf", nullptr, nullptr, nullptr),
                SQLITE_OK);
      sqlite3_close(raw);
    }
    ASSERT_EQ(permissionsOf(byReadOnlyOpen + "-shm"), 0444);
    ASSERT_EQ(::chmod(byReadOnlyOpen.c_str(), 0644), 0);

    // The same left by an older program: an index of zeros nobody may write.
    const std::string shm = byHand + "-shm";
    writeFile(shm, std::string(32 * 1024, '\0'));
    ASSERT_EQ(::chmod(shm.c_str(), 0444), 0);

    for (const auto& [path, rows] : {std::pair{byReadOnlyOpen, 4}, std::pair{byHand, 3}}) {
      SCOPED_TRACE(path);
      auto db = openAt(path);
      EXPECT_FALSE(db->isReadOnly()) << db->readOnlyReason();
      EXPECT_EQ(count(*db), rows);
      EXPECT_NO_THROW(insertSong(*db, "written", "w"));
      EXPECT_NO_THROW(db->Execute("UPDATE music_shelf SET Year = '2001' WHERE Title = 'one'"));
      EXPECT_EQ(permissionsOf(path + "-shm") & 0600, 0600);
      db->Close();
      EXPECT_EQ(testcatalogue::scalar(
                    path, "SELECT count(*) FROM music_shelf WHERE Title = 'written' OR Year = '2001'"),
                "2");
    }
  });
}

// An index this process may not change and does not own is left alone; the write that fails
// on it names the file to delete.
TEST_F(CatalogueFileSharedMemory, IndexOfAnotherUserIsLeftAloneAndNamedWhenWritesFail) {
  if (!testsupport::runningAsRoot())
    GTEST_SKIP() << "needs a second user to own the index: run as root";
  const std::string shm = m_path + "-shm";
  writeFile(shm, std::string(32 * 1024, '\0'));
  testsupport::handToUnprivilegedUser(m_dir);
  ASSERT_EQ(::chown(shm.c_str(), 0, 0), 0);  // root's, as an open by root leaves it
  ChildProcess child(
      [&](const Channel&) {
        auto db = open();
        EXPECT_EQ(count(*db), 3);
        std::string text;
        EXPECT_EQ(errorNumber([&] { insertSong(*db, "new", "n"); }, &text) & 0xFF,
                  SQLITE_READONLY);
        EXPECT_NE(text.find("'" + shm + "'"), std::string::npos) << text;
        EXPECT_NE(text.find("delete"), std::string::npos) << text;
      },
      {.withoutRoot = true});
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(permissionsOf(shm), 0644);
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"), "3");
}

// ---------------------------------------------------------------------------------------------
// A full disk is named as such, and leaves nothing behind.

class CatalogueFileDiskFull : public CatalogueFileTest {};

TEST_F(CatalogueFileDiskFull, OpenOnAFullDiskFailsAndLeavesNoFiles) {
  SmallDisk disk(m_dir / "disk", 2 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
  const std::string path = disk.path("music_1.mdb");
  fs::copy_file(m_path, path);
  ASSERT_TRUE(disk.fill());

  std::string text;
  const int number = errorNumber([&] { openAt(path); }, &text);
  EXPECT_EQ(number, SQLITE_FULL) << text;
  EXPECT_NE(text.find("The disk that holds the catalogue is full"), std::string::npos) << text;
  EXPECT_FALSE(companionsLeft(path));

  // Nothing was harmed: with room again the catalogue opens with its rows.
  disk.freeUp();
  auto db = openAt(path);
  EXPECT_EQ(count(*db), 3);
}

TEST_F(CatalogueFileDiskFull, WriteOnAFullDiskSaysSoAndChangesNothing) {
  SmallDisk disk(m_dir / "disk", 4 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
  const std::string path = disk.path("music_1.mdb");
  fs::copy_file(m_path, path);
  auto db = openAt(path);
  ASSERT_TRUE(disk.fill());

  std::string text;
  const int number = errorNumber(
      [&] {
        db->Execute("INSERT INTO music_shelf (Title, Comment) VALUES ('big', '" +
                        std::string(64 * 1024, 'x') + "')",
                    64);
      },
      &text);
  EXPECT_EQ(number & 0xFF, SQLITE_FULL) << number << " " << text;
  EXPECT_NE(text.find("The disk that holds the catalogue is full"), std::string::npos) << text;
  EXPECT_EQ(count(*db), 3);

  // The same handle writes once there is room again.
  disk.freeUp();
  insertSong(*db, "after", "a");
  EXPECT_EQ(count(*db), 4);
  db->Close();
  EXPECT_EQ(testcatalogue::scalar(path, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM music_shelf"), "4");
}

// ---------------------------------------------------------------------------------------------
// The journal mode: the write-ahead log for a catalogue that may change, untouched otherwise.

class CatalogueFileJournal : public CatalogueFileTest {
 protected:
  void SetUp() override {
    CatalogueFileTest::SetUp();
    m_rollback = (m_dir / "rollback.mdb").string();
    testcatalogue::makePlain(m_rollback, kCatalogueSchema);
    testcatalogue::addSongs(m_rollback, {{"old", "o"}});
    ASSERT_EQ(formatVersions(m_rollback), std::pair(1, 1));
  }
  std::string m_rollback;
};

TEST_F(CatalogueFileJournal, WritableRollbackCatalogueMovesToTheLogForGood) {
  {
    auto db = openAt(m_rollback);
    EXPECT_FALSE(db->isReadOnly());
    insertSong(*db, "new", "n");
  }
  EXPECT_FALSE(companionsLeft(m_rollback));
  EXPECT_EQ(formatVersions(m_rollback), std::pair(2, 2));
  EXPECT_EQ(testcatalogue::scalar(m_rollback, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(testcatalogue::scalar(m_rollback, "SELECT count(*) FROM music_shelf"), "2");
}

TEST_F(CatalogueFileJournal, ReadOnlyRollbackCatalogueKeepsItsMode) {
  asUnprivilegedUser([&] {
    ASSERT_EQ(::chmod(m_rollback.c_str(), 0444), 0);
    auto db = openAt(m_rollback);
    expectReadOnly(*db, "the file is read-only", 1);
    db->Close();
    EXPECT_FALSE(companionsLeft(m_rollback));
  });
  EXPECT_EQ(formatVersions(m_rollback), std::pair(1, 1));
}

// ---------------------------------------------------------------------------------------------
// What is not a catalogue file, and the limits of one.

class CatalogueFileKinds : public CatalogueFileTest {};

TEST_F(CatalogueFileKinds, NamedPipeIsRefusedWithoutWaitingForAWriter) {
  const std::string pipe = (m_dir / "pipe.mdb").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  // Opening a pipe to read waits for a writer that never comes, so the open runs in a process of
  // its own that the test can give up on.
  ChildProcess opener([&](const Channel& parent) {
    std::string text;
    EXPECT_EQ(errorNumber([&] { openAt(pipe); }, &text), err::kNotADatabase) << text;
    EXPECT_NE(text.find("named pipe"), std::string::npos) << text;
    EXPECT_NE(text.find(pipe), std::string::npos) << text;
    parent.send('d');
  });
  EXPECT_NO_THROW(opener.channel().receive()) << "the open still waits on the pipe";
  EXPECT_EQ(opener.wait(), 0);
  EXPECT_FALSE(companionsLeft(pipe));
}

TEST_F(CatalogueFileKinds, ExhaustedAutoincrementNamesTheTableNotTheDisk) {
  auto db = open();
  db->Execute("UPDATE sqlite_sequence SET seq = " + std::to_string(kLargestRowid) +
              " WHERE name = 'music_shelf'");
  std::string text;
  const int number = errorNumber([&] { insertSong(*db, "one too many", "x"); }, &text);
  EXPECT_EQ(number & 0xFF, SQLITE_FULL) << number << " " << text;
  EXPECT_NE(text.find("music_shelf"), std::string::npos) << text;
  EXPECT_NE(text.find("AUTOINCREMENT"), std::string::npos) << text;
  EXPECT_EQ(text.find("disk"), std::string::npos) << text;

  // The import's prepared statement hears the same.
  auto insert = db->Prepare("INSERT INTO music_shelf (Title) VALUES (?1)");
  insert->bind(1, "imported");
  text.clear();
  EXPECT_EQ(errorNumber([&] { insert->Execute(); }, &text) & 0xFF, SQLITE_FULL);
  EXPECT_NE(text.find("AUTOINCREMENT"), std::string::npos) << text;
  EXPECT_EQ(count(*db), 3);
}

TEST_F(CatalogueFileKinds, VacuumRebuildsInPlaceButNeverWritesAnotherFile) {
  auto db = open();
  db->Execute(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
      "INSERT INTO music_shelf (Title, Comment) SELECT 'song ' || i, hex(zeroblob(200)) FROM n",
      64);
  db->Execute("DELETE FROM music_shelf WHERE Title LIKE 'song *' AND ID % 2 = 0", 64);
  const std::int64_t rows = count(*db);
  for (const char* sql : {"VACUUM", " -- tidy up\n vacuum main ;"}) {
    EXPECT_NO_THROW(db->Execute(sql, 64)) << sql;
    EXPECT_EQ(count(*db), rows);
  }
  EXPECT_EQ(count(*db, "WHERE Title IN ('one', 'two', 'three')"), 3);
  EXPECT_EQ(testcatalogue::scalar(m_path, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(testcatalogue::scalar(m_path, "PRAGMA journal_mode"), "wal");

  const std::string copy = (m_dir / "copy.mdb").string();
  for (const std::string& sql :
       {"VACUUM INTO '" + copy + "'", "/* backup */ vacuum main into '" + copy + "'"}) {
    std::string text;
    EXPECT_EQ(errorNumber([&] { db->Execute(sql, 64); }, &text), err::kStatementRefused)
        << sql << " -> " << text;
    EXPECT_FALSE(exists(copy)) << sql;
  }
  // The refusal leaves the guard as it was and the handle working.
  EXPECT_EQ(errorNumber([&] { db->Execute("ATTACH DATABASE '" + copy + "' AS other", 64); }),
            err::kStatementRefused);
  EXPECT_FALSE(exists(copy));
  insertSong(*db, "after", "a");
  EXPECT_EQ(count(*db), rows + 1);
}

}  // namespace
