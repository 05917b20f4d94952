#include "import/folderimport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "engine/engine.h"
#include "engine/errors.h"
#include "import/importqueue.h"
#include "import/importsummary.h"
#include "importfixture.h"
#include "mp3fixture.h"
#include "support/childprocess.h"
#include "support/descriptorlimit.h"
#include "support/gate.h"
#include "support/lockholder.h"
#include "support/tempdir.h"

namespace importer {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

std::size_t threadsRunning() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// The threads of this process once those that were joined have left it. A joined thread has
// finished its work, but the system may list it for a moment longer, all the more on a busy
// machine; a thread that was left running never leaves, and after a minute the count says so.
std::size_t threadsAfterJoins(std::size_t expected) {
  for (int tries = 0; tries < 60000 && threadsRunning() != expected; ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return threadsRunning();
}

class FolderImportTest : public fixture::ImportTest {};

TEST_F(FolderImportTest, RowsFollowTheWalkFilesFirstThenSubfoldersDepthFirst) {
  touch("a1.mp3");
  touch("B/b1.mp3");
  touch("B/D/d1.mp3");
  touch("a2.MP3");
  touch("C/c1.mp3");
  touch("B/b2.mp3");
  // Early files whose reads wait for a later file's read to begin: the readers finish out of
  // order, the rows do not.
  testsupport::Gate b1Begun;
  testsupport::Gate b2Begun;
  beforeRead = [&](const std::string& path) {
    if (path.ends_with("a1.mp3")) {
      EXPECT_TRUE(b1Begun.wait());
    }
    if (path.ends_with("b1.mp3")) {
      b1Begun.open();
      EXPECT_TRUE(b2Begun.wait());
    }
    if (path.ends_with("b2.mp3")) b2Begun.open();
  };
  makeImport({.readers = 4, .filesInFlight = 3});
  EXPECT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(stored(),
            (Names{"a1.mp3", "a2.MP3", "B/b1.mp3", "B/b2.mp3", "B/D/d1.mp3", "C/c1.mp3"}));
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 6}));
}

TEST_F(FolderImportTest, StoresTheReadersValuesAsTheCatalogueAlwaysHeldThem) {
  touch("Rock'n'Roll/Don't.mp3");
  run(root().string());
  auto rows = db->OpenRecordset(
      "SELECT Title, Artist, Album, Genre, Track, Filename, Duration, Bitrate, VBR, "
      "typeof(Track), typeof(Duration), typeof(VBR) FROM music_shelf");
  rows->readAll();
  ASSERT_EQ(rows->rowCount(), 1);
  const Names expected{"Don't.mp3", "Band",    "Disc",
                       "Rock",      "2",       (root() / "Rock'n'Roll/Don't.mp3").string(),
                       "61",        "128",     "True",
                       "integer",   "integer", "text"};
  for (int column = 0; column < static_cast<int>(expected.size()); ++column)
    EXPECT_EQ(rows->value(0, column).toText(), expected[column]) << column;
}

TEST_F(FolderImportTest, SelectsMp3NamesInAnyCaseAndSkipsHiddenEntries) {
  for (const char* name : {"song.mp3", "song.Mp3", "SONG.MP3", "song.mp3.bak", "song.mp4", "mp3",
                           "xmp3", ".mp3", "a.mP3", ".hidden/in.mp3", "v/.h.mp3", "v/s.mp3"})
    touch(name);
  fs::create_directories(root() / "old.mp3");
  touch("old.mp3/inner.mp3");
  run(root().string());
  EXPECT_EQ(stored(),
            (Names{"SONG.MP3", "a.mP3", "song.Mp3", "song.mp3", "old.mp3/inner.mp3", "v/s.mp3"}));
}

TEST_F(FolderImportTest, PassedOverEntriesAreCounted) {
  touch("real.mp3");
  ASSERT_EQ(::mkfifo((root() / "pipe.mp3").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((root() / "pipe.txt").c_str(), 0644), 0);  // not an MP3 name: not counted
  fs::create_symlink(root() / "absent.mp3", root() / "broken.mp3");
  fs::create_symlink(root() / "real.mp3", root() / "linked.mp3");
  fs::create_symlink(root() / "loop", root() / "loop");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (root() / "socket.mp3").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  run(root().string());
  ::close(sock);
  EXPECT_EQ(stored(), (Names{"linked.mp3", "real.mp3"}));
  EXPECT_EQ(import->progress().counts,
            (ImportCounts{.songsAdded = 2, .specialFiles = 2, .entriesMissing = 2}));
}

TEST_F(FolderImportTest, LinkedFoldersAreWalkedOnceAndLoopsEnd) {
  touch("a/a.mp3");
  touch("b/b.mp3");
  fs::create_directories(dir.path() / "elsewhere");
  fixture::writeFile(dir.path() / "elsewhere/e.mp3", "x");
  fs::create_directory_symlink(root(), root() / "a/up");          // back to the top
  fs::create_directory_symlink(root() / "a", root() / "a/self");  // to itself
  fs::create_directory_symlink(root() / "b", root() / "a/to-b");  // a sibling, walked later
  fs::create_directory_symlink(dir.path() / "elsewhere", root() / "ext1");
  fs::create_directory_symlink(dir.path() / "elsewhere", root() / "ext2");
  run(root().string());
  EXPECT_EQ(stored(), (Names{"a/a.mp3", "a/to-b/b.mp3", "ext1/e.mp3"}));
}

// Runs without root, for whom every folder opens.
TEST_F(FolderImportTest, UnreadableFoldersAreCountedAndTheRestImported) {
  touch("a.mp3");
  touch("locked/l.mp3");
  touch("z/z.mp3");
  db.reset();  // a child must not inherit an open connection
  testsupport::handToUnprivilegedUser(dir.path());
  ASSERT_EQ(::chmod((root() / "locked").c_str(), 0), 0);
  testsupport::ChildProcess child(
      [&](const testsupport::Channel&) {
        db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
        EXPECT_EQ(run(root().string()), ImportEnd::Finished);
        EXPECT_EQ(stored(), (Names{"a.mp3", "z/z.mp3"}));
        EXPECT_EQ(import->progress().counts.foldersUnreadable, 1);
      },
      {.withoutRoot = true});
  EXPECT_EQ(child.wait(), 0);
  ::chmod((root() / "locked").c_str(), 0755);
}

TEST_F(FolderImportTest, MissingFolderImportsNothingAndSaysSo) {
  EXPECT_EQ(run((root() / "absent").string()), ImportEnd::Finished);
  EXPECT_EQ(rowCount(), 0);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.foldersUnreadable = 1}));
}

TEST_F(FolderImportTest, NamesThatAreNotUtf8AreReadUnderTheirBytes) {
  touch("caf\xE9.mp3");
  std::string readPath;
  beforeRead = [&](const std::string& path) { readPath = path; };
  run(root().string());
  struct stat st {};
  EXPECT_EQ(::stat(readPath.c_str(), &st), 0);
  EXPECT_EQ(stored(), Names{"caf\xEF\xBF\xBD.mp3"});
}

TEST_F(FolderImportTest, AFolderEndingInASeparatorGivesADoubledOne) {
  touch("a.mp3");
  run(root().string() + "/");
  EXPECT_EQ(stored(), Names{"/a.mp3"});
}

class StopTest : public FolderImportTest, public ::testing::WithParamInterface<int> {};

// Cancel from within a yield: no row is written after it, and no thread is left running.
TEST_P(StopTest, NoRowAfterTheStopAndNoThreadLeft) {
  for (int i = 0; i < 12; ++i) touch((i % 3 ? "S/" : "") + std::to_string(100 + i) + ".mp3");
  // A batch of one row: the window runs after every row, so the stop can come after any.
  makeImport({.readers = 2, .longestBatch = std::chrono::milliseconds(0)});
  const std::size_t threadsBefore = threadsRunning();
  const int stopAfter = GetParam();
  std::int64_t rowsAtStop = -1;
  onYield = [&] {
    if (rowsAtStop < 0 && import->progress().counts.songsAdded == stopAfter) {
      rowsAtStop = stopAfter;
      import->requestStop();
    }
  };
  EXPECT_EQ(run(root().string()), ImportEnd::Stopped);
  EXPECT_EQ(rowCount(), stopAfter);
  EXPECT_EQ(import->progress().counts.songsAdded, stopAfter);
  EXPECT_EQ(threadsAfterJoins(threadsBefore), threadsBefore);

  // The next import starts afresh and reuses the readers' components: one at most per reader.
  onYield = nullptr;
  EXPECT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(rowCount(), stopAfter + 12);
  EXPECT_LE(componentsMade, 2);
}

INSTANTIATE_TEST_SUITE_P(AfterRows, StopTest, ::testing::Values(0, 1, 5, 11));

TEST_F(FolderImportTest, StopReachesReadersThatAreStillBusy) {
  for (int i = 0; i < 200; ++i) touch(std::to_string(1000 + i) + ".mp3");
  constexpr int kReaders = 2;
  makeImport({.readers = kReaders, .longestBatch = std::chrono::milliseconds(0)});
  // Every file but the first three is still being read when the stop comes, and the stop
  // comes once a reader is in such a read.
  std::atomic<int> reads{0};
  testsupport::Gate readerHeld;
  testsupport::Gate stopped;
  beforeRead = [&](const std::string& path) {
    ++reads;
    if (!path.ends_with("/1000.mp3") && !path.ends_with("/1001.mp3") &&
        !path.ends_with("/1002.mp3")) {
      readerHeld.open();
      EXPECT_TRUE(stopped.wait());
    }
  };
  const std::size_t threadsBefore = threadsRunning();
  onYield = [&] {
    if (import->progress().counts.songsAdded == 3 && !stopped.isOpen()) {
      EXPECT_TRUE(readerHeld.wait());
      import->requestStop();
      stopped.open();
    }
  };
  EXPECT_EQ(run(root().string()), ImportEnd::Stopped);
  // Each reader finished the file it was reading and took no other.
  EXPECT_LE(reads, 3 + kReaders);
  EXPECT_GT(reads, 3);
  EXPECT_EQ(rowCount(), 3);
  EXPECT_EQ(threadsAfterJoins(threadsBefore), threadsBefore);
}

// The stop comes in the window's turn after the last row, while the walker is still at its last
// entry (a file a row already holds): the import counts as finished. A stop while the walk
// still had entries to look at does not.
TEST_F(FolderImportTest, AStopAfterTheLastRowChangesNothing) {
  touch("a.mp3");
  touch("S/b.mp3");
  touch("S/c.mp3");
  testsupport::Gate stopped;
  struct HeldAtTheLastEntry final : WalkFilter {
    testsupport::Gate& stopped;
    explicit HeldAtTheLastEntry(testsupport::Gate& gate) : stopped(gate) {}
    // The last file is a known one, unchanged since it was read: it is passed over.
    std::optional<KnownFile> lookUp(std::string_view path) override {
      if (!path.ends_with("/S/c.mp3")) return std::nullopt;
      EXPECT_TRUE(stopped.wait());
      struct stat status {};
      EXPECT_EQ(::stat(std::string(path).c_str(), &status), 0);
      return KnownFile{1, path, true, pipeline::stampOf(status)};
    }
    void folderReached(std::string_view, Listing) override {}
    bool holdBack(const ReadFile&) override { return false; }
  } filter(stopped);
  onYield = [&] {
    if (import->progress().counts.songsAdded == 2 && !stopped.isOpen()) {
      import->requestStop();
      stopped.open();
    }
  };
  makeImport();
  EXPECT_EQ(import->run(root().string(), [this] { return db; }, [this] { onYield(); }, &filter),
            ImportEnd::Finished);
  EXPECT_EQ(rowCount(), 2);

  // Now the stop comes after the first row, while S/b.mp3 is held in its read: the walk still
  // has the folder T to look at, so that stop ends the import.
  fs::remove(root() / "S/c.mp3");
  touch("T/c.mp3");
  testsupport::Gate stoppedEarly;
  beforeRead = [&](const std::string& path) {
    if (path.ends_with("S/b.mp3")) {
      EXPECT_TRUE(stoppedEarly.wait());
    }
  };
  makeImport({.readers = 1, .filesInFlight = 1});
  onYield = [&] {
    if (import->progress().counts.songsAdded == 1 && !stoppedEarly.isOpen()) {
      import->requestStop();
      stoppedEarly.open();
    }
  };
  EXPECT_EQ(run(root().string()), ImportEnd::Stopped);
  EXPECT_EQ(rowCount(), 3);
}

// A stop that keeps the last file's row from being written ends the import, however far the
// walk got: in the window's turn before the row, or while another program holds the catalogue.
TEST_F(FolderImportTest, AStopBeforeTheLastRowEndsTheImport) {
  touch("a.mp3");
  onYield = [&] { import->requestStop(); };
  EXPECT_EQ(run(root().string()), ImportEnd::Stopped);
  EXPECT_EQ(rowCount(), 0);

  db.reset();
  testsupport::LockHolder other(cataloguePath().string());
  other.held();
  db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
  onYield = [&] {
    if (import->progress().waitingForCatalogue) import->requestStop();
  };
  EXPECT_EQ(run(root().string()), ImportEnd::Stopped);
  other.letGo();
  EXPECT_EQ(other.wait(), 0);
  EXPECT_EQ(rowCount(), 0);
}

TEST_F(FolderImportTest, TheWindowRunsWhileReadersAreSlow) {
  touch("slow.mp3");
  // The one file's read ends only once the window has run six times meanwhile; an import that
  // did not let the window run while it waits would never get there.
  testsupport::Gate windowRan;
  beforeRead = [&](const std::string&) { EXPECT_TRUE(windowRan.wait()); };
  int yields = 0;
  onYield = [&] {
    if (++yields == 6) windowRan.open();
  };
  EXPECT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(rowCount(), 1);
  EXPECT_GE(yields, 6);
}

TEST_F(FolderImportTest, ARefusedRowStopsTheImportAndKeepsTheRowsBefore) {
  for (const char* name : {"a.mp3", "b.mp3", "c.mp3", "S/d.mp3"}) touch(name);
  db->Execute(
      "CREATE TRIGGER full BEFORE INSERT ON music_shelf WHEN (SELECT count(*) FROM music_shelf) "
      ">= 2 BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END");
  const std::size_t threadsBefore = threadsRunning();
  try {
    run(root().string());
    FAIL() << "no error";
  } catch (const engine::EngineError& error) {
    EXPECT_NE(error.description().find("disk is full"), std::string::npos);
  }
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3"}));
  EXPECT_EQ(threadsAfterJoins(threadsBefore), threadsBefore);
}

// Two instances import into one catalogue at once while a third program holds it for one long
// write, longer than any statement of ours may run: every row of both arrives, and neither
// import stops on the lock.
TEST_F(FolderImportTest, TwoImportsAtOnceAndALongForeignWriteLoseNoRow) {
  const fs::path catalogue = dir.path() / "music_1.mdb";
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i) {
    touch("mine/" + std::to_string(i) + ".mp3");
    touch("theirs/" + std::to_string(i) + ".mp3");
  }
  // Children must not inherit SQLite's record of an open connection.
  db.reset();

  testsupport::ChildProcess other([&](const testsupport::Channel& parent) {
    auto theirs = engine::DBEngine::instance().Workspaces(0).OpenDatabase(catalogue.string());
    theirs->setQueryTimeout(std::chrono::milliseconds(300));
    parent.send('s');
    FolderImport import([] { return std::make_unique<fixture::NamedSongs>(nullptr); });
    EXPECT_EQ(import.run((root() / "theirs").string(), [&] { return theirs; }, [] {}),
              ImportEnd::Finished);
  });
  testsupport::LockHolder longWrite(catalogue.string(), true);  // once the imports are under way
  other.channel().receive();
  db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(catalogue.string());
  db->setQueryTimeout(std::chrono::milliseconds(300));
  // A row a batch, so the foreign write surely comes while rows are still to be written.
  makeImport({.longestBatch = std::chrono::milliseconds(0)});

  // The write is let go once this import has tried 30 times to write its row meanwhile, each
  // try waiting 50 ms for the lock: the wait outlasts any one statement (300 ms) five times
  // over, however slow the machine.
  bool lockTaken = false;
  int triesWhileLocked = 0;
  onYield = [&] {
    if (!lockTaken && import->progress().counts.songsAdded >= 20) {
      longWrite.take();
      lockTaken = true;
    }
    if (lockTaken && import->progress().waitingForCatalogue && ++triesWhileLocked == 30)
      longWrite.letGo();
  };
  EXPECT_EQ(run((root() / "mine").string()), ImportEnd::Finished);
  EXPECT_EQ(longWrite.wait(), 0);
  EXPECT_EQ(other.wait(), 0);
  EXPECT_GE(triesWhileLocked, 30);
  EXPECT_FALSE(import->progress().waitingForCatalogue);

  auto rows = db->OpenRecordset(
      "SELECT count(*), count(DISTINCT Filename) FROM music_shelf", engine::dbOpenSnapshot);
  EXPECT_EQ(rows->Fields(0).Value().integer(), 2 * kFiles);
  EXPECT_EQ(rows->Fields(1).Value().integer(), 2 * kFiles);
}

// Rows that are ready together are written as one batch; whenever the window runs, every row
// counted so far is committed, so another program sees it too.
TEST_F(FolderImportTest, BatchesAreCommittedBeforeTheWindowRuns) {
  constexpr int kFiles = 400;
  for (int i = 0; i < kFiles; ++i) touch(std::to_string(1000 + i) + ".mp3");
  // Every file's read has begun before the first row is written, so the rows come in batches.
  std::atomic<int> reads{0};
  testsupport::Gate allReadsBegun;
  beforeRead = [&](const std::string&) {
    if (++reads == kFiles) allReadsBegun.open();
  };
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((dir.path() / "music_1.mdb").c_str(), &other), SQLITE_OK);
  const auto committed = [&] {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(other, "SELECT count(*) FROM music_shelf", -1, &stmt, nullptr);
    const std::int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
  };
  // The counts the window saw, each one a commit.
  std::set<std::int64_t> commitsSeen;
  onYield = [&] {
    if (import->progress().counts.songsAdded == 0) {
      EXPECT_TRUE(allReadsBegun.wait());
    }
    const std::int64_t added = import->progress().counts.songsAdded;
    EXPECT_EQ(committed(), added);
    if (added > 0) commitsSeen.insert(added);
  };
  // Without a time limit a batch ends only where the next row is not read yet.
  constexpr int kReaders = 2;
  makeImport(
      {.readers = kReaders, .filesInFlight = kFiles, .longestBatch = std::chrono::hours(1)});
  EXPECT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(committed(), kFiles);
  // When the rows began, at most one read per reader was still going on: one batch for the
  // rows before each of those, and one for the rest.
  EXPECT_LE(commitsSeen.size(), std::size_t{kReaders + 1});
  EXPECT_EQ(commitsSeen.count(kFiles), 1u);
  sqlite3_close(other);
}

TEST_F(FolderImportTest, RowsGoToTheNewestHandle) {
  for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) touch(name);
  std::vector<std::shared_ptr<engine::Database>> handles;
  // After the first row the window reopens the catalogue and closes the old handle.
  onYield = [&] {
    if (import->progress().counts.songsAdded == 1 && handles.empty()) {
      handles.push_back(db);
      db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(handles[0]->path());
      handles[0]->Close();
    }
  };
  EXPECT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3", "c.mp3"}));

  // A handle that is closed and not replaced refuses the row.
  db->Close();
  EXPECT_THROW(run(root().string()), engine::EngineError);
}

// Files waiting for their rows must not use up the process's descriptors: with a modest limit
// every folder is still walked, as it was when folders were walked by name.
TEST_F(FolderImportTest, EveryFolderIsWalkedUnderAModestDescriptorLimit) {
  constexpr int kFolders = 200;
  for (int i = 0; i < kFolders; ++i) touch("f" + std::to_string(1000 + i) + "/s.mp3");
  const std::string last = "f" + std::to_string(1000 + kFolders - 1);
  // The first file is read only once the walk has reached the last folder, failed to open
  // one, or come to where it holds back (it waits for rows once more than 64 folders' files
  // wait for theirs: at the chosen folder and 65 below it), so the walk gets as far ahead of
  // the rows as it ever will.
  testsupport::Gate farAhead;
  struct Reached final : WalkFilter {
    testsupport::Gate& farAhead;
    const std::string& last;
    int folders = 0;
    Reached(testsupport::Gate& gate, const std::string& lastFolder)
        : farAhead(gate), last(lastFolder) {}
    std::optional<KnownFile> lookUp(std::string_view) override { return std::nullopt; }
    bool holdBack(const ReadFile&) override { return false; }
    void folderReached(std::string_view path, Listing listing) override {
      if (listing == Listing::Unreadable || path.ends_with(last) || ++folders > 65)
        farAhead.open();
    }
  } reached(farAhead, last);
  std::atomic<bool> first{true};
  beforeRead = [&](const std::string&) {
    if (first.exchange(false)) {
      EXPECT_TRUE(farAhead.wait());
    }
  };
  makeImport({.readers = 2});

  {
    const testsupport::DescriptorLimit limit(128);
    EXPECT_EQ(import->run(root().string(), [this] { return db; }, [] {}, &reached),
              ImportEnd::Finished);
  }
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = kFolders}));
  EXPECT_EQ(rowCount(), kFolders);
}

// Makes `levels` nested folders below `parent`, each named `name`, through descriptors (the
// path soon outgrows what the system opens by name); returns the deepest one, open.
int makeDeepTree(int parentFd, const std::string& name, int levels) {
  int fd = ::dup(parentFd);
  for (int i = 0; i < levels; ++i) {
    ::mkdirat(fd, name.c_str(), 0755);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  return fd;
}

void writeAt(int folderFd, const std::string& name, const std::string& bytes) {
  const int fd = ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// Removes a tree of any depth below an open folder.
void removeBelow(int folderFd) {
  const int listing = ::dup(folderFd);
  DIR* dir = ::fdopendir(listing);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const int child = ::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (child >= 0) {
      removeBelow(child);
      ::close(child);
      ::unlinkat(folderFd, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(folderFd, name.c_str(), 0);
    }
  }
  ::closedir(dir);
}

TEST_F(FolderImportTest, PathsLongerThanTheSystemLimitAreImported) {
  const std::string song =
      fixture::id3v2Tag(3, {{"TIT2", {"Deep"}}}) + fixture::mpegAudio({.frames = 40});
  const int rootFd = ::open(root().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(rootFd, 0);
  // 300 levels of 20-byte names, an MP3 file at eight depths down to the bottom.
  const std::string name(20, 'd');
  writeAt(rootFd, "top.mp3", song);
  int expected = 1;
  int level = 0;
  int fd = ::dup(rootFd);
  for (int depth : {1, 50, 150, 204, 205, 250, 300}) {
    const int deeper = makeDeepTree(fd, name, depth - level);
    ::close(fd);
    fd = deeper;
    level = depth;
    writeAt(fd, "song.mp3", song);
    ++expected;
  }
  ::close(fd);

  import = std::make_unique<FolderImport>(createTagLibMp3Info);
  import->run(root().string(), [this] { return db;
}, [] {});
auto rows = db->OpenRecordset("SELECT Title, Filename, Bitrate FROM music_shelf ORDER BY ID");
rows->readAll();
ASSERT_EQ(rows->rowCount(), expected);
std::size_t longest = 0;
for (std::int64_t i = 0; i < rows->rowCount(); ++i) {
  EXPECT_EQ(rows->value(i, 0).toText(), "Deep") << i;
  EXPECT_EQ(rows->value(i, 2), engine::Value(128)) << i;
  longest = std::max(longest, rows->value(i, 1).toText().size());
}
EXPECT_GT(longest, 6000u);
EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = expected}));
removeBelow(rootFd);
::close(rootFd);
}  // namespace importer

std::size_t descriptorsOpen() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& fd : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Most files are opened ahead by a reader and read by another: each must still be read as
// itself, and every descriptor closed, also when the import is cancelled.
TEST_F(FolderImportTest, FilesOpenedAheadAreReadAsThemselvesAndClosed) {
  constexpr int kFiles = 120;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = std::to_string(1000 + i);
    fs::create_directories(root() / name.substr(0, 3));
    fixture::writeMp3(root() / name.substr(0, 3) / (name + ".mp3"),
                      fixture::id3v2Tag(4, {{"TIT2", {"Song " + name}}}), {.frames = 20});
  }
  // A batch of one row, so the stop below comes with files still open ahead.
  import = std::make_unique<FolderImport>(
      createTagLibMp3Info, FolderImport::Options{.longestBatch = std::chrono::milliseconds(0)});
  const std::size_t before = descriptorsOpen();
  run(root().string());
  EXPECT_EQ(descriptorsOpen(), before);
  const Names titles = stored("Title");
  ASSERT_EQ(titles.size(), static_cast<std::size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(titles[i], "Song " + std::to_string(1000 + i));

  onYield = [&] {
    if (import->progress().counts.songsAdded == 5) import->requestStop();
  };
  EXPECT_EQ(run(root().string()), ImportEnd::Stopped);
  EXPECT_EQ(descriptorsOpen(), before);
}

// The whole road on real files: TagLib reads them, the engine stores the rows.
TEST_F(FolderImportTest, TagsAndPathsArriveUnchangedThroughTagLib) {
  const fs::path music = root() / "Rock'n'Roll";
  fs::create_directories(music / "sub");
  fixture::writeMp3(music / "a.mp3",
                    fixture::id3v2Tag(3, {{"TIT2", {"Don't Stop"}},
                                          {"TPE1", {"Guns N' Roses"}},
                                          {"TCON", {"Rock 'n' Roll"}},
                                          {"TRCK", {"03/12"}}}),
                    {.frames = 120, .header = fixture::Header::Xing});
  fixture::writeFile(music / "sub/broken.mp3", "not audio");
  import = std::make_unique<FolderImport>(createTagLibMp3Info);
  run(music.string());

  auto rows = db->OpenRecordset(
      "SELECT Title, Artist, Album, Genre, Track, Filename, Duration, Bitrate, VBR FROM "
      "music_shelf ORDER BY ID");
  rows->readAll();
  ASSERT_EQ(rows->rowCount(), 2);
  EXPECT_EQ(rows->value(0, 0).toText(), "Don't Stop");
  EXPECT_EQ(rows->value(0, 1).toText(), "Guns N' Roses");
  EXPECT_EQ(rows->value(0, 2).toText(), "Unknown");
  EXPECT_EQ(rows->value(0, 3).toText(), "Rock 'n' Roll");
  EXPECT_EQ(rows->value(0, 4), engine::Value(3));
  EXPECT_EQ(rows->value(0, 5).toText(), (music / "a.mp3").string());
  EXPECT_EQ(rows->value(0, 6), engine::Value(3));
  EXPECT_EQ(rows->value(0, 8).toText(), "True");
  EXPECT_EQ(rows->value(1, 0).toText(), "Unknown");
  EXPECT_EQ(rows->value(1, 4).toText(), "");
  EXPECT_EQ(rows->value(1, 5).toText(), (music / "sub/broken.mp3").string());
  EXPECT_EQ(rows->value(1, 7), engine::Value(0));
  EXPECT_EQ(rows->value(1, 8).toText(), "False");
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 2, .filesUnreadable = 1}));
}

TEST(ImportSummaryTest, Texts) {
  EXPECT_EQ(groupedNumber(0), "0");
  EXPECT_EQ(groupedNumber(999), "999");
  EXPECT_EQ(groupedNumber(1000), "1,000");
  EXPECT_EQ(groupedNumber(1234567), "1,234,567");
  EXPECT_EQ(groupedNumber(-1234), "-1,234");

  EXPECT_EQ(summaryText({.songsAdded = 10000}, "/music", 1.23, ImportEnd::Finished),
            "Added 10,000 songs from /music in 1.2 s");
  EXPECT_EQ(summaryText({.songsAdded = 1, .filesUnreadable = 3}, "/m", 0.04, ImportEnd::Finished),
            "Added 1 song from /m in 0.0 s (3 files could not be read)");
  EXPECT_EQ(summaryText({.songsAdded = 5,
                         .filesUnreadable = 1,
                         .foldersUnreadable = 2,
                         .specialFiles = 1,
                         .entriesMissing = 3,
                         .entriesUnreadable = 1},
                        "/m", 2, ImportEnd::Finished),
            "Added 5 songs from /m in 2.0 s (1 file could not be read, 2 folders could not be "
            "read, 1 special file was skipped, 3 entries had vanished or were broken links, "
            "1 entry could not be examined)");
  EXPECT_EQ(summaryText({.songsAdded = 4120}, "/m", 9, ImportEnd::Stopped),
            "Import cancelled: 4,120 songs added");
  EXPECT_EQ(summaryText({.songsAdded = 2}, "/m", 9, ImportEnd::Stopped, true),
            "Import stopped by an error: 2 songs added");
  EXPECT_EQ(summaryText({}, "/caf\xE9", 0, ImportEnd::Finished),
            "Added 0 songs from /caf\xEF\xBF\xBD in 0.0 s");
  EXPECT_EQ(progressText({.songsAdded = 4120}, 2), "Importing: 4,120 songs, 2,060 files/s");
  EXPECT_EQ(progressText({}, 0), "Importing: 0 songs");
  EXPECT_EQ(progressText({.songsAdded = 7}, 2, true),
            "Importing: 7 songs, waiting for another program to finish with the catalogue");
}

}  // namespace
}  // namespace importer
