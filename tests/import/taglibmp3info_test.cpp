#include "import/taglibmp3info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <taglib/tstring.h>

#include "import/readmp3info.h"
#include "mp3fixture.h"
#include "support/tempdir.h"

namespace importer {
namespace {

using fixture::Audio;
using fixture::Header;
using fixture::Mpeg;
using fixture::TextFrame;

class TagLibComponentTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name) { return (dir.path() / name).string(); }

  // The record the reader makes of a file, through the real component.
  SongInfo readThroughReader(const std::string& path) {
    SongInfo info;
    ReadMp3Info(path, info, component, createTagLibMp3Info);
    return info;
  }

  testsupport::TempDir dir;
  std::unique_ptr<Mp3Info> component;
  TagLibMp3Info mp3;
};

TEST_F(TagLibComponentTest, ReadsId3v23TagInUtf16) {
  const std::string path = file("v23.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(3, {{"TIT2", {"Señor Blue"}},
                                                {"TPE1", {"Ørjan"}},
                                                {"TALB", {"Æther ☂"}},
                                                {"TRCK", {"03/12"}},
                                                {"TCON", {"Jazz"}}}));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Señor Blue");
  EXPECT_EQ(mp3.artist(), "Ørjan");
  EXPECT_EQ(mp3.album(), "Æther ☂");
  EXPECT_EQ(mp3.track(), "03/12");
  EXPECT_EQ(mp3.genre(), "Jazz");
  EXPECT_EQ(mp3.bitrate(), 128);
  EXPECT_EQ(mp3.duration(), 3);  // 120 frames of 1152 samples at 44100 Hz
  EXPECT_FALSE(mp3.vbr());
}

TEST_F(TagLibComponentTest, ReadsId3v24TagInUtf8) {
  const std::string path = file("v24.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(4, {{"TIT2", {"Title"}},
                                                {"TPE1", {"Artist"}},
                                                {"TALB", {"Album"}},
                                                {"TRCK", {"12a"}}}));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Title");
  EXPECT_EQ(mp3.artist(), "Artist");
  EXPECT_EQ(mp3.album(), "Album");
  EXPECT_EQ(mp3.track(), "12a");
  EXPECT_EQ(mp3.genre(), "");
}

TEST_F(TagLibComponentTest, ReadsId3v1OnlyFiles) {
  const std::string path = file("v1.mp3");
  fixture::writeMp3(path, "", {}, fixture::id3v1Tag("Old Song", "Old Band", "Old Disc", 7, 17));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Old Song");
  EXPECT_EQ(mp3.artist(), "Old Band");
  EXPECT_EQ(mp3.album(), "Old Disc");
  EXPECT_EQ(mp3.track(), "7");
  EXPECT_EQ(mp3.genre(), "Rock");
}

TEST_F(TagLibComponentTest, Id3v2ComesFirstAndId3v1FillsTheGaps) {
  const std::string path = file("both.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(3, {{"TIT2", {"New Title"}}}), {},
                    fixture::id3v1Tag("Old Title", "Old Band", "Old Disc", 9, 8));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "New Title");
  EXPECT_EQ(mp3.artist(), "Old Band");
  EXPECT_EQ(mp3.track(), "9");
  EXPECT_EQ(mp3.genre(), "Jazz");
}

// TagLib itself drops NULs from the texts it reads from tags (it splits ID3v2 texts at them and
// ends other texts there), so the cut is tested on the texts it can still hand over.
TEST(Utf8TextTest, StopsAtTheFirstNul) {
  EXPECT_EQ(utf8Text(TagLib::String(std::wstring(L"Before\0After", 12))), "Before");
  EXPECT_EQ(utf8Text(TagLib::String(std::wstring(L"\0", 1))), "");
  EXPECT_EQ(utf8Text(TagLib::String(L"Señor ☂")), "Señor ☂");
}

struct TrackCase {
  int version;
  std::vector<std::string> values;
  const char* raw;
  const char* stored;
};

class TrackTest : public TagLibComponentTest, public ::testing::WithParamInterface<TrackCase> {};

TEST_P(TrackTest, TrackFrameGivesItsFirstValue) {
  const std::string path = file("track.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(GetParam().version, {{"TRCK", GetParam().values}}));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.track(), GetParam().raw);
  EXPECT_EQ(readThroughReader(path).Track, GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Table, TrackTest,
                         ::testing::Values(TrackCase{4, {"3", "12"}, "3", "3"},
                                           TrackCase{3, {"3", "12"}, "3", "3"},
                                           TrackCase{4, {"03/12", "x"}, "03/12", "3"},
                                           TrackCase{4, {"7"}, "7", "7"}));

// `depth` frames of kind `id`, each holding the next after `prefix` (its own fields), the
// innermost holding `inner`. Built outside in, as one pass over the bytes.
std::string nestedFrames(const std::string& id, const std::string& prefix, int depth,
                         const std::string& inner) {
  std::vector<std::uint32_t> sizes(static_cast<std::size_t>(depth));
  std::uint32_t size = static_cast<std::uint32_t>(inner.size());
  for (int level = depth - 1; level >= 0; --level) {
    size += static_cast<std::uint32_t>(prefix.size());
    sizes[static_cast<std::size_t>(level)] = size;
    size += 10;
  }
  std::string out;
  out.reserve(size);
  for (std::uint32_t contentSize : sizes) out += fixture::id3v2FrameHeader(4, id, contentSize) + prefix;
  return out + inner;
}

struct NestingCase {
  const char* id;
  std::string prefix;
  int depth;
};

class NestingTest : public TagLibComponentTest, public ::testing::WithParamInterface<NestingCase> {};

// TagLib parses chapters and tables of contents inside each other with no limit on the depth.
TEST_P(NestingTest, DeeplyNestedChaptersLeaveTheTagReadable) {
  const std::string path = file("nested.mp3");
  const std::string body =
      fixture::id3v2Frame(4, "TIT2", "\x03Outer") +
      nestedFrames(GetParam().id, GetParam().prefix, GetParam().depth,
                   fixture::id3v2Frame(4, "TIT2", "\x03Inner"));
  fixture::writeMp3(path, fixture::id3v2Header(4, static_cast<std::uint32_t>(body.size())) + body);
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Outer");
  EXPECT_EQ(mp3.bitrate(), 128);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NestingTest,
    ::testing::Values(
        // Element id, start and end time, start and end offset.
        NestingCase{"CHAP", std::string("c\0", 2) + std::string(8, '\0') + std::string(8, '\xFF'), 20000},
        // Element id, flags (top level, ordered), one child id.
        NestingCase{"CTOC", std::string("t\0\x03\x01" "c\0", 6), 30000}));

struct GenreCase {
  int version;
  std::vector<std::string> values;
  const char* expected;
};

class GenreTest : public TagLibComponentTest, public ::testing::WithParamInterface<GenreCase> {};

TEST_P(GenreTest, GenreFrameEndToEnd) {
  const std::string path = file("genre.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(GetParam().version,
                                            {{"TIT2", {"x"}}, {"TCON", GetParam().values}}));
  EXPECT_EQ(readThroughReader(path).Genre, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GenreTest,
    ::testing::Values(GenreCase{3, {"(17)Rock"}, "Rock"}, GenreCase{3, {"(2) Country"}, "Country"},
                      GenreCase{3, {"(17)"}, "Rock"}, GenreCase{3, {"Rock (Live)"}, "Rock (Live)"},
                      GenreCase{3, {"(17)(RX)"}, "Rock / Remix"},
                      GenreCase{4, {"Rock", "Pop"}, "Rock / Pop"},
                      GenreCase{4, {"17", "Rock", " Pop ", "RX"}, "Rock / Pop / Remix"},
                      GenreCase{4, {"(17)"}, "Rock"}, GenreCase{4, {"(2) Country"}, "Country"},
                      GenreCase{4, {"Rock (Live)"}, "Rock (Live)"}, GenreCase{4, {"  "}, "Unknown"},
                      GenreCase{4, {"999"}, "999"}));

struct VbrCase {
  const char* name;
  Audio audio;
  bool vbr;
};

class VbrTest : public TagLibComponentTest, public ::testing::WithParamInterface<VbrCase> {};

TEST_P(VbrTest, FlagFollowsTheFirstFramesHeader) {
  SCOPED_TRACE(GetParam().name);
  const std::string path = file("vbr.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(3, {{"TIT2", {"x"}}}), GetParam().audio);
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.vbr(), GetParam().vbr);
  EXPECT_GT(mp3.bitrate(), 0);
  EXPECT_GT(mp3.duration(), 0);
}

Audio withHeader(Header header, Mpeg mpeg = Mpeg::Version1Stereo, std::uint32_t xingFlags = 0x0F,
                 std::optional<fixture::Lame> lame = std::nullopt) {
  return {.frames = 120, .header = header, .mpeg = mpeg, .xingFlags = xingFlags, .lame = lame};
}

// The LAME extension sits behind the Xing fields its flags announce, so each row with one
// names a method that tells where it was looked for.
INSTANTIATE_TEST_SUITE_P(
    Table, VbrTest,
    ::testing::Values(
        VbrCase{"no header", withHeader(Header::None), false},
        VbrCase{"Xing", withHeader(Header::Xing), true},
        VbrCase{"Xing, MPEG-1 mono", withHeader(Header::Xing, Mpeg::Version1Mono), true},
        VbrCase{"Xing, MPEG-2 stereo", withHeader(Header::Xing, Mpeg::Version2Stereo), true},
        VbrCase{"Xing, MPEG-2 mono", withHeader(Header::Xing, Mpeg::Version2Mono), true},
        VbrCase{"Xing, LAME VBR method",
                withHeader(Header::Xing, Mpeg::Version1Stereo, 0x0F, fixture::Lame{.method = 4}), true},
        VbrCase{"Xing, all fields, LAME method 1",
                withHeader(Header::Xing, Mpeg::Version1Stereo, 0x0F, fixture::Lame{.method = 1}), false},
        VbrCase{"Xing, all fields, LAME method 8",
                withHeader(Header::Xing, Mpeg::Version1Stereo, 0x0F, fixture::Lame{.method = 8}), false},
        VbrCase{"Xing, all fields, LAME method 8, MPEG-2 mono",
                withHeader(Header::Xing, Mpeg::Version2Mono, 0x0F, fixture::Lame{.method = 8}), false},
        VbrCase{"Xing, counts only, LAME method 1",
                withHeader(Header::Xing, Mpeg::Version1Stereo, 0x03, fixture::Lame{.method = 1}), false},
        VbrCase{"Xing, counts only, LAME method 8, MPEG-1 mono",
                withHeader(Header::Xing, Mpeg::Version1Mono, 0x03, fixture::Lame{.method = 8}), false},
        VbrCase{"Xing, frame count only, LAME method 8",
                withHeader(Header::Xing, Mpeg::Version1Stereo, 0x01, fixture::Lame{.method = 8}), false},
        VbrCase{"Xing, another encoder's method 1",
                withHeader(Header::Xing, Mpeg::Version1Stereo, 0x0F,
                           fixture::Lame{.encoder = "Lavc58.91", .method = 1}),
                false},
        // Binary bytes where the encoder's name would be: no extension, whatever follows.
        VbrCase{"Xing, no encoder name before a 1",
                withHeader(Header::Xing, Mpeg::Version1Stereo, 0x0F,
                           fixture::Lame{.encoder = std::string("\x01\x02\x03\x04\x05", 5), .method = 1}),
                true},
        VbrCase{"Info", withHeader(Header::Info), false},
        VbrCase{"Info, LAME method 1, MPEG-1 mono",
                withHeader(Header::Info, Mpeg::Version1Mono, 0x0F, fixture::Lame{.method = 1}), false},
        VbrCase{"VBRI", withHeader(Header::Vbri), true}));

struct RateCase {
  Mpeg mpeg;
  int sampleRate;
  int bitrate;
};

struct FirstFrameCase {
  const char* name;
  Header header;
  std::optional<fixture::Lame> lame;
};

void PrintTo(const RateCase& rate, std::ostream* out) {
  *out << rate.sampleRate << " Hz, " << rate.bitrate << " kbit/s";
}

void PrintTo(const FirstFrameCase& first, std::ostream* out) { *out << first.name; }

std::vector<RateCase> nominalRates() {
  std::vector<RateCase> cases;
  for (int sampleRate : {44100, 48000})
    for (int bitrate : {32, 128, 192, 320})
      cases.push_back({Mpeg::Version1Stereo, sampleRate, bitrate});
  for (int sampleRate : {22050, 24000})
    for (int bitrate : {32, 64, 128, 160})
      cases.push_back({Mpeg::Version2Stereo, sampleRate, bitrate});
  return cases;
}

class ConstantBitrateTest
    : public TagLibComponentTest,
      public ::testing::WithParamInterface<std::tuple<FirstFrameCase, RateCase>> {};

// TagLib works the bit rate out from an Info header's byte count, which counts the header frame
// too (192 kbit/s comes out as 193). At 32 kbit/s the header needs a larger frame than the
// sound, so the header frame's own rate is no answer either.
TEST_P(ConstantBitrateTest, BitrateIsTheOneInTheFrameHeaders) {
  const auto& [first, rate] = GetParam();
  const std::string path = file("cbr.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(3, {{"TIT2", {"x"}}}),
                    {.frames = 120,
                     .header = first.header,
                     .mpeg = rate.mpeg,
                     .lame = first.lame,
                     .bitrates = {rate.bitrate},
                     .sampleRate = rate.sampleRate});
  ASSERT_TRUE(mp3.read(path));
  EXPECT_FALSE(mp3.vbr());
  EXPECT_EQ(mp3.bitrate(), rate.bitrate);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConstantBitrateTest,
    ::testing::Combine(
        ::testing::Values(
            FirstFrameCase{"no header", Header::None, std::nullopt},
            FirstFrameCase{"Info", Header::Info, std::nullopt},
            FirstFrameCase{"Info, LAME method 1", Header::Info, fixture::Lame{.method = 1}},
            FirstFrameCase{"Xing, LAME method 1", Header::Xing, fixture::Lame{.method = 1}},
            FirstFrameCase{"Xing, LAME method 8", Header::Xing, fixture::Lame{.method = 8}}),
        ::testing::ValuesIn(nominalRates())));

struct AverageCase {
  const char* name;
  Audio audio;
};

class AverageBitrateTest : public TagLibComponentTest,
                           public ::testing::WithParamInterface<AverageCase> {};

// The first audio frame's rate is far from the average, so taking it would show.
TEST_P(AverageBitrateTest, VariableRateFilesGiveTheirAverage) {
  SCOPED_TRACE(GetParam().name);
  const Audio& audio = GetParam().audio;
  const std::string path = file("vbr.mp3");
  fixture::writeMp3(path, "", audio);
  ASSERT_TRUE(mp3.read(path));
  EXPECT_TRUE(mp3.vbr());
  const bool mpeg1 = audio.mpeg == Mpeg::Version1Stereo || audio.mpeg == Mpeg::Version1Mono;
  const double seconds = audio.frames * (mpeg1 ? 1152.0 : 576.0) / audio.sampleRate;
  const double kbits = static_cast<double>(fixture::audioBytes(audio)) * 8 / 1000;
  EXPECT_NEAR(mp3.bitrate(), kbits / seconds, 1.0);
}

Audio varying(Header header, Mpeg mpeg, int sampleRate, std::vector<int> bitrates,
              std::uint32_t xingFlags = 0x03, std::optional<fixture::Lame> lame = std::nullopt) {
  return {.frames = 1000,
          .header = header,
          .mpeg = mpeg,
          .xingFlags = xingFlags,
          .lame = lame,
          .bitrates = std::move(bitrates),
          .sampleRate = sampleRate};
}

INSTANTIATE_TEST_SUITE_P(
    Table, AverageBitrateTest,
    ::testing::Values(
        AverageCase{"Xing, counts only",
                    varying(Header::Xing, Mpeg::Version1Stereo, 44100, {320, 96, 128, 160, 112})},
        AverageCase{"Xing, LAME VBR method, 48 kHz",
                    varying(Header::Xing, Mpeg::Version1Stereo, 48000, {32, 256, 192, 224}, 0x0F,
                            fixture::Lame{.method = 4})},
        AverageCase{"Xing, LAME ABR method, MPEG-2",
                    varying(Header::Xing, Mpeg::Version2Stereo, 22050, {160, 32, 64, 96}, 0x0F,
                            fixture::Lame{.method = 3})},
        AverageCase{"VBRI", varying(Header::Vbri, Mpeg::Version1Stereo, 44100, {320, 64, 96})}));

class UnusableSecondFrameTest : public TagLibComponentTest,
                                public ::testing::WithParamInterface<int> {};

// When the frame after the Info header names no bit rate (free format, or the reserved index),
// the header frame's own header is all there is.
TEST_P(UnusableSecondFrameTest, HeaderFrameGivesTheRate) {
  const Audio audio = {.frames = 120, .header = Header::Info, .bitrates = {192}};
  std::string bytes = fixture::mpegAudio(audio);
  const std::size_t second = fixture::frameLength(Mpeg::Version1Stereo, 192, 44100);
  bytes[second + 2] = static_cast<char>((bytes[second + 2] & 0x0F) | GetParam() << 4);
  const std::string path = file("odd.mp3");
  fixture::writeFile(path, bytes);
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.bitrate(), 192);
}

INSTANTIATE_TEST_SUITE_P(Table, UnusableSecondFrameTest, ::testing::Values(0, 15));

TEST(FrameAnnouncesVbrTest, ShortOrForeignBytesAnnounceNothing) {
  const unsigned char notAFrame[] = {'I', 'D', '3', 3, 0, 0};
  EXPECT_FALSE(frameAnnouncesVbr(notAFrame, sizeof notAFrame));
  EXPECT_FALSE(frameAnnouncesVbr(notAFrame, 0));
  const unsigned char headerOnly[] = {0xFF, 0xFB, 0x90, 0x00};
  EXPECT_FALSE(frameAnnouncesVbr(headerOnly, sizeof headerOnly));
  // "Xing" cut off right after its tag: no extension to say otherwise.
  std::string xing = std::string("\xFF\xFB\x90\x00", 4) + std::string(32, '\0') + "Xing";
  EXPECT_TRUE(frameAnnouncesVbr(reinterpret_cast<const unsigned char*>(xing.data()), xing.size()));
}

struct BrokenCase {
  const char* name;
  std::string bytes;
};

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(generator() & 0xFF);
  return out;
}

std::vector<BrokenCase> brokenFiles() {
  const std::string tag = fixture::id3v2Tag(3, {{"TIT2", {"Title"}}});
  const std::string audio = fixture::mpegAudio({});
  std::string hugeTag = "ID3";
  hugeTag += std::string("\x03\x00\x00\x7F\x7F\x7F\x7F", 7);  // claims 256 MB
  hugeTag += "TIT2";
  hugeTag += std::string("\x7F\xFF\xFF\xFF\x00\x00\x00", 7);
  return {
      {"empty", ""},
      {"one byte", "\xFF"},
      {"random bytes", randomBytes(64 * 1024, 1)},
      {"random bytes 2", randomBytes(300 * 1024, 2)},
      {"tag only", tag},
      {"tag cut short", tag.substr(0, tag.size() / 2)},
      {"tag and a frame header", tag + audio.substr(0, 4)},
      {"huge tag claimed", hugeTag + audio.substr(0, 100)},
      {"text", std::string(5000, 'a')},
      {"id3v1 only", fixture::id3v1Tag("t", "a", "b", 1, 1)},
  };
}

TEST_F(TagLibComponentTest, BrokenFilesAreUnreadableAndCrashNothing) {
  for (const BrokenCase& broken : brokenFiles()) {
    SCOPED_TRACE(broken.name);
    const std::string path = file("broken.mp3");
    fixture::writeFile(path, broken.bytes);
    EXPECT_FALSE(mp3.read(path));
    EXPECT_EQ(mp3.title(), "");
    EXPECT_EQ(mp3.bitrate(), 0);
    const SongInfo info = readThroughReader(path);
    EXPECT_EQ(info.Title, "Unknown");
    EXPECT_EQ(info.Bitrate, 0);
  }
}

TEST_F(TagLibComponentTest, TruncatedAudioStillReads) {
  const std::string path = file("cut.mp3");
  const std::string whole = fixture::id3v2Tag(3, {{"TIT2", {"Cut"}}}) + fixture::mpegAudio({});
  fixture::writeFile(path, whole.substr(0, whole.size() - 1000));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Cut");
}

TEST_F(TagLibComponentTest, MissingFilesFoldersAndPipesAreUnreadable) {
  EXPECT_FALSE(mp3.read(file("absent.mp3")));
  EXPECT_FALSE(mp3.read(dir.path().string()));
  ASSERT_EQ(::mkfifo(file("pipe.mp3").c_str(), 0644), 0);
  EXPECT_FALSE(mp3.read(file("pipe.mp3")));
}

TEST_F(TagLibComponentTest, UnreadableFileClearsTheLastOne) {
  const std::string good = file("good.mp3");
  fixture::writeMp3(good, fixture::id3v2Tag(3, {{"TIT2", {"Good"}}, {"TRCK", {"4"}}}),
                    {.frames = 120, .header = Header::Xing});
  ASSERT_TRUE(mp3.read(good));
  ASSERT_TRUE(mp3.vbr());
  EXPECT_FALSE(mp3.read(file("absent.mp3")));
  EXPECT_EQ(mp3.title(), "");
  EXPECT_EQ(mp3.track(), "");
  EXPECT_EQ(mp3.bitrate(), 0);
  EXPECT_EQ(mp3.duration(), 0);
  EXPECT_FALSE(mp3.vbr());
}

}  // namespace
}  // namespace importer
