#include "catalog/statistics.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "catalog/statements.h"
#include "engine/fileexists.h"
#include "engine/jetlike.h"
#include "engine/searchfold.h"
#include "engine/sqltext.h"

namespace catalog {

std::atomic<int> StatisticsReader::s_threadsAlive{0};

namespace {

// The columns one pass reads, in this order.
enum Column { kArtist, kAlbum, kGenre, kYear, kFilename, kDuration, kBitrate, kVbr, kColumnsRead };
constexpr std::array<const char*, kColumnsRead> kColumnNames = {
    "Artist", "Album", "Genre", "Year", "Filename", "Duration", "Bitrate", "VBR"};

std::string quoted(std::string_view text) { return "'" + engine::doubleApostrophes(text) + "'"; }

// The catalogue compares its text columns without regard to ASCII case (COLLATE NOCASE), so the
// groups do too: "ROCK" and "Rock" are one genre, as a click's condition will find them.
void foldInto(std::string& out, std::string_view text) {
  out.assign(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

// "Column = 'value'", or the condition for an empty value, which NULL also is.
std::string equalsCondition(const char* column, std::string_view value) {
  if (value.empty()) return std::string("(") + column + " IS NULL OR " + column + " = '')";
  return std::string(column) + " = " + quoted(value);
}

std::string_view textOf(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  if (!text) return {};
  return {text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column))};
}

std::optional<double> numberOf(sqlite3_stmt* stmt, int column) {
  const int type = sqlite3_column_type(stmt, column);
  if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) return std::nullopt;
  return sqlite3_column_double(stmt, column);
}

const char* const kNumeric = "typeof(%s) IN ('integer','real')";

std::string numericCondition(const char* column, const std::string& range) {
  char head[64];
  std::snprintf(head, sizeof head, kNumeric, column);
  return std::string(head) + " AND " + range;
}

// Bit rates in bins up to each rate, each from just above the rate before: a rate between two
// of the usual ones (a file's average, 100 or 64.5) goes to the next one up, and the labels
// say so.
struct RateBin {
  const char* label;
  int upTo;
};
constexpr std::array<RateBin, 9> kRateBins = {{{"\u2264 64", 64},
                                               {"65-96", 96},
                                               {"97-112", 112},
                                               {"113-128", 128},
                                               {"129-160", 160},
                                               {"161-192", 192},
                                               {"193-224", 224},
                                               {"225-256", 256},
                                               {"> 256", 0}}};  // 320 and anything above
const char* const kNotVbr = "(VBR IS NULL OR VBR <> 'True')";

// Song lengths in bins of minutes: one a minute up to ten, then 10-20 and the rest.
constexpr int kMinuteBins = 10;
constexpr std::size_t kLengthBins = kMinuteBins + 2;
// Longer than this (about 115 days) a length is damage, not a song: left out of the total and the
// bins like an unknown one, which also keeps the sums far from overflowing.
constexpr double kLongestSeconds = 1e7;
const char* const kLongestText = "10000000";

struct Group {
  std::string name;
  std::string artist;
  std::int64_t songs = 0;
  std::int64_t seconds = 0;
};

struct Counts {
  std::int64_t songs = 0;
  double seconds = 0;
  std::unordered_map<std::string, Group> albums;  // by artist and album
  std::unordered_map<std::string, Group> genres;
  std::unordered_map<std::string, Group> years;  // by the folded year
  std::unordered_set<std::string> folders;
  std::array<std::int64_t, kRateBins.size()> rates{};
  std::int64_t vbr = 0;
  std::int64_t unknownRate = 0;
  std::array<std::int64_t, kLengthBins> lengths{};
  // The groups of the row before: the rows of one album mostly follow each other.
  std::string lastAlbumKey, lastGenreKey, lastFolder;
  Group* lastAlbum = nullptr;
  Group* lastGenre = nullptr;
};

// The artists' groups from the artist-and-album ones, rows without an artist left out.
std::unordered_map<std::string, Group> artistsOf(const std::unordered_map<std::string, Group>& albums) {
  std::unordered_map<std::string, Group> artists;
  for (const auto& [key, album] : albums) {
    const std::string artistKey = key.substr(0, key.find('\0'));
    if (artistKey.empty()) continue;
    Group& artist = artists.try_emplace(artistKey, Group{album.artist, {}, 0, 0}).first->second;
    artist.songs += album.songs;
    artist.seconds += album.seconds;
  }
  return artists;
}

// Drops the groups of songs without an album.
void dropAlbumless(std::unordered_map<std::string, Group>& albums) {
  std::erase_if(albums, [](const auto& entry) { return entry.second.name.empty(); });
}

Group& groupOf(std::unordered_map<std::string, Group>& groups, const std::string& key,
               std::string_view name, std::string_view artist) {
  auto it = groups.find(key);
  if (it == groups.end())
    it = groups.emplace(key, Group{std::string(name), std::string(artist), 0, 0}).first;
  return it->second;
}

void countRow(sqlite3_stmt* stmt, const std::array<int, kColumnsRead>& at, Counts& counts,
              std::string& key, std::string& albumKey) {
  ++counts.songs;
  std::optional<double> duration;
  if (at[kDuration] >= 0) {
    duration = numberOf(stmt, at[kDuration]);
    if (duration && *duration >= 0 && *duration <= kLongestSeconds) {
      counts.seconds += *duration;
      const double minutes = *duration / 60;
      const std::size_t bin = minutes < kMinuteBins ? static_cast<std::size_t>(minutes)
                              : minutes < 20        ? kMinuteBins
                                                    : kMinuteBins + 1;
      ++counts.lengths[bin];
    } else {
      duration.reset();
    }
  }
  const auto seconds = static_cast<std::int64_t>(duration.value_or(0) + 0.5);
  // One group per artist and album: the artists' figures are added up from them at the end,
  // which saves a look-up a row.
  if (at[kArtist] >= 0) {
    const std::string_view artist = textOf(stmt, at[kArtist]);
    const std::string_view album = at[kAlbum] >= 0 ? textOf(stmt, at[kAlbum]) : std::string_view();
    foldInto(albumKey, artist);
    albumKey.push_back('\0');
    foldInto(key, album);
    albumKey.append(key);
    if (!counts.lastAlbum || albumKey != counts.lastAlbumKey) {
      counts.lastAlbum = &groupOf(counts.albums, albumKey, album, artist);
      counts.lastAlbumKey = albumKey;
    }
    ++counts.lastAlbum->songs;
    counts.lastAlbum->seconds += seconds;
  }
  if (at[kGenre] >= 0) {
    const std::string_view genre = textOf(stmt, at[kGenre]);
    foldInto(key, genre);
    if (!counts.lastGenre || key != counts.lastGenreKey) {
      counts.lastGenre = &groupOf(counts.genres, key, genre, {});
      counts.lastGenreKey = key;
    }
    ++counts.lastGenre->songs;
  }
  if (at[kYear] >= 0) {
    const std::string_view year = textOf(stmt, at[kYear]);
    if (year.find_first_not_of(" \t") != std::string_view::npos) {
      foldInto(key, year);
      ++groupOf(counts.years, key, year, {}).songs;
    }
  }
  if (at[kFilename] >= 0) {
    const std::string_view filename = textOf(stmt, at[kFilename]);
    if (!filename.empty()) {
      const std::string_view folder = folderOf(filename);
      if (!folder.empty() && folder != counts.lastFolder) {
        counts.lastFolder.assign(folder);
        counts.folders.insert(counts.lastFolder);
      }
    }
  }
  const bool vbr =
      at[kVbr] >= 0 && engine::equalsIgnoringCase(textOf(stmt, at[kVbr]), "True");
  if (vbr) {
    ++counts.vbr;
  } else if (at[kBitrate] >= 0) {
    const std::optional<double> rate = numberOf(stmt, at[kBitrate]);
    if (!rate || *rate <= 0) {
      ++counts.unknownRate;
    } else {
      std::size_t bin = 0;
      while (bin + 1 < kRateBins.size() && *rate > kRateBins[bin].upTo) ++bin;
      ++counts.rates[bin];
    }
  }
}

std::vector<LargestEntry> largest(const std::unordered_map<std::string, Group>& groups,
                                  bool bySongs, bool albums) {
  std::vector<const Group*> all;
  all.reserve(groups.size());
  for (const auto& [key, group] : groups) all.push_back(&group);
  auto measure = [bySongs](const Group* g) { return bySongs ? g->songs : g->seconds; };
  auto before = [&](const Group* a, const Group* b) {
    if (measure(a) != measure(b)) return measure(a) > measure(b);
    if (a->name != b->name) return a->name < b->name;
    return a->artist < b->artist;
  };
  const std::size_t count = std::min(kLargestCount, all.size());
  std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count), all.end(),
                    before);
  std::vector<LargestEntry> top;
  for (std::size_t i = 0; i < count; ++i) {
    const Group& g = *all[i];
    LargestEntry entry{g.name, g.artist, g.songs, g.seconds, {}};
    entry.condition = albums ? equalsCondition("Artist", g.artist) + " AND " +
                                   equalsCondition("Album", g.name)
                             : equalsCondition("Artist", g.name);
    top.push_back(std::move(entry));
  }
  return top;
}

std::vector<StatisticsBin> genreBins(const std::unordered_map<std::string, Group>& genres) {
  std::vector<const Group*> all;
  for (const auto& [key, group] : genres) all.push_back(&group);
  std::sort(all.begin(), all.end(), [](const Group* a, const Group* b) {
    return a->songs != b->songs ? a->songs > b->songs : a->name < b->name;
  });
  std::vector<StatisticsBin> bins;
  std::vector<std::string> shown;
  bool emptyShown = false;
  std::int64_t other = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (i >= kTopGenres) {
      other += all[i]->songs;
      continue;
    }
    const std::string& name = all[i]->name;
    bins.push_back(
        {name.empty() ? "(no genre)" : name, all[i]->songs, equalsCondition("Genre", name)});
    if (name.empty())
      emptyShown = true;
    else
      shown.push_back(quoted(name));
  }
  if (other > 0) {
    std::string list;
    for (const std::string& name : shown) list += (list.empty() ? "" : ", ") + name;
    std::string condition = emptyShown ? "Genre <> ''" : "(Genre IS NULL OR Genre = '' OR ";
    if (emptyShown)
      condition += " AND NOT (Genre IN (" + list + "))";
    else
      condition += "NOT (Genre IN (" + list + ")))";
    bins.push_back({"(other genres)", other, condition});
  }
  return bins;
}

std::vector<StatisticsBin> yearBins(const std::unordered_map<std::string, Group>& years) {
  std::vector<StatisticsBin> bins;
  for (const auto& [key, year] : years)
    bins.push_back({year.name, year.songs, equalsCondition("Year", year.name)});
  // Years in their order as numbers; anything else after them, alphabetically.
  auto number = [](const std::string& text) -> std::optional<long long> {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    return std::stoll(text);
  };
  std::sort(bins.begin(), bins.end(), [&](const StatisticsBin& a, const StatisticsBin& b) {
    const auto na = number(a.label), nb = number(b.label);
    if (na && nb) return *na != *nb ? *na < *nb : a.label < b.label;
    if (na || nb) return na.has_value();
    return a.label < b.label;
  });
  return bins;
}

std::vector<StatisticsBin> rateBins(const Counts& counts) {
  std::vector<StatisticsBin> bins;
  // The same bounds as the count's: above the bin before, up to and with this one's.
  int above = 0;
  for (std::size_t i = 0; i < kRateBins.size(); ++i) {
    const RateBin& bin = kRateBins[i];
    std::string range = "Bitrate > " + std::to_string(above);
    if (bin.upTo) range += " AND Bitrate <= " + std::to_string(bin.upTo);
    bins.push_back({bin.label, counts.rates[i],
                    std::string(kNotVbr) + " AND " + numericCondition("Bitrate", range)});
    above = bin.upTo;
  }
  bins.push_back({"VBR", counts.vbr, "VBR = 'True'"});
  // Only when there are such rows: a catalogue the import filled has none.
  if (counts.unknownRate > 0)
    bins.push_back({"Unknown", counts.unknownRate,
                    std::string(kNotVbr) + " AND NOT (" +
                        numericCondition("Bitrate", "Bitrate > 0") + ")"});
  return bins;
}

std::vector<StatisticsBin> lengthBins(const Counts& counts) {
  std::vector<StatisticsBin> bins;
  for (std::size_t i = 0; i < kLengthBins; ++i) {
    std::string label, range;
    if (i == 0) {
      label = "< 1 min";
      range = "Duration >= 0 AND Duration < 60";
    } else if (i < static_cast<std::size_t>(kMinuteBins)) {
      label = std::to_string(i) + "-" + std::to_string(i + 1) + " min";
      range = "Duration >= " + std::to_string(60 * i) + " AND Duration < " +
              std::to_string(60 * (i + 1));
    } else if (i == kMinuteBins) {
      label = "10-20 min";
      range = "Duration >= 600 AND Duration < 1200";
    } else {
      label = "> 20 min";
      range = std::string("Duration >= 1200 AND Duration <= ") + kLongestText;
    }
    bins.push_back({label, counts.lengths[i], numericCondition("Duration", range)});
  }
  return bins;
}

bool stopped(void* flag) { return flag && static_cast<std::atomic<bool>*>(flag)->load(); }

// Another program holds the catalogue locked (a catalogue not in write-ahead mode while it
// writes, or one being recovered): waits in short naps until it lets go, the read is stopped or
// the wait grows too long for anyone to be waiting on it.
int waitWhileLocked(void* stop, int attempts) {
  constexpr int kNapMs = 20, kNaps = 1500;  // 30 s
  if (stopped(stop) || attempts >= kNaps) return 0;
  sqlite3_sleep(kNapMs);
  return 1;
}

std::string lastError(sqlite3* db) {
  const char* message = sqlite3_errmsg(db);
  return message ? message : "unknown error";
}

// Where the columns are among the statement's; -1 for those it lacks.
std::array<int, kColumnsRead> columnsOf(sqlite3_stmt* stmt) {
  std::array<int, kColumnsRead> at;
  at.fill(-1);
  for (int c = 0; c < sqlite3_column_count(stmt); ++c)
    for (std::size_t i = 0; i < kColumnsRead; ++i)
      if (at[i] < 0 && engine::equalsIgnoringCase(sqlite3_column_name(stmt, c), kColumnNames[i]))
        at[i] = c;
  return at;
}

// What a view's rows are counted from, and the note that goes with it.
struct Source {
  std::string sql;  // a table or a parenthesized query, to follow FROM
  std::string restriction;
  std::string note;
  std::string idColumn;  // the column of the catalogue's IDs, when the rows have one
  bool onceEach = false;  // the rows may list a song more than once: count each ID once
};

Source sourceOf(sqlite3* db, const std::string& viewSql) {
  Source whole{"main.music_shelf", {}, {}, "ID"};
  if (viewSql.empty()) return whole;
  const std::string inner = engine::asSubquery(
      engine::withoutFinalOrderBy(engine::withoutTrailingEnd(viewSql)));
  sqlite3_stmt* stmt = nullptr;
  const std::string probe = "SELECT * FROM " + inner;
  if (sqlite3_prepare_v2(db, probe.c_str(), static_cast<int>(probe.size()), &stmt, nullptr) !=
          SQLITE_OK ||
      !stmt) {
    sqlite3_finalize(stmt);
    whole.note = "The current view cannot be counted here (" + lastError(db) +
                 "): the whole catalogue is shown instead.";
    return whole;
  }
  // Whether the view has every counted column, each the catalogue's own (not renamed, computed
  // or another table's), so that a click, which looks at the catalogue's values, lists what the
  // bar counted.
  const std::array<int, kColumnsRead> at = columnsOf(stmt);
  bool everyColumn = true;
  for (std::size_t i = 0; i < kColumnsRead && everyColumn; ++i) {
    const char* table = at[i] >= 0 ? sqlite3_column_table_name(stmt, at[i]) : nullptr;
    const char* origin = at[i] >= 0 ? sqlite3_column_origin_name(stmt, at[i]) : nullptr;
    everyColumn = table && origin && engine::equalsIgnoringCase(table, kTableName) &&
                  engine::equalsIgnoringCase(origin, kColumnNames[i]);
  }
  std::string idColumn;
  for (int c = 0; c < sqlite3_column_count(stmt) && idColumn.empty(); ++c) {
    const char* table = sqlite3_column_table_name(stmt, c);
    const char* origin = sqlite3_column_origin_name(stmt, c);
    if (table && origin && engine::equalsIgnoringCase(table, kTableName) &&
        engine::equalsIgnoringCase(sqlite3_column_name(stmt, c), origin) &&
        engine::equalsIgnoringCase(origin, "ID"))
      idColumn = origin;
  }
  sqlite3_finalize(stmt);
  if (idColumn.empty()) {
    whole.note =
        "The current view does not list the catalogue's songs: the whole catalogue is shown "
        "instead.";
    return whole;
  }
  Source source;
  // A click lists the view's songs once each, so a view that lists a song more than once (a
  // join, a UNION ALL) counts it once too.
  source.restriction = "ID IN (SELECT " + engine::quoteIdentifier(idColumn) + " FROM " + inner + ")";
  if (everyColumn) {
    // The pass reads the view as it stands and passes over an ID it has seen, which costs far
    // less than looking each row up in a list of the view's IDs.
    source.idColumn = idColumn;
    source.sql = inner;
    source.onceEach = true;
  } else {
    // The songs' own values, for the columns the view leaves out.
    source.idColumn = "ID";
    source.sql = "(SELECT * FROM main.music_shelf WHERE " + source.restriction + ")";
  }
  return source;
}


// The IDs a pass has counted, for a view that may list a song more than once: a bit for each ID
// of the catalogue's range while that range is not much wider than a catalogue could fill (IDs
// set by hand may lie far apart), and a set for the others.
class SeenIds {
 public:
  static constexpr std::uint64_t kWidestRange = std::uint64_t{1} << 26;  // 8 MB of bits

  SeenIds(std::int64_t low, std::int64_t high)
      : m_low(low),
        m_bits(high >= low && static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low) <
                                  kWidestRange
                   ? static_cast<std::size_t>(static_cast<std::uint64_t>(high) -
                                              static_cast<std::uint64_t>(low)) +
                         1
                   : 0) {}
  // False when `id` was counted already.
  bool first(std::int64_t id) {
    const std::uint64_t offset =
        static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(m_low);
    if (id >= m_low && offset < m_bits.size()) {
      const auto at = static_cast<std::size_t>(offset);
      if (m_bits[at]) return false;
      m_bits[at] = true;
      return true;
    }
    return m_others.insert(id).second;
  }

 private:
  std::int64_t m_low;
  std::vector<bool> m_bits;
  std::unordered_set<std::int64_t> m_others;
};

// Counts the rows `sql` gives into `counts`, until `stop` or `halt` is set; what went wrong, or
// empty. With `seen`, a row whose ID (at `idAt`) was counted, or that has none (a row a join
// added), is passed over.
std::string countRows(sqlite3* db, const std::string& sql, const std::array<int, kColumnsRead>& at,
                      Counts& counts, const std::atomic<bool>& stop,
                      const std::atomic<bool>& halt, int idAt = -1, SeenIds* seen = nullptr) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    return lastError(db);
  }
  // Finalized however the count ends, also when it throws.
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(stmt, sqlite3_finalize);
  std::string key, albumKey;
  int rc;
  std::uint64_t stepped = 0;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if ((++stepped & 0xfff) == 0 && (stop || halt)) break;
    if (seen && (sqlite3_column_type(stmt, idAt) != SQLITE_INTEGER ||
                 !seen->first(sqlite3_column_int64(stmt, idAt))))
      continue;
    countRow(stmt, at, counts, key, albumKey);
  }
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) return lastError(db);
  return {};
}

// The catalogue's first and last ID; nullopt for an empty catalogue.
std::optional<std::pair<std::int64_t, std::int64_t>> idRange(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  std::optional<std::pair<std::int64_t, std::int64_t>> range;
  if (sqlite3_prepare_v2(db, "SELECT min(ID), max(ID) FROM main.music_shelf", -1, &stmt,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) == SQLITE_INTEGER)
    range.emplace(sqlite3_column_int64(stmt, 0), sqlite3_column_int64(stmt, 1));
  sqlite3_finalize(stmt);
  return range;
}

void mergeGroups(std::unordered_map<std::string, Group>& into,
                 std::unordered_map<std::string, Group>& from) {
  for (auto& [key, group] : from) {
    auto [it, added] = into.try_emplace(key, std::move(group));
    if (added) continue;
    it->second.songs += group.songs;
    it->second.seconds += group.seconds;
  }
}

void merge(Counts& into, Counts& from) {
  into.songs += from.songs;
  into.seconds += from.seconds;
  mergeGroups(into.albums, from.albums);
  mergeGroups(into.genres, from.genres);
  mergeGroups(into.years, from.years);
  into.folders.merge(from.folders);
  for (std::size_t i = 0; i < into.rates.size(); ++i) into.rates[i] += from.rates[i];
  into.vbr += from.vbr;
  into.unknownRate += from.unknownRate;
  for (std::size_t i = 0; i < into.lengths.size(); ++i) into.lengths[i] += from.lengths[i];
}

}  // namespace

std::string daysLengthText(std::int64_t seconds) {
  const bool negative = seconds < 0;
  const std::uint64_t s =
      negative ? 0 - static_cast<std::uint64_t>(seconds) : static_cast<std::uint64_t>(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%s%llu %llu:%02llu:%02llu", negative ? "-" : "",
                static_cast<unsigned long long>(s / 86400),
                static_cast<unsigned long long>(s / 3600 % 24),
                static_cast<unsigned long long>(s / 60 % 60),
                static_cast<unsigned long long>(s % 60));
  return text;
}

std::string_view folderOf(std::string_view filename) {
  const std::size_t slash = filename.find_last_of("/\\");
  if (slash == std::string_view::npos) return {};
  // A root keeps its slash: "/b.mp3" is in "/", "C:\b.mp3" in "C:\".
  if (slash == 0 || filename[slash - 1] == ':') return filename.substr(0, slash + 1);
  return filename.substr(0, slash);
}

std::optional<CatalogueStatistics> readStatistics(sqlite3* db, const std::string& viewSql,
                                                  const std::atomic<bool>& stop, sqlite3* second) {
  CatalogueStatistics result;
  const Source source = sourceOf(db, viewSql);
  result.restriction = source.restriction;
  result.wholeCatalogue = source.restriction.empty();
  if (!source.note.empty()) result.notes.push_back(source.note);

  std::string sql = "SELECT * FROM " + source.sql;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
          SQLITE_OK ||
      !stmt) {
    sqlite3_finalize(stmt);
    if (stop) return std::nullopt;
    result.notes.push_back("The statistics cannot be read: " + lastError(db));
    return result;
  }
  const std::array<int, kColumnsRead> at = columnsOf(stmt);
  sqlite3_finalize(stmt);
  std::string columns;
  std::array<int, kColumnsRead> read;
  read.fill(-1);
  int next = 0;
  for (std::size_t i = 0; i < kColumnsRead; ++i) {
    if (at[i] < 0) continue;
    columns += (columns.empty() ? "" : ", ") + std::string(kColumnNames[i]);
    read[i] = next++;
  }
  // One pass over the rows rather than a GROUP BY per chart, each of which would read every row
  // again; with a second connection, two passes side by side, each over half the IDs.
  // A view that may repeat a song reads its ID too, last.
  const std::string id =
      source.idColumn.empty() ? std::string() : engine::quoteIdentifier(source.idColumn);
  const int idAt = source.onceEach ? next : -1;
  if (source.onceEach) columns += (columns.empty() ? "" : ", ") + id;
  sql = "SELECT " + (columns.empty() ? std::string("1") : columns) + " FROM " + source.sql;
  std::optional<std::pair<std::int64_t, std::int64_t>> range;
  if ((second || source.onceEach) && !source.idColumn.empty()) range = idRange(db);
  std::optional<std::int64_t> middle;
  if (second && range)
    middle = range->first + static_cast<std::int64_t>((static_cast<std::uint64_t>(range->second) -
                                                      static_cast<std::uint64_t>(range->first)) /
                                                     2);
  const auto seenIds = [&](std::int64_t low, std::int64_t high) {
    return source.onceEach && range ? std::make_unique<SeenIds>(low, high) : nullptr;
  };
  Counts counts;
  std::string error;
  std::atomic<bool> halt{false};
  if (!middle) {
    const auto seen = seenIds(range ? range->first : 0, range ? range->second : -1);
    SeenIds none(0, -1);
    error = countRows(db, sql, read, counts, stop, halt, idAt,
                      source.onceEach ? (seen ? seen.get() : &none) : nullptr);
  } else {
    const std::string lowerSql = sql + " WHERE " + id + " <= " + std::to_string(*middle);
    const std::string upperSql = sql + " WHERE " + id + " > " + std::to_string(*middle);
    // The halves hold different IDs: each keeps its own record of those it counted.
    const auto lowerSeen = seenIds(range->first, *middle);
    const auto upperSeen = seenIds(*middle + 1, range->second);
    Counts upper;
    std::string upperError;
    // Whatever either half throws (std::bad_alloc) is caught on its own thread; the other half is
    // stopped and joined before it goes on, so no thread is left running or joinable behind it.
    std::exception_ptr upperFailure, lowerFailure;
    std::thread other([&] {
      try {
        upperError = countRows(second, upperSql, read, upper, stop, halt, idAt, upperSeen.get());
      } catch (...) {
        upperFailure = std::current_exception();
        halt = true;
      }
    });
    try {
      error = countRows(db, lowerSql, read, counts, stop, halt, idAt, lowerSeen.get());
    } catch (...) {
      lowerFailure = std::current_exception();
      halt = true;
    }
    other.join();
    if (lowerFailure) std::rethrow_exception(lowerFailure);
    if (upperFailure) std::rethrow_exception(upperFailure);
    if (error.empty()) error = upperError;
    merge(counts, upper);
  }
  if (stop) return std::nullopt;
  if (!error.empty()) result.notes.push_back("The statistics cannot be read: " + error);

  result.songs = counts.songs;
  result.seconds = static_cast<std::int64_t>(counts.seconds + 0.5);
  for (std::size_t i = 0; i < kColumnsRead; ++i)
    if (at[i] < 0)
      result.notes.push_back(std::string("The view has no ") + kColumnNames[i] + " column.");
  if (at[kArtist] >= 0) {
    const std::unordered_map<std::string, Group> artists = artistsOf(counts.albums);
    result.artists = static_cast<std::int64_t>(artists.size());
    result.artistsBySongs = largest(artists, true, false);
    result.artistsByLength = largest(artists, false, false);
    dropAlbumless(counts.albums);
  }
  if (at[kArtist] >= 0 && at[kAlbum] >= 0) {
    result.albums = static_cast<std::int64_t>(counts.albums.size());
    result.albumsBySongs = largest(counts.albums, true, true);
    result.albumsByLength = largest(counts.albums, false, true);
  }
  if (at[kFilename] >= 0) result.folders = static_cast<std::int64_t>(counts.folders.size());
  if (at[kGenre] >= 0) result.genres = genreBins(counts.genres);
  if (at[kYear] >= 0) result.years = yearBins(counts.years);
  if (at[kBitrate] >= 0 || at[kVbr] >= 0) result.bitrates = rateBins(counts);
  if (at[kVbr] >= 0)
    result.encodings = {{"CBR", counts.songs - counts.vbr, kNotVbr},
                        {"VBR", counts.vbr, "VBR = 'True'"}};
  if (at[kDuration] >= 0) result.lengths = lengthBins(counts);
  return result;
}

sqlite3* openStatisticsConnection(const std::string& catalogPath, const std::atomic<bool>* stop) {
  sqlite3* db = nullptr;
  void* flag = const_cast<std::atomic<bool>*>(stop);
  // Read-only and its own: a reader of a catalogue in write-ahead mode neither waits for the
  // window's writes nor holds them up.
  if (sqlite3_open_v2(catalogPath.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK ||
      sqlite3_busy_handler(db, waitWhileLocked, flag) != SQLITE_OK ||
      engine::registerJetLike(db, stopped, flag) != SQLITE_OK ||
      engine::registerFileExists(db, stopped, flag) != SQLITE_OK ||
      engine::registerSearchFunctions(db) != SQLITE_OK ||
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  if (stop)
    sqlite3_progress_handler(
        db, 10000, [](void* f) { return stopped(f) ? 1 : 0; }, flag);
  return db;
}

StatisticsReader::StatisticsReader(std::string catalogPath, QObject* parent)
    : QObject(parent), m_path(std::move(catalogPath)) {
  qRegisterMetaType<catalog::CatalogueStatistics>();
  // The catalogue is opened on the reading thread, at the first read: opening reads its schema,
  // which may wait for a lock, and the window asking never waits.
  ++s_threadsAlive;
  m_thread = std::thread([this] {
    run();
    --s_threadsAlive;
  });
}

StatisticsReader::~StatisticsReader() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
  sqlite3_close_v2(m_second);
  sqlite3_close_v2(m_db);
}

std::uint64_t StatisticsReader::read(std::string viewSql) {
  std::uint64_t generation;
  {
    std::lock_guard lock(m_mutex);
    generation = ++m_latest;
    m_pending = std::move(viewSql);
    m_cancelled = false;
    m_stop = true;  // the read in progress is of no use any more
  }
  m_wake.notify_all();
  return generation;
}

void StatisticsReader::cancel() {
  std::lock_guard lock(m_mutex);
  m_cancelled = true;
  m_pending.reset();
  m_stop = true;
}

void StatisticsReader::setBeforeRead(std::function<void()> hook) {
  std::lock_guard lock(m_mutex);
  m_beforeRead = std::move(hook);
}

void StatisticsReader::setAfterRead(std::function<void()> hook) {
  std::lock_guard lock(m_mutex);
  m_afterRead = std::move(hook);
}

bool StatisticsReader::open() {
  if (!m_db) {
    m_db = openStatisticsConnection(m_path, &m_stop);
    // Two passes side by side, on a machine with two cores or more: at a million rows one pass
    // alone takes longer than the window may take to fill.
    if (m_db && std::thread::hardware_concurrency() > 1)
      m_second = openStatisticsConnection(m_path, &m_stop);
  }
  m_available = m_db != nullptr;
  return m_available;
}

void StatisticsReader::run() {
  for (;;) {
    std::string viewSql;
    std::function<void()> hook;
    std::uint64_t generation;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stopping || m_pending.has_value(); });
      if (m_stopping) return;
      viewSql = std::move(*m_pending);
      m_pending.reset();
      m_stop = false;
      generation = m_latest;
      hook = m_beforeRead;
    }
    if (hook) hook();
    std::optional<CatalogueStatistics> result;
    // A catalogue that could not be opened before is tried again at each read.
    if (!open()) {
      result = CatalogueStatistics();
      result->opened = false;
    } else {
      try {
        result = readStatistics(m_db, viewSql, m_stop, m_second);
      } catch (const std::exception& e) {
        result = CatalogueStatistics();
        result->notes.push_back(std::string("The statistics cannot be read: ") + e.what());
      } catch (...) {
        result = CatalogueStatistics();
        result->notes.push_back("The statistics cannot be read.");
      }
    }
    std::function<void()> after;
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
      after = m_afterRead;
      if (result && !m_stop && !m_cancelled && generation == m_latest)
        QMetaObject::invokeMethod(
            this, [this, generation, statistics = std::move(*result)] {
              emit statisticsRead(generation, statistics);
            },
            Qt::QueuedConnection);
    }
    if (after) after();
  }
}

}  // namespace catalog
