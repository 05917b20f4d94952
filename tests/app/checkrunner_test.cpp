// Check Files' runner without a window: a catalogue in a temporary folder, files the tests make,
// and a per-file check the tests inject, so that what it finds is the test's to say. The tests
// act from within the check's yields, where a window's clicks would come.
#include <QFile>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "app/checkrunner.h"
#include "app/importrunner.h"
#include "catalog/statements.h"
#include "engine/engine.h"
#include "engine/recordset.h"
#include "importfakes.h"
#include "support/gate.h"
#include "support/lockholder.h"
#include "support/smalldisk.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

// Low memory on one thread: while set, every allocation there fails as it would then.
namespace {
thread_local bool t_outOfMemory = false;
}  // namespace

void* operator new(std::size_t size) {
  if (t_outOfMemory) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

using importer::HealthFinding;
using Rows = std::vector<std::vector<std::string>>;
using Details = std::map<std::int64_t, std::string>;  // a detail for each row ID

class TestCheckRunner : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void findingsAreKeptAndReplacedFilePerFile();
  void cancelKeepsWhatWasCheckedAndStopsTheWorkers();
  void aCheckThatFailsOrThrowsKeepsWhatWasKept();
  void lowMemoryInAWorkerCostsOnlyItsFiles();
  void cancelGivesUpABatchThatWaitsForAnotherProgram();
  void cancelIsHeardWhileAlbumsAreRead();
  void albumGaps_data();
  void albumGaps();
  void albumGapsAreToldFromTheWholeCatalogue();
  void rescanDropsTheFindingsOfAFileItReadsAgain();
  void deletedSongsTakeTheirFindingsWithThem();
  void catalogueWithoutTheTableGainsIt_data();
  void catalogueWithoutTheTableGainsIt();
  void readOnlyCatalogueIsRefusedBeforeAnyRead();

 private:
  void openCatalogue() { m_db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(m_path); }
  void makeRunner();
  // A file in the music folder, and a row naming it.
  std::string addSong(const std::string& name, const std::string& album = "Disc",
                      const std::string& track = "1");
  std::string music() const { return m_dir->path("Music"); }
  // ID, file name and Problem of every kept finding.
  Rows findings() {
    return testcatalogue::rows(
        m_path, "SELECT f.ID, substr(f.Filename, " + std::to_string(music().size() + 2) +
                    "), f.Problem FROM shelf_findings AS f ORDER BY f.ID, f.rowid");
  }
  void checkAll() {
    const auto view = m_db->OpenRecordset(catalog::allRowsSql(), engine::dbOpenDynaset);
    m_runner->checkView(*view, {});
  }
  static std::string baseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
  }

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  std::shared_ptr<engine::Database> m_db;
  std::unique_ptr<CheckRunner> m_runner;
  QStringList m_log;
  // What the injected check finds in each file, by its name; it notes every file it is asked for.
  std::map<std::string, std::vector<HealthFinding>> m_answers;
  std::mutex m_askedMutex;
  std::vector<std::string> m_asked;
  std::function<void()> m_duringCheck;  // run from every yield of the check
};

void TestCheckRunner::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = m_dir->path("music_1.mdb");
  std::filesystem::create_directories(music());
  importfakes::makeCatalogue(m_path);
  m_log.clear();
  m_answers.clear();
  m_asked.clear();
  m_duringCheck = nullptr;
  openCatalogue();
  makeRunner();
}

void TestCheckRunner::cleanup() {
  m_runner.reset();
  m_db.reset();
  m_dir.reset();
}

void TestCheckRunner::makeRunner() {
  m_runner = std::make_unique<CheckRunner>([this] { return m_db; });
  m_runner->setYield([this] {
    if (m_duringCheck) m_duringCheck();
  });
  m_runner->setChecker([this](const std::string& path, const importer::HealthOptions&,
                              const std::atomic<bool>&) {
    {
      std::lock_guard lock(m_askedMutex);
      m_asked.push_back(baseName(path));
    }
    const auto found = m_answers.find(baseName(path));
    return found == m_answers.end() ? std::vector<HealthFinding>() : found->second;
  });
  connect(m_runner.get(), &CheckRunner::checkSummary, this,
          [this](const QString& text) { m_log << text; });
  connect(m_runner.get(), &CheckRunner::failed, this, [this](int number, const QString& text) {
    m_log << QStringLiteral("error %1: %2").arg(number).arg(text);
  });
  connect(m_runner.get(), &CheckRunner::notice, this,
          [this](const QString& text) { m_log << QStringLiteral("notice: ") + text; });
}

std::string TestCheckRunner::addSong(const std::string& name, const std::string& album,
                                     const std::string& track) {
  const std::string file = music() + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream(file) << "mp3";
  testcatalogue::run(m_path, "INSERT INTO music_shelf (Title, Album, Track, Filename) VALUES ('" +
                                 name + "', '" + album + "', '" + track + "', '" + file + "')");
  return file;
}

void TestCheckRunner::findingsAreKeptAndReplacedFilePerFile() {
  addSong("a.mp3");
  addSong("b.mp3");
  addSong("other/c.mp3");
  m_answers["a.mp3"] = {{"Cut short", "ends at 1:02"}, {"Low bit rate", "CBR 96 kbit/s"}};
  m_answers["b.mp3"] = {{"Damaged audio", "3 frames lose sync"}};
  m_answers["c.mp3"] = {{"No audio", ""}};
  checkAll();
  QCOMPARE(findings(), (Rows{{"1", "a.mp3", "Cut short"},
                             {"1", "a.mp3", "Low bit rate"},
                             {"2", "b.mp3", "Damaged audio"},
                             {"3", "other/c.mp3", "No audio"}}));
  QCOMPARE(m_log, QStringList{"Checked 3 files: 4 problems in 3 files"});
  QCOMPARE(m_runner->progress().checked, 3);

  // a is sound now, b has another problem; c lies outside the folder checked and keeps its own.
  m_answers.erase("a.mp3");
  m_answers["b.mp3"] = {{"Tags disagree", "Title"}};
  m_log.clear();
  m_runner->checkFolder(music() + "//", {});
  QCOMPARE(findings(),
           (Rows{{"2", "b.mp3", "Tags disagree"}, {"3", "other/c.mp3", "No audio"}}));
  QCOMPARE(m_log, QStringList{"Checked 3 files: 2 problems in 2 files"});

  // Only the rows below the folder are read, whose Filename starts with it (not a sibling
  // folder whose name only begins the same).
  addSong("../Music2/d.mp3");
  m_asked.clear();
  m_runner->checkFolder(music() + "/other", {});
  QCOMPARE(m_asked, std::vector<std::string>{"c.mp3"});
}

void TestCheckRunner::cancelKeepsWhatWasCheckedAndStopsTheWorkers() {
  addSong("a.mp3");
  addSong("b.mp3");
  addSong("c.mp3");
  m_answers["a.mp3"] = {{"Cut short", ""}};
  m_answers["b.mp3"] = {{"Cut short", ""}};
  m_answers["c.mp3"] = {{"Cut short", ""}};
  testsupport::Gate inB;
  testsupport::Gate letBGo;
  std::atomic<bool> stopSeenInB = false;
  m_runner->setThreads(1);
  m_runner->setChecker([&](const std::string& path, const importer::HealthOptions&,
                           const std::atomic<bool>& stop) {
    {
      std::lock_guard lock(m_askedMutex);
      m_asked.push_back(baseName(path));
    }
    if (baseName(path) == "b.mp3") {
      inB.open();
      letBGo.wait();
      stopSeenInB = stop.load();
    }
    return m_answers[baseName(path)];
  });
  bool cancelled = false;
  m_duringCheck = [&] {
    if (!inB.isOpen()) return;
    if (!cancelled) {
      cancelled = true;
      m_runner->cancel();
      return;
    }
    letBGo.open();  // once the stop is out: b's check ends after it
  };
  checkAll();
  QVERIFY(!m_runner->isRunning());
  QVERIFY(stopSeenInB);
  QCOMPARE(m_asked, (std::vector<std::string>{"a.mp3", "b.mp3"}));  // c was never begun
  QCOMPARE(findings(), (Rows{{"1", "a.mp3", "Cut short"}}));
  QCOMPARE(m_log, QStringList{"Check stopped: checked 1 of 3 files: 1 problem in 1 file"});
}

void TestCheckRunner::aCheckThatFailsOrThrowsKeepsWhatWasKept() {
  addSong("a.mp3");
  addSong("b.mp3");
  m_answers["a.mp3"] = {{"Cut short", ""}};
  m_answers["b.mp3"] = {{"No audio", ""}};
  checkAll();
  // A check that throws for one file tells nothing of it: its findings stay, the others go on.
  m_runner->setChecker([](const std::string& path, const importer::HealthOptions&,
                          const std::atomic<bool>&) -> std::vector<HealthFinding> {
    if (baseName(path) == "a.mp3") throw std::runtime_error("hostile");
    return {};
  });
  m_log.clear();
  checkAll();
  QCOMPARE(findings(), (Rows{{"1", "a.mp3", "Cut short"}}));
  // Nobody stopped it: the summary says what could not be checked instead.
  QCOMPARE(m_log,
           QStringList{"Checked 1 file, no problems found, 1 file could not be checked"});

  // A view without the catalogue's ID cannot tell its files: nothing is read.
  m_asked.clear();
  m_log.clear();
  const auto view = m_db->OpenRecordset("SELECT Title, Filename FROM music_shelf");
  QVERIFY(!m_runner->checkView(*view, {}));
  QCOMPARE(m_log.size(), 1);
  QVERIFY2(m_log[0].contains("no ID column"), qPrintable(m_log[0]));
  QVERIFY(m_asked.empty());
}

void TestCheckRunner::lowMemoryInAWorkerCostsOnlyItsFiles() {
  // The worker runs out of memory just after each check, so that handing the result over fails
  // once the queue needs more room: its files count as not checked, and the program goes on.
  constexpr int kFiles = 20;
  for (int i = 0; i < kFiles; ++i) addSong("f" + std::to_string(i) + ".mp3");
  const std::string last = "f" + std::to_string(kFiles - 1) + ".mp3";
  testsupport::Gate inFirst, go, inLast;
  m_runner->setThreads(1);
  m_runner->setChecker([&](const std::string& path, const importer::HealthOptions&,
                           const std::atomic<bool>&) {
    t_outOfMemory = false;
    const std::string name = baseName(path);
    if (name == "f0.mp3") {
      inFirst.open();
      go.wait();
    }
    if (name == last) {
      inLast.open();
      return std::vector<HealthFinding>();  // the thread ends with memory to spare
    }
    std::vector<HealthFinding> found{{"Cut short", ""}};
    t_outOfMemory = true;
    return found;
  });
  // Nothing is taken from the queue until every result but the last was handed over.
  m_duringCheck = [&] {
    if (!inFirst.isOpen() || go.isOpen()) return;
    go.open();
    QVERIFY(inLast.wait());
  };
  checkAll();
  const CheckRunner::Progress progress = m_runner->progress();
  QVERIFY(progress.failed > 0);
  QCOMPARE(progress.checked + progress.failed, kFiles);
  QCOMPARE(m_log.size(), 1);
  QVERIFY2(m_log[0].startsWith("Checked ") && m_log[0].endsWith(" could not be checked"),
           qPrintable(m_log[0]));
}

void TestCheckRunner::cancelGivesUpABatchThatWaitsForAnotherProgram() {
  // A whole batch and one file more: the batch is written while the last file's check waits.
  constexpr int kFiles = 257;
  testcatalogue::run(m_path, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < " + std::to_string(kFiles) + ") INSERT INTO music_shelf "
                             "(Title, Filename) SELECT i, '" + music() + "/' || i || '.mp3' FROM n");
  m_db.reset();
  testsupport::LockHolder other(m_path, true);
  openCatalogue();
  other.take();
  testsupport::Gate inLast, letLastGo;
  m_runner->setThreads(1);
  m_runner->setChecker([&](const std::string& path, const importer::HealthOptions&,
                           const std::atomic<bool>&) {
    if (baseName(path) == std::to_string(kFiles) + ".mp3") {
      inLast.open();
      letLastGo.wait();
    }
    return std::vector<HealthFinding>{{"Cut short", ""}};
  });
  // Once the batch is complete, Cancel; at the next yield, at the latest inside the write's
  // wait, the other program lets go: a write still waiting then would go through.
  int yieldsAfterBatch = 0;
  m_duringCheck = [&] {
    if (!inLast.isOpen()) return;
    if (++yieldsAfterBatch == 1) {
      m_runner->cancel();
    } else if (yieldsAfterBatch == 2) {
      other.letGo();
      letLastGo.open();
    }
  };
  checkAll();
  letLastGo.open();
  if (yieldsAfterBatch < 2) other.letGo();
  QCOMPARE(other.wait(), 0);
  QVERIFY(!m_runner->isRunning());
  QCOMPARE(findings(), Rows{});
  QCOMPARE(m_log, QStringList{"Check stopped: checked 0 of 257 files, no problems found"});
}

void TestCheckRunner::cancelIsHeardWhileAlbumsAreRead() {
  for (int i = 0; i < 10; ++i) addSong(std::to_string(i) + ".mp3", "Album " + std::to_string(i));
  m_duringCheck = [&] { m_runner->cancel(); };
  checkAll();
  QVERIFY(m_asked.empty());
  QCOMPARE(m_log, QStringList{"Check stopped: checked 0 of 10 files, no problems found"});
}

void TestCheckRunner::albumGaps_data() {
  QTest::addColumn<std::vector<CheckRow>>("rows");
  QTest::addColumn<Details>("details");
  using R = std::vector<CheckRow>;
  using D = std::map<std::int64_t, std::string>;
  QTest::newRow("1, 2, 4") << R{{1, "/m/a/1.mp3", "X", "1"}, {2, "/m/a/2.mp3", "X", "2"},
                                {3, "/m/a/4.mp3", "X", "4"}}
                           << D{{1, "track 3 missing of 1-4"},
                                {2, "track 3 missing of 1-4"},
                                {3, "track 3 missing of 1-4"}};
  QTest::newRow("whole album") << R{{1, "/m/a/1.mp3", "X", "2"}, {2, "/m/a/2.mp3", "X", "1"}}
                               << D{};
  QTest::newRow("runs") << R{{1, "/m/a/1.mp3", "X", "2"}, {2, "/m/a/2.mp3", "X", "5"},
                             {3, "/m/a/3.mp3", "X", "9"}}
                        << D{{1, "tracks 1, 3-4, 6-8 missing of 1-9"},
                             {2, "tracks 1, 3-4, 6-8 missing of 1-9"},
                             {3, "tracks 1, 3-4, 6-8 missing of 1-9"}};
  // One album name in two folders is two albums, each whole here.
  QTest::newRow("two folders") << R{{1, "/m/a/1.mp3", "X", "1"}, {2, "/m/b/2.mp3", "X", "1"},
                                    {3, "//m/a//2.mp3", "X", "2"}}
                               << D{};
  QTest::newRow("two albums in a folder")
      << R{{1, "/m/a/1.mp3", "X", "1"}, {2, "/m/a/2.mp3", "Y", "2"}} << D{{2, "track 1 missing of 1-2"}};
  // Tracks that are no whole number above 0 count for nothing, nor do songs without an album.
  QTest::newRow("not numbers") << R{{1, "/m/a/1.mp3", "X", "1"}, {2, "/m/a/2.mp3", "X", "3/12"},
                                    {3, "/m/a/3.mp3", "X", "B2"}, {4, "/m/a/4.mp3", "X", std::nullopt},
                                    {5, "/m/a/5.mp3", "X", "0"}, {6, "/m/a/6.mp3", "", "4"},
                                    {7, "/m/a/7.mp3", std::nullopt, "4"}}
                               << D{};
  QTest::newRow("a year for a track")
      << R{{1, "/m/a/1.mp3", "X", "1"}, {2, "/m/a/2.mp3", "X", "1999"}}
      << D{{1, "tracks 2-1998 missing of 1-1999"}, {2, "tracks 2-1998 missing of 1-1999"}};
  // The Album column compares without regard to case: one album, whole.
  QTest::newRow("case") << R{{1, "/m/a/1.mp3", "Blue", "1"}, {2, "/m/a/2.mp3", "BLUE", "2"},
                             {3, "/m/a/3.mp3", "blue", "3"}}
                        << D{};
  // A set of discs numbers each disc's tracks after its own number.
  QTest::newRow("discs, whole") << R{{1, "/m/a/1.mp3", "X", "101"}, {2, "/m/a/2.mp3", "X", "102"},
                                     {3, "/m/a/3.mp3", "X", "201"}}
                                << D{};
  QTest::newRow("discs, gaps")
      << R{{1, "/m/a/1.mp3", "X", "101"}, {2, "/m/a/2.mp3", "X", "103"},
           {3, "/m/a/3.mp3", "x", "202"}}
      << D{{1, "tracks 102, 201 missing of 101-103, 201-202"},
           {2, "tracks 102, 201 missing of 101-103, 201-202"},
           {3, "tracks 102, 201 missing of 101-103, 201-202"}};
  // A track 1 among them, or a round hundred, is no disc numbering.
  QTest::newRow("not discs") << R{{1, "/m/a/1.mp3", "X", "2"}, {2, "/m/a/2.mp3", "X", "101"}}
                             << D{{1, "tracks 1, 3-100 missing of 1-101"},
                                  {2, "tracks 1, 3-100 missing of 1-101"}};
}

void TestCheckRunner::albumGaps() {
  QFETCH(std::vector<CheckRow>, rows);
  QFETCH(Details, details);
  Details got;
  for (const auto& [id, finding] : missingTrackFindings(rows)) {
    QCOMPARE(finding.problem, std::string("Missing tracks"));
    got[id] = finding.detail;
  }
  QCOMPARE(got, details);
}

void TestCheckRunner::albumGapsAreToldFromTheWholeCatalogue() {
  addSong("a/1.mp3", "X", "1");
  addSong("a/2.mp3", "X", "2");
  addSong("a/4.mp3", "X", "4");
  addSong("b/3.mp3", "X", "3");  // the same album name in another folder
  m_answers["2.mp3"] = {{"Cut short", ""}};
  // A view of one song: its album's other rows count all the same, but only it gets a finding.
  const auto view = m_db->OpenRecordset("SELECT * FROM music_shelf WHERE ID = 2");
  QVERIFY(m_runner->checkView(*view, {}));
  QCOMPARE(findings(), (Rows{{"2", "a/2.mp3", "Cut short"}, {"2", "a/2.mp3", "Missing tracks"}}));
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT Detail FROM shelf_findings WHERE Problem = "
                                         "'Missing tracks'"),
           std::string("track 3 missing of 1-4"));
}

void TestCheckRunner::rescanDropsTheFindingsOfAFileItReadsAgain() {
  const QString folder = QFile::decodeName(music().c_str());
  importfakes::makeMusic(folder, 3);
  ImportRunner import(importfakes::namedSongs(), [this] { return m_db; });
  import.setYield([] {});
  import.addDirectory(music());
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"), std::string("3"));
  for (const char* name : {"song 00.mp3", "song 01.mp3", "song 02.mp3"})
    m_answers[name] = {{"Cut short", ""}};
  checkAll();
  QCOMPARE(findings().size(), std::size_t{3});

  // song 02 is changed and read again; the others are not read, and keep what was found.
  std::ofstream(music() + "/song 02.mp3", std::ios::app) << "longer now";
  import.rescanDirectory(music());
  QCOMPARE(findings(), (Rows{{"1", "song 00.mp3", "Cut short"}, {"3", "sub/song 01.mp3", "Cut short"}}));
}

void TestCheckRunner::deletedSongsTakeTheirFindingsWithThem() {
  addSong("a.mp3");
  addSong("b.mp3");
  m_answers["a.mp3"] = {{"Cut short", ""}};
  m_answers["b.mp3"] = {{"Cut short", ""}};
  checkAll();
  // Another program deletes a row; another changes a row's Filename, whose findings then tell
  // about a file the row no longer names and are left out of the view.
  testcatalogue::run(m_path, "DELETE FROM music_shelf WHERE ID = 1");
  QCOMPARE(findings(), (Rows{{"2", "b.mp3", "Cut short"}}));
  testcatalogue::run(m_path, "UPDATE music_shelf SET Filename = '/elsewhere.mp3' WHERE ID = 2");
  QCOMPARE(testcatalogue::rows(m_path, catalog::problemsSql()), Rows{});
}

void TestCheckRunner::catalogueWithoutTheTableGainsIt_data() {
  QTest::addColumn<std::string>("drop");
  QTest::newRow("before the companion table") << std::string("all");
  QTest::newRow("with shelf_files only") << std::string("findings");
  QTest::newRow("without the trigger") << std::string("trigger");
}

void TestCheckRunner::catalogueWithoutTheTableGainsIt() {
  QFETCH(std::string, drop);
  m_runner.reset();
  m_db.reset();
  if (drop == "all")
    importfakes::makeOlderCatalogue(m_path = m_dir->path("older.mdb"));
  else if (drop == "findings")
    testcatalogue::run(m_path, "DROP TRIGGER shelf_findings_deleted; DROP TABLE shelf_findings");
  else
    testcatalogue::run(m_path, "DROP TRIGGER shelf_findings_deleted");
  openCatalogue();
  makeRunner();
  addSong("a.mp3");
  m_answers["a.mp3"] = {{"Cut short", ""}};
  checkAll();
  QCOMPARE(findings(), (Rows{{"1", "a.mp3", "Cut short"}}));
  // Only a new table is news: a trigger made again is not.
  if (drop == "trigger")
    QCOMPARE(m_log, QStringList{"Checked 1 file: 1 problem in 1 file"});
  else
    QCOMPARE(m_log.first(), QStringLiteral("notice: ") + CheckRunner::kFindingsNotice);
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT count(*) FROM sqlite_schema WHERE name IN "
                                         "('shelf_files', 'shelf_findings_deleted')"),
           std::string("2"));
  m_log.clear();
  checkAll();
  QCOMPARE(m_log, QStringList{"Checked 1 file: 1 problem in 1 file"});  // said once
  // The trigger works: a deleted row leaves no findings behind.
  testcatalogue::run(m_path, "DELETE FROM music_shelf WHERE ID = 1");
  QCOMPARE(findings(), Rows{});
}

void TestCheckRunner::readOnlyCatalogueIsRefusedBeforeAnyRead() {
  m_runner.reset();
  m_db.reset();
  testsupport::SmallDisk disk(m_dir->path() / "disc", 1 << 20);
  if (!disk.mounted()) QSKIP(disk.whyNot().c_str());
  addSong("a.mp3");
  const std::string onDisk = disk.path("music_1.mdb");
  std::filesystem::copy_file(m_path, onDisk);
  m_path = onDisk;
  QVERIFY(disk.makeReadOnly());
  openCatalogue();
  makeRunner();
  checkAll();
  QVERIFY(m_asked.empty());
  QCOMPARE(m_log.size(), 1);
  QVERIFY2(m_log[0].startsWith(QStringLiteral("error %1: The catalogue is read-only").arg(SQLITE_READONLY)),
           qPrintable(m_log[0]));
  m_runner.reset();
  m_db.reset();
}

QTEST_MAIN(TestCheckRunner)
#include "checkrunner_test.moc"
