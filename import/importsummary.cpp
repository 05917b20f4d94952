#include "importsummary.h"

#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

#include "engine/utf8.h"

namespace importer {

ImportCounts& ImportCounts::operator+=(const ImportCounts& more) {
  songsAdded += more.songsAdded;
  songsUnchanged += more.songsUnchanged;
  songsMoved += more.songsMoved;
  songsUpdated += more.songsUpdated;
  editsKept += more.editsKept;
  filesUnreadable += more.filesUnreadable;
  foldersUnreadable += more.foldersUnreadable;
  specialFiles += more.specialFiles;
  entriesMissing += more.entriesMissing;
  entriesUnreadable += more.entriesUnreadable;
  filesCut += more.filesCut;
  if (firstFileCut.empty()) firstFileCut = more.firstFileCut;
  return *this;
}

namespace {

// "1 song" or "2 songs".
std::string counted(std::int64_t n, std::string_view one, std::string_view many) {
  return groupedNumber(n) + " " + std::string(n == 1 ? one : many);
}

std::string secondsText(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f s", seconds);
  return buffer;
}

// What was passed over, in brackets; empty when nothing was.
std::string passedOver(const ImportCounts& counts) {
  std::vector<std::string> notes;
  const auto note = [&](std::int64_t n, std::string_view one, std::string_view many) {
    if (n > 0) notes.push_back(counted(n, one, many));
  };
  note(counts.filesUnreadable, "file could not be read", "files could not be read");
  note(counts.foldersUnreadable, "folder could not be read", "folders could not be read");
  note(counts.specialFiles, "special file was skipped", "special files were skipped");
  note(counts.entriesMissing, "entry had vanished or was a broken link",
       "entries had vanished or were broken links");
  note(counts.entriesUnreadable, "entry could not be examined", "entries could not be examined");
  if (notes.empty()) return {};
  std::string text = " (";
  for (std::size_t i = 0; i < notes.size(); ++i) {
    if (i > 0) text += ", ";
    text += notes[i];
  }
  return text + ")";
}

// The files stored with a value cut, naming the first; empty when there were none.
std::string valuesCut(const ImportCounts& counts) {
  if (counts.filesCut <= 0) return {};
  const std::string first = engine::validUtf8(counts.firstFileCut);
  if (counts.filesCut == 1) return ", 1 song stored with a value cut short (" + first + ")";
  return ", " + groupedNumber(counts.filesCut) + " songs stored with a value cut short (first: " +
         first + ")";
}

}  // namespace

std::string groupedNumber(std::int64_t value) {
  const std::uint64_t magnitude =
      value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  const std::string digits = std::to_string(magnitude);
  std::string out = value < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string progressText(const ImportCounts& counts, double seconds, bool waitingForCatalogue) {
  std::string text = "Importing: " + counted(counts.songsAdded, "song", "songs");
  if (waitingForCatalogue) return text + ", waiting for another program to finish with the catalogue";
  if (seconds > 0)
    text += ", " + groupedNumber(std::llround(static_cast<double>(counts.songsAdded) / seconds)) +
            " files/s";
  return text;
}

std::string summaryText(const ImportCounts& counts, const std::string& folder, double seconds,
                        ImportEnd end, bool failed) {
  const std::string added = counted(counts.songsAdded, "song", "songs") + " added";
  if (failed)
    return "Import stopped by an error: " + added + valuesCut(counts) + passedOver(counts);
  if (end == ImportEnd::Stopped)
    return "Import cancelled: " + added + valuesCut(counts) + passedOver(counts);
  return "Added " + counted(counts.songsAdded, "song", "songs") + " from " +
         engine::validUtf8(folder) + " in " + secondsText(seconds) + valuesCut(counts) +
         passedOver(counts);
}

namespace {

// "3 added, 2 moved, 4 updated": moved and updated only where something was.
std::string addedMovedUpdated(const ImportCounts& counts) {
  std::string text = groupedNumber(counts.songsAdded) + " added";
  if (counts.songsMoved > 0) text += ", " + groupedNumber(counts.songsMoved) + " moved";
  if (counts.songsUpdated > 0) text += ", " + groupedNumber(counts.songsUpdated) + " updated";
  return text;
}

std::string editsKept(const ImportCounts& counts) {
  if (counts.editsKept <= 0) return {};
  return ", " + groupedNumber(counts.editsKept) + " of your edits kept";
}

}  // namespace

std::string rescanProgressText(const ImportCounts& counts, bool waitingForCatalogue) {
  std::string text = "Rescanning: " + addedMovedUpdated(counts) + ", " +
                     groupedNumber(counts.songsUnchanged) + " unchanged";
  if (waitingForCatalogue) text += ", waiting for another program to finish with the catalogue";
  return text;
}

namespace {

// Songs below folders gone as a whole are counted apart from those no longer on disk: they may
// be on a disk that is not plugged in.
std::string inGoneFoldersText(std::int64_t songs) {
  return counted(songs, "song below a folder that is gone", "songs below folders that are gone");
}

}  // namespace

std::string rescanWaitingText(const ImportCounts& counts, const std::string& folder,
                              std::int64_t vanished, std::int64_t inGoneFolders) {
  std::string text = "Rescan of " + engine::validUtf8(folder) + ": " + addedMovedUpdated(counts) +
                     ", " + groupedNumber(counts.songsUnchanged) + " unchanged" +
                     valuesCut(counts) + "; ";
  if (vanished > 0 || inGoneFolders == 0)
    text += counted(vanished, "song", "songs") + " no longer on disk, ";
  if (inGoneFolders > 0) text += inGoneFoldersText(inGoneFolders) + ", ";
  return text + "waiting for your answer";
}

std::string rescanSummaryText(const ImportCounts& counts, const std::string& folder,
                              std::int64_t removed, std::int64_t kept, ImportEnd end,
                              bool failed, std::int64_t keptInGoneFolders) {
  const std::string name = engine::validUtf8(folder);
  const std::string added = addedMovedUpdated(counts);
  const std::string unchanged = groupedNumber(counts.songsUnchanged) + " unchanged";
  if (failed)
    return "Rescan of " + name + " stopped by an error: " + added + ", " +
           groupedNumber(removed) + " removed, " + unchanged + editsKept(counts) +
           valuesCut(counts) + passedOver(counts);
  if (end == ImportEnd::Stopped)
    return "Rescan of " + name + " cancelled: " + added + ", " + unchanged + editsKept(counts) +
           valuesCut(counts) + passedOver(counts);
  std::string text = "Rescan of " + name + ": " + added + ", " + groupedNumber(removed) +
                     " removed, " + unchanged;
  if (kept > 0)
    text += ", " + counted(kept, "song", "songs") + " no longer on disk kept";
  if (keptInGoneFolders > 0) text += ", " + inGoneFoldersText(keptInGoneFolders) + " kept";
  return text + editsKept(counts) + valuesCut(counts) + passedOver(counts);
}

}  // namespace importer
