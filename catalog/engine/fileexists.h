#pragma once

#include <sqlite3.h>

#include <string_view>

namespace engine {

// Whether `path`, as the catalogue stores file names, names an existing regular file (links
// followed). Looks with stat(), never opens a file. A stored name whose raw bytes were not
// UTF-8 holds U+FFFD where they stood; such a path is matched against the names its folders
// list, converted the same way.
bool fileExists(std::string_view path);

// Registers file_exists(path) on a connection: 1 for an existing regular file, 0 otherwise,
// NULL for NULL. The answer depends on the disk, and telling what exists on it is not for
// whoever wrote a catalogue's schema: the function works in statements, never in views,
// triggers or indexes.
int registerFileExists(sqlite3* db);

}  // namespace engine
