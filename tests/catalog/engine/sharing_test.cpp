// The catalogue shared with other handles and other programs: locks kept, waits waited out.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "catalogue_fixture.h"
#include "support/childprocess.h"
#include "testcatalogue.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testsupport::Channel;
using testsupport::ChildProcess;

// Another program on the catalogue, through SQLite alone.
class Peer {
 public:
  explicit Peer(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
      throw std::runtime_error("peer cannot open the catalogue");
    sqlite3_busy_timeout(m_db, 10000);
  }
  ~Peer() { sqlite3_close(m_db); }
  void run(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message ? message : "?";
      sqlite3_free(message);
      throw std::runtime_error("peer: " + text);
    }
  }
  std::int64_t count(const std::string& where = "") {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(m_db, ("SELECT count(*) FROM music_shelf " + where).c_str(), -1, &stmt,
                       nullptr);
    const std::int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
  }

 private:
  sqlite3* m_db = nullptr;
};

// A child forked while this process holds a connection would inherit SQLite's record of that
// connection's locks, so every test forks before it opens the catalogue.
class SharingTest : public CatalogueTest {};

// A second handle opened after the first wrote, then another program that reads, checkpoints
// and closes: the first handle's next row must reach the file, not a log the other program
// deleted because it thought it was alone.
TEST_F(SharingTest, RowsSurviveASecondHandleAnotherProgramAndAKill) {
  ChildProcess program([&](const Channel& parent) {
    auto first = open();
    insertSong(*first, "before", "a");
    auto second = open();
    EXPECT_EQ(count(*second), 1);
    parent.send('o');
    parent.receive();  // the other program has been and gone
    insertSong(*first, "after", "b");
    parent.send('w');
    parent.receive();  // killed here
  });
  program.channel().receive();
  {
    Peer peer(m_path);
    EXPECT_EQ(peer.count(), 1);
    peer.run("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  program.channel().send('c');
  program.channel().receive();
  {
    Peer peer(m_path);
    EXPECT_EQ(peer.count("WHERE Title = 'after'"), 1) << "the row went to a deleted log";
  }
  program.kill();
  EXPECT_EQ(program.wait(), 128 + SIGKILL);

  Peer after(m_path);
  EXPECT_EQ(after.count(), 2);
  EXPECT_EQ(testcatalogue::scalar(m_path, "PRAGMA integrity_check"), "ok");
}

TEST_F(SharingTest, TheEngineKnowsWhichFilesItHasOpen) {
  fs::create_symlink(m_path, m_dir / "link.mp3");
  EXPECT_FALSE(engine::isOpenCatalogue(m_path));
  {
    auto db = open();
    EXPECT_TRUE(engine::isOpenCatalogue(m_path));
    EXPECT_TRUE(engine::isOpenCatalogue((m_dir / "link.mp3").string()));
    auto second = open();
    db->Close();
    EXPECT_TRUE(engine::isOpenCatalogue(m_path));
  }
  EXPECT_FALSE(engine::isOpenCatalogue(m_path));
  EXPECT_FALSE(engine::isOpenCatalogue((m_dir / "missing").string()));
}

// Runs of a batched statement are one transaction until the batch is committed: by hand, or
// before the engine runs anything else. A run that fails keeps the rows before it.
TEST_F(SharingTest, ABatchIsCommittedBeforeAnythingElseRuns) {
  auto db = open();
  auto insert = db->Prepare("INSERT INTO music_shelf (Title) VALUES (?1)");
  insert->setBatched(true);
  const auto outside = [&] {
    return std::stoll(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"));
  };
  for (const char* title : {"a", "b"}) {
    insert->bind(1, title);
    insert->Execute();
  }
  EXPECT_EQ(outside(), 0);
  EXPECT_EQ(count(*db), 2);  // preparing the count committed the batch first
  EXPECT_EQ(outside(), 2);

  insert->bind(1, "c");
  insert->Execute();
  engine::commitOpenBatch();
  EXPECT_EQ(outside(), 3);

  db->Execute("CREATE TRIGGER no_d BEFORE INSERT ON music_shelf WHEN NEW.Title = 'd' "
              "BEGIN SELECT RAISE(ABORT, 'no d'); END");
  insert->bind(1, "before d");
  insert->Execute();
  insert->bind(1, "d");
  EXPECT_NE(errorNumber([&] { insert->Execute(); }), 0);
  EXPECT_EQ(outside(), 4);  // the row before the failure is in

  insert->bind(1, "e");
  insert->Execute();
  db.reset();
  insert.reset();  // the last holder of the connection commits what is left
  EXPECT_EQ(outside(), 5);
}

// A view still reading holds an older snapshot; a batch written after another program's commit
// must not fail as if the catalogue were locked (SQLite cannot begin a write in an old snapshot).
TEST_F(SharingTest, ABatchAfterAnotherProgramsWriteIsNotLockedOut) {
  auto db = open();
  db->Execute(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
      "INSERT INTO music_shelf (Title) SELECT 'song ' || i FROM n");
  auto view = db->OpenRecordset("SELECT * FROM music_shelf ORDER BY ID");
  ASSERT_FALSE(view->isComplete());
  testcatalogue::run(m_path, "INSERT INTO music_shelf (Title) VALUES ('from another program')");
  auto insert = db->Prepare("INSERT INTO music_shelf (Title) VALUES (?1)");
  insert->setBatched(true);
  insert->setLockWait(100ms);
  insert->bind(1, "imported");
  EXPECT_EQ(errorNumber([&] { insert->Execute(); }), 0);
  engine::commitOpenBatch();
  EXPECT_EQ(count(*db), 1002);
}

// Another program keeps a write open for longer than this handle's statements may run: the
// statement waits it out instead of failing with "database is locked", and the window is told.
TEST_F(SharingTest, AStatementWaitsOutAnotherProgramsLongWrite) {
  ChildProcess program([&](const Channel& parent) {
    Peer peer(m_path);
    peer.run("BEGIN IMMEDIATE; INSERT INTO music_shelf (Title) VALUES ('theirs')");
    parent.send('l');
    parent.receive();  // until told to let go
    peer.run("COMMIT");
  });
  program.channel().receive();
  auto db = open();
  db->setQueryTimeout(300ms);
  std::vector<std::chrono::milliseconds> reported;
  int ended = 0;
  // The other program lets go once the statement has waited twice its own limit, which leaves
  // it most of the ten seconds more that it would wait.
  const auto letGo = [&](std::chrono::milliseconds waited) {
    return waited >= 600ms && (reported.empty() || reported.back() < 600ms);
  };
  engine::setLockWaitObserver({[&](const std::string& path, std::chrono::milliseconds waited) {
                                 EXPECT_EQ(path, m_path);
                                 if (letGo(waited)) program.channel().send('r');
                                 reported.push_back(waited);
                               },
                               [&] { ++ended; }});
  insertSong(*db, "mine", "x");
  engine::setLockWaitObserver({});
  EXPECT_EQ(program.wait(), 0);

  EXPECT_EQ(count(*db), 2);
  ASSERT_FALSE(reported.empty());
  EXPECT_GE(reported.back(), 600ms);
  EXPECT_EQ(ended, 1);
}

// A statement told to wait briefly gives up with a lock timeout and its values still bound, so
// the caller can let its window run and try again.
TEST_F(SharingTest, APreparedStatementWithAShortWaitCanTryAgain) {
  ChildProcess program([&](const Channel& parent) {
    Peer peer(m_path);
    peer.run("BEGIN IMMEDIATE");
    parent.send('l');
    parent.receive();
    peer.run("COMMIT");
    parent.send('u');
  });
  program.channel().receive();
  auto db = open();
  auto insert = db->Prepare("INSERT INTO music_shelf (Title, Artist) VALUES (?1, ?2)");
  insert->setLockWait(20ms);
  insert->bind(1, "title");
  insert->bind(2, "artist");
  std::string text;
  const int number = errorNumber([&] { insert->Execute(); }, &text);
  EXPECT_EQ(number & 0xFF, SQLITE_BUSY);
  EXPECT_NE(text.find("another program"), std::string::npos) << text;
  program.channel().send('c');
  program.channel().receive();
  insert->Execute();
  EXPECT_EQ(program.wait(), 0);
  EXPECT_EQ(count(*db, "WHERE Title = 'title' AND Artist = 'artist'"), 1);
}

}  // namespace
