#include "searchindex.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/searchfold.h"
#include "engine/sqltext.h"
#include "schema.h"

namespace catalog {

namespace {

using Clock = std::chrono::steady_clock;

// A slice that runs on the window's thread runs between its events, so it takes as many rows as
// the last slices say fit in this long, merge step and commit included: how long a row takes
// varies tenfold with the size of the index and the disk's load. On the indexer's thread it
// holds the write lock that long, which the window's own writes wait for.
constexpr double kSliceTargetMs = 15;
constexpr std::size_t kSliceLeastRows = 32;
// What a row cost the last slices on this thread, on average.
thread_local double t_msPerRow = 0.04;
// And it stops taking rows after this long, whatever the estimate said.
constexpr std::chrono::milliseconds kSliceBudget{8};
// Rows folded between looks at the clock: a few milliseconds' work.
constexpr std::size_t kChunkRows = 50;
// Pages of segment merging per slice: half a page per row folded, about what FTS5 writes for a
// row of a catalogue times the levels a million rows' segments make, so that the index keeps a
// few segments per level however long it grows and queries stay fast; and a slice with few rows
// still merges this many.
constexpr std::int64_t kMergePagesLeast = 16;

// All four triggers must be there, or changes would slip past the queue.
constexpr const char* kHasIndex =
    "SELECT count(*) FROM sqlite_schema WHERE (type = 'table' AND name IN "
    "('shelf_search', 'shelf_search_queue', 'shelf_search_state')) OR (type = "
    "'trigger' AND name IN ('shelf_search_added', 'shelf_search_changed', "
    "'shelf_search_deleted', 'shelf_search_renamed'))";
constexpr std::int64_t kIndexParts = 7;
// The fold's version, in a column older layouts lack.
constexpr const char* kHasFoldColumn =
    "SELECT count(*) FROM pragma_table_info('shelf_search_state') WHERE name = 'Fold'";

// What a slice writes, bound to ranges (?1, ?2], in the order of Step.
enum Step { kUnqueue, kRequeue, kDequeue, kClear, kFold, kAdvance, kMerge, kSteps };

const std::array<std::string, kSteps>& stepSql() {
  static const std::string foldInto =
      "INSERT INTO shelf_search (rowid, Title, Artist, Album, Genre, Year, Comment, Filename) "
      "SELECT ID, search_fold(Title), search_fold(Artist), search_fold(Album), "
      "search_fold(Genre), search_fold(Year), search_fold(Comment), search_fold(Filename) "
      "FROM music_shelf WHERE ";
  static const std::array<std::string, kSteps> sql = {
      // Queue entries (from, to] by Seq. Only rows the watermark has passed are folded here:
      // the others it folds when it gets to them, after their old entries went.
      "DELETE FROM shelf_search WHERE rowid IN (SELECT ID FROM shelf_search_queue WHERE Seq > "
      "CAST(?1 AS INTEGER) AND Seq <= CAST(?2 AS INTEGER))",
      foldInto +
          "ID IN (SELECT ID FROM shelf_search_queue WHERE Seq > CAST(?1 AS INTEGER) AND Seq <= "
          "CAST(?2 AS INTEGER)) AND ID <= (SELECT Upto FROM shelf_search_state)",
      "DELETE FROM shelf_search_queue WHERE Seq <= CAST(?1 AS INTEGER)",
      // Rows (from, to] by ID above the watermark, and the watermark moved past them. Nothing
      // above the watermark should be in the index; whatever is goes first, so that a row is
      // never there twice.
      "DELETE FROM shelf_search WHERE rowid > CAST(?1 AS INTEGER) AND rowid <= CAST(?2 AS "
      "INTEGER)",
      foldInto + "ID > CAST(?1 AS INTEGER) AND ID <= CAST(?2 AS INTEGER)",
      "UPDATE shelf_search_state SET Upto = max(Upto, CAST(?1 AS INTEGER))",
      "INSERT INTO shelf_search (shelf_search, rank) VALUES ('merge', CAST(?1 AS INTEGER))",
  };
  return sql;
}

// What a slice needs of a connection: the engine's, on the window's thread, or one of the
// indexer's own on its thread, which must not touch the engine.
class SliceConnection {
 public:
  virtual ~SliceConnection() = default;
  virtual bool writable() = 0;
  virtual std::optional<std::int64_t> single(const std::string& sql) = 0;
  virtual std::vector<std::int64_t> column(const std::string& sql) = 0;
  // Prepares the steps, then begins the slice's transaction.
  virtual void begin() = 0;
  virtual void run(Step step, std::int64_t from, std::optional<std::int64_t> to) = 0;
  // Between chunks of rows, inside the transaction.
  virtual void betweenChunks() {}
  virtual void commit() = 0;
};

class EngineSlice final : public SliceConnection {
 public:
  explicit EngineSlice(engine::Database& db) : m_db(db) {}

  bool writable() override { return !m_db.isReadOnly(); }

  std::optional<std::int64_t> single(const std::string& sql) override {
    std::optional<std::int64_t> value;
    m_db.ForEachRow(sql, {}, [&](engine::Database::RowTexts row) {
      if (!value && row[0]) value = std::stoll(std::string(*row[0]));
    });
    return value;
  }

  std::vector<std::int64_t> column(const std::string& sql) override {
    std::vector<std::int64_t> values;
    m_db.ForEachRow(sql, {}, [&](engine::Database::RowTexts row) {
      if (row[0]) values.push_back(std::stoll(std::string(*row[0])));
    });
    return values;
  }

  void begin() override {
    for (std::size_t step = 0; step < kSteps; ++step) {
      m_steps[step] = m_db.Prepare(stepSql()[step]);
      m_steps[step]->setBatched(true);
    }
    m_unit.emplace(m_db, std::nullopt);
  }

  void run(Step step, std::int64_t from, std::optional<std::int64_t> to) override {
    engine::PreparedStatement& statement = *m_steps[step];
    statement.bind(1, std::to_string(from));
    if (to) statement.bind(2, std::to_string(*to));
    statement.Execute();
  }

  void commit() override {
    m_unit->keep();
    engine::commitOpenBatch();
  }

 private:
  engine::Database& m_db;
  std::array<std::unique_ptr<engine::PreparedStatement>, kSteps> m_steps;
  std::optional<engine::Unit> m_unit;  // ends before the statements
};

class RawSlice final : public SliceConnection {
 public:
  RawSlice(sqlite3* db, const std::function<void()>* betweenChunks)
      : m_db(db), m_betweenChunks(betweenChunks) {}
  RawSlice(const RawSlice&) = delete;
  RawSlice& operator=(const RawSlice&) = delete;

  ~RawSlice() override {
    // A slice that failed or was stopped leaves the index as it was.
    if (m_began && !sqlite3_get_autocommit(m_db))
      sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    for (sqlite3_stmt* stmt : m_steps) sqlite3_finalize(stmt);
  }

  bool writable() override { return sqlite3_db_readonly(m_db, "main") == 0; }

  std::optional<std::int64_t> single(const std::string& sql) override {
    std::optional<std::int64_t> value;
    query(sql, [&](sqlite3_stmt* stmt) {
      if (!value && sqlite3_column_type(stmt, 0) != SQLITE_NULL)
        value = sqlite3_column_int64(stmt, 0);
    });
    return value;
  }

  std::vector<std::int64_t> column(const std::string& sql) override {
    std::vector<std::int64_t> values;
    query(sql, [&](sqlite3_stmt* stmt) {
      if (sqlite3_column_type(stmt, 0) != SQLITE_NULL)
        values.push_back(sqlite3_column_int64(stmt, 0));
    });
    return values;
  }

  void begin() override {
    for (std::size_t step = 0; step < kSteps; ++step)
      check(sqlite3_prepare_v3(m_db, stepSql()[step].c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                               &m_steps[step], nullptr));
    check(sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    m_began = true;
  }

  void run(Step step, std::int64_t from, std::optional<std::int64_t> to) override {
    sqlite3_stmt* stmt = m_steps[step];
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    sqlite3_bind_int64(stmt, 1, from);
    if (to) sqlite3_bind_int64(stmt, 2, *to);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) check(rc);
  }

  void betweenChunks() override {
    if (m_betweenChunks && *m_betweenChunks) (*m_betweenChunks)();
  }

  void commit() override { check(sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr)); }

 private:
  void check(int rc) const {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
      throw engine::EngineError(sqlite3_extended_errcode(m_db), sqlite3_errmsg(m_db));
  }

  template <typename Each>
  void query(const std::string& sql, const Each& each) {
    sqlite3_stmt* stmt = nullptr;
    const int prepared =
        sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(stmt, &sqlite3_finalize);
    check(prepared);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) each(stmt);
    if (rc != SQLITE_DONE) check(rc);
  }

  sqlite3* m_db;
  const std::function<void()>* m_betweenChunks;
  std::array<sqlite3_stmt*, kSteps> m_steps{};
  bool m_began = false;
};

// Hands `each` the keys (ascending) in ranges (from, to] of at most kChunkRows, starting above
// `from`, until they run out or the deadline passes. Returns the last `to` and how many keys.
template <typename Each>
std::pair<std::int64_t, std::size_t> inChunks(const std::vector<std::int64_t>& keys,
                                              std::int64_t from, Clock::time_point deadline,
                                              const Each& each) {
  std::size_t done = 0;
  while (done < keys.size()) {
    const std::size_t end = std::min(done + kChunkRows, keys.size());
    each(from, keys[end - 1]);
    from = keys[end - 1];
    done = end;
    if (Clock::now() >= deadline) break;
  }
  return {from, done};
}

// Folded otherwise, the index would not find what the filter's own check finds.
bool hasIndex(SliceConnection& connection) {
  return connection.single(kHasIndex).value_or(0) == kIndexParts &&
         connection.single(kHasFoldColumn).value_or(0) == 1 &&
         connection.single("SELECT min(Fold) = max(Fold) AND min(Fold) = " +
                           std::to_string(engine::kSearchFoldVersion) +
                           " FROM shelf_search_state")
                 .value_or(0) == 1;
}

std::size_t catchUp(SliceConnection& connection, std::size_t maxRows) {
  if (maxRows == 0 || !connection.writable() || !hasIndex(connection)) return 0;
  const auto start = Clock::now();
  const auto deadline = start + kSliceBudget;
  maxRows = std::min(maxRows, std::max(kSliceLeastRows, static_cast<std::size_t>(
                                                            kSliceTargetMs / t_msPerRow)));
  // What the slice may take is read first: no query runs inside its batch. Whatever another
  // program writes meanwhile is either in the ranges read, and folded with them, or queued.
  const std::vector<std::int64_t> queued = connection.column(
      "SELECT Seq FROM shelf_search_queue ORDER BY Seq LIMIT " + std::to_string(maxRows));
  const std::int64_t upto =
      connection.single("SELECT Upto FROM shelf_search_state").value_or(0);
  std::vector<std::int64_t> above;
  if (queued.size() < maxRows)
    above = connection.column("SELECT ID FROM music_shelf WHERE ID > " + std::to_string(upto) +
                              " ORDER BY ID LIMIT " + std::to_string(maxRows - queued.size()));
  if (queued.empty() && above.empty()) return 0;

  connection.begin();
  // Queue entries first: the rows they fold lie at or below the watermark, below every row the
  // watermark then passes, and FTS5 writes rows in ascending order best.
  const auto [unqueued, entries] =
      inChunks(queued, 0, deadline, [&](std::int64_t from, std::int64_t to) {
        connection.run(kUnqueue, from, to);
        connection.run(kRequeue, from, to);
        connection.betweenChunks();
      });
  if (entries > 0) connection.run(kDequeue, unqueued, std::nullopt);
  std::int64_t passed = upto;
  std::size_t rows = 0;
  // Every slice gets somewhere: on a loaded machine the reads above may use up its time, and a
  // slice that folded nothing would tell its caller that nothing waits.
  if (entries == queued.size() && (entries == 0 || Clock::now() < deadline))
    std::tie(passed, rows) =
        inChunks(above, upto, deadline, [&](std::int64_t from, std::int64_t to) {
          connection.run(kClear, from, to);
          connection.run(kFold, from, to);
          connection.betweenChunks();
        });
  if (passed > upto) connection.run(kAdvance, passed, std::nullopt);
  connection.run(kMerge,
                 std::max<std::int64_t>(kMergePagesLeast,
                                        static_cast<std::int64_t>(entries + rows) / 2),
                 std::nullopt);
  connection.commit();
  const std::size_t handled = entries + rows;
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  t_msPerRow = 0.7 * t_msPerRow + 0.3 * ms / static_cast<double>(handled);
  return handled;
}

}  // namespace

bool hasSearchIndex(engine::Database& db) {
  EngineSlice connection(db);
  return hasIndex(connection);
}

bool hasSearchIndex(sqlite3* db) {
  RawSlice connection(db, nullptr);
  return hasIndex(connection);
}

bool ensureSearchIndex(engine::Database& db) {
  if (db.isReadOnly() || hasSearchIndex(db)) return false;
  // A part of an index, left by a half-finished earlier try, by an older layout that queued
  // every new row or by an older fold, cannot be trusted to match its watermark: it is made
  // anew. The triggers go
  // first, so that nothing writes into a table on its way out. Made anew, the watermark stands
  // at 0 and every row counts as not indexed until catchUpSearchIndex() gets to it; at any step
  // between, the index is incomplete and not used.
  for (const char* trigger : {"shelf_search_added", "shelf_search_changed", "shelf_search_deleted",
                              "shelf_search_renamed"})
    db.Execute(std::string("DROP TRIGGER IF EXISTS ") + trigger);
  for (const char* table : {"shelf_search_queue", "shelf_search_state", "shelf_search"})
    db.Execute(std::string("DROP TABLE IF EXISTS ") + table);
  engine::forEachStatement(kSearchSchema,
                           [&](const std::string& statement) { db.Execute(statement); });
  return true;
}

std::int64_t searchIndexPending(engine::Database& db) {
  if (!hasSearchIndex(db)) return 0;
  EngineSlice connection(db);
  return connection.single(
                 "SELECT (SELECT count(*) FROM shelf_search_queue) + (SELECT count(*) FROM "
                 "music_shelf WHERE ID > (SELECT Upto FROM shelf_search_state))")
      .value_or(0);
}

std::size_t catchUpSearchIndex(engine::Database& db, std::size_t maxRows) {
  EngineSlice connection(db);
  return catchUp(connection, maxRows);
}

std::size_t catchUpSearchIndex(sqlite3* db, std::size_t maxRows,
                               const std::function<void()>& betweenChunks) {
  RawSlice connection(db, &betweenChunks);
  return catchUp(connection, maxRows);
}

}  // namespace catalog
