#pragma once

#include <string>

#include "songinfo.h"

namespace importer {

// What the folder walk needs from the window that runs it.
class ImportHost {
 public:
  virtual ~ImportHost() = default;
  // Runs one statement on the window's current database handle, taken anew for every call.
  // Throws engine::EngineError; the walk stops there and lets it through.
  virtual void runStatement(const std::string& sql) = 0;
  // Lets the window process its pending events once.
  virtual void yield() = 0;
  // True once the window is closing: the walk ends at its next yield.
  virtual bool stopRequested() const = 0;
  // Fills `info` for one file; never throws.
  virtual void readMp3Info(const std::string& path, SongInfo& info) = 0;
};

// The statement that stores one file's row. Every quoted value has its apostrophes doubled and
// is cut at a NUL; text that is not valid UTF-8 (a file name's bytes, say) shows each invalid
// byte as U+FFFD.
std::string buildInsertStatement(const SongInfo& info, const std::string& path);

// Imports every MP3 file in `path` and every folder below it, one statement per file.
// `path` is the folder name's bytes. Throws engine::EngineError from runStatement.
void ScanFolder(const std::string& path, ImportHost& host);

}  // namespace importer
