// Check Files and Show Problems on the real main window, with an injected per-file check and
// injected questions: no dialog opens, nothing waits for a person.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTest>

#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/checkrunner.h"
#include "app/frmmain.h"
#include "app/importstatus.h"
#include "catalog/boundgrid.h"
#include "support/gate.h"
#include "support/smalldisk.h"
#include "support/tempdir.h"
#include "testcatalogue.h"
#include "windowtesting.h"

class TestFrmMainCheck : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void menuEntriesComeLastInTheCatalogueMenu();
  void checkListsProblemsInAViewThatSortsAndExports();
  void folderChoiceReadsOnlyBelowThePickedFolder();
  void readOnlyCatalogueIsRefusedBeforeTheQuestion();
  void walksWaitForARunningCheckWhoseCancelIsSeen();
  void showProblemsSaysWhenItMakesTheTable();

 private:
  void openWindow(const std::string& path);
  void trigger(const char* name) {
    auto* entry = m_window->findChild<QAction*>(QString::fromLatin1(name));
    QVERIFY(entry);
    entry->trigger();
  }
  QList<int> gridIds() {
    return windowtesting::shownIds(
        m_window->findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))->model());
  }
  QStringList column(int c) {
    QAbstractItemModel* model =
        m_window->findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))->model();
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row) texts << model->index(row, c).data().toString();
    return texts;
  }
  std::string addSong(const std::string& name) {
    const std::string file = m_dir->path("Music") + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file) << "mp3";
    testcatalogue::run(m_path, "INSERT INTO music_shelf (Title, Filename) VALUES ('" + name +
                                   "', '" + file + "')");
    return file;
  }

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  std::vector<std::pair<int, QString>> m_errors;
  std::unique_ptr<frmMain> m_window;
  std::optional<CheckChoice> m_choice;
  int m_asked = 0;
  std::optional<QString> m_pick;
  int m_picked = 0;  // how often a folder was asked for
  std::atomic<int> m_checked = 0;
  std::map<std::string, std::vector<importer::HealthFinding>> m_answers;  // by file name
};

void TestFrmMainCheck::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = m_dir->path("music_1.mdb");
  testcatalogue::make(m_path);  // from before the companion tables
  m_errors.clear();
  m_choice = CheckChoice{};
  m_asked = 0;
  m_pick.reset();
  m_picked = 0;
  m_checked = 0;
  m_answers.clear();
  openWindow(m_path);
}

void TestFrmMainCheck::cleanup() {
  m_window.reset();
  m_dir.reset();
}

void TestFrmMainCheck::openWindow(const std::string& path) {
  m_window = std::make_unique<frmMain>(
      QString::fromStdString(path),
      [this](int number, const QString& text) { m_errors.emplace_back(number, text); },
      [this](QWidget*, const QString&, const QString&) {
        ++m_picked;
        return m_pick;
      },
      [] { return std::unique_ptr<importer::Mp3Info>(); });
  m_window->setCheckDialog([this](QWidget*) {
    ++m_asked;
    return m_choice;
  });
  m_window->setFileChecker([this](const std::string& file, const importer::HealthOptions&,
                                  const std::atomic<bool>&) {
    ++m_checked;
    const auto found = m_answers.find(file.substr(file.rfind('/') + 1));
    return found == m_answers.end() ? std::vector<importer::HealthFinding>() : found->second;
  });
  QVERIFY(m_window->Form_Load());
}

void TestFrmMainCheck::menuEntriesComeLastInTheCatalogueMenu() {
  auto* menu = m_window->findChild<QMenu*>(QStringLiteral("mnuCatalogue"));
  QVERIFY(menu);
  QStringList names;
  for (QAction* entry : menu->actions()) names << entry->objectName();
  QCOMPARE(names, (QStringList{"mnuRescan", "mnuShowMissing", "mnuShowDuplicates",
                               "mnuShowDuplicateSongs", "mnuExport", "mnuRescanLast", "mnuFilter",
                               "mnuStatistics", "mnuCheckFiles", "mnuShowProblems"}));
}

void TestFrmMainCheck::checkListsProblemsInAViewThatSortsAndExports() {
  addSong("b.mp3");
  addSong("a.mp3");
  addSong("c.mp3");
  m_answers["a.mp3"] = {{"Low bit rate", "CBR 96 kbit/s"}};
  m_answers["b.mp3"] = {{"Cut short", "ends at 0:12"}, {"Damaged audio", "2 frames"}};
  QTest::mouseClick(m_window->findChild<QAbstractButton*>("cmdShowAll"), Qt::LeftButton);
  trigger("mnuCheckFiles");
  QVERIFY2(m_errors.empty(), m_errors.empty() ? "" : qPrintable(m_errors[0].second));
  QCOMPARE(m_asked, 1);
  QCOMPARE(m_checked.load(), 3);
  // By Filename, one row per file and problem, with the Problem and Detail after the
  // catalogue's columns.
  QCOMPARE(gridIds(), (QList<int>{2, 1, 1}));
  auto* grid = m_window->findChild<catalog::BoundGrid*>(QStringLiteral("DBGrid1"));
  QCOMPARE(grid->columnCaption(12), QStringLiteral("Problem"));
  QCOMPARE(grid->columnCaption(13), QStringLiteral("Detail"));
  QCOMPARE(column(12), (QStringList{"Low bit rate", "Cut short", "Damaged audio"}));
  QCOMPARE(m_window->findChild<QLabel*>(QStringLiteral("lblImportStatus"))->text(),
           QStringLiteral("Checked 3 files: 3 problems in 2 files"));

  // A heading sorts within the view, also by its own columns; a second click turns it round.
  emit grid->headClick(12);
  QCOMPARE(column(12), (QStringList{"Cut short", "Damaged audio", "Low bit rate"}));
  emit grid->headClick(12);
  QCOMPARE(column(12), (QStringList{"Low bit rate", "Damaged audio", "Cut short"}));
  emit grid->headClick(1);  // Title
  QCOMPARE(gridIds(), (QList<int>{2, 1, 1}));
  QVERIFY(m_errors.empty());

  // Exported like any view, its own columns with it.
  const QString csv = QString::fromStdString(m_dir->path("problems.csv"));
  m_window->setSaveDialog([&](QWidget*, const QString&, const QString&, const frmMain::SaveChoice&) {
    return std::optional<frmMain::SaveChoice>({csv, QStringLiteral("CSV (*.csv)")});
  });
  trigger("mnuExport");
  QVERIFY(m_errors.empty());
  std::ifstream in(csv.toStdString());
  std::stringstream text;
  text << in.rdbuf();
  QVERIFY2(text.str().find("Problem") != std::string::npos, text.str().c_str());
  QVERIFY2(text.str().find("CBR 96 kbit/s") != std::string::npos, text.str().c_str());

  // Kept: a new window lists them again without reading a file.
  m_window.reset();
  openWindow(m_path);
  trigger("mnuShowProblems");
  QCOMPARE(gridIds(), (QList<int>{2, 1, 1}));
  QCOMPARE(m_checked.load(), 3);

  // A cancelled question reads nothing and leaves the view.
  m_choice.reset();
  trigger("mnuCheckFiles");
  QCOMPARE(m_checked.load(), 3);
  QCOMPARE(gridIds(), (QList<int>{2, 1, 1}));
  QVERIFY(m_errors.empty());
}

void TestFrmMainCheck::folderChoiceReadsOnlyBelowThePickedFolder() {
  addSong("x/a.mp3");
  addSong("y/b.mp3");
  m_answers["a.mp3"] = {{"No audio", ""}};
  m_answers["b.mp3"] = {{"No audio", ""}};
  m_choice = CheckChoice{true, false};
  m_pick = QString::fromStdString(m_dir->path("Music") + "/y");
  trigger("mnuCheckFiles");  // no view is shown: the folder needs none
  QVERIFY(m_errors.empty());
  QCOMPARE(m_checked.load(), 1);
  QCOMPARE(gridIds(), QList<int>{2});
  // No folder picked: nothing read.
  m_pick.reset();
  trigger("mnuCheckFiles");
  QCOMPARE(m_checked.load(), 1);
  // The view choice without a view says so.
  m_choice = CheckChoice{};
  m_window.reset();
  openWindow(m_path);
  trigger("mnuCheckFiles");
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_checked.load(), 1);
}

void TestFrmMainCheck::readOnlyCatalogueIsRefusedBeforeTheQuestion() {
  m_window.reset();
  testsupport::SmallDisk disk(m_dir->path() / "disc", 1 << 20);
  if (!disk.mounted()) QSKIP(disk.whyNot().c_str());
  addSong("a.mp3");
  const std::string path = disk.path("music_1.mdb");
  std::filesystem::copy_file(m_path, path);
  QVERIFY(disk.makeReadOnly());
  openWindow(path);
  QTest::mouseClick(m_window->findChild<QAbstractButton*>("cmdShowAll"), Qt::LeftButton);
  trigger("mnuCheckFiles");
  QCOMPARE(m_asked, 0);
  QCOMPARE(m_checked.load(), 0);
  QCOMPARE(m_errors.size(), std::size_t{1});
  QCOMPARE(m_errors[0].first, SQLITE_READONLY);
  QVERIFY2(m_errors[0].second.startsWith("The catalogue is read-only"),
           qPrintable(m_errors[0].second));
  // Nothing was ever checked in it: Show Problems says so, and the view stays.
  trigger("mnuShowProblems");
  QCOMPARE(m_errors.size(), std::size_t{2});
  QCOMPARE(gridIds(), QList<int>{1});
  m_window.reset();
}

void TestFrmMainCheck::walksWaitForARunningCheckWhoseCancelIsSeen() {
  addSong("a.mp3");
  QTest::mouseClick(m_window->findChild<QAbstractButton*>("cmdShowAll"), Qt::LeftButton);
  testsupport::Gate inCheck, clicked;
  m_window->setFileChecker([&](const std::string&, const importer::HealthOptions&,
                               const std::atomic<bool>&) {
    inCheck.open();
    clicked.wait();
    return std::vector<importer::HealthFinding>();
  });
  // Clicks that come while the check runs, from its events.
  bool cancelDisabled = false;
  QString stopping;
  QMetaObject::invokeMethod(
      m_window.get(),
      [&] {
        QVERIFY(inCheck.wait());
        QTest::mouseClick(m_window->findChild<QAbstractButton*>("cmdAddDir"), Qt::LeftButton);
        trigger("mnuRescan");
        trigger("mnuRescanLast");
        auto* cancel = m_window->findChild<QAbstractButton*>("cmdCancelImport");
        QTest::mouseClick(cancel, Qt::LeftButton);
        cancelDisabled = !cancel->isEnabled();
        stopping = m_window->findChild<QLabel*>(QStringLiteral("lblImportStatus"))->text();
        clicked.open();
      },
      Qt::QueuedConnection);
  trigger("mnuCheckFiles");
  clicked.open();
  QVERIFY(inCheck.isOpen());
  QCOMPARE(m_picked, 0);  // no import or rescan began
  QVERIFY(cancelDisabled);
  QCOMPARE(stopping, QString::fromUtf8(ImportStatus::kStoppingText));
  QVERIFY2(m_window->findChild<QLabel*>(QStringLiteral("lblImportStatus"))
               ->text()
               .startsWith("Check stopped"),
           qPrintable(m_window->findChild<QLabel*>(QStringLiteral("lblImportStatus"))->text()));
  QVERIFY(m_errors.empty());
}

void TestFrmMainCheck::showProblemsSaysWhenItMakesTheTable() {
  // The catalogue is from before the companion tables: as a check would, the view says so.
  trigger("mnuShowProblems");
  QVERIFY(m_errors.empty());
  QCOMPARE(m_window->findChild<QLabel*>(QStringLiteral("lblNotice"))->text(),
           QString::fromLatin1(CheckRunner::kFindingsNotice));
  QCOMPARE(gridIds(), QList<int>{});
}

QTEST_MAIN(TestFrmMainCheck)
#include "frmmain_check_test.moc"
