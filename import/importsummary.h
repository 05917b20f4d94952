#pragma once

#include <cstdint>
#include <string>

#include "folderimport.h"

namespace importer {

// A count with its thousands grouped by commas: 10000 gives "10,000".
std::string groupedNumber(std::int64_t value);

// What the status bar says while an import runs, for example
// "Importing: 4,120 songs, 1,830 files/s", or "Importing: 4,120 songs, waiting for another
// program to finish with the catalogue" while the catalogue is locked.
std::string progressText(const ImportCounts& counts, double seconds,
                         bool waitingForCatalogue = false);

// What the status bar says once an import is over, for example
// "Added 10,000 songs from /music in 1.2 s (3 files could not be read)" or
// "Import cancelled: 4,120 songs added". `failed` is for an import the catalogue stopped.
// `folder` is the chosen folder's bytes.
std::string summaryText(const ImportCounts& counts, const std::string& folder, double seconds,
                        ImportEnd end, bool failed = false);

// What the status bar says while a rescan runs, for example
// "Rescanning: 120 added, 9,866 unchanged".
std::string rescanProgressText(const ImportCounts& counts, bool waitingForCatalogue = false);

// What the status bar says while the user decides about rows whose files were not found: the
// walk is over but nothing is removed yet, for example "Rescan of /music: 120 added, 9,866
// unchanged; 14 songs no longer on disk, waiting for your answer". Rows below folders gone as a
// whole (`inGoneFolders`) are a part of their own: "…; 1 song no longer on disk, 30 songs below
// folders that are gone, waiting for your answer".
std::string rescanWaitingText(const ImportCounts& counts, const std::string& folder,
                              std::int64_t vanished, std::int64_t inGoneFolders = 0);

// What the status bar says once a rescan is over, for example
// "Rescan of /music: 120 added, 14 removed, 9,866 unchanged". `kept` counts rows no longer on
// disk that the user chose to keep, `keptInGoneFolders` those below folders gone as a whole,
// each in a part of its own. A cancelled or failed rescan removed nothing.
std::string rescanSummaryText(const ImportCounts& counts, const std::string& folder,
                              std::int64_t removed, std::int64_t kept, ImportEnd end,
                              bool failed = false, std::int64_t keptInGoneFolders = 0);

}  // namespace importer
