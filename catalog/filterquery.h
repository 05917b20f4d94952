#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// The filter box's text, read: terms that must all hold. What it could not read is listed in
// `problems`, one short sentence each that names the term as typed; a query with problems is not
// to be run.
//
//   word, "a phrase"       part of any text column (Title, Artist, Album, Genre, Year, Comment,
//                          Filename), ignoring case and accents
//   field:value            part of one column: title, artist, album, genre, year, comment,
//                          path (filename, file); the value may be quoted
//   track, duration (length), bitrate, year, id
//                          numbers: field:N, field=N, <, <=, >, >=, and ranges field:A..B with
//                          either end open; a duration in seconds, m:ss or h:mm:ss. A year
//                          compares as a number only where it is stored as one ("1994",
//                          "1994-05-01"); year:text looks for the text instead.
//   vbr:yes|no, missing:yes|no (the file is not on the disk)
//   -term                  excludes what the term finds
// A word before ':', '=', '<' or '>' that names no field is part of the text looked for
// ("Re:Zero", "love<3").
struct FilterTerm {
  enum class Field { Any, Title, Artist, Album, Genre, Year, Comment, Path, Track, Duration,
                     Bitrate, Vbr, Missing, Id };
  enum class Kind { Text, Number, Flag };
  Field field = Field::Any;
  Kind kind = Kind::Text;
  bool excluded = false;
  std::string text;                  // Text: folded as the filter compares
  std::optional<std::int64_t> low;   // Number: the smallest value that holds (inclusive)
  std::optional<std::int64_t> high;  // Number: the largest value that holds (inclusive)
  bool flag = false;                 // Flag: yes or no
  std::string typed;                 // the term as typed, for messages
};

struct FilterQuery {
  std::vector<FilterTerm> terms;
  std::vector<std::string> problems;

  // Blank text: no filter at all, every row shows.
  bool empty() const { return terms.empty() && problems.empty(); }
  bool valid() const { return problems.empty(); }
};

FilterQuery parseFilter(std::string_view text);

// A heading sort within the filter: the grid column's caption (a music_shelf column name) and
// its direction. ID breaks ties.
struct SortOrder {
  std::string column;
  bool descending = false;
};

// The query that lists the rows of music_shelf the filter lets through, every column, ordered by
// ID unless `order` names a column. It is one SELECT over music_shelf alone (with the index, a
// table of the index's hits beside it), so a record set over it can be edited. `indexed` says
// whether the catalogue has the filter's index (hasSearchIndex); without it every row is read.
// An empty query gives every row; a query with problems must not be passed.
std::string filterSql(const FilterQuery& query, bool indexed,
                      const std::optional<SortOrder>& order = std::nullopt);

// Whether the index narrows the query down: it has a term to look for of three letters or more.
// Without one, the rows are read one by one until the filter's first screen is full, which for a
// rare match means reading the whole catalogue.
bool narrowedByIndex(const FilterQuery& query);

}  // namespace catalog
