#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

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

  enum class Walk { Import, Rescan };

  // An import or rescan of `folder` has started; `progress` tells how far it is.
  void start(const std::string& folder, std::function<importer::ImportProgress()> progress,
             Walk walk = Walk::Import);
  // The import is over: shows its summary.
  void finish(importer::ImportEnd end, bool failed);
  // The walk is over: shows `summary`, which the caller made.
  void finishWith(const QString& summary);
  // Clears a summary; does nothing while an import runs.
  void clear();

  QString text() const;

 signals:
  void cancelClicked();

 private:
  importer::ImportProgress lastProgress() const;
  void refresh();
  void showFolder(const std::string& folder);

  std::function<importer::ImportProgress()> m_progress;
  std::string m_folder;
  Walk m_walk = Walk::Import;
  QElapsedTimer m_elapsed;
  QTimer m_refresh;
  QLabel* m_text = nullptr;
  QLabel* m_currentFolder = nullptr;
  QPushButton* m_cancel = nullptr;
};
