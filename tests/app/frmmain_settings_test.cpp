// What the main window keeps between runs in its settings file, and the keys it answers to, on
// the real window with a settings file in a temporary folder: never the user's own.
#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/frmmain.h"
#include "windowtesting.h"
#include "catalog/boundgrid.h"
#include "catalog/datacontrol.h"
#include "catalog/export.h"
#include "importfakes.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

using IdList = QList<int>;

// Ends a wait for the window's events only when they never come; a busy machine never gets
// near it.
constexpr int kEventWaitMs = 60000;

class TestFrmMainSettings : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void windowGridFoldersAndFormatComeBack();
  void maximizedWindowStartsMaximized();
  void twoCopiesKeepEachOthersChanges();
  void withoutUsableSettingsTheWindowStartsAsAlways_data();
  void withoutUsableSettingsTheWindowStartsAsAlways();
  void shortcutsTriggerTheirEntries_data();
  void shortcutsTriggerTheirEntries();
  void enterInASearchBoxSearches_data();
  void enterInASearchBoxSearches();
  void f5RescansTheLastRescannedFolder();
  void everyButtonIsNamedForScreenReaders();

 private:
  std::shared_ptr<QSettings> settingsFile() {
    return std::make_shared<QSettings>(m_settingsPath, QSettings::IniFormat);
  }
  // A new window on the catalogue in place of the one before; without settings when null.
  void openWindow(std::shared_ptr<QSettings> settings);
  void showWindow();
  QHeaderView* headings() { return m_window->DBGrid1->horizontalHeader(); }
  int column(const QString& heading);
  QStringList headingsInOrder();
  std::vector<int> widths();
  // The widths a window without settings fits the catalogue's columns to in Show All.
  std::vector<int> fittedWidths();
  IdList shownIds();
  QString source() {
    const auto rs = m_window->Data1->Recordset();
    return rs ? QString::fromStdString(rs->source()) : QString();
  }
  int rowsStored() {
    return std::stoi(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"));
  }
  QString statusText() {
    return m_window->findChild<QLabel*>(QStringLiteral("lblImportStatus"))->text();
  }
  static QStringList unnamedButtons(QWidget* window);

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  QString m_settingsPath;
  QString m_music;
  std::optional<QString> m_pick;
  QStringList m_pickStarts;  // the start folder of every folder dialog
  std::optional<frmMain::SaveChoice> m_save;
  std::vector<frmMain::SaveChoice> m_saveStarts;
  std::vector<std::pair<int, QString>> m_errors;
  std::unique_ptr<frmMain> m_window;
};

// IDs 1 to 5, none of them a file; row 4 has no title.
void TestFrmMainSettings::init() {
  importfakes::resetHold();
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = m_dir->path("music_1.mdb");
  importfakes::makeCatalogue(m_path);
  testcatalogue::run(m_path,
                     "INSERT INTO music_shelf (Title, Artist, Year) VALUES "
                     "('Yellow Submarine', 'The Beatles', '2'), ('Help', 'The Beatles', '1965'),"
                     "('Don''t Stop', 'Fleetwood Mac', '1977'), (NULL, 'The Beatles', NULL),"
                     "('Angie', 'The Rolling Stones', '1973')");
  m_settingsPath = QFile::decodeName(m_dir->path("config/QuollsongDB.conf").c_str());
  m_music = QFile::decodeName(m_dir->path("Music").c_str());
  m_pick.reset();
  m_pickStarts.clear();
  m_save.reset();
  m_saveStarts.clear();
  m_errors.clear();
}

void TestFrmMainSettings::cleanup() {
  m_window.reset();
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String("frmTagReader")) delete w;
  QVERIFY(importfakes::endHold());
  m_dir.reset();
}

void TestFrmMainSettings::openWindow(std::shared_ptr<QSettings> settings) {
  m_window.reset();
  m_window = std::make_unique<frmMain>(
      QString::fromStdString(m_path),
      [this](int number, const QString& text) { m_errors.emplace_back(number, text); },
      [this](QWidget*, const QString&, const QString& start) {
        m_pickStarts << start;
        return m_pick;
      },
      importfakes::namedSongs());
  m_window->setQuestion([](const QString&) { return false; });
  m_window->setUrlOpener([](const QUrl&) { return false; });
  m_window->setSaveDialog(
      [this](QWidget*, const QString&, const QString&, const frmMain::SaveChoice& start) {
        m_saveStarts.push_back(start);
        return m_save;
      });
  if (settings) m_window->setSettings(std::move(settings));
  QVERIFY(m_window->Form_Load());
}

void TestFrmMainSettings::showWindow() {
  m_window->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_window.get(), kEventWaitMs));
  QApplication::setActiveWindow(m_window.get());
  QVERIFY(QTest::qWaitForWindowActive(m_window.get(), kEventWaitMs));
}

int TestFrmMainSettings::column(const QString& heading) {
  for (int c = 0; c < m_window->DBGrid1->model()->columnCount(); ++c)
    if (m_window->DBGrid1->columnCaption(c) == heading) return c;
  return -1;
}

QStringList TestFrmMainSettings::headingsInOrder() {
  QStringList order;
  for (int place = 0; place < headings()->count(); ++place)
    order << m_window->DBGrid1->columnCaption(headings()->logicalIndex(place));
  return order;
}

std::vector<int> TestFrmMainSettings::widths() {
  std::vector<int> result;
  for (int c = 0; c < headings()->count(); ++c) result.push_back(m_window->DBGrid1->columnWidth(c));
  return result;
}

std::vector<int> TestFrmMainSettings::fittedWidths() {
  auto kept = std::move(m_window);
  openWindow(nullptr);
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  std::vector<int> result = widths();
  m_window = std::move(kept);
  return result;
}

IdList TestFrmMainSettings::shownIds() {
  return windowtesting::shownIds(m_window->DBGrid1->model());
}

void TestFrmMainSettings::windowGridFoldersAndFormatComeBack() {
  const QString sub = m_music + QStringLiteral("/sub");
  const QString exports = QFile::decodeName(m_dir->path("Exports").c_str());
  importfakes::makeMusic(m_music, 4);
  QVERIFY(QDir().mkpath(exports));

  openWindow(settingsFile());
  m_window->resize(1000, 600);
  m_window->move(30, 40);
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  // The user drags Title wider and Artist before it.
  headings()->resizeSection(column(QStringLiteral("Title")), 222);
  headings()->moveSection(headings()->visualIndex(column(QStringLiteral("Artist"))),
                          headings()->visualIndex(column(QStringLiteral("Title"))));
  // Each dialog is left in a folder of its own.
  m_pick = m_music;
  QTest::mouseClick(m_window->cmdAddDir, Qt::LeftButton);
  m_pick = sub;
  m_window->mnuRescan->trigger();
  m_save = frmMain::SaveChoice{exports + QStringLiteral("/list"),
                               QString::fromLatin1(catalog::kM3u8Filter)};
  m_window->mnuExport->trigger();
  QVERIFY(QFile::exists(exports + QStringLiteral("/list.m3u8")));
  QVERIFY(m_errors.empty());
  QVERIFY(m_window->close());
  QVERIFY(QFile::exists(m_settingsPath));

  m_pickStarts.clear();
  m_saveStarts.clear();
  openWindow(settingsFile());
  showWindow();
  QCOMPARE(m_window->size(), QSize(1000, 600));
  QCOMPARE(m_window->pos(), QPoint(30, 40));
  QCOMPARE(m_window->mnuRescanLast->text(),
           QStringLiteral("Rescan Last Directory (%1)").arg(QDir::toNativeSeparators(sub)));
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  const QStringList order = headingsInOrder();
  QVERIFY(order.indexOf(QStringLiteral("Artist")) + 1 == order.indexOf(QStringLiteral("Title")));
  // Sorting by a heading shows the view again, in the same order.
  QTest::mouseClick(headings()->viewport(), Qt::LeftButton, {},
                    QPoint(headings()->sectionViewportPosition(0) + 5, headings()->height() / 2));
  QVERIFY(source().contains(QStringLiteral("ORDER BY")));
  QCOMPARE(headingsInOrder(), order);
  // A query that adds a column keeps that order too, and the catalogue's view after it.
  m_window->txtSQL->setPlainText(
      QStringLiteral("SELECT *, length(Title) AS Letters FROM music_shelf"));
  QTest::mouseClick(m_window->cmdSQL, Qt::LeftButton);
  QCOMPARE(headingsInOrder(), order + QStringList{QStringLiteral("Letters")});
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QCOMPARE(headingsInOrder(), order);
  std::vector<int> kept = widths();
  QCOMPARE(kept[column(QStringLiteral("Title"))], 222);
  // The columns nobody sized are fitted to the rows as they are now.
  std::vector<int> fitted = fittedWidths();
  kept[column(QStringLiteral("Title"))] = fitted[column(QStringLiteral("Title"))];
  QCOMPARE(kept, fitted);

  QTest::mouseClick(m_window->cmdAddDir, Qt::LeftButton);
  m_window->mnuRescan->trigger();
  QCOMPARE(m_pickStarts, (QStringList{m_music, sub}));
  m_window->mnuExport->trigger();
  QCOMPARE(m_saveStarts.size(), std::size_t{1});
  QCOMPARE(m_saveStarts[0].fileName, exports);
  QCOMPARE(m_saveStarts[0].filter, QString::fromLatin1(catalog::kM3u8Filter));
}

void TestFrmMainSettings::maximizedWindowStartsMaximized() {
  openWindow(settingsFile());
  m_window->showMaximized();
  QVERIFY(QTest::qWaitForWindowExposed(m_window.get(), kEventWaitMs));
  QVERIFY(m_window->close());

  openWindow(settingsFile());
  QVERIFY(m_window->windowState() & Qt::WindowMaximized);
}

void TestFrmMainSettings::withoutUsableSettingsTheWindowStartsAsAlways_data() {
  QTest::addColumn<QString>("file");
  QTest::addColumn<bool>("useSettings");
  QTest::addRow("no settings at all") << QString() << false;
  QTest::addRow("no settings file") << QString() << true;
  QTest::addRow("empty file") << QStringLiteral("") << true;
  QTest::addRow("not a settings file")
      << QStringLiteral("\x01\x02\xff\xfe[[[MainWindow\n==\n@Variant(\\0\\0\\0\\x7f\n\n\\\\x")
      << true;
  QTest::addRow("damaged values")
      << QStringLiteral(
             "[MainWindow]\n"
             "Geometry=@ByteArray(\\x1\\xd9\\xd0\\xcb\\0\\x3\\0\\0)\n"
             "ColumnWidths=@Variant(\\0\\0\\0\\b\\0\\0\\0\\x7f\\0\\0\\0\\xff)\n"
             "ColumnOrder=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x7)\n"
             "[Folders]\n"
             "Rescan=@Variant(\\0\\0\\0\\b\\0\\0\\0\\0)\n"
             "Export=@Invalid()\n"
             "[Export]\n"
             "Filter=Everything (*)\n")
      << true;
  QTest::addRow("values out of range") << QStringLiteral("widths") << true;
  QTest::addRow("a folder in its place") << QStringLiteral("folder") << true;
}

void TestFrmMainSettings::withoutUsableSettingsTheWindowStartsAsAlways() {
  QFETCH(QString, file);
  QFETCH(bool, useSettings);
  QVERIFY(QDir().mkpath(QFileInfo(m_settingsPath).path()));
  if (file == QLatin1String("folder")) {
    QVERIFY(QDir().mkpath(m_settingsPath));
  } else if (file == QLatin1String("widths")) {
    QSettings writer(m_settingsPath, QSettings::IniFormat);
    writer.setValue(QStringLiteral("MainWindow/ColumnWidths"),
                    QVariantMap{{QStringLiteral("Title"), -5},
                                {QStringLiteral("Artist"), QStringLiteral("wide")},
                                {QStringLiteral("Album"), 999999}});
    writer.setValue(QStringLiteral("MainWindow/ColumnOrder"), 7);
  } else if (!file.isNull()) {
    QFile out(m_settingsPath);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(file.toLatin1());
  }
  const std::vector<int> fitted = fittedWidths();

  openWindow(useSettings ? settingsFile() : nullptr);
  showWindow();
  QCOMPARE(m_window->centralWidget()->size(), QSize(798, 353));
  QCOMPARE(m_window->mnuRescanLast->text(), QStringLiteral("Rescan Last Directory"));
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  QCOMPARE(widths(), fitted);
  for (int place = 0; place < headings()->count(); ++place)
    QCOMPARE(headings()->logicalIndex(place), place);
  QTest::mouseClick(m_window->cmdAddDir, Qt::LeftButton);
  m_window->mnuExport->trigger();
  QCOMPARE(m_pickStarts, QStringList{QString()});
  QCOMPARE(m_saveStarts.size(), std::size_t{1});
  QVERIFY(m_saveStarts[0].fileName.isEmpty());
  QVERIFY(m_saveStarts[0].filter.isEmpty());
  QVERIFY(m_errors.empty());
  // Closing writes what it can, or nothing, and never fails.
  QVERIFY(m_window->close());
}

void TestFrmMainSettings::shortcutsTriggerTheirEntries_data() {
  QTest::addColumn<QKeySequence>("keys");
  QTest::addColumn<QString>("entry");
  QTest::addColumn<QString>("focus");
  for (const char* focus : {"DBGrid1", "txtTitle", "cmdShowAll"}) {
    QTest::addRow("Ctrl+Q from %s", focus)
        << QKeySequence(Qt::CTRL | Qt::Key_Q) << "mnufileExit" << focus;
    QTest::addRow("Ctrl+T from %s", focus)
        << QKeySequence(Qt::CTRL | Qt::Key_T) << "mnuTagReader" << focus;
    QTest::addRow("Ctrl+E from %s", focus)
        << QKeySequence(Qt::CTRL | Qt::Key_E) << "mnuExport" << focus;
    QTest::addRow("F5 from %s", focus) << QKeySequence(Qt::Key_F5) << "mnuRescanLast" << focus;
  }
}

void TestFrmMainSettings::shortcutsTriggerTheirEntries() {
  QFETCH(QKeySequence, keys);
  QFETCH(QString, entry);
  QFETCH(QString, focus);
  openWindow(nullptr);
  showWindow();
  QTest::mouseClick(m_window->cmdShowAll, Qt::LeftButton);
  auto* action = m_window->findChild<QAction*>(entry);
  QVERIFY(action);
  QCOMPARE(action->shortcut(), keys);
  QSignalSpy triggered(action, &QAction::triggered);
  auto* target = m_window->findChild<QWidget*>(focus);
  target->setFocus();
  QTest::keySequence(target, keys);
  QCOMPARE(triggered.size(), 1);
  // What each entry does, once.
  if (entry == QLatin1String("mnufileExit")) {
    QVERIFY(!m_window->isVisible());
  } else if (entry == QLatin1String("mnuTagReader")) {
    int readers = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
      readers += w->objectName() == QLatin1String("frmTagReader") && w->isVisible();
    QCOMPARE(readers, 1);
  } else if (entry == QLatin1String("mnuExport")) {
    QCOMPARE(m_saveStarts.size(), std::size_t{1});
  } else {
    QCOMPARE(m_pickStarts.size(), 1);
  }
  QVERIFY(m_errors.empty());
}

void TestFrmMainSettings::enterInASearchBoxSearches_data() {
  QTest::addColumn<QString>("box");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<int>("key");
  QTest::addColumn<QString>("condition");
  QTest::addColumn<IdList>("ids");
  QTest::addRow("Return in Title")
      << "txtTitle"
      << "el" << int(Qt::Key_Return) << "Title like '*el*'" << IdList{1, 2};
  QTest::addRow("keypad Enter in Artist")
      << "txtArtist"
      << "Roll" << int(Qt::Key_Enter) << "Artist like '*Roll*'" << IdList{5};
  QTest::addRow("an apostrophe in Title")
      << "txtTitle"
      << "Don't" << int(Qt::Key_Return) << "Title like '*Don''t*'" << IdList{3};
}

void TestFrmMainSettings::enterInASearchBoxSearches() {
  QFETCH(QString, box);
  QFETCH(QString, typed);
  QFETCH(int, key);
  QFETCH(QString, condition);
  QFETCH(IdList, ids);
  openWindow(nullptr);
  showWindow();
  auto* edit = m_window->findChild<QLineEdit*>(box);
  edit->setFocus();
  QTest::keyClicks(edit, typed);
  QTest::keyClick(edit, static_cast<Qt::Key>(key),
                  key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
  QCOMPARE(source(), QStringLiteral("SELECT * FROM music_shelf WHERE ") + condition);
  QCOMPARE(shownIds(), ids);
  QVERIFY(m_errors.empty());
}

void TestFrmMainSettings::f5RescansTheLastRescannedFolder() {
  importfakes::makeMusic(m_music, 2);
  openWindow(settingsFile());
  showWindow();

  // None yet: F5 asks as Rescan Directory does; cancelled, nothing is kept.
  QTest::keyClick(m_window.get(), Qt::Key_F5);
  QCOMPARE(m_pickStarts, QStringList{QString()});
  QCOMPARE(m_window->mnuRescanLast->text(), QStringLiteral("Rescan Last Directory"));
  m_pick = m_music;
  QTest::keyClick(m_window.get(), Qt::Key_F5);
  QCOMPARE(m_pickStarts.size(), 2);
  QCOMPARE(rowsStored(), 5 + 2);
  QCOMPARE(m_window->mnuRescanLast->text(),
           QStringLiteral("Rescan Last Directory (%1)").arg(QDir::toNativeSeparators(m_music)));

  // Now it rescans that folder without asking, also in a window opened later.
  importfakes::touch(m_music + QStringLiteral("/new.mp3"));
  QTest::keyClick(m_window.get(), Qt::Key_F5);
  QCOMPARE(m_pickStarts.size(), 2);
  QCOMPARE(rowsStored(), 5 + 3);
  QVERIFY(m_window->close());
  openWindow(settingsFile());
  showWindow();
  importfakes::touch(m_music + QStringLiteral("/newer.mp3"));
  QTest::keyClick(m_window.get(), Qt::Key_F5);
  QCOMPARE(m_pickStarts.size(), 2);
  QCOMPARE(rowsStored(), 5 + 4);
  QVERIFY(statusText().startsWith(QStringLiteral("Rescan of %1: 1 added").arg(m_music)));

  // A folder chosen in Rescan Directory becomes the last; an ampersand in it stays one, and a
  // long path is cut in the middle.
  const QString rock =
      m_music + QStringLiteral("/a folder name long enough to be cut short/Rock & Roll");
  QVERIFY(QDir().mkpath(rock));
  m_pick = rock;
  m_window->mnuRescan->trigger();
  QCOMPARE(m_pickStarts.last(), m_music);
  const QString text = m_window->mnuRescanLast->text();
  QVERIFY2(text.endsWith(QStringLiteral("/Rock && Roll)")), qPrintable(text));
  QVERIFY2(text.contains(QChar(0x2026)), qPrintable(text));
  QVERIFY(text.size() <= QStringLiteral("Rescan Last Directory ()").size() + 60 + 1);
  QVERIFY(m_errors.empty());
}

QStringList TestFrmMainSettings::unnamedButtons(QWidget* window) {
  QStringList unnamed;
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
    if (!qobject_cast<QPushButton*>(b) && !qobject_cast<QToolButton*>(b)) continue;
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(b);
    if (!a || a->text(QAccessible::Name).trimmed().isEmpty()) unnamed << b->objectName();
  }
  return unnamed;
}

void TestFrmMainSettings::everyButtonIsNamedForScreenReaders() {
  openWindow(nullptr);
  showWindow();
  QStringList unnamed = unnamedButtons(m_window.get());
  QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QStringLiteral(", "))));
  QStringList navigator;
  for (const char* name : {"First", "Previous", "Next", "Last"})
    navigator
        << m_window->Data1->findChild<QToolButton*>(QString::fromLatin1(name))->accessibleName();
  QCOMPARE(navigator,
           (QStringList{QStringLiteral("First record"), QStringLiteral("Previous record"),
                        QStringLiteral("Next record"), QStringLiteral("Last record")}));
  // Every button that takes the focus is in the Tab chain.
  QStringList chain;
  QWidget* w = m_window->Command1;
  do {
    chain << w->objectName();
    w = w->nextInFocusChain();
  } while (w != m_window->Command1);
  for (QPushButton* b : m_window->centralWidget()->findChildren<QPushButton*>())
    if (b->focusPolicy() & Qt::TabFocus)
      QVERIFY2(chain.contains(b->objectName()), qPrintable(b->objectName()));

  m_window->mnuTagReader->trigger();
  QWidget* reader = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets())
    if (top->objectName() == QLatin1String("frmTagReader")) reader = top;
  QVERIFY(reader);
  unnamed = unnamedButtons(reader);
  QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QStringLiteral(", "))));
}

// Two copies of the program, each with what it read at its start: a change of one is not undone
// by the next change of the other.
void TestFrmMainSettings::twoCopiesKeepEachOthersChanges() {
  WindowSettings first(settingsFile());
  WindowSettings second(settingsFile());
  first.setFolder(WindowSettings::Folder::AddDirectory, QStringLiteral("/music/new"));
  second.setFolder(WindowSettings::Folder::Rescan, QStringLiteral("/music/old"));
  second.keepWindow(QByteArray(), {{QStringLiteral("Title"), 222}}, {});
  first.setExportFilter(QStringLiteral("M3U8"));
  const WindowSettings later(settingsFile());
  QCOMPARE(later.folder(WindowSettings::Folder::AddDirectory), QStringLiteral("/music/new"));
  QCOMPARE(later.folder(WindowSettings::Folder::Rescan), QStringLiteral("/music/old"));
  QCOMPARE(later.columnWidths().value(QStringLiteral("Title")), 222);
  QCOMPARE(later.exportFilter(), QStringLiteral("M3U8"));
}

QTEST_MAIN(TestFrmMainSettings)
#include "frmmain_settings_test.moc"
