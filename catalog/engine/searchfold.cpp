#include "searchfold.h"

#include <cstring>
#include <new>
#include <string>

#include "jetlike.h"
#include "utf8.h"

namespace engine {

namespace {

// What each letter from U+00C0 to U+024F becomes: its base letters in lower case, or "" where it
// has none (×, ÷, and letters without an English spelling), which are only case-folded.
constexpr char32_t kTableStart = 0xC0;
constexpr const char* kLatin[] = {
    "a", "a", "a", "a", "a", "a", "ae", "c",  // U+00C0
    "e", "e", "e", "e", "i", "i", "i", "i",  // U+00C8
    "d", "n", "o", "o", "o", "o", "o", "",  // U+00D0
    "o", "u", "u", "u", "u", "y", "th", "ss",  // U+00D8
    "a", "a", "a", "a", "a", "a", "ae", "c",  // U+00E0
    "e", "e", "e", "e", "i", "i", "i", "i",  // U+00E8
    "d", "n", "o", "o", "o", "o", "o", "",  // U+00F0
    "o", "u", "u", "u", "u", "y", "th", "y",  // U+00F8
    "a", "a", "a", "a", "a", "a", "c", "c",  // U+0100
    "c", "c", "c", "c", "c", "c", "d", "d",  // U+0108
    "d", "d", "e", "e", "e", "e", "e", "e",  // U+0110
    "e", "e", "e", "e", "g", "g", "g", "g",  // U+0118
    "g", "g", "g", "g", "h", "h", "h", "h",  // U+0120
    "i", "i", "i", "i", "i", "i", "i", "i",  // U+0128
    "i", "i", "ij", "ij", "j", "j", "k", "k",  // U+0130
    "q", "l", "l", "l", "l", "l", "l", "l",  // U+0138
    "l", "l", "l", "n", "n", "n", "n", "n",  // U+0140
    "n", "'n", "n", "n", "o", "o", "o", "o",  // U+0148
    "o", "o", "oe", "oe", "r", "r", "r", "r",  // U+0150
    "r", "r", "s", "s", "s", "s", "s", "s",  // U+0158
    "s", "s", "t", "t", "t", "t", "t", "t",  // U+0160
    "u", "u", "u", "u", "u", "u", "u", "u",  // U+0168
    "u", "u", "u", "u", "w", "w", "y", "y",  // U+0170
    "y", "z", "z", "z", "z", "z", "z", "s",  // U+0178
    "b", "b", "", "", "", "", "", "",  // U+0180
    "", "d", "d", "", "", "", "", "",  // U+0188
    "", "f", "f", "", "", "", "", "i",  // U+0190
    "", "", "l", "", "", "", "", "",  // U+0198
    "o", "o", "", "", "p", "p", "", "",  // U+01A0
    "", "", "", "", "", "", "", "u",  // U+01A8
    "u", "", "", "", "", "z", "z", "",  // U+01B0
    "", "", "", "", "", "", "", "",  // U+01B8
    "", "", "", "", "dz", "dz", "dz", "lj",  // U+01C0
    "lj", "lj", "nj", "nj", "nj", "a", "a", "i",  // U+01C8
    "i", "o", "o", "u", "u", "u", "u", "u",  // U+01D0
    "u", "u", "u", "u", "u", "", "a", "a",  // U+01D8
    "a", "a", "ae", "ae", "g", "g", "g", "g",  // U+01E0
    "k", "k", "o", "o", "o", "o", "", "",  // U+01E8
    "j", "dz", "dz", "dz", "g", "g", "", "",  // U+01F0
    "n", "n", "a", "a", "ae", "ae", "o", "o",  // U+01F8
    "a", "a", "a", "a", "e", "e", "e", "e",  // U+0200
    "i", "i", "i", "i", "o", "o", "o", "o",  // U+0208
    "r", "r", "r", "r", "u", "u", "u", "u",  // U+0210
    "s", "s", "t", "t", "", "", "h", "h",  // U+0218
    "", "", "", "", "", "", "a", "a",  // U+0220
    "e", "e", "o", "o", "o", "o", "o", "o",  // U+0228
    "o", "o", "y", "y", "", "", "", "",  // U+0230
    "", "", "a", "c", "c", "", "t", "",  // U+0238
    "", "", "", "", "", "", "e", "e",  // U+0240
    "j", "j", "", "", "r", "r", "y", "y",  // U+0248
};
constexpr char32_t kTableEnd = kTableStart + sizeof kLatin / sizeof kLatin[0];

char32_t decodeAt(std::string_view text, std::size_t i, std::size_t length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  switch (length) {
    case 1: return byte(0);
    case 2: return ((byte(0) & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
    case 3: return ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
    default:
      return ((byte(0) & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) | ((byte(2) & 0x3Fu) << 6) |
             (byte(3) & 0x3Fu);
  }
}

bool isCombiningMark(char32_t c) { return c >= 0x300 && c <= 0x36F; }

}  // namespace

void foldForSearch(std::string_view utf8, std::string& out) {
  out.clear();
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char first = static_cast<unsigned char>(utf8[i]);
    if (first < 0x80 && first != 0) {  // most tags and every path are mostly ASCII
      out.push_back(static_cast<char>(first >= 'A' && first <= 'Z' ? first + 32 : first));
      ++i;
      continue;
    }
    const std::size_t length = utf8SequenceLength(utf8, i);
    char32_t c = length ? decodeAt(utf8, i, length) : 0xFFFD;
    i += length ? length : 1;
    // FTS5's trigrams end a text at NUL and read U+FFFE and U+FFFF as U+FFFD: folded alike, the
    // index and the filter's own check find the same rows.
    if (c == 0 || c == 0xFFFE || c == 0xFFFF) c = 0xFFFD;
    if (isCombiningMark(c)) continue;
    // Capital sharp s, beside ß; a word's final sigma, which "Σ" typed in the box folds past.
    if (c == 0x1E9E) {
      out.append("ss");
      continue;
    }
    if (c == 0x3C2) c = 0x3C3;
    if (c >= kTableStart && c < kTableEnd && *kLatin[c - kTableStart]) {
      out.append(kLatin[c - kTableStart]);
      continue;
    }
    appendUtf8(out, foldCase(c));
  }
}

std::string foldForSearch(std::string_view utf8) {
  std::string out;
  foldForSearch(utf8, out);
  return out;
}

namespace {

std::string_view textOf(sqlite3_value* value) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
  return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(value)))
              : std::string_view();
}

void searchFold(sqlite3_context* context, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;  // NULL stays NULL
  thread_local std::string folded;
  foldForSearch(textOf(argv[0]), folded);
  sqlite3_result_text64(context, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// One call per row for all of a row's columns: the filter's direct check runs over every row of
// a catalogue that has no index.
void searchHas(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (argc < 1) {
    sqlite3_result_int(context, 0);
    return;
  }
  const std::string_view needle = textOf(argv[0]);
  thread_local std::string folded;
  for (int a = 1; a < argc; ++a) {
    if (sqlite3_value_type(argv[a]) == SQLITE_NULL) continue;
    const std::string_view text = textOf(argv[a]);
    bool ascii = true;
    for (const char ch : text)
      if (static_cast<unsigned char>(ch) >= 0x80 || ch == '\0') {
        ascii = false;
        break;
      }
    std::string_view haystack = text;
    if (!ascii || text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string_view::npos) {
      foldForSearch(text, folded);
      haystack = folded;
    }
    if (haystack.find(needle) != std::string_view::npos) {
      sqlite3_result_int(context, 1);
      return;
    }
  }
  sqlite3_result_int(context, 0);
}

// search_hits: three ascending streams of IDs merged: the index's hits, the queue, and the rows
// above the watermark, which the index has not reached yet. The last is read through
// music_shelf's primary key, a range from the watermark up: right after an import of thousands
// of rows the filter's first screen comes as fast as ever.
constexpr const char* kHitsSql = "SELECT rowid FROM main.shelf_search WHERE shelf_search MATCH ?1";
constexpr const char* kQueueSql = "SELECT DISTINCT ID FROM main.shelf_search_queue ORDER BY ID";
constexpr const char* kAboveSql =
    "SELECT ID FROM main.music_shelf WHERE ID > (SELECT Upto FROM main.shelf_search_state) "
    "ORDER BY ID";

// One of the streams: its statement and whether it still stands on a row.
struct Stream {
  sqlite3_stmt* stmt = nullptr;
  bool left = false;

  sqlite3_int64 id() const { return sqlite3_column_int64(stmt, 0); }
  // Steps to the next row.
  int advance() {
    const int rc = sqlite3_step(stmt);
    left = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
  void finalize() {
    sqlite3_finalize(stmt);
    stmt = nullptr;
    left = false;
  }
};

struct HitsTable {
  sqlite3_vtab base{};
  sqlite3* db = nullptr;
};

struct HitsCursor {
  sqlite3_vtab_cursor base{};
  Stream hits, queue, above;
  sqlite3_int64 id = 0;
  bool queued = false;
  bool eof = true;
};

int hitsConnect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** out, char**) {
  const int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(id INTEGER, queued INTEGER, query HIDDEN)");
  if (rc != SQLITE_OK) return rc;
  sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY);
  auto* table = new (std::nothrow) HitsTable;
  if (!table) return SQLITE_NOMEM;
  table->db = db;
  *out = &table->base;
  return SQLITE_OK;
}

int hitsDisconnect(sqlite3_vtab* vtab) {
  delete reinterpret_cast<HitsTable*>(vtab);
  return SQLITE_OK;
}

int hitsBestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  int match = -1;
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& c = info->aConstraint[i];
    if (c.iColumn == 2 && c.op == SQLITE_INDEX_CONSTRAINT_EQ) {
      if (!c.usable) return SQLITE_CONSTRAINT;
      match = i;
    }
  }
  if (match < 0) return SQLITE_CONSTRAINT;
  info->aConstraintUsage[match].argvIndex = 1;
  info->aConstraintUsage[match].omit = 1;
  if (info->nOrderBy == 1 && (info->aOrderBy[0].iColumn == 0 || info->aOrderBy[0].iColumn == -1) &&
      !info->aOrderBy[0].desc)
    info->orderByConsumed = 1;
  info->estimatedCost = 1000;
  info->estimatedRows = 1000;
  return SQLITE_OK;
}

int hitsOpen(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  auto* cursor = new (std::nothrow) HitsCursor;
  if (!cursor) return SQLITE_NOMEM;
  *out = &cursor->base;
  return SQLITE_OK;
}

void finalizeStreams(HitsCursor* cursor) {
  cursor->hits.finalize();
  cursor->queue.finalize();
  cursor->above.finalize();
}

int hitsClose(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<HitsCursor*>(base);
  finalizeStreams(cursor);
  delete cursor;
  return SQLITE_OK;
}

int failWith(HitsCursor* cursor, sqlite3* db, int rc) {
  sqlite3_free(cursor->base.pVtab->zErrMsg);
  cursor->base.pVtab->zErrMsg = sqlite3_mprintf("%s", sqlite3_errmsg(db));
  return rc;
}

// Takes the smallest ID of the streams: one from the index alone is a hit, one from the queue
// or above the watermark is queued; an ID in more than one is one row, a queued one.
int takeNext(HitsCursor* cursor) {
  Stream* const streams[] = {&cursor->hits, &cursor->queue, &cursor->above};
  bool any = false;
  sqlite3_int64 next = 0;
  for (const Stream* stream : streams)
    if (stream->left && (!any || stream->id() < next)) {
      next = stream->id();
      any = true;
    }
  cursor->eof = !any;
  if (!any) return SQLITE_OK;
  cursor->id = next;
  cursor->queued = false;
  for (Stream* stream : streams)
    if (stream->left && stream->id() == next) {
      if (stream != &cursor->hits) cursor->queued = true;
      if (const int rc = stream->advance(); rc != SQLITE_OK) return rc;
    }
  return SQLITE_OK;
}

int hitsFilter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv) {
  auto* cursor = reinterpret_cast<HitsCursor*>(base);
  sqlite3* db = reinterpret_cast<HitsTable*>(base->pVtab)->db;
  finalizeStreams(cursor);
  cursor->eof = true;
  if (argc < 1) return SQLITE_OK;
  int rc = sqlite3_prepare_v2(db, kHitsSql, -1, &cursor->hits.stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, kQueueSql, -1, &cursor->queue.stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, kAboveSql, -1, &cursor->above.stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_bind_value(cursor->hits.stmt, 1, argv[0]);
  for (Stream* stream : {&cursor->hits, &cursor->queue, &cursor->above})
    if (rc == SQLITE_OK) rc = stream->advance();
  if (rc == SQLITE_OK) rc = takeNext(cursor);
  return rc == SQLITE_OK ? rc : failWith(cursor, db, rc);
}

int hitsNext(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<HitsCursor*>(base);
  const int rc = takeNext(cursor);
  return rc == SQLITE_OK ? rc : failWith(cursor, reinterpret_cast<HitsTable*>(base->pVtab)->db, rc);
}

int hitsEof(sqlite3_vtab_cursor* base) { return reinterpret_cast<HitsCursor*>(base)->eof; }

int hitsColumn(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  const auto* cursor = reinterpret_cast<HitsCursor*>(base);
  if (column == 0) sqlite3_result_int64(context, cursor->id);
  else if (column == 1) sqlite3_result_int(context, cursor->queued ? 1 : 0);
  return SQLITE_OK;
}

int hitsRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid) {
  *rowid = reinterpret_cast<HitsCursor*>(base)->id;
  return SQLITE_OK;
}

sqlite3_module makeHitsModule() {
  sqlite3_module module{};
  module.iVersion = 0;
  module.xCreate = nullptr;  // eponymous only: nothing of it is ever stored in a catalogue
  module.xConnect = hitsConnect;
  module.xBestIndex = hitsBestIndex;
  module.xDisconnect = hitsDisconnect;
  module.xDestroy = hitsDisconnect;
  module.xOpen = hitsOpen;
  module.xClose = hitsClose;
  module.xFilter = hitsFilter;
  module.xNext = hitsNext;
  module.xEof = hitsEof;
  module.xColumn = hitsColumn;
  module.xRowid = hitsRowid;
  return module;
}

const sqlite3_module kHitsModule = makeHitsModule();

}  // namespace

int registerSearchFunctions(sqlite3* db) {
  constexpr int kPure = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  int rc = sqlite3_create_function_v2(db, "search_fold", 1, kPure, nullptr, searchFold, nullptr,
                                      nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function_v2(db, "search_has", -1, kPure, nullptr, searchHas, nullptr,
                                    nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_create_module_v2(db, "search_hits", &kHitsModule, nullptr, nullptr);
  return rc;
}

}  // namespace engine
