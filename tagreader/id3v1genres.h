#pragma once

// The ID3v1 genre list: the genre byte of an ID3v1 tag names one of these. Plain C++, so that
// anything reading ID3v1 genres can share it.

namespace tagreader {

// Numbers 0 to 79 are the original list, 80 to 191 the extension that Winamp introduced and
// most tag software has adopted since.
inline constexpr int kId3v1GenreCount = 192;

// The name of genre `number`, or nullptr when the list has no entry for it (negative numbers,
// 192 to 254, and 255, which tag writers use for "no genre").
const char* id3v1GenreName(int number) noexcept;

}  // namespace tagreader
