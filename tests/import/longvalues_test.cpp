// Files whose tags hold texts longer than a row may take, read by the real TagLib component
// among ordinary files: every file gets its row, the long texts cut to whole characters, and
// later rescans go on past them. The cut depends only on kLongestFileValue, so the files' texts
// are a few bytes longer than that (some 4 MB); one text over SQLite's own limit comes from a
// fake component, so that no such file is written or parsed. Also the error that stops an import
// names its file, or the batch it was saving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/searchindex.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/utf8.h"
#include "import/folderrescan.h"
#include "import/importsummary.h"
#include "import/shelfwriter.h"
#include "importfixture.h"
#include "mp3fixture.h"
#include "support/faultyvfs.h"
#include "testcatalogue.h"

namespace importer {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr std::size_t kLimit = static_cast<std::size_t>(engine::kLongestValue);

// `lead`, then `unit` again and again up to at least `bytes` bytes. A lead of one byte puts
// the multi-byte characters across any even boundary.
std::string longText(std::string_view lead, std::string_view unit, std::size_t bytes) {
  std::string text(lead);
  text.reserve(bytes + unit.size());
  while (text.size() < bytes) text += unit;
  return text;
}

// Texts a few bytes over the cap: what a file needs to have a value cut.
constexpr std::size_t kOverTheCap = kLongestFileValue + 100;

// What a long value must be once stored: the original's longest prefix of whole characters
// that the cap allows.
void expectCutFrom(const std::string& stored, const std::string& original,
                   const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_LE(stored.size(), kLongestFileValue);
  EXPECT_GT(stored.size() + 4, kLongestFileValue);
  EXPECT_TRUE(engine::isValidUtf8(stored));
  EXPECT_TRUE(std::string_view(original).starts_with(stored));
}

class LongValuesTest : public fixture::ImportTest {
 protected:
  void SetUp() override {
    fixture::ImportTest::SetUp();
    import = std::make_unique<FolderImport>(createTagLibMp3Info);
  }

  // A song with the given ID3v2.4 text frames; different frame counts make different audio.
  void write(const fs::path& relative, const std::vector<fixture::TextFrame>& frames,
             int audioFrames) {
    fs::create_directories((root() / relative).parent_path());
    fixture::writeMp3(root() / relative, fixture::id3v2Tag(4, frames),
                      fixture::Audio{.frames = audioFrames});
  }
  void write(const fs::path& relative, const std::string& title, int audioFrames) {
    write(relative, {{"TIT2", {title}}, {"TPE1", {"Band"}}}, audioFrames);
  }

  ImportEnd rescan() {
    rescanner = std::make_unique<FolderRescan>(*import);
    return rescanner->run(
        root().string(), [this] { return db; }, [] {});
  }

  // A value of the row for the file `relative`, or of its companion row.
  std::string value(const std::string& column, const fs::path& relative,
                    const std::string& table = "music_shelf") {
    std::vector<std::string> found;
    const std::string parameters[] = {path(relative)};
    db->ForEachRow("SELECT " + column + " FROM " + table + " WHERE Filename = ?1", parameters,
                   [&](engine::Database::RowTexts row) { found.emplace_back(row[0].value_or("")); });
    if (found.size() != 1) return std::to_string(found.size()) + " rows";
    return found[0];
  }

  // Rows whose companion row holds other values than they do.
  std::string companionsDiffering() {
    return testcatalogue::scalar(
        cataloguePath().string(),
        "SELECT count(*) FROM music_shelf s LEFT JOIN shelf_files f USING (ID) WHERE f.ID IS "
        "NULL OR s.Title IS NOT f.Title OR s.Artist IS NOT f.Artist OR s.Album IS NOT f.Album "
        "OR s.Genre IS NOT f.Genre");
  }

  ImportCounts counts() const { return import->progress().counts; }
  std::string path(const fs::path& relative) const { return (root() / relative).string(); }

  std::unique_ptr<FolderRescan> rescanner;
};

// A title over the cap between ordinary files: every file gets its row, the title is stored cut,
// the summary names the file; rescans afterwards, one that reads the file again where it is and
// one that finds it moved and another like it new, finish too, and count each stored file once.
TEST_F(LongValuesTest, ATitleOverTheCapIsStoredCutAndTheImportGoesOn) {
  const std::string title = longText("x", "\xF0\x9F\x98\x80", kOverTheCap);  // U+1F600
  write("a.mp3", "Before", 101);
  write("b.mp3", title, 102);
  write("c.mp3", "After", 103);
  write("S/d.mp3", "Below", 104);

  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3", "c.mp3", "S/d.mp3"}));
  EXPECT_EQ(stored("Title"), (Names{"Before", value("Title", "b.mp3"), "After", "Below"}));
  expectCutFrom(value("Title", "b.mp3"), title, "Title");
  EXPECT_EQ(value("Artist", "b.mp3"), "Band");
  EXPECT_EQ(companionsDiffering(), "0");
  EXPECT_EQ(counts(),
            (ImportCounts{.songsAdded = 4, .filesCut = 1, .firstFileCut = path("b.mp3")}));
  EXPECT_EQ(summaryText(counts(), root().string(), 1.0, ImportEnd::Finished),
            "Added 4 songs from " + root().string() +
                " in 1.0 s, 1 song stored with a value cut short (" + path("b.mp3") + ")");

  // Read again where it is: the same cut title, so the row stays as it was.
  const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 10, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path("b.mp3").c_str(), later, 0), 0);
  ASSERT_EQ(rescan(), ImportEnd::Finished);
  EXPECT_EQ(counts(),
            (ImportCounts{.songsUnchanged = 4, .filesCut = 1, .firstFileCut = path("b.mp3")}));

  // Moved (held back until the walk is over, then its row follows it), and a new one.
  fs::create_directories(root() / "T");
  fs::rename(root() / "b.mp3", root() / "T/b.mp3");
  write("e.mp3", title, 105);
  ASSERT_EQ(rescan(), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"a.mp3", "T/b.mp3", "c.mp3", "S/d.mp3", "e.mp3"}));
  expectCutFrom(value("Title", "e.mp3"), title, "Title of the new file");
  EXPECT_EQ(companionsDiffering(), "0");
  // The new file comes first in the walk, among the folder's own files.
  EXPECT_EQ(counts(), (ImportCounts{.songsAdded = 1,
                                    .songsUnchanged = 3,
                                    .songsMoved = 1,
                                    .filesCut = 2,
                                    .firstFileCut = path("e.mp3")}));
  EXPECT_EQ(rescanSummaryText(counts(), root().string(), 0, 0, ImportEnd::Finished),
            "Rescan of " + root().string() +
                ": 1 added, 1 moved, 0 removed, 3 unchanged, 2 songs stored with a value cut short "
                "(first: " +
                path("e.mp3") + ")");
}

// Several values over the cap, in characters of every length: each is cut, and the row, its
// companion row and the search index's folded copy are stored, the last found by a search.
TEST_F(LongValuesTest, SeveralLongValuesAreEachCutAndIndexed) {
  const std::size_t each = kOverTheCap;
  const std::string title = longText("x", "\xF0\x9F\x98\x80", each);  // 4-byte U+1F600
  const std::string artist = longText("x", "\xC3\xA9", each);         // 2-byte é
  const std::string album = longText("x", "\xE2\x82\xAC", each);      // 3-byte €
  const std::string genre = longText("", "Rock ", each);
  write("a.mp3", "Before", 101);
  write("b.mp3",
        {{"TIT2", {title}},
         {"TPE1", {artist}},
         {"TALB", {album}},
         {"TCON", {genre}},
         {"TRCK", {"7/12"}}},
        102);
  write("c.mp3", "After", 103);

  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3", "c.mp3"}));
  expectCutFrom(value("Title", "b.mp3"), title, "Title");
  expectCutFrom(value("Artist", "b.mp3"), artist, "Artist");
  expectCutFrom(value("Album", "b.mp3"), album, "Album");
  expectCutFrom(value("Genre", "b.mp3"), genre, "Genre");
  EXPECT_EQ(value("Track", "b.mp3"), "7");
  EXPECT_EQ(companionsDiffering(), "0");
  EXPECT_EQ(counts(),
            (ImportCounts{.songsAdded = 3, .filesCut = 1, .firstFileCut = path("b.mp3")}));

  catalog::ensureSearchIndex(*db);
  while (catalog::catchUpSearchIndex(*db, 1000) > 0) {
  }
  ASSERT_EQ(catalog::searchIndexPending(*db), 0);
  const std::string id = value("ID", "b.mp3");
  EXPECT_EQ(testcatalogue::scalar(cataloguePath().string(),
                                  "SELECT group_concat(rowid) FROM shelf_search WHERE "
                                  "shelf_search MATCH 'Genre : \"ock ro\"'"),
            id);
  EXPECT_EQ(testcatalogue::scalar(cataloguePath().string(),
                                  "SELECT length(CAST(Album AS BLOB)) > " +
                                      std::to_string(kLongestFileValue - 4) +
                                      " FROM shelf_search WHERE rowid = " + id),
            "1");
}

// The cut itself, at the cap's very edge: only whole characters stay, the path never changes,
// and a file record used again does not keep an earlier file's mark.
TEST(CutToStorable, KeepsWholeCharactersUpToTheCap) {
  const std::size_t cap = kLongestFileValue;
  struct Case {
    const char* what;
    std::string value;
    std::size_t kept;
  };
  const Case cases[] = {
      {"at the cap", std::string(cap, 'a'), cap},
      {"one byte over", std::string(cap + 1, 'a'), cap},
      {"a character ending at the cap", std::string(cap - 2, 'a') + "\xC3\xA9" + "b", cap},
      {"2-byte across", std::string(cap - 1, 'a') + "\xC3\xA9", cap - 1},
      {"3-byte across", std::string(cap - 2, 'a') + "\xE2\x82\xAC", cap - 2},
      {"3-byte, last byte over", std::string(cap - 1, 'a') + "\xE2\x82\xAC", cap - 1},
      {"4-byte across", std::string(cap - 3, 'a') + "\xF0\x9F\x98\x80", cap - 3},
      {"4-byte, last byte over", std::string(cap - 1, 'a') + "\xF0\x9F\x98\x80", cap - 1},
      // Never the case after storeText(); the cut still stops within a character's length.
      {"not UTF-8 at the cap", std::string(cap + 10, '\x80'), cap - 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (std::size_t column = 0; column < 5; ++column) {
      ReadFile file;
      file.values[column] = c.value;
      const bool longer = c.value.size() > cap;
      EXPECT_EQ(cutToStorable(file), longer);
      EXPECT_EQ(file.cut, longer);
      EXPECT_EQ(file.values[column].size(), c.kept);
      EXPECT_EQ(file.values[column], c.value.substr(0, c.kept));
    }
  }

  ReadFile file;
  file.values[0] = std::string(cap + 1, 't');
  file.values[5] = std::string(cap + 10, 'p');  // the path
  EXPECT_TRUE(cutToStorable(file));
  EXPECT_EQ(file.values[5].size(), cap + 10);
  file.values[0] = "Short";
  EXPECT_FALSE(cutToStorable(file));
  EXPECT_FALSE(file.cut);
}

// Counts gathered batch by batch name the first file cut, and texts without a cut file are
// those the summaries always gave.
TEST(CutSummary, NamesTheFirstFileOnlyWhenOneWasCut) {
  ImportCounts counts{.songsAdded = 5};
  const std::string plain = summaryText(counts, "/music", 2.0, ImportEnd::Finished);
  EXPECT_EQ(plain, "Added 5 songs from /music in 2.0 s");
  EXPECT_EQ(rescanWaitingText(counts, "/music", 2),
            "Rescan of /music: 5 added, 0 unchanged; 2 songs no longer on disk, waiting for your "
            "answer");
  counts += ImportCounts{.filesCut = 1, .firstFileCut = "/music/x.mp3"};
  EXPECT_EQ(summaryText(counts, "/music", 2.0, ImportEnd::Finished),
            "Added 5 songs from /music in 2.0 s, 1 song stored with a value cut short "
            "(/music/x.mp3)");
  counts += ImportCounts{.filesCut = 2, .firstFileCut = "/music/y.mp3"};
  counts += ImportCounts{.filesUnreadable = 1};
  EXPECT_EQ(counts.firstFileCut, "/music/x.mp3");
  EXPECT_EQ(summaryText(counts, "/music", 2.0, ImportEnd::Finished),
            "Added 5 songs from /music in 2.0 s, 3 songs stored with a value cut short (first: "
            "/music/x.mp3) (1 file could not be read)");
  EXPECT_EQ(rescanWaitingText(counts, "/music", 2),
            "Rescan of /music: 5 added, 0 unchanged, 3 songs stored with a value cut short "
            "(first: /music/x.mp3); 2 songs no longer on disk, waiting for your answer");
  EXPECT_EQ(summaryText(ImportCounts{.songsAdded = 5, .filesCut = 1, .firstFileCut = "/m/x.mp3"},
                        "/m", 0, ImportEnd::Finished, true),
            "Import stopped by an error: 5 songs added, 1 song stored with a value cut short "
            "(/m/x.mp3)");
  EXPECT_EQ(rescanSummaryText(
                ImportCounts{.songsUnchanged = 3, .filesCut = 1, .firstFileCut = "/m/x.mp3"}, "/m",
                0, 0, ImportEnd::Stopped),
            "Rescan of /m cancelled: 0 added, 3 unchanged, 1 song stored with a value cut short "
            "(/m/x.mp3)");
}

// An error that stops an import or a rescan keeps its number and its description, and names
// the file it stopped at: one added by the import, one added by a rescan, and one a rescan
// held back as moved and then failed to store.
TEST_F(LongValuesTest, AnErrorThatStopsTheImportNamesTheFile) {
  write("a.mp3", "A", 101);
  write("b.mp3", "B", 102);
  write("c.mp3", "C", 103);
  db->Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON music_shelf WHEN substr(new.Filename, -6) = "
      "'/b.mp3' BEGIN SELECT RAISE(ABORT, 'refused for this test'); END");
  const auto stopsAt = [&](const auto& action) {
    try {
      action();
    } catch (const engine::EngineError& error) {
      EXPECT_EQ(error.number(), SQLITE_CONSTRAINT_TRIGGER);
      return error.description();
    }
    return std::string("no error");
  };
  EXPECT_EQ(stopsAt([&] { run(root().string()); }),
            "refused for this test. The import stopped at " + path("b.mp3") + ".");
  EXPECT_EQ(stored(), (Names{"a.mp3"}));

  EXPECT_EQ(stopsAt([&] { rescan(); }),
            "refused for this test. The rescan stopped at " + path("b.mp3") + ".");
  db->Execute("DROP TRIGGER refuse");
  ASSERT_EQ(rescan(), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3", "c.mp3"}));

  fs::create_directories(root() / "T");
  fs::rename(root() / "c.mp3", root() / "T/c.mp3");
  db->Execute(
      "CREATE TRIGGER refuse BEFORE UPDATE ON music_shelf WHEN substr(new.Filename, -8) = "
      "'/T/c.mp3' BEGIN SELECT RAISE(ABORT, 'refused for this test'); END");
  EXPECT_EQ(stopsAt([&] { rescan(); }),
            "refused for this test. The rescan stopped at " + path("T/c.mp3") + ".");
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3", "c.mp3"}));
}

// A component that reads the file b.mp3 as titled with a text over SQLite's own length limit, and
// every other file as an ordinary song: the text never reaches SQLite whole.
class OverTheLimit final : public Mp3Info {
 public:
  static std::string title(std::size_t bytes) { return longText("x", "\xE2\x82\xAC", bytes); }
  bool read(const std::string& path) override {
    m_long = path.ends_with("/b.mp3");
    return true;
  }
  std::string title() override { return m_long ? title(kLimit + 100) : "Song"; }
  std::string artist() override { return "Band"; }
  std::string album() override { return "Disc"; }
  std::string track() override { return "1"; }
  std::string genre() override { return "Rock"; }
  int bitrate() override { return 128; }
  int duration() override { return 60; }
  bool vbr() override { return false; }

 private:
  bool m_long = false;
};

TEST_F(LongValuesTest, ATitleOverSQLitesLimitIsStoredCut) {
  touch("a.mp3");
  touch("b.mp3");
  touch("c.mp3");
  import = std::make_unique<FolderImport>([] { return std::make_unique<OverTheLimit>(); });
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  EXPECT_EQ(stored("Title"), (Names{"Song", value("Title", "b.mp3"), "Song"}));
  expectCutFrom(value("Title", "b.mp3"), OverTheLimit::title(kOverTheCap), "Title");
  EXPECT_EQ(companionsDiffering(), "0");
  EXPECT_EQ(counts(),
            (ImportCounts{.songsAdded = 3, .filesCut = 1, .firstFileCut = path("b.mp3")}));
}

// A rescan holds a new file back while it may be a moved one; one whose row is then not stored
// (here a trigger of another program's keeps both the move and the new row out) is not counted
// among the songs stored cut.
TEST_F(LongValuesTest, AHeldBackFileCountsAsCutOnlyOnceStored) {
  write("a.mp3", "Short", 101);
  write("b.mp3", longText("x", "\xC3\xA9", kOverTheCap), 102);
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  fs::create_directories(root() / "T");
  fs::rename(root() / "b.mp3", root() / "T/b.mp3");
  for (const char* when : {"BEFORE UPDATE", "BEFORE INSERT"})
    db->Execute(std::string("CREATE TRIGGER \"keep out ") + when + "\" " + when +
                " ON music_shelf WHEN substr(new.Filename, -8) = '/T/b.mp3' BEGIN SELECT "
                "RAISE(IGNORE); END");
  ASSERT_EQ(rescan(), ImportEnd::Finished);
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 1}));
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3"}));
}

// A row stored before values were cut holds a title over the cap, whole, as its file gave it.
// Read again with the same tag, the file gives the title's storable part: the row keeps the
// whole title and is not counted updated, neither where it is nor once moved; a new title still
// replaces it.
TEST_F(LongValuesTest, ARowStoredWholeBeforeTheCutKeepsItsValue) {
  const std::string title = longText("x", "\xE2\x82\xAC", kLongestFileValue + (1 << 20));
  write("a.mp3", title, 101);
  write("b.mp3", "Short", 102);
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(cataloguePath().c_str(), &raw), SQLITE_OK);
    for (const char* table : {"music_shelf", "shelf_files"}) {
      sqlite3_stmt* statement = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(raw,
                                   (std::string("UPDATE ") + table +
                                    " SET Title = ?1 WHERE Filename = ?2")
                                       .c_str(),
                                   -1, &statement, nullptr),
                SQLITE_OK);
      sqlite3_bind_text64(statement, 1, title.data(), title.size(), SQLITE_STATIC, SQLITE_UTF8);
      const std::string file = path("a.mp3");
      sqlite3_bind_text(statement, 2, file.c_str(), -1, SQLITE_TRANSIENT);
      EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
      EXPECT_EQ(sqlite3_changes(raw), 1);
      sqlite3_finalize(statement);
    }
    sqlite3_close(raw);
  }
  const auto touchLater = [&](const fs::path& relative, int seconds) {
    const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path(relative).c_str(), later, 0), 0);
  };

  touchLater("a.mp3", 10);
  ASSERT_EQ(rescan(), ImportEnd::Finished);
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 2,
                                    .filesCut = 1,
                                    .firstFileCut = path("a.mp3")}));
  EXPECT_TRUE(value("Title", "a.mp3") == title);
  EXPECT_TRUE(value("Title", "a.mp3", "shelf_files") == title);

  fs::create_directories(root() / "T");
  fs::rename(root() / "a.mp3", root() / "T/a.mp3");
  ASSERT_EQ(rescan(), ImportEnd::Finished);
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 1,
                                    .songsMoved = 1,
                                    .filesCut = 1,
                                    .firstFileCut = path("T/a.mp3")}));
  EXPECT_TRUE(value("Title", "T/a.mp3") == title);
  EXPECT_TRUE(value("Title", "T/a.mp3", "shelf_files") == title);

  write("T/a.mp3", "New", 101);
  touchLater("T/a.mp3", 20);
  ASSERT_EQ(rescan(), ImportEnd::Finished);
  EXPECT_EQ(counts(), (ImportCounts{.songsUnchanged = 1, .songsUpdated = 1}));
  EXPECT_EQ(value("Title", "T/a.mp3"), "New");
  EXPECT_EQ(companionsDiffering(), "0");
}

// A batch of rows the catalogue fails to save as it is committed (the write of its log fails)
// is no one file's fault: the error says how far the rows it was saving went, for an import
// and for a rescan.
class FailedCommitTest : public LongValuesTest {
 protected:
  void SetUp() override {
    LongValuesTest::SetUp();
    makeImport();  // every file a short song: one row, one batch
  }
  void TearDown() override {
    rescanner.reset();
    import.reset();
    db.reset();  // before the VFS goes
  }
  std::string stopsWith(const std::function<void()>& action) {
    try {
      action();
    } catch (const engine::EngineError& error) {
      EXPECT_EQ(error.number() & 0xFF, SQLITE_IOERR);
      return error.description();
    }
    return "no error";
  }
  testsupport::FaultyVfs vfs;  // made before the catalogue is opened
};

TEST_F(FailedCommitTest, NamesTheRowsItWasSaving) {
  touch("a.mp3");
  vfs.failOnce(testsupport::FaultyVfs::Call::kWrite, testsupport::FaultyVfs::File::kWal);
  EXPECT_TRUE(stopsWith([&] { run(root().string()); })
                  .ends_with(". The import stopped while saving the rows up to " + path("a.mp3") +
                             "."));
  EXPECT_TRUE(vfs.fired());

  vfs.failOnce(testsupport::FaultyVfs::Call::kWrite, testsupport::FaultyVfs::File::kWal);
  EXPECT_TRUE(stopsWith([&] { rescan(); })
                  .ends_with(". The rescan stopped while saving the rows up to " + path("a.mp3") +
                             "."));
  EXPECT_TRUE(vfs.fired());
  EXPECT_EQ(rowCount(), 0);
}

}  // namespace
}  // namespace importer
