#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>

namespace engine {

// What is at a path as the catalogue stores file names. Looked up with stat(), never by
// opening a file. A stored name whose raw bytes were not UTF-8 holds U+FFFD where they stood;
// such a path is matched against the names its folders list, converted the same way.
enum class PathState {
  RegularFile,  // a regular file, links followed
  Other,        // something else: a folder, a pipe, a device
  Absent,       // nothing: the path, or a folder on the way, does not exist
  Unknown,      // it cannot be told: no permission on the way, an I/O error, time ran out
};
// `stop`, when given, is asked while folders are listed and ends the look-up as Unknown.
using StopCheck = bool (*)(void* context);
PathState lookUpStoredPath(std::string_view path, StopCheck stop = nullptr,
                           void* context = nullptr);

// The path, as its raw bytes, of the regular file a stored path names; nullopt when it names
// none. The same as the stored path unless a name on the way was not UTF-8.
std::optional<std::string> realPathOf(std::string_view path);

// Whether `path` names an existing regular file. Only absolute paths name anything.
bool fileExists(std::string_view path);

// Registers file_exists(path) on a connection: 1 for an existing regular file, 0 otherwise,
// NULL for NULL. The answer depends on the disk, and telling what exists on it is not for
// whoever wrote a catalogue's schema: the function works in statements, never in views,
// triggers or indexes. `stop` ends long look-ups (folder listings) as 0.
int registerFileExists(sqlite3* db, StopCheck stop, void* context);

}  // namespace engine
