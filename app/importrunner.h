#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <string>

#include "import/folderimport.h"
#include "import/mp3info.h"
#include "ui/question.h"

// Owns the folder import and the rescan while they run, so that the window only listens. One
// walk at a time runs to its end on the caller's thread, letting the window's events run between
// its rows; Cancel or the window's close stops it at its next row. The rescan asks through the
// question before it removes anything. What the window is to show comes by signals; nothing
// here throws into the event loop. It also reports the catalogue's waits for other programs,
// for whichever statement of the window meets one.
class ImportRunner final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ImportRunner)

 public:
  // The catalogue handle to use now: the window may reopen the catalogue while a walk runs.
  using DatabaseSource = importer::FolderImport::DatabaseSource;
  using Yield = importer::FolderImport::Yield;

  enum class Walk { Import, Rescan };

  // What the status bar says once when a walk (or a view that needs it) has added the companion
  // table to an older catalogue.
  static constexpr const char* kShelfFilesNotice =
      "The catalogue now also keeps what it needs to follow moved, renamed and retagged files.";

  ImportRunner(importer::Mp3InfoFactory factory, DatabaseSource database,
               QObject* parent = nullptr);
  ~ImportRunner() override;

  // How the rescan asks before it removes rows; without one, the answer is always No.
  void setQuestion(ui::Question question) { m_question = std::move(question); }
  // What the walk calls to let the window run; QCoreApplication::processEvents unless set.
  void setYield(Yield yield) { m_yield = std::move(yield); }

  // Imports `folder` (its name's bytes), every file below it. Returns when the import is over;
  // does nothing while a walk runs already.
  void addDirectory(const std::string& folder);
  // Brings the catalogue in step with `folder`: stores its new files, then offers to remove the
  // rows whose files are gone, and in a question of its own those below folders that are gone
  // as a whole (a disk that is not plugged in, as like as not). Returns when it is over; does
  // nothing while a walk runs already.
  void rescanDirectory(const std::string& folder);

  // Stops the running walk before its next row; a rescan stopped so asks nothing.
  void cancel();
  // The window is closing. True when it may close now; otherwise the running walk stops as for
  // cancel(), and mayClose() comes once it has returned, so the connection is never closed
  // under it.
  bool stopForClose();

  bool isRunning() const { return m_running; }
  // What the running walk, or the last one, has done.
  importer::ImportProgress progress() const { return m_import.progress(); }

 signals:
  // A walk of `folder` (its name's bytes) has started; progress() tells how far it is.
  void walkStarted(const std::string& folder, ImportRunner::Walk walk);
  // What the walk did, once its walking is over. A rescan that asked about vanished rows says
  // it again once the answer has been carried out.
  void walkSummary(const QString& summary);
  // The walk, or what came before it, failed; it has stopped.
  void failed(int number, const QString& description);
  // Something the user is to be told once.
  void notice(const QString& text);
  // A statement waits for another program that holds the catalogue, `seconds` so far; the
  // window cannot run its events meanwhile. lockWaitEnded() follows when it goes on or gives up.
  void lockWaiting(qint64 seconds);
  void lockWaitEnded();
  // The walk has returned, whatever its end: isRunning() is false again.
  void walkEnded();
  // The walk that stopForClose() stopped has returned: the window may close now.
  void mayClose();

 private:
  // Runs `walk` as the one running walk, and turns what it throws into failed().
  template <typename Step>
  void runWalk(Step&& walk);
  // Adds the companion table where the catalogue lacks it and can take it.
  void prepareCatalogue();
  void importFolder(const std::string& folder);
  void rescanFolder(const std::string& folder);
  void reportLockWait(std::chrono::milliseconds waited);
  void endLockWait();

  DatabaseSource m_database;
  importer::FolderImport m_import;
  ui::Question m_question;
  Yield m_yield;
  QElapsedTimer m_elapsed;  // since the running or last import started
  bool m_running = false;
  bool m_cancelled = false;       // Cancel came during the running walk
  bool m_closeRequested = false;  // the window's close came during the running walk
  bool m_reportedLockWait = false;
};
