// The import runner without a window: a fake MP3 component, a catalogue and a music folder in a
// temporary folder. What the runner tells goes into one log, so that a test sees its order too.
// The tests act from within the walk's yields, where a window's clicks would come.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTest>

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/importrunner.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "importfakes.h"
#include "support/lockholder.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

using importfakes::hold;
using importfakes::letGo;

class TestImportRunner : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void importReportsWhatItDid();
  void rescanAsksBeforeItRemoves_data();
  void rescanAsksBeforeItRemoves();
  void foldersGoneAsAWholeAreAskedAboutApart_data();
  void foldersGoneAsAWholeAreAskedAboutApart();
  void whatComesBackBeforeTheRemovalIsKept_data();
  void whatComesBackBeforeTheRemovalIsKept();
  void anAnswerGivenAsTheWindowClosesIsCarriedOut_data();
  void anAnswerGivenAsTheWindowClosesIsCarriedOut();
  void cancelOrCloseStopsTheWalk_data();
  void cancelOrCloseStopsTheWalk();
  void oneWalkAtATime();
  void failuresAreSignalledAndTheRunnerCarriesOn();
  void olderCatalogueGainsTheCompanionTableOnce();
  void lockWaitsAreReportedByTheNewestRunner();

 private:
  void openCatalogue() { m_db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(m_path); }
  // A new runner on the catalogue, its signals written to the log.
  void makeRunner();
  int rowsStored() {
    return std::stoi(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"));
  }
  std::string music() const { return QFile::encodeName(m_music).toStdString(); }
  // "deleted.mp3" and "keep.mp3" in the music folder, and a song or two on each of three disks
  // mounted in it, imported.
  void importDisks();
  // importDisks(), then "deleted.mp3" deleted and DISK2 unplugged, its mount folder gone.
  void importDisksThenUnplugOne();
  // The files the rows name, relative to the music folder, sorted.
  std::string filesStored() {
    return testcatalogue::scalar(
        m_path, "SELECT group_concat(f, ',') FROM (SELECT substr(Filename, " +
                    std::to_string(music().size() + 2) + ") AS f FROM music_shelf ORDER BY f)");
  }
  QString musicFile(const char* name) const { return m_music + QLatin1Char('/') + name; }

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  QString m_music;
  std::shared_ptr<engine::Database> m_db;
  std::unique_ptr<ImportRunner> m_runner;
  QStringList m_log;
  std::function<void()> m_duringWalk;  // run from every yield of the walk
};

void TestImportRunner::init() {
  importfakes::resetHold();
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = m_dir->path("music_1.mdb");
  importfakes::makeCatalogue(m_path);
  m_music = QFile::decodeName(m_dir->path("Music").c_str());
  m_log.clear();
  m_duringWalk = nullptr;
  openCatalogue();
  makeRunner();
}

void TestImportRunner::cleanup() {
  letGo();  // a failed test may have left a file held
  m_runner.reset();
  m_db.reset();
  QVERIFY2(importfakes::endHold(), "a held file was never let go");
  m_dir.reset();
}

void TestImportRunner::makeRunner() {
  m_runner = std::make_unique<ImportRunner>(importfakes::namedSongs(), [this] { return m_db; });
  m_runner->setYield([this] {
    if (m_duringWalk) m_duringWalk();
  });
  ImportRunner* runner = m_runner.get();
  connect(runner, &ImportRunner::walkStarted, this,
          [this](const std::string& folder, ImportRunner::Walk walk) {
            m_log << (walk == ImportRunner::Walk::Import ? QStringLiteral("import ")
                                                         : QStringLiteral("rescan ")) +
                         QFile::decodeName(folder.c_str());
          });
  connect(runner, &ImportRunner::walkSummary, this, [this](const QString& text) { m_log << text; });
  connect(runner, &ImportRunner::failed, this, [this](int number, const QString& text) {
    m_log << QStringLiteral("error %1: %2").arg(number).arg(text);
  });
  connect(runner, &ImportRunner::notice, this,
          [this](const QString& text) { m_log << QStringLiteral("notice: ") + text; });
  connect(runner, &ImportRunner::lockWaiting, this,
          [this](qint64) { m_log << QStringLiteral("waiting"); });
  connect(runner, &ImportRunner::lockWaitEnded, this,
          [this] { m_log << QStringLiteral("wait ended"); });
  connect(runner, &ImportRunner::mayClose, this, [this] { m_log << QStringLiteral("may close"); });
}

void TestImportRunner::importReportsWhatItDid() {
  importfakes::makeMusic(m_music, 4);
  bool runningMeanwhile = false;
  m_duringWalk = [&] { runningMeanwhile = m_runner->isRunning(); };
  m_runner->addDirectory(music());
  QVERIFY(runningMeanwhile);
  QVERIFY(!m_runner->isRunning());
  QCOMPARE(rowsStored(), 4);
  QCOMPARE(m_runner->progress().counts.songsAdded, 4);
  QCOMPARE(m_log.size(), 2);
  QCOMPARE(m_log[0], QStringLiteral("import ") + m_music);
  QVERIFY2(m_log[1].startsWith(QStringLiteral("Added 4 songs from %1 in ").arg(m_music)),
           qPrintable(m_log[1]));
}

void TestImportRunner::rescanAsksBeforeItRemoves_data() {
  QTest::addColumn<QString>("answer");  // "none": no question to ask with
  QTest::addColumn<QString>("summary");
  QTest::addColumn<std::string>("ids");
  const QString kept = QStringLiteral(", 2 songs no longer on disk kept");
  QTest::newRow("no question") << "none" << kept << std::string("1,2,3,4,5");
  QTest::newRow("No") << "no" << kept << std::string("1,2,3,4,5");
  QTest::newRow("Yes") << "yes" << QString() << std::string("2,3,5");
}

// Two of four files vanish and one comes: the new one is stored, and the vanished rows go only
// after a Yes. The status bar learns what the walk did before the question is asked, and that
// the question is open.
void TestImportRunner::rescanAsksBeforeItRemoves() {
  QFETCH(QString, answer);
  QFETCH(QString, summary);
  QFETCH(std::string, ids);
  importfakes::makeMusic(m_music, 4);
  m_runner->addDirectory(music());
  QVERIFY(QFile::remove(musicFile("song 00.mp3")));
  QVERIFY(QFile::remove(musicFile("sub/song 03.mp3")));
  importfakes::touch(musicFile("new.mp3"));
  if (answer != QStringLiteral("none"))
    m_runner->setQuestion([&](const QString& text) {
      m_log << QStringLiteral("asked: ") + text;
      return answer == QStringLiteral("yes");
    });
  m_log.clear();

  m_runner->rescanDirectory(music());
  const QString walked =
      QStringLiteral("Rescan of %1: 1 added, 0 removed, 2 unchanged").arg(m_music);
  // Nothing is removed before the answer, and the status bar does not say it is over.
  const QString waiting = QStringLiteral("Rescan of %1: 1 added, 2 unchanged; 2 songs no longer "
                                         "on disk, waiting for your answer")
                              .arg(m_music);
  QStringList expected = {QStringLiteral("rescan ") + m_music, waiting};
  if (answer != QStringLiteral("none"))
    expected << QStringLiteral("asked: 2 songs below %1 are no longer on disk. Remove them from "
                               "the catalogue?")
                    .arg(m_music);
  expected << (answer == QStringLiteral("yes")
                   ? QStringLiteral("Rescan of %1: 1 added, 2 removed, 2 unchanged").arg(m_music)
                   : walked + summary);
  QCOMPARE(m_log, expected);
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT group_concat(ID) FROM music_shelf"), ids);
}

void TestImportRunner::importDisks() {
  for (const char* name : {"deleted.mp3", "keep.mp3", "DISK1/a.mp3", "DISK2/b.mp3",
                           "DISK2/Album/c.mp3", "DISK3/d.mp3"}) {
    QVERIFY(QDir().mkpath(QFileInfo(musicFile(name)).path()));
    importfakes::touch(musicFile(name));
  }
  m_runner->addDirectory(music());
  QCOMPARE(rowsStored(), 6);
}

void TestImportRunner::importDisksThenUnplugOne() {
  importDisks();
  if (QTest::currentTestFailed()) return;
  QVERIFY(QFile::remove(musicFile("deleted.mp3")));
  QVERIFY(QDir(musicFile("DISK2")).removeRecursively());
}

void TestImportRunner::foldersGoneAsAWholeAreAskedAboutApart_data() {
  QTest::addColumn<QStringList>("gone");      // files deleted and disks unplugged
  QTest::addColumn<QString>("answers");       // "y" or "n" for each question, in turn
  QTest::addColumn<QStringList>("questions");  // "%1" the music folder
  QTest::addColumn<QString>("waiting");       // what the status bar says while they are up
  QTest::addColumn<QString>("summary");
  QTest::addColumn<std::string>("files");

  const QString deleted =
      QStringLiteral("1 song below %1 is no longer on disk. Remove it from the catalogue?");
  const QString disk2 = QStringLiteral(
      "All 2 songs below %1/DISK2 are gone together with the folder itself: it may be on a disk "
      "that is not plugged in. Remove them from the catalogue anyway?");
  const QString disk2Waiting = QStringLiteral("4 unchanged; 2 songs below folders that are gone");
  const QString bothWaiting = QStringLiteral(
      "3 unchanged; 1 song no longer on disk, 2 songs below folders that are gone");
  const std::string all = "DISK1/a.mp3,DISK2/Album/c.mp3,DISK2/b.mp3,DISK3/d.mp3,deleted.mp3,keep.mp3";
  QTest::newRow("unplugged disk, No")
      << QStringList{"DISK2"} << "n" << QStringList{disk2} << disk2Waiting
      << "0 added, 0 removed, 4 unchanged, 2 songs below folders that are gone kept" << all;
  QTest::newRow("unplugged disk, Yes")
      << QStringList{"DISK2"} << "y" << QStringList{disk2} << disk2Waiting
      << "0 added, 2 removed, 4 unchanged"
      << std::string("DISK1/a.mp3,DISK3/d.mp3,deleted.mp3,keep.mp3");
  QTest::newRow("deleted file Yes, unplugged disk No")
      << QStringList{"deleted.mp3", "DISK2"} << "yn" << QStringList{deleted, disk2} << bothWaiting
      << "0 added, 1 removed, 3 unchanged, 2 songs below folders that are gone kept"
      << std::string("DISK1/a.mp3,DISK2/Album/c.mp3,DISK2/b.mp3,DISK3/d.mp3,keep.mp3");
  QTest::newRow("deleted file No, unplugged disk Yes")
      << QStringList{"deleted.mp3", "DISK2"} << "ny" << QStringList{deleted, disk2} << bothWaiting
      << "0 added, 2 removed, 3 unchanged, 1 song no longer on disk kept"
      << std::string("DISK1/a.mp3,DISK3/d.mp3,deleted.mp3,keep.mp3");
  QTest::newRow("deleted file No, unplugged disk No")
      << QStringList{"deleted.mp3", "DISK2"} << "nn" << QStringList{deleted, disk2} << bothWaiting
      << "0 added, 0 removed, 3 unchanged, 1 song no longer on disk kept, 2 songs below folders "
         "that are gone kept"
      << all;
  QTest::newRow("one song")
      << QStringList{"DISK3"} << "n"
      << QStringList{QStringLiteral(
             "The song below %1/DISK3 is gone together with the folder itself: it may be on a "
             "disk that is not plugged in. Remove it from the catalogue anyway?")}
      << "5 unchanged; 1 song below a folder that is gone"
      << "0 added, 0 removed, 5 unchanged, 1 song below a folder that is gone kept" << all;
  QTest::newRow("two folders")
      << QStringList{"DISK2", "DISK3"} << "n"
      << QStringList{QStringLiteral(
             "All 3 songs in 2 folders that are gone as a whole (%1/DISK2 and %1/DISK3): they "
             "may be on disks that are not plugged in. Remove them from the catalogue anyway?")}
      << "3 unchanged; 3 songs below folders that are gone"
      << "0 added, 0 removed, 3 unchanged, 3 songs below folders that are gone kept" << all;
  QTest::newRow("three folders")
      << QStringList{"DISK1", "DISK2", "DISK3"} << "y"
      << QStringList{QStringLiteral(
             "All 4 songs in 3 folders that are gone as a whole (%1/DISK1, %1/DISK2 and 1 "
             "more): they may be on disks that are not plugged in. Remove them from the "
             "catalogue anyway?")}
      << "2 unchanged; 4 songs below folders that are gone" << "0 added, 4 removed, 2 unchanged"
      << std::string("deleted.mp3,keep.mp3");
}

// A disk whose mount folder went with it when it was unplugged: its songs are not among those
// no longer on disk, but asked about apart, after them, and kept unless the user says Yes. The
// status bar never counts them as songs no longer on disk, while the questions are up or after.
void TestImportRunner::foldersGoneAsAWholeAreAskedAboutApart() {
  QFETCH(QStringList, gone);
  QFETCH(QString, answers);
  QFETCH(QStringList, questions);
  QFETCH(QString, waiting);
  QFETCH(QString, summary);
  QFETCH(std::string, files);
  importDisks();
  if (QTest::currentTestFailed()) return;
  for (const QString& name : gone) {
    const QString path = musicFile(qPrintable(name));
    QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
  }
  QStringList asked;
  m_runner->setQuestion([&](const QString& text) {
    asked << text;
    return answers.mid(asked.size() - 1, 1) == QStringLiteral("y");
  });
  m_log.clear();
  m_runner->rescanDirectory(music());
  for (QString& question : questions) question = question.arg(m_music);
  QCOMPARE(asked, questions);
  const QString rescanOf = QStringLiteral("Rescan of %1: ").arg(m_music);
  QCOMPARE(m_log.mid(1), (QStringList{rescanOf + "0 added, " + waiting +
                                          ", waiting for your answer",
                                      rescanOf + summary}));
  QCOMPARE(filesStored(), files);
}

void TestImportRunner::whatComesBackBeforeTheRemovalIsKept_data() {
  QTest::addColumn<QString>("back");  // made again while the question about it is up
  QTest::addColumn<QString>("summary");
  QTest::addColumn<std::string>("files");
  QTest::newRow("deleted file")
      << "deleted.mp3" << "0 added, 2 removed, 3 unchanged, 1 song no longer on disk kept"
      << std::string("DISK1/a.mp3,DISK3/d.mp3,deleted.mp3,keep.mp3");
  // A mount folder made again, even an empty one, keeps every song below it.
  QTest::newRow("mount folder, empty")
      << "DISK2/" << "0 added, 1 removed, 3 unchanged, 2 songs below folders that are gone kept"
      << std::string("DISK1/a.mp3,DISK2/Album/c.mp3,DISK2/b.mp3,DISK3/d.mp3,keep.mp3");
  QTest::newRow("one song on the disk")
      << "DISK2/b.mp3"
      << "0 added, 1 removed, 3 unchanged, 2 songs below folders that are gone kept"
      << std::string("DISK1/a.mp3,DISK2/Album/c.mp3,DISK2/b.mp3,DISK3/d.mp3,keep.mp3");
}

// The user says Yes to both questions, but a file or a disk comes back before the rows go:
// those rows stay, and the summary counts them as kept, in their own part.
void TestImportRunner::whatComesBackBeforeTheRemovalIsKept() {
  QFETCH(QString, back);
  QFETCH(QString, summary);
  QFETCH(std::string, files);
  importDisksThenUnplugOne();
  if (QTest::currentTestFailed()) return;
  int questions = 0;
  bool made = false;
  m_runner->setQuestion([&](const QString&) {
    const bool disk = back.startsWith(QStringLiteral("DISK2"));
    if (++questions == (disk ? 2 : 1)) {
      const QString path = musicFile(qPrintable(back));
      made = QDir().mkpath(QFileInfo(path).path());
      if (!back.endsWith(QLatin1Char('/'))) importfakes::touch(path);
    }
    return true;
  });
  m_log.clear();
  m_runner->rescanDirectory(music());
  QVERIFY(made);
  QCOMPARE(questions, 2);
  QCOMPARE(m_log.last(), QStringLiteral("Rescan of %1: ").arg(m_music) + summary);
  QCOMPARE(filesStored(), files);
}

void TestImportRunner::anAnswerGivenAsTheWindowClosesIsCarriedOut_data() {
  QTest::addColumn<int>("closeAt");  // the question during which the window closes
  QTest::addColumn<bool>("close");   // or Cancel is pressed
  QTest::addColumn<int>("asked");
  QTest::addColumn<QString>("summary");
  QTest::addColumn<std::string>("files");
  const QString oneRemoved = QStringLiteral("0 added, 1 removed, 3 unchanged, 2 songs below "
                                            "folders that are gone kept");
  const std::string diskKept = "DISK1/a.mp3,DISK2/Album/c.mp3,DISK2/b.mp3,DISK3/d.mp3,keep.mp3";
  const QString allRemoved = QStringLiteral("0 added, 3 removed, 3 unchanged");
  const std::string noneKept = "DISK1/a.mp3,DISK3/d.mp3,keep.mp3";
  QTest::newRow("close, first question") << 1 << true << 1 << oneRemoved << diskKept;
  QTest::newRow("Cancel, first question") << 1 << false << 1 << oneRemoved << diskKept;
  QTest::newRow("close, question apart") << 2 << true << 2 << allRemoved << noneKept;
  QTest::newRow("Cancel, question apart") << 2 << false << 2 << allRemoved << noneKept;
}

// A close or a Cancel while a question is up: the Yes given is carried out, no further question
// is asked, and what was not asked about is kept.
void TestImportRunner::anAnswerGivenAsTheWindowClosesIsCarriedOut() {
  QFETCH(int, closeAt);
  QFETCH(bool, close);
  QFETCH(int, asked);
  QFETCH(QString, summary);
  QFETCH(std::string, files);
  importDisksThenUnplugOne();
  if (QTest::currentTestFailed()) return;
  int questions = 0;
  bool closedAtOnce = false;
  m_runner->setQuestion([&](const QString&) {
    if (++questions == closeAt) {
      if (close)
        closedAtOnce = m_runner->stopForClose();
      else
        m_runner->cancel();
    }
    return true;
  });
  m_log.clear();
  m_runner->rescanDirectory(music());
  QVERIFY(!closedAtOnce);
  QCOMPARE(questions, asked);
  QStringList ends = {QStringLiteral("Rescan of %1: ").arg(m_music) + summary};
  if (close) ends << QStringLiteral("may close");
  QCOMPARE(m_log.mid(m_log.size() - ends.size()), ends);
  QCOMPARE(filesStored(), files);
}

void TestImportRunner::cancelOrCloseStopsTheWalk_data() {
  QTest::addColumn<bool>("rescan");
  QTest::addColumn<bool>("close");
  QTest::newRow("import, Cancel") << false << false;
  QTest::newRow("import, close") << false << true;
  QTest::newRow("rescan, Cancel") << true << false;
  QTest::newRow("rescan, close") << true << true;
}

// Cancel, or the window's close, stops the walk before its next row; a rescan so stopped asks
// nothing about the row that vanished. After a close the window hears that it may close once
// the walk has returned, not before.
void TestImportRunner::cancelOrCloseStopsTheWalk() {
  QFETCH(bool, rescan);
  QFETCH(bool, close);
  importfakes::makeMusic(m_music, 2);
  int before = 0;
  if (rescan) {
    m_runner->addDirectory(music());
    QVERIFY(QFile::remove(musicFile("song 00.mp3")));
    before = 2;
  }
  int asked = 0;
  m_runner->setQuestion([&](const QString&) {
    ++asked;
    return true;
  });
  // New files after "sub/song 01.mp3"; a later one's read waits for the stop, so it surely
  // comes while files are still to come.
  for (int i = 10; i < 40; ++i) importfakes::touch(musicFile("sub/tune %1.mp3").arg(i));
  hold("tune 20.mp3");
  m_log.clear();
  int rowsAtStop = -1;
  m_duringWalk = [&] {
    if (rowsAtStop >= 0 || rowsStored() < before + 2) return;
    rowsAtStop = rowsStored();
    if (close) {
      QVERIFY(!m_runner->stopForClose());
      m_log << QStringLiteral("closing");
    } else {
      m_runner->cancel();
    }
    letGo();
  };
  if (rescan)
    m_runner->rescanDirectory(music());
  else
    m_runner->addDirectory(music());

  QVERIFY(rowsAtStop >= 0);
  QCOMPARE(rowsStored(), rowsAtStop);
  QCOMPARE(asked, 0);
  const int added = rowsAtStop - before;
  QStringList expected = {(rescan ? QStringLiteral("rescan ") : QStringLiteral("import ")) +
                          m_music};
  if (close) expected << QStringLiteral("closing");
  expected << (rescan ? QStringLiteral("Rescan of %1 cancelled: %2 added, 1 unchanged")
                            .arg(m_music)
                            .arg(added)
                      : QStringLiteral("Import cancelled: %1 songs added").arg(added));
  if (close) expected << QStringLiteral("may close");
  QCOMPARE(m_log, expected);

  // Nothing runs any longer: the window may close at once, and the next walk runs to its end.
  QVERIFY(!m_runner->isRunning());
  QVERIFY(m_runner->stopForClose());
  m_duringWalk = nullptr;
  m_log.clear();
  m_runner->addDirectory(music());
  QCOMPARE(m_log.size(), 2);
  const QString all = QStringLiteral("Added %1 songs from ").arg(rescan ? 31 : 32);
  QVERIFY2(m_log[1].startsWith(all), qPrintable(m_log[1]));
}

void TestImportRunner::oneWalkAtATime() {
  importfakes::makeMusic(m_music, 6);
  bool triedAgain = false;
  m_duringWalk = [&] {
    if (std::exchange(triedAgain, true)) return;
    m_runner->addDirectory(music());
    m_runner->rescanDirectory(music());
  };
  m_runner->addDirectory(music());
  QVERIFY(triedAgain);
  QCOMPARE(rowsStored(), 6);
  QCOMPARE(m_log.size(), 2);
  QCOMPARE(m_log[0], QStringLiteral("import ") + m_music);
}

// What fails comes as a signal after the status bar's summary; the runner carries on.
void TestImportRunner::failuresAreSignalledAndTheRunnerCarriesOn() {
  // Once two songs are in, another program renames the table; the fourth file's read waits for
  // that, so the rename surely comes while rows are still to be written.
  importfakes::makeMusic(m_music, 10);
  hold("song 06.mp3");
  bool renamed = false;
  m_duringWalk = [&] {
    if (renamed || rowsStored() < 2) return;
    testcatalogue::run(m_path, "ALTER TABLE music_shelf RENAME TO elsewhere");
    renamed = true;
    letGo();
  };
  m_runner->addDirectory(music());
  const int stored = std::stoi(testcatalogue::scalar(m_path, "SELECT count(*) FROM elsewhere"));
  QVERIFY(stored >= 2 && stored < 10);
  QCOMPARE(m_log.size(), 3);
  QCOMPARE(m_log[1], QStringLiteral("Import stopped by an error: %1 songs added").arg(stored));
  QVERIFY2(m_log[2].startsWith(QStringLiteral("error ")) &&
               m_log[2].contains(QStringLiteral("music_shelf")),
           qPrintable(m_log[2]));
  QVERIFY(!m_runner->isRunning());

  // Without a catalogue handle, nothing is walked.
  m_duringWalk = nullptr;
  m_db.reset();
  m_log.clear();
  m_runner->rescanDirectory(music());
  QCOMPARE(m_log.size(), 3);
  QVERIFY2(m_log[2].startsWith(QStringLiteral("error %1: ").arg(engine::err::kObjectClosed)),
           qPrintable(m_log[2]));
  QVERIFY(!m_runner->isRunning());
}

// A catalogue made before the companion table gets it before its first walk, and the runner
// says so once.
void TestImportRunner::olderCatalogueGainsTheCompanionTableOnce() {
  m_runner.reset();
  m_path = m_dir->path("older.mdb");
  importfakes::makeOlderCatalogue(m_path);
  openCatalogue();
  makeRunner();
  importfakes::makeMusic(m_music, 2);
  m_runner->addDirectory(music());
  QCOMPARE(m_log.size(), 3);
  QCOMPARE(m_log[0],
           QStringLiteral("notice: ") + QString::fromLatin1(ImportRunner::kShelfFilesNotice));
  QCOMPARE(m_log[1], QStringLiteral("import ") + m_music);
  QCOMPARE(testcatalogue::scalar(m_path, "SELECT count(*) FROM sqlite_schema WHERE name = "
                                         "'shelf_files'"),
           std::string("1"));
  m_log.clear();
  m_runner->rescanDirectory(music());
  m_runner->addDirectory(music());
  QVERIFY2(m_log.filter(QStringLiteral("notice")).isEmpty(), qPrintable(m_log.join(" | ")));
}

// Another program holds the catalogue while a statement writes: the runner says the statement
// waits, then that it goes on. A runner made while an older one is still there (a window
// opened before the last one has gone) keeps hearing of waits when the older one goes.
void TestImportRunner::lockWaitsAreReportedByTheNewestRunner() {
  std::unique_ptr<ImportRunner> older = std::move(m_runner);
  makeRunner();
  older.reset();
  // The other program must not inherit SQLite's record of the test's connection.
  m_db.reset();
  testsupport::LockHolder other(m_path);
  other.held();
  openCatalogue();
  connect(m_runner.get(), &ImportRunner::lockWaiting, this, [&] { other.letGo(); },
          Qt::SingleShotConnection);
  m_db->Execute("INSERT INTO music_shelf (Title) VALUES ('after the wait')");
  QCOMPARE(other.wait(), 0);
  QVERIFY2(m_log.size() >= 2 && m_log.first() == QStringLiteral("waiting") &&
               m_log.last() == QStringLiteral("wait ended") &&
               m_log.count(QStringLiteral("wait ended")) == 1,
           qPrintable(m_log.join(" | ")));
  QCOMPARE(rowsStored(), 1);
}

QTEST_GUILESS_MAIN(TestImportRunner)
#include "importrunner_test.moc"
