#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/value.h"

// The SQL texts the main window sends to the catalogue, and the small rules that pick them.
// Pure functions: no engine connection, no Qt.
namespace catalog {

// The table every view lists.
inline constexpr const char* kTableName = "music_shelf";

// All rows with a title, in ID order.
std::string allRowsSql();
// The same rows as a read-only snapshot. The text ends in one space.
std::string snapshotSql();
// Rows whose artist and/or title contain the given texts, artist condition first. Apostrophes
// are doubled so the texts cannot end the quoted pattern early; the engine's pattern characters
// ("*", "?", "#", "[...]") still act. nullopt when both texts are empty: nothing is to be shown.
std::optional<std::string> searchSql(std::string_view title, std::string_view artist);
// All rows with a title, ordered by a grid column's caption.
std::string sortedSql(std::string_view caption, bool descending);
// Removes the rows with this ID.
std::string deleteSql(std::int32_t id);
// A placeholder row.
std::string addSql();
// Rows whose Filename names no existing regular file, by Filename then ID. Rows without a
// Filename (placeholders) are not missing anything and are left out.
std::string missingFilesSql();
// Rows whose Filename, byte for byte, another row also holds, by Filename then ID, so that
// the copies of one file stand together.
std::string duplicatesSql();
// Rows whose files hold the same audio as another row's file (by the audio identity the import
// keeps beside each row), one group after another in the order of each group's first path, then
// by Filename and ID within a group. Needs the companion table shelf_files.
std::string duplicateSongsSql();
// The problems the last Check Files found, one row per file and problem: the row's ID, Title,
// Artist and Filename, then Problem and Detail. Only findings about the file the row still
// names. By Filename, ID and Problem; `sortColumn`, a grid column's caption (one of the
// catalogue's or "Problem" or "Detail"), goes first when given. Needs the companion table
// shelf_findings.
std::string problemsSql(std::string_view sortColumn = {}, bool descending = false);
// Whether a view's source is one problemsSql() made.
bool isProblemsSql(std::string_view source);

// True when the console text is to be shown as a query: its first six characters, upper-cased,
// are "SELECT". Anything before the keyword (a blank, a line break, a parenthesis) makes the
// text a statement.
bool isSelectQuery(std::string_view text);

// The sort state the grid's heading clicks keep, and what one click does with it.
// `sortCol`: the column last sorted, negative when that sort was descending. Column 0 cannot
// carry a sign, so `idDescending` holds its direction; it starts false because the all-rows
// view is already in ID order, so the first click on column 0 sorts descending.
struct SortStep {
  std::int16_t sortCol = 0;
  bool idDescending = false;
  bool descending = false;  // the direction of the sort this click asks for
};
// Repeated clicks on one column alternate; a click on another column starts ascending.
SortStep nextSort(std::int16_t sortCol, bool idDescending, std::int16_t column);

// Error numbers for values that cannot be turned into a row ID, with Visual Basic's meaning.
inline constexpr int kOverflow = 6;         // "Overflow."
inline constexpr int kTypeMismatch = 13;    // "Type mismatch."
inline constexpr int kInvalidUseOfNull = 94;  // "Invalid use of Null."

// The value of an ID field as a 32-bit row ID: a whole number unchanged, a fraction rounded to
// the nearest integer with halves going to the even neighbour, a text that reads as a number
// converted the same way. Throws engine::EngineError: kInvalidUseOfNull for NULL,
// kTypeMismatch for a text that is not a number, kOverflow outside the 32-bit range.
std::int32_t toRecordId(const engine::Value& value);

// Rounds to the nearest integer, halves to the even neighbour, whatever the FPU's mode.
double roundHalfEven(double x);

}  // namespace catalog
