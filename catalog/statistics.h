#pragma once

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct sqlite3;

// What a collection holds: totals, songs by genre, bit rate, encoding, year and length, and its
// largest artists and albums, read in one pass over the catalogue or a view of it.
namespace catalog {

// One bar of a chart: its caption, its songs, and the condition on music_shelf that lists them
// (values quoted by the engine's rule; empty when no condition can name them).
struct StatisticsBin {
  std::string label;
  std::int64_t songs = 0;
  std::string condition;
};

// One row of the largest artists or albums.
struct LargestEntry {
  std::string name;    // the artist, or the album
  std::string artist;  // the album's artist; empty for an artist
  std::int64_t songs = 0;
  std::int64_t seconds = 0;
  std::string condition;
};

struct CatalogueStatistics {
  std::int64_t songs = 0;
  std::int64_t seconds = 0;  // the known lengths added up
  // nullopt where the counted rows have no such column.
  std::optional<std::int64_t> artists;
  std::optional<std::int64_t> albums;  // one per artist and album name
  std::optional<std::int64_t> folders;
  // Empty where the rows have no such column (then `notes` says so).
  std::vector<StatisticsBin> genres;     // the 15 largest, then "Other"
  std::vector<StatisticsBin> bitrates;   // fixed bins, CBR by rate, then VBR
  std::vector<StatisticsBin> encodings;  // "CBR", "VBR"
  std::vector<StatisticsBin> years;      // filled years only, in order
  std::vector<StatisticsBin> lengths;    // fixed bins of minutes
  std::vector<LargestEntry> artistsBySongs, artistsByLength;
  std::vector<LargestEntry> albumsBySongs, albumsByLength;
  // What the user should know about what was counted (the view could not be, a column is
  // missing).
  std::vector<std::string> notes;
  // The condition that keeps a click's songs to the counted view's; empty for the catalogue.
  std::string restriction;
  bool wholeCatalogue = true;  // the catalogue was counted, not a view
  bool opened = true;  // false: the catalogue could not be opened, nothing was counted
};

inline constexpr std::size_t kTopGenres = 15;
inline constexpr std::size_t kLargestCount = 20;

// A length as days and time: "0 0:03:07", "12 4:05:06". A negative length keeps its sign.
std::string daysLengthText(std::int64_t seconds);

// The folder part of a stored Filename: everything before its last slash or backslash, with it
// for a root ("/", "C:\\"); empty when it has none.
std::string_view folderOf(std::string_view filename);

// The statistics of the songs `viewSql` lists (a SELECT as a view runs it), or of the whole
// catalogue when it is empty, read on `db`, a connection with the engine's functions. A view is
// counted by the catalogue's IDs it lists, each song once however often the view repeats it; one
// that cannot be run here or has no column of the catalogue's IDs gives the whole catalogue, with
// a note. Lengths above about 115 days are left out as unknown. With `second`, another
// connection to the same catalogue, half the rows are read on it on a thread of their own, which
// has ended whenever this returns or throws. nullopt when `stop` was set meanwhile. Never throws
// but std::bad_alloc; a failed read gives what was counted and a note.
std::optional<CatalogueStatistics> readStatistics(sqlite3* db, const std::string& viewSql,
                                                  const std::atomic<bool>& stop,
                                                  sqlite3* second = nullptr);

// Opens `catalogPath` read-only with the functions views may use (like, file_exists, the
// filter's), stopping long statements when `stop` is set. nullptr when it cannot be opened.
sqlite3* openStatisticsConnection(const std::string& catalogPath, const std::atomic<bool>* stop);

// Reads statistics on a thread of its own with a read-only connection of its own, opened there,
// so that the window asking never waits. A newer request stops the one in progress; only the
// newest answer is sent, and none after cancel(). A catalogue that cannot be opened gives an
// answer with `opened` false, and is tried again at the next read.
class StatisticsReader final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(StatisticsReader)

 public:
  explicit StatisticsReader(std::string catalogPath, QObject* parent = nullptr);
  // Stops the read in progress and waits for its thread.
  ~StatisticsReader() override;

  // false once a read found that the catalogue cannot be opened, until one opens it.
  bool available() const { return m_available; }

  // Asks for the statistics of `viewSql` (empty: the catalogue); returns the request's
  // generation, which its answer carries.
  std::uint64_t read(std::string viewSql);
  // Stops the read in progress; nothing more is sent.
  void cancel();

  // Runs on the reading thread before each read: tests hold the thread there.
  void setBeforeRead(std::function<void()> hook);
  // Runs on the reading thread after each read, once its answer was sent or dropped.
  void setAfterRead(std::function<void()> hook);

  // Reading threads alive in the process, for tests that check none outlives its window.
  static int threadsAlive() { return s_threadsAlive; }

 signals:
  void statisticsRead(std::uint64_t generation, catalog::CatalogueStatistics statistics);

 private:
  void run();
  // Opens the connections that are not open yet, on the reading thread; false when it cannot.
  bool open();

  const std::string m_path;
  std::atomic<bool> m_available{true};
  // Used by the reading thread only, and closed once it has ended.
  sqlite3* m_db = nullptr;
  sqlite3* m_second = nullptr;  // for the other half of the rows; none when it failed to open
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::optional<std::string> m_pending;
  std::function<void()> m_beforeRead, m_afterRead;
  std::atomic<std::uint64_t> m_latest{0};
  std::atomic<bool> m_stop{false};     // the read in progress is to end
  std::atomic<bool> m_stopping{false}; // the thread is to end
  bool m_cancelled = false;
  std::thread m_thread;
  static std::atomic<int> s_threadsAlive;
};

}  // namespace catalog

Q_DECLARE_METATYPE(catalog::CatalogueStatistics)
