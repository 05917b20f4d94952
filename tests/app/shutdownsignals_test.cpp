// SIGTERM, SIGHUP and SIGINT (a logout, a closed terminal, Ctrl+C) close the real main window as
// a close does. A signal the program does not handle ends the whole process, so each window runs
// in a child process, wired to the signals as main() wires it, and the child's exit status is
// the program's. Imports are held at a file by a gate, never by waiting.
#include "app/shutdownsignals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include "app/frmmain.h"
#include "catalog/datacontrol.h"
#include "catalog/recordsetmodel.h"
#include "catalog/searchindexer.h"
#include "importfakes.h"
#include "support/childprocess.h"
#include "support/lockholder.h"
#include "support/tempdir.h"
#include "testcatalogue.h"
#include "ui/question.h"

// What the tests need of the window beyond what a person can reach.
class SignalCloseProbe {
 public:
  // As the edit tests do: the indexer would take the lock too, and a held lock is given up on
  // at once rather than after the usual wait.
  static void giveUpOnLocksAtOnce(frmMain& window) {
    window.m_indexer.reset();
    window.dbMusic->setLockWait(std::chrono::milliseconds(1));
  }
  static std::size_t keptEdits(frmMain& window) {
    return window.Data1->model()->keptEdits().size();
  }
};

namespace {

using testsupport::ChildProcess;

char g_programName[] = "app_shutdownsignals_tests";
char* g_argv[] = {g_programName, nullptr};
int g_argc = 1;

// Only for a broken case: a window that never closes ends its child's loop with a failure
// rather than hanging the suite.
constexpr auto kSafetyNet = std::chrono::minutes(2);
constexpr auto kChildTime = std::chrono::minutes(3);
constexpr int kTitle = 1;

// The signal does what it does by default and is not blocked, whatever the test was started
// with: otherwise a signal the fix does not handle might not end the child.
void defaultSignal(int number) {
  ::signal(number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, number);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

int rowsIn(const std::string& catalogue) {
  return std::stoi(testcatalogue::scalar(catalogue, "SELECT count(*) FROM music_shelf"));
}

// Whether SQLite's log was merged into the catalogue when it was closed.
bool logMerged(const std::string& catalogue) {
  const std::filesystem::path wal = catalogue + "-wal";
  return !std::filesystem::exists(wal) || std::filesystem::file_size(wal) == 0;
}

// The window as main() makes it, with fakes for the MP3 component and the folder picker.
struct Program {
  Program(const std::string& catalogue, const QString& music)
      : window(QString::fromStdString(catalogue),
               [this](int number, const QString& text) { errors.emplace_back(number, text); },
               [music](QWidget*, const QString&, const QString&) {
                 return std::optional<QString>(music);
               },
               importfakes::namedSongs()) {
    window.setQuestion([this](const QString& text) {
      asked << text;
      return true;
    });
    closeOnShutdownSignals(shutdown, window);
  }

  bool load() {
    if (!window.Form_Load()) return false;
    window.show();
    return true;
  }

  // Runs the loop as main() does; its exit code is the program's.
  int exec() {
    QTimer safetyNet;
    safetyNet.setSingleShot(true);
    QObject::connect(&safetyNet, &QTimer::timeout, [] {
      ADD_FAILURE() << "the window did not close";
      importfakes::letGo();
      QCoreApplication::exit(3);
    });
    safetyNet.start(kSafetyNet);
    return QApplication::exec();
  }

  std::vector<std::pair<int, QString>> errors;
  QStringList asked;
  ShutdownSignals shutdown;
  frmMain window;
};

void raiseSoon(int number) {
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [number] { ::raise(number); }, Qt::QueuedConnection);
}

class SignalClose : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    m_catalogue = m_dir.path("music_1.mdb");
    m_music = QFile::decodeName(m_dir.path("Music").c_str());
  }

  testsupport::TempDir m_dir;
  std::string m_catalogue;
  QString m_music;
};

// The import stops before its next row: the rows before the signal are committed, none after
// it is written, the catalogue is closed with its log merged, and the program ends with 0. A
// second signal while the import is stopping changes nothing.
TEST_P(SignalClose, StopsTheImportCommitsAndEndsWithZero) {
  const int signalNumber = GetParam();
  importfakes::makeCatalogue(m_catalogue);
  importfakes::makeMusic(m_music, 40);
  ChildProcess child([&](const testsupport::Channel& test) {
    defaultSignal(signalNumber);
    defaultSignal(SIGTERM);
    QApplication app(g_argc, g_argv);
    importfakes::resetHold();
    importfakes::hold("song 10.mp3");
    Program program(m_catalogue, m_music);
    ASSERT_TRUE(program.load());

    // Three songs are in and the sixth file's read is held: the signal comes mid-import.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (rowsIn(m_catalogue) < 3) return;
      poll.stop();
      ::raise(signalNumber);
    });
    poll.start(0);
    int rowsAtStop = -1;
    int signalsSeen = 0;
    // After the window's own handler: the import has been told to stop.
    QObject::connect(&program.shutdown, &ShutdownSignals::received, [&](int number) {
      if (++signalsSeen > 1) return;
      EXPECT_EQ(number, signalNumber);
      rowsAtStop = rowsIn(m_catalogue);
      ::raise(SIGTERM);
      importfakes::letGo();
    });
    QMetaObject::invokeMethod(&program.window, &frmMain::cmdAddDir_Click, Qt::QueuedConnection);
    // Another window open, as the tag reader may be: the loop ends all the same.
    QWidget tagReader;
    tagReader.show();

    EXPECT_EQ(program.exec(), 0);
    EXPECT_FALSE(program.window.isVisible());
    EXPECT_EQ(signalsSeen, 2);
    EXPECT_TRUE(program.errors.empty());
    EXPECT_TRUE(program.asked.isEmpty());
    EXPECT_TRUE(importfakes::endHold());
    test.send(static_cast<char>(rowsAtStop));
  });
  const int rowsAtStop = child.channel().receive(kChildTime);
  ASSERT_EQ(child.wait(), 0);
  EXPECT_TRUE(logMerged(m_catalogue));
  EXPECT_GE(rowsAtStop, 3);
  EXPECT_LE(rowsAtStop, 5);
  EXPECT_EQ(rowsIn(m_catalogue), rowsAtStop);
}

INSTANTIATE_TEST_SUITE_P(EachSignal, SignalClose, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

// The rescan's removal question is open, a real message box: the signal cancels it, which
// counts as No, so the vanished row stays, and the program ends with 0.
TEST_F(SignalClose, OpenQuestionIsAnsweredNo) {
  importfakes::makeCatalogue(m_catalogue);
  importfakes::makeMusic(m_music, 4);
  ChildProcess child([&](const testsupport::Channel& test) {
    defaultSignal(SIGTERM);
    QApplication app(g_argc, g_argv);
    importfakes::resetHold();
    Program program(m_catalogue, m_music);
    ASSERT_TRUE(program.load());
    program.window.cmdAddDir_Click();
    ASSERT_EQ(rowsIn(m_catalogue), 4);
    ASSERT_TRUE(QFile::remove(m_music + QStringLiteral("/song 00.mp3")));

    const ui::Question messageBox = ui::messageBoxQuestion(&program.window);
    bool boxSaidYes = true;
    program.window.setQuestion([&](const QString& text) {
      program.asked << text;
      // Comes once the box is open and waits for its answer.
      raiseSoon(SIGTERM);
      boxSaidYes = messageBox(text);
      return true;  // whatever the box said: once the session ends, an answer is No
    });
    QMetaObject::invokeMethod(&program.window, &frmMain::mnuRescan_Click, Qt::QueuedConnection);

    EXPECT_EQ(program.exec(), 0);
    EXPECT_FALSE(program.window.isVisible());
    EXPECT_FALSE(boxSaidYes);
    EXPECT_EQ(program.asked, QStringList{QStringLiteral("1 song below %1 is no longer on disk. "
                                                        "Remove it from the catalogue?")
                                             .arg(m_music)});
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(program.errors.empty());
    test.send('d');
  });
  child.channel().receive(kChildTime);
  ASSERT_EQ(child.wait(), 0);
  EXPECT_TRUE(logMerged(m_catalogue));
  EXPECT_EQ(rowsIn(m_catalogue), 4);
}

// An edit another program's lock keeps out cannot be saved at the session's end: the window
// tries once more, then closes without asking and writes the edit to standard error.
TEST_F(SignalClose, UnsavableEditGoesToStandardError) {
  testcatalogue::make(m_catalogue);
  testcatalogue::run(m_catalogue,
                     "INSERT INTO music_shelf (Title, Artist) VALUES ('Yellow Submarine', "
                     "'The Beatles'), ('Help', 'The Beatles'), ('Don''t Stop', 'Fleetwood Mac')");
  const std::string log = m_dir.path("stderr.txt");
  ChildProcess child([&](const testsupport::Channel& test) {
    defaultSignal(SIGTERM);
    const int logFile = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(logFile, 0);
    ASSERT_EQ(::dup2(logFile, STDERR_FILENO), STDERR_FILENO);
    // Made before anything here opens the catalogue, as it needs.
    testsupport::LockHolder other(m_catalogue, true);
    QApplication app(g_argc, g_argv);
    Program program(m_catalogue, m_music);
    ASSERT_TRUE(program.load());
    program.window.cmdShowAll_Click();
    SignalCloseProbe::giveUpOnLocksAtOnce(program.window);
    other.take();
    QAbstractItemModel* model =
        program.window.findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))->model();
    ASSERT_TRUE(model->setData(model->index(2, kTitle), QStringLiteral("Go Your Own Way")));
    ASSERT_EQ(SignalCloseProbe::keptEdits(program.window), 1u);

    raiseSoon(SIGTERM);
    EXPECT_EQ(program.exec(), 0);
    EXPECT_FALSE(program.window.isVisible());
    EXPECT_TRUE(program.asked.isEmpty());
    other.letGo();
    EXPECT_EQ(other.wait(), 0);
    test.send('d');
  });
  child.channel().receive(kChildTime);
  ASSERT_EQ(child.wait(), 0);
  EXPECT_EQ(testcatalogue::scalar(m_catalogue, "SELECT Title FROM music_shelf WHERE ID = 3"),
            "Don't Stop");
  std::ifstream in(log);
  const std::string written{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(written.find("QuollsongDB: closed with an edit not saved, as another program held "
                         "the catalogue: ID 3, Title: Go Your Own Way\n"),
            std::string::npos)
      << written;
}

// Signals ignored at start stay ignored; the others come once each, and are put back as they
// were when none came, or ignored once one did (the program is then ending for it).
TEST(ShutdownSignals, KeepsIgnoredSignalsAndPutsBackTheOthers) {
  ChildProcess child([](const testsupport::Channel& test) {
    ::signal(SIGHUP, SIG_IGN);
    defaultSignal(SIGTERM);
    defaultSignal(SIGINT);
    QCoreApplication app(g_argc, g_argv);
    const auto handlerOf = [](int number) {
      struct sigaction now {};
      ::sigaction(number, nullptr, &now);
      return now.sa_handler;
    };
    {
      ShutdownSignals unused;
      EXPECT_NE(handlerOf(SIGTERM), SIG_DFL);
    }
    EXPECT_EQ(handlerOf(SIGTERM), SIG_DFL);
    EXPECT_EQ(handlerOf(SIGINT), SIG_DFL);
    {
      ShutdownSignals shutdown;
      ASSERT_TRUE(shutdown.installed());
      EXPECT_EQ(handlerOf(SIGHUP), SIG_IGN);
      EXPECT_NE(handlerOf(SIGTERM), SIG_DFL);
      EXPECT_NE(handlerOf(SIGINT), SIG_DFL);
      std::vector<int> received;
      QObject::connect(&shutdown, &ShutdownSignals::received,
                       [&](int number) { received.push_back(number); });
      ::raise(SIGHUP);
      ::raise(SIGINT);
      ::raise(SIGTERM);
      // The notifier's event is there once the bytes are: each handled signal comes once.
      while (received.size() < 2) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      QCoreApplication::processEvents();
      EXPECT_EQ(received, (std::vector<int>{SIGINT, SIGTERM}));
    }
    EXPECT_EQ(handlerOf(SIGHUP), SIG_IGN);
    EXPECT_EQ(handlerOf(SIGTERM), SIG_IGN);
    EXPECT_EQ(handlerOf(SIGINT), SIG_IGN);
    test.send('d');
  });
  child.channel().receive(kChildTime);
  EXPECT_EQ(child.wait(), 0);
}

}  // namespace
