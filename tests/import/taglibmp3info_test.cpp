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

// The frames of an ID3v2 tag of `version`, without the tag's header and padding.
std::string framesOf(int version, const std::vector<TextFrame>& frames) {
  const std::string tag = fixture::id3v2Tag(version, frames);
  return tag.substr(10, tag.size() - 10 - 64);
}

std::string syncSafe(std::uint32_t n) {
  return {static_cast<char>(n >> 21 & 0x7F), static_cast<char>(n >> 14 & 0x7F),
          static_cast<char>(n >> 7 & 0x7F), static_cast<char>(n & 0x7F)};
}

std::string bigEndian(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

struct TagLayoutCase {
  const char* name;
  std::string tag;
  const char* artist;
};

// Tags as other programs write them, which TagLib 1.13 reads short: every frame is read.
std::vector<TagLayoutCase> tagLayouts() {
  const std::vector<TextFrame> song = {{"TIT2", {"Song Title"}},
                                       {"TPE1", {"The Artist"}},
                                       {"TALB", {"The Album"}},
                                       {"TRCK", {"03/12"}}};
  const std::string v3 = framesOf(3, song);
  const std::string v4 = framesOf(4, song);
  // Version 2.3: a plain size that leaves out its own four bytes, flags, padding size, CRC.
  const std::string extended3 = bigEndian(6) + std::string(2, '\0') + bigEndian(0);
  const std::string extended3Crc = bigEndian(10) + std::string("\x80\0", 2) + bigEndian(0) +
                                   bigEndian(0x12345678);
  // Sized the 2.4 way, counting its own four bytes, which TagLib happens to read right.
  const std::string extended3As4 = bigEndian(10) + std::string(2, '\0') + bigEndian(0);
  // Version 2.4: a syncsafe size that counts its own bytes, one flag byte, no flags.
  const std::string extended4 = syncSafe(6) + std::string("\x01\0", 2);
  const auto tag = [](int version, std::uint8_t flags, const std::string& body,
                      const std::string& after = "") {
    return fixture::id3v2Header(version, static_cast<std::uint32_t>(body.size()), flags) + body +
           after;
  };
  const auto footer = [](const std::string& body) {
    return std::string("3DI\x04\0\x10", 6) + syncSafe(static_cast<std::uint32_t>(body.size()));
  };
  // Unsynchronised: a NUL after every 0xFF, here those of the UTF-16 byte order marks.
  std::string unsynchronised;
  for (const char c : extended3 + v3) {
    unsynchronised.push_back(c);
    if (c == '\xFF') unsynchronised.push_back('\0');
  }
  // iTunes writes version 2.2 ids, padded with a NUL, into version 2.3 tags.
  std::string itunesArtist = framesOf(3, {{"TPE1", {"The Artist"}}});
  itunesArtist.replace(0, 4, std::string("TP1\0", 4));
  const std::string itunes3 =
      itunesArtist +
      framesOf(3, {{"TIT2", {"Song Title"}}, {"TALB", {"The Album"}}, {"TRCK", {"03/12"}}});
  const std::string emptyPopm3 = fixture::id3v2FrameHeader(3, "POPM", 0);
  const std::string emptyPopm4 = fixture::id3v2FrameHeader(4, "POPM", 0);
  const std::string twoArtists = framesOf(4, {{"TIT2", {"Song Title"}},
                                              {"TPE1", {"Artist One", "Artist Two"}},
                                              {"TALB", {"The Album"}},
                                              {"TRCK", {"03/12"}}});
  return {
      {"2.3", tag(3, 0, v3), "The Artist"},
      {"2.3, extended header", tag(3, 0x40, extended3 + v3 + std::string(32, '\0')),
       "The Artist"},
      {"2.3, extended header with a CRC, no padding", tag(3, 0x40, extended3Crc + v3),
       "The Artist"},
      {"2.3, unsynchronised, extended header", tag(3, 0xC0, unsynchronised), "The Artist"},
      {"2.3, extended header sized as in 2.4", tag(3, 0x40, extended3As4 + v3), "The Artist"},
      {"2.3, extended header, then an iTunes frame id", tag(3, 0x40, extended3 + itunes3),
       "The Artist"},
      {"2.4, extended header, no padding", tag(4, 0x40, extended4 + v4), "The Artist"},
      {"2.4, footer", tag(4, 0x10, v4, footer(v4)), "The Artist"},
      {"2.4, extended header and footer", tag(4, 0x50, extended4 + v4, footer(extended4 + v4)),
       "The Artist"},
      {"2.3, an empty rating frame first", tag(3, 0, emptyPopm3 + v3 + std::string(16, '\0')),
       "The Artist"},
      {"2.4, an empty frame between", tag(4, 0, v4.substr(0, 21) + emptyPopm4 + v4.substr(21)),
       "The Artist"},
      {"2.4, two artists in one frame", tag(4, 0, twoArtists), "Artist One / Artist Two"},
  };
}

class TagLayoutTest : public TagLibComponentTest,
                      public ::testing::WithParamInterface<TagLayoutCase> {};

TEST_P(TagLayoutTest, EveryFrameIsRead) {
  SCOPED_TRACE(GetParam().name);
  const std::string path = file("layout.mp3");
  fixture::writeMp3(path, GetParam().tag);
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Song Title");
  EXPECT_EQ(mp3.artist(), GetParam().artist);
  EXPECT_EQ(mp3.album(), "The Album");
  EXPECT_EQ(mp3.track(), "03/12");
  EXPECT_EQ(mp3.bitrate(), 128);
  EXPECT_EQ(mp3.duration(), 3);
}

INSTANTIATE_TEST_SUITE_P(Table, TagLayoutTest, ::testing::ValuesIn(tagLayouts()));

TEST_F(TagLibComponentTest, SeveralValuesInOneTextFrameAreJoined) {
  const std::string path = file("many.mp3");
  fixture::writeMp3(path, fixture::id3v2Tag(4, {{"TIT2", {"Part One", "", "Part Two"}},
                                                {"TPE1", {"Solo"}},
                                                {"TALB", {"Disc", "Bonus"}}}));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Part One / Part Two");
  EXPECT_EQ(mp3.artist(), "Solo");
  EXPECT_EQ(mp3.album(), "Disc / Bonus");
  EXPECT_EQ(readThroughReader(path).Album, "Disc / Bonus");
}

// Free-format frames name no rate TagLib can use; the tags are the file's all the same.
TEST_F(TagLibComponentTest, TagsOfAFileWithoutUsableFramesAreRead) {
  const std::string path = file("free.mp3");
  std::string freeFormat;
  for (int i = 0; i < 50; ++i) freeFormat += std::string("\xFF\xFB\x00\x00", 4) + std::string(600, '\0');
  fixture::writeFile(path, fixture::id3v2Tag(3, {{"TIT2", {"Free Format"}}, {"TRCK", {"10"}}}) +
                               freeFormat);
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Free Format");
  EXPECT_EQ(mp3.track(), "10");
  EXPECT_EQ(mp3.bitrate(), 0);
  const SongInfo info = readThroughReader(path);
  EXPECT_EQ(info.Title, "Free Format");
  EXPECT_EQ(info.Track, "10");
  EXPECT_EQ(info.Bitrate, 0);
  EXPECT_EQ(info.Duration, 0);
}

struct HeaderlessCase {
  const char* name;
  Audio audio;
  bool vbr;
  std::string junk = {};  // bytes between the 100th frame and the next
};

class HeaderlessTest : public TagLibComponentTest,
                       public ::testing::WithParamInterface<HeaderlessCase> {};

// Without a Xing, Info or VBRI frame: one rate throughout is a constant rate, and the length
// follows from the size; differing rates give the length of the frames and their average rate.
TEST_P(HeaderlessTest, LengthAndRateComeFromTheFrames) {
  SCOPED_TRACE(GetParam().name);
  const Audio& audio = GetParam().audio;
  std::string frames = fixture::mpegAudio(audio);
  const std::size_t hundredth = fixture::audioBytes({.frames = 100,
                                                     .mpeg = audio.mpeg,
                                                     .bitrates = audio.bitrates,
                                                     .sampleRate = audio.sampleRate});
  frames.insert(hundredth, GetParam().junk);
  const std::string path = file("headerless.mp3");
  fixture::writeFile(path, fixture::id3v2Tag(3, {{"TIT2", {"x"}}}) + frames +
                               fixture::id3v1Tag("x", "y", "z", 1, 1));
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.vbr(), GetParam().vbr);
  const bool mpeg1 = audio.mpeg == Mpeg::Version1Stereo || audio.mpeg == Mpeg::Version1Mono;
  const int sampleRate = audio.sampleRate ? audio.sampleRate : mpeg1 ? 44100 : 22050;
  const double milliseconds = audio.frames * (mpeg1 ? 1152.0 : 576.0) * 1000 / sampleRate;
  const double bytes = static_cast<double>(fixture::audioBytes(audio));
  EXPECT_EQ(mp3.duration(), static_cast<int>(milliseconds / 1000));  // whole seconds, cut
  if (GetParam().vbr)
    EXPECT_EQ(mp3.bitrate(), static_cast<int>(bytes * 8 / milliseconds + 0.5));
  else
    EXPECT_EQ(mp3.bitrate(), audio.bitrates.empty() ? (mpeg1 ? 128 : 64) : audio.bitrates[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeaderlessTest,
    ::testing::Values(
        HeaderlessCase{"one rate", {.frames = 2000, .bitrates = {192}}, false},
        HeaderlessCase{"rates differ from the first frame on",
                       {.frames = 2000, .bitrates = {320, 96, 128, 160, 112}}, true},
        HeaderlessCase{"a third at one rate, the rest at another",
                       {.frames = 3000,
                        .bitrates = [] {
                          std::vector<int> rates(1000, 128);
                          rates.resize(3000, 192);
                          return rates;
                        }()},
                       true},
        HeaderlessCase{"MPEG-2, 24 kHz",
                       {.frames = 3000, .mpeg = Mpeg::Version2Mono, .bitrates = {8, 64, 160},
                        .sampleRate = 24000},
                       true},
        HeaderlessCase{"junk between frames",
                       {.frames = 2000, .bitrates = {128, 224}},
                       true,
                       "\xFF\xFB junk that a stray tag left"},
        HeaderlessCase{"a second file's tag between frames",
                       {.frames = 3000, .bitrates = {128, 192, 256}},
                       true,
                       std::string("ID3\x03\0\0\0\0\x9C\x40", 10) + std::string(20000, 'U')}));

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
  const char* title;  // what a tag in it says; no audio is found in any
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
      {"empty", "", ""},
      {"one byte", "\xFF", ""},
      {"random bytes", randomBytes(64 * 1024, 1), ""},
      {"random bytes 2", randomBytes(300 * 1024, 2), ""},
      {"tag only", tag, "Title"},
      {"tag cut short", tag.substr(0, tag.size() / 2), "Title"},
      {"tag and a frame header", tag + audio.substr(0, 4), "Title"},
      {"huge tag claimed", hugeTag + audio.substr(0, 100), ""},
      {"text", std::string(5000, 'a'), ""},
      {"id3v1 only", fixture::id3v1Tag("t", "a", "b", 1, 1), "t"},
  };
}

// Without an audio frame there are no audio properties; the tags, where there are any, are the
// file's all the same.
TEST_F(TagLibComponentTest, BrokenFilesGiveTheirTagsAtMostAndCrashNothing) {
  for (const BrokenCase& broken : brokenFiles()) {
    SCOPED_TRACE(broken.name);
    const std::string path = file("broken.mp3");
    fixture::writeFile(path, broken.bytes);
    EXPECT_EQ(mp3.read(path), *broken.title != '\0');
    EXPECT_EQ(mp3.title(), broken.title);
    EXPECT_EQ(mp3.bitrate(), 0);
    EXPECT_EQ(mp3.duration(), 0);
    const SongInfo info = readThroughReader(path);
    EXPECT_EQ(info.Title, *broken.title ? broken.title : "Unknown");
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
