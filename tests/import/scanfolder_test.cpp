#include "import/scanfolder.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/errors.h"
#include "import/readmp3info.h"
#include "mp3fixture.h"

namespace importer {
namespace {

namespace fs = std::filesystem;

// Records what the walk asks of the window. The record it fills names the file it was read for.
class FakeHost : public ImportHost {
 public:
  void runStatement(const std::string& sql) override {
    events.push_back("sql");
    statements.push_back(sql);
    if (static_cast<int>(statements.size()) == failOnStatement)
      throw engine::EngineError(13, "database or disk is full");
  }
  void yield() override {
    events.push_back("yield");
    ++yields;
    if (yields == stopAtYield) stop = true;
  }
  bool stopRequested() const override { return stop; }
  void readMp3Info(const std::string& path, SongInfo& info) override {
    events.push_back("read");
    reads.push_back(path);
    info = SongInfo();
    info.Title = fs::path(path).filename().string();
  }

  // Read paths relative to `root`.
  std::vector<std::string> readNames(const fs::path& root) const {
    std::vector<std::string> names;
    const std::string prefix = root.string() + "/";
    for (const std::string& path : reads)
      names.push_back(path.starts_with(prefix) ? path.substr(prefix.size()) : path);
    return names;
  }

  std::vector<std::string> events, statements, reads;
  int yields = 0;
  int stopAtYield = -1;
  int failOnStatement = -1;
  bool stop = false;
};

class ScanFolderTest : public ::testing::Test {
 protected:
  fs::path root() const { return dir.path() / "music"; }

  // An MP3 file for the fake host: the walk never opens it, so the content does not matter.
  void touch(const fs::path& relative) {
    fs::create_directories((root() / relative).parent_path());
    fixture::writeFile(root() / relative, "x");
  }

  std::vector<std::string> scan() {
    ScanFolder(root().string(), host);
    return host.readNames(root());
  }

  fixture::TempDir dir;
  FakeHost host;
};

using Names = std::vector<std::string>;

TEST_F(ScanFolderTest, FilesOfAFolderComeBeforeItsSubfoldersDepthFirst) {
  touch("a1.mp3");
  touch("B/b1.mp3");
  touch("B/D/d1.mp3");
  touch("a2.MP3");
  touch("C/c1.mp3");
  touch("B/b2.mp3");
  EXPECT_EQ(scan(), (Names{"a1.mp3", "a2.MP3", "B/b1.mp3", "B/b2.mp3", "B/D/d1.mp3", "C/c1.mp3"}));
  EXPECT_EQ(host.statements.size(), 6u);
}

TEST_F(ScanFolderTest, YieldsAroundEveryStatementAndEverySubfolder) {
  touch("a.mp3");
  touch("B/b.mp3");
  scan();
  EXPECT_EQ(host.events, (Names{"read", "yield", "sql", "yield",                   // a.mp3
                                "yield", "read", "yield", "sql", "yield", "yield"}));  // B
}

TEST_F(ScanFolderTest, SelectsMp3NamesInAnyCase) {
  for (const char* name : {"song.mp3", "song.Mp3", "SONG.MP3", "song.mp3.bak", "song.mp4", "mp3",
                           "xmp3", ".mp3", "a.mP3"})
    touch(name);
  fs::create_directories(root() / "old.mp3");
  touch("old.mp3/inner.mp3");
  EXPECT_EQ(scan(), (Names{"SONG.MP3", "a.mP3", "song.Mp3", "song.mp3", "old.mp3/inner.mp3"}));
}

TEST_F(ScanFolderTest, HiddenEntriesAreNeitherReadNorWalked) {
  touch(".hidden.mp3");
  touch(".hiddenfolder/song.mp3");
  touch("visible/.also-hidden.mp3");
  touch("visible/shown.mp3");
  EXPECT_EQ(scan(), (Names{"visible/shown.mp3"}));
}

TEST_F(ScanFolderTest, SystemEntriesAndBrokenLinksAreSkipped) {
  touch("real.mp3");
  ASSERT_EQ(::mkfifo((root() / "pipe.mp3").c_str(), 0644), 0);
  fs::create_symlink(root() / "absent.mp3", root() / "broken.mp3");
  fs::create_symlink(root() / "real.mp3", root() / "linked.mp3");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (root() / "socket.mp3").string();
  if (sock >= 0 && socketPath.size() < sizeof address.sun_path) {
    socketPath.copy(address.sun_path, socketPath.size());
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  EXPECT_EQ(scan(), (Names{"linked.mp3", "real.mp3"}));
  if (sock >= 0) ::close(sock);
}

TEST_F(ScanFolderTest, LinkedFoldersAreWalkedOnceAndLoopsEnd) {
  touch("a/a.mp3");
  touch("b/b.mp3");
  fs::create_directories(dir.path() / "elsewhere");
  fixture::writeFile(dir.path() / "elsewhere/e.mp3", "x");
  fs::create_directory_symlink(root(), root() / "a/up");            // back to the top
  fs::create_directory_symlink(root() / "a", root() / "a/self");     // to itself
  fs::create_directory_symlink(root() / "b", root() / "a/to-b");     // a sibling, walked later
  fs::create_directory_symlink(dir.path() / "elsewhere", root() / "ext1");
  fs::create_directory_symlink(dir.path() / "elsewhere", root() / "ext2");
  EXPECT_EQ(scan(), (Names{"a/a.mp3", "a/to-b/b.mp3", "ext1/e.mp3"}));
}

TEST_F(ScanFolderTest, UnreadableFolderIsSkipped) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  touch("a.mp3");
  touch("locked/l.mp3");
  touch("z/z.mp3");
  ASSERT_EQ(::chmod((root() / "locked").c_str(), 0), 0);
  EXPECT_EQ(scan(), (Names{"a.mp3", "z/z.mp3"}));
  ::chmod((root() / "locked").c_str(), 0755);
}

TEST_F(ScanFolderTest, MissingFolderImportsNothing) {
  ScanFolder((dir.path() / "absent").string(), host);
  EXPECT_TRUE(host.events.empty());
  touch("nothing.txt");
  EXPECT_EQ(scan(), Names{});
  EXPECT_TRUE(host.statements.empty());
}

class StopTest : public ScanFolderTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopTest, StopEndsTheWalkAtTheYield) {
  touch("a.mp3");
  touch("b.mp3");
  touch("S/c.mp3");
  touch("S/T/d.mp3");
  touch("U/e.mp3");
  host.stopAtYield = GetParam();
  scan();
  // Nothing at all happens after the yield that saw the stop.
  ASSERT_FALSE(host.events.empty());
  EXPECT_EQ(host.events.back(), "yield");
  EXPECT_EQ(host.yields, GetParam());
}

INSTANTIATE_TEST_SUITE_P(EachYield, StopTest, ::testing::Range(1, 16));

TEST_F(ScanFolderTest, StopBeforeTheStartDoesNothing) {
  touch("a.mp3");
  host.stop = true;
  scan();
  EXPECT_TRUE(host.events.empty());
}

TEST_F(ScanFolderTest, EngineErrorStopsTheWalkAndComesThrough) {
  touch("a.mp3");
  touch("b.mp3");
  touch("S/c.mp3");
  host.failOnStatement = 2;
  try {
    ScanFolder(root().string(), host);
    FAIL() << "no error";
  } catch (const engine::EngineError& error) {
    EXPECT_EQ(error.number(), 13);
  }
  EXPECT_EQ(host.readNames(root()), (Names{"a.mp3", "b.mp3"}));
  EXPECT_EQ(host.events.back(), "sql");
}

TEST_F(ScanFolderTest, FileNamesThatAreNotUtf8AreReadUnderTheirBytes) {
  const std::string name = "caf\xE9.mp3";
  touch(name);
  ASSERT_EQ(scan(), Names{name});
  struct stat st {};
  EXPECT_EQ(::stat(host.reads[0].c_str(), &st), 0);
  EXPECT_NE(host.statements[0].find("/caf\xEF\xBF\xBD.mp3'"), std::string::npos);
}

TEST_F(ScanFolderTest, PrefixIsThePathAndASeparator) {
  touch("a.mp3");
  ScanFolder(root().string() + "/", host);
  ASSERT_EQ(host.reads.size(), 1u);
  EXPECT_EQ(host.reads[0], root().string() + "//a.mp3");
}

TEST(InsertStatementTest, ExactText) {
  SongInfo info;
  info.Title = "Song";
  info.Artist = "Band";
  info.Album = "Disc";
  info.Genre = "Rock";
  info.Track = "3";
  info.Duration = 215;
  info.Bitrate = 192;
  EXPECT_EQ(buildInsertStatement(info, "/m/a.mp3"),
            "INSERT INTO music_shelf (Title, Artist, Album,  Genre, Track, Filename, Duration, "
            "Bitrate, VBR) VALUES ('Song','Band', 'Disc', 'Rock','3', '/m/a.mp3','215','192',"
            "'False');");
}

TEST(InsertStatementTest, QuotedValuesAreMadeSafe) {
  SongInfo info;
  info.Title = "Don't Stop";
  info.Artist = "Guns N' Roses";
  info.Album = "''";
  info.Genre = "Rock 'n' Roll";
  info.Track = "";
  info.Duration = 0;
  info.Bitrate = -1;
  info.VBR = true;
  EXPECT_EQ(buildInsertStatement(info, "/m/Rock'n'Roll/a.mp3"),
            "INSERT INTO music_shelf (Title, Artist, Album,  Genre, Track, Filename, Duration, "
            "Bitrate, VBR) VALUES ('Don''t Stop','Guns N'' Roses', '''''', 'Rock ''n'' Roll','', "
            "'/m/Rock''n''Roll/a.mp3','0','-1','True');");

  info = SongInfo();
  info.Title = std::string("cut\0'); DROP TABLE music_shelf; --", 35);
  info.Artist = "\xC3\xA9\xE9\xED\xA0\x80\xF0\x9F\x8E\xB5\xC0\xAF";  // é, bad, surrogate, 🎵, overlong
  const std::string sql = buildInsertStatement(info, "/m/x.mp3");
  EXPECT_NE(sql.find("VALUES ('cut','\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                     "\xF0\x9F\x8E\xB5\xEF\xBF\xBD\xEF\xBF\xBD', "),
            std::string::npos)
      << sql;
}

// The whole road on a real catalogue: TagLib reads written files, the engine stores the rows.
TEST(ImportRoundTripTest, TagsAndPathsArriveUnchanged) {
  fixture::TempDir dir;
  const fs::path catalogue = dir.path() / "music_1.mdb";
  const std::string command = std::string("'") + QUOLLSONG_MKDB + "' '" + catalogue.string() +
                              "' > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::shared_ptr<engine::Database> db =
      engine::DBEngine::instance().Workspaces(0).OpenDatabase(catalogue.string());

  const fs::path music = dir.path() / "Rock'n'Roll";
  fs::create_directories(music / "sub");
  fixture::writeMp3(music / "a.mp3",
                    fixture::id3v2Tag(3, {{"TIT2", {"Don't Stop"}},
                                          {"TPE1", {"Guns N' Roses"}},
                                          {"TCON", {"Rock 'n' Roll"}},
                                          {"TRCK", {"03/12"}}}),
                    {.frames = 120, .header = fixture::Header::Xing});
  fixture::writeFile(music / "sub/broken.mp3", "not audio");

  class Host : public ImportHost {
   public:
    explicit Host(engine::Database& db) : m_db(db) {}
    void runStatement(const std::string& sql) override { m_db.Execute(sql, 64); }
    void yield() override {}
    bool stopRequested() const override { return false; }
    void readMp3Info(const std::string& path, SongInfo& info) override {
      ReadMp3Info(path, info, m_component, createTagLibMp3Info);
    }

   private:
    engine::Database& m_db;
    std::unique_ptr<Mp3Info> m_component;
  } host(*db);
  ScanFolder(music.string(), host);

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
}

}  // namespace
}  // namespace importer
