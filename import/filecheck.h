#pragma once

#include <cstddef>
#include <vector>

#include "mpegframes.h"

namespace TagLib {
class IOStream;
}

namespace importer {

// What a file may ask of TagLib before the import calls it unreadable instead of handing it
// over. TagLib keeps every ID3v2 frame and APE item of a tag in memory, some 45 bytes for each
// byte of a tag made of tiny ones (a tag of the largest size would take 11 GB), and it looks for
// the first audio frame byte by byte through whatever precedes it (a minute and a half for a
// gigabyte of zeros, with the window frozen meanwhile).
inline constexpr std::size_t kMaxTagEntries = 10000;    // ID3v2 frames, APE items
inline constexpr long kAudioSearchBytes = 1024 * 1024;  // where the first audio frame must begin
inline constexpr int kMaxStackedId3v2Tags = 100;        // tags right behind the first one
// What TagLib may read of a file in small pieces, as it does when it looks for frames, before the
// file counts as unreadable all the same: for a file that changed after checkForTagLib() looked at
// it, or a way of looking that it does not foresee.
inline constexpr long kMaxScanBytes = 8 * 1024 * 1024;

// The number of frames TagLib makes of an ID3v2 tag: `header` is the tag's ten header bytes,
// `body` the `size` bytes after them. Counts no further than one past `limit`.
std::size_t countId3v2Frames(const unsigned char* header, const unsigned char* body,
                             std::size_t size, std::size_t limit);

// How the frames of an ID3v2 tag are found: as TagLib 1.13 finds them, or as the tag was
// written. They differ where TagLib misreads a tag: it reads a version 2.3 extended header's
// size as 2.4 gives it, takes a 2.4 footer off the frames, and stops at an empty frame.
enum class Id3v2Reading { AsTagLib, AsWritten };

// The frames found in an ID3v2 tag's body, with unsynchronisation undone where the whole tag
// had it (version 2.3 and before).
struct Id3v2Frames {
  std::vector<std::size_t> offsets;  // where each frame begins in bytes()
  bool overLimit = false;            // more frames followed than the limit allowed
  bool stoppedShort = false;         // stopped at an empty frame that others follow
  std::size_t size = 0;              // of bytes()

  const unsigned char* bytes() const { return original ? original : decoded.data(); }

  const unsigned char* original = nullptr;  // the body as given, when nothing was undone
  std::vector<unsigned char> decoded;
};

// Walks the frames of the tag as `countId3v2Frames` does, in either reading, and finds at most
// `limit` of them.
Id3v2Frames walkId3v2Frames(const unsigned char* header, const unsigned char* body,
                            std::size_t size, std::size_t limit, Id3v2Reading reading);

// What TagLib may be left to read of the file in `stream`. Its tags, when the ID3v2 tag it
// finds has at most kMaxTagEntries frames, the APE tag can give no more items, and at most
// kMaxStackedId3v2Tags further ID3v2 tags follow the first. Its audio as well, when where TagLib
// looks for audio frames (after the tags, or from the start of a file without them; and
// backwards from the end when the first frame does not give the length) one begins within
// kAudioSearchBytes, confirmed by the next one right behind it. Looks for tags and frames the way
// TagLib 1.13 does.
struct FileCheck {
  bool tagsFit = false;     // TagLib may read the tags: none holds more entries than allowed
  bool audioFound = false;  // and may look for the audio: it finds the frames where it looks
  // An ID3v2 tag or an audio frame begins within kAudioSearchBytes, where TagLib's own look for
  // a tag ends (it goes on through the whole file otherwise).
  bool startFound = false;
  long id3v2Offset = -1;    // where the ID3v2 tag that TagLib reads begins; -1 without one
  bool id3v2Misread = false;  // TagLib 1.13 misses frames of it (see Id3v2Reading)
};
FileCheck checkForTagLib(TagLib::IOStream& stream);

}  // namespace importer
