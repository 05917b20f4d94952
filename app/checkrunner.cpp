#include "app/checkrunner.h"

#include <QCoreApplication>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <utility>

#include "catalog/catalogue.h"
#include "catalog/statements.h"
#include "catalog/undo.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/numbers.h"
#include "engine/recordset.h"
#include "engine/sqltext.h"
#include "import/importcounts.h"
#include "import/importsummary.h"
#include "import/shelfwriter.h"

namespace {

// As the import: enough rows to make a commit cheap, few enough that Cancel loses little and
// the grid soon sees them; a slow file does not hold back those read before it for long.
constexpr std::size_t kFilesPerBatch = 256;
constexpr auto kLongestBatch = std::chrono::milliseconds(500);
// How long the window waits for the workers before it runs its events again.
constexpr auto kWorkerWait = std::chrono::milliseconds(30);
// Albums read before the window runs its events again: each is one indexed query, so Cancel is
// answered soon even in a catalogue of thousands of albums.
constexpr std::size_t kAlbumsPerYield = 8;

// The rows below a folder, by the same ranges the rescan uses: the path with "/" after it, and
// the same with a doubled separator in front, which some stored paths have.
constexpr const char* kRowsBelow =
    "SELECT ID, Filename, Album, Track FROM music_shelf WHERE (Filename >= ?1 AND Filename < ?2) "
    "OR (Filename >= ?3 AND Filename < ?4) ORDER BY ID";
constexpr const char* kAlbumRows =
    "SELECT ID, Filename, Album, Track FROM music_shelf WHERE Album = ?1";

std::string folderOf(std::string_view filename) {
  const std::string path = importer::sameFile(filename);
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::optional<std::int64_t> wholeNumber(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (std::int64_t{1} << 40)) return std::nullopt;  // no album has so many tracks
    value = value * 10 + (c - '0');
  }
  return value;
}

// The Album column compares without regard to ASCII case (COLLATE NOCASE): so do the albums here.
std::string albumKey(std::string album) {
  for (char& c : album)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return album;
}

using Runs = std::vector<std::pair<std::int64_t, std::int64_t>>;

// "3", "3, 5", "3-7, 9": the runs of numbers, the first few of them.
std::string numberRuns(const Runs& runs) {
  constexpr std::size_t kRunsShown = 8;
  std::string text;
  for (std::size_t i = 0; i < runs.size() && i < kRunsShown; ++i) {
    if (!text.empty()) text += ", ";
    text += std::to_string(runs[i].first);
    if (runs[i].second > runs[i].first) text += "-" + std::to_string(runs[i].second);
  }
  if (runs.size() > kRunsShown) text += ", \u2026";
  return text;
}

// Track numbers of a set of several discs, as some rippers write them: 101, 102, ..., 201, ...
// Only when every number has this shape, so that a lone year typed as a track (1999, 2000)
// does not turn an album into twenty discs.
bool discPrefixed(const std::set<std::int64_t>& tracks) {
  constexpr std::int64_t kTracksPerDisc = 100;
  return std::all_of(tracks.begin(), tracks.end(), [](std::int64_t track) {
    return track > kTracksPerDisc && track < 100 * kTracksPerDisc && track % kTracksPerDisc != 0;
  });
}

CheckRow rowOf(const engine::Database::RowTexts& fields) {
  CheckRow row;
  row.id = fields[0] ? engine::scanLeadingNumber(*fields[0]).value : 0;
  if (fields[1]) row.filename = std::string(*fields[1]);
  if (fields[2]) row.album = std::string(*fields[2]);
  if (fields[3]) row.track = std::string(*fields[3]);
  return row;
}

}  // namespace

std::map<std::int64_t, importer::HealthFinding> missingTrackFindings(
    const std::vector<CheckRow>& rows) {
  struct Album {
    std::vector<std::int64_t> ids;
    std::set<std::int64_t> tracks;
  };
  std::map<std::pair<std::string, std::string>, Album> albums;
  for (const CheckRow& row : rows) {
    if (!row.album || row.album->empty()) continue;
    Album& album = albums[{albumKey(*row.album), folderOf(row.filename)}];
    album.ids.push_back(row.id);
    if (const auto track = wholeNumber(row.track); track && *track > 0) album.tracks.insert(*track);
  }
  std::map<std::int64_t, importer::HealthFinding> found;
  for (const auto& [key, album] : albums) {
    if (album.tracks.empty()) continue;
    // Each disc of a set counts from its own first track: 101-112, then 201-209.
    const std::int64_t perDisc = discPrefixed(album.tracks) ? 100 : 0;
    // Runs rather than numbers: a year typed as a track leaves a gap of thousands.
    Runs missing;
    Runs discs;  // the numbers each disc runs through
    std::int64_t expected = 0;
    for (const std::int64_t track : album.tracks) {
      const std::int64_t first = perDisc ? track / perDisc * perDisc + 1 : 1;
      if (discs.empty() || discs.back().first != first) {
        discs.emplace_back(first, first);
        expected = first;
      }
      if (track > expected) missing.emplace_back(expected, track - 1);
      expected = track + 1;
      discs.back().second = track;
    }
    if (missing.empty()) continue;
    const bool one = missing.size() == 1 && missing[0].first == missing[0].second;
    const std::string detail =
        (one ? "track " : "tracks ") + numberRuns(missing) + " missing of " + numberRuns(discs);
    for (const std::int64_t id : album.ids) found[id] = {"Missing tracks", detail};
  }
  return found;
}

CheckRunner::CheckRunner(DatabaseSource database, QObject* parent)
    : QObject(parent),
      m_database(std::move(database)),
      m_checker(importer::checkFileHealth),
      m_yield([] { QCoreApplication::processEvents(); }) {
  connect(this, &CheckRunner::checkSummary, this,
          [this](const QString& summary) { m_lastSummary = summary; });
}

CheckRunner::~CheckRunner() = default;

void CheckRunner::cancel() {
  if (m_running) m_cancelled = true;
}

bool CheckRunner::stopForClose() {
  if (!m_running) return true;
  m_closeRequested = true;
  return false;
}

QString CheckRunner::progressText(const Progress& progress) {
  return QString::fromStdString("Checking files: " + importer::groupedNumber(progress.checked) +
                                " of " + importer::groupedNumber(progress.files) + ", " +
                                importer::groupedNumber(progress.problems) +
                                (progress.problems == 1 ? " problem" : " problems") + " so far");
}

QString CheckRunner::summaryText(const Progress& progress, bool stopped) {
  std::string text = stopped ? "Check stopped: checked " + importer::groupedNumber(progress.checked) +
                                   " of " + importer::groupedNumber(progress.files) + " files"
                             : "Checked " + importer::groupedNumber(progress.checked) +
                                   (progress.checked == 1 ? " file" : " files");
  if (progress.problems == 0)
    text += ", no problems found";
  else
    text += ": " + importer::groupedNumber(progress.problems) +
            (progress.problems == 1 ? " problem" : " problems") + " in " +
            importer::groupedNumber(progress.filesWithProblems) +
            (progress.filesWithProblems == 1 ? " file" : " files");
  if (progress.failed > 0)
    text += ", " + importer::groupedNumber(progress.failed) +
            (progress.failed == 1 ? " file" : " files") + " could not be checked";
  return QString::fromStdString(text);
}

template <typename Collect>
bool CheckRunner::runCheck(Collect&& collect, const importer::HealthOptions& options) {
  if (m_running) return false;
  m_running = true;
  m_cancelled = false;
  m_closeRequested = false;
  m_progress = {};
  m_lastSummary.clear();
  m_started = false;
  try {
    const std::shared_ptr<engine::Database> db = m_database();
    if (!db || !db->isOpen())
      throw engine::EngineError(engine::err::kObjectClosed, "Object invalid or no longer set.");
    // Nothing is read before it is clear that nothing could be kept.
    db->refuseIfReadOnly();
    if (importer::ensureShelfFindings(*db)) emit notice(QString::fromLatin1(kFindingsNotice));
    checkRows(*db, collect(*db), options);
  } catch (const std::exception& e) {
    if (m_started) emit checkSummary(summaryText(m_progress, true));
    const catalog::ErrorInfo info = catalog::describeError(e);
    emit failed(info.number, QString::fromStdString(info.description));
  }
  m_running = false;
  const bool show = m_started && !m_closeRequested;
  emit checkEnded(show);
  if (std::exchange(m_closeRequested, false)) emit mayClose();
  return show;
}

bool CheckRunner::checkView(const engine::Recordset& view,
                            const importer::HealthOptions& options) {
  return runCheck(
      [&](engine::Database& db) {
        int idField = -1;
        for (int c = 0; c < view.fieldCount() && idField < 0; ++c)
          if (engine::equalsIgnoringCase(view.origin(c).table, catalog::kTableName) &&
              engine::equalsIgnoringCase(view.origin(c).column, "ID"))
            idField = c;
        if (idField < 0)
          throw engine::EngineError(engine::err::kItemNotFound,
                                    "This view has no ID column of the catalogue, so its files "
                                    "cannot be told. Nothing was checked.");
        std::vector<std::int64_t> ids;
        std::set<std::int64_t> seen;
        db.ForEachRow(view.sql(), {}, [&](engine::Database::RowTexts row) {
          const auto& id = row[static_cast<std::size_t>(idField)];
          if (!id) return;
          const std::int64_t value = catalog::toRecordId(engine::Value(std::string(*id)));
          if (seen.insert(value).second) ids.push_back(value);
        });
        std::vector<CheckRow> rows;
        for (const std::optional<catalog::SongRow>& song : catalog::readSongRows(db, ids)) {
          if (!song) continue;
          CheckRow row;
          row.id = song->id;
          const auto field = [&](const char* name) {
            const catalog::FieldText* text = catalog::songField(*song, name);
            return text ? *text : catalog::FieldText();
          };
          row.filename = field("Filename").value_or(std::string());
          row.album = field("Album");
          row.track = field("Track");
          rows.push_back(std::move(row));
        }
        return rows;
      },
      options);
}

bool CheckRunner::checkFolder(const std::string& folder,
                              const importer::HealthOptions& options) {
  return runCheck(
      [&](engine::Database& db) {
        const std::string root = importer::sameFile(importer::storedPath(folder));
        const std::string prefix = root == "/" ? root : root + "/";
        const auto rangeEnd = [](std::string start) {
          start.back() = '0';
          return start;
        };
        const std::string doubled = "/" + prefix;
        const std::string range[] = {prefix, rangeEnd(prefix), doubled, rangeEnd(doubled)};
        std::vector<CheckRow> rows;
        db.ForEachRow(kRowsBelow, range, [&](engine::Database::RowTexts fields) {
          CheckRow row = rowOf(fields);
          if (importer::sameFile(row.filename).starts_with(prefix)) rows.push_back(std::move(row));
        });
        return rows;
      },
      options);
}

bool CheckRunner::write(engine::Database& db, const std::vector<importer::CheckedFile>& files) {
  const auto checkedAt = static_cast<std::int64_t>(std::time(nullptr));
  while (!importer::replaceFindings(db, files, checkedAt, importer::kLockWaitPerTry)) {
    // Another program is writing, maybe for a long while: the window goes on meanwhile, and
    // Cancel gives up this batch rather than wait for it.
    m_yield();
    if (m_cancelled || m_closeRequested) return false;
  }
  for (const importer::CheckedFile& file : files) {
    ++m_progress.checked;
    m_progress.problems += static_cast<std::int64_t>(file.findings.size());
    if (!file.findings.empty()) ++m_progress.filesWithProblems;
  }
  return true;
}

void CheckRunner::checkRows(engine::Database& db, std::vector<CheckRow> rows,
                            const importer::HealthOptions& options) {
  // Placeholder rows name no file: there is nothing to check.
  std::erase_if(rows, [](const CheckRow& row) { return row.filename.empty(); });
  m_progress.files = static_cast<std::int64_t>(rows.size());
  m_started = true;
  emit checkStarted();

  // Gaps in an album are told from the whole catalogue's rows of it, not only from those checked:
  // a view of one song would otherwise have every other track missing.
  std::vector<CheckRow> albumRows;
  {
    // One query for each album as the column compares it: it finds every spelling.
    std::map<std::string, std::string> albums;
    for (const CheckRow& row : rows)
      if (row.album && !row.album->empty()) albums.emplace(albumKey(*row.album), *row.album);
    std::size_t asked = 0;
    for (const auto& [key, album] : albums) {
      const std::string bound[] = {album};
      db.ForEachRow(kAlbumRows, bound, [&](engine::Database::RowTexts fields) {
        albumRows.push_back(rowOf(fields));
      });
      if (++asked % kAlbumsPerYield == 0) {
        m_yield();
        if (m_cancelled || m_closeRequested) {
          emit checkSummary(summaryText(m_progress, true));
          return;
        }
      }
    }
  }
  std::map<std::int64_t, importer::HealthFinding> gaps = missingTrackFindings(albumRows);
  albumRows.clear();

  struct Shared {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::pair<std::size_t, std::vector<importer::HealthFinding>>> done;
    // Atomic, so that a worker leaves even when it cannot take the mutex; the main loop's wait
    // is short and sees it all the same.
    std::atomic<int> working = 0;
    std::atomic<std::int64_t> failed = 0;  // files whose check threw
  } shared;
  std::atomic<bool> stop = false;
  std::atomic<std::size_t> next = 0;
  const Checker checker = m_checker;
  // Nothing may leave a worker: an exception out of a thread ends the program. Low memory can
  // strike anywhere, also when a result is handed over.
  const auto work = [&]() noexcept {
    for (;;) {
      const std::size_t i = next++;
      if (stop || i >= rows.size()) break;
      try {
        std::vector<importer::HealthFinding> found = checker(rows[i].filename, options, stop);
        // A check cut short by a stop may have missed a problem: not kept.
        if (stop) continue;
        std::lock_guard lock(shared.mutex);
        shared.done.emplace_back(i, std::move(found));
        shared.ready.notify_one();
      } catch (...) {
        // A check that failed tells nothing of the file: what was kept for it stays.
        if (!stop) ++shared.failed;
      }
    }
    try {
      std::lock_guard lock(shared.mutex);
      --shared.working;
    } catch (...) {
      --shared.working;
    }
    shared.ready.notify_one();
  };
  const int threads = std::max(
      1, m_threads > 0 ? m_threads : static_cast<int>(std::max(2u, std::thread::hardware_concurrency())));
  std::vector<std::jthread> workers;
  shared.working = threads;
  try {
    for (int t = 0; t < threads; ++t) workers.emplace_back(work);
  } catch (...) {
    stop = true;
    std::lock_guard lock(shared.mutex);
    shared.working -= threads - static_cast<int>(workers.size());
    if (workers.empty()) throw;
  }
  // The workers go when the check ends, also by a failed write.
  struct StopWorkers {
    std::atomic<bool>& stop;
    std::vector<std::jthread>& workers;
    ~StopWorkers() {
      stop = true;
      workers.clear();
    }
  } stopWorkers{stop, workers};

  std::vector<importer::CheckedFile> batch;
  auto batchStarted = std::chrono::steady_clock::now();
  bool writing = true;
  for (;;) {
    bool finished = false;
    {
      std::unique_lock lock(shared.mutex);
      shared.ready.wait_for(lock, kWorkerWait,
                            [&] { return !shared.done.empty() || shared.working == 0; });
      for (auto& [i, findings] : shared.done) {
        importer::CheckedFile file{rows[i].id, rows[i].filename, std::move(findings)};
        if (const auto gap = gaps.find(rows[i].id); gap != gaps.end())
          file.findings.push_back(gap->second);
        batch.push_back(std::move(file));
      }
      shared.done.clear();
      finished = shared.working == 0;
    }
    m_progress.failed = shared.failed;
    if (writing && !batch.empty() &&
        (finished || batch.size() >= kFilesPerBatch ||
         std::chrono::steady_clock::now() - batchStarted >= kLongestBatch)) {
      writing = write(db, batch);
      batch.clear();
      batchStarted = std::chrono::steady_clock::now();
    }
    if (finished) break;
    m_yield();
    if (m_cancelled || m_closeRequested) stop = true;
  }
  emit checkSummary(summaryText(m_progress, m_cancelled || m_closeRequested));
}
