#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>

namespace engine {

// Text as the filter compares it: lower case, accents dropped ("Café", "CAFÉ" and "Cafe" with a
// combining accent all become "cafe"), and the Latin letters that are two letters in English
// spelt so (ß and ẞ "ss", æ "ae", œ "oe"; ø "o", ł "l", đ "d"), and a final sigma ς as σ.
// Covers Latin-1 and Latin Extended-A and the common letters of Extended-B; other scripts only
// lose their combining marks and take foldCase(). Bytes that are not UTF-8 become U+FFFD, and so do U+0000, U+FFFE and U+FFFF,
// which FTS5 cannot index as themselves.
std::string foldForSearch(std::string_view utf8);
// Goes up with every change to what foldForSearch() returns: an index folded otherwise would
// miss rows or find too many. catalog/search.sql stores it with the index.
inline constexpr int kSearchFoldVersion = 3;
// The same into `out`, whose storage is reused.
void foldForSearch(std::string_view utf8, std::string& out);

// Registers on a connection, for the filter:
//   search_fold(text)          the text folded as above; NULL for NULL.
//   search_has(needle, a, ...) 1 when `needle`, folded already, is part of one of the other
//                              arguments folded; 0 otherwise (NULL arguments hold nothing).
//   search_hits(match)         a table of the rows the filter must look at, in ascending ID:
//                              (id, queued). The rows of shelf_search that the FTS5 query
//                              `match` finds, and every row waiting in shelf_search_queue or
//                              above the watermark in shelf_search_state (queued = 1), whose
//                              entries in shelf_search are not to be trusted: the filter checks
//                              those rows itself. All are read as they go, so the first rows
//                              come before the last are found.
// The functions are deterministic and harmless and may stand in a view; search_hits reads
// tables by fixed names and is for the program's own statements only.
int registerSearchFunctions(sqlite3* db);

}  // namespace engine
