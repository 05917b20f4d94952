#include "tagreader/frmtagreader.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "support/tempdir.h"
#include "tagblock.h"
#include "tagreader/id3v1.h"

using tagreader::frmTagReader;
using testsupport::TempDir;

namespace {

// Stands in for the message box: remembers what it was asked to show.
struct RecordedErrors {
  std::vector<std::pair<int, QString>> calls;
};

ui::ErrorDisplay recordInto(const std::shared_ptr<RecordedErrors>& errors) {
  return [errors](int number, const QString& description) {
    errors->calls.emplace_back(number, description);
  };
}

// The path of `name` in the temporary folder, as the window takes it.
QString pathIn(const TempDir& dir, const QString& name) {
  return QFile::decodeName(dir.path(QFile::encodeName(name).toStdString()).c_str());
}

QString writeFile(const TempDir& dir, const QString& name, const std::string& bytes) {
  return QFile::decodeName(dir.write(QFile::encodeName(name).toStdString(), bytes).c_str());
}

// Some audio, then a space-filled tag with a Windows-1252 letter, leading spaces in the album
// and a track number at the end of the comment.
const std::string kTagged =
    std::string(300, '\xFF') + TagBlock()
                                   .title("Caf\xE9 Song")
                                   .artist("The Artist")
                                   .album("  Album")
                                   .year("1999")
                                   .comment("Good" + std::string(25, '\0') + "\x05")
                                   .genre(17)
                                   .fill(' ')
                                   .bytes();

struct BoxTexts {
  QString song, artist, album, year, comment, genre;
  bool operator==(const BoxTexts&) const = default;
};

BoxTexts boxTexts(const frmTagReader& w) {
  return {w.txtSongname->text(), w.txtArtist->text(),  w.txtAlbum->text(),
          w.txtYear->text(),     w.txtComment->text(), w.txtGenre->text()};
}

void readTag(frmTagReader& w, const QString& path) {
  w.txtFile->setText(path);
  QTest::mouseClick(w.cmdReadTag, Qt::LeftButton);
}

}  // namespace

class TestFrmTagReader : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(std::filesystem::is_directory(m_dir.path()));
    m_errors = std::make_shared<RecordedErrors>();
    m_window = std::make_unique<frmTagReader>(recordInto(m_errors));
    m_window->show();
  }
  void cleanup() { m_window.reset(); }

  void startsWithSamplePathAndEmptyBoxes() {
    frmTagReader& w = *m_window;
    QCOMPARE(w.windowTitle(), QStringLiteral("MP3 tag reader"));
    QCOMPARE(w.size(), QSize(391, 232));  // 5865 x 3480 twips
    QVERIFY(w.findChild<QMenuBar*>() == nullptr);
    const QString sample = w.txtFile->text();
    QVERIFY2(sample.startsWith(QDir::homePath() + "/") && sample.endsWith(".mp3"),
             qPrintable(sample));
    QCOMPARE(boxTexts(w), BoxTexts{});

    QStringList tabOrder;
    QWidget* next = w.txtFile;
    do {
      if (next->focusPolicy() & Qt::TabFocus) tabOrder << next->objectName();
      next = next->nextInFocusChain();
    } while (next != w.txtFile);
    QCOMPARE(tabOrder, QStringList({"txtFile", "cmdReadTag", "txtSongname", "txtArtist", "txtAlbum",
                                    "txtYear", "txtComment", "txtGenre"}));

    // A screen reader names every box.
    QStringList names;
    for (QLineEdit* box : {w.txtFile, w.txtSongname, w.txtArtist, w.txtAlbum, w.txtYear,
                           w.txtComment, w.txtGenre})
      names << box->accessibleName();
    QCOMPARE(names, QStringList({"MP3 file path", "Title", "Artist", "Album", "Year", "Comment",
                                 "Genre"}));
  }

  // A file the program must keep closed (its open catalogue) is refused before it is opened,
  // and the boxes keep what they showed.
  void refusesAFileItMustKeepClosed() {
    const QString tagged = writeFile(m_dir, "catalogue.mp3", kTagged);
    std::vector<std::string> asked;
    frmTagReader w(recordInto(m_errors), nullptr, [&](const std::string& path) {
      asked.push_back(path);
      return path.ends_with("catalogue.mp3");
    });
    readTag(w, tagged);
    QCOMPARE(asked.size(), std::size_t{1});
    QCOMPARE(m_errors->calls.size(), std::size_t{1});
    QCOMPARE(m_errors->calls[0].first, 70);
    QVERIFY(m_errors->calls[0].second.contains("catalogue this program has open"));
    QCOMPARE(boxTexts(w), BoxTexts{});
  }

  void controlsStandWhereTheyBelong_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    QTest::newRow("txtFile") << "txtFile" << QRect(270, 210, 5385, 285);
    QTest::newRow("cmdReadTag") << "cmdReadTag" << QRect(210, 660, 2505, 405);
    QTest::newRow("txtSongname") << "txtSongname" << QRect(930, 1200, 4785, 285);
    QTest::newRow("txtGenre") << "txtGenre" << QRect(930, 3000, 4785, 285);
    QTest::newRow("Label1_0") << "Label1_0" << QRect(120, 1230, 300, 195);
    QTest::newRow("Label1_4") << "Label1_4" << QRect(120, 2700, 660, 195);
  }
  void controlsStandWhereTheyBelong() {
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    auto* control = m_window->findChild<QWidget*>(name);
    QVERIFY2(control != nullptr, qPrintable(name));
    const QRect expected(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
    if (!name.startsWith("Label1_")) {
      QCOMPARE(control->geometry(), expected);
      return;
    }
    // A label keeps its place and height, and is widened only as far as its caption needs.
    QCOMPARE(control->pos(), expected.topLeft());
    QCOMPARE(control->height(), expected.height());
    QCOMPARE(control->width(), std::max(expected.width(), control->sizeHint().width()));
  }

  void readTagThenNoTag() {
    frmTagReader& w = *m_window;
    const QString path = writeFile(m_dir, "song.mp3", kTagged);
    w.txtFile->clear();
    QTest::keyClicks(w.txtFile, path);
    QTest::mouseClick(w.cmdReadTag, Qt::LeftButton);
    const BoxTexts tagged{
        QString::fromUtf8("Caf\u00E9 Song"), "The Artist", "  Album", "1999", "Good", "Rock (17)"};
    QCOMPARE(boxTexts(w), tagged);
    QCOMPARE(w.txtFile->text(), path);

    // No tag: only the title box changes.
    readTag(w, writeFile(m_dir, "untagged.mp3", std::string(500, '\x55') + "tag"));
    BoxTexts expected = tagged;
    expected.song = "No Tag!";
    QCOMPARE(boxTexts(w), expected);
    QVERIFY(m_errors->calls.empty());
  }

  void errorsGoToTheDisplayAndBoxesKeepTheirTexts_data() {
    QTest::addColumn<QString>("name");  // in the temporary folder
    QTest::addColumn<int>("number");
    QTest::newRow("empty") << QString() << tagreader::err::kBadFileName;
    QTest::newRow("missing") << "missing.mp3" << tagreader::err::kFileNotFound;
    QTest::newRow("folder") << "folder.mp3" << tagreader::err::kPathFileAccess;
    QTest::newRow("fifo") << "pipe.mp3" << tagreader::err::kPathFileAccess;
    QTest::newRow("short") << "short.mp3" << tagreader::err::kFileTooShort;
  }
  void errorsGoToTheDisplayAndBoxesKeepTheirTexts() {
    QFETCH(QString, name);
    QFETCH(int, number);
    const QByteArray kind = QTest::currentDataTag();
    frmTagReader& w = *m_window;
    readTag(w, writeFile(m_dir, "tagged.mp3", kTagged));
    const BoxTexts before = boxTexts(w);

    const QString path = name.isEmpty() ? QString() : pathIn(m_dir, name);
    if (kind == "folder") QVERIFY(QDir().mkdir(path));
    if (kind == "fifo") QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (kind == "short") writeFile(m_dir, name, kTagged.substr(kTagged.size() - 127));

    readTag(w, path);
    QCOMPARE(m_errors->calls.size(), std::size_t{1});
    QCOMPARE(m_errors->calls[0].first, number);
    QVERIFY2(m_errors->calls[0].second.contains("\"" + path + "\""),
             qPrintable(m_errors->calls[0].second));
    QCOMPARE(boxTexts(w), before);
    QCOMPARE(w.txtFile->text(), path);
    if (kind == "missing") QVERIFY(!QFileInfo::exists(path));
    QVERIFY(w.isVisible());
  }

  void oneWindowThroughShowTagReader() {
    m_window.reset();
    auto errors = std::make_shared<RecordedErrors>();
    QPointer<frmTagReader> first = tagreader::showTagReader(recordInto(errors));
    QVERIFY(first);
    QVERIFY(first->isVisible());
    QVERIFY(first->isWindow());
    QVERIFY(first->parentWidget() == nullptr);
    QVERIFY(first->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(first->testAttribute(Qt::WA_QuitOnClose));

    // Open again: the same window, texts as they were, no longer minimized.
    first->txtArtist->setText("typed");
    first->showMinimized();
    QCOMPARE(tagreader::showTagReader(recordInto(errors)), first.data());
    QCOMPARE(first->txtArtist->text(), QStringLiteral("typed"));
    QVERIFY(!first->isMinimized());
    QCOMPARE(QApplication::topLevelWidgets().count(first.data()), 1);

    // Its errors go to the display it was created with.
    const QString sample = first->txtFile->text();
    readTag(*first, QString());
    QCOMPARE(errors->calls.size(), std::size_t{1});

    // Closed: it goes away, and the next call makes a fresh one.
    QVERIFY(first->close());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull());
    QPointer<frmTagReader> second = tagreader::showTagReader(recordInto(errors));
    QVERIFY(second);
    QCOMPARE(second->txtFile->text(), sample);
    QCOMPARE(second->txtArtist->text(), QString());

    // Closed and opened again before the event loop deleted the old one: still a fresh window.
    second->txtArtist->setText("typed");
    QVERIFY(second->close());
    QPointer<frmTagReader> third = tagreader::showTagReader(recordInto(errors));
    QVERIFY(third && third->isVisible());
    QCOMPARE(third->txtArtist->text(), QString());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(second.isNull());
    QVERIFY(third);
    QCOMPARE(tagreader::showTagReader(recordInto(errors)), third.data());
    delete third.data();
  }

 private:
  TempDir m_dir;
  std::shared_ptr<RecordedErrors> m_errors;
  std::unique_ptr<frmTagReader> m_window;
};

QTEST_MAIN(TestFrmTagReader)
#include "frmtagreader_test.moc"
