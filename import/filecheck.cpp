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
  return next.size() == 4 && sameMpegStream(header, bytes(next));
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
// `misread` tells whether TagLib would miss frames of the first tag.
long id3v2TagsEnd(TagLib::IOStream& stream, long offset, bool& misread) {
  const TagLib::ByteVector headerBytes = readAt(stream, offset, kTagHeaderBytes);
  const TagHeader header = parseTagHeader(bytes(headerBytes), headerBytes.size());
  misread = header.version >= 3 && (header.extended || header.footer);
  if (header.size > 0) {
    const TagLib::ByteVector body = readAt(stream, offset + static_cast<long>(kTagHeaderBytes), header.size);
    const Id3v2Frames frames = walkId3v2Frames(bytes(headerBytes), bytes(body), body.size(),
                                               kMaxTagEntries, Id3v2Reading::AsTagLib);
    if (frames.overLimit) return -1;
    misread = misread || frames.stoppedShort;
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

Id3v2Frames walkId3v2Frames(const unsigned char* header, const unsigned char* body,
                            std::size_t size, std::size_t limit, Id3v2Reading reading) {
  const TagHeader tag = parseTagHeader(header, kTagHeaderBytes);
  const bool asWritten = reading == Id3v2Reading::AsWritten;
  Id3v2Frames walk;
  // Up to version 2.3 a tag may be stored with a NUL after each 0xFF; TagLib takes them out of
  // the whole tag before it looks for frames.
  if (tag.unsynchronised && tag.version <= 3) {
    walk.decoded.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
      walk.decoded.push_back(body[i]);
      if (body[i] == 0xFF && i + 1 < size && body[i + 1] == 0) ++i;
    }
    body = walk.decoded.data();
    size = walk.decoded.size();
  }

  std::size_t position = 0;
  std::size_t end = size;
  if (!asWritten) {
    // TagLib 1.13 reads the extended header's size as syncsafe and counting itself in every
    // version, and takes a footer's bytes off the frames, although the tag's size leaves it out.
    if (tag.extended && size >= 4) {
      const std::uint32_t extendedSize = syncSafeOrPlain(body);
      if (extendedSize <= size) position = extendedSize;
    }
    if (tag.footer && end >= kTagHeaderBytes) end -= kTagHeaderBytes;
  } else if (tag.extended && size >= 4) {
    // Version 2.3 gives the extended header's size without its own four bytes, as a plain
    // number; version 2.4 syncsafe and counting them. Version 2.2 has none. Some writers give
    // a 2.3 tag's the 2.4 way: the size that a frame id follows is the one meant.
    std::uint64_t extendedSize = 0;
    if (tag.version == 3) {
      extendedSize = std::uint64_t{bigEndian(body, 4)} + 4;
      const auto frameAt = [&](std::uint64_t at) {
        return at + 4 <= size && (isFrameId(body + at, 4) ||
                                  (isFrameId(body + at, 3) && body[at + 3] == 0));
      };
      if (!frameAt(extendedSize) && frameAt(extendedSize - 4)) extendedSize -= 4;
    }
    if (tag.version >= 4) extendedSize = syncSafeOrPlain(body);
    if (extendedSize <= size) position = static_cast<std::size_t>(extendedSize);
  }

  const bool version2 = tag.version < 3;
  const std::size_t frameHeaderBytes = version2 ? 6 : 10;
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
    // TagLib lets a frame's data reach past the tag's end; one written so must fit.
    if (frameSize > (asWritten ? left - frameHeaderBytes : left)) break;
    // iTunes writes version 2.2 ids, padded with a NUL, into version 2.3 tags.
    const std::size_t idLength = version2 || (tag.version == 3 && frame[3] == 0) ? 3 : 4;
    if (!isFrameId(frame, idLength)) break;
    // TagLib stops at a frame too short to hold anything; one written so is passed over.
    const bool empty = frameSize <= (dataLengthIndicator ? 4u : 0u);
    if (empty && !asWritten) {
      walk.stoppedShort = true;
      break;
    }
    if (walk.offsets.size() == limit) {
      walk.overLimit = true;
      break;
    }
    walk.offsets.push_back(position);
    position += static_cast<std::size_t>(frameSize) + frameHeaderBytes;
  }
  walk.original = walk.decoded.empty() ? body : nullptr;
  walk.size = size;
  return walk;
}

std::size_t countId3v2Frames(const unsigned char* header, const unsigned char* body,
                             std::size_t size, std::size_t limit) {
  const Id3v2Frames walk = walkId3v2Frames(header, body, size, limit, Id3v2Reading::AsTagLib);
  return walk.offsets.size() + (walk.overLimit ? 1 : 0);
}

FileCheck checkForTagLib(TagLib::IOStream& stream) {
  FileCheck check;
  // TagLib reads the first ID3v2 tag that begins before the first audio frame.
  Hit first = search(stream, 0, true);
  check.startFound = first.what != Found::Nothing;
  if (first.what == Found::Tag) {
    const long tagsEnd = id3v2TagsEnd(stream, first.offset, check.id3v2Misread);
    if (tagsEnd < 0) return check;
    check.id3v2Offset = first.offset;
    first = search(stream, tagsEnd, false);
  }
  const EndTags end = endTags(stream);
  if (end.apeItems > kMaxTagEntries) return check;
  check.tagsFit = true;
  // Without counts in the first frame TagLib works the length out from the last frame.
  check.audioFound = first.what == Found::Audio &&
                     (hasStreamCounts(stream, first.offset) ||
                      lastFrameWithinReach(stream, end.audioEnd));
  return check;
}

}  // namespace importer
