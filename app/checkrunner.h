#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "import/filehealth.h"
#include "import/shelffiles.h"

namespace engine {
class Database;
class Recordset;
}  // namespace engine

// A row whose file a check reads, and the album it belongs to in the catalogue.
struct CheckRow {
  std::int64_t id = 0;
  std::string filename;
  std::optional<std::string> album;
  std::optional<std::string> track;  // as SQLite renders it; nullopt for NULL
};

// "Missing tracks" for each row of `rows` in an album with gaps: rows of one Album (compared as
// the column does, without regard to ASCII case) in one folder, whose whole-number Track values
// leave numbers out between 1 and the highest. Where every Track is a disc's number followed by
// two digits (101, 102, 201), each disc is told apart, from its track 1 to its highest. Rows
// without an album, or whose Track is no whole number above 0, count for nothing.
std::map<std::int64_t, importer::HealthFinding> missingTrackFindings(
    const std::vector<CheckRow>& rows);

// Owns a running Check Files, so that the window only listens. The files are read on worker
// threads, several at once; what they find is written on the caller's thread in batches, each
// file's findings replacing what was kept for it, while the window's events run between them.
// One check at a time runs to its end on the caller's thread; Cancel or the window's close stops
// it, keeping what was checked. Nothing here throws into the event loop.
class CheckRunner final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CheckRunner)

 public:
  using DatabaseSource = std::function<std::shared_ptr<engine::Database>()>;
  using Checker = std::function<std::vector<importer::HealthFinding>(
      const std::string& path, const importer::HealthOptions& options,
      const std::atomic<bool>& stop)>;
  using Yield = std::function<void()>;

  // What the status bar says once when a check has added the findings table to a catalogue.
  static constexpr const char* kFindingsNotice =
      "The catalogue now also keeps what Check Files finds.";

  explicit CheckRunner(DatabaseSource database, QObject* parent = nullptr);
  ~CheckRunner() override;

  // The per-file check; importer::checkFileHealth unless set.
  void setChecker(Checker checker) { m_checker = std::move(checker); }
  // What the check calls to let the window run; QCoreApplication::processEvents unless set.
  void setYield(Yield yield) { m_yield = std::move(yield); }
  // How many files are read at once; as many as the machine has cores (at least two) unless set.
  void setThreads(int threads) { m_threads = threads; }

  // Checks the files of the rows `view` lists, or of those below `folder` (its name's bytes).
  // Return when the check is over; do nothing while one runs. True when files were checked (also
  // by a check cancelled or failed on the way) and the window is not closing: there are
  // findings to show.
  bool checkView(const engine::Recordset& view, const importer::HealthOptions& options);
  bool checkFolder(const std::string& folder, const importer::HealthOptions& options);

  // Stops the running check: files being read are given up, those read are kept.
  void cancel();
  // The window is closing. True when it may close now; otherwise the check stops as for
  // cancel(), and mayClose() comes once it has returned.
  bool stopForClose();
  bool isRunning() const { return m_running; }

  struct Progress {
    std::int64_t files = 0;     // to check
    std::int64_t checked = 0;   // read and written
    std::int64_t problems = 0;  // findings written
    std::int64_t filesWithProblems = 0;
    std::int64_t failed = 0;    // whose check failed: what was kept for them stays
  };
  Progress progress() const { return m_progress; }
  // What the last check's checkSummary() said.
  const QString& lastSummary() const { return m_lastSummary; }
  // What the status bar shows while a check runs, and once it is over.
  static QString progressText(const Progress& progress);
  static QString summaryText(const Progress& progress, bool stopped);

 signals:
  // A check has started; progress() tells how far it is.
  void checkStarted();
  // What the check did, once it is over.
  void checkSummary(const QString& summary);
  // The check, or what came before it, failed; it has stopped.
  void failed(int number, const QString& description);
  void notice(const QString& text);
  // The check has returned, whatever its end; `wrote` when it wrote findings to show.
  void checkEnded(bool wrote);
  // The check stopForClose() stopped has returned: the window may close now.
  void mayClose();

 private:
  template <typename Collect>
  bool runCheck(Collect&& collect, const importer::HealthOptions& options);
  void checkRows(engine::Database& db, std::vector<CheckRow> rows,
                 const importer::HealthOptions& options);
  // Writes `files` in one batch, waiting for another program's lock with the window running.
  // False when Cancel or the window's close came while it waited: nothing of the batch was
  // written, what earlier batches wrote stays.
  bool write(engine::Database& db, const std::vector<importer::CheckedFile>& files);

  DatabaseSource m_database;
  Checker m_checker;
  Yield m_yield;
  int m_threads = 0;
  Progress m_progress;
  QString m_lastSummary;
  bool m_running = false;
  bool m_started = false;  // the files to check are known, and the status bar shows them
  bool m_cancelled = false;
  bool m_closeRequested = false;
};
