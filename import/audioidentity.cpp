#include "audioidentity.h"

#define XXH_STATIC_LINKING_ONLY  // for a state on the stack
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "readonlystream.h"

namespace importer {

namespace {

// More trailing tags than this in a row are no tags any tagger wrote.
constexpr int kMostTrailingTags = 8;

std::uint32_t littleEndian32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

// The length of the trailing tag that ends at `end`, or 0 when none does.
long trailingTagBefore(ReadOnlyStream& stream, long end) {
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
  char tail[kId3v1];
  if (look < kId3v2Footer || !stream.copy(end - look, look, tail)) return 0;
  const char* last = tail + look;  // one past the tag's last byte

  if (look == kId3v1 && std::memcmp(tail, "TAG", 3) == 0) return kId3v1;
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

long audioEnd(ReadOnlyStream& stream, long first) {
  long end = stream.length();
  for (int tags = 0; tags < kMostTrailingTags && end > first; ++tags) {
    const long tag = trailingTagBefore(stream, end);
    // A size that reaches into the audio belongs to no real tag.
    if (tag <= 0 || tag > end - first) break;
    end -= tag;
  }
  return std::max(end, first);
}

std::optional<AudioIdentity> audioIdentity(ReadOnlyStream& stream, long first) {
  if (first < 0) return std::nullopt;
  const long end = audioEnd(stream, first);
  const long length = end - first;
  if (length <= 0) return std::nullopt;

  // The length, then the stretches: the whole audio when it is short.
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  unsigned char bytes[sizeof(std::int64_t)];
  for (std::size_t i = 0; i < sizeof bytes; ++i)
    bytes[i] = static_cast<unsigned char>((static_cast<std::uint64_t>(length) >> (8 * i)) & 0xFF);
  XXH3_64bits_update(&state, bytes, sizeof bytes);
  constexpr long kStretch = kAudioIdentityStretch;
  char stretch[kStretch];
  const auto take = [&](long offset, long size) {
    for (long done = 0; done < size; done += kStretch) {
      const long part = std::min(kStretch, size - done);
      if (!stream.copy(offset + done, part, stretch)) return false;
      XXH3_64bits_update(&state, stretch, static_cast<std::size_t>(part));
    }
    return true;
  };
  const bool read = length <= 3 * kStretch
                        ? take(first, length)
                        : take(first, kStretch) && take(first + (length - kStretch) / 2, kStretch) &&
                              take(end - kStretch, kStretch);
  if (!read) return std::nullopt;
  return AudioIdentity{length, XXH3_64bits_digest(&state)};
}

}  // namespace importer
