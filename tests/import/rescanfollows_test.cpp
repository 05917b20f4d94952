// A rescan that follows the music folder: files moved, renamed, retagged, copied and deleted
// between two rescans, read by the real TagLib component, with the user's edits in the rows.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "catalog/statements.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "import/folderrescan.h"
#include "import/importsummary.h"
#include "import/shelffiles.h"
#include "importfixture.h"
#include "mp3fixture.h"
#include "support/childprocess.h"
#include "support/lockholder.h"
#include "support/smalldisk.h"
#include "testcatalogue.h"

namespace importer {
namespace {

namespace fs = std::filesystem;

// A song's file: an ID3v2.4 tag with its texts around audio of `frames` frames. Songs with
// different frame counts hold different audio.
struct Song {
  std::string title;
  std::string artist = "Band";
  int frames = 100;
};

class RescanFollowsTest : public fixture::ImportTest {
 protected:
  void SetUp() override {
    fixture::ImportTest::SetUp();
    import = std::make_unique<FolderImport>(createTagLibMp3Info);
  }

  void write(const fs::path& relative, const Song& song, const std::string& id3v1 = {}) {
    fs::create_directories((root() / relative).parent_path());
    fixture::writeMp3(root() / relative,
                      fixture::id3v2Tag(4, {{"TIT2", {song.title}}, {"TPE1", {song.artist}}}),
                      fixture::Audio{.frames = song.frames}, id3v1);
  }

  // Another tagger's work: new texts around the same audio, and a modification time the
  // rescan cannot miss however coarse the file system's clock.
  void retag(const fs::path& relative, const Song& song, const std::string& id3v1 = {}) {
    struct stat before {};
    ASSERT_EQ(::stat((root() / relative).c_str(), &before), 0);
    write(relative, song, id3v1);
    const timespec times[2] = {{0, UTIME_OMIT}, {before.st_mtim.tv_sec + 10, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (root() / relative).c_str(), times, 0), 0);
  }

  void move(const fs::path& from, const fs::path& to) {
    fs::create_directories((root() / to).parent_path());
    fs::rename(root() / from, root() / to);
  }

  ImportEnd rescan(const fs::path& folder) {
    rescanner = std::make_unique<FolderRescan>(*import);
    return rescanner->run(
        folder.string(), [this] { return db; },
        [this] {
          if (onYield) onYield();
        });
  }

  // Row ID by file name relative to the music folder.
  std::map<std::string, std::int64_t> ids() {
    std::map<std::string, std::int64_t> byName;
    const auto names = stored("Filename");
    const auto numbers = stored("ID");
    for (std::size_t i = 0; i < names.size(); ++i) byName[names[i]] = std::stoll(numbers[i]);
    return byName;
  }

  std::string field(std::int64_t id, const std::string& column) {
    return testcatalogue::scalar(cataloguePath().string(), "SELECT " + column +
                                                               " FROM music_shelf WHERE ID = " +
                                                               std::to_string(id));
  }

  std::vector<std::string> vanished() const {
    std::vector<std::string> names;
    for (const VanishedRow& row : rescanner->vanished())
      names.push_back(fs::path(row.filename).lexically_relative(root()).string());
    return names;
  }

  ImportCounts counts() const { return import->progress().counts; }

  std::unique_ptr<FolderRescan> rescanner;
};

// The whole round: three files moved or renamed (one retagged too), two retagged in place (one
// of them in a row whose title the user had changed), one copied, one deleted. One rescan puts
// every row right, the next finds nothing to do.
TEST_F(RescanFollowsTest, MovedRenamedAndRetaggedFilesKeepTheirRowsAndTheUsersEdits) {
  write("A/moved.mp3", {"Moved", "Band", 101});
  write("A/renamed.mp3", {"Renamed", "Band", 102});
  write("A/both.mp3", {"Both", "Band", 103});
  write("A/retagged.mp3", {"Retagged", "Band", 104});
  write("A/edited.mp3", {"Edited", "Band", 105});
  write("A/copied.mp3", {"Copied", "Band", 106});
  write("A/deleted.mp3", {"Deleted", "Band", 107});
  write("A/stays.mp3", {"Stays", "Band", 108});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const auto before = ids();
  for (const char* name : {"A/moved.mp3", "A/renamed.mp3", "A/both.mp3"})
    db->Execute("UPDATE music_shelf SET Comment = 'note on " + std::string(name) +
                "' WHERE ID = " + std::to_string(before.at(name)));
  db->Execute("UPDATE music_shelf SET Title = 'My title' WHERE ID = " +
              std::to_string(before.at("A/edited.mp3")));

  move("A/moved.mp3", "B/moved.mp3");
  move("A/renamed.mp3", "A/renamed again.mp3");
  move("A/both.mp3", "C/both.mp3");
  retag("C/both.mp3", {"Both, new title", "New Band", 103});
  retag("A/retagged.mp3", {"Retagged, new title", "Band", 104});
  retag("A/edited.mp3", {"Edited, new title", "New Band", 105});
  fs::create_directories(root() / "D");
  fs::copy_file(root() / "A/copied.mp3", root() / "D/copied.mp3");
  fs::remove(root() / "A/deleted.mp3");

  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  const auto after = ids();
  EXPECT_EQ(after.at("B/moved.mp3"), before.at("A/moved.mp3"));
  EXPECT_EQ(after.at("A/renamed again.mp3"), before.at("A/renamed.mp3"));
  EXPECT_EQ(after.at("C/both.mp3"), before.at("A/both.mp3"));
  EXPECT_EQ(field(after.at("B/moved.mp3"), "Comment"), "note on A/moved.mp3");
  EXPECT_EQ(field(after.at("A/renamed again.mp3"), "Comment"), "note on A/renamed.mp3");
  EXPECT_EQ(field(after.at("C/both.mp3"), "Comment"), "note on A/both.mp3");
  EXPECT_EQ(field(after.at("C/both.mp3"), "Title"), "Both, new title");
  EXPECT_EQ(field(after.at("C/both.mp3"), "Artist"), "New Band");
  EXPECT_EQ(field(after.at("A/retagged.mp3"), "Title"), "Retagged, new title");
  // The user's title stays; the artist, which the user left alone, follows the file.
  EXPECT_EQ(field(after.at("A/edited.mp3"), "Title"), "My title");
  EXPECT_EQ(field(after.at("A/edited.mp3"), "Artist"), "New Band");
  EXPECT_EQ(after.at("A/copied.mp3"), before.at("A/copied.mp3"));
  EXPECT_GT(after.at("D/copied.mp3"), before.at("A/deleted.mp3"));  // a new row
  EXPECT_EQ(after.size(), 9u);  // the deleted file's row waits for the user's answer
  EXPECT_EQ(vanished(), std::vector<std::string>{"A/deleted.mp3"});
  EXPECT_EQ(counts(), (ImportCounts{.songsAdded = 1,
                                    .songsUnchanged = 2,
                                    .songsMoved = 3,
                                    .songsUpdated = 3,
                                    .editsKept = 1}));
  EXPECT_EQ(rescanSummaryText(counts(), root().string(), 1, 0, ImportEnd::Finished),
            "Rescan of " + root().string() +
                ": 1 added, 3 moved, 3 updated, 1 removed, 2 unchanged, 1 of your edits kept");

  // The copy and its original hold the same audio, and are listed together.
  auto duplicates = db->OpenRecordset(catalog::duplicateSongsSql());
  duplicates->readAll();
  ASSERT_EQ(duplicates->rowCount(), 2);
  EXPECT_EQ(duplicates->value(0, 0).toText(), std::to_string(before.at("A/copied.mp3")));
  EXPECT_EQ(duplicates->value(1, 0).toText(), std::to_string(after.at("D/copied.mp3")));

  std::int64_t removed = 0;
  rescanner->removeVanished(db, [] {}, removed);
  EXPECT_EQ(removed, 1);
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 8}));
  EXPECT_TRUE(vanished().empty());
  auto remaining = after;
  remaining.erase("A/deleted.mp3");
  EXPECT_EQ(ids(), remaining);
}

// A rescan sees only the folder it rescans: a file moved out of it is gone from there, and one
// that turns up in another folder of the catalogue is a new file to a rescan of that folder.
TEST_F(RescanFollowsTest, AFileMovedOutOfTheFolderIsGoneFromIt) {
  write("A/song.mp3", {"Song", "Band", 101});
  write("A/other.mp3", {"Other", "Band", 102});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  move("A/song.mp3", "B/song.mp3");
  ASSERT_EQ(rescan(root() / "A"), ImportEnd::Finished);
  EXPECT_EQ(vanished(), std::vector<std::string>{"A/song.mp3"});
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 1}));
  // The user keeps the row; a rescan of a folder that holds both ends follows the move.
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_TRUE(vanished().empty());
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 1, .songsMoved = 1}));
  EXPECT_EQ(ids().count("B/song.mp3"), 1u);
}

// An album moved into another folder leaves its old folder empty, as a disk that is not
// mounted would: nothing there is offered for removal, but the rows follow their audio.
TEST_F(RescanFollowsTest, FilesMovedOutOfAFolderLeftEmptyAreFollowed) {
  write("Album/one.mp3", {"One", "Band", 101});
  write("Album/two.mp3", {"Two", "Band", 102});
  write("Album/three.mp3", {"Three", "Band", 103});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const auto before = ids();
  move("Album/one.mp3", "Band/Album/one.mp3");
  move("Album/two.mp3", "Band/Album/two.mp3");
  fs::remove(root() / "Album/three.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(counts(), (ImportCounts{.songsMoved = 2}));
  EXPECT_TRUE(vanished().empty());
  EXPECT_EQ(ids().at("Band/Album/one.mp3"), before.at("Album/one.mp3"));
  EXPECT_EQ(ids().at("Band/Album/two.mp3"), before.at("Album/two.mp3"));
}

// Two rows whose files held the same audio, both gone, and one new file with that audio: the
// row whose file had the new file's name follows it, else the one with the lower ID; the other
// row is offered for removal.
TEST_F(RescanFollowsTest, OfTwoRowsWithTheSameAudioOneFollowsByNameThenByID) {
  write("A/first.mp3", {"Song", "Band", 101});
  write("A/second.mp3", {"Song", "Band", 101});
  write("C/first.mp3", {"Other", "Band", 111});
  write("C/second.mp3", {"Other", "Band", 111});
  // Folders left empty keep their rows (a disk may be mounted there); these are not empty.
  write("A/keep.mp3", {"Keep", "Band", 121});
  write("C/keep.mp3", {"Keep too", "Band", 122});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const auto before = ids();
  move("A/second.mp3", "B/second.mp3");
  fs::remove(root() / "A/first.mp3");
  move("C/first.mp3", "D/renamed.mp3");
  fs::remove(root() / "C/second.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  const auto after = ids();
  EXPECT_EQ(after.at("B/second.mp3"), before.at("A/second.mp3"));
  EXPECT_EQ(after.at("D/renamed.mp3"), before.at("C/first.mp3"));
  EXPECT_EQ(vanished(), (std::vector<std::string>{"A/first.mp3", "C/second.mp3"}));
}

// Another program changes a row while the rescan runs: the rescan reads the row as it is when
// it writes, so what the other program wrote counts as the user's.
TEST_F(RescanFollowsTest, AnEditByAnotherProgramDuringTheRescanIsKept) {
  write("retagged.mp3", {"Old title", "Band", 101});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const std::int64_t id = ids().at("retagged.mp3");
  retag("retagged.mp3", {"New title", "New Band", 101});
  bool edited = false;
  onYield = [&] {
    if (std::exchange(edited, true)) return;
    testcatalogue::run(cataloguePath().string(),
                       "UPDATE music_shelf SET Title = 'Theirs' WHERE ID = " + std::to_string(id));
  };
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  ASSERT_TRUE(edited);
  EXPECT_EQ(field(id, "Title"), "Theirs");
  EXPECT_EQ(field(id, "Artist"), "New Band");
  EXPECT_EQ(counts(), (ImportCounts{.songsUpdated = 1, .editsKept = 1}));
}

// A row's new path and its companion row are written together: when the companion row cannot
// be written, the row keeps its old path, and a kill between the two writes leaves the old state.
TEST_F(RescanFollowsTest, ARowAndItsCompanionRowChangeTogetherOrNotAtAll) {
  write("A/song.mp3", {"Song", "Band", 101});
  write("A/keep.mp3", {"Keep", "Band", 102});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const std::int64_t id = ids().at("A/song.mp3");
  move("A/song.mp3", "B/song.mp3");
  // Another program's rule refuses every change of the companion table.
  db->Execute(
      "CREATE TRIGGER refuse BEFORE UPDATE ON shelf_files BEGIN SELECT RAISE(ABORT, 'refused'); "
      "END");
  db->Execute(
      "CREATE TRIGGER refuse_insert BEFORE INSERT ON shelf_files BEGIN SELECT RAISE(ABORT, "
      "'refused'); END");
  EXPECT_THROW(rescan(root()), engine::EngineError);
  EXPECT_EQ(ids().at("A/song.mp3"), id);
  db->Execute("DROP TRIGGER refuse");
  db->Execute("DROP TRIGGER refuse_insert");

  // The same writes in another process, killed after the first of them.
  testsupport::ChildProcess child([&](const testsupport::Channel& channel) {
    auto other = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
    auto update = other->Prepare("UPDATE music_shelf SET Filename = 'moved' WHERE ID = " +
                                 std::to_string(id));
    update->setBatched(true);
    engine::Unit unit(*other, std::nullopt);
    update->Execute();
    channel.send('u');
    channel.receive();  // never comes: the test kills this process
  });
  ASSERT_EQ(child.channel().receive(), 'u');
  child.kill();
  EXPECT_EQ(child.wait(), 128 + SIGKILL);
  EXPECT_EQ(ids().at("A/song.mp3"), id);
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(ids().at("B/song.mp3"), id);
}

// Another program's rule that refuses companion rows costs the import nothing but what it would
// learn: every row is stored and counted.
TEST_F(RescanFollowsTest, ARefusedCompanionRowLeavesTheRowStoredAndCounted) {
  write("a.mp3", {"A", "Band", 101});
  write("b.mp3", {"B", "Band", 102});
  db->Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON shelf_files BEGIN SELECT RAISE(ABORT, 'refused'); "
      "END");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(rowCount(), 2);
  EXPECT_EQ(counts(), (ImportCounts{.songsAdded = 2}));
}

// A catalogue made before the companion table gets it at the first import or rescan. Rows it
// did not know are read once, without a change to what they hold; companion rows whose row
// another program deleted go; a row whose Filename another program changed is read anew.
TEST_F(RescanFollowsTest, RowsTheCompanionTableDoesNotKnowAreLearntOnce) {
  db->Close();
  fs::remove(cataloguePath());
  testcatalogue::make(cataloguePath().string());
  db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
  EXPECT_FALSE(hasShelfFiles(*db));
  write("old.mp3", {"Old", "Band", 101});
  write("renamed.mp3", {"Renamed", "Band", 102});
  db->Execute("INSERT INTO music_shelf (Title, Filename) VALUES ('Mine', '" +
              (root() / "old.mp3").string() + "')");
  write("new.mp3", {"New", "Band", 103});
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_TRUE(hasShelfFiles(*db));
  EXPECT_EQ(counts(), (ImportCounts{.songsAdded = 2, .songsUnchanged = 1}));
  const std::int64_t old = ids().at("old.mp3");
  EXPECT_EQ(field(old, "Title"), "Mine");
  EXPECT_EQ(testcatalogue::scalar(cataloguePath().string(),
                                  "SELECT Title FROM shelf_files WHERE ID = " + std::to_string(old)),
            "Old");

  // Another program deletes one row and points another at a different file.
  db->Execute("DELETE FROM music_shelf WHERE ID = " + std::to_string(ids().at("new.mp3")));
  db->Execute("UPDATE music_shelf SET Filename = '" + (root() / "renamed.mp3").string() +
              "' WHERE ID = " + std::to_string(old));
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(testcatalogue::scalar(cataloguePath().string(),
                                  "SELECT count(*) FROM shelf_files WHERE ID NOT IN (SELECT ID "
                                  "FROM music_shelf)"),
            "0");
  // Both rows now name renamed.mp3: the lower ID stands for the file and learns it anew.
  EXPECT_EQ(counts(), (ImportCounts{.songsAdded = 2, .songsUnchanged = 1}));
  EXPECT_EQ(testcatalogue::scalar(cataloguePath().string(),
                                  "SELECT Title FROM shelf_files WHERE ID = " + std::to_string(old)),
            "Renamed");
}

// A file moved to a new folder while a copy of it under another name turned up earlier in the
// walk: the row follows the file that kept its name, and the copy is a new row.
TEST_F(RescanFollowsTest, TheRowFollowsTheFileThatKeptItsNameNotACopy) {
  write("A/song.mp3", {"Song", "Band", 101});
  write("A/keep.mp3", {"Keep", "Band", 102});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const std::int64_t id = ids().at("A/song.mp3");
  fs::create_directories(root() / "B");
  fs::copy_file(root() / "A/song.mp3", root() / "B/backup copy.mp3");
  move("A/song.mp3", "C/song.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(ids().at("C/song.mp3"), id);
  EXPECT_NE(ids().at("B/backup copy.mp3"), id);
  EXPECT_EQ(counts(), (ImportCounts{.songsAdded = 1, .songsUnchanged = 1, .songsMoved = 1}));
}

// A tagger may keep the size (rewriting the tag in its padding) and set the modification time
// back; the file's status change time still tells the rescan to read it.
TEST_F(RescanFollowsTest, ARetagThatKeepsSizeAndModificationTimeIsSeen) {
  write("song.mp3", {"Title A", "Band", 101});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const std::int64_t id = ids().at("song.mp3");
  struct stat before {};
  ASSERT_EQ(::stat((root() / "song.mp3").c_str(), &before), 0);
  // Make sure the status change time moves, however coarse the file system's clock.
  for (struct stat now = before; now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                                 now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;) {
    write("song.mp3", {"Title B", "Band", 101});
    ASSERT_EQ(::stat((root() / "song.mp3").c_str(), &now), 0);
  }
  const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (root() / "song.mp3").c_str(), times, 0), 0);
  ASSERT_EQ(fs::file_size(root() / "song.mp3"), static_cast<std::uintmax_t>(before.st_size));
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(field(id, "Title"), "Title B");
}

// A catalogued file that cannot be read now (a copy caught half way, a damaged disk) leaves its
// row as it is, and counts as a file that could not be read.
TEST_F(RescanFollowsTest, AFileThatCanNoLongerBeReadKeepsItsRow) {
  write("song.mp3", {"Real title", "Real band", 101});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  const std::int64_t id = ids().at("song.mp3");
  const std::string bitrate = field(id, "Bitrate");
  fs::resize_file(root() / "song.mp3", 20);
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(field(id, "Title"), "Real title");
  EXPECT_EQ(field(id, "Artist"), "Real band");
  EXPECT_EQ(field(id, "Bitrate"), bitrate);
  EXPECT_EQ(counts(), (ImportCounts{.filesUnreadable = 1}));
}

// A rescan that finds nothing changed writes nothing, so another program's long write does not
// hold it up.
TEST_F(RescanFollowsTest, AnUnchangedRescanNeedsNoWrite) {
  write("a.mp3", {"A", "Band", 101});
  write("b.mp3", {"B", "Band", 102});
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  testsupport::LockHolder holder(cataloguePath().string());
  holder.held();
  db->setQueryTimeout(std::chrono::milliseconds(1));  // a wait for the lock would fail at once
  EXPECT_EQ(rescan(root()), ImportEnd::Finished);
  holder.letGo();
  holder.wait();
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 2}));
}

// Nothing may be prepared while a unit is open: preparing commits the batch, and a unit must
// never be committed half done.
TEST_F(RescanFollowsTest, NothingIsPreparedWhileAUnitIsOpen) {
  auto insert = db->Prepare("INSERT INTO music_shelf (Title) VALUES (?1)");
  insert->setBatched(true);
  {
    engine::Unit unit(*db, std::nullopt);
    insert->bind(1, "first half");
    insert->Execute();
    EXPECT_THROW(db->ForEachRow("SELECT 1", {}, [](engine::Database::RowTexts) {}),
                 engine::EngineError);
  }
  engine::commitOpenBatch();
  EXPECT_EQ(rowCount(), 0);
}

// Add Directory into a read-only catalogue made before the companion table is refused as
// before: the catalogue is read-only.
TEST_F(RescanFollowsTest, AnOlderReadOnlyCatalogueRefusesRowsAsBefore) {
  write("song.mp3", {"Song", "Band", 101});
  db->Close();
  testsupport::SmallDisk disk(dir.path() / "disc", 1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
  const std::string path = disk.path("music_1.mdb");
  testcatalogue::make(path);
  ASSERT_TRUE(disk.makeReadOnly());
  db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
  ASSERT_TRUE(db->isReadOnly());
  try {
    run(root().string());
    ADD_FAILURE() << "the import stored a row in a read-only catalogue";
  } catch (const engine::EngineError& error) {
    EXPECT_EQ(error.number() & 0xFF, SQLITE_READONLY) << error.description();
  }
  db->Close();
}

}  // namespace
}  // namespace importer
