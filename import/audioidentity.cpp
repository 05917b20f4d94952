#include "audioidentity.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

namespace importer {

namespace {

// More trailing tags than this in a row are no tags any tagger wrote.
constexpr int kMostTrailingTags = 8;

std::uint32_t littleEndian32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

// The bytes [offset, offset + length) of the stream; shorter at its end.
TagLib::ByteVector readAt(TagLib::IOStream& stream, long offset, long length) {
  stream.seek(offset);
  return stream.readBlock(static_cast<unsigned long>(length));
}

// The length of the trailing tag that ends at `end`, or 0 when none does.
long trailingTagBefore(TagLib::IOStream& stream, long end) {
  // An ID3v1 tag is 128 bytes that begin with "TAG".
  constexpr long kId3v1 = 128;
  // An APE tag's footer, the last 32 bytes of it, begins with "APETAGEX"; its size counts the
  // items and the footer, and a header of 32 bytes more when its flags say there is one.
  constexpr long kApeFooter = 32;
  // A Lyrics3 v2 tag ends with six digits of its size and "LYRICS200".
  constexpr long kLyricsEnd = 15;
  // An ID3v2 tag with a footer ends with "3DI" and the footer's ten bytes.
  constexpr long kId3v2Footer = 10;

  const long look = std::min<long>(end, kId3v1);
  if (look < kId3v2Footer) return 0;
  const TagLib::ByteVector tail = readAt(stream, end - look, look);
  if (static_cast<long>(tail.size()) != look) return 0;
  const char* last = tail.data() + look;  // one past the tag's last byte

  if (look == kId3v1 && std::memcmp(tail.data(), "TAG", 3) == 0) return kId3v1;
  if (look >= kApeFooter && std::memcmp(last - kApeFooter, "APETAGEX", 8) == 0) {
    const long size = littleEndian32(last - kApeFooter + 12);
    const bool header = (littleEndian32(last - kApeFooter + 20) & 0x80000000u) != 0;
    return size + (header ? kApeFooter : 0);
  }
  if (look >= kLyricsEnd && std::memcmp(last - 9, "LYRICS200", 9) == 0) {
    long size = 0;
    for (const char* digit = last - kLyricsEnd; digit < last - 9; ++digit) {
      if (*digit < '0' || *digit > '9') return 0;
      size = size * 10 + (*digit - '0');
    }
    return size + kLyricsEnd;
  }
  if (std::memcmp(last - kId3v2Footer, "3DI", 3) == 0) {
    long size = 0;
    for (const char* b = last - 4; b < last; ++b) {
      if (*b & 0x80) return 0;
      size = (size << 7) | *b;
    }
    return size + 2 * kId3v2Footer;
  }
  return 0;
}

}  // namespace

long audioEnd(TagLib::IOStream& stream, long first) {
  long end = stream.length();
  for (int tags = 0; tags < kMostTrailingTags && end > first; ++tags) {
    const long tag = trailingTagBefore(stream, end);
    // A size that reaches into the audio belongs to no real tag.
    if (tag <= 0 || tag > end - first) break;
    end -= tag;
  }
  return std::max(end, first);
}

std::optional<AudioIdentity> audioIdentity(TagLib::IOStream& stream, long first) {
  if (first < 0) return std::nullopt;
  const long end = audioEnd(stream, first);
  const long length = end - first;
  if (length <= 0) return std::nullopt;

  // The length, then the stretches: the whole audio when it is short.
  std::vector<char> input(sizeof(std::int64_t));
  const std::int64_t bytes = length;
  for (std::size_t i = 0; i < sizeof bytes; ++i)
    input[i] = static_cast<char>((static_cast<std::uint64_t>(bytes) >> (8 * i)) & 0xFF);
  const auto take = [&](long offset, long size) {
    const TagLib::ByteVector stretch = readAt(stream, offset, size);
    if (static_cast<long>(stretch.size()) != size) return false;
    input.insert(input.end(), stretch.data(), stretch.data() + stretch.size());
    return true;
  };
  constexpr long kStretch = kAudioIdentityStretch;
  const bool read = length <= 3 * kStretch
                        ? take(first, length)
                        : take(first, kStretch) && take(first + (length - kStretch) / 2, kStretch) &&
                              take(end - kStretch, kStretch);
  if (!read) return std::nullopt;
  return AudioIdentity{bytes, XXH3_64bits(input.data(), input.size())};
}

}  // namespace importer
