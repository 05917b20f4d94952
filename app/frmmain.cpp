#include "app/frmmain.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QDesktopServices>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QPointer>
#include <QScopedValueRollback>
#include <QSet>
#include <QStatusBar>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>
#include <utility>

#include "app/captionbutton.h"
#include "app/checkrunner.h"
#include "app/frmstatistics.h"
#include "app/gridextent.h"
#include "app/importrunner.h"
#include "app/importstatus.h"
#include "app/viewcounter.h"
#include "catalog/boundgrid.h"
#include "catalog/catalogue.h"
#include "catalog/datacontrol.h"
#include "catalog/export.h"
#include "catalog/filterquery.h"
#include "catalog/lengths.h"
#include "catalog/recordsetmodel.h"
#include "catalog/searchindex.h"
#include "catalog/searchindexer.h"
#include "catalog/statements.h"
#include "catalog/undo.h"
#include "engine/errors.h"
#include "engine/fileexists.h"
#include "engine/sqltext.h"
#include "engine/utf8.h"
#include "import/importsummary.h"
#include "import/readmp3info.h"
#include "import/shelffiles.h"
#include "tagreader/frmtagreader.h"
#include "ui/twips.h"

namespace {

// `text` on one line of a log: control characters as "\x.." escapes.
QString oneLine(const QString& text) {
  QString line;
  line.reserve(text.size());
  for (const QChar c : text) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F)
      line += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    else
      line += c;
  }
  return line;
}

// The inner area at start, in twips.
constexpr int kClientWidth = 11970;
constexpr int kClientHeight = 5295;
constexpr double kControlPointSize = 8.25;
constexpr double kSmallestLabelPointSize = 6.0;
// How long after a view is shown its rows are counted, when the window counts them itself.
constexpr int kRowCountDelayMs = 100;
// The pause in typing after which the filter is shown. A filter the index cannot narrow down (a
// word of one or two letters, only exclusions or numbers) may read every row before its first
// screen is full, so it waits for a longer pause: typing on to a longer word never waits for it.
constexpr int kFilterPauseMs = 150;
constexpr int kUnindexedFilterPauseMs = 700;
// A filter that took longer than this to show counts as slow.
constexpr qint64 kSlowFilterMs = 50;
// A cell edit another program's lock kept out is tried again this often, each try waiting only
// this long for the lock, so that the window goes on meanwhile.
constexpr int kKeptEditRetryMs = 1000;
constexpr std::chrono::milliseconds kKeptEditLockWait{200};

QString songCount(std::size_t count) {
  return QString::fromStdString(importer::groupedNumber(static_cast<std::int64_t>(count)));
}
// Rescan Last Directory names its folder up to this many characters, cut in the middle beyond.
constexpr qsizetype kLongestFolderInMenu = 60;

void place(QWidget* widget, int left, int top, int width, int height) {
  widget->setGeometry(twips::toPixels(left), twips::toPixels(top), twips::toPixels(width),
                      twips::toPixels(height));
}

template <typename Widget>
Widget* named(Widget* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton* button(QWidget* parent, const char* name, const char* caption) {
  auto* b = named(new CaptionButton(QString::fromLatin1(caption), parent), name);
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

QLabel* label(QWidget* parent, const char* name, const char* caption) {
  auto* l = named(new QLabel(QString::fromLatin1(caption), parent), name);
  l->setTextFormat(Qt::PlainText);
  l->setFocusPolicy(Qt::NoFocus);
  return l;
}

// The labels keep their fixed widths; a caption that does not fit in the window's font is set
// a little smaller rather than cut off.
void fitCaption(QLabel* l) {
  QFont font = l->font();
  while (QFontMetricsF(font).horizontalAdvance(l->text()) > l->width() &&
         font.pointSizeF() > kSmallestLabelPointSize)
    font.setPointSizeF(font.pointSizeF() - 0.25);
  l->setFont(font);
}

}  // namespace

frmMain::frmMain(QString catalogPath, ui::ErrorDisplay errorDisplay,
                 importer::FolderPicker folderPicker, importer::Mp3InfoFactory mp3InfoFactory,
                 QWidget* parent)
    : QMainWindow(parent),
      m_catalogPath(std::move(catalogPath)),
      m_errorDisplay(std::move(errorDisplay)),
      m_folderPicker(std::move(folderPicker)),
      m_mp3InfoFactory(std::move(mp3InfoFactory)),
      // Every row goes to the newest handle: a view button may reopen the catalogue meanwhile.
      m_runner(std::make_unique<ImportRunner>(m_mp3InfoFactory, [this] { return dbMusic; })) {
  m_openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  m_saveDialog = [](QWidget* parent, const QString& caption, const QString& filters,
                    const SaveChoice& start) -> std::optional<SaveChoice> {
    SaveChoice choice;
    choice.filter = start.filter;
    choice.fileName = QFileDialog::getSaveFileName(parent, caption, start.fileName, filters,
                                                   &choice.filter);
    if (choice.fileName.isEmpty()) return std::nullopt;
    return choice;
  };
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Quollsong Database"));
  buildControls();
  buildMenus();
  buildEditMenu();
  buildKeyboard();
  buildStatusBar();
  buildFilterBox();
  // In the Catalogue menu after every entry the steps above added; Check Files follows it.
  mnuStatistics =
      named(mnuCatalogue->addAction(QStringLiteral("Statistics\u2026")), "mnuStatistics");
  connect(mnuStatistics, &QAction::triggered, this, &frmMain::mnuStatistics_Click);
  wireImportRunner();
  buildCheckFiles();
  // The status bar adds its own height below the inner area, which keeps its size.
  resize(twips::toPixels(kClientWidth), twips::toPixels(kClientHeight) +
                                            menuBar()->sizeHint().height() +
                                            statusBar()->sizeHint().height());
}

frmMain::~frmMain() = default;

void frmMain::setQuestion(ui::Question question) {
  // No question at all means none is asked, as before (a close is not refused for want of one).
  if (!question) {
    m_question = {};
    m_runner->setQuestion({});
    return;
  }
  // Once the session ends nobody is there to answer: nothing is asked, and an answer that comes
  // after it (a dialog cancelled by the close) is No, which keeps everything as it is.
  m_question = [this, question = std::move(question)](const QString& text) {
    if (m_closingForSignal) return false;
    const bool yes = question(text);
    return yes && !m_closingForSignal;
  };
  m_runner->setQuestion(m_question);
}

void frmMain::buildControls() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(kControlPointSize);
  client->setFont(font);
  setCentralWidget(client);
  client->installEventFilter(this);

  Command1 = button(client, "Command1", "Assign Table-type");
  place(Command1, 10560, 60, 1365, 705);
  cmdShowAll = button(client, "cmdShowAll", "Show All Records");
  place(cmdShowAll, 30, 60, 1665, 645);
  Command3 = button(client, "Command3", "Assign Snapshot-type");
  place(Command3, 10560, 810, 1365, 705);
  txtTitle = named(new QLineEdit(client), "txtTitle");
  place(txtTitle, 2370, 390, 2895, 285);
  txtArtist = named(new QLineEdit(client), "txtArtist");
  place(txtArtist, 2370, 60, 2895, 285);
  DBGrid1 = named(new catalog::BoundGrid(client), "DBGrid1");
  place(DBGrid1, 30, 1710, 11745, 3375);
  txtSQL = named(new QPlainTextEdit(client), "txtSQL");
  txtSQL->setTabChangesFocus(true);
  place(txtSQL, 7110, 240, 3315, 945);
  cmdSQL = button(client, "cmdSQL", "Execute SQL statement");
  place(cmdSQL, 7110, 1260, 3315, 405);
  Label1 = label(client, "Label1", "SQL statement:");
  place(Label1, 7140, 60, 1095, 195);
  Label2[0] = label(client, "Label2_0", "Title");
  place(Label2[0], 1920, 450, 300, 195);
  Label2[1] = label(client, "Label2_1", "Artist");
  place(Label2[1], 1920, 120, 345, 195);
  for (QLabel* l : {Label1, Label2[0], Label2[1]}) fitCaption(l);
  cmdSearch = button(client, "cmdSearch", "Search");
  place(cmdSearch, 5430, 60, 1515, 645);
  cmdAdd = button(client, "cmdAdd", "Add One Song");
  place(cmdAdd, 30, 810, 1395, 405);
  cmdDelet = button(client, "cmdDelet", "Delete Selected Record");
  place(cmdDelet, 2760, 810, 1995, 405);
  cmdUpdate = button(client, "cmdUpdate", "Update Mp3 Tags");
  place(cmdUpdate, 4800, 810, 2145, 405);
  cmdAddDir = button(client, "cmdAddDir", "Add Directory");
  place(cmdAddDir, 1470, 810, 1245, 405);
  Data1 = named(new catalog::DataControl(client), "Data1");
  place(Data1, 30, 1260, 6915, 405);

  Data1->bindTextBox(txtTitle, "Title");
  Data1->bindTextBox(txtArtist, "Artist");
  DBGrid1->setDataControl(Data1);

  QWidget* order[] = {Command1, cmdShowAll, Command3, txtTitle,  txtArtist, DBGrid1,  txtSQL,
                      cmdSQL,   cmdSearch,  cmdAdd,   cmdDelet,  cmdUpdate, cmdAddDir};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  // What a screen reader calls the boxes and the grid; the labels beside them say the same.
  txtTitle->setAccessibleName(QStringLiteral("Title"));
  txtArtist->setAccessibleName(QStringLiteral("Artist"));
  txtSQL->setAccessibleName(QStringLiteral("SQL statement"));
  DBGrid1->setAccessibleName(QStringLiteral("Songs"));
  Data1->setAccessibleName(QStringLiteral("Record navigator"));
  Label2[0]->setBuddy(txtTitle);
  Label2[1]->setBuddy(txtArtist);
  Label1->setBuddy(txtSQL);

  connect(cmdShowAll, &QPushButton::clicked, this, &frmMain::cmdShowAll_Click);
  connect(cmdSearch, &QPushButton::clicked, this, &frmMain::cmdSearch_Click);
  connect(Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
  connect(Command3, &QPushButton::clicked, this, &frmMain::Command3_Click);
  connect(DBGrid1, &catalog::BoundGrid::headClick, this, &frmMain::DBGrid1_HeadClick);
  connect(cmdSQL, &QPushButton::clicked, this, &frmMain::cmdSQL_Click);
  connect(cmdDelet, &QPushButton::clicked, this, &frmMain::cmdDelet_Click);
  connect(cmdAdd, &QPushButton::clicked, this, &frmMain::cmdAdd_Click);
  connect(cmdUpdate, &QPushButton::clicked, this, &frmMain::cmdUpdate_Click);
  connect(cmdAddDir, &QPushButton::clicked, this, &frmMain::cmdAddDir_Click);
  connect(txtTitle, &QLineEdit::textChanged, this, &frmMain::txtTitle_Change);
  // Errors met while the grid reads or edits, or while the navigator moves: shown once the
  // event that raised them is over, never from inside a paint or a model call.
  connect(Data1, &catalog::DataControl::error, this, &frmMain::showError, Qt::QueuedConnection);
  connect(DBGrid1, &catalog::BoundGrid::rowMenuRequested, this, &frmMain::showRowMenu);
}

void frmMain::buildMenus() {
  mnufile = named(menuBar()->addMenu(QStringLiteral("&File")), "mnufile");
  mnufileExit = named(mnufile->addAction(QStringLiteral("E&xit")), "mnufileExit");
  mnuDebug = named(menuBar()->addMenu(QStringLiteral("&Debug")), "mnuDebug");
  mnuTagReader = named(mnuDebug->addAction(QStringLiteral("MP3 tag reader")), "mnuTagReader");
  connect(mnufileExit, &QAction::triggered, this, &frmMain::mnufileExit_Click);
  connect(mnuTagReader, &QAction::triggered, this, &frmMain::mnuTagReader_Click);

  mnuCatalogue = named(menuBar()->addMenu(QStringLiteral("&Catalogue")), "mnuCatalogue");
  mnuRescan = named(mnuCatalogue->addAction(QStringLiteral("Rescan Directory\u2026")), "mnuRescan");
  mnuShowMissing =
      named(mnuCatalogue->addAction(QStringLiteral("Show Missing Files")), "mnuShowMissing");
  mnuShowDuplicates =
      named(mnuCatalogue->addAction(QStringLiteral("Show Duplicates")), "mnuShowDuplicates");
  mnuShowDuplicateSongs = named(mnuCatalogue->addAction(QStringLiteral("Show Duplicate Songs")),
                                "mnuShowDuplicateSongs");
  connect(mnuRescan, &QAction::triggered, this, &frmMain::mnuRescan_Click);
  connect(mnuShowMissing, &QAction::triggered, this, &frmMain::mnuShowMissing_Click);
  mnuExport = named(mnuCatalogue->addAction(QStringLiteral("Export View\u2026")), "mnuExport");
  connect(mnuShowDuplicates, &QAction::triggered, this, &frmMain::mnuShowDuplicates_Click);
  connect(mnuShowDuplicateSongs, &QAction::triggered, this,
          &frmMain::mnuShowDuplicateSongs_Click);
  connect(mnuExport, &QAction::triggered, this, &frmMain::mnuExport_Click);

  // A row's own menu, opened on the grid: nothing in it changes the row.
  mnuRow = named(new QMenu(this), "mnuRow");
  mnuPlay = named(mnuRow->addAction(QStringLiteral("Play")), "mnuPlay");
  mnuOpenFolder =
      named(mnuRow->addAction(QStringLiteral("Open Containing Folder")), "mnuOpenFolder");
  mnuCopyPath = named(mnuRow->addAction(QStringLiteral("Copy Path")), "mnuCopyPath");
  connect(mnuPlay, &QAction::triggered, this, &frmMain::mnuPlay_Click);
  connect(mnuOpenFolder, &QAction::triggered, this, &frmMain::mnuOpenFolder_Click);
  connect(mnuCopyPath, &QAction::triggered, this, &frmMain::mnuCopyPath_Click);
}

void frmMain::buildEditMenu() {
  mnuEdit = named(new QMenu(QStringLiteral("&Edit"), this), "mnuEdit");
  // Right after Debug, before whatever menus follow it.
  const QList<QAction*> bar = menuBar()->actions();
  const qsizetype debug = bar.indexOf(mnuDebug->menuAction());
  if (debug >= 0 && debug + 1 < bar.size())
    menuBar()->insertMenu(bar[debug + 1], mnuEdit);
  else
    menuBar()->addMenu(mnuEdit);
  mnuUndo = named(mnuEdit->addAction(QStringLiteral("&Undo")), "mnuUndo");
  mnuUndo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
  mnuRedo = named(mnuEdit->addAction(QStringLiteral("&Redo")), "mnuRedo");
  mnuRedo->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
  connect(mnuUndo, &QAction::triggered, this, &frmMain::mnuUndo_Click);
  connect(mnuRedo, &QAction::triggered, this, &frmMain::mnuRedo_Click);

  m_undo = new catalog::UndoStack(this);
  connect(m_undo, &catalog::UndoStack::changed, this, &frmMain::showUndoEntries);
  showUndoEntries();

  // A cell edit keeps the row as it was just before, for Undo. A failure to read it costs the
  // step, never the edit.
  catalog::RecordsetModel* model = Data1->model();
  connect(model, &catalog::RecordsetModel::cellAboutToBeWritten, this, [this](int row) {
    m_editedBefore.clear();
    m_editedId = Data1->idOfRow(row);
    if (!m_editedId || !dbMusic) return;
    try {
      m_editedBefore = catalog::readSongRows(*dbMusic, {*m_editedId});
    } catch (const std::exception&) {
      m_editedId.reset();
    }
  });
  connect(model, &catalog::RecordsetModel::cellWritten, this, [this](int, int column) {
    if (!m_editedId || m_editedBefore.empty()) return;
    const std::int64_t id = *m_editedId;
    m_editedId.reset();
    guarded([&] {
      m_undo->record(database(), QStringLiteral("Edit ") + DBGrid1->columnCaption(column), {id},
                     m_editedBefore, true);
    });
  });

  // An edit the lock kept out is written once the other program lets go.
  m_keptEditRetry = new QTimer(this);
  m_keptEditRetry->setSingleShot(true);
  m_keptEditRetry->setInterval(kKeptEditRetryMs);
  connect(m_keptEditRetry, &QTimer::timeout, this, &frmMain::retryKeptEdit);
  connect(model, &catalog::RecordsetModel::editKept, this, [this] {
    const auto& kept = Data1->model()->keptEdits();
    if (kept.empty()) return;
    statusBar()->showMessage(
        QStringLiteral("Another program is holding the catalogue. Your edit of %1 is kept and "
                       "will be saved once it lets go.")
            .arg(QString::fromStdString(kept.back().field)));
    m_keptEditRetry->start();
  });

  // Delete in the grid does what the button does.
  connect(DBGrid1, &catalog::BoundGrid::deletePressed, this, &frmMain::cmdDelet_Click);
}

void frmMain::showUndoEntries() {
  mnuUndo->setEnabled(m_undo->canUndo());
  mnuUndo->setText(m_undo->canUndo() ? QStringLiteral("&Undo ") + m_undo->undoLabel()
                                     : QStringLiteral("&Undo"));
  mnuRedo->setEnabled(m_undo->canRedo());
  mnuRedo->setText(m_undo->canRedo() ? QStringLiteral("&Redo ") + m_undo->redoLabel()
                                     : QStringLiteral("&Redo"));
}

void frmMain::mnuUndo_Click() { stepUndo(true); }

void frmMain::mnuRedo_Click() { stepUndo(false); }

void frmMain::stepUndo(bool undoing) {
  guarded([&] {
    const int near = Data1->currentRow();
    const catalog::UndoStack::Outcome outcome =
        undoing ? m_undo->undo(database(), m_question) : m_undo->redo(database(), m_question);
    if (outcome.done) reloadViewAt(outcome.row, near);
  });
}

void frmMain::retryKeptEdit() {
  catalog::RecordsetModel* model = Data1->model();
  if (model->keptEdits().empty() || m_unloaded) return;
  // A copy: each try changes the model's list.
  const std::vector<catalog::RecordsetModel::KeptEdit> kept = model->keptEdits();
  QStringList said;
  bool saved = false;
  for (const catalog::RecordsetModel::KeptEdit& edit : kept) {
    const KeptOutcome outcome = saveKeptEdit(edit, said);
    if (outcome == KeptOutcome::kSaved) saved = true;
    // The lock is still there: the edits after this one would wait for it in vain.
    if (outcome == KeptOutcome::kWaiting) {
      m_keptEditRetry->start();
      break;
    }
  }
  if (!said.isEmpty()) statusBar()->showMessage(said.join(QLatin1Char(' ')));
  if (saved) {
    // As after any cell edit: the count, the lengths and the filter's index may have changed.
    countRowsSoon();
    startIndexCatchUp();
  }
}

frmMain::KeptOutcome frmMain::saveKeptEdit(const catalog::RecordsetModel::KeptEdit& kept,
                                           QStringList& said) {
  catalog::RecordsetModel* model = Data1->model();
  const QString field = QString::fromStdString(kept.field);
  try {
    engine::Database& db = database();
    const std::vector<std::optional<catalog::SongRow>> before =
        catalog::readSongRows(db, {kept.id});
    if (!before[0])
      throw engine::EngineError(
          engine::err::kRecordDeleted,
          "The song was deleted meanwhile, so your edit of " + kept.field + " could not be saved.");
    const catalog::FieldText* now = catalog::songField(*before[0], kept.field);
    if (now && *now != catalog::fieldTextOf(kept.before)) {
      // Saved meanwhile, by Update Mp3 Tags, another view or another program: that value is
      // newer than what was typed here.
      model->dropKeptEdit(kept.id, kept.field);
      said << QStringLiteral("Your edit of %1 was not saved: %1 was changed to \"%2\" meanwhile.")
                  .arg(field, catalog::shownText(QString::fromStdString(now->value_or(std::string()))));
      return KeptOutcome::kGivenUp;
    }
    if (kept.row >= 0) {
      // Still the view it was typed in: written through it, so its row shows what was stored
      // and the boxes keep whatever is typed there meanwhile.
      const std::optional<std::chrono::milliseconds> usual = db.lockWait();
      db.setLockWait(kKeptEditLockWait);
      try {
        model->updateRow(kept.row, {{model->fieldOfColumn(kept.column), kept.value}});
      } catch (...) {
        db.setLockWait(usual);
        throw;
      }
      db.setLockWait(usual);
    } else {
      catalog::writeSongField(db, kept.id, kept.field, kept.value, kKeptEditLockWait);
    }
    model->dropKeptEdit(kept.id, kept.field);
    said << QStringLiteral("Your edit of %1 was saved.").arg(field);
    guarded([&] { m_undo->record(db, QStringLiteral("Edit ") + field, {kept.id}, before, true); });
    return KeptOutcome::kSaved;
  } catch (const engine::EngineError& e) {
    if (engine::isLockTimeout(e)) return KeptOutcome::kWaiting;
    model->dropKeptEdit(kept.id, kept.field);
    said << QStringLiteral("Your edit of %1 could not be saved.").arg(field);
    showError(e.number(), QString::fromStdString(e.description()));
  } catch (const std::exception& e) {
    model->dropKeptEdit(kept.id, kept.field);
    said << QStringLiteral("Your edit of %1 could not be saved.").arg(field);
    const catalog::ErrorInfo info = catalog::describeError(e);
    showError(info.number, QString::fromStdString(info.description));
  }
  return KeptOutcome::kGivenUp;
}

void frmMain::dropOverwrittenKeptEdits(const catalog::SongRow& before) {
  catalog::RecordsetModel* model = Data1->model();
  const std::vector<catalog::RecordsetModel::KeptEdit> kept = model->keptEdits();
  if (std::none_of(kept.begin(), kept.end(), [&](const auto& k) { return k.id == before.id; }))
    return;
  std::vector<std::optional<catalog::SongRow>> after;
  try {
    after = catalog::readSongRows(database(), {before.id});
  } catch (const std::exception&) {
    // The retry compares the field with what it held before the edit, and gives it up then.
    return;
  }
  if (!after[0]) return;
  QStringList said;
  for (const catalog::RecordsetModel::KeptEdit& edit : kept) {
    if (edit.id != before.id) continue;
    const catalog::FieldText* was = catalog::songField(before, edit.field);
    const catalog::FieldText* now = catalog::songField(*after[0], edit.field);
    if (!was || !now || *was == *now) continue;
    model->dropKeptEdit(edit.id, edit.field);
    said << QStringLiteral("Your earlier edit of %1 was given up: Update Mp3 Tags saved %1.")
                .arg(QString::fromStdString(edit.field));
  }
  if (!said.isEmpty()) statusBar()->showMessage(said.join(QLatin1Char(' ')));
}

void frmMain::buildKeyboard() {
  mnufileExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  mnuTagReader->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
  mnuExport->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  // Last in its menu, so that the entries before it keep their places.
  mnuRescanLast = named(mnuCatalogue->addAction(QString()), "mnuRescanLast");
  mnuRescanLast->setShortcut(QKeySequence(Qt::Key_F5));
  connect(mnuRescanLast, &QAction::triggered, this, &frmMain::mnuRescanLast_Click);
  showRescanLast();

  // Enter in a search box is a click on Search, disabled or not as the button is.
  for (QLineEdit* box : {txtTitle, txtArtist})
    connect(box, &QLineEdit::returnPressed, cmdSearch, &QPushButton::click);

  // A screen reader names a button by its accessible name, else by its caption.
  for (QPushButton* b : {Command1, cmdShowAll, Command3, cmdSQL, cmdSearch, cmdAdd, cmdDelet,
                         cmdUpdate, cmdAddDir})
    b->setAccessibleName(b->text());
  // The menu bar's own button for the menus that do not fit has no name of its own.
  if (auto* more = menuBar()->findChild<QToolButton*>(QStringLiteral("qt_menubar_ext_button")))
    more->setAccessibleName(QStringLiteral("More menus"));
}

void frmMain::showRescanLast() {
  QString folder = QDir::toNativeSeparators(m_settings.folder(WindowSettings::Folder::Rescan));
  if (folder.isEmpty()) {
    mnuRescanLast->setText(QStringLiteral("Rescan Last Directory"));
    return;
  }
  if (folder.size() > kLongestFolderInMenu) {
    const qsizetype head = kLongestFolderInMenu / 3;
    folder = folder.left(head) + QChar(0x2026) + folder.right(kLongestFolderInMenu - head - 1);
  }
  // An ampersand in a folder's name is no mnemonic.
  folder.replace(QLatin1Char('&'), QStringLiteral("&&"));
  mnuRescanLast->setText(QStringLiteral("Rescan Last Directory (%1)").arg(folder));
}

void frmMain::setSettings(std::shared_ptr<QSettings> settings) {
  m_settingsStore = settings;
  m_settings = WindowSettings(std::move(settings));
  // A size and place that cannot be restored leave the window as it starts without them.
  const QByteArray geometry = m_settings.geometry();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  DBGrid1->setUserWidths(m_settings.columnWidths());
  DBGrid1->setUserColumnOrder(m_settings.columnOrder());
  showRescanLast();
}

void frmMain::buildStatusBar() {
  m_importStatus = new ImportStatus(statusBar());
  statusBar()->addWidget(m_importStatus, 1);
  lblNotice = named(new QLabel(statusBar()), "lblNotice");
  lblNotice->setTextFormat(Qt::PlainText);
  // Like the import's summary, a long notice must not widen the window.
  lblNotice->setMinimumWidth(1);
  statusBar()->addWidget(lblNotice);

  lblRowCount = named(new QLabel(statusBar()), "lblRowCount");
  lblRowCount->setTextFormat(Qt::PlainText);
  statusBar()->addPermanentWidget(lblRowCount);

  // An edited cell can change what the view counts (a title emptied) or lasts (a length).
  connect(Data1->model(), &catalog::RecordsetModel::cellWritten, this, [this] {
    countRowsSoon();
    startIndexCatchUp();
  });

  lblReadOnly = named(new QLabel(QStringLiteral("Read-only"), statusBar()), "lblReadOnly");
  lblReadOnly->hide();
  statusBar()->addPermanentWidget(lblReadOnly);
}

void frmMain::buildFilterBox() {
  // In the menu bar's corner, where it moves none of the window's controls.
  txtFilter = named(new QLineEdit(menuBar()), "txtFilter");
  txtFilter->setAccessibleName(QStringLiteral("Filter"));
  txtFilter->setPlaceholderText(QStringLiteral("Filter"));
  txtFilter->setClearButtonEnabled(true);
  // The clear button is a button of its own to a screen reader.
  for (QToolButton* clear : txtFilter->findChildren<QToolButton*>())
    clear->setAccessibleName(QStringLiteral("Clear filter"));
  txtFilter->setMinimumWidth(twips::toPixels(3600));
  txtFilter->installEventFilter(this);
  menuBar()->setCornerWidget(txtFilter, Qt::TopRightCorner);
  setTabOrder(cmdAddDir, txtFilter);  // after the window's own controls
  m_filterTimer = new QTimer(this);
  m_filterTimer->setObjectName(QStringLiteral("filterPause"));
  m_filterTimer->setSingleShot(true);
  m_filterTimer->setTimerType(Qt::PreciseTimer);
  connect(m_filterTimer, &QTimer::timeout, this, &frmMain::applyFilter);
  connect(txtFilter, &QLineEdit::textEdited, this, &frmMain::txtFilter_Change);
  // The clear button empties the box without an edit of the user's.
  connect(txtFilter, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (text.isEmpty() && m_filterShown) txtFilter_Change();
  });

  mnuFilter = named(mnuCatalogue->addAction(QStringLiteral("Filter")), "mnuFilter");
  mnuFilter->setShortcut(QKeySequence::Find);
  connect(mnuFilter, &QAction::triggered, this, &frmMain::mnuFilter_Click);

}

void frmMain::wireImportRunner() {
  ImportRunner* runner = m_runner.get();
  connect(m_importStatus, &ImportStatus::cancelClicked, runner, &ImportRunner::cancel);
  connect(runner, &ImportRunner::walkStarted, this,
          [this, runner](const std::string& folder, ImportRunner::Walk walk) {
            m_importStatus->start(folder, [runner] { return runner->progress(); }, walk);
          });
  connect(runner, &ImportRunner::walkSummary, m_importStatus, &ImportStatus::finishWith);
  // What a walk added, moved or removed changes the counts, and waits for the filter's index.
  connect(runner, &ImportRunner::walkSummary, this, [this] {
    countRowsSoon();
    startIndexCatchUp();
  });
  connect(runner, &ImportRunner::failed, this, &frmMain::showError);
  connect(runner, &ImportRunner::notice, this, &frmMain::showNotice);
  connect(runner, &ImportRunner::lockWaiting, this, &frmMain::showLockWait);
  connect(runner, &ImportRunner::lockWaitEnded, this, &frmMain::endLockWait);
  connect(runner, &ImportRunner::mayClose, this, &QWidget::close);
}

// A statement waits for another program that holds the catalogue; the window cannot run its
// events meanwhile, so the status bar is painted at once.
void frmMain::showLockWait(qint64 seconds) {
  statusBar()->showMessage(
      QStringLiteral("Waiting for another program to finish with the catalogue (%1 s)...")
          .arg(seconds));
  statusBar()->repaint();
}

void frmMain::endLockWait() { statusBar()->clearMessage(); }

void frmMain::showNotice(const QString& text) {
  lblNotice->setText(text);
  lblNotice->setToolTip(text);
}

template <typename Step>
void frmMain::guarded(Step&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    const catalog::ErrorInfo info = catalog::describeError(e);
    showError(info.number, QString::fromStdString(info.description));
  }
  // Rows the engine read while the step ran (before a write it reads every open set to the
  // end) reach the grid.
  Data1->syncRows();
}

void frmMain::showError(int number, const QString& description) {
  if (m_closingForSignal) {
    // A message box now would hold the session's end until it is killed.
    std::fprintf(stderr, "QuollsongDB: Error %d: %s\n", number,
                 description.toLocal8Bit().constData());
    std::fflush(stderr);
    return;
  }
  if (m_errorDisplay) m_errorDisplay(number, description);
  // A signal that came while the message was up cancelled it unread: the log keeps it.
  if (m_closingForSignal) {
    std::fprintf(stderr, "QuollsongDB: Error %d: %s\n", number,
                 description.toLocal8Bit().constData());
    std::fflush(stderr);
  }
}

engine::Database& frmMain::database() const {
  if (!dbMusic) throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
  return *dbMusic;
}

void frmMain::runStatement(const std::string& sql) { database().Execute(sql, 64); }

void frmMain::showQuery(const std::string& source, int type, bool fitColumns) {
  m_importStatus->clear();
  showNotice({});
  std::shared_ptr<engine::Recordset> recordset = database().OpenRecordset(source, type);
  Data1->setRecordset(std::move(recordset), fitColumns);
  // Whoever sorted this view shows its arrow afterwards; the filter says it is the filter's.
  showSortArrow(-1, false);
  if (!m_showingFilter) leaveFilter();
  countRowsSoon();
}

void frmMain::reloadView() {
  Data1->UpdateControls();
  countRowsSoon();  // also when the reload fails: the rows may have changed
  startIndexCatchUp();
  Data1->Refresh();
}

void frmMain::reloadViewAt(std::optional<std::int64_t> id, int near) {
  reloadView();
  if (id) Data1->setCurrentRowById(*id, near);
}

void frmMain::countRowsSoon() {
  if (m_counter && m_counter->available()) {
    // The label keeps the last count until the new one is there, rather than blink.
    ViewCounter::Request request;
    if (const std::shared_ptr<engine::Recordset> view = Data1->Recordset()) {
      request.viewSql = view->sql();
      request.sumDuration = viewHasDuration();
    }
    m_countGeneration = m_counter->count(std::move(request));
    return;
  }
  countHereSoon();
}

void frmMain::countHereSoon() {
  lblRowCount->clear();
  if (m_rowCountPending) return;
  m_rowCountPending = true;
  // After the first rows are painted: counting a million rows takes a moment (a tenth of a
  // second), which must not come before the user sees them.
  QTimer::singleShot(kRowCountDelayMs, this, [this] {
    m_rowCountPending = false;
    if (!m_unloaded) showRowCount();
  });
}

void frmMain::showRowCount() {
  const std::optional<std::int64_t> rows = Data1->countRows();
  if (!rows) {
    lblRowCount->clear();
    return;
  }
  showCounted(*rows, std::nullopt, std::nullopt);
}

void frmMain::showCounted(std::int64_t rows, std::optional<std::int64_t> songs,
                          std::optional<std::int64_t> seconds) {
  QString text;
  if (!viewListsSongs()) {
    // A query of other things (artists and their counts, say) lists rows, not songs.
    text = QString::fromStdString(importer::groupedNumber(rows)) +
           (rows == 1 ? QStringLiteral(" row") : QStringLiteral(" rows"));
  } else {
    text = QString::fromStdString(importer::groupedNumber(rows));
    if (songs && *songs != rows)
      text += QStringLiteral(" of ") + QString::fromStdString(importer::groupedNumber(*songs));
    text += (rows == 1 && (!songs || *songs == rows)) ? QStringLiteral(" song")
                                                      : QStringLiteral(" songs");
    if (seconds && *seconds > 0)
      text += QStringLiteral(" \u00b7 ") + QString::fromStdString(catalog::lengthText(*seconds));
  }
  lblRowCount->setText(text);
}

bool frmMain::viewListsSongs() const {
  const std::shared_ptr<engine::Recordset> view = Data1->Recordset();
  if (!view) return false;
  for (int c = 0; c < view->fieldCount(); ++c) {
    const engine::Recordset::Origin& origin = view->origin(c);
    if (engine::equalsIgnoringCase(origin.table, catalog::kTableName) &&
        engine::equalsIgnoringCase(origin.column, "ID"))
      return true;
  }
  return false;
}

bool frmMain::viewHasDuration() const {
  const std::shared_ptr<engine::Recordset> view = Data1->Recordset();
  if (!view) return false;
  const int field = view->fieldIndex("Duration");
  return field >= 0 && engine::equalsIgnoringCase(view->origin(field).table, catalog::kTableName);
}

void frmMain::showSortArrow(int column, bool descending) {
  QHeaderView* headings = DBGrid1->horizontalHeader();
  headings->setSortIndicatorShown(column >= 0);
  headings->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void frmMain::leaveFilter() {
  if (!m_filterShown && txtFilter->text().isEmpty()) return;
  m_filterShown = false;
  m_filterSort.reset();
  m_viewBeforeFilter.reset();
  m_filterTimer->stop();
  const QSignalBlocker quiet(txtFilter);
  txtFilter->clear();
  txtFilter->setStyleSheet({});
  txtFilter->setToolTip({});
}

void frmMain::txtFilter_Change() {
  const catalog::FilterQuery query = catalog::parseFilter(txtFilter->text().toStdString());
  // The last filter shown took long (a common word with a rare number, say): the next one,
  // likely of the same kind, waits for the longer pause too.
  const bool quick = query.empty() || !query.valid() ||
                     (m_searchIndexed && catalog::narrowedByIndex(query) &&
                      m_lastFilterMs <= kSlowFilterMs);
  m_filterTimer->start(quick ? kFilterPauseMs : kUnindexedFilterPauseMs);
}

void frmMain::mnuFilter_Click() {
  txtFilter->setFocus(Qt::ShortcutFocusReason);
  txtFilter->selectAll();
}

void frmMain::applyFilter() {
  m_filterTimer->stop();
  const catalog::FilterQuery query = catalog::parseFilter(txtFilter->text().toStdString());
  if (!query.problems.empty()) {
    // What cannot be read is shown, and the grid keeps what it lists.
    QStringList why;
    for (const std::string& problem : query.problems) why << QString::fromStdString(problem);
    txtFilter->setStyleSheet(QStringLiteral("QLineEdit { background: #ffd6d6; color: black; }"));
    txtFilter->setToolTip(why.join(QLatin1Char('\n')));
    return;
  }
  txtFilter->setStyleSheet({});
  txtFilter->setToolTip({});
  if (query.empty()) {
    if (!m_filterShown) return;
    // Back to the view the filter started from: none at all, when it started the first.
    const std::optional<std::pair<std::string, int>> before = m_viewBeforeFilter;
    guarded([&] {
      if (before) {
        showQuery(before->first, before->second);
        return;
      }
      leaveFilter();
      Data1->setRecordset(nullptr);
      showSortArrow(-1, false);
      countRowsSoon();
    });
    return;
  }
  guarded([&] { showFilter(txtFilter->text().toStdString()); });
}

void frmMain::showFilter(const std::string& text) {
  const catalog::FilterQuery query = catalog::parseFilter(text);
  engine::Database& db = database();
  std::optional<catalog::SortOrder> order;
  if (m_filterSort)
    order = catalog::SortOrder{DBGrid1->columnCaption(m_filterSort->column).toStdString(),
                               m_filterSort->descending};
  m_searchIndexed = catalog::hasSearchIndex(db);
  const std::string sql = catalog::filterSql(query, m_searchIndexed, order);
  if (!m_filterShown) {
    m_viewBeforeFilter.reset();
    if (const std::shared_ptr<engine::Recordset> view = Data1->Recordset())
      m_viewBeforeFilter = std::pair(view->source(), view->type());
  }
  {
    // The same columns as any view of the catalogue: they keep their widths as the user types.
    const QScopedValueRollback showing(m_showingFilter, true);
    QElapsedTimer took;
    took.start();
    m_lastFilterMs = std::numeric_limits<qint64>::max();  // until it has shown
    showQuery(sql, engine::dbOpenDynaset, false);
    m_lastFilterMs = took.elapsed();
  }
  m_filterShown = true;
  if (m_filterSort) showSortArrow(m_filterSort->column, m_filterSort->descending);
}

void frmMain::connectCatalogue() {
  wsMusic = &engine::DBEngine::instance().Workspaces(0);
  // The handle held before is released, not closed: record sets opened on it keep reading.
  dbMusic = wsMusic->OpenDatabase(QFile::encodeName(m_catalogPath).toStdString());
  const bool readOnly = dbMusic->isReadOnly();
  lblReadOnly->setVisible(readOnly);
  lblReadOnly->setToolTip(
      readOnly ? QStringLiteral("The catalogue is read-only because %1: it can be viewed and "
                                "searched, but not changed.")
                     .arg(QString::fromStdString(dbMusic->readOnlyReason()))
               : QString());
}

bool frmMain::Form_Load() {
  try {
    connectCatalogue();
    catalog::verifyCatalogue(*dbMusic);
    m_counter = std::make_unique<ViewCounter>(QFile::encodeName(m_catalogPath).toStdString());
    connect(m_counter.get(), &ViewCounter::counted, this, [this](const ViewCounter::Result& r) {
      if (r.generation != m_countGeneration || m_unloaded) return;
      if (r.viewRows)
        showCounted(*r.viewRows, r.songs, r.seconds);
      else if (!Data1->Recordset())
        lblRowCount->clear();
      else
        countHereSoon();  // a view its connection cannot run (of a temporary table, say)
    });
    prepareSearchIndex();
    return true;
  } catch (const std::exception& e) {
    const catalog::ErrorInfo info = catalog::describeError(e);
    QString description = QString::fromStdString(info.description);
    if (!description.contains(m_catalogPath))
      description += QStringLiteral("\n\nCatalogue: ") + m_catalogPath;
    showError(info.number, description);
    dbMusic.reset();
    return false;
  }
}

void frmMain::prepareSearchIndex() {
  // A catalogue from before the filter gets its index here; its rows are then indexed a slice
  // at a time on the indexer's thread. Without it the filter is only slower.
  m_indexer.reset();
  try {
    if (!dbMusic->isReadOnly()) catalog::ensureSearchIndex(*dbMusic);
    m_searchIndexed = catalog::hasSearchIndex(*dbMusic);
  } catch (const std::exception&) {
    return;
  }
  if (dbMusic->isReadOnly() || !m_searchIndexed) return;
  m_indexer =
      std::make_unique<catalog::SearchIndexer>(QFile::encodeName(m_catalogPath).toStdString());
  if (!m_indexer->available()) {
    m_indexer.reset();
    return;
  }
  // A walk's batches hold the write lock for a while each; they must not wait for a slice. The
  // indexer pauses while one runs and goes on once it has ended.
  connect(m_runner.get(), &ImportRunner::walkStarted, this, &frmMain::startIndexCatchUp,
          Qt::UniqueConnection);
  connect(m_runner.get(), &ImportRunner::walkEnded, this, &frmMain::startIndexCatchUp,
          Qt::UniqueConnection);
  startIndexCatchUp();
}

void frmMain::startIndexCatchUp() {
  if (!m_indexer || m_unloaded) return;
  const bool walking = m_runner->isRunning();
  m_indexer->setPaused(walking);
  if (!walking) m_indexer->wake();
}

void frmMain::Form_Unload() {
  if (m_unloaded) return;
  m_unloaded = true;
  // Its figures are of this window's catalogue; it keeps its size as it closes.
  if (m_statistics) m_statistics->close();
  // A slice in progress is rolled back; its rows wait for the next time.
  m_indexer.reset();
  m_counter.reset();  // its thread stops counting at once
  guarded([&] {
    if (dbMusic) dbMusic->Close();
    if (wsMusic) wsMusic->Close();
  });
}

void frmMain::closeEvent(QCloseEvent* event) {
  // Asked before a running walk is stopped, so that No leaves everything running.
  if (!m_unloaded && !m_closingWithoutKept && !Data1->model()->keptEdits().empty()) {
    retryKeptEdit();
    const auto& kept = Data1->model()->keptEdits();
    if (!kept.empty()) {
      QStringList fields;
      for (const catalog::RecordsetModel::KeptEdit& edit : kept)
        if (!fields.contains(QString::fromStdString(edit.field)))
          fields << QString::fromStdString(edit.field);
      if (m_closingForSignal) {
        // The session is ending and the lock outlasted the last try: nobody can wait for it.
        logUnsavedEdits(kept);
      } else if (m_question &&
                 !m_question(QStringLiteral("Your edit of %1 is not saved yet: another program "
                                            "holds the catalogue. Close anyway?")
                                 .arg(fields.join(QStringLiteral(", "))))) {
        event->ignore();
        return;
      }
      // A walk that stops first closes the window again later: asked once is enough.
      m_closingWithoutKept = true;
      m_keptEditRetry->stop();
    }
  }
  // A running walk or check stops first; its runner's mayClose closes the window once it has
  // returned. Both are asked, whichever runs.
  const bool checkOver = m_checkRunner->stopForClose();
  const bool walkOver = m_runner->stopForClose();
  if (!checkOver || !walkOver) {
    event->ignore();
    return;
  }
  if (!m_unloaded)
    m_settings.keepWindow(saveGeometry(), DBGrid1->userWidths(), DBGrid1->userColumnOrder());
  Form_Unload();
  event->accept();
  if (m_closingForSignal) emit closedForSignal();
}

void frmMain::closeForSignal() {
  if (m_closingForSignal) return;
  m_closingForSignal = true;
  if (!rejectModalDialogs()) {
    close();
    return;
  }
  // The cancelled dialogs' callers go on first (a handler after its question, a walk after the
  // rescan's), so that the catalogue is not closed under them.
  QMetaObject::invokeMethod(
      this,
      [window = QPointer<frmMain>(this)] {
        if (!window) return;
        rejectModalDialogs();
        window->close();
      },
      Qt::QueuedConnection);
}

bool frmMain::rejectModalDialogs() {
  bool any = false;
  QSet<QWidget*> tried;
  // The innermost first; each one cancelled uncovers the one it was opened over.
  while (QWidget* modal = QApplication::activeModalWidget()) {
    // One that stays open (a modal widget that is no dialog and refuses to close) is left.
    if (tried.contains(modal)) break;
    tried.insert(modal);
    any = true;
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
  }
  return any;
}

void frmMain::logUnsavedEdits(const std::vector<catalog::RecordsetModel::KeptEdit>& kept) {
  for (const catalog::RecordsetModel::KeptEdit& edit : kept)
    std::fprintf(stderr,
                 "QuollsongDB: closed with an edit not saved, as another program held the "
                 "catalogue: ID %lld, %s: %s\n",
                 static_cast<long long>(edit.id), edit.field.c_str(),
                 oneLine(catalog::shownText(QString::fromStdString(
                             engine::validUtf8(edit.value.toText()))))
                     .toLocal8Bit()
                     .constData());
  std::fflush(stderr);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == centralWidget() && event->type() == QEvent::Resize) Form_Resize();
  if (watched == txtFilter && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !txtFilter->text().isEmpty()) {
    txtFilter->clear();
    applyFilter();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void frmMain::Form_Resize() {
  // The rule works in twips on the inner area, as single-precision values.
  const QSize inner = centralWidget()->size();
  const float left = static_cast<float>(DBGrid1->x() * twips::kPerPixel);
  const float top = static_cast<float>(DBGrid1->y() * twips::kPerPixel);
  const float width = static_cast<float>(inner.width() * twips::kPerPixel);
  const float height = static_cast<float>(inner.height() * twips::kPerPixel);
  if (const auto w = twips::gridExtent(width - (left + left)))
    DBGrid1->resize(twips::toPixels(*w), DBGrid1->height());
  if (const auto h = twips::gridExtent(height - top))
    DBGrid1->resize(DBGrid1->width(), twips::toPixels(*h));
}

void frmMain::cmdShowAll_Click() {
  guarded([&] { showQuery(catalog::allRowsSql(), engine::dbOpenDynaset); });
}

void frmMain::cmdSearch_Click() {
  guarded([&] {
    const auto sql =
        catalog::searchSql(Data1->searchText(txtTitle).toStdString(),
                           Data1->searchText(txtArtist).toStdString());
    if (!sql) return;
    showQuery(*sql, engine::dbOpenDynaset);
  });
}

void frmMain::Command1_Click() {
  guarded([&] {
    connectCatalogue();
    showQuery(catalog::kTableName, engine::dbOpenTable);
  });
}

void frmMain::Command3_Click() {
  guarded([&] {
    connectCatalogue();
    showQuery(catalog::snapshotSql(), engine::dbOpenSnapshot);
  });
}

void frmMain::DBGrid1_HeadClick(int ColIndex) {
  if (sortProblems(ColIndex)) return;
  // Columns a query adds after the catalogue's own are not the catalogue's to sort by.
  if (ColIndex < 0 || ColIndex >= catalog::kColumnCount) return;
  guarded([&] {
    const auto column = static_cast<std::int16_t>(ColIndex);
    const std::string caption = DBGrid1->columnCaption(column).toStdString();
    const catalog::SortStep step = catalog::nextSort(intSortCol, m_idSortDescending, column);
    intSortCol = step.sortCol;
    m_idSortDescending = step.idDescending;
    if (m_filterShown) {
      // Sorted within the filter, which stays.
      m_filterSort = FilterSort{ColIndex, step.descending};
      showFilter(txtFilter->text().toStdString());
      return;
    }
    // The same columns in another order: they keep their widths rather than jump.
    showQuery(catalog::sortedSql(caption, step.descending), engine::dbOpenDynaset, false);
    reloadView();
    showSortArrow(ColIndex, step.descending);
  });
}

void frmMain::cmdSQL_Click() {
  guarded([&] {
    // The text exactly as typed: toPlainText would turn non-breaking spaces into spaces.
    QString typed = txtSQL->document()->toRawText();
    typed.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    typed.replace(QChar::LineSeparator, QLatin1Char('\n'));
    const std::string text = typed.toStdString();
    if (text.empty()) return;
    if (catalog::isSelectQuery(text))
      showQuery(text, engine::dbOpenDynaset);
    else
      runStatement(text);
    reloadView();
  });
}

int frmMain::rowIdField(const engine::Recordset& recordset, std::int64_t row) {
  // The row's identity is the catalogue's own ID column wherever the view lists it: never just
  // the first field, nor a column that is merely named ID (another table's key, an alias).
  int idField = -1;
  for (int c = 0; c < recordset.fieldCount(); ++c) {
    const engine::Recordset::Origin& origin = recordset.origin(c);
    if (!engine::equalsIgnoringCase(origin.table, catalog::kTableName) ||
        !engine::equalsIgnoringCase(origin.column, "ID"))
      continue;
    if (idField >= 0 && !(recordset.value(row, c) == recordset.value(row, idField)))
      throw engine::EngineError(engine::err::kItemNotFound,
                                "This view lists more than one catalogue row per line, so the "
                                "row to delete cannot be told. Nothing was deleted.");
    if (idField < 0) idField = c;
  }
  if (idField < 0)
    throw engine::EngineError(engine::err::kItemNotFound,
                              "This view has no ID column of the catalogue, so the row to "
                              "delete cannot be told. Nothing was deleted.");
  return idField;
}

std::vector<std::int64_t> frmMain::idsOfWholeView(const engine::Recordset& view) {
  std::vector<int> idFields;
  for (int c = 0; c < view.fieldCount(); ++c)
    if (engine::equalsIgnoringCase(view.origin(c).table, catalog::kTableName) &&
        engine::equalsIgnoringCase(view.origin(c).column, "ID"))
      idFields.push_back(c);
  if (idFields.empty())
    throw engine::EngineError(engine::err::kItemNotFound,
                              "This view has no ID column of the catalogue, so the rows to "
                              "delete cannot be told. Nothing was deleted.");
  // Read past the grid's cache, a row at a time: only the IDs are kept.
  std::vector<std::int64_t> ids;
  database().ForEachRow(view.sql(), {}, [&](engine::Database::RowTexts row) {
    const std::optional<std::string_view>& id = row[static_cast<std::size_t>(idFields.front())];
    for (const int field : idFields)
      if (row[static_cast<std::size_t>(field)] != id)
        throw engine::EngineError(engine::err::kItemNotFound,
                                  "This view lists more than one catalogue row per line, so the "
                                  "rows to delete cannot be told. Nothing was deleted.");
    ids.push_back(catalog::toRecordId(id ? engine::Value(std::string(*id)) : engine::Value()));
  });
  return ids;
}

void frmMain::cmdDelet_Click() {
  guarded([&] {
    const std::shared_ptr<engine::Recordset> recordset = Data1->Recordset();
    if (!recordset || Data1->currentRow() < 0)
      throw engine::EngineError(engine::err::kNoCurrentRecord, "No current record.");
    const bool wholeView = DBGrid1->wholeViewSelected();
    const std::vector<int> rows = DBGrid1->selectedRowNumbers();
    engine::Database& db = database();

    if (!wholeView && rows.size() <= 1) {
      // One row: the one the grid shows selected becomes the current row, if it is not already
      // (a Ctrl+click can leave the current row unselected), and goes as it always has.
      if (rows.size() == 1 && rows.front() != Data1->currentRow())
        Data1->setCurrentRow(rows.front());
      const int row = Data1->currentRow();
      const std::int32_t id =
          catalog::toRecordId(recordset->value(row, rowIdField(*recordset, row)));
      // The row after it takes its place as the current row; after the last row, the one before.
      std::optional<std::int64_t> next = Data1->idOfRow(row + 1);
      const bool wasLast = !next;
      if (wasLast) next = Data1->idOfRow(row - 1);
      const std::vector<std::optional<catalog::SongRow>> before = catalog::readSongRows(db, {id});
      runStatement(catalog::deleteSql(id));
      guarded([&] {
        m_undo->record(db, QStringLiteral("Delete 1 Song"), {id}, before, false);
      });
      reloadViewAt(next, wasLast ? row - 1 : row);
      return;
    }

    std::vector<std::int64_t> ids;
    if (wholeView) {
      // Ctrl+A means every row of the view, also those not read yet.
      ids = idsOfWholeView(*recordset);
    } else {
      for (const int row : rows) {
        if (!recordset->isRead(row)) recordset->ensureRow(row);
        ids.push_back(catalog::toRecordId(recordset->value(row, rowIdField(*recordset, row))));
      }
    }
    // A view may list a row twice; it is one song.
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (ids.empty()) return;
    QString question =
        QStringLiteral("Delete %1 songs from the catalogue? The files stay on disk.")
            .arg(songCount(ids.size()));
    // Undo keeps no more than so many rows: the user is told before, not after.
    if (ids.size() > catalog::UndoStack::kMostRowsKept)
      question += QStringLiteral(" This cannot be undone.");
    if (!m_question || !m_question(question)) return;
    // The row after the block takes its place; after the view's last rows, the one before.
    std::optional<std::int64_t> next;
    int near = 0;
    if (!wholeView) {
      const int first = rows.front();
      const int last = rows.back();
      next = Data1->idOfRow(last + 1);
      const bool wasLast = !next;
      if (wasLast) next = Data1->idOfRow(first - 1);
      near = wasLast ? first - 1 : last + 1 - static_cast<int>(rows.size());
    }
    m_undo->deleteRows(db, ids, QStringLiteral("Delete %1 Songs").arg(songCount(ids.size())));
    reloadViewAt(next, near);
  });
}

void frmMain::cmdAdd_Click() {
  guarded([&] {
    runStatement(catalog::addSql());
    // The new row becomes the current one, so what is typed next goes into it (a trigger may
    // have kept it from being added at all).
    std::optional<std::int64_t> added;
    if (database().RecordsAffected() > 0) added = database().LastInsertedId();
    if (added)
      guarded([&] {
        m_undo->record(database(), QStringLiteral("Add One Song"), {*added}, {std::nullopt},
                       false);
      });
    reloadViewAt(added, Data1->currentRow());
  });
}

void frmMain::cmdUpdate_Click() {
  guarded([&] {
    const int row = Data1->currentRow();
    const std::optional<std::int64_t> id = Data1->idOfRow(row);
    std::vector<std::optional<catalog::SongRow>> before;
    if (id) before = catalog::readSongRows(database(), {*id});
    try {
      Data1->UpdateRecord();
    } catch (const engine::EngineError& e) {
      if (!engine::isLockTimeout(e)) throw;
      // The boxes keep what was typed: nothing of it is lost.
      throw engine::EngineError(e.number(), e.description() +
                                                "\n\nWhat you typed is still in the boxes: click "
                                                "Update Mp3 Tags again once the other program "
                                                "is done.");
    }
    if (id)
      guarded([&] {
        m_undo->record(database(), QStringLiteral("Update Mp3 Tags"), {*id}, before, true);
      });
    if (id && !before.empty() && before[0]) dropOverwrittenKeptEdits(*before[0]);
    reloadViewAt(id, row);
  });
}

void frmMain::cmdAddDir_Click() {
  walkChosenFolder(WindowSettings::Folder::AddDirectory,
                   [this](const std::string& path) { ScanFolder(path); });
}

void frmMain::mnuRescan_Click() {
  walkChosenFolder(WindowSettings::Folder::Rescan,
                   [this](const std::string& path) { m_runner->rescanDirectory(path); });
}

void frmMain::mnuRescanLast_Click() {
  const QString last = m_settings.folder(WindowSettings::Folder::Rescan);
  if (last.isEmpty()) {
    mnuRescan_Click();
    return;
  }
  walkFolder(last, [this](const std::string& path) { m_runner->rescanDirectory(path); });
}

template <typename Walk>
void frmMain::walkChosenFolder(WindowSettings::Folder kind, Walk&& walk) {
  // One import, rescan or check at a time: a click from within a running one's yields does
  // nothing.
  if (m_runner->isRunning() || m_checkRunner->isRunning() || m_unloaded) return;
  std::optional<QString> folder;
  guarded([&] {
    if (m_folderPicker)
      folder = m_folderPicker(this, QStringLiteral("select a music directory"),
                              m_settings.folder(kind));
  });
  if (!folder || folder->isEmpty()) return;
  m_settings.setFolder(kind, *folder);
  if (kind == WindowSettings::Folder::Rescan) showRescanLast();
  walkFolder(*folder, std::forward<Walk>(walk));
}

template <typename Walk>
void frmMain::walkFolder(const QString& folder, Walk&& walk) {
  if (m_runner->isRunning() || m_checkRunner->isRunning() || m_unloaded) return;
  // The runner shows its own failures; guarded brings the rows the engine read meanwhile to the
  // grid.
  guarded([&] { walk(QFile::encodeName(folder).toStdString()); });
}

void frmMain::ScanFolder(const std::string& path) { m_runner->addDirectory(path); }

void frmMain::mnuShowMissing_Click() {
  guarded([&] { showQuery(catalog::missingFilesSql(), engine::dbOpenDynaset); });
}

void frmMain::mnuShowDuplicates_Click() {
  guarded([&] { showQuery(catalog::duplicatesSql(), engine::dbOpenDynaset); });
}

void frmMain::mnuShowDuplicateSongs_Click() {
  guarded([&] {
    // Which files hold the same audio is kept in the companion table, which older catalogues
    // lack until an import or a rescan, or this, makes it.
    engine::Database& db = database();
    const bool made = importer::ensureShelfFiles(db);
    if (!made && !importer::hasShelfFiles(db))
      throw engine::EngineError(
          engine::err::kTableNotFound,
          "This catalogue does not know yet which files hold the same audio: that is learnt when "
          "folders are imported or rescanned, and the catalogue is read-only.");
    showQuery(catalog::duplicateSongsSql(), engine::dbOpenDynaset);
    if (made) showNotice(QString::fromLatin1(ImportRunner::kShelfFilesNotice));
  });
}

void frmMain::mnuStatistics_Click() {
  if (!m_statistics) {
    // Its own window beside this one, which it never holds up: the figures are read on a
    // connection and thread of its own.
    m_statistics = new frmStatistics(
        QFile::encodeName(m_catalogPath).toStdString(),
        [this] {
          const std::shared_ptr<engine::Recordset> view = Data1->Recordset();
          return view ? view->sql() : std::string();
        },
        [this](const std::string& condition) { showSongsWhere(condition); }, m_settingsStore,
        this);
    m_statistics->refresh();
  }
  m_statistics->show();
  m_statistics->raise();
  m_statistics->activateWindow();
}

void frmMain::showSongsWhere(const std::string& condition) {
  guarded([&] {
    showQuery("SELECT * FROM music_shelf WHERE " + condition + " ORDER BY ID",
              engine::dbOpenDynaset);
  });
  raise();
  activateWindow();
}

void frmMain::mnuExport_Click() {
  guarded([&] {
    const std::shared_ptr<engine::Recordset> view = Data1->Recordset();
    if (!view)
      throw engine::EngineError(engine::err::kNoCurrentRecord,
                                "There is no view to export: show one first, for example with "
                                "Show All Records.");
    const QString filters = QString::fromLatin1(catalog::kCsvFilter) + QStringLiteral(";;") +
                            QString::fromLatin1(catalog::kM3u8Filter);
    // The folder and format of the last export, the format only while it is still offered.
    SaveChoice start{m_settings.folder(WindowSettings::Folder::Export), m_settings.exportFilter()};
    if (!filters.split(QStringLiteral(";;")).contains(start.filter)) start.filter.clear();
    const std::optional<SaveChoice> choice =
        m_saveDialog ? m_saveDialog(this, QStringLiteral("Export View"), filters, start)
                     : std::nullopt;
    if (!choice || choice->fileName.isEmpty()) return;
    m_settings.setFolder(WindowSettings::Folder::Export,
                         QFileInfo(choice->fileName).absolutePath());
    m_settings.setExportFilter(choice->filter);
    const std::string chosen = QFile::encodeName(choice->fileName).toStdString();
    const catalog::ExportFormat format =
        catalog::exportFormatFor(chosen, choice->filter.toStdString());
    const std::string path = catalog::withExportExtension(chosen, format);
    // The dialog asked about the name as typed; with its extension added it may name another
    // file that is there already.
    if (path != chosen && QFileInfo::exists(QFile::decodeName(path.c_str())) &&
        !(m_question && m_question(QStringLiteral("%1 already exists. Replace it?")
                                       .arg(QString::fromStdString(engine::validUtf8(path))))))
      return;
    const std::int64_t rows = catalog::exportView(database(), *view, format, path);
    statusBar()->showMessage(
        QStringLiteral("Exported %1 to %2")
            .arg(QString::fromStdString(importer::groupedNumber(rows)) +
                     (rows == 1 ? QStringLiteral(" song") : QStringLiteral(" songs")),
                 QString::fromStdString(engine::validUtf8(path))));
  });
}

void frmMain::showRowMenu(int row, const QPoint& globalPos) {
  // The path is taken now: the view may change while the menu is open.
  m_menuPath.clear();
  const std::shared_ptr<engine::Recordset> recordset = Data1->Recordset();
  const int field = Data1->model()->fieldOfColumn(catalog::RecordsetModel::filenameColumn());
  if (recordset && field >= 0 && row >= 0 && recordset->isRead(row)) {
    const engine::Value value = recordset->value(row, field);
    if (value.isText()) m_menuPath = value.text();
  }
  for (QAction* entry : {mnuPlay, mnuOpenFolder, mnuCopyPath})
    entry->setEnabled(!m_menuPath.empty());
  mnuRow->popup(globalPos);
}

std::optional<std::string> frmMain::menuRowFileOnDisk() {
  if (m_menuPath.empty()) return std::nullopt;
  // The file's own bytes: a stored name had U+FFFD where they were not UTF-8.
  std::optional<std::string> file = engine::realPathOf(m_menuPath);
  if (!file)
    showError(catalog::kFileNotFound, QStringLiteral("The file '%1' is not on disk: it may have "
                                                     "been moved or deleted, or its disk is not "
                                                     "there.")
                                          .arg(catalog::shownPath(QString::fromStdString(m_menuPath))));
  return file;
}

void frmMain::openWithDesktop(const std::string& path) {
  // Built from the bytes, so a name that is not UTF-8 reaches the desktop as it is.
  const QUrl url = QUrl::fromEncoded(
      "file://" + QByteArray::fromStdString(path).toPercentEncoding("/!$&'()*+,;=:@"),
      QUrl::StrictMode);
  if (!m_openUrl || !m_openUrl(url))
    showError(catalog::kPathFileAccessError,
              QStringLiteral("No program could be started to open '%1'.")
                  .arg(catalog::shownPath(QString::fromStdString(engine::validUtf8(path)))));
}

void frmMain::mnuPlay_Click() {
  guarded([&] {
    if (const auto file = menuRowFileOnDisk()) openWithDesktop(*file);
  });
}

void frmMain::mnuOpenFolder_Click() {
  guarded([&] {
    if (const auto file = menuRowFileOnDisk())
      openWithDesktop(file->substr(0, std::max<std::size_t>(file->rfind('/'), 1)));
  });
}

void frmMain::mnuCopyPath_Click() {
  if (!m_menuPath.empty())
    QGuiApplication::clipboard()->setText(QString::fromStdString(m_menuPath));
}

void frmMain::ReadMp3Info(const std::string& path, importer::SongInfo& info) {
  importer::ReadMp3Info(path, info, objMp3Info, m_mp3InfoFactory);
}

void frmMain::mnufileExit_Click() { close(); }

void frmMain::mnuTagReader_Click() {
  // The tag reader may outlive this window, so it gets the display itself, never this window.
  guarded([&] { tagreader::showTagReader(m_errorDisplay, engine::isOpenCatalogue); });
}

void frmMain::txtTitle_Change() { Data1->setCaption(txtTitle->text()); }

// Check Files and Show Problems.

void frmMain::buildCheckFiles() {
  m_checkRunner = std::make_unique<CheckRunner>([this] { return dbMusic; });
  mnuCheckFiles =
      named(mnuCatalogue->addAction(QStringLiteral("Check Files\u2026")), "mnuCheckFiles");
  mnuShowProblems =
      named(mnuCatalogue->addAction(QStringLiteral("Show Problems")), "mnuShowProblems");
  connect(mnuCheckFiles, &QAction::triggered, this, &frmMain::mnuCheckFiles_Click);
  connect(mnuShowProblems, &QAction::triggered, this, &frmMain::mnuShowProblems_Click);

  CheckRunner* runner = m_checkRunner.get();
  connect(m_importStatus, &ImportStatus::cancelClicked, runner, &CheckRunner::cancel);
  connect(runner, &CheckRunner::checkStarted, this, [this, runner] {
    m_importStatus->startTask([runner] { return CheckRunner::progressText(runner->progress()); });
  });
  connect(runner, &CheckRunner::checkSummary, m_importStatus, &ImportStatus::finishWith);
  connect(runner, &CheckRunner::failed, this, &frmMain::showError);
  connect(runner, &CheckRunner::notice, this, &frmMain::showNotice);
  connect(runner, &CheckRunner::mayClose, this, &QWidget::close);
}

void frmMain::setFileChecker(FileChecker checker) { m_checkRunner->setChecker(std::move(checker)); }

void frmMain::mnuCheckFiles_Click() {
  // One walk or check at a time: a click from within a running one's yields does nothing.
  if (m_runner->isRunning() || m_checkRunner->isRunning() || m_unloaded) return;
  guarded([&] {
    // Refused before any question: nothing could be kept.
    engine::Database& db = database();
    db.refuseIfReadOnly();
    const std::shared_ptr<engine::Recordset> view = Data1->Recordset();
    const std::optional<CheckChoice> choice = m_checkDialog ? m_checkDialog(this) : std::nullopt;
    if (!choice) return;
    importer::HealthOptions options;
    options.spectral = choice->spectral;
    bool checked = false;
    if (choice->belowFolder) {
      std::optional<QString> folder;
      if (m_folderPicker)
        folder = m_folderPicker(this, QStringLiteral("select a music directory"),
                                m_settings.folder(WindowSettings::Folder::Rescan));
      if (!folder || folder->isEmpty()) return;
      checked = m_checkRunner->checkFolder(QFile::encodeName(*folder).toStdString(), options);
    } else {
      if (!view)
        throw engine::EngineError(engine::err::kNoCurrentRecord,
                                  "There is no view whose files to check: show one first, for "
                                  "example with Show All Records, or check a folder.");
      checked = m_checkRunner->checkView(*view, options);
    }
    // What the check found, and what earlier checks found, unless the window is closing.
    // The view clears the status bar: the summary comes back after it.
    if (checked && !m_unloaded && !m_closingForSignal) {
      mnuShowProblems_Click();
      m_importStatus->finishWith(m_checkRunner->lastSummary());
    }
  });
}

void frmMain::mnuShowProblems_Click() {
  guarded([&] {
    engine::Database& db = database();
    bool made = false;
    if (!importer::hasShelfFindings(db)) {
      if (db.isReadOnly())
        throw engine::EngineError(engine::err::kTableNotFound,
                                  "No files of this catalogue have been checked, and it is "
                                  "read-only.");
      made = importer::ensureShelfFindings(db);
    }
    m_problemsSortCol = -1;
    showQuery(catalog::problemsSql(), engine::dbOpenDynaset);
    // As a check that makes the table says; after the view, which clears the status bar.
    if (made) showNotice(QString::fromLatin1(CheckRunner::kFindingsNotice));
  });
}

bool frmMain::sortProblems(int column) {
  const std::shared_ptr<engine::Recordset> view = Data1->Recordset();
  if (!view || !catalog::isProblemsSql(view->source()) || m_filterShown || column < 0) return false;
  guarded([&] {
    // Repeated clicks on one column alternate; a click on another starts ascending.
    m_problemsSortDescending = column == m_problemsSortCol && !m_problemsSortDescending;
    m_problemsSortCol = static_cast<std::int16_t>(column);
    showQuery(catalog::problemsSql(DBGrid1->columnCaption(column).toStdString(),
                                   m_problemsSortDescending),
              engine::dbOpenDynaset, false);
    showSortArrow(column, m_problemsSortDescending);
  });
  return true;
}
