// filter_bench [ROWS]
//
// A catalogue of ROWS rows (1,000,000 unless given) in a temporary folder, a few of them holding
// a rare word, and the filter's index built as the program builds it: ensureSearchIndex makes it
// empty, then catchUpSearchIndex folds the rows in slices of at most 400, as the window's idle
// timer asks for (the time of the whole build, the median, 99th percentile and slowest slice,
// and the FTS5 segments left are printed). Then, for each filter text, the median of 3 rounds of:
//   engine   Database::OpenRecordset(filterSql(...), dbOpenDynaset): the first screen, that is
//            the query prepared, the record set described and its first 256 rows read;
//   sqlite   the same SQL through the plain C API on a connection with the filter's functions:
//            prepare and step 256 rows;
//   count    SELECT count(*), sum(Duration) FROM (<view>) through the plain C API.
// Each text runs with the index and without it (as on a read-only catalogue without one).
// Then the cost the index's triggers add to writing rows: 100,000 rows inserted in
// transactions of 1,000, with the triggers and without. Last, a filter with those 300,000 rows
// not indexed yet (above the watermark), as right after an import, and the slices that catch up
// with them.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "benchcatalogue.h"
#include "catalog/filterquery.h"
#include "catalog/searchindex.h"
#include "engine/engine.h"
#include "engine/searchfold.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

double medianOf3(const std::function<double()>& round) {
  return bench::median({round(), round(), round()});
}

sqlite3* plainConnection(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  engine::registerSearchFunctions(db);
  return db;
}

double plainFirstScreen(sqlite3* db, const std::string& sql) {
  const auto start = Clock::now();
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "prepare failed: %s\n", sqlite3_errmsg(db));
    return -1;
  }
  for (int i = 0; i < 256 && sqlite3_step(stmt) == SQLITE_ROW; ++i)
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) sqlite3_column_text(stmt, c);
  sqlite3_finalize(stmt);
  return msSince(start);
}

double plainCount(sqlite3* db, const std::string& sql, long long& rows) {
  const auto start = Clock::now();
  sqlite3_stmt* stmt = nullptr;
  const std::string count = "SELECT count(*), sum(Duration) FROM (" + sql + ")";
  sqlite3_prepare_v2(db, count.c_str(), -1, &stmt, nullptr);
  if (sqlite3_step(stmt) == SQLITE_ROW) rows = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return msSince(start);
}

// The FTS5 index's levels and segments, from its structure record: a 4-byte cookie, then
// varints for the number of levels and of segments.
std::pair<int, int> segments(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  std::pair<int, int> result{-1, -1};
  sqlite3_prepare_v2(db, "SELECT block FROM shelf_search_data WHERE id = 10", -1, &stmt, nullptr);
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* block = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, 0));
    const int size = sqlite3_column_bytes(stmt, 0);
    int at = 4;
    const auto varint = [&] {
      long long value = 0;
      while (at < size) {
        const unsigned char byte = block[at++];
        value = (value << 7) | (byte & 0x7F);
        if (!(byte & 0x80)) break;
      }
      return static_cast<int>(value);
    };
    result.first = varint();
    result.second = varint();
  }
  sqlite3_finalize(stmt);
  return result;
}

// Slices of catchUpSearchIndex as the window runs them, until none is left: their times.
std::vector<double> catchUp(engine::Database& db, double& totalMs) {
  std::vector<double> slices;
  const auto start = Clock::now();
  for (;;) {
    const auto sliceStart = Clock::now();
    if (catalog::catchUpSearchIndex(db, 400) == 0) break;
    slices.push_back(msSince(sliceStart));
  }
  totalMs = msSince(start);
  return slices;
}

void printSlices(const char* what, const std::vector<double>& slices, double totalMs) {
  std::printf("%s: caught up in %.1f s, %zu slices of at most 400 rows, median %.1f ms, 99th "
              "percentile %.1f ms, slowest %.1f ms\n",
              what, totalMs / 1000, slices.size(), bench::median(slices), percentile(slices, 0.99),
              slices.empty() ? 0.0 : *std::max_element(slices.begin(), slices.end()));
}

bool exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  char* message = nullptr;
  const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
  if (!ok) std::fprintf(stderr, "%s\n", message ? message : "failed");
  sqlite3_free(message);
  sqlite3_close(db);
  return ok;
}

// Milliseconds to insert `rows` rows in transactions of 1,000.
double insertRows(const std::string& path, int rows) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO music_shelf (Title, Artist, Album, Year, Genre, Track, Filename, "
                     "Duration, Bitrate, VBR) VALUES (?1, 'Artist', 'Album', '2001', 'Rock', 3, ?2, "
                     "200, 192, 'False')",
                     -1, &insert, nullptr);
  const auto start = Clock::now();
  for (int i = 0; i < rows; ++i) {
    if (i % 1000 == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    const std::string title = "Extra song " + std::to_string(i);
    const std::string file = "/home/user/Music/Extra/" + title + ".mp3";
    sqlite3_bind_text(insert, 1, title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, file.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    if (i % 1000 == 999 || i + 1 == rows) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  const double ms = msSince(start);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
  char folderTemplate[] = "/tmp/filter_bench.XXXXXX";
  const char* folder = ::mkdtemp(folderTemplate);
  if (!folder) return 1;
  const std::string path = std::string(folder) + "/music_1.mdb";
  int status = 0;
  try {
    auto start = Clock::now();
    if (!bench::makeCatalogue(path, rows)) throw std::runtime_error("cannot make the catalogue");
    // Eight rows with a rare word, one with a combining accent.
    exec(path, "UPDATE music_shelf SET Title = 'Café Zanzibar' WHERE ID % " +
                   std::to_string(std::max(rows / 8, 1)) + " = 7;"
                   "UPDATE music_shelf SET Title = 'Cafe\xCC\x81 Zanzibar' WHERE ID = 3");
    std::printf("filter_bench: %d rows; catalogue made in %.0f ms\n", rows, msSince(start));

    auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    start = Clock::now();
    catalog::ensureSearchIndex(*db);
    const double made = msSince(start);
    double built = 0;
    const std::vector<double> slices = catchUp(*db, built);
    std::printf("index: made empty in %.0f ms\n", made);
    printSlices("index", slices, built);
    std::printf("catalogue size with index: %.0f MB\n",
                static_cast<double>(std::filesystem::file_size(path)) / 1e6);

    sqlite3* plain = plainConnection(path);
    const auto [levels, segmentCount] = segments(plain);
    std::printf("index: %d segments on %d levels\n", segmentCount, levels);
    const char* const kTexts[] = {"night",       "zanzibar",          "cafe",
                                  "ja",          "qx",                "artist:\"artist 1999\"",
                                  "bitrate>=256", "night bitrate<160", "-night",
                                  "year:1990..1999"};
    std::printf("\n%-22s %-5s %9s %9s %6s %10s %9s\n", "filter", "index", "engine", "sqlite",
                "ratio", "count ms", "rows");
    for (const char* text : kTexts) {
      const catalog::FilterQuery query = catalog::parseFilter(text);
      for (const bool indexed : {true, false}) {
        const std::string sql = catalog::filterSql(query, indexed);
        const double engineMs = medianOf3([&] {
          const auto t = Clock::now();
          auto view = db->OpenRecordset(sql, engine::dbOpenDynaset);
          return msSince(t);
        });
        const double sqliteMs = medianOf3([&] { return plainFirstScreen(plain, sql); });
        long long count = 0;
        const double countMs = plainCount(plain, sql, count);
        std::printf("%-22s %-5s %7.1f ms %6.1f ms %6.2f %10.0f %9lld\n", text,
                    indexed ? "yes" : "no", engineMs, sqliteMs, engineMs / sqliteMs, countMs,
                    count);
      }
    }
    sqlite3_close(plain);
    db->Close();

    const int extra = 100000;
    // Without first, then with, then without again: the first writes after the index's build
    // also pay for checkpointing its log.
    std::string trigger;
    {
      sqlite3* own = plainConnection(path);
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(own, "SELECT sql FROM sqlite_schema WHERE name = 'shelf_search_added'",
                         -1, &stmt, nullptr);
      if (sqlite3_step(stmt) == SQLITE_ROW)
        trigger = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      sqlite3_finalize(stmt);
      sqlite3_close(own);
    }
    exec(path, "DROP TRIGGER shelf_search_added");
    const double before = insertRows(path, extra);
    exec(path, trigger);
    const double withTriggers = insertRows(path, extra);
    exec(path, "DROP TRIGGER shelf_search_added");
    const double without = std::min(before, insertRows(path, extra));
    exec(path, trigger);
    std::printf("\nwriting %d rows in transactions of 1,000: %.0f ms with the index's triggers, "
                "%.0f ms without (the faster of two runs; %.2fx)\n",
                extra, withTriggers, without, withTriggers / without);

    // The rows just written stand above the watermark: the filter reads them itself.
    db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    plain = plainConnection(path);
    std::printf("%lld rows not indexed yet\n", static_cast<long long>(catalog::searchIndexPending(*db)));
    for (const char* text : {"zanzibar", "extra song 12345"}) {
      const std::string sql = catalog::filterSql(catalog::parseFilter(text), true);
      const double sqliteMs = medianOf3([&] { return plainFirstScreen(plain, sql); });
      long long count = 0;
      const double countMs = plainCount(plain, sql, count);
      std::printf("%-22s %-5s %19.1f ms %17.0f %9lld\n", text, "yes", sqliteMs, countMs, count);
    }
    sqlite3_close(plain);
    double caughtUp = 0;
    const std::vector<double> more = catchUp(*db, caughtUp);
    printSlices("those rows", more, caughtUp);
    db->Close();
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "Error %d: %s\n", e.number(), e.description().c_str());
    status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(folder);
  return status;
}
