#include "app/frmmain.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <new>
#include <utility>

#include "app/captionbutton.h"
#include "app/gridextent.h"
#include "app/importrunner.h"
#include "app/importstatus.h"
#include "catalog/boundgrid.h"
#include "catalog/catalogue.h"
#include "catalog/datacontrol.h"
#include "catalog/export.h"
#include "catalog/recordsetmodel.h"
#include "catalog/statements.h"
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

// The inner area at start, in twips.
constexpr int kClientWidth = 11970;
constexpr int kClientHeight = 5295;
constexpr double kControlPointSize = 8.25;
constexpr double kSmallestLabelPointSize = 6.0;
// How long after a view is shown its rows are counted.
constexpr int kRowCountDelayMs = 100;
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
  buildKeyboard();
  buildStatusBar();
  wireImportRunner();
  // The status bar adds its own height below the inner area, which keeps its size.
  resize(twips::toPixels(kClientWidth), twips::toPixels(kClientHeight) +
                                            menuBar()->sizeHint().height() +
                                            statusBar()->sizeHint().height());
}

frmMain::~frmMain() = default;

void frmMain::setQuestion(ui::Question question) {
  m_question = question;
  m_runner->setQuestion(std::move(question));
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

  lblReadOnly = named(new QLabel(QStringLiteral("Read-only"), statusBar()), "lblReadOnly");
  lblReadOnly->hide();
  statusBar()->addPermanentWidget(lblReadOnly);
}

void frmMain::wireImportRunner() {
  ImportRunner* runner = m_runner.get();
  connect(m_importStatus, &ImportStatus::cancelClicked, runner, &ImportRunner::cancel);
  connect(runner, &ImportRunner::walkStarted, this,
          [this, runner](const std::string& folder, ImportRunner::Walk walk) {
            m_importStatus->start(folder, [runner] { return runner->progress(); }, walk);
          });
  connect(runner, &ImportRunner::walkSummary, m_importStatus, &ImportStatus::finishWith);
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
  if (m_errorDisplay) m_errorDisplay(number, description);
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
  countRowsSoon();
}

void frmMain::reloadView() {
  Data1->UpdateControls();
  countRowsSoon();  // also when the reload fails: the rows may have changed
  Data1->Refresh();
}

void frmMain::reloadViewAt(std::optional<std::int64_t> id, int near) {
  reloadView();
  if (id) Data1->setCurrentRowById(*id, near);
}

void frmMain::countRowsSoon() {
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
  lblRowCount->setText(QString::fromStdString(importer::groupedNumber(*rows)) +
                       (*rows == 1 ? QStringLiteral(" song") : QStringLiteral(" songs")));
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

void frmMain::Form_Unload() {
  if (m_unloaded) return;
  m_unloaded = true;
  guarded([&] {
    if (dbMusic) dbMusic->Close();
    if (wsMusic) wsMusic->Close();
  });
}

void frmMain::closeEvent(QCloseEvent* event) {
  // A running walk stops first; the runner's mayClose closes the window once it has returned.
  if (!m_runner->stopForClose()) {
    event->ignore();
    return;
  }
  if (!m_unloaded)
    m_settings.keepWindow(saveGeometry(), DBGrid1->userWidths(), DBGrid1->userColumnOrder());
  Form_Unload();
  event->accept();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == centralWidget() && event->type() == QEvent::Resize) Form_Resize();
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
        catalog::searchSql(txtTitle->text().toStdString(), txtArtist->text().toStdString());
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
  // Columns a query adds after the catalogue's own are not the catalogue's to sort by.
  if (ColIndex < 0 || ColIndex >= catalog::kColumnCount) return;
  guarded([&] {
    const auto column = static_cast<std::int16_t>(ColIndex);
    const std::string caption = DBGrid1->columnCaption(column).toStdString();
    const catalog::SortStep step = catalog::nextSort(intSortCol, m_idSortDescending, column);
    intSortCol = step.sortCol;
    m_idSortDescending = step.idDescending;
    // The same columns in another order: they keep their widths rather than jump.
    showQuery(catalog::sortedSql(caption, step.descending), engine::dbOpenDynaset, false);
    reloadView();
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

void frmMain::cmdDelet_Click() {
  guarded([&] {
    const std::shared_ptr<engine::Recordset> recordset = Data1->Recordset();
    if (!recordset || Data1->currentRow() < 0)
      throw engine::EngineError(engine::err::kNoCurrentRecord, "No current record.");
    // The row's identity is the catalogue's own ID column wherever the view lists it: never just
    // the first field, nor a column that is merely named ID (another table's key, an alias).
    int idField = -1;
    for (int c = 0; c < recordset->fieldCount(); ++c) {
      const engine::Recordset::Origin& origin = recordset->origin(c);
      if (!engine::equalsIgnoringCase(origin.table, catalog::kTableName) ||
          !engine::equalsIgnoringCase(origin.column, "ID"))
        continue;
      if (idField >= 0 && !(recordset->Fields(c).Value() == recordset->Fields(idField).Value()))
        throw engine::EngineError(engine::err::kItemNotFound,
                                  "This view lists more than one catalogue row per line, so the "
                                  "row to delete cannot be told. Nothing was deleted.");
      if (idField < 0) idField = c;
    }
    if (idField < 0)
      throw engine::EngineError(engine::err::kItemNotFound,
                                "This view has no ID column of the catalogue, so the row to "
                                "delete cannot be told. Nothing was deleted.");
    const std::int32_t id = catalog::toRecordId(recordset->Fields(idField).Value());
    // The row after it takes its place as the current row; after the last row, the one before.
    const int row = Data1->currentRow();
    std::optional<std::int64_t> next = Data1->idOfRow(row + 1);
    const bool wasLast = !next;
    if (wasLast) next = Data1->idOfRow(row - 1);
    runStatement(catalog::deleteSql(id));
    reloadViewAt(next, wasLast ? row - 1 : row);
  });
}

void frmMain::cmdAdd_Click() {
  guarded([&] {
    runStatement(catalog::addSql());
    // The new row becomes the current one, so what is typed next goes into it (a trigger may
    // have kept it from being added at all).
    std::optional<std::int64_t> added;
    if (database().RecordsAffected() > 0) added = database().LastInsertedId();
    reloadViewAt(added, Data1->currentRow());
  });
}

void frmMain::cmdUpdate_Click() {
  guarded([&] {
    const int row = Data1->currentRow();
    const std::optional<std::int64_t> id = Data1->idOfRow(row);
    Data1->UpdateRecord();
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
  // One import or rescan at a time: a click from within a running one's yields does nothing.
  if (m_runner->isRunning() || m_unloaded) return;
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
  if (m_runner->isRunning() || m_unloaded) return;
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
                                          .arg(QString::fromStdString(m_menuPath)));
  return file;
}

void frmMain::openWithDesktop(const std::string& path) {
  // Built from the bytes, so a name that is not UTF-8 reaches the desktop as it is.
  const QUrl url = QUrl::fromEncoded(
      "file://" + QByteArray::fromStdString(path).toPercentEncoding("/!$&'()*+,;=:@"), QUrl::StrictMode);
  if (!m_openUrl || !m_openUrl(url))
    showError(catalog::kPathFileAccessError,
              QStringLiteral("No program could be started to open '%1'.")
                  .arg(QString::fromStdString(engine::validUtf8(path))));
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
  if (!m_menuPath.empty()) QGuiApplication::clipboard()->setText(QString::fromStdString(m_menuPath));
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
