#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/recordsetmodel.h"
#include "catalog/undo.h"
#include "app/checkdialog.h"
#include "app/windowsettings.h"
#include "engine/engine.h"
#include "import/filehealth.h"
#include "import/folderpicker.h"
#include "import/mp3info.h"
#include "import/songinfo.h"
#include "ui/errordisplay.h"
#include "ui/question.h"

class CheckRunner;
class ImportRunner;
class frmStatistics;
class ImportStatus;
class QTimer;
class ViewCounter;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QSettings;
class QUrl;

namespace catalog {
class BoundGrid;
class DataControl;
class SearchIndexer;
class UndoStack;
}  // namespace catalog

// The main window: the catalogue in a bound grid, search boxes bound to the current row, an SQL
// box and the buttons that list, search, sort, run SQL, delete, add and save. Every handler
// catches what fails, shows it through the error display and stops; the window carries on.
// Its import runner owns the folder import and the rescan; the window picks the folder, shows
// their progress in the status bar, where they can be cancelled, and closes once they return.
class frmMain final : public QMainWindow {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmMain)

 public:
  // `catalogPath` is the catalogue file; the other arguments are the outside components.
  frmMain(QString catalogPath, ui::ErrorDisplay errorDisplay, importer::FolderPicker folderPicker,
          importer::Mp3InfoFactory mp3InfoFactory, QWidget* parent = nullptr);
  ~frmMain() override;

  // Opens the catalogue connection. False when the catalogue cannot be opened or lacks the
  // table: the error, with the path, has been shown and the window is not to be used.
  bool Form_Load();

  // How the window asks before it removes rows; without one, the answer is always No.
  void setQuestion(ui::Question question);
  // How the window hands a file or folder to the desktop's default application; true when it
  // was handed over. The desktop services unless set.
  using UrlOpener = std::function<bool(const QUrl& url)>;
  void setUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }
  // Asks where to save: the file name and the filter chosen among `filters` (";;" between
  // them), or nullopt when the user cancelled. The dialog starts in the folder `start` names,
  // with its filter chosen (empty: the current folder, the first filter). A save dialog unless
  // set.
  struct SaveChoice {
    QString fileName;
    QString filter;
  };
  using SaveDialog = std::function<std::optional<SaveChoice>(
      QWidget* parent, const QString& caption, const QString& filters, const SaveChoice& start)>;
  void setSaveDialog(SaveDialog dialog) { m_saveDialog = std::move(dialog); }
  // Where the window keeps its size and place, the grid's dragged widths and column order, the
  // dialogs' last folders and the export format between runs; without one they last this run
  // only. What it holds applies at once, so it is set before the window is shown.
  void setSettings(std::shared_ptr<QSettings> settings);

  // Check Files: how it asks what to read (a small dialog unless set), and the per-file check
  // it runs on its worker threads (importer::checkFileHealth unless set).
  void setCheckDialog(CheckDialog dialog) { m_checkDialog = std::move(dialog); }
  using FileChecker = std::function<std::vector<importer::HealthFinding>(
      const std::string& path, const importer::HealthOptions& options,
      const std::atomic<bool>& stop)>;
  void setFileChecker(FileChecker checker);
  CheckRunner& checkRunner() const { return *m_checkRunner; }
  // Shows "SELECT * FROM music_shelf WHERE <condition> ORDER BY ID" as an updatable view, and
  // brings the window to the front. `condition` is SQL the program built, its values quoted by
  // engine::doubleApostrophes: never text the user typed. A failure is shown as any view's.
  void showSongsWhere(const std::string& condition);

 public slots:
  void cmdShowAll_Click();
  void cmdSearch_Click();
  void Command1_Click();
  void Command3_Click();
  void DBGrid1_HeadClick(int ColIndex);
  void cmdSQL_Click();
  void cmdDelet_Click();
  void cmdAdd_Click();
  void cmdUpdate_Click();
  void cmdAddDir_Click();
  void mnufileExit_Click();
  void mnuTagReader_Click();
  void mnuRescan_Click();
  void mnuRescanLast_Click();
  void mnuShowMissing_Click();
  void mnuShowDuplicates_Click();
  void mnuShowDuplicateSongs_Click();
  void mnuExport_Click();
  void mnuStatistics_Click();
  void mnuPlay_Click();
  void mnuOpenFolder_Click();
  void mnuCopyPath_Click();
  void mnuUndo_Click();
  void mnuRedo_Click();
  void txtTitle_Change();
  void Form_Resize();
  // The filter box: typing restarts a short pause, after which the filter is shown.
  void txtFilter_Change();
  void mnuFilter_Click();
  void applyFilter();
  // The session is ending (SIGTERM, SIGHUP, SIGINT): closes as a close does, with nobody there
  // to answer. Open dialogs are cancelled, every question counts as No, a running walk stops
  // before its next row, and errors and edits that cannot be saved go to standard error rather
  // than into a dialog. A second call while closing does nothing more.
  void closeForSignal();
  // Check Files reads the files of the current view, or of those below a folder, and lists what
  // is wrong with them; Show Problems lists what the last checks found, without reading.
  void mnuCheckFiles_Click();
  void mnuShowProblems_Click();

 signals:
  // The window closed after closeForSignal(), its catalogue closed.
  void closedForSignal();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class TestFrmMain;
  friend class TestFrmMainEdit;
  friend class TestFrmMainSettings;
  friend class SignalCloseProbe;

  void buildControls();
  void buildMenus();
  // The Edit menu with Undo and Redo, and what keeps the window's changes for them.
  void buildEditMenu();
  void buildStatusBar();
  void buildFilterBox();
  // Menu shortcuts, Rescan Last Directory, Enter in the search boxes, the buttons' names.
  void buildKeyboard();
  // Names the last rescanned folder in Rescan Last Directory.
  void showRescanLast();
  void Form_Unload();

  // The folder import of `path` (the folder name's bytes), run by the import runner, and the
  // reader of one file's song properties.
  void ScanFolder(const std::string& path);
  void ReadMp3Info(const std::string& path, importer::SongInfo& info);
  // Asks for a music folder, as "Add Directory" does, starting in the folder last chosen for
  // `kind`, keeps it as that, and runs `walk` on it (its name's bytes) unless an import or
  // rescan is running already.
  template <typename Walk>
  void walkChosenFolder(WindowSettings::Folder kind, Walk&& walk);
  template <typename Walk>
  void walkFolder(const QString& folder, Walk&& walk);
  void wireImportRunner();

  // Runs one step of a handler; a failure is shown and ends the handler.
  template <typename Step>
  void guarded(Step&& step);
  void showError(int number, const QString& description);
  // Cancels every modal dialog that is open; true when there was one.
  static bool rejectModalDialogs();
  // Writes the kept edits a signal's close gives up to standard error, so they are not lost
  // without a word.
  static void logUnsavedEdits(const std::vector<catalog::RecordsetModel::KeptEdit>& kept);

  // The three ways every handler reaches the catalogue.
  void runStatement(const std::string& sql);
  // `fitColumns` false keeps the grid's column widths.
  void showQuery(const std::string& source, int type, bool fitColumns = true);
  void reloadView();
  // The same, then the row with catalogue ID `id` current again when the view lists it (looked
  // for at row `near` first); otherwise the first row, as after any reload.
  void reloadViewAt(std::optional<std::int64_t> id, int near);
  // Counts the view's rows and the catalogue's songs for the status bar: on the counter's thread
  // when it has one, otherwise on this one once the window has shown the rows.
  void countRowsSoon();
  void countHereSoon();
  void showRowCount();
  void showCounted(std::int64_t rows, std::optional<std::int64_t> songs,
                   std::optional<std::int64_t> seconds);
  // Whether the view lists the catalogue's rows one a line (it has their ID), and whether it has
  // their Duration.
  bool viewListsSongs() const;
  bool viewHasDuration() const;
  // The sort arrow of the heading a view is sorted by; none for other views.
  void showSortArrow(int column, bool descending);
  // A view other than the filter is shown: the filter box is emptied, quietly.
  void leaveFilter();
  // Shows the filter's view of `text`, sorted as the filter's last heading click asked.
  void showFilter(const std::string& text);
  // Adds the filter's index to a writable catalogue without it, and starts its indexer.
  void prepareSearchIndex();
  // There may be rows waiting for the filter's index: the indexer folds them, unless a walk
  // runs, whose end it then waits for.
  void startIndexCatchUp();
  // The row menu: Play, Open Containing Folder, Copy Path for `row`.
  void showRowMenu(int row, const QPoint& globalPos);
  // The real path of the menu row's file, when it is on disk; otherwise shows that it is not.
  std::optional<std::string> menuRowFileOnDisk();
  // Hands a file or folder (its path's bytes) to the desktop.
  void openWithDesktop(const std::string& path);
  // Takes the default workspace and a new handle on the catalogue.
  void connectCatalogue();
  void showLockWait(qint64 seconds);
  void endLockWait();
  // A one-time word to the user beside the import's status, until the next view.
  void showNotice(const QString& text);
  engine::Database& database() const;

  // The field of `recordset` holding the catalogue ID of `row`. Throws engine::EngineError
  // (kItemNotFound) when the view lists none, or more than one that disagree.
  // The catalogue IDs of every row a view lists, read without caching its rows. Throws
  // engine::EngineError as a delete of one of its rows would.
  std::vector<std::int64_t> idsOfWholeView(const engine::Recordset& view);
  static int rowIdField(const engine::Recordset& recordset, std::int64_t row);
  // Undo or redo the last step, with the row it changed current.
  void stepUndo(bool undoing);
  void showUndoEntries();
  // Tries once more to write the cell edits another program's lock kept out, oldest first;
  // tries again later while the lock lasts. An edit of a field that was saved meanwhile (by this
  // window or another program) is given up rather than written over the newer value.
  void retryKeptEdit();
  enum class KeptOutcome { kSaved, kWaiting, kGivenUp };
  // One kept edit's try; what became of it is added to `said`, for the status bar.
  KeptOutcome saveKeptEdit(const catalog::RecordsetModel::KeptEdit& kept, QStringList& said);
  // Update Mp3 Tags wrote the row that was `before`: kept edits of the fields it changed are
  // older than what it saved.
  void dropOverwrittenKeptEdits(const catalog::SongRow& before);

  // Connection state.
  std::shared_ptr<engine::Database> dbMusic;
  engine::Workspace* wsMusic = nullptr;
  std::int16_t intSortCol = 0;
  bool m_idSortDescending = false;  // the direction of the last sort on column 0
  std::unique_ptr<importer::Mp3Info> objMp3Info;

  QString m_catalogPath;
  ui::ErrorDisplay m_errorDisplay;
  ui::Question m_question;
  UrlOpener m_openUrl;
  SaveDialog m_saveDialog;
  WindowSettings m_settings;
  std::string m_menuPath;         // the stored Filename of the row the row menu is for
  bool m_rowCountPending = false;
  importer::FolderPicker m_folderPicker;
  importer::Mp3InfoFactory m_mp3InfoFactory;
  // Made before the controls and gone before them, so that its lock-wait reports always find
  // the status bar.
  std::unique_ptr<ImportRunner> m_runner;
  bool m_unloaded = false;
  catalog::UndoStack* m_undo = nullptr;
  QTimer* m_keptEditRetry = nullptr;
  bool m_closingWithoutKept = false;  // the user chose to close with kept edits unsaved
  bool m_closingForSignal = false;    // closeForSignal() came: nobody answers any more
  // The row a cell edit is being written to, as it was just before.
  std::optional<std::int64_t> m_editedId;
  std::vector<std::optional<catalog::SongRow>> m_editedBefore;

  // The filter.
  bool m_filterShown = false;  // the view is the filter's
  bool m_showingFilter = false;  // the filter's view is being shown
  bool m_searchIndexed = false;  // the catalogue has the filter's index
  qint64 m_lastFilterMs = 0;     // how long the last filter took to show
  struct FilterSort {
    int column;
    bool descending;
  };
  std::optional<FilterSort> m_filterSort;  // the filter's heading sort, kept as it changes
  // The view shown before the filter, which an emptied filter goes back to.
  std::optional<std::pair<std::string, int>> m_viewBeforeFilter;
  QTimer* m_filterTimer = nullptr;
  // Folds rows into the filter's index on its own thread; paused while a walk runs.
  std::unique_ptr<catalog::SearchIndexer> m_indexer;
  std::unique_ptr<ViewCounter> m_counter;
  std::uint64_t m_countGeneration = 0;

  // Controls, named as their objectName.
  QPushButton* Command1 = nullptr;
  QPushButton* cmdShowAll = nullptr;
  QPushButton* Command3 = nullptr;
  QLineEdit* txtTitle = nullptr;
  QLineEdit* txtArtist = nullptr;
  catalog::BoundGrid* DBGrid1 = nullptr;
  QPlainTextEdit* txtSQL = nullptr;
  QPushButton* cmdSQL = nullptr;
  QLabel* Label1 = nullptr;
  std::array<QLabel*, 2> Label2{};
  QPushButton* cmdSearch = nullptr;
  QPushButton* cmdAdd = nullptr;
  QPushButton* cmdDelet = nullptr;
  QPushButton* cmdUpdate = nullptr;
  QPushButton* cmdAddDir = nullptr;
  catalog::DataControl* Data1 = nullptr;
  ImportStatus* m_importStatus = nullptr;
  QLabel* lblNotice = nullptr;
  QLabel* lblReadOnly = nullptr;

  QMenu* mnufile = nullptr;
  QAction* mnufileExit = nullptr;
  QMenu* mnuDebug = nullptr;
  QAction* mnuTagReader = nullptr;
  QMenu* mnuCatalogue = nullptr;
  QAction* mnuRescan = nullptr;
  QAction* mnuRescanLast = nullptr;
  QAction* mnuShowMissing = nullptr;
  QAction* mnuShowDuplicates = nullptr;
  QAction* mnuShowDuplicateSongs = nullptr;
  QAction* mnuExport = nullptr;
  QAction* mnuStatistics = nullptr;
  QPointer<frmStatistics> m_statistics;  // the Statistics window while it is open
  std::shared_ptr<QSettings> m_settingsStore;  // what the Statistics window keeps its size in
  QLabel* lblRowCount = nullptr;
  QLineEdit* txtFilter = nullptr;
  QAction* mnuFilter = nullptr;
  QMenu* mnuRow = nullptr;
  QAction* mnuPlay = nullptr;
  QAction* mnuOpenFolder = nullptr;
  QAction* mnuCopyPath = nullptr;
  QMenu* mnuEdit = nullptr;
  QAction* mnuUndo = nullptr;
  QAction* mnuRedo = nullptr;

  // Check Files, last in the Catalogue menu, and the runner that owns a running check.
  void buildCheckFiles();
  // A heading click on the problems view sorts within it; false for any other view.
  bool sortProblems(int column);
  std::unique_ptr<CheckRunner> m_checkRunner;
  CheckDialog m_checkDialog;
  QAction* mnuCheckFiles = nullptr;
  QAction* mnuShowProblems = nullptr;
  std::int16_t m_problemsSortCol = -1;
  bool m_problemsSortDescending = false;
};
