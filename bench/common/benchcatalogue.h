#pragma once

#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace bench {

// Makes a catalogue of `rows` rows that look like an imported music folder (varied titles,
// 2,000 artists, 20,000 albums, long paths), from the program's schema, so with its indexes
// unless `withIndexes` is false (a catalogue made before there were any). False on failure.
bool makeCatalogue(const std::string& path, int rows, bool withIndexes = true);

// Drops every index the schema made, as on a catalogue an older quollsong-mkdb made. False on
// failure.
bool dropIndexes(const std::string& path);

// Drops the filter's index, its queue and the triggers that fill it, as on a catalogue made before
// there was a filter. False on failure.
bool dropSearchIndex(const std::string& path);

// SQLite alone, as the floor for the engine and the window: a plain connection runs `sql` and
// reads every field of the first `firstRows` rows, then of every row. Milliseconds to each.
struct Floor {
  double firstMs = 0;
  double allMs = 0;
  long long rows = 0;
};
Floor sqliteAlone(const std::string& path, const std::string& sql, int firstRows = 300);

// SQLite alone to a first screen: a plain read-only connection, set up by `setup` (to register
// functions the query needs) when given, prepares `sql` and reads every field of its first
// `rows` rows, or of all of them when there are fewer. Milliseconds, from the prepare on; -1 when
// the query fails.
double sqliteFirstScreen(const std::string& path, const std::string& sql, int rows,
                         void (*setup)(sqlite3*) = nullptr);

double median(std::vector<double> values);

// Takes "--name VALUE" out of a program's arguments: nothing when it is absent, "" when VALUE
// is missing.
std::optional<std::string> takeOption(std::vector<std::string>& args, const std::string& name);

// The names in a comma list such as --rows "floor,import": every piece, empty ones included
// (",," or a trailing comma), so that each benchmark refuses those as names it does not know.
std::vector<std::string> splitList(const std::string& list);

// `text` as one word of a shell command: in single quotes, each single quote written as '\''.
std::string shellQuoted(const std::string& text);

// Makes `mp3`, when it is not there yet, as `seconds` of stereo pink noise that sox synthesises
// and lame encodes at 320 kbit/s: sound up to the top of the band, as the re-encode analysis
// reads a true 320k file. False, saying why on standard error, when sox or lame failed.
bool encodePinkNoise(const std::string& mp3, int seconds);

// Asks the system to drop the files' pages from its cache, so that the next read of them comes
// from the disk (a cold pass). Files that cannot be opened are passed over.
void evictFromCache(const std::vector<std::string>& paths);

}  // namespace bench
