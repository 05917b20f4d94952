// quollsong-mkdb run as a program, in an empty folder of its own: its options, its usage
// errors, and the catalogue it makes.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/searchfold.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class MkdbTest : public ::testing::Test {
 protected:
  // Runs quollsong-mkdb with `args` in the folder `work`; its output goes to files beside that.
  Outcome mkdb(const std::vector<std::string>& args) {
    const std::filesystem::path out = dir.path() / "stdout";
    const std::filesystem::path err = dir.path() / "stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::vector<char*> argv{const_cast<char*>(QUOLLSONG_MKDB)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (outFd < 0 || errFd < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0 ||
          ::chdir(work.c_str()) != 0)
        ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    Outcome run;
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
  }

  // What the runs left in their folder.
  std::vector<std::string> made() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(work))
      names.push_back(entry.path().filename().string());
    return names;
  }

  void SetUp() override { std::filesystem::create_directory(work); }

  testsupport::TempDir dir;
  const std::filesystem::path work = dir.path() / "work";
};

const std::vector<std::string> kNothing;

TEST_F(MkdbTest, HelpPrintsTheUsageWhereverItStandsAndMakesNothing) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"--help", "a.mdb"}, {"a.mdb", "--help"}, {"--version", "--help"}}) {
    SCOPED_TRACE(args.back());
    const Outcome run = mkdb(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("usage: quollsong-mkdb PATH\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("--version"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(made(), kNothing);
}

TEST_F(MkdbTest, VersionIsTheProjectVersion) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--version"}, {"a.mdb", "--version"}}) {
    const Outcome run = mkdb(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "quollsong-mkdb " QUOLLSONG_PROJECT_VERSION "\n");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(made(), kNothing);
}

// A mistyped option must never become a catalogue named after it, nor let the run go on to
// make the PATH beside it.
TEST_F(MkdbTest, AnyOtherDashArgumentIsRefusedWithTheUsageAndMakesNothing) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-"},
           {"--"},
           {"-h"},
           {"-help"},
           {"--HELP"},
           {"--help=yes"},
           {"--versio"},
           {"--force"},
           {"-new.mdb"},
           {"a.mdb", "--force"},
           {"--force", "a.mdb"},
           {"--help", "--bogus"}}) {
    const std::string& bad = args.back() == "a.mdb" ? args.front() : args.back();
    SCOPED_TRACE(bad);
    const Outcome run = mkdb(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("'" + bad + "'"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("usage: quollsong-mkdb PATH\n"), std::string::npos) << run.err;
  }
  EXPECT_EQ(made(), kNothing);
}

TEST_F(MkdbTest, WantsExactlyOnePath) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"a.mdb", "b.mdb"}}) {
    const Outcome run = mkdb(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("usage: quollsong-mkdb PATH\n"), std::string::npos) << run.err;
  }
  EXPECT_EQ(made(), kNothing);
}

TEST_F(MkdbTest, MakesAnEmptyCatalogueAlsoForANameStartingWithADashBehindAFolder) {
  for (const std::string name : {"music_1.mdb", "-new.mdb"}) {
    const Outcome run = mkdb({"./" + name});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "./" + name + ": new empty catalogue\n");
    const std::string path = (work / name).string();
    EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM music_shelf"), "0");
    EXPECT_EQ(testcatalogue::scalar(path, "PRAGMA journal_mode"), "wal");
  }
}

TEST_F(MkdbTest, NeverOverwritesAnExistingFile) {
  testsupport::writeFile(work / "music_1.mdb", "my own data");
  const Outcome run = mkdb({"music_1.mdb"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("already exists"), std::string::npos) << run.err;
  EXPECT_EQ(slurp(work / "music_1.mdb"), "my own data");
}

}  // namespace

// The filter's index comes with a fresh catalogue, and rows that other programs change reach its
// queue through SQLite's own statements alone; new rows stand above its watermark instead.
TEST_F(MkdbTest, MakesTheFilterIndexWhoseQueueOtherProgramsFill) {
  const Outcome run = mkdb({"./music_1.mdb"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string path = (work / "music_1.mdb").string();
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT count(*) FROM sqlite_schema WHERE name IN "
                                        "('shelf_search', 'shelf_search_queue', "
                                        "'shelf_search_state', 'shelf_search_added', "
                                        "'shelf_search_changed', 'shelf_search_deleted', "
                                        "'shelf_search_renamed')"),
            "7");
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT group_concat(Upto) FROM shelf_search_state"), "0");
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT group_concat(Fold) FROM shelf_search_state"),
            std::to_string(engine::kSearchFoldVersion));
  testcatalogue::run(path,
                     "INSERT INTO music_shelf (Title) VALUES ('a'); UPDATE music_shelf SET "
                     "Title = 'b'; UPDATE music_shelf SET Bitrate = 1; UPDATE music_shelf SET "
                     "rowid = 4; DELETE FROM music_shelf");
  EXPECT_EQ(testcatalogue::scalar(path, "SELECT group_concat(ID) FROM shelf_search_queue"),
            "1,4,1,4");
}
