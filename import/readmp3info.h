#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mp3info.h"
#include "songinfo.h"

namespace importer {

// Fills `info` for the MP3 file at `path` (the file name's bytes). Creates the component through
// `factory` on first use and keeps it in `objMp3Info`; while creation fails, every call tries
// again. Never throws: an unreadable file gives "Unknown" texts with bit rate 0, any failure of
// the component gives the same texts with bit rate -1, and nothing read before the failure stays.
void ReadMp3Info(const std::string& path, SongInfo& info, std::unique_ptr<Mp3Info>& objMp3Info,
                 const Mp3InfoFactory& factory);

// The same for the entry `name` of the folder open as `folderFd`, whose full path is `path`,
// and which the caller may already have open for reading as `open`: how the folder import reads files at any depth. With `identity`, also what the
// file's audio is, when the component read the file and tells it.
void ReadMp3Info(int folderFd, const std::string& name, const std::string& path, OpenFile open,
                 SongInfo& info, std::unique_ptr<Mp3Info>& objMp3Info,
                 const Mp3InfoFactory& factory,
                 std::optional<AudioIdentity>* identity = nullptr);

// The numeric value of a text as the track rule reads it: spaces, tabs and line feeds removed,
// then the longest leading number ("+"/"-", digits, "." and digits, an exponent E or D), or a
// hexadecimal ("&H") or octal ("&O") integer. 0 when there is none or it cannot be represented.
// Independent of the C library's locale.
double numericValue(std::string_view text);

// A number written the way the track rule stores it: integers as plain digits, fractions in
// plain form rounded to 15 significant digits without trailing zeros ("2.5", "0.00000015"), only
// values whose integer part needs more than 15 digits in exponent form ("1E+20"). Independent
// of the locale.
std::string numberText(double value);

// The genre with a leading run of ID3 genre references ("(17)", "(17)(RX)", "(2) ") removed and
// blanks trimmed; the text is otherwise kept, parentheses included ("Rock (Live)").
std::string stripGenreReferences(std::string_view genre);

}  // namespace importer
