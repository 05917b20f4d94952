#include "frmtagreader.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include <QDir>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QString>

#include "id3v1.h"
#include "ui/twips.h"

namespace tagreader {

namespace {

// Positions and sizes are laid out in twips, all whole pixels (multiples of 15), so they convert
// exactly.
void place(QWidget* w, const char* name, int left, int top, int width, int height) {
  w->setObjectName(QString::fromLatin1(name));
  w->setGeometry(twips::toPixels(left), twips::toPixels(top), twips::toPixels(width),
                 twips::toPixels(height));
}

QLineEdit* textBox(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* box = new QLineEdit(parent);
  place(box, name, left, top, width, height);
  return box;
}

QString sampleFilePath() {
  QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
  if (music.isEmpty() || QDir::isRelativePath(music)) music = QDir::homePath() + "/Music";
  return QDir::toNativeSeparators(QDir::cleanPath(music + "/example.mp3"));
}

}  // namespace

frmTagReader::frmTagReader(ui::ErrorDisplay showError, QWidget* parent, KeepClosed keepClosed)
    : QWidget(parent), m_showError(std::move(showError)), m_keepClosed(std::move(keepClosed)) {
  if (!m_showError) m_showError = ui::messageBoxErrorDisplay(this);
  setObjectName(QStringLiteral("frmTagReader"));
  setWindowTitle(QStringLiteral("MP3 tag reader"));
  resize(twips::toPixels(5865), twips::toPixels(3480));
  // The layout was drawn for an 8-point font (11 pixels); the desktop's usual 9 or 10 points
  // would not fit the labels into their places.
  QFont small = font();
  small.setPixelSize(11);
  setFont(small);

  txtFile = textBox(this, "txtFile", 270, 210, 5385, 285);
  txtFile->setText(sampleFilePath());
  cmdReadTag = new QPushButton(QStringLiteral("Read Tag"), this);
  place(cmdReadTag, "cmdReadTag", 210, 660, 2505, 405);
  txtSongname = textBox(this, "txtSongname", 930, 1200, 4785, 285);
  txtArtist = textBox(this, "txtArtist", 930, 1560, 4785, 285);
  txtAlbum = textBox(this, "txtAlbum", 930, 1920, 4785, 285);
  txtYear = textBox(this, "txtYear", 930, 2280, 4785, 285);
  txtComment = textBox(this, "txtComment", 930, 2640, 4785, 285);
  txtGenre = textBox(this, "txtGenre", 930, 3000, 4785, 285);

  struct LabelPlace {
    const char* caption;
    int top, width;
  };
  constexpr LabelPlace kLabels[6] = {{"Title", 1230, 300},   {"Artist", 1560, 345},
                                    {"Album", 1950, 435},   {"Year", 2340, 330},
                                    {"Comment", 2700, 660}, {"Genre", 3060, 435}};
  for (int i = 0; i < 6; ++i) {
    Label1[i] = new QLabel(QString::fromLatin1(kLabels[i].caption), this);
    const std::string name = "Label1_" + std::to_string(i);
    place(Label1[i], name.c_str(), 120, kLabels[i].top, kLabels[i].width, 195);
    // A font wider than the one the layout was drawn for would cut the caption off.
    if (Label1[i]->sizeHint().width() > Label1[i]->width()) {
      Label1[i]->resize(Label1[i]->sizeHint().width(), Label1[i]->height());
    }
  }

  // Screen readers name each box after its label; the path box has none.
  txtFile->setAccessibleName(QStringLiteral("MP3 file path"));
  QLineEdit* const labelled[6] = {txtSongname, txtArtist, txtAlbum, txtYear, txtComment, txtGenre};
  for (int i = 0; i < 6; ++i) {
    labelled[i]->setAccessibleName(Label1[i]->text());
    Label1[i]->setBuddy(labelled[i]);
  }

  QWidget* const tabOrder[] = {txtFile,  cmdReadTag, txtSongname, txtArtist,
                               txtAlbum, txtYear,    txtComment,  txtGenre};
  for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
    setTabOrder(tabOrder[i - 1], tabOrder[i]);
  }

  connect(cmdReadTag, &QPushButton::clicked, this, &frmTagReader::cmdReadTag_Click);
}

void frmTagReader::cmdReadTag_Click() {
  // The path is taken exactly as typed. The file is read and closed before any box changes.
  const QString path = txtFile->text();
  const std::string bytes = QFile::encodeName(path).toStdString();
  if (m_keepClosed && m_keepClosed(bytes)) {
    m_showError(err::kPermissionDenied,
                QStringLiteral("\"%1\" is the catalogue this program has open; it is not read "
                               "here while it is open.")
                    .arg(path));
    return;
  }
  std::optional<Id3v1Tag> tag;
  try {
    tag = readId3v1(bytes);
  } catch (const TagReadError& e) {
    m_showError(e.number(), QString::fromUtf8(e.description()));
    return;
  } catch (const std::exception& e) {
    // Out of memory and the like: still no reason to end the program.
    m_showError(err::kDeviceIO, QStringLiteral("Cannot read the tag of \"%1\": %2.")
                                    .arg(path, QString::fromLocal8Bit(e.what())));
    return;
  }

  if (!tag) {
    txtSongname->setText(QStringLiteral("No Tag!"));
    return;
  }
  txtSongname->setText(QString::fromStdString(tag->Title));
  txtArtist->setText(QString::fromStdString(tag->Artist));
  txtAlbum->setText(QString::fromStdString(tag->Album));
  txtYear->setText(QString::fromStdString(tag->Year));
  txtComment->setText(QString::fromStdString(tag->Comment));
  txtGenre->setText(QString::fromStdString(tag->Genre));
}

frmTagReader* showTagReader(ui::ErrorDisplay showError, frmTagReader::KeepClosed keepClosed) {
  static QPointer<frmTagReader> instance;
  // A closed window is hidden at once but deleted only later, from the event loop: do not
  // bring that one back.
  if (instance && !instance->isVisible()) instance = nullptr;
  if (!instance) {
    instance = new frmTagReader(std::move(showError), nullptr, std::move(keepClosed));
    instance->setAttribute(Qt::WA_DeleteOnClose);
  }
  instance->setWindowState(instance->windowState() & ~Qt::WindowMinimized);
  instance->show();
  instance->raise();
  instance->activateWindow();
  return instance;
}

}  // namespace tagreader
