#include "app/importrunner.h"

#include <QCoreApplication>

#include <cstdint>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "catalog/catalogue.h"
#include "engine/engine.h"
#include "engine/utf8.h"
#include "import/folderrescan.h"
#include "import/importsummary.h"
#include "import/shelffiles.h"

namespace {

// The runner whose signals the engine's lock-wait reports reach. The engine keeps one observer
// for the whole process, so a runner that goes clears it only while it is still its own: a
// window made before the last one has gone must not silence the new one.
const ImportRunner* g_lockWaitListener = nullptr;

QString vanishedQuestion(std::int64_t vanished, const std::string& folder) {
  const QString name = QString::fromStdString(engine::validUtf8(folder));
  if (vanished == 1)
    return QStringLiteral("1 song below %1 is no longer on disk. Remove it from the catalogue?")
        .arg(name);
  return QStringLiteral("%1 songs below %2 are no longer on disk. Remove them from the catalogue?")
      .arg(QString::fromStdString(importer::groupedNumber(vanished)), name);
}

// Asked apart, after the question about files gone from their folders: rows below folders that
// went with everything in them are more likely on a disk that is not plugged in than deleted.
QString goneFoldersQuestion(const std::vector<importer::GoneFolder>& folders) {
  std::int64_t songs = 0;
  for (const importer::GoneFolder& folder : folders)
    songs += static_cast<std::int64_t>(folder.rows.size());
  const auto name = [&](std::size_t i) {
    return QString::fromStdString(engine::validUtf8(folders[i].path));
  };
  const QString count = QString::fromStdString(importer::groupedNumber(songs));
  if (folders.size() == 1) {
    if (songs == 1)
      return QStringLiteral("The song below %1 is gone together with the folder itself: it may "
                            "be on a disk that is not plugged in. Remove it from the catalogue "
                            "anyway?")
          .arg(name(0));
    return QStringLiteral("All %1 songs below %2 are gone together with the folder itself: it "
                          "may be on a disk that is not plugged in. Remove them from the "
                          "catalogue anyway?")
        .arg(count, name(0));
  }
  QString named = folders.size() == 2
                      ? QStringLiteral("%1 and %2").arg(name(0), name(1))
                      : QStringLiteral("%1, %2 and %3 more")
                            .arg(name(0), name(1),
                                 QString::fromStdString(importer::groupedNumber(
                                     static_cast<std::int64_t>(folders.size() - 2))));
  return QStringLiteral("All %1 songs in %2 folders that are gone as a whole (%3): they may be "
                        "on disks that are not plugged in. Remove them from the catalogue "
                        "anyway?")
      .arg(count, QString::fromStdString(importer::groupedNumber(
                      static_cast<std::int64_t>(folders.size()))),
           named);
}

}  // namespace

ImportRunner::ImportRunner(importer::Mp3InfoFactory factory, DatabaseSource database,
                           QObject* parent)
    : QObject(parent),
      m_database(std::move(database)),
      m_import(std::move(factory)),
      m_yield([] { QCoreApplication::processEvents(); }) {
  g_lockWaitListener = this;
  engine::setLockWaitObserver(
      {[this](const std::string&, std::chrono::milliseconds waited) { reportLockWait(waited); },
       [this] { endLockWait(); }});
}

ImportRunner::~ImportRunner() {
  if (g_lockWaitListener != this) return;
  g_lockWaitListener = nullptr;
  engine::setLockWaitObserver({});
}

void ImportRunner::addDirectory(const std::string& folder) {
  runWalk([&] { importFolder(folder); });
}

void ImportRunner::rescanDirectory(const std::string& folder) {
  runWalk([&] { rescanFolder(folder); });
}

void ImportRunner::cancel() {
  if (!m_running) return;
  m_cancelled = true;
  m_import.requestStop();
}

bool ImportRunner::stopForClose() {
  if (!m_running) return true;
  // The walk is inside one of its yields: it stops there.
  m_import.requestStop();
  m_closeRequested = true;
  return false;
}

template <typename Step>
void ImportRunner::runWalk(Step&& walk) {
  // One walk at a time: a start from within a running one's yields does nothing.
  if (m_running) return;
  m_running = true;
  m_cancelled = false;
  m_closeRequested = false;
  try {
    prepareCatalogue();
    walk();
    m_yield();
  } catch (const std::exception& e) {
    const catalog::ErrorInfo info = catalog::describeError(e);
    emit failed(info.number, QString::fromStdString(info.description));
  }
  m_running = false;
  emit walkEnded();
  if (std::exchange(m_closeRequested, false)) emit mayClose();
}

void ImportRunner::prepareCatalogue() {
  // A handle that is gone or closed is the walk's to refuse, with its usual message.
  const std::shared_ptr<engine::Database> db = m_database();
  if (db && db->isOpen() && importer::ensureShelfFiles(*db))
    emit notice(QString::fromLatin1(kShelfFilesNotice));
}

void ImportRunner::importFolder(const std::string& folder) {
  m_elapsed.start();
  emit walkStarted(folder, Walk::Import);
  importer::ImportEnd end = importer::ImportEnd::Stopped;
  const auto summary = [&](bool failed) {
    return QString::fromStdString(engine::validUtf8(
        importer::summaryText(m_import.progress().counts, folder,
                              static_cast<double>(m_elapsed.elapsed()) / 1000.0, end, failed)));
  };
  try {
    end = m_import.run(folder, m_database, m_yield);
  } catch (...) {
    emit walkSummary(summary(true));
    throw;
  }
  emit walkSummary(summary(false));
}

void ImportRunner::rescanFolder(const std::string& folder) {
  importer::FolderRescan rescan(m_import);
  emit walkStarted(folder, Walk::Rescan);
  importer::ImportEnd end = importer::ImportEnd::Stopped;
  std::int64_t removed = 0;
  // Told apart, as the questions are: the songs below folders that are gone are not to be taken
  // for songs no longer on disk.
  importer::RescanRows kept;
  const auto summary = [&](bool failed) {
    return QString::fromStdString(
        importer::rescanSummaryText(m_import.progress().counts, folder, removed, kept.vanished,
                                    end, failed, kept.inGoneFolders));
  };
  try {
    end = rescan.run(folder, m_database, m_yield);
    if (m_cancelled) end = importer::ImportEnd::Stopped;  // cancelled after the last file
    const auto vanished = static_cast<std::int64_t>(rescan.vanished().size());
    std::int64_t inGoneFolders = 0;
    for (const importer::GoneFolder& gone : rescan.goneFolders())
      inGoneFolders += static_cast<std::int64_t>(gone.rows.size());
    // A Cancel or a close that came meanwhile, even after the last file, ends the rescan here,
    // without a question.
    const auto mayAsk = [&] { return !m_closeRequested && !m_cancelled; };
    if (vanished + inGoneFolders > 0 && mayAsk()) {
      // The walk is over: Cancel goes, and the status bar says what it did while the user
      // decides, and that nothing is removed yet.
      emit walkSummary(QString::fromStdString(importer::rescanWaitingText(
          m_import.progress().counts, folder, vanished, inGoneFolders)));
      importer::RescanRemoval removal{.vanished = false, .goneFolders = false};
      if (vanished > 0) {
        removal.vanished = m_question && m_question(vanishedQuestion(vanished, folder));
        if (!removal.vanished) kept.vanished += vanished;
      }
      // A close or Cancel that came while the first question was up leaves the folders' rows
      // unasked, and kept.
      if (inGoneFolders > 0) {
        removal.goneFolders =
            mayAsk() && m_question && m_question(goneFoldersQuestion(rescan.goneFolders()));
        if (!removal.goneFolders) kept.inGoneFolders += inGoneFolders;
      }
      // Rows whose file or folder came back while the user decided stay, and are kept as much
      // as those the user said No to.
      if (removal.vanished || removal.goneFolders) {
        importer::RescanRows skipped;
        rescan.removeVanished(m_database(), m_yield, removed, removal, &skipped);
        kept.vanished += skipped.vanished;
        kept.inGoneFolders += skipped.inGoneFolders;
      }
    }
  } catch (...) {
    emit walkSummary(summary(true));
    throw;
  }
  emit walkSummary(summary(false));
}

// Called from inside the engine on the thread that runs the statement.
void ImportRunner::reportLockWait(std::chrono::milliseconds waited) {
  m_reportedLockWait = true;
  emit lockWaiting(std::chrono::duration_cast<std::chrono::seconds>(waited).count());
}

void ImportRunner::endLockWait() {
  if (!std::exchange(m_reportedLockWait, false)) return;
  emit lockWaitEnded();
}
