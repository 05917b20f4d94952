#pragma once

#include <QWidget>

#include <functional>
#include <string>

#include "ui/errordisplay.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QString;

namespace tagreader {

// The MP3 tag reader: the user types the path of one file and presses "Read Tag"; the window
// shows the fields of that file's ID3v1 tag. It neither reads nor writes the catalogue.
class frmTagReader final : public QWidget {
  Q_OBJECT

 public:
  // `showError` receives every failure of Read Tag; the window carries on after it. Without
  // one, the window shows a message box "Error N" over itself.
  // `keepClosed` names files the window must not open: the catalogue the program has open,
  // whose locks a descriptor of ours would drop when it closed.
  using KeepClosed = std::function<bool(const std::string& path)>;
  explicit frmTagReader(ui::ErrorDisplay showError = {}, QWidget* parent = nullptr,
                        KeepClosed keepClosed = {});

  QLineEdit* txtFile;
  QPushButton* cmdReadTag;
  QLineEdit* txtSongname;
  QLineEdit* txtArtist;
  QLineEdit* txtAlbum;
  QLineEdit* txtYear;
  QLineEdit* txtComment;
  QLineEdit* txtGenre;
  QLabel* Label1[6];

 public slots:
  // Reads the tag of the file named in txtFile into the boxes. Without a tag only txtSongname
  // changes, to "No Tag!"; on a failure the error display is called and no box changes.
  void cmdReadTag_Click();

 private:
  ui::ErrorDisplay m_showError;
  KeepClosed m_keepClosed;
};

// Opens the tag reader from the main window: one window in the program, modeless and without an
// owner, so it stays open and working when the main window closes. While it is open, a call
// brings that same window to the front with its texts as they are; once the user has closed it
// (it deletes itself then), the next call creates it afresh. `showError` is used only when the
// window is created, and must not refer to the main window, which may close first; without one
// the window shows its errors in message boxes of its own.
frmTagReader* showTagReader(ui::ErrorDisplay showError = {},
                            frmTagReader::KeepClosed keepClosed = {});

}  // namespace tagreader
