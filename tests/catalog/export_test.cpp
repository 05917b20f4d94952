// Exporting a view to CSV and M3U8 over a real catalogue in a temporary folder, and what an
// export that fails leaves behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "catalog/export.h"
#include "catalog/statements.h"
#include "engine/engine.h"
#include "support/childprocess.h"
#include "support/errornumber.h"
#include "support/smalldisk.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

namespace fs = std::filesystem;
using catalog::ExportFormat;
using catalog::exportView;

namespace {

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in a folder, sorted.
std::vector<std::string> filesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> linesOf(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t at = text.find(end, start);
    if (at == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, at - start));
    start = at + end.size();
  }
  return lines;
}

using testsupport::errorNumber;

// Songs 1 to `count`: "Song i" by "Artist i % 7", 100 + i seconds, at /music/i.mp3.
std::string numberedSongsSql(int count) {
  return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
         std::to_string(count) +
         ") INSERT INTO music_shelf (Title, Artist, Filename, Duration) "
         "SELECT 'Song ' || i, 'Artist ' || (i % 7), '/music/' || i || '.mp3', 100 + i FROM n";
}

const char* typeName(int type) {
  return type == engine::dbOpenSnapshot ? "Snapshot" : type == engine::dbOpenTable ? "Table"
                                                                                    : "Dynaset";
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override { testcatalogue::make(m_path); }

  std::shared_ptr<engine::Database> open() const {
    return engine::DBEngine::instance().Workspaces(0).OpenDatabase(m_path);
  }

  testsupport::TempDir m_dir;
  std::string m_path = m_dir.path("music_1.mdb");
  std::string m_target = m_dir.path("view.out");
};

// A snapshot writes its cached rows and the other types run their query again: both must give
// the same file for the same rows.
class ExportEachType : public ExportTest, public ::testing::WithParamInterface<int> {
 protected:
  std::shared_ptr<engine::Recordset> view(engine::Database& db, const std::string& sql) const {
    return db.OpenRecordset(sql, GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(Types, ExportEachType,
                         ::testing::Values(engine::dbOpenDynaset, engine::dbOpenSnapshot),
                         [](const auto& info) { return std::string(typeName(info.param)); });

}  // namespace

// ---------------------------------------------------------------------------------------------
// CSV

TEST_P(ExportEachType, CsvQuotesFieldsThatNeedItAndEndsLinesInCrLf) {
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (Title, Artist, Album, Comment, Year, Genre) VALUES "
                     "('plain', 'a, b', 'say \"hi\"', 'two' || char(10) || 'lines', "
                     "'cr' || char(13) || 'here', 'Ünïcødé ♫')");
  auto db = open();
  auto rs = view(*db,
                 "SELECT Title AS \"Name, full\", Artist, Album, Comment, Year, Genre "
                 "FROM music_shelf");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_target), 1);
  EXPECT_EQ(contents(m_target),
            "\"Name, full\",Artist,Album,Comment,Year,Genre\r\n"
            "plain,\"a, b\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\rhere\",Ünïcødé ♫\r\n");
}

TEST_P(ExportEachType, CsvNullsEmptyTextsNumbersAndBytes) {
  testcatalogue::run(m_path, "INSERT INTO music_shelf (Title) VALUES ('x')");
  auto db = open();
  auto rs = view(*db,
                 "SELECT NULL AS n, '' AS e, 42 AS i, -7 AS m, 1.5 AS r, 1e20 AS big, 0.1 AS "
                 "tenth, x'41FF42' AS b FROM music_shelf");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_target), 1);
  // NULL stays apart from an empty text; numbers read as SQLite writes them; a byte that is no
  // UTF-8 becomes U+FFFD.
  EXPECT_EQ(contents(m_target),
            "n,e,i,m,r,big,tenth,b\r\n"
            ",\"\",42,-7,1.5,1.0e+20,0.1,A\xEF\xBF\xBD"
            "B\r\n");
}

TEST_P(ExportEachType, CsvOfAQueryWithComputedColumns) {
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (Title, Artist) VALUES ('1', 'A'), ('2', 'B'), "
                     "('3', 'A'), ('4', NULL)");
  auto db = open();
  auto rs = view(*db, "SELECT Artist, count(*) AS Songs FROM music_shelf GROUP BY Artist");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_target), 3);
  EXPECT_EQ(contents(m_target), "Artist,Songs\r\n,1\r\nA,2\r\nB,1\r\n");
}

TEST_P(ExportEachType, EmptyViewWritesTheHeaderAlone) {
  auto db = open();
  auto rs = view(*db, "SELECT ID, Title, Filename FROM music_shelf");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_target), 0);
  EXPECT_EQ(contents(m_target), "ID,Title,Filename\r\n");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::M3u8, m_target), 0);
  EXPECT_EQ(contents(m_target), "#EXTM3U\n");
}

// ---------------------------------------------------------------------------------------------
// Which rows

TEST_F(ExportTest, EveryRowIsWrittenThoughTheViewReadOnlyItsFirstBatch) {
  testcatalogue::run(m_path, numberedSongsSql(1000));
  auto db = open();
  for (int type : {engine::dbOpenDynaset, engine::dbOpenTable}) {
    SCOPED_TRACE(typeName(type));
    auto rs = type == engine::dbOpenTable ? db->OpenRecordset("music_shelf", type)
                                          : db->OpenRecordset(catalog::allRowsSql(), type);
    ASSERT_LT(rs->rowCount(), 1000);
    const std::int64_t read = rs->rowCount();

    EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_target), 1000);
    const auto lines = linesOf(contents(m_target), "\r\n");
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_TRUE(lines[1].starts_with("1,Song 1,Artist 1,")) << lines[1];
    EXPECT_TRUE(lines[1000].starts_with("1000,Song 1000,Artist 6,")) << lines[1000];

    EXPECT_EQ(exportView(*db, *rs, ExportFormat::M3u8, m_target), 1000);
    const auto entries = linesOf(contents(m_target), "\n");
    ASSERT_EQ(entries.size(), 2001u);
    EXPECT_EQ(entries[1999], "#EXTINF:1100,Artist 6 - Song 1000");
    EXPECT_EQ(entries[2000], "/music/1000.mp3");

    // The rows went to the file, not into the view.
    EXPECT_EQ(rs->rowCount(), read);
  }
}

TEST_F(ExportTest, SnapshotWritesTheRowsItCopiedWhileADynasetRunsAgain) {
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (Title) VALUES ('one'), ('two'), ('three')");
  auto db = open();
  auto snapshot = db->OpenRecordset("SELECT ID, Title FROM music_shelf ORDER BY ID",
                                    engine::dbOpenSnapshot);
  auto dynaset = db->OpenRecordset("SELECT ID, Title FROM music_shelf ORDER BY ID",
                                   engine::dbOpenDynaset);
  db->Execute("UPDATE music_shelf SET Title = 'changed' WHERE ID = 1");
  db->Execute("DELETE FROM music_shelf WHERE ID = 2");
  db->Execute("INSERT INTO music_shelf (Title) VALUES ('four')");

  EXPECT_EQ(exportView(*db, *snapshot, ExportFormat::Csv, m_target), 3);
  EXPECT_EQ(contents(m_target), "ID,Title\r\n1,one\r\n2,two\r\n3,three\r\n");
  EXPECT_EQ(exportView(*db, *dynaset, ExportFormat::Csv, m_target), 3);
  EXPECT_EQ(contents(m_target), "ID,Title\r\n1,changed\r\n3,three\r\n4,four\r\n");
}

// ---------------------------------------------------------------------------------------------
// M3U8

TEST_P(ExportEachType, PlaylistEntriesAndTheRowsLeftOut) {
  testcatalogue::run(
      m_path,
      "INSERT INTO music_shelf (ID, Artist, Title, Duration, Filename) VALUES "
      "(1, 'Ann', 'One, two', 215, '/music/Ann/one.mp3'),"
      "(2, 'Ann', 'No file', 100, NULL),"
      "(3, 'Ann', 'Empty file', 100, ''),"
      "(4, NULL, 'Only a title', NULL, '/music/t.mp3'),"
      "(5, 'Only an artist', '', 'abc', '/music/a.mp3'),"
      "(6, NULL, NULL, 0, '/music/nameless.mp3'),"
      "(7, 'X' || char(13) || char(10) || 'Y', 'Two' || char(10) || 'lines', 12.6, "
      "'/music/ünï ♫.mp3'),"
      "(8, 'Ann', 'Broken path', 100, '/music/line' || char(10) || 'break.mp3'),"
      "(9, 'Ann', 'Hash', 100, '#1 hit.mp3'),"
      "(10, 'Ann', 'Relative', -5, 'songs/rel.mp3')");
  auto db = open();
  auto rs = view(*db, "SELECT * FROM music_shelf ORDER BY ID");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::M3u8, m_target), 6);
  EXPECT_EQ(contents(m_target),
            "#EXTM3U\n"
            "#EXTINF:215,Ann - One, two\n/music/Ann/one.mp3\n"
            "#EXTINF:-1,Only a title\n/music/t.mp3\n"
            "#EXTINF:-1,Only an artist\n/music/a.mp3\n"
            "#EXTINF:0,\n/music/nameless.mp3\n"
            "#EXTINF:13,X  Y - Two lines\n/music/ünï ♫.mp3\n"
            "#EXTINF:-1,Ann - Relative\nsongs/rel.mp3\n");
}

TEST_P(ExportEachType, PlaylistFindsColumnsByNameInAnyCase) {
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (Artist, Title, Duration, Filename) VALUES "
                     "('Ann', 'One', 215, '/music/one.mp3')");
  auto db = open();
  // No Duration here, so every length is unknown.
  auto rs = view(*db, "SELECT Filename AS FILENAME, Title AS tItLe, upper(Artist) AS artist "
                      "FROM music_shelf");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::M3u8, m_target), 1);
  EXPECT_EQ(contents(m_target), "#EXTM3U\n#EXTINF:-1,ANN - One\n/music/one.mp3\n");
}

TEST_P(ExportEachType, PlaylistOfAViewWithoutFilenameIsRefusedBeforeAnyFileIsMade) {
  testcatalogue::run(m_path, "INSERT INTO music_shelf (Artist, Filename) VALUES ('A', '/a.mp3')");
  const std::string existing = m_dir.write("songs.m3u8", "old");
  auto db = open();
  auto rs = view(*db, "SELECT Artist, count(*) AS Songs FROM music_shelf GROUP BY Artist");
  for (const std::string& path : {existing, m_dir.path("new.m3u8")}) {
    std::string text;
    EXPECT_EQ(errorNumber([&] { exportView(*db, *rs, ExportFormat::M3u8, path); }, &text),
              engine::err::kItemNotFound);
    EXPECT_NE(text.find("Filename"), std::string::npos) << text;
    EXPECT_NE(text.find(path), std::string::npos) << text;
  }
  EXPECT_EQ(contents(existing), "old");
  EXPECT_EQ(filesIn(m_dir.path()),
            (std::vector<std::string>{"music_1.mdb", "music_1.mdb-shm", "music_1.mdb-wal",
                                      "songs.m3u8"}));
}

// ---------------------------------------------------------------------------------------------
// The file on the disk

class ExportFileTest : public ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    testcatalogue::run(m_path, numberedSongsSql(1000));
  }
};

TEST_F(ExportFileTest, ReplacesAFileKeepingItsPermissionsAndLeavesNothingElse) {
  fs::create_directory(m_dir.path("out"));
  const std::string target = m_dir.path("out/songs.csv");
  testsupport::writeFile(target, "old");
  ::chmod(target.c_str(), 0640);
  auto db = open();
  auto rs = db->OpenRecordset(catalog::allRowsSql());
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, target), 1000);
  EXPECT_TRUE(contents(target).starts_with("ID,Title,"));
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // A new file gets what the umask allows.
  const std::string fresh = m_dir.path("out/new.m3u8");
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::M3u8, fresh), 1000);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
  EXPECT_EQ(filesIn(m_dir.path("out")), (std::vector<std::string>{"new.m3u8", "songs.csv"}));
}

TEST_F(ExportFileTest, FolderThatCannotBeWrittenKeepsItsFile) {
  const fs::path out = m_dir.path("out");
  fs::create_directory(out);
  const std::string target = (out / "songs.csv").string();
  testsupport::writeFile(target, "old");
  testsupport::handToUnprivilegedUser(m_dir.path());
  ::chmod(out.c_str(), 0555);
  // File permissions hold for root only in a process that gave it up.
  testsupport::ChildProcess child(
      [&](const testsupport::Channel&) {
        auto db = open();
        auto rs = db->OpenRecordset(catalog::allRowsSql());
        for (const std::string& path : {target, (out / "new.csv").string()}) {
          std::string text;
          EXPECT_EQ(errorNumber([&] { exportView(*db, *rs, ExportFormat::Csv, path); }, &text),
                    engine::err::kExportFailed);
          EXPECT_NE(text.find("'" + path + "'"), std::string::npos) << text;
          EXPECT_NE(text.find("ermission denied"), std::string::npos) << text;
        }
      },
      {.withoutRoot = true});
  EXPECT_EQ(child.wait(), 0) << "the unprivileged process reported failures (see above)";
  ::chmod(out.c_str(), 0755);
  EXPECT_EQ(contents(target), "old");
  EXPECT_EQ(filesIn(out), std::vector<std::string>{"songs.csv"});
}

TEST_F(ExportFileTest, MissingFolderIsNamed) {
  auto db = open();
  auto rs = db->OpenRecordset(catalog::allRowsSql());
  const std::string target = m_dir.path("nowhere/songs.csv");
  std::string text;
  EXPECT_EQ(errorNumber([&] { exportView(*db, *rs, ExportFormat::Csv, target); }, &text),
            engine::err::kExportFailed);
  EXPECT_NE(text.find("'" + target + "'"), std::string::npos) << text;
  EXPECT_FALSE(fs::exists(m_dir.path("nowhere")));
}

TEST_F(ExportFileTest, FullDiskKeepsTheFileThere) {
  testsupport::SmallDisk disk(m_dir.path() / "disk", 1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
  const std::string target = disk.path("songs.csv");
  testsupport::writeFile(target, "old");
  auto db = open();
  auto rs = db->OpenRecordset(catalog::allRowsSql());
  // Room for part of the rows: the file fails midway.
  testsupport::writeFile(disk.path("filler"), std::string((1 << 20) - (16 << 10), 'f'));
  for (ExportFormat format : {ExportFormat::Csv, ExportFormat::M3u8}) {
    std::string text;
    EXPECT_EQ(errorNumber([&] { exportView(*db, *rs, format, target); }, &text),
              engine::err::kExportFailed);
    EXPECT_NE(text.find("'" + target + "'"), std::string::npos) << text;
    EXPECT_NE(text.find("No space left"), std::string::npos) << text;
  }
  EXPECT_EQ(contents(target), "old");
  EXPECT_EQ(filesIn(disk.path("")), (std::vector<std::string>{"filler", "songs.csv"}));
  // Once there is room again the same view exports.
  disk.freeUp();
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, target), 1000);
}

TEST_F(ExportFileTest, QueryThatFailsMidwayKeepsTheFileThere) {
  const std::string target = m_dir.write("songs.csv", "old");
  auto db = open();
  // Row 300, past the rows the view reads at first, runs until the time limit stops it; row
  // 400 overflows an integer, which needs no time limit, however busy the machine.
  const std::string endlessAt300 =
      "SELECT *, CASE WHEN ID = 300 THEN (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
      "FROM c) SELECT count(*) FROM c) END AS slow FROM music_shelf ORDER BY ID";
  const std::string overflowAt400 =
      "SELECT *, abs(CASE WHEN ID = 400 THEN -9223372036854775807 - 1 ELSE ID END) AS x "
      "FROM music_shelf ORDER BY ID";
  for (const std::string& sql : {endlessAt300, overflowAt400}) {
    // The view's first rows are read under a generous limit; the export runs its query again
    // under the short one.
    db->setQueryTimeout(std::chrono::minutes(1));
    auto rs = db->OpenRecordset(sql);
    if (sql == endlessAt300) db->setQueryTimeout(std::chrono::milliseconds(200));
    for (ExportFormat format : {ExportFormat::Csv, ExportFormat::M3u8}) {
      std::string text;
      const int number = errorNumber([&] { exportView(*db, *rs, format, target); }, &text);
      EXPECT_EQ(number & 0xFF, sql == endlessAt300 ? SQLITE_INTERRUPT : SQLITE_ERROR) << text;
      EXPECT_NE(text.find("'" + target + "'"), std::string::npos) << text;
      EXPECT_NE(text.find("unchanged"), std::string::npos) << text;
    }
  }
  EXPECT_EQ(contents(target), "old");
  EXPECT_EQ(filesIn(m_dir.path()),
            (std::vector<std::string>{"music_1.mdb", "music_1.mdb-shm", "music_1.mdb-wal",
                                      "songs.csv"}));
}

// A link at the target is written through: the file it leads to gets the rows and the link
// stays, also when it leads to no file yet; a relative link leads from its own folder.
TEST_F(ExportFileTest, ALinkIsWrittenThroughToItsFile) {
  fs::create_directory(m_dir.path("out"));
  fs::create_directory(m_dir.path("real"));
  const std::string real = m_dir.path("real/songs.csv");
  testsupport::writeFile(real, "old");
  ::chmod(real.c_str(), 0640);
  fs::create_symlink("../real/songs.csv", m_dir.path("out/songs.csv"));
  fs::create_symlink(m_dir.path("real/new.csv"), m_dir.path("out/new.csv"));
  auto db = open();
  auto rs = db->OpenRecordset(catalog::allRowsSql());
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_dir.path("out/songs.csv")), 1000);
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_dir.path("out/new.csv")), 1000);
  EXPECT_TRUE(fs::is_symlink(m_dir.path("out/songs.csv")));
  EXPECT_TRUE(fs::is_symlink(m_dir.path("out/new.csv")));
  EXPECT_TRUE(contents(real).starts_with("ID,Title,"));
  EXPECT_TRUE(contents(m_dir.path("real/new.csv")).starts_with("ID,Title,"));
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(filesIn(m_dir.path("out")), (std::vector<std::string>{"new.csv", "songs.csv"}));
  EXPECT_EQ(filesIn(m_dir.path("real")), (std::vector<std::string>{"new.csv", "songs.csv"}));
}

// A pipe, or a folder, at the target is refused before anything is made; nothing blocks on
// the pipe.
TEST_F(ExportFileTest, APipeOrAFolderAtTheTargetIsRefused) {
  fs::create_directory(m_dir.path("out"));
  const std::string pipe = m_dir.path("out/songs.csv");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  fs::create_directory(m_dir.path("out/folder.csv"));
  auto db = open();
  auto rs = db->OpenRecordset(catalog::allRowsSql());
  for (const std::string& target : {pipe, m_dir.path("out/folder.csv")}) {
    std::string text;
    EXPECT_EQ(errorNumber([&] { exportView(*db, *rs, ExportFormat::Csv, target); }, &text),
              engine::err::kExportFailed);
    EXPECT_NE(text.find("'" + target + "'"), std::string::npos) << text;
    EXPECT_NE(text.find(target == pipe ? "a pipe" : "a folder"), std::string::npos) << text;
  }
  EXPECT_TRUE(fs::is_fifo(pipe));
  EXPECT_EQ(filesIn(m_dir.path("out")), (std::vector<std::string>{"folder.csv", "songs.csv"}));
}

// A name as long as the system allows exports: the file written first has a name that fits.
TEST_F(ExportFileTest, TheLongestNameExports) {
  fs::create_directory(m_dir.path("out"));
  const std::string name = std::string(251, 'n') + ".csv";
  auto db = open();
  auto rs = db->OpenRecordset(catalog::allRowsSql());
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_dir.path("out/" + name)), 1000);
  EXPECT_EQ(filesIn(m_dir.path("out")), std::vector<std::string>{name});
}

// What an export that was killed left behind goes the next time one writes into the folder;
// a file an export holds, a new one (about to be held), and names of other kinds stay.
TEST_F(ExportFileTest, FilesOfAKilledExportGoWithTheNextExport) {
  fs::create_directory(m_dir.path("out"));
  const auto make = [&](const std::string& name, bool old) {
    const std::string path = m_dir.path("out/" + name);
    testsupport::writeFile(path, std::string(1000, 'x'));
    if (old) {
      const timespec hourAgo{::time(nullptr) - 3600, 0};
      const timespec times[2] = {hourAgo, hourAgo};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    return path;
  };
  make(".songs.csv.export-0badf00d", true);
  make(".other.m3u8.export-00000001", true);
  const std::string held = make(".held.csv.export-12345678", true);
  make(".fresh.csv.export-abcdef01", false);
  make("notes.export-12345678", true);
  make(".hidden.export-1234567", true);  // one digit short
  const int holder = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  auto db = open();
  auto rs = db->OpenRecordset(catalog::allRowsSql());
  EXPECT_EQ(exportView(*db, *rs, ExportFormat::Csv, m_dir.path("out/songs.csv")), 1000);
  ::close(holder);
  EXPECT_EQ(filesIn(m_dir.path("out")),
            (std::vector<std::string>{".fresh.csv.export-abcdef01", ".held.csv.export-12345678",
                                      ".hidden.export-1234567", "notes.export-12345678",
                                      "songs.csv"}));
}

TEST_F(ExportFileTest, ViewWhoseColumnsChangedSinceItOpened) {
  const std::string target = m_dir.write("songs.csv", "old");
  auto db = open();
  auto rs = db->OpenRecordset("music_shelf", engine::dbOpenDynaset);
  db->Execute("ALTER TABLE music_shelf ADD COLUMN Rating INTEGER");
  std::string text;
  EXPECT_EQ(errorNumber([&] { exportView(*db, *rs, ExportFormat::Csv, target); }, &text),
            engine::err::kExportFailed);
  EXPECT_NE(text.find("columns have changed"), std::string::npos) << text;
  EXPECT_EQ(contents(target), "old");
}

// ---------------------------------------------------------------------------------------------
// The save dialog

TEST(ExportFormatFor, ExtensionFirstThenTheChosenFilter) {
  using catalog::exportFormatFor;
  EXPECT_EQ(exportFormatFor("/a/mix.m3u8"), ExportFormat::M3u8);
  EXPECT_EQ(exportFormatFor("/a/MIX.M3U", catalog::kCsvFilter), ExportFormat::M3u8);
  EXPECT_EQ(exportFormatFor("/a/songs.csv", catalog::kM3u8Filter), ExportFormat::Csv);
  EXPECT_EQ(exportFormatFor("/a/songs", catalog::kM3u8Filter), ExportFormat::M3u8);
  EXPECT_EQ(exportFormatFor("/a/songs.txt", catalog::kM3u8Filter), ExportFormat::M3u8);
  EXPECT_EQ(exportFormatFor("/a/songs", catalog::kCsvFilter), ExportFormat::Csv);
  EXPECT_EQ(exportFormatFor("/a.m3u8/songs"), ExportFormat::Csv);
}

TEST(ExportFormatFor, ExtensionAddedOnlyToANameWithout) {
  using catalog::withExportExtension;
  EXPECT_EQ(withExportExtension("/a/songs", ExportFormat::Csv), "/a/songs.csv");
  EXPECT_EQ(withExportExtension("/a.b/mix", ExportFormat::M3u8), "/a.b/mix.m3u8");
  EXPECT_EQ(withExportExtension("/a/.hidden", ExportFormat::Csv), "/a/.hidden.csv");
  EXPECT_EQ(withExportExtension("/a/songs.txt", ExportFormat::Csv), "/a/songs.txt");
  EXPECT_EQ(withExportExtension("/a/mix.m3u", ExportFormat::M3u8), "/a/mix.m3u");
}
