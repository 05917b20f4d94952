#include "catalog/statements.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "catalog/catalogue.h"
#include "engine/errors.h"
#include "engine/numbers.h"
#include "engine/sqltext.h"

namespace catalog {

namespace {

constexpr std::string_view kAllTitled = "Select * from music_shelf where Title like '*' ";

[[noreturn]] void fail(int number, const char* description) {
  throw engine::EngineError(number, description);
}

std::int32_t checkedId(double whole) {
  if (!(whole >= std::numeric_limits<std::int32_t>::min() &&
        whole <= std::numeric_limits<std::int32_t>::max()))
    fail(kOverflow, "Overflow.");
  return static_cast<std::int32_t>(whole);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A decimal number, optionally signed, with an optional fraction and exponent, between blanks.
// No hexadecimal, infinity or NaN: an ID typed as text reads like a plain number or not at all.
// Out of range gives infinity, a number far outside 32 bits.
std::optional<double> parseNumber(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  const engine::LeadingNumber number = engine::scanLeadingNumber(text);
  if (number.length == 0 || number.length != text.size()) return std::nullopt;
  return number.value;
}

}  // namespace

std::string allRowsSql() { return std::string(kAllTitled) + "ORDER BY ID"; }

std::string snapshotSql() { return std::string(kAllTitled); }

std::optional<std::string> searchSql(std::string_view title, std::string_view artist) {
  if (title.empty() && artist.empty()) return std::nullopt;
  std::string artistCondition;
  std::string titleCondition;
  bool hasArtist = false;
  if (!artist.empty()) {
    artistCondition = "Artist like '*" + engine::doubleApostrophes(artist) + "*'";
    hasArtist = true;
  }
  if (!title.empty()) {
    titleCondition = "Title like '*" + engine::doubleApostrophes(title) + "*'";
    if (hasArtist) titleCondition = " AND " + titleCondition;
  }
  return "SELECT * FROM music_shelf WHERE " + artistCondition + titleCondition;
}

std::string sortedSql(std::string_view caption, bool descending) {
  std::string sql = std::string(kAllTitled) + "ORDER BY " + std::string(caption);
  if (descending) sql += " DESC;";
  return sql;
}

std::string deleteSql(std::int32_t id) {
  return "DELETE FROM music_shelf WHERE ID = " + std::to_string(id);
}

std::string addSql() {
  return "INSERT INTO music_shelf (Title, Artist) VALUES ('unknown','unknown')";
}

std::string missingFilesSql() {
  return "SELECT * FROM music_shelf WHERE Filename <> '' AND NOT file_exists(Filename) "
         "ORDER BY Filename, ID";
}

std::string duplicatesSql() {
  // Filename compares without regard to case; the binary compares keep only exact copies (two
  // names that differ in case are two files here). One grouping pass, with or without an index.
  return "SELECT * FROM music_shelf WHERE Filename <> '' AND Filename COLLATE BINARY IN "
         "(SELECT Filename COLLATE BINARY FROM music_shelf WHERE Filename <> '' GROUP BY "
         "Filename COLLATE BINARY HAVING count(*) > 1) ORDER BY Filename COLLATE BINARY, ID";
}

std::string duplicateSongsSql() {
  // Only music_shelf's columns are listed, so the view can be edited like any other. A
  // companion row counts only while it describes the row's present Filename.
  return "SELECT music_shelf.* FROM music_shelf JOIN shelf_files AS f ON f.ID = music_shelf.ID "
         "AND f.Filename = music_shelf.Filename COLLATE BINARY JOIN (SELECT g.AudioHash AS hash, "
         "g.AudioBytes AS bytes, min(t.Filename COLLATE BINARY) AS first FROM shelf_files AS g "
         "JOIN music_shelf AS t ON t.ID = g.ID AND g.Filename = t.Filename COLLATE BINARY WHERE "
         "g.AudioHash IS NOT NULL GROUP BY g.AudioHash, g.AudioBytes HAVING count(*) > 1) AS d ON "
         "d.hash = f.AudioHash AND d.bytes = f.AudioBytes ORDER BY d.first, d.hash, d.bytes, "
         "music_shelf.Filename COLLATE BINARY, music_shelf.ID";
}

namespace {
constexpr std::string_view kProblemsStart =
    "SELECT s.ID, s.Title, s.Artist, s.Filename, f.Problem, f.Detail FROM shelf_findings AS f "
    "JOIN music_shelf AS s ON s.ID = f.ID AND s.Filename = f.Filename COLLATE BINARY ORDER BY ";
}  // namespace

std::string problemsSql(std::string_view sortColumn, bool descending) {
  std::string first;
  if (sortColumn == "Problem" || sortColumn == "Detail") {
    first = "f." + std::string(sortColumn);
  } else {
    // Only a caption of the catalogue's own becomes SQL text.
    for (const char* column : kColumns)
      if (sortColumn == column) first = "s." + std::string(column);
  }
  if (!first.empty() && descending) first += " DESC";
  if (!first.empty()) first += ", ";
  // The findings of one file stand together, in the order the check gave them.
  return std::string(kProblemsStart) + first + "s.Filename COLLATE BINARY, s.ID, f.rowid";
}

bool isProblemsSql(std::string_view source) { return source.starts_with(kProblemsStart); }

bool isSelectQuery(std::string_view text) {
  constexpr std::string_view kSelect = "SELECT";
  if (text.size() < kSelect.size()) return false;
  for (std::size_t i = 0; i < kSelect.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != kSelect[i]) return false;
  return true;
}

SortStep nextSort(std::int16_t sortCol, bool idDescending, std::int16_t column) {
  if (column == 0) {
    // After another column, ID starts ascending; on ID itself each click flips.
    if (sortCol != 0) return {0, false, false};
    return {0, !idDescending, !idDescending};
  }
  const int last = sortCol < 0 ? -sortCol : sortCol;
  if (last != column || sortCol < 0) return {column, idDescending, false};
  return {static_cast<std::int16_t>(-column), idDescending, true};
}

double roundHalfEven(double x) {
  if (!std::isfinite(x)) return x;
  double whole = std::floor(x);
  const double fraction = x - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return whole;
}

std::int32_t toRecordId(const engine::Value& value) {
  if (value.isNull()) fail(kInvalidUseOfNull, "Invalid use of Null.");
  if (value.isInteger()) {
    const std::int64_t v = value.integer();
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max())
      fail(kOverflow, "Overflow.");
    return static_cast<std::int32_t>(v);
  }
  if (value.isReal()) return checkedId(roundHalfEven(value.real()));
  const auto number = parseNumber(value.text());
  if (!number) fail(kTypeMismatch, "Type mismatch.");
  return checkedId(roundHalfEven(*number));
}

}  // namespace catalog
