#include "filecheck.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

namespace importer {

namespace {

constexpr std::size_t kTagHeaderBytes = 10;
constexpr long kSearchChunk = 4096;

const unsigned char* bytes(const TagLib::ByteVector& v) {
  return reinterpret_cast<const unsigned char*>(v.data());
}

TagLib::ByteVector readAt(TagLib::IOStream& stream, long offset, unsigned long length) {
  stream.seek(offset);
  return stream.readBlock(length);
}

std::uint32_t bigEndian(const unsigned char* p, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | p[i];
  return value;
}

// A size that should be syncsafe, read as TagLib does: as a plain big-endian number when one of
// its bytes has the top bit set.
std::uint32_t syncSafeOrPlain(const unsigned char* p) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (p[i] & 0x80) return bigEndian(p, 4);
    value = (value << 7) | p[i];
  }
  return value;
}

bool isFrameId(const unsigned char* p, std::size_t length) {
  return std::all_of(p, p + length, [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

struct TagHeader {
  int version = 4;
  bool unsynchronised = false;
  bool extended = false;
  bool footer = false;
  std::uint32_t size = 0;  // bytes after the header, footer included

  long completeSize() const { return static_cast<long>(size) + 10 + (footer ? 10 : 0); }
};

// An ID3v2 tag header as TagLib reads it: too short, or with a size byte that has its top bit
// set, it counts as an empty tag.
TagHeader parseTagHeader(const unsigned char* data, std::size_t available) {
  TagHeader header;
  if (available < kTagHeaderBytes ||
      std::any_of(data + 6, data + 10, [](unsigned char b) { return (b & 0x80) != 0; }))
    return header;
  header.version = data[3];
  header.unsynchronised = (data[5] & 0x80) != 0;
  header.extended = (data[5] & 0x40) != 0;
  header.footer = (data[5] & 0x10) != 0;
  header.size = (std::uint32_t{data[6]} << 21) | (std::uint32_t{data[7]} << 14) |
                (std::uint32_t{data[8]} << 7) | data[9];
  return header;
}

// Whether an audio frame begins at `offset`, whose first four bytes are `header`. Like TagLib,
// wants the next frame's header right behind it, of the same MPEG version, layer and sample rate.
bool audioFrameAt(TagLib::IOStream& stream, long offset, const unsigned char* header) {
  const int length = mpegFrameLength(header);
  if (length == 0) return false;
  const TagLib::ByteVector next = readAt(stream, offset + length, 4);
  if (next.size() < 4) return false;
  constexpr std::uint32_t kSameStream = 0xFFFE0C00;
  return (bigEndian(header, 4) & kSameStream) == (bigEndian(bytes(next), 4) & kSameStream);
}

enum class Found { Nothing, Audio, Tag };

struct Hit {
  Found what = Found::Nothing;
  long offset = -1;
};

// The first audio frame beginning within kAudioSearchBytes from `from`; with `orTag`, an ID3v2
// tag if one begins before it.
Hit search(TagLib::IOStream& stream, long from, bool orTag) {
  const long end = std::min(stream.length(), from + kAudioSearchBytes);
  for (long chunkStart = from; chunkStart < end; chunkStart += kSearchChunk) {
    // Three bytes more, to see a header or a tag's "ID3" across the edge.
    const TagLib::ByteVector chunk = readAt(stream, chunkStart, kSearchChunk + 3);
    const unsigned char* data = bytes(chunk);
    const long available = static_cast<long>(chunk.size());
    const long count = std::min({kSearchChunk, end - chunkStart, available});
    for (long i = 0; i < count; ++i) {
      if (data[i] == 0xFF && i + 4 <= available && audioFrameAt(stream, chunkStart + i, data + i))
        return {Found::Audio, chunkStart + i};
      if (orTag && data[i] == 'I' && i + 3 <= available && std::memcmp(data + i, "ID3", 3) == 0)
        return {Found::Tag, chunkStart + i};
    }
  }
  return {};
}

// Where the ID3v2 tag at `offset` ends together with the tags right behind it, which TagLib
// takes for the first one's padding; -1 when the tag has too many frames or too many tags follow.
long id3v2TagsEnd(TagLib::IOStream& stream, long offset) {
  const TagLib::ByteVector headerBytes = readAt(stream, offset, kTagHeaderBytes);
  const TagHeader header = parseTagHeader(bytes(headerBytes), headerBytes.size());
  if (header.size > 0) {
    const TagLib::ByteVector body = readAt(stream, offset + static_cast<long>(kTagHeaderBytes), header.size);
    if (countId3v2Frames(bytes(headerBytes), bytes(body), body.size(), kMaxTagEntries) >
        kMaxTagEntries)
      return -1;
  }
  long end = offset + header.completeSize();
  for (int stacked = 0;; ++stacked) {
    const TagLib::ByteVector next = readAt(stream, end, kTagHeaderBytes);
    if (next.size() < kTagHeaderBytes || !next.startsWith("ID3")) return end;
    if (stacked == kMaxStackedId3v2Tags) return -1;
    end += parseTagHeader(bytes(next), next.size()).completeSize();
  }
}

// Whether TagLib, looking backwards from `start` for the last audio frame (one that begins at
// least two bytes before `start`), comes to one or to the start of the file within
// kAudioSearchBytes.
bool lastFrameWithinReach(TagLib::IOStream& stream, long start) {
  if (start <= kAudioSearchBytes) return true;
  const long lowest = start - kAudioSearchBytes;
  for (long chunkEnd = start - 1; chunkEnd > lowest; chunkEnd -= kSearchChunk) {
    const long chunkStart = std::max(lowest, chunkEnd - kSearchChunk);
    const TagLib::ByteVector chunk =
        readAt(stream, chunkStart, static_cast<unsigned long>(chunkEnd - chunkStart + 3));
    const unsigned char* data = bytes(chunk);
    const long available = static_cast<long>(chunk.size());
    for (long i = std::min(chunkEnd - chunkStart, available) - 1; i >= 0; --i) {
      if (data[i] == 0xFF && i + 4 <= available && audioFrameAt(stream, chunkStart + i, data + i))
        return true;
    }
  }
  return false;
}

// Whether the first audio frame, at `offset`, holds a Xing, Info or VBRI header that TagLib takes
// the length from: one with a frame and a byte count.
bool hasStreamCounts(TagLib::IOStream& stream, long offset) {
  const TagLib::ByteVector header = readAt(stream, offset, 4);
  if (header.size() < 4) return false;
  const TagLib::ByteVector frame =
      readAt(stream, offset, static_cast<unsigned long>(mpegFrameLength(bytes(header))));
  int at = frame.find("Xing");
  if (at < 0) at = frame.find("Info");
  const auto size = static_cast<long>(frame.size());
  if (at >= 0) {
    return size >= at + 16 && (frame[at + 7] & 0x03) == 0x03 &&
           frame.toUInt(static_cast<unsigned>(at) + 8, true) > 0 &&
           frame.toUInt(static_cast<unsigned>(at) + 12, true) > 0;
  }
  at = frame.find("VBRI");
  return at >= 0 && size >= at + 32 && frame.toUInt(static_cast<unsigned>(at) + 14, true) > 0 &&
         frame.toUInt(static_cast<unsigned>(at) + 10, true) > 0;
}

struct EndTags {
  long audioEnd = 0;  // where TagLib starts looking backwards for the last frame
  std::uint32_t apeItems = 0;  // at most, that TagLib makes of the APE tag
};

// The tags at the end of the file as TagLib finds them: an ID3v1 tag in the last 128 bytes
// (unless its "TAG" belongs to an APE tag's "APETAGEX"), an APE tag ending before it.
EndTags endTags(TagLib::IOStream& stream) {
  const long length = stream.length();
  long id3v1 = -1;
  if (length >= 131) {
    const TagLib::ByteVector probe = readAt(stream, length - 131, 8);
    if (probe.containsAt("TAG", 3) && probe != "APETAGEX") id3v1 = length - 128;
  } else if (length >= 128 && readAt(stream, length - 128, 3) == "TAG") {
    id3v1 = length - 128;
  }
  EndTags tags;
  tags.audioEnd = id3v1 >= 0 ? id3v1 - 1 : length;
  const long footerAt = (id3v1 >= 0 ? id3v1 : length) - 32;
  if (footerAt < 0) return tags;
  const TagLib::ByteVector footer = readAt(stream, footerAt, 32);
  if (footer.size() < 32 || !footer.startsWith("APETAGEX")) return tags;
  // TagLib reads the items before the footer, as many as the footer says, each at least nine
  // bytes long, when their size fits the file.
  const std::uint32_t itemsAndFooter = footer.toUInt(12, false);
  if (itemsAndFooter > 32 && itemsAndFooter <= static_cast<std::uint64_t>(length))
    tags.apeItems = std::min(footer.toUInt(16, false), (itemsAndFooter - 32) / 9 + 1);
  // Where the tag begins, a header of the footer's size included; 32 bits wide, as TagLib adds.
  const std::uint32_t apeSize =
      itemsAndFooter + ((footer.toUInt(20, false) & 0x80000000u) ? 32u : 0u);
  const long ape = footerAt + 32 - static_cast<long>(apeSize);
  if (ape >= 0) tags.audioEnd = ape - 1;
  return tags;
}

}  // namespace

int mpegFrameLength(const unsigned char* header) {
  if (header[0] != 0xFF || (header[1] & 0xE0) != 0xE0 || header[1] == 0xFF) return 0;
  const int version = (header[1] >> 3) & 0x03;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5, 1: reserved
  const int layer = (header[1] >> 1) & 0x03;  // 3: Layer I, 2: Layer II, 1: Layer III, 0: reserved
  const int bitrateIndex = header[2] >> 4;    // 0: free format, 15: reserved
  const int sampleRateIndex = (header[2] >> 2) & 0x03;  // 3: reserved
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || sampleRateIndex == 3)
    return 0;

  // kbit/s by MPEG-1 or not, then Layer I, II, III.
  static constexpr int kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static constexpr int kMpeg1SampleRates[3] = {44100, 48000, 32000};

  const bool mpeg1 = version == 3;
  const int layerIndex = 3 - layer;  // 0: Layer I
  const int bitrate = kBitrates[mpeg1 ? 0 : 1][layerIndex][bitrateIndex];
  const int sampleRate = kMpeg1SampleRates[sampleRateIndex] / (mpeg1 ? 1 : version == 2 ? 2 : 4);
  const int samples = layerIndex == 0 ? 384 : layerIndex == 1 || mpeg1 ? 1152 : 576;
  const bool padded = (header[2] & 0x02) != 0;
  // TagLib's arithmetic, so that the next header is looked for where TagLib looks.
  return samples * bitrate * 125 / sampleRate + (padded ? (layerIndex == 0 ? 4 : 1) : 0);
}

std::size_t countId3v2Frames(const unsigned char* header, const unsigned char* body,
                             std::size_t size, std::size_t limit) {
  const TagHeader tag = parseTagHeader(header, kTagHeaderBytes);
  // Up to version 2.3 a tag may be stored with a NUL after each 0xFF; TagLib takes them out of
  // the whole tag before it looks for frames.
  std::vector<unsigned char> decoded;
  if (tag.unsynchronised && tag.version <= 3) {
    decoded.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
      decoded.push_back(body[i]);
      if (body[i] == 0xFF && i + 1 < size && body[i + 1] == 0) ++i;
    }
    body = decoded.data();
    size = decoded.size();
  }

  std::size_t position = 0;
  if (tag.extended && size >= 4) {
    const std::uint32_t extendedSize = syncSafeOrPlain(body);  // so TagLib reads it, any version
    if (extendedSize <= size) position = extendedSize;
  }
  std::size_t end = size;
  if (tag.footer && end >= kTagHeaderBytes) end -= kTagHeaderBytes;

  const bool version2 = tag.version < 3;
  const std::size_t frameHeaderBytes = version2 ? 6 : 10;
  std::size_t frames = 0;
  // TagLib goes on while more than a frame header's bytes remain before the end (any position,
  // by an unsigned wrap, when the whole tag is shorter than that).
  while (position < size && (end < frameHeaderBytes || position < end - frameHeaderBytes)) {
    const unsigned char* frame = body + position;
    const std::size_t left = size - position;
    if (frame[0] == 0 || left < frameHeaderBytes) break;  // padding, or no room for a frame

    std::uint64_t frameSize = 0;
    bool dataLengthIndicator = false;
    if (version2) {
      frameSize = bigEndian(frame + 3, 3);
    } else if (tag.version == 3) {
      frameSize = bigEndian(frame + 4, 4);
    } else {
      frameSize = syncSafeOrPlain(frame + 4);
      // iTunes writes plain sizes into version 2.4 tags: when the syncsafe size leads to no
      // frame id and the plain one does, TagLib takes the plain one.
      auto idAt = [&](std::uint64_t offset) {
        return offset + 4 <= left && isFrameId(frame + offset, 4);
      };
      if (frameSize > 127 && !idAt(frameSize + 10)) {
        const std::uint32_t plain = bigEndian(frame + 4, 4);
        if (idAt(std::uint64_t{plain} + 10)) frameSize = plain;
      }
      dataLengthIndicator = (frame[9] & 0x01) != 0;
    }
    if (frameSize <= (dataLengthIndicator ? 4u : 0u) || frameSize > left) break;
    // iTunes writes version 2.2 ids, padded with a NUL, into version 2.3 tags.
    const std::size_t idLength = version2 || (tag.version == 3 && frame[3] == 0) ? 3 : 4;
    if (!isFrameId(frame, idLength)) break;
    if (++frames > limit) break;
    position += static_cast<std::size_t>(frameSize) + frameHeaderBytes;
  }
  return frames;
}

bool fitForTagLib(TagLib::IOStream& stream) {
  // TagLib reads the first ID3v2 tag that begins before the first audio frame.
  Hit first = search(stream, 0, true);
  if (first.what == Found::Tag) {
    const long tagsEnd = id3v2TagsEnd(stream, first.offset);
    if (tagsEnd < 0) return false;
    first = search(stream, tagsEnd, false);
  }
  if (first.what != Found::Audio) return false;
  const EndTags end = endTags(stream);
  if (end.apeItems > kMaxTagEntries) return false;
  // Without counts in the first frame TagLib works the length out from the last frame.
  return hasStreamCounts(stream, first.offset) || lastFrameWithinReach(stream, end.audioEnd);
}

}  // namespace importer
