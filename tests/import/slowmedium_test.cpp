// The import and the rescan on a medium whose requests the test holds: many listings and opens
// in flight at once must still give rows in walk order, each file opened once, and a stop must
// leave no request thread behind. Nothing here is timed: a test shows that requests overlap by
// holding them until enough wait at once.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "import/folderimport.h"
#include "import/folderrescan.h"
#include "import/medium.h"
#include "importfixture.h"
#include "mp3fixture.h"
#include "support/descriptorlimit.h"
#include "support/gate.h"
#include "support/quorum.h"

namespace importer {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using namespace std::chrono_literals;

// Long enough for any machine to bring a few threads to a wait; a test that gets no further
// fails rather than hang.
constexpr auto kLimit = std::chrono::milliseconds(60s);
// Every request counts as a slow medium's, so requests are made ahead on many threads.
constexpr auto kAlwaysSlow = std::chrono::microseconds(0);
// No request does: the readers open their own files.
constexpr auto kNeverSlow = std::chrono::microseconds(std::chrono::hours(1));

// The system, with the test watching: which folders were opened and listed, which entries
// looked up and which files opened, each by its path below the music folder ("." for that one).
// The hooks run on the request's thread before it is answered, and may hold it.
class WatchedMedium final : public Medium {
 public:
  explicit WatchedMedium(std::string root) : m_root(std::move(root)) {}

  std::function<void(const std::string& folder)> beforeListingAnswers;
  // The errno the open of a file fails with, 0 to open it.
  std::function<int(const std::string& file)> beforeOpen;
  std::set<std::string> pipes;  // files whose status, once open, says they are pipes

  int openFolder(int parentFd, const char* name) override {
    begin();
    const std::string path = pathOf(parentFd, name);
    const int fd = Medium::openFolder(parentFd, name);
    const int error = errno;
    {
      std::lock_guard lock(m_mutex);
      if (fd >= 0) m_folders[fd] = path;
      if (fd < 0 && (error == EMFILE || error == ENFILE)) ++m_outOfDescriptors;
    }
    errno = error;
    return fd;
  }

  bool listFolder(int folderFd, std::vector<FolderEntry>& entries) override {
    begin();
    const bool listed = Medium::listFolder(folderFd, entries);
    const int error = errno;
    std::string path;
    {
      std::lock_guard lock(m_mutex);
      path = m_folders[folderFd];
      m_listed.push_back(path);
      if (error == EMFILE || error == ENFILE) ++m_outOfDescriptors;
    }
    if (beforeListingAnswers) beforeListingAnswers(path);
    errno = error;
    return listed;
  }

  int statAt(int folderFd, const char* name, struct stat& status) override {
    begin();
    {
      std::lock_guard lock(m_mutex);
      m_lookedUp.insert(pathOf(folderFd, name, lock));
    }
    return Medium::statAt(folderFd, name, status);
  }

  int openFile(int folderFd, const char* name) override {
    begin();
    const std::string path = pathOf(folderFd, name);
    {
      std::lock_guard lock(m_mutex);
      ++m_opens[path];
    }
    if (beforeOpen) {
      if (const int refusal = beforeOpen(path)) {
        errno = refusal;
        return -1;
      }
    }
    const int fd = Medium::openFile(folderFd, name);
    const int error = errno;
    {
      std::lock_guard lock(m_mutex);
      if (fd >= 0) m_files[fd] = path;
      if (fd < 0 && (error == EMFILE || error == ENFILE)) ++m_outOfDescriptors;
    }
    errno = error;
    return fd;
  }

  int statOpen(int fd, struct stat& status) override {
    begin();
    const int result = Medium::statOpen(fd, status);
    if (result == 0 && S_ISREG(status.st_mode)) {
      std::lock_guard lock(m_mutex);
      const auto file = m_files.find(fd);
      if (file != m_files.end() && pipes.contains(file->second))
        status.st_mode = (status.st_mode & ~S_IFMT) | S_IFIFO;
    }
    return result;
  }

  // From here on no request may begin: the import has returned.
  void end() { m_ended = true; }
  int requestsAfterEnd() const { return m_afterEnd; }
  int outOfDescriptors() const { return m_outOfDescriptors; }

  std::map<std::string, int> opens() const {
    std::lock_guard lock(m_mutex);
    return m_opens;
  }
  Names listed() const {
    std::lock_guard lock(m_mutex);
    return m_listed;
  }
  std::set<std::string> lookedUp() const {
    std::lock_guard lock(m_mutex);
    return m_lookedUp;
  }

 private:
  void begin() {
    if (m_ended) ++m_afterEnd;
  }

  std::string pathOf(int folderFd, const char* name) {
    std::lock_guard lock(m_mutex);
    return pathOf(folderFd, name, lock);
  }
  std::string pathOf(int folderFd, const char* name, const std::lock_guard<std::mutex>&) {
    if (folderFd == AT_FDCWD) return name == m_root ? "." : name;
    const std::string& folder = m_folders[folderFd];
    return folder == "." ? name : folder + "/" + name;
  }

  const std::string m_root;
  mutable std::mutex m_mutex;
  // Descriptor numbers are used again: each names what was opened under it last.
  std::map<int, std::string> m_folders;
  std::map<int, std::string> m_files;
  std::map<std::string, int> m_opens;
  Names m_listed;
  std::set<std::string> m_lookedUp;
  std::atomic<bool> m_ended{false};
  std::atomic<int> m_afterEnd{0};
  std::atomic<int> m_outOfDescriptors{0};
};

// How a reader came to read a file.
enum class Handed { TheOpenFile, AnotherFile, NoFile };

// Reads every file as a song titled after its name, and notes whether it was handed the file
// open (and the file itself, not another one opened under a reused descriptor).
class WatchingSongs final : public Mp3Info {
 public:
  struct Seen {
    std::mutex mutex;
    std::map<std::string, Handed> files;  // by full path
  };
  explicit WatchingSongs(Seen& seen) : m_seen(seen) {}

  bool readAt(int folderFd, const std::string& name, const std::string& path,
              OpenFile open) override {
    Handed handed = Handed::NoFile;
    if (open.fd >= 0) {
      struct stat opened {};
      struct stat named {};
      const bool same = ::fstat(open.fd, &opened) == 0 &&
                        ::fstatat(folderFd, name.c_str(), &named, 0) == 0 &&
                        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
      handed = same ? Handed::TheOpenFile : Handed::AnotherFile;
    }
    {
      std::lock_guard lock(m_seen.mutex);
      m_seen.files[path] = handed;
    }
    return read(path);
  }
  bool read(const std::string& path) override {
    m_title = path.substr(path.rfind('/') + 1);
    return true;
  }
  std::string title() override { return m_title; }
  std::string artist() override { return "Band"; }
  std::string album() override { return "Disc"; }
  std::string track() override { return "1"; }
  std::string genre() override { return "Rock"; }
  int bitrate() override { return 128; }
  int duration() override { return 61; }
  bool vbr() override { return false; }

 private:
  Seen& m_seen;
  std::string m_title;
};

// Holds the first `count` callers until all of them wait at once, then lets them go last come
// first; later callers pass.
class LastFirst {
 public:
  explicit LastFirst(int count) : m_count(count), m_next(count - 1) {}

  bool hold() {
    std::unique_lock lock(m_mutex);
    if (m_arrived >= m_count) return !m_gaveUp;
    const int mine = m_arrived++;
    m_changed.notify_all();
    if (!m_changed.wait_for(lock, kLimit,
                            [&] { return m_gaveUp || (m_arrived == m_count && m_next == mine); }))
      m_gaveUp = true;
    if (m_next == mine) --m_next;
    m_changed.notify_all();
    return !m_gaveUp;
  }

  bool allReleased() const {
    std::lock_guard lock(m_mutex);
    return !m_gaveUp && m_next < 0;
  }

 private:
  const int m_count;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_arrived = 0;
  int m_next;
  bool m_gaveUp = false;
};

class SlowMediumTest : public fixture::ImportTest {
 protected:
  void SetUp() override {
    fixture::ImportTest::SetUp();
    medium = std::make_unique<WatchedMedium>(root().string());
  }

  FolderImport& makeImport(std::chrono::microseconds slowRequest, unsigned readers = 2) {
    FolderImport::Options options;
    options.readers = readers;
    options.slowRequest = slowRequest;
    options.medium = medium.get();
    // "this->": a line starting with `import` is a module import to clang-format, which then
    // mangles the rest of the class.
    this->import = std::make_unique<FolderImport>(
        [this] { return std::make_unique<WatchingSongs>(seen); }, options);
    return *this->import;
  }

  // Runs the import; no request may come after.
  ImportEnd importAll() {
    const ImportEnd end = run(root().string());
    medium->end();
    return end;
  }

  // A file at `relative` for each name, in the order given.
  void touchAll(const Names& relative) {
    for (const std::string& name : relative) touch(name);
  }

  std::map<std::string, Handed> handed() {
    std::lock_guard lock(seen.mutex);
    std::map<std::string, Handed> relative;
    for (const auto& [path, how] : seen.files)
      relative[path.substr(root().string().size() + 1)] = how;
    return relative;
  }

  std::unique_ptr<WatchedMedium> medium;
  WatchingSongs::Seen seen;
};

std::string numbered(const std::string& stem, int i) {
  return stem + (i < 10 ? "0" : "") + std::to_string(i) + ".mp3";
}

// 40 files in walk order: four of the music folder's own, then three folders of eight files,
// each with a folder of four below.
Names fortyFilesInWalkOrder() {
  Names files;
  for (int i = 0; i < 4; ++i) files.push_back(numbered("r", i));
  for (const std::string folder : {"A", "B", "C"}) {
    for (int i = 0; i < 8; ++i) files.push_back(folder + "/" + numbered("f", i));
    for (int i = 0; i < 4; ++i) files.push_back(folder + "/X/" + numbered("x", i));
  }
  return files;
}

// Many opens in flight: the rows still follow the walk, each file was opened once and its
// reader read the file opened for it.
TEST_F(SlowMediumTest, ManyOpensInFlightAtOnceKeepTheWalkOrder) {
  const Names files = fortyFilesInWalkOrder();
  // Made out of order, so that the order of the rows is the walk's and not the disk's.
  for (auto file = files.rbegin(); file != files.rend(); ++file) touch(*file);
  testsupport::Quorum eightOpens(8);
  medium->beforeOpen = [&](const std::string&) {
    eightOpens.arriveAndWait(kLimit);
    return 0;
  };
  makeImport(kAlwaysSlow);
  EXPECT_EQ(importAll(), ImportEnd::Finished);
  EXPECT_TRUE(eightOpens.reached())
      << "at most " << eightOpens.mostWaiting() << " opens waited at once";
  EXPECT_EQ(stored(), files);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 40}));
  for (const std::string& file : files) {
    EXPECT_EQ(medium->opens()[file], 1) << file;
    EXPECT_EQ(handed()[file], Handed::TheOpenFile) << file;
  }
  EXPECT_EQ(medium->requestsAfterEnd(), 0);
}

// Listings in flight together, answered in the order they came or the reverse: the walk still
// takes the folders in its own order.
class SlowMediumListingsTest : public SlowMediumTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SlowMediumListingsTest, FoldersListedAtOnceAreWalkedInOrder) {
  const bool lastFirst = GetParam();
  Names files{"top.mp3"};
  for (int i = 0; i < 7; ++i) {
    const std::string folder = "s" + std::to_string(i);
    files.push_back(folder + "/a.mp3");
    files.push_back(folder + "/b.mp3");
    if (i % 2 == 0) files.push_back(folder + "/deeper/c.mp3");
  }
  touchAll(files);
  fs::create_directories(root() / "s3/empty");
  testsupport::Quorum fourListings(4);
  LastFirst answers(4);
  medium->beforeListingAnswers = [&](const std::string& folder) {
    // The music folder's own listing is the one that tells of the others.
    if (folder == ".") return;
    if (lastFirst)
      answers.hold();
    else
      fourListings.arriveAndWait(kLimit);
  };
  makeImport(kAlwaysSlow);
  EXPECT_EQ(importAll(), ImportEnd::Finished);
  if (lastFirst) {
    EXPECT_TRUE(answers.allReleased()) << "fewer than 4 listings waited at once";
  } else {
    EXPECT_TRUE(fourListings.reached())
        << "at most " << fourListings.mostWaiting() << " listings waited at once";
  }
  EXPECT_EQ(stored(), files);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = std::ssize(files)}));
  // Each folder is listed once.
  Names listed = medium->listed();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  EXPECT_EQ(listed.size(), 13u);
}

// The smallest case of the above: six folders known at once, and every request thread inside a
// listing that has not answered. A thread must be added for the next listing; one that is added
// only when a request arrives never comes, since the walk, waiting for the first folder, sends
// none.
TEST_F(SlowMediumTest, AThreadIsAddedWhileEveryOneWaitsOnAListing) {
  for (int i = 0; i < 6; ++i) fs::create_directories(root() / ("s" + std::to_string(i)));
  testsupport::Quorum threeListings(3);
  medium->beforeListingAnswers = [&](const std::string& folder) {
    if (folder != ".") threeListings.arriveAndWait(kLimit);
  };
  makeImport(kAlwaysSlow);
  EXPECT_EQ(importAll(), ImportEnd::Finished);
  EXPECT_TRUE(threeListings.reached())
      << "at most " << threeListings.mostWaiting() << " listings waited at once";
  EXPECT_EQ(medium->listed().size(), 7u);
}

INSTANTIATE_TEST_SUITE_P(AnsweredAsTheyCome, SlowMediumListingsTest, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(AnsweredLastFirst, SlowMediumListingsTest, ::testing::Values(true));

// A rescan of a catalogued tree that has not changed lists its folders many at once, looks its
// files up there, and opens none of them.
TEST_F(SlowMediumTest, ARescanListsAtOnceAndOpensNoUnchangedFile) {
  const Names files = fortyFilesInWalkOrder();
  touchAll(files);
  for (int i = 0; i < 4; ++i) touch("D" + std::to_string(i) + "/d.mp3");
  makeImport(kAlwaysSlow);
  ASSERT_EQ(run(root().string()), ImportEnd::Finished);
  ASSERT_EQ(rowCount(), 44);

  testsupport::Quorum fourListings(4);
  medium->beforeListingAnswers = [&](const std::string& folder) {
    if (folder != ".") fourListings.arriveAndWait(kLimit);
  };
  const std::map<std::string, int> opensBefore = medium->opens();
  FolderRescan rescan(*import);
  EXPECT_EQ(rescan.run(
                root().string(), [this] { return db; }, [] {}),
            ImportEnd::Finished);
  medium->end();
  EXPECT_TRUE(fourListings.reached())
      << "at most " << fourListings.mostWaiting() << " listings waited at once";
  EXPECT_EQ(medium->opens(), opensBefore);
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsUnchanged = 44}));
  EXPECT_TRUE(rescan.vanished().empty());
  EXPECT_EQ(rowCount(), 44);
  EXPECT_EQ(medium->requestsAfterEnd(), 0);
}

// Whether the request threads open files ahead or each reader opens its own.
class SlowMediumOpeningTest : public SlowMediumTest,
                              public ::testing::WithParamInterface<std::chrono::microseconds> {};

// An import learns a plain MP3 file's kind from the listing and its size from the open: only a
// link, whose listing tells nothing of what it leads to, is looked up. No file is opened twice.
TEST_P(SlowMediumOpeningTest, PlainFilesAreOpenedOnceAndNeverLookedUp) {
  touchAll({"a.mp3", "b.mp3", "real/r.mp3"});
  touch("cover.jpg");
  fs::create_symlink(root() / "a.mp3", root() / "link.mp3");
  fs::create_directory_symlink(root() / "real", root() / "linked");
  makeImport(GetParam());
  EXPECT_EQ(importAll(), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"a.mp3", "b.mp3", "link.mp3", "linked/r.mp3"}));
  EXPECT_EQ(medium->lookedUp(), (std::set<std::string>{"link.mp3", "linked"}));
  EXPECT_EQ(medium->opens(),
            (std::map<std::string, int>{
                {"a.mp3", 1}, {"b.mp3", 1}, {"link.mp3", 1}, {"linked/r.mp3", 1}}));
  for (const auto& [file, how] : handed()) EXPECT_EQ(how, Handed::TheOpenFile) << file;
}

// A file gone between the listing and its open gets no row and counts as missing; one the
// medium refuses gets the row of a file its reader tries on its own, and its status is looked
// up for the row's stamp (so a rescan passes it over while it stays so); one that is a pipe by
// then gets no row and counts as special.
TEST_P(SlowMediumOpeningTest, FilesThatChangeAfterTheListing) {
  touchAll({"gone.mp3", "moved.mp3", "ok.mp3", "pipe.mp3", "refused.mp3", "sub/z.mp3"});
  medium->beforeOpen = [](const std::string& file) {
    if (file == "gone.mp3") return ENOENT;
    if (file == "moved.mp3") return ENOTDIR;  // its folder was replaced by a file
    if (file == "refused.mp3") return EACCES;
    return 0;
  };
  medium->pipes = {"pipe.mp3"};
  makeImport(GetParam());
  EXPECT_EQ(importAll(), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"ok.mp3", "refused.mp3", "sub/z.mp3"}));
  EXPECT_EQ(import->progress().counts,
            (ImportCounts{.songsAdded = 3, .specialFiles = 1, .entriesMissing = 2}));
  EXPECT_EQ(handed()["refused.mp3"], Handed::NoFile);
  EXPECT_EQ(handed()["ok.mp3"], Handed::TheOpenFile);
  for (const auto& [file, count] : medium->opens()) EXPECT_EQ(count, 1) << file;
  EXPECT_EQ(medium->lookedUp(), (std::set<std::string>{"refused.mp3"}));
}

INSTANTIATE_TEST_SUITE_P(AheadOnRequestThreads, SlowMediumOpeningTest,
                         ::testing::Values(kAlwaysSlow));
INSTANTIATE_TEST_SUITE_P(ByTheReaders, SlowMediumOpeningTest, ::testing::Values(kNeverSlow));

// Where the stop comes from: the window's turn, or a request thread of the medium.
enum class StopFrom { Window, Medium };

class SlowMediumStopTest : public SlowMediumTest, public ::testing::WithParamInterface<StopFrom> {};

// A stop while many opens are held: run() returns once every request is answered, no request
// begins after it, and the rows written before the stop stay.
TEST_P(SlowMediumStopTest, NoRequestOutlivesTheImport) {
  Names first;
  for (int i = 0; i < 5; ++i) first.push_back(numbered("a", i));
  touchAll(first);
  for (int i = 0; i < 12; ++i) touch("S" + std::to_string(i % 3) + "/" + numbered("s", i));
  // The files below the music folder's own are held until four wait at once, then until the
  // stop has been asked for.
  testsupport::Quorum fourHeld(4);
  testsupport::Gate stopped;
  const StopFrom from = GetParam();
  medium->beforeOpen = [&](const std::string& file) {
    if (file.find('/') == std::string::npos) return 0;
    if (fourHeld.arriveAndWait(kLimit) && from == StopFrom::Medium && !stopped.isOpen()) {
      import->requestStop();
      stopped.open();
    }
    EXPECT_TRUE(stopped.wait(kLimit));
    return 0;
  };
  onYield = [&] {
    if (from == StopFrom::Window && !stopped.isOpen() &&
        import->progress().counts.songsAdded == 5) {
      EXPECT_TRUE(fourHeld.waitReached(kLimit));
      import->requestStop();
      stopped.open();
    }
  };
  makeImport(kAlwaysSlow);
  EXPECT_EQ(importAll(), ImportEnd::Stopped);
  EXPECT_TRUE(fourHeld.reached()) << "at most " << fourHeld.mostWaiting()
                                  << " opens waited at once";
  EXPECT_EQ(medium->requestsAfterEnd(), 0);
  // The rows before the stop are the first files of the walk, and all counted.
  const Names rows = stored();
  ASSERT_LE(rows.size(), first.size());
  EXPECT_EQ(rows, Names(first.begin(), first.begin() + std::ssize(rows)));
  EXPECT_EQ(import->progress().counts.songsAdded, std::ssize(rows));
  if (from == StopFrom::Window) {
    EXPECT_EQ(rows, first);
  }
}

INSTANTIATE_TEST_SUITE_P(FromTheWindow, SlowMediumStopTest, ::testing::Values(StopFrom::Window));
INSTANTIATE_TEST_SUITE_P(FromTheMedium, SlowMediumStopTest, ::testing::Values(StopFrom::Medium));

// Listing ahead of the walk must not run round a link that leads back up, nor list a folder
// twice because two links lead to it: each folder is walked once and the walk ends.
TEST_F(SlowMediumTest, LinksBackUpAndTwoLinksToOneFolderEndTheWalk) {
  touchAll({"a/a.mp3", "a/deep/d.mp3", "b/b.mp3"});
  fs::create_directories(dir.path() / "elsewhere");
  fixture::writeFile(dir.path() / "elsewhere/e.mp3", "x");
  fs::create_directory_symlink(root(), root() / "a/deep/up");          // to the music folder
  fs::create_directory_symlink(root() / "a", root() / "a/deep/back");  // to its parent
  fs::create_directory_symlink(root() / "a/deep", root() / "a/deep/self");
  fs::create_directory_symlink(root() / "b", root() / "a/to-b");  // a sibling, walked later
  fs::create_directory_symlink(dir.path() / "elsewhere", root() / "ext1");
  fs::create_directory_symlink(dir.path() / "elsewhere", root() / "ext2");
  fs::create_directory_symlink(root(), dir.path() / "elsewhere/home");  // back from outside
  makeImport(kAlwaysSlow);
  EXPECT_EQ(importAll(), ImportEnd::Finished);
  EXPECT_EQ(stored(), (Names{"a/a.mp3", "a/deep/d.mp3", "a/to-b/b.mp3", "ext1/e.mp3"}));
  // A folder reached again by another link may be listed ahead before the walk sees that it
  // is one it walked; a link that leads up is never listed.
  Names listed = medium->listed();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  for (const std::string& folder : listed)
    EXPECT_TRUE(
        (std::set<std::string>{".", "a", "a/deep", "a/to-b", "b", "ext1", "ext2"}).contains(folder))
        << folder;
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = 4}));
}

// With files opened ahead, a modest descriptor limit still leaves room for every folder.
TEST_F(SlowMediumTest, EveryFolderIsWalkedUnderAModestDescriptorLimitWhileOpeningAhead) {
  constexpr int kFolders = 200;
  for (int i = 0; i < kFolders; ++i) touch("f" + std::to_string(1000 + i) + "/s.mp3");
  // Opens are held until eight wait at once, so that files open ahead and folders listed ahead
  // hold their descriptors together.
  testsupport::Quorum manyOpens(8);
  medium->beforeOpen = [&](const std::string&) {
    manyOpens.arriveAndWait(kLimit);
    return 0;
  };
  makeImport(kAlwaysSlow);
  {
    const testsupport::DescriptorLimit limit(128);
    EXPECT_EQ(importAll(), ImportEnd::Finished);
  }
  EXPECT_TRUE(manyOpens.reached())
      << "at most " << manyOpens.mostWaiting() << " opens waited at once";
  EXPECT_EQ(import->progress().counts, (ImportCounts{.songsAdded = kFolders}));
  EXPECT_EQ(rowCount(), kFolders);
  EXPECT_EQ(medium->outOfDescriptors(), 0);
}

}  // namespace
}  // namespace importer
