#include "import/folderrescan.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "engine/engine.h"
#include "engine/errors.h"
#include "import/importsummary.h"
#include "importfixture.h"
#include "mp3fixture.h"
#include "support/childprocess.h"
#include "support/errornumber.h"
#include "support/lockholder.h"
#include "support/smalldisk.h"

namespace importer {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class FolderRescanTest : public fixture::ImportTest {
 protected:
  void SetUp() override {
    fixture::ImportTest::SetUp();
    beforeRead = [this](const std::string& path) {
      std::lock_guard lock(m_readMutex);
      m_read.push_back(path.substr(root().string().size() + 1));
    };
  }

  ImportEnd rescan(const fs::path& folder) { return rescan(folder.string()); }
  ImportEnd rescan(const std::string& folder) {
    if (!import) makeImport();
    rescanner = std::make_unique<FolderRescan>(*import);
    return rescanner->run(
        folder, [this] { return db; },
        [this] {
          if (onYield) onYield();
        });
  }

  // The files read since the last call, relative to the music folder, sorted.
  Names takeRead() {
    std::lock_guard lock(m_readMutex);
    Names read = std::move(m_read);
    m_read.clear();
    std::sort(read.begin(), read.end());
    return read;
  }

  // The vanished rows' files relative to the music folder.
  Names vanished() const {
    Names names;
    for (const VanishedRow& row : rescanner->vanished())
      names.push_back(row.filename.substr(root().string().size() + 1));
    std::sort(names.begin(), names.end());
    return names;
  }

  // The folders gone as a whole, each with its rows' files, relative to the music folder; the
  // rows must come in ID order.
  std::vector<std::pair<std::string, Names>> goneFolders() const {
    std::vector<std::pair<std::string, Names>> folders;
    const std::size_t cut = root().string().size() + 1;
    for (const GoneFolder& folder : rescanner->goneFolders()) {
      Names names;
      for (std::size_t i = 0; i < folder.rows.size(); ++i) {
        EXPECT_TRUE(i == 0 || folder.rows[i - 1].id < folder.rows[i].id) << folder.path;
        names.push_back(folder.rows[i].filename.substr(cut));
      }
      folders.emplace_back(folder.path.substr(cut), std::move(names));
    }
    return folders;
  }

  Names storedSorted() {
    Names names = stored();
    std::sort(names.begin(), names.end());
    return names;
  }

  // Also keeps in `skipped` the rows it passed over.
  std::int64_t removeVanished(RescanRemoval which = {}) {
    std::int64_t removed = 0;
    skipped = {.vanished = -1, .inGoneFolders = -1};
    EXPECT_EQ(rescanner->removeVanished(db, [] {}, removed, which, &skipped), removed);
    return removed;
  }

  std::unique_ptr<FolderRescan> rescanner;
  RescanRows skipped;

 private:
  std::mutex m_readMutex;
  Names m_read;
};

TEST_F(FolderRescanTest, NewFilesAreStoredOnceAndCataloguedOnesNeitherReadNorTouched) {
  touch("a.mp3");
  touch("sub/b.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  takeRead();
  db->Execute("UPDATE music_shelf SET Title = 'my title', Year = '1999' WHERE Filename LIKE '*a.mp3'");
  touch("c.mp3");
  touch("sub/deeper/d.mp3");

  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(takeRead(), (Names{"c.mp3", "sub/deeper/d.mp3"}));
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 2, .songsUnchanged = 2}));
  // New rows follow the walk's order, after the old ones.
  EXPECT_EQ(stored(), (Names{"a.mp3", "sub/b.mp3", "c.mp3", "sub/deeper/d.mp3"}));
  EXPECT_EQ(stored("Title || '/' || ifnull(Year, '-')"),
            (Names{"my title/1999", "b.mp3/-", "c.mp3/-", "d.mp3/-"}));
  EXPECT_TRUE(rescanner->vanished().empty());

  // Unchanged since: nothing is read or stored.
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(takeRead(), Names{});
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsUnchanged = 4}));
  EXPECT_EQ(rowCount(), 4);

  // A rescan of a folder further down sees only its own rows.
  touch("sub/e.mp3");
  ASSERT_EQ(rescan(root() / "sub"), ImportEnd::Finished);
  EXPECT_EQ(takeRead(), (Names{"sub/e.mp3"}));
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 1, .songsUnchanged = 2}));
}

TEST_F(FolderRescanTest, DuplicateRowsOfOneFileStayAndCountOnce) {
  touch("a.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);  // "Add Directory" twice
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsUnchanged = 1}));
  EXPECT_EQ(rowCount(), 2);
}

TEST_F(FolderRescanTest, VanishedRowsAreFoundAndGoOnlyWhenRemoved) {
  for (const char* name : {"keep.mp3", "gone.mp3", "sub/keep.mp3", "old/x.mp3", "old/deep/y.mp3"})
    touch(name);
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  fs::remove(root() / "gone.mp3");
  fs::remove_all(root() / "old");  // a whole folder moved away
  // Rows outside the folder, or naming it in another case, are not the rescan's.
  db->Execute("INSERT INTO music_shelf (Filename) VALUES ('" + root().string() +
              "2/elsewhere.mp3')");
  std::string otherCase = root().string();
  otherCase.back() = static_cast<char>(std::toupper(otherCase.back()));
  db->Execute("INSERT INTO music_shelf (Filename) VALUES ('" + otherCase + "/gone.mp3')");
  // Placeholders and rows naming files that exist but that the walk passes over stay.
  db->Execute("INSERT INTO music_shelf (Title) VALUES ('unknown')");
  touch(".hidden/h.mp3");
  db->Execute("INSERT INTO music_shelf (Filename) VALUES ('" + (root() / ".hidden/h.mp3").string() +
              "')");

  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(vanished(), (Names{"gone.mp3"}));
  EXPECT_EQ(goneFolders(), (std::vector<std::pair<std::string, Names>>{
                               {"old", {"old/x.mp3", "old/deep/y.mp3"}}}));
  EXPECT_EQ(rowCount(), 9);  // nothing goes before it is asked for

  // A row the user pointed elsewhere meanwhile is no longer the vanished one.
  db->Execute("UPDATE music_shelf SET Filename = Filename || '.moved' WHERE Filename LIKE '*/x.mp3'");
  EXPECT_EQ(removeVanished({.vanished = true, .goneFolders = true}), 2);
  EXPECT_EQ(storedSorted(), (Names{"", ".hidden/h.mp3", otherCase + "/gone.mp3",
                                   root().string() + "2/elsewhere.mp3", "keep.mp3",
                                   "old/x.mp3.moved", "sub/keep.mp3"}));
}

TEST_F(FolderRescanTest, AFolderThatCannotBeReadRemovesNothing) {
  touch("usb/a.mp3");
  touch("usb/b.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);

  // The disk is pulled out: its folder is gone, and a rescan of it finds nothing to remove.
  fs::rename(root() / "usb", dir.path() / "unplugged");
  ASSERT_EQ(rescan(root() / "usb"), ImportEnd::Finished);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.foldersUnreadable = 1}));
  EXPECT_TRUE(rescanner->vanished().empty());
  EXPECT_TRUE(rescanner->goneFolders().empty());
  fs::rename(dir.path() / "unplugged", root() / "usb");
}

// A disk mounted on a folder of the tree, or reached through a link: when it is not there, its
// folder is empty or the link leads nowhere, and its rows stay.
TEST_F(FolderRescanTest, AnEmptyFolderOrABrokenLinkKeepsTheRowsBelowIt) {
  touch("mnt/disk/album/a.mp3");
  touch("elsewhere/b.mp3");
  touch("gone.mp3");
  fs::create_directories(dir.path() / "media/usb");
  fixture::writeFile(dir.path() / "media/usb/c.mp3", "x");
  fs::create_directory_symlink(dir.path() / "media/usb", root() / "usb");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  ASSERT_EQ(rowCount(), 4);
  fs::remove_all(root() / "mnt/disk/album");  // unmounted: the mount folder stays, empty
  fs::remove_all(dir.path() / "media/usb");   // the link now leads nowhere
  fs::remove(root() / "gone.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(vanished(), (Names{"gone.mp3"}));
  EXPECT_TRUE(rescanner->goneFolders().empty());
}

// Disks mounted below one folder, as a desktop mounts them: one is unplugged and the desktop
// takes its folder away. Its rows are told apart from files deleted from folders that are still
// there, grouped by the topmost folder that went, however deep that is, and go only when asked
// for apart. A file gone from a folder the walk passes over, which is still there, is no gone
// folder.
TEST_F(FolderRescanTest, AFolderGoneAsAWholeIsToldApartFromFilesGoneFromTheirFolder) {
  for (const char* name : {"DISK1/a.mp3", "DISK1/deleted.mp3", "DISK2/x.mp3", "DISK2/Album/1.mp3",
                           "DISK2/Album/2.mp3", "DISK3/A/keep.mp3", "DISK3/A/Album/1.mp3",
                           "DISK3/A/Album/CD2/2.mp3", ".hidden/deleted.mp3"})
    touch(name);
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  db->Execute("INSERT INTO music_shelf (Filename) VALUES ('" + (root() / ".hidden/deleted.mp3").string() +
              "')");
  fs::remove_all(root() / "DISK2");
  fs::remove_all(root() / "DISK3/A/Album");
  fs::remove(root() / "DISK1/deleted.mp3");
  fs::remove(root() / ".hidden/deleted.mp3");

  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(vanished(), (Names{".hidden/deleted.mp3", "DISK1/deleted.mp3"}));
  EXPECT_EQ(goneFolders(), (std::vector<std::pair<std::string, Names>>{
                               {"DISK2", {"DISK2/x.mp3", "DISK2/Album/1.mp3", "DISK2/Album/2.mp3"}},
                               {"DISK3/A/Album", {"DISK3/A/Album/1.mp3", "DISK3/A/Album/CD2/2.mp3"}}}));

  // What the user keeps stays: the files deleted go, and the unplugged disk's rows stay. A file
  // back before the user said Yes stays too, and is told apart from those removed.
  touch("DISK1/deleted.mp3");
  EXPECT_EQ(removeVanished(), 1);
  EXPECT_EQ(skipped.vanished, 1);
  EXPECT_EQ(skipped.inGoneFolders, 0);
  EXPECT_EQ(rowCount(), 8);
  EXPECT_EQ(removeVanished({.vanished = false}), 0);
  EXPECT_EQ(rowCount(), 8);

  // The disk's mount folder is made again before the user says Yes, empty as the disk is not
  // mounted yet: none of its rows go, though none of their files is there.
  fs::create_directory(root() / "DISK2");
  EXPECT_EQ(removeVanished({.vanished = false, .goneFolders = true}), 2);
  EXPECT_EQ(skipped.vanished, 0);
  EXPECT_EQ(skipped.inGoneFolders, 3);
  EXPECT_EQ(storedSorted(), (Names{"DISK1/a.mp3", "DISK1/deleted.mp3", "DISK2/Album/1.mp3",
                                   "DISK2/Album/2.mp3", "DISK2/x.mp3", "DISK3/A/keep.mp3"}));
}

// A rescan of the folder the disks are mounted in while every disk is unplugged: that folder is
// empty, as a mount folder is, and nothing below it is offered in either way.
TEST_F(FolderRescanTest, AFolderWhoseDisksAreAllGoneOffersNothing) {
  touch("media/DISK1/a.mp3");
  touch("media/DISK2/b.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  fs::remove_all(root() / "media/DISK1");
  fs::remove_all(root() / "media/DISK2");
  for (const fs::path& folder : {root(), root() / "media"}) {
    ASSERT_EQ(rescan(folder), ImportEnd::Finished);
    EXPECT_TRUE(rescanner->vanished().empty()) << folder;
    EXPECT_TRUE(rescanner->goneFolders().empty()) << folder;
  }
}

// An album folder renamed, or moved with another folder on its way, is followed by its audio:
// its rows are neither vanished nor gone with the folder. The song that did not turn up again
// was deleted, not left on a disk that is not plugged in: the folder it was in was renamed, so it
// is offered as any song no longer on disk.
TEST_F(FolderRescanTest, AnAlbumFolderRenamedOrMovedIsFollowed) {
  import = std::make_unique<FolderImport>(createTagLibMp3Info);  // it tells the audio apart
  const auto song = [this](const std::string& name, int frames) {
    fs::create_directories((root() / name).parent_path());
    fixture::writeMp3(root() / name, fixture::id3v2Tag(4, {{"TIT2", {name}}}),
                      fixture::Audio{.frames = frames});
  };
  song("A/Album/1.mp3", 101);
  song("A/Album/2.mp3", 102);
  song("A/Album/3.mp3", 103);
  song("B/Disc/Album/4.mp3", 104);
  song("A/keep.mp3", 105);
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  fs::rename(root() / "A/Album", root() / "A/Album (2019)");
  fs::remove(root() / "A/Album (2019)/3.mp3");
  fs::rename(root() / "B/Disc", root() / "C");

  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsUnchanged = 1, .songsMoved = 3}));
  EXPECT_EQ(vanished(), Names{"A/Album/3.mp3"});
  EXPECT_TRUE(rescanner->goneFolders().empty());
  EXPECT_EQ(storedSorted(), (Names{"A/Album (2019)/1.mp3", "A/Album (2019)/2.mp3",
                                   "A/Album/3.mp3", "A/keep.mp3", "C/Album/4.mp3"}));
}

// An import of "/music/" stored "/music//a.mp3"; one of "/" would store "//music/a.mp3". Each
// names the file a rescan of "/music" finds, and the reverse.
TEST_F(FolderRescanTest, DoubledSeparatorsNameTheSameFile) {
  touch("a.mp3");
  touch("sub/b.mp3");
  touch("sub/stays.mp3");  // an emptied folder keeps its rows
  ASSERT_EQ(run(root().string() + "/"), ImportEnd::Finished);
  db->Execute("INSERT INTO music_shelf (Filename) VALUES ('/" + (root() / "c.mp3").string() + "')");
  touch("c.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsUnchanged = 4}));
  ASSERT_EQ(rescan(root().string() + "/"), ImportEnd::Finished);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsUnchanged = 4}));
  fs::remove(root() / "sub/b.mp3");
  fs::remove(root() / "c.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(rescanner->vanished().size(), 2u);
  EXPECT_EQ(removeVanished(), 2);
  EXPECT_EQ(rowCount(), 2);
}

TEST_F(FolderRescanTest, AReadOnlyCatalogueIsRefusedBeforeAnythingIsRead) {
  touch("a.mp3");
  db.reset();
  testsupport::handToUnprivilegedUser(dir.path());
  fs::permissions(cataloguePath(), fs::perms::owner_read | fs::perms::group_read |
                                       fs::perms::others_read);
  testsupport::ChildProcess child(
      [&](const testsupport::Channel&) {
        db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
        ASSERT_TRUE(db->isReadOnly());
        try {
          rescan(root());
          ADD_FAILURE() << "no error";
        } catch (const engine::EngineError& error) {
          EXPECT_EQ(error.number(), 8);
        }
        EXPECT_EQ(takeRead(), Names{});
      },
      {.withoutRoot = true});
  EXPECT_EQ(child.wait(), 0);
}

// Folders this user may not list or enter: nothing below them counts as vanished, while a
// readable sibling's vanished file still does. Runs without root, for whom every folder opens.
TEST_F(FolderRescanTest, UnreadableFoldersKeepTheirRows) {
  touch("open/gone.mp3");
  touch("open/stays.mp3");
  touch("locked/a.mp3");
  touch("locked/gone.mp3");
  touch("listless/a.mp3");
  touch("listless/gone.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  for (const char* name : {"open/gone.mp3", "locked/gone.mp3", "listless/gone.mp3"})
    fs::remove(root() / name);
  db.reset();  // a child must not inherit an open connection
  testsupport::handToUnprivilegedUser(dir.path());
  ::chmod((root() / "locked").c_str(), 0);        // neither listed nor entered
  ::chmod((root() / "listless").c_str(), 0311);  // entered, not listed

  testsupport::ChildProcess child(
      [&](const testsupport::Channel&) {
        db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
        ASSERT_EQ(rescan(root()), ImportEnd::Finished);
        EXPECT_EQ(import->progress().counts.foldersUnreadable, 2);
        EXPECT_EQ(vanished(), (Names{"open/gone.mp3"}));
      },
      {.withoutRoot = true});
  EXPECT_EQ(child.wait(), 0);
  ::chmod((root() / "locked").c_str(), 0755);
  ::chmod((root() / "listless").c_str(), 0755);
}

TEST_F(FolderRescanTest, CancelKeepsTheRowsAddedAndOffersNoRemoval) {
  touch("gone.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  fs::remove(root() / "gone.mp3");
  for (int i = 0; i < 50; ++i) touch("new" + std::to_string(100 + i) + ".mp3");
  makeImport({.longestBatch = std::chrono::milliseconds(0)});
  onYield = [this] {
    if (import->progress().counts.songsAdded >= 3) import->requestStop();
  };
  ASSERT_EQ(rescan(root()), ImportEnd::Stopped);
  const std::int64_t added = import->progress().counts.songsAdded;
  EXPECT_GE(added, 3);
  EXPECT_LT(added, 50);
  EXPECT_EQ(rowCount(), 1 + added);
  EXPECT_TRUE(rescanner->vanished().empty());

  // The next rescan takes up the rest, once each.
  onYield = nullptr;
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(import->progress().counts.songsAdded, 50 - added);
  EXPECT_EQ(rowCount(), 51);
  EXPECT_EQ(vanished(), (Names{"gone.mp3"}));
}

TEST_F(FolderRescanTest, NamesWithApostrophesOrBytesThatAreNotUtf8Match) {
  touch("Rock'n'Roll/Don't.mp3");
  touch("caf\xE9/\xFF\xFE.mp3");
  touch("caf\xE9/ok.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  ASSERT_EQ(storedSorted()[2], "caf\xEF\xBF\xBD/\xEF\xBF\xBD\xEF\xBF\xBD.mp3");
  takeRead();
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(takeRead(), Names{});
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsUnchanged = 3}));
  EXPECT_TRUE(rescanner->vanished().empty());

  fs::remove(root() / "caf\xE9/\xFF\xFE.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(vanished(), (Names{"caf\xEF\xBF\xBD/\xEF\xBF\xBD\xEF\xBF\xBD.mp3"}));
}

TEST_F(FolderRescanTest, WorksWithoutTheFilenameIndex) {
  touch("a.mp3");
  touch("gone.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  db->Execute("DROP INDEX music_shelf_Filename");
  fs::remove(root() / "gone.mp3");
  touch("b.mp3");
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 1, .songsUnchanged = 1}));
  EXPECT_EQ(vanished(), (Names{"gone.mp3"}));
}

// Another program writing while the rows go: the removal waits for it with the window running,
// and every vanished row goes, no other.
TEST_F(FolderRescanTest, RemovalWaitsOutAnotherProgramsWrite) {
  for (int i = 0; i < 20; ++i) touch("gone" + std::to_string(10 + i) + ".mp3");
  touch("stays.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  for (int i = 0; i < 20; ++i) fs::remove(root() / ("gone" + std::to_string(10 + i) + ".mp3"));
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  ASSERT_EQ(rescanner->vanished().size(), 20u);
  db.reset();  // a child must not inherit an open connection

  testsupport::LockHolder writer(cataloguePath().string(), false,
                                "INSERT INTO music_shelf (Title) VALUES ('theirs')");
  writer.held();
  db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
  // The other program lets go only once the window has run while the removal waited.
  int yields = 0;
  std::int64_t removed = 0;
  EXPECT_EQ(rescanner->removeVanished(db,
                                      [&] {
                                        if (++yields == 1) writer.letGo();
                                      },
                                      removed),
            20);
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_GT(yields, 0);
  EXPECT_EQ(storedSorted(), (Names{"", "stays.mp3"}));  // their row and ours
}

// A removal whose batch a full disk takes back counts only the rows that are gone: the count
// the window shows and the catalogue agree.
TEST_F(FolderRescanTest, RemovalsAFullDiskTookBackAreNotCounted) {
  for (int i = 0; i < 600; ++i) touch("gone" + std::to_string(1000 + i) + ".mp3");
  touch("stays.mp3");
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  for (int i = 0; i < 600; ++i) fs::remove(root() / ("gone" + std::to_string(1000 + i) + ".mp3"));
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  ASSERT_EQ(rescanner->vanished().size(), 600u);
  // The catalogue, closed and so whole in its file, moves to a small disk, which is then
  // filled: the first batch of removals cannot be committed.
  testsupport::SmallDisk disk(dir.path() / "disk", 8 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
  db->Close();
  db.reset();
  fs::copy_file(cataloguePath(), disk.path("music_1.mdb"));
  db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(disk.path("music_1.mdb"));
  const std::int64_t before = rowCount();
  ASSERT_EQ(before, 601);
  ASSERT_TRUE(disk.fill());
  std::int64_t removed = -1;
  std::string text;
  const int number =
      testsupport::errorNumber([&] { rescanner->removeVanished(db, [] {}, removed); }, &text);
  EXPECT_EQ(number & 0xFF, SQLITE_FULL) << text;
  disk.freeUp();
  EXPECT_EQ(removed, before - rowCount());
}

// Two programs rescanning one folder at once store each file once: a file another program
// stored after this rescan looked at the catalogue, and before its row, is not stored again.
TEST_F(FolderRescanTest, AFileAnotherProgramStoredMeanwhileIsNotStoredAgain) {
  touch("a.mp3");
  touch("b.mp3");
  touch("c.mp3");
  const std::string theirs = (root() / "b.mp3").string();
  bool stored = false;
  onYield = [&] {
    if (stored) return;
    stored = true;
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(cataloguePath().c_str(), &other), SQLITE_OK);
    const std::string sql =
        "INSERT INTO music_shelf (Title, Filename) VALUES ('theirs', '" + theirs + "')";
    EXPECT_EQ(sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(other);
    sqlite3_close(other);
  };
  ASSERT_EQ(rescan(root()), ImportEnd::Finished);
  ASSERT_TRUE(stored);
  EXPECT_EQ(storedSorted(), (Names{"a.mp3", "b.mp3", "c.mp3"}));
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 2}));
  // A plain import still adds every file, as it always has.
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(rowCount(), 6);
}

TEST(RescanTextTest, SaysWhatWasDone) {
  const ImportCounts counts{.songsAdded = 120, .songsUnchanged = 9866};
  EXPECT_EQ(rescanProgressText(counts), "Rescanning: 120 added, 9,866 unchanged");
  EXPECT_EQ(rescanSummaryText(counts, "/music", 14, 0, ImportEnd::Finished),
            "Rescan of /music: 120 added, 14 removed, 9,866 unchanged");
  EXPECT_EQ(rescanSummaryText(counts, "/music", 0, 1, ImportEnd::Finished),
            "Rescan of /music: 120 added, 0 removed, 9,866 unchanged, 1 song no longer on disk "
            "kept");
  EXPECT_EQ(rescanSummaryText({.songsAdded = 3, .foldersUnreadable = 2}, "/music", 0, 0,
                              ImportEnd::Stopped),
            "Rescan of /music cancelled: 3 added, 0 unchanged (2 folders could not be read)");
}

// Songs below folders gone as a whole are never counted among those no longer on disk, while
// the user decides or after.
TEST(RescanTextTest, SongsBelowGoneFoldersAreCountedApart) {
  const ImportCounts counts{.songsAdded = 120, .songsUnchanged = 9866};
  EXPECT_EQ(rescanWaitingText(counts, "/music", 14),
            "Rescan of /music: 120 added, 9,866 unchanged; 14 songs no longer on disk, waiting "
            "for your answer");
  EXPECT_EQ(rescanWaitingText(counts, "/music", 1, 30),
            "Rescan of /music: 120 added, 9,866 unchanged; 1 song no longer on disk, 30 songs "
            "below folders that are gone, waiting for your answer");
  EXPECT_EQ(rescanWaitingText(counts, "/music", 0, 1),
            "Rescan of /music: 120 added, 9,866 unchanged; 1 song below a folder that is gone, "
            "waiting for your answer");
  EXPECT_EQ(rescanSummaryText(counts, "/music", 0, 1, ImportEnd::Finished, false, 30),
            "Rescan of /music: 120 added, 0 removed, 9,866 unchanged, 1 song no longer on disk "
            "kept, 30 songs below folders that are gone kept");
  EXPECT_EQ(rescanSummaryText(counts, "/music", 2, 0, ImportEnd::Finished, false, 1),
            "Rescan of /music: 120 added, 2 removed, 9,866 unchanged, 1 song below a folder that "
            "is gone kept");
}

}  // namespace
}  // namespace importer
