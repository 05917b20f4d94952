#pragma once

#include <cstddef>

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
// file counts as unreadable all the same: for a file that changed after fitForTagLib() looked at
// it, or a way of looking that it does not foresee.
inline constexpr long kMaxScanBytes = 8 * 1024 * 1024;

// The length in bytes of the MPEG audio frame whose four header bytes start at `header`, or 0
// when they are no header that TagLib takes for the start of one: frame sync (but not 0xFFFF),
// MPEG version and layer not reserved, a bit rate (not free format) and a sample rate.
int mpegFrameLength(const unsigned char* header);

// The number of frames TagLib makes of an ID3v2 tag: `header` is the tag's ten header bytes,
// `body` the `size` bytes after them. Counts no further than one past `limit`.
std::size_t countId3v2Frames(const unsigned char* header, const unsigned char* body,
                             std::size_t size, std::size_t limit);

// Whether TagLib may be left to read the file in `stream`: the ID3v2 tag it finds has at most
// kMaxTagEntries frames, the APE tag can give no more items, at most kMaxStackedId3v2Tags further ID3v2
// tags follow the first, and where TagLib looks for audio frames (after the tags, or from the
// start of a file without them; and backwards from the end when the first frame does not give
// the length) one begins within kAudioSearchBytes, confirmed by the next one right behind it.
// Looks for tags and frames the way TagLib 1.13 does.
bool fitForTagLib(TagLib::IOStream& stream);

}  // namespace importer
