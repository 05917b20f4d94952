#pragma once

#include <exception>
#include <string>

#include "engine/engine.h"

namespace catalog {

// The fields every view lists, in the grid's column order.
inline constexpr const char* kColumns[] = {"ID",      "Title",   "Artist",   "Album",
                                           "Year",    "Genre",   "Track",    "Comment",
                                           "Filename", "Duration", "Bitrate", "VBR"};
inline constexpr int kColumnCount = 12;

// Checks that the open catalogue has the table music_shelf with every column above. Throws
// engine::EngineError naming the file when it has not.
void verifyCatalogue(engine::Database& db);

// Numbers for failures that do not come from the engine, with Visual Basic's meaning.
inline constexpr int kOutOfMemory = 7;
inline constexpr int kInternalError = 51;
inline constexpr int kFileNotFound = 53;
inline constexpr int kPathFileAccessError = 75;

// What the error display shows for a caught exception: the engine's number and description,
// or one of the numbers above.
struct ErrorInfo {
  int number;
  std::string description;
};
ErrorInfo describeError(const std::exception& e);

}  // namespace catalog
