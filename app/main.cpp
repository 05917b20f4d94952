// QuollsongDB: the catalogue beside the program, shown in the main window.
#include <QApplication>
#include <QIcon>
#include <QSettings>

#include <memory>

#include "app/frmmain.h"
#include "app/shutdownsignals.h"
#include "import/folderpicker.h"
#include "import/mp3info.h"
#include "ui/errordisplay.h"
#include "ui/question.h"

int main(int argc, char** argv) {
  // The program takes no arguments: not even the toolkit's own options are read.
  int toolkitArgc = argc > 0 ? 1 : 0;
  QApplication app(toolkitArgc, argv);
  QApplication::setApplicationName(QStringLiteral("QuollsongDB"));
  // The user's settings file is then ~/.config/QuollsongDB/QuollsongDB.conf.
  QApplication::setOrganizationName(QStringLiteral("QuollsongDB"));
  QApplication::setApplicationVersion(QStringLiteral(QUOLLSONG_VERSION));
  // The menu entry scripts/install writes is quollsongdb.desktop; naming it lets desktops that
  // match windows to entries (Wayland ones do) show its name and icon for the window.
  QGuiApplication::setDesktopFileName(QStringLiteral("quollsongdb"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/quollsongdb.png")));

  // The catalogue always lies beside the executable; there is no other place and no setting.
  const QString catalogue = QCoreApplication::applicationDirPath() + QStringLiteral("/music_1.mdb");
  // Made before the window and gone after it, so that a signal while the window is taken down
  // is still handled.
  ShutdownSignals shutdown;
  frmMain window(catalogue, ui::messageBoxErrorDisplay(), importer::fileDialogFolderPicker(),
                 importer::createTagLibMp3Info);
  window.setQuestion(ui::messageBoxQuestion(&window));
  window.setCheckDialog(askCheckChoice);
  window.setSettings(std::make_shared<QSettings>());
  // A logout or a closed terminal closes the window as a close does, the catalogue with it.
  closeOnShutdownSignals(shutdown, window);
  if (!window.Form_Load()) return 1;
  window.show();
  return QApplication::exec();
}
