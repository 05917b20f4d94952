// Check Files on the real main window with the real file check, over a folder of files that each
// have one thing wrong, imported through Add Directory with the real MP3 component. Only the
// questions are injected: no dialog opens, nothing waits for a person.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/checkrunner.h"
#include "app/frmmain.h"
#include "catalog/boundgrid.h"
#include "import/filehealth.h"
#include "import/mp3info.h"
#include "mp3fixture.h"
#include "support/gate.h"
#include "support/soundfiles.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

namespace {

using fixture::Audio;
using fixture::Header;
namespace health = importer::health;

constexpr std::size_t kFrame = 417;  // MPEG-1 Layer III, 128 kbit/s, 44100 Hz, no padding
constexpr const char* kMissingTracks = "Missing tracks";

std::string titled(const std::string& title, const std::string& album = {},
                   const std::string& track = {}) {
  std::vector<fixture::TextFrame> frames = {{"TIT2", {title}}, {"TPE1", {"Planted"}}};
  if (!album.empty()) frames.push_back({"TALB", {album}});
  if (!track.empty()) frames.push_back({"TRCK", {track}});
  return fixture::id3v2Tag(4, frames);
}

std::string overwritten(std::string bytes, std::size_t at, const std::string& with) {
  bytes.replace(at, with.size(), with);
  return bytes;
}

// Per file name, the problems the check is to list for it, in the order it gives them.
using Expected = std::map<std::string, std::vector<std::string>>;

// Problem and Detail of every row the grid lists, by the file name of the row's Filename.
using Listed = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

class TestFrmMainCheckReal : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void everyPlantedProblemIsListedForItsFileAlone();
  void cancelKeepsWhatWasCheckedAndTheWindowGoesOn();

 private:
  // Writes the planted folder below Music and says what the check is to find in it.
  Expected plant();
  void openWindow();
  void trigger(const char* name) {
    auto* entry = m_window->findChild<QAction*>(QString::fromLatin1(name));
    QVERIFY(entry);
    entry->trigger();
  }
  Listed listed();
  QString status() {
    return m_window->findChild<QLabel*>(QStringLiteral("lblImportStatus"))->text();
  }
  std::string music(const std::string& name = {}) {
    return m_dir->path("Music") + (name.empty() ? "" : "/" + name);
  }

  // Encoded once for every test: sox and lame are slow.
  std::unique_ptr<testsupport::TempDir> m_encoded;
  std::string m_reencoded;  // 320 kbit/s of noise with nothing above 16 kHz
  std::string m_broad;      // 320 kbit/s of noise over the whole band

  std::unique_ptr<testsupport::TempDir> m_dir;
  std::string m_path;
  std::vector<std::pair<int, QString>> m_errors;
  std::unique_ptr<frmMain> m_window;
  std::optional<CheckChoice> m_choice;
  std::optional<QString> m_pick;
};

void TestFrmMainCheckReal::initTestCase() {
  m_encoded = std::make_unique<testsupport::TempDir>();
  m_reencoded = m_encoded->path("reencoded.mp3");
  m_broad = m_encoded->path("broad.mp3");
  QVERIFY(testsupport::encodeSound(m_reencoded, 8, "whitenoise", "sinc -16k", "-b 320"));
  QVERIFY(testsupport::encodeSound(m_broad, 8, "whitenoise", "", "-b 320"));
}

void TestFrmMainCheckReal::init() {
  m_dir = std::make_unique<testsupport::TempDir>();
  m_path = m_dir->path("music_1.mdb");
  testcatalogue::make(m_path);
  m_errors.clear();
  m_choice = CheckChoice{true, true};
  m_pick = QFile::decodeName(music().c_str());
  openWindow();
}

void TestFrmMainCheckReal::cleanup() {
  m_window.reset();
  m_dir.reset();
}

void TestFrmMainCheckReal::openWindow() {
  m_window = std::make_unique<frmMain>(
      QString::fromStdString(m_path),
      [this](int number, const QString& text) { m_errors.emplace_back(number, text); },
      [this](QWidget*, const QString&, const QString&) { return m_pick; },
      importer::createTagLibMp3Info);
  m_window->setQuestion([](const QString&) { return false; });
  m_window->setCheckDialog([this](QWidget*) { return m_choice; });
  QVERIFY(m_window->Form_Load());
}

Expected TestFrmMainCheckReal::plant() {
  Expected expected;
  const auto add = [&](const std::string& name, const std::string& bytes,
                       std::vector<std::string> problems) {
    std::filesystem::create_directories(std::filesystem::path(music(name)).parent_path());
    fixture::writeFile(music(name), bytes);
    expected[baseName(name)] = std::move(problems);
  };
  const auto song = [](const std::string& title, const Audio& audio = {}) {
    return titled(title) + fixture::mpegAudio(audio);
  };
  const std::string plain = song("plain");
  const std::size_t audioStart = titled("plain").size();
  std::string withXing = song("cut", {.frames = 120, .header = Header::Xing, .lame = fixture::Lame{}});
  withXing.resize(withXing.size() - 60 * kFrame - 17);

  add("Planted/cut-short.mp3", withXing, {health::kCutShort});
  add("Planted/lost-sync.mp3", overwritten(plain, audioStart + 60 * kFrame, std::string(10, 'U')),
      {health::kDamagedAudio});
  // Side information of ones: more big values than a granule holds.
  add("Planted/damaged-frame.mp3",
      overwritten(plain, audioStart + 40 * kFrame + 4, std::string(32, '\xFF')),
      {health::kDamagedAudio});
  add("Planted/vbr-no-header.mp3", song("vbr", {.bitrates = {128, 160, 192, 320}}),
      {health::kVbrWithoutHeader});
  add("Planted/tags-disagree.mp3",
      plain + fixture::id3v1Tag("Another Title", "Planted", "", 0, 17), {health::kTagsDisagree});
  add("Planted/unreadable-tag-frame.mp3",
      fixture::id3v2Header(3, 15) + fixture::id3v2Frame(3, "TIT2", std::string("\x07Song", 5)) +
          fixture::mpegAudio({}),
      {health::kUnreadableTagFrames});
  add("Planted/low-rate-cbr.mp3", song("low", {.bitrates = {96}}), {health::kLowBitRate});
  add("Planted/low-rate-vbr.mp3", song("low vbr", {.header = Header::Xing, .bitrates = {64, 96}}),
      {health::kLowBitRate});
  add("Planted/no-audio.mp3", titled("no audio") + std::string(20000, '\0'), {health::kNoAudio});
  std::filesystem::copy_file(m_reencoded, music("Planted/reencoded-320.mp3"));
  expected["reencoded-320.mp3"] = {health::kSuspectedReencode};
  // Read at the import, gone by the check.
  add("Planted/gone.mp3", song("gone"), {health::kFileMissing});

  // An album of one folder with track 3 left out: each of its songs says so.
  for (const char* track : {"1", "2", "4"})
    add(std::string("Gappy Album/track") + track + ".mp3",
        titled(std::string("Track ") + track, "Gappy Album", track) + fixture::mpegAudio({}),
        {kMissingTracks});

  // Sound files, an album without gaps among them.
  for (const char* track : {"1", "2", "3"})
    add(std::string("Whole Album/sound") + track + ".mp3",
        titled(std::string("Sound ") + track, "Whole Album", std::string(track) + "/3") +
            fixture::mpegAudio({}),
        {});
  add("Sound/sound-cbr.mp3", plain + fixture::id3v1Tag("plain", "Planted", "", 0, 17), {});
  add("Sound/sound-vbr.mp3", song("vbr", {.header = Header::Xing, .bitrates = {128, 160, 320}}),
      {});
  add("Sound/sound-vbri.mp3", song("vbri", {.header = Header::Vbri, .bitrates = {128, 192}}), {});
  std::filesystem::copy_file(m_broad, music("Sound/sound-320.mp3"));
  expected["sound-320.mp3"] = {};

  // Hostile files: numbers far past the file, which the check only compares.
  add("Hostile/huge-tag-size.mp3", fixture::id3v2Header(4, 0x0FFFFFFF) + fixture::mpegAudio({}),
      {health::kUnreadableTagFrames});
  // The Xing frame and byte counts, after the frame header, the side information, "Xing" and
  // the flags.
  const std::string billions = overwritten(
      song("billions", {.frames = 120, .header = Header::Xing, .xingFlags = 0x03,
                        .lame = fixture::Lame{}}),
      titled("billions").size() + 4 + 32 + 8, std::string(8, '\xFF'));
  add("Hostile/xing-billions.mp3", billions, {health::kCutShort});
  return expected;
}

Listed TestFrmMainCheckReal::listed() {
  QAbstractItemModel* model =
      m_window->findChild<QAbstractItemView*>(QStringLiteral("DBGrid1"))->model();
  while (model->canFetchMore(QModelIndex())) model->fetchMore(QModelIndex());
  auto* grid = m_window->findChild<catalog::BoundGrid*>(QStringLiteral("DBGrid1"));
  int filename = -1, problem = -1, detail = -1;
  for (int c = 0; c < model->columnCount(); ++c) {
    const QString caption = grid->columnCaption(c);
    if (caption == QLatin1String("Filename")) filename = c;
    if (caption == QLatin1String("Problem")) problem = c;
    if (caption == QLatin1String("Detail")) detail = c;
  }
  Listed rows;
  if (filename < 0 || problem < 0 || detail < 0) return rows;
  for (int row = 0; row < model->rowCount(); ++row)
    rows[baseName(model->index(row, filename).data().toString().toStdString())].emplace_back(
        model->index(row, problem).data().toString().toStdString(),
        model->index(row, detail).data().toString().toStdString());
  return rows;
}

void TestFrmMainCheckReal::everyPlantedProblemIsListedForItsFileAlone() {
  const Expected expected = plant();
  m_window->cmdAddDir_Click();
  QVERIFY2(m_errors.empty(), m_errors.empty() ? "" : qPrintable(m_errors[0].second));
  const std::string imported =
      testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf");
  QCOMPARE(imported, std::to_string(expected.size()));
  std::filesystem::remove(music("Planted/gone.mp3"));

  trigger("mnuCheckFiles");
  QVERIFY2(m_errors.empty(), m_errors.empty() ? "" : qPrintable(m_errors[0].second));
  QVERIFY2(status().startsWith(QStringLiteral("Checked %1 files: ").arg(expected.size())),
           qPrintable(status()));

  // What Show Problems lists in a window opened afresh, without reading a file again.
  m_window.reset();
  openWindow();
  std::atomic<int> readAgain = 0;
  m_window->setFileChecker([&](const std::string&, const importer::HealthOptions&,
                               const std::atomic<bool>&) {
    ++readAgain;
    return std::vector<importer::HealthFinding>();
  });
  trigger("mnuShowProblems");
  QVERIFY(m_errors.empty());
  QCOMPARE(readAgain.load(), 0);
  const Listed rows = listed();
  for (const auto& [name, problems] : expected) {
    std::vector<std::string> got;
    std::string details;
    const auto found = rows.find(name);
    if (found != rows.end())
      for (const auto& [problem, detail] : found->second) {
        got.push_back(problem);
        details += problem + ": " + detail + "; ";
      }
    QVERIFY2(got == problems, qPrintable(QString::fromStdString(name + " lists " + details)));
  }
  for (const auto& [name, findings] : rows)
    QVERIFY2(expected.count(name), qPrintable(QString::fromStdString("unknown file " + name)));
  QCOMPARE(rows.at("track1.mp3")[0].second, std::string("track 3 missing of 1-4"));
  QCOMPARE(rows.at("gone.mp3")[0].second, std::string("Not found"));
}

void TestFrmMainCheckReal::cancelKeepsWhatWasCheckedAndTheWindowGoesOn() {
  const Expected expected = plant();
  m_window->cmdAddDir_Click();
  QVERIFY(m_errors.empty());
  std::filesystem::remove(music("Planted/gone.mp3"));
  // The real check, held in the third file it is given until Cancel has been clicked.
  testsupport::Gate inThird, letGo;
  std::mutex mutex;
  std::vector<std::string> asked;
  std::atomic<bool> stopSeen = false;
  std::atomic<bool> heldTooLong = false;
  m_window->checkRunner().setThreads(1);
  m_window->setFileChecker([&](const std::string& path, const importer::HealthOptions& options,
                               const std::atomic<bool>& stop) {
    std::size_t position;
    {
      std::lock_guard lock(mutex);
      asked.push_back(baseName(path));
      position = asked.size();
    }
    if (position == 3) {
      inThird.open();
      if (!letGo.wait()) heldTooLong = true;
      stopSeen = stop.load();
    }
    return importer::checkFileHealth(path, options, stop);
  });
  bool clicked = false;
  m_window->checkRunner().setYield([&] {
    QCoreApplication::processEvents();
    if (!inThird.isOpen()) return;
    if (!clicked) {
      clicked = true;
      auto* cancel = m_window->findChild<QAbstractButton*>(QStringLiteral("cmdCancelImport"));
      QVERIFY(cancel && cancel->isEnabled());
      cancel->click();
      return;
    }
    letGo.open();  // once the stop is out
  });
  trigger("mnuCheckFiles");
  QVERIFY(clicked);
  QVERIFY(!heldTooLong);
  QVERIFY(stopSeen);
  QVERIFY(!m_window->checkRunner().isRunning());
  QVERIFY(m_errors.empty());
  QCOMPARE(asked.size(), std::size_t{3});  // none begun after the stop
  QVERIFY2(status().startsWith(QStringLiteral("Check stopped: checked 2 of %1 files")
                                   .arg(expected.size())),
           qPrintable(status()));
  // The two files read to their end keep what they gave; the one stopped, nothing.
  const Listed rows = listed();
  for (const auto& [name, findings] : rows)
    QVERIFY2(name == asked[0] || name == asked[1], name.c_str());
  for (std::size_t i = 0; i < 2; ++i) {
    // The album's gaps come from the catalogue, not from reading.
    std::vector<std::string> want = expected.at(asked[i]);
    std::vector<std::string> got;
    if (rows.count(asked[i]))
      for (const auto& finding : rows.at(asked[i])) got.push_back(finding.first);
    QVERIFY2(got == want, asked[i].c_str());
  }

  // The window goes on: the next check runs to its end.
  m_window->checkRunner().setYield([] { QCoreApplication::processEvents(); });
  m_window->setFileChecker(importer::checkFileHealth);
  trigger("mnuCheckFiles");
  QVERIFY(m_errors.empty());
  QVERIFY2(status().startsWith(QStringLiteral("Checked %1 files: ").arg(expected.size())),
           qPrintable(status()));
}

QTEST_MAIN(TestFrmMainCheckReal)
#include "frmmain_checkreal_test.moc"
