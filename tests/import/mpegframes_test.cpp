#include "import/mpegframes.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <taglib/tbytevectorstream.h>

#include "mp3fixture.h"

namespace importer {
namespace {

using fixture::Audio;
using fixture::Mpeg;

// A stream over bytes in memory that counts what is read of it.
class CountingStream final : public TagLib::ByteVectorStream {
 public:
  explicit CountingStream(const std::string& bytes)
      : TagLib::ByteVectorStream(
            TagLib::ByteVector(bytes.data(), static_cast<unsigned int>(bytes.size()))) {}
  TagLib::ByteVector readBlock(unsigned long length) override {
    const TagLib::ByteVector block = TagLib::ByteVectorStream::readBlock(length);
    bytesRead += block.size();
    return block;
  }
  long bytesRead = 0;
};

long end(const std::string& bytes) { return static_cast<long>(bytes.size()); }

TEST(SampledFramesTest, OneRateThroughoutIsSeenWithoutReadingTheWholeFile) {
  // Some 5 MB of frames at 320 kbit/s.
  const std::string audio = fixture::mpegAudio({.frames = 5000, .bitrates = {320}});
  CountingStream stream(audio);
  EXPECT_TRUE(sampledFramesShareOneRate(stream, 0, end(audio)));
  EXPECT_LT(stream.bytesRead, 200 * 1024);
}

// The rates differ somewhere in a sampled stretch: at the start, in the middle, at the end.
TEST(SampledFramesTest, OtherRatesAnywhereAreSeen) {
  const std::vector<int> steady(999, 128);
  for (std::size_t at : {std::size_t{3}, std::size_t{600}, std::size_t{995}}) {
    SCOPED_TRACE(at);
    std::vector<int> rates = steady;
    rates[at] = 192;
    const std::string audio = fixture::mpegAudio({.frames = 999, .bitrates = rates});
    CountingStream stream(audio);
    EXPECT_FALSE(sampledFramesShareOneRate(stream, 0, end(audio)));
  }
}

TEST(CountFramesTest, CountsEveryFrameOfEachKind) {
  struct Case {
    Audio audio;
    int samplesPerFrame;
  };
  for (const Case& c : {Case{{.frames = 700, .bitrates = {320, 96, 128}}, 1152},
                        Case{{.frames = 500, .mpeg = Mpeg::Version1Mono, .bitrates = {32, 64}}, 1152},
                        Case{{.frames = 900, .mpeg = Mpeg::Version2Stereo, .bitrates = {8, 160}},
                             576}}) {
    const std::string audio = fixture::mpegAudio(c.audio);
    CountingStream stream(audio);
    const FrameTotals totals = countFrames(stream, 0, end(audio));
    EXPECT_EQ(totals.frames, c.audio.frames);
    EXPECT_EQ(totals.bytes, static_cast<std::int64_t>(fixture::audioBytes(c.audio)));
    EXPECT_EQ(totals.samples, std::int64_t{c.audio.frames} * c.samplesPerFrame);
    EXPECT_EQ(totals.sampleRate, c.audio.mpeg == Mpeg::Version2Stereo ? 22050 : 44100);
  }
}

// Bytes that are no frame between frames (a stray tag, damage) are passed over, and the count
// ends where it is told to. Frames of another stream make it incomplete: they are audio too.
TEST(CountFramesTest, PassesOverJunkAndStopsAtTheEnd) {
  const std::string first = fixture::mpegAudio({.frames = 100, .bitrates = {128, 256}});
  const std::string second = fixture::mpegAudio({.frames = 50, .bitrates = {160}});
  const std::string junk = "TAG" + std::string(500, '\x11') + std::string("\xFF\xFB", 2);
  const std::string bytes = first + junk + second + std::string(128, 'T');
  CountingStream stream(bytes);
  FrameTotals totals = countFrames(stream, 0, end(bytes));
  EXPECT_EQ(totals.frames, 150);
  EXPECT_EQ(totals.bytes, static_cast<std::int64_t>(first.size() + second.size()));
  EXPECT_TRUE(totals.complete);
  totals = countFrames(stream, 0, static_cast<long>(first.size()));
  EXPECT_EQ(totals.frames, 100);
  EXPECT_EQ(countFrames(stream, 1, end(bytes)).frames, 0);  // no frame begins there

  const std::string other48kHz = fixture::mpegAudio({.frames = 2000, .sampleRate = 48000});
  const std::string mixed = first + other48kHz;
  CountingStream mixedStream(mixed);
  EXPECT_FALSE(countFrames(mixedStream, 0, end(mixed)).complete);
}

// A long gap (a second file's tag with a cover picture) is passed over too; beyond what the
// import would look through for a first frame, the count is given up.
TEST(CountFramesTest, PassesOverLongGapsUpToALimit) {
  const std::string half = fixture::mpegAudio({.frames = 300, .bitrates = {128, 256}});
  for (const std::size_t gap : {std::size_t{20000}, std::size_t{kMostPassedOverBytes} + 1000}) {
    SCOPED_TRACE(gap);
    const std::string bytes = half + std::string(gap, '\0') + half;
    CountingStream stream(bytes);
    const FrameTotals totals = countFrames(stream, 0, end(bytes));
    EXPECT_EQ(totals.complete, gap < std::size_t{kMostPassedOverBytes});
    if (totals.complete) {
      EXPECT_EQ(totals.frames, 600);
    }
  }
}

TEST(MpegHeaderTest, NamesRateSamplesAndLength) {
  const unsigned char mpeg1[] = {0xFF, 0xFB, 0x92, 0x00};  // 128 kbit/s, 44100 Hz, padded
  const MpegHeader header = mpegHeader(mpeg1);
  EXPECT_EQ(header.bitrate, 128);
  EXPECT_EQ(header.sampleRate, 44100);
  EXPECT_EQ(header.samples, 1152);
  EXPECT_EQ(header.length, 418);
  const unsigned char mpeg2[] = {0xFF, 0xF3, 0x40, 0x00};  // 32 kbit/s, 22050 Hz
  EXPECT_EQ(mpegHeader(mpeg2).samples, 576);
  EXPECT_EQ(mpegHeader(mpeg2).sampleRate, 22050);
  const unsigned char freeFormat[] = {0xFF, 0xFB, 0x00, 0x00};
  EXPECT_EQ(mpegHeader(freeFormat).length, 0);
  const unsigned char joint[] = {0xFF, 0xFA, 0x92, 0x40};  // CRC and channel mode differ
  EXPECT_TRUE(sameMpegStream(mpeg1, joint));
  const unsigned char at48kHz[] = {0xFF, 0xFB, 0x94, 0x00};
  EXPECT_FALSE(sameMpegStream(mpeg1, at48kHz));
}

}  // namespace
}  // namespace importer
