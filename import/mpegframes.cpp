#include "mpegframes.h"

#include <algorithm>
#include <cstring>

#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

namespace importer {

namespace {

// A sampled stretch: a dozen frames at the highest rates, many more at the usual ones.
constexpr long kStretchBytes = 8 * 1024;
// Stretches besides the one at the start, spread evenly up to the end.
constexpr int kStretches = 5;
// How far past bytes that are no frame (a stray tag, damage) the next frames are looked for.
constexpr long kResyncBytes = 16 * 1024;
// Reads when every frame is counted: larger than the reads the stream counts as a search.
constexpr long kCountBlockBytes = 256 * 1024;

// The bytes of a stream up to `end`, read a block at a time as the looks move on.
class StreamWindow {
 public:
  StreamWindow(TagLib::IOStream& stream, long end, long blockBytes)
      : m_stream(stream), m_end(end), m_blockBytes(blockBytes) {}

  // The `count` bytes at `offset`, or null when they reach past the end. Valid until the
  // next call.
  const unsigned char* at(long offset, long count) {
    if (offset < 0 || offset + count > m_end) return nullptr;
    if (offset < m_start || offset + count > m_start + static_cast<long>(m_data.size())) {
      m_stream.seek(offset);
      m_data = m_stream.readBlock(
          static_cast<unsigned long>(std::min(std::max(count, m_blockBytes), m_end - offset)));
      m_start = offset;
      if (static_cast<long>(m_data.size()) < count) return nullptr;
    }
    return reinterpret_cast<const unsigned char*>(m_data.data()) + (offset - m_start);
  }

 private:
  TagLib::IOStream& m_stream;
  const long m_end;
  const long m_blockBytes;
  long m_start = -1;
  TagLib::ByteVector m_data;
};

using HeaderBytes = unsigned char[4];

// The header of a frame of the reference's stream at `offset`; its length is 0 when none is.
MpegHeader frameAt(StreamWindow& window, long offset, const HeaderBytes& reference) {
  const unsigned char* header = window.at(offset, 4);
  if (!header || !sameMpegStream(header, reference)) return {};
  return mpegHeader(header);
}

// Where, from `from` on and beginning before `limit`, a frame of the reference's stream begins
// with the next one right behind it (or the audio's end); -1 when nowhere.
long nextFrame(StreamWindow& window, long from, long limit, const HeaderBytes& reference,
               long end) {
  limit = std::min(limit, end - 4);
  for (long offset = from; offset <= limit; ++offset) {
    const unsigned char* byte = window.at(offset, 1);
    if (!byte) return -1;
    if (*byte != 0xFF) continue;
    const MpegHeader here = frameAt(window, offset, reference);
    if (here.length == 0) continue;
    // Confirmed by the next frame, or ending just where the audio ends.
    const long next = offset + here.length;
    if (next == end || (next < end && frameAt(window, next, reference).length)) return offset;
  }
  return -1;
}

// Whether two frames of a stream other than the reference's follow each other at `offset`.
bool otherStreamAt(StreamWindow& window, long offset, const HeaderBytes& reference, long end) {
  const unsigned char* header = window.at(offset, 4);
  if (!header || sameMpegStream(header, reference)) return false;
  HeaderBytes other;
  std::memcpy(other, header, 4);
  const int length = mpegFrameLength(other);
  return length > 0 && offset + length < end && frameAt(window, offset + length, other).length;
}

bool readReference(TagLib::IOStream& stream, long first, HeaderBytes& reference) {
  stream.seek(first);
  const TagLib::ByteVector bytes = stream.readBlock(4);
  if (bytes.size() < 4) return false;
  std::memcpy(reference, bytes.data(), 4);
  return mpegFrameLength(reference) > 0;
}

}  // namespace

MpegHeader mpegHeader(const unsigned char* header) {
  if (header[0] != 0xFF || (header[1] & 0xE0) != 0xE0 || header[1] == 0xFF) return {};
  const int version = (header[1] >> 3) & 0x03;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5, 1: reserved
  const int layer = (header[1] >> 1) & 0x03;  // 3: Layer I, 2: Layer II, 1: Layer III, 0: reserved
  const int bitrateIndex = header[2] >> 4;    // 0: free format, 15: reserved
  const int sampleRateIndex = (header[2] >> 2) & 0x03;  // 3: reserved
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || sampleRateIndex == 3)
    return {};

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
  MpegHeader parsed;
  parsed.bitrate = kBitrates[mpeg1 ? 0 : 1][layerIndex][bitrateIndex];
  parsed.sampleRate = kMpeg1SampleRates[sampleRateIndex] / (mpeg1 ? 1 : version == 2 ? 2 : 4);
  parsed.samples = layerIndex == 0 ? 384 : layerIndex == 1 || mpeg1 ? 1152 : 576;
  const bool padded = (header[2] & 0x02) != 0;
  // TagLib's arithmetic, so that the next header is looked for where TagLib looks.
  parsed.length = parsed.samples * parsed.bitrate * 125 / parsed.sampleRate +
                  (padded ? (layerIndex == 0 ? 4 : 1) : 0);
  return parsed;
}

bool sameMpegStream(const unsigned char* a, const unsigned char* b) {
  // Sync, version and layer in the second byte, the sample rate in the third.
  return a[0] == b[0] && (a[1] & 0xFE) == (b[1] & 0xFE) && (a[2] & 0x0C) == (b[2] & 0x0C);
}

bool sampledFramesShareOneRate(TagLib::IOStream& stream, long first, long end) {
  HeaderBytes reference;
  if (!readReference(stream, first, reference)) return true;
  const int rate = mpegHeader(reference).bitrate;
  StreamWindow window(stream, end, kStretchBytes + kResyncBytes);
  for (int stretch = 0; stretch <= kStretches; ++stretch) {
    // The start, then evenly spread up to a last stretch that ends at the end.
    long offset = first;
    if (stretch > 0) {
      const long from = stretch < kStretches
                            ? first + (end - first) / kStretches * stretch
                            : std::max(first, end - kStretchBytes);
      offset = nextFrame(window, from, from + kResyncBytes, reference, end);
      if (offset < 0) continue;
    }
    for (const long stop = std::min(end, offset + kStretchBytes); offset < stop;) {
      const MpegHeader frame = frameAt(window, offset, reference);
      if (frame.length == 0) break;
      if (frame.bitrate != rate) return false;
      offset += frame.length;
    }
  }
  return true;
}

FrameTotals countFrames(TagLib::IOStream& stream, long first, long end) {
  FrameTotals totals;
  HeaderBytes reference;
  if (end - first > kMostCountedBytes || !readReference(stream, first, reference)) return totals;
  totals.sampleRate = mpegHeader(reference).sampleRate;
  StreamWindow window(stream, end, kCountBlockBytes);
  long passedOver = 0;
  long offset = first;
  while (offset + 4 <= end) {
    const MpegHeader frame = frameAt(window, offset, reference);
    if (frame.length == 0) {
      // Frames of another stream (another sample rate, say) are audio this count leaves out.
      if (otherStreamAt(window, offset, reference, end)) return totals;
      const long next = nextFrame(window, offset + 1, offset + kMostPassedOverBytes - passedOver,
                                  reference, end);
      if (next < 0) break;
      passedOver += next - offset;
      offset = next;
      continue;
    }
    ++totals.frames;
    totals.bytes += frame.length;
    totals.samples += frame.samples;
    offset += frame.length;
  }
  // The bytes after the last frame found count as passed over too.
  passedOver += std::max(0L, end - std::max(offset, first));
  totals.complete = passedOver <= kMostPassedOverBytes;
  return totals;
}

}  // namespace importer
