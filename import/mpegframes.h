#pragma once

#include <cstdint>

namespace TagLib {
class IOStream;
}

namespace importer {

// What the four header bytes of an MPEG audio frame say.
struct MpegHeader {
  int length = 0;      // bytes of the whole frame; 0 when the bytes are no frame header
  int bitrate = 0;     // kbit/s
  int sampleRate = 0;  // Hz
  int samples = 0;     // per channel in the frame
};

// The header whose four bytes start at `header`, read as TagLib reads it: frame sync (but not
// 0xFFFF), MPEG version and layer not reserved, a bit rate (not free format) and a sample rate.
// Its length is 0 when TagLib would not take the bytes for the start of a frame.
MpegHeader mpegHeader(const unsigned char* header);

// The length of that frame alone.
inline int mpegFrameLength(const unsigned char* header) { return mpegHeader(header).length; }

// Whether two frame headers belong to one stream: the same MPEG version, layer and sample rate.
bool sameMpegStream(const unsigned char* a, const unsigned char* b);

// Without a Xing, Info or VBRI frame a file does not say whether its frames share one bit rate.
// True when every frame of a few short stretches spread over the audio from `first` (where a
// frame begins) to `end` has the rate of the frame at `first`: reads a few kilobytes, however
// long the file.
bool sampledFramesShareOneRate(TagLib::IOStream& stream, long first, long end);

// The frames from `first` to `end`, every one of them: a frame begins where the one before it
// ends, or, past bytes that are none (a stray tag, a damaged stretch, a second file's tag), where
// frames of the same stream follow each other again. Incomplete, and to be ignored, when more
// than kMostPassedOverBytes of such bytes or more than kMostCountedBytes in all lie between
// `first` and `end`, or frames of another stream come: a file of that kind is no song to measure
// frame by frame.
inline constexpr long kMostPassedOverBytes = 1024 * 1024;  // as far as a first frame may lie
inline constexpr long kMostCountedBytes = 512L * 1024 * 1024;
struct FrameTotals {
  std::int64_t frames = 0;
  std::int64_t bytes = 0;    // of the frames themselves
  std::int64_t samples = 0;  // per channel
  int sampleRate = 0;        // of the first frame
  bool complete = false;     // every byte up to `end` was looked at
};
FrameTotals countFrames(TagLib::IOStream& stream, long first, long end);

}  // namespace importer
