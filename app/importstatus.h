#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

#include "app/importrunner.h"
#include "import/folderimport.h"

class QLabel;
class QPushButton;

// The import's part of the status bar: while an import runs, how many songs it stored, how
// fast, the folder it is walking and a "Cancel" button; afterwards what it did, until the
// next import or view.
class ImportStatus final : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ImportStatus)

 public:
  explicit ImportStatus(QWidget* parent = nullptr);

  // What a task shows once its Cancel was clicked, until it has returned; the button is
  // disabled meanwhile.
  static constexpr const char* kStoppingText = "Stopping\u2026";

  using Walk = ImportRunner::Walk;

  // An import or rescan of `folder` has started; `progress` tells how far it is.
  void start(const std::string& folder, std::function<importer::ImportProgress()> progress,
             Walk walk);
  // Another task that reads files (Check Files) has started: shows what `progress` says, with
  // the same Cancel button, until finishWith(); kStoppingText once Cancel was clicked.
  void startTask(std::function<QString()> progress);
  // The walk is over: shows `summary`, which the runner made.
  void finishWith(const QString& summary);
  // Clears a summary; does nothing while an import runs.
  void clear();

  QString text() const;

 signals:
  void cancelClicked();

 private:
  void refresh();
  void showFolder(const std::string& folder);

  std::function<importer::ImportProgress()> m_progress;
  std::function<QString()> m_taskProgress;
  Walk m_walk = Walk::Import;
  bool m_stopping = false;  // a task's Cancel was clicked
  QElapsedTimer m_elapsed;
  QTimer m_refresh;
  QLabel* m_text = nullptr;
  QLabel* m_currentFolder = nullptr;
  QPushButton* m_cancel = nullptr;
};
