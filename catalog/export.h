#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"

// Writing the rows of a view to a file: a table for a spreadsheet, or a playlist for a player.
// No Qt here; the window asks for the file and shows the errors.
namespace catalog {

enum class ExportFormat { Csv, M3u8 };

// The save dialog's filters, in the order it offers them.
inline constexpr const char* kCsvFilter = "CSV (*.csv)";
inline constexpr const char* kM3u8Filter = "M3U8 playlist (*.m3u8)";

// The format for the name the save dialog returned: its extension when it is one of ".csv",
// ".m3u8" and ".m3u" (in any letter case), otherwise the filter chosen in the dialog, and CSV
// when neither tells.
ExportFormat exportFormatFor(std::string_view fileName, std::string_view selectedFilter = {});

// The name with the format's extension (".csv" or ".m3u8") added when its last part has no
// extension at all; otherwise the name as it is.
std::string withExportExtension(std::string_view fileName, ExportFormat format);

// Writes every row of `view` to the file at `path`, replacing any file there, and returns the
// number of rows written (of entries, for a playlist). `database` is the handle that opened the
// view: the view's query runs again on it and its rows go to the file as they come, never all
// held at once, so the file has every row of the view however few of them the grid has read.
// A snapshot is a copy taken when it opened, and writes the rows it holds instead.
//
// CSV (RFC 4180): a line with the view's column names, then one line per row; fields are
// separated by commas and lines end in CRLF. A field that holds a comma, a quote, CR or LF is
// put between quotes, its quotes doubled. NULL is an empty field and an empty text is "", so
// the two stay apart; numbers are SQLite's text of them. UTF-8 without a byte-order mark (a
// byte that starts no valid sequence, which only a BLOB can hold, becomes U+FFFD).
//
// M3U8: "#EXTM3U", then for each row "#EXTINF:Duration,Artist - Title" and the row's Filename
// on the next line; lines end in LF. The columns are found by name in any letter case.
// Duration is whole seconds, -1 (unknown) when the view has no such column or the row holds no
// number there; with only one of Artist and Title that one stands alone, and line breaks in them
// become spaces. A row is left out when its Filename is NULL or empty, or when a player could
// not read it back as the one path it is: it holds a line break, starts with "#" (a player
// takes the line for a comment) or is not valid UTF-8.
//
// The rows go to a hidden file beside the target, which takes the target's place only once
// every row is written and on the disk. A failure leaves the file that was there, if any,
// untouched and nothing else behind. A new file gets the usual permissions; a replaced one
// keeps its own.
//
// Throws engine::EngineError: kItemNotFound for a playlist of a view without a Filename column,
// before any file is made; kExportFailed when the file cannot be made, written or put in place,
// or when the view's columns changed since it was opened; the query's own error (SQLite's code,
// the engine's time limit) when running it again fails. Each description names the path.
std::int64_t exportView(engine::Database& database, engine::Recordset& view, ExportFormat format,
                        const std::string& path);

}  // namespace catalog
