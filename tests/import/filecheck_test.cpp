#include "import/filecheck.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegheader.h>
#include <taglib/tbytevectorstream.h>

#include "import/taglibmp3info.h"
#include "mp3fixture.h"
#include "support/tempdir.h"

namespace importer {
namespace {

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string repeat(const std::string& s, std::size_t times) {
  std::string out;
  out.reserve(s.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

// Every second and third header byte, against TagLib's own reading of the header.
TEST(MpegFrameLengthTest, AgreesWithTagLib) {
  TagLib::ByteVectorStream stream(TagLib::ByteVector(4, '\0'));
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  TagLib::ByteVector& data = *stream.data();
  int frames = 0;
  for (int second = 0; second < 256; ++second) {
    for (int third = 0; third < 256; ++third) {
      const unsigned char header[4] = {0xFF, static_cast<unsigned char>(second),
                                       static_cast<unsigned char>(third), 0xC0};
      for (int i = 0; i < 4; ++i) data[i] = static_cast<char>(header[i]);
      const TagLib::MPEG::Header parsed(&file, 0, false);
      // TagLib never takes 0xFF 0xFF for the start of a frame, whatever the rest says.
      const int expected = parsed.isValid() && second != 0xFF ? parsed.frameLength() : 0;
      ASSERT_EQ(mpegFrameLength(header), expected)
          << "second byte " << second << ", third " << third;
      frames += expected > 0;
    }
  }
  EXPECT_EQ(
      frames,
      17 * 168);  // sync, version, layer and CRC bit; bit rate, sample rate, padding, private bit
  const unsigned char mpeg1Layer3[] = {0xFF, 0xFB, 0x90, 0x00};  // 128 kbit/s, 44100 Hz
  EXPECT_EQ(mpegFrameLength(mpeg1Layer3), 417);
  const unsigned char notSynced[] = {0xFE, 0xFB, 0x90, 0x00};
  EXPECT_EQ(mpegFrameLength(notSynced), 0);
}

struct TagCase {
  const char* name;
  int version;
  std::uint8_t flags;  // of the tag header
  std::string before;  // ahead of the frames: an extended header
  std::string frame;   // repeated
};

std::string tagOf(const TagCase& c, std::size_t frames) {
  const std::string body = c.before + repeat(c.frame, frames) + std::string(32, '\0');
  return fixture::id3v2Header(c.version, static_cast<std::uint32_t>(body.size()), c.flags) + body;
}

std::vector<TagCase> tagCases() {
  const std::string text("\0ab", 3);  // Latin-1 "ab"
  // iTunes writes plain sizes into version 2.4 tags: 256 read as syncsafe is 128, where the
  // lower case text holds no frame id.
  const std::string plainSized =
      std::string("TIT2\0\0\x01\0\0\0", 10) + "\x03" + std::string(255, 'x');
  // Latin-1 "ÿÿ" stored unsynchronised: a NUL after each 0xFF, not counted in the frame's size.
  const std::string unsynchronised =
      std::string("TIT2\0\0\0\x03\0\0", 10) + std::string("\0\xFF\0\xFF\0", 5);
  return {
      {"2.2", 2, 0x00, "", fixture::id3v2Frame(2, "TT2", text)},
      {"2.3", 3, 0x00, "", fixture::id3v2Frame(3, "TIT2", text)},
      {"2.3 with 2.2 ids", 3, 0x00, "", fixture::id3v2Frame(3, std::string("TT2\0", 4), text)},
      {"2.3 unsynchronised", 3, 0x80, "", unsynchronised},
      {"2.4", 4, 0x00, "", fixture::id3v2Frame(4, "TIT2", text)},
      {"2.4 with an extended header", 4, 0x40, std::string("\0\0\0\x06\x01\0", 6),
       fixture::id3v2Frame(4, "TIT2", text)},
      {"2.4 with plain sizes", 4, 0x00, "", plainSized},
  };
}

class TagCountTest : public ::testing::TestWithParam<TagCase> {
 protected:
  std::string file(const std::string& name) { return (dir.path() / name).string(); }
  testsupport::TempDir dir;
};

TEST_P(TagCountTest, CountsTheFramesTagLibMakes) {
  SCOPED_TRACE(GetParam().name);
  const std::string path = file("tag.mp3");
  const std::string tag = tagOf(GetParam(), 300);
  fixture::writeMp3(path, tag);
  TagLib::MPEG::File file(path.c_str(), false);
  ASSERT_TRUE(file.hasID3v2Tag());
  const std::size_t made = file.ID3v2Tag()->frameList().size();
  EXPECT_EQ(made, 300u);
  EXPECT_EQ(countId3v2Frames(bytes(tag), bytes(tag) + 10, tag.size() - 10, 100000), made);
  EXPECT_EQ(countId3v2Frames(bytes(tag), bytes(tag) + 10, tag.size() - 10, 100), 101u);
}

TEST_P(TagCountTest, TagsOfTooManyFramesAreUnreadable) {
  SCOPED_TRACE(GetParam().name);
  const std::string path = file("many.mp3");
  TagLibMp3Info mp3;
  fixture::writeMp3(path, tagOf(GetParam(), kMaxTagEntries));
  EXPECT_TRUE(mp3.read(path));
  fixture::writeMp3(path, tagOf(GetParam(), kMaxTagEntries + 1));
  EXPECT_FALSE(mp3.read(path));
}

INSTANTIATE_TEST_SUITE_P(Table, TagCountTest, ::testing::ValuesIn(tagCases()));

TEST(FileCheckTest, FewLargeFramesRead) {
  testsupport::TempDir dir;
  const std::string path = (dir.path() / "cover.mp3").string();
  std::string picture = std::string("\0image/jpeg\0\x03\0", 14);  // Latin-1, type, front cover
  for (std::uint32_t i = 0; i < 3 * 1024 * 1024; ++i)
    picture.push_back(static_cast<char>(i * 7919 >> 3));
  const std::string body = fixture::id3v2Frame(3, "TIT2", std::string("\0Covered", 8)) +
                           fixture::id3v2Frame(3, "APIC", picture) + std::string(100, '\0');
  fixture::writeMp3(path, fixture::id3v2Header(3, static_cast<std::uint32_t>(body.size())) + body);
  TagLibMp3Info mp3;
  ASSERT_TRUE(mp3.read(path));
  EXPECT_EQ(mp3.title(), "Covered");
  EXPECT_EQ(mp3.bitrate(), 128);
}

// A version 2.3 extended header's size leaves out its own four bytes; some writers count them,
// as version 2.4 does. Walked as written, both find every frame.
TEST(Id3v2WalkTest, ExtendedHeaderOfEitherSizeIsPassedOver) {
  const std::string frames = fixture::id3v2Tag(3, {{"TIT2", {"a"}}, {"TPE1", {"b"}}}).substr(10);
  for (const std::uint32_t extendedSize : {6u, 10u}) {
    SCOPED_TRACE(extendedSize);
    const std::string body = std::string{0, 0, 0, static_cast<char>(extendedSize)} +
                             std::string(6, '\0') + frames;
    const std::string header =
        fixture::id3v2Header(3, static_cast<std::uint32_t>(body.size()), 0x40);
    const Id3v2Frames walk = walkId3v2Frames(bytes(header), bytes(body), body.size(),
                                             kMaxTagEntries, Id3v2Reading::AsWritten);
    EXPECT_EQ(walk.offsets.size(), 2u);
  }
}

struct LayoutCase {
  const char* name;
  std::string bytes;
  bool audio;         // TagLib is left to find the audio properties
  const char* title;  // what the tags give all the same
};

std::vector<LayoutCase> layouts() {
  const std::string tag = fixture::id3v2Tag(3, {{"TIT2", {"Title"}}});
  const std::string audio = fixture::mpegAudio({});
  const std::string xing = fixture::mpegAudio({.frames = 120, .header = fixture::Header::Xing});
  const std::string v1 = fixture::id3v1Tag("Old", "Band", "Disc", 1, 1);
  const std::string near(static_cast<std::size_t>(kAudioSearchBytes) - 1000, '\0');
  const std::string far(static_cast<std::size_t>(kAudioSearchBytes) + 1000, '\0');
  const std::string junk(static_cast<std::size_t>(kAudioSearchBytes) / 2, 'x');
  const std::string emptyTag = fixture::id3v2Header(4, 0);
  // A frame header with no frame of the kind behind it, and one with a frame of another kind.
  const std::string lone = std::string("\xFF\xFB\x90\x00", 4);
  const std::string at48kHz = lone + std::string(413, '\0') + std::string("\xFF\xFB\x94\x00", 4);
  const std::string bigStackedTag =
      fixture::id3v2Header(4, static_cast<std::uint32_t>(far.size())) + far;
  std::vector<std::pair<std::string, std::string>> items;
  for (std::size_t i = 0; i <= kMaxTagEntries; ++i)
    items.emplace_back("Key" + std::to_string(i), "v");
  const std::string manyItems = fixture::apeTag(items);
  const std::string tinyFrames =
      repeat(fixture::id3v2Frame(3, "TXXX", std::string(1, '\0')), kMaxTagEntries + 1);
  const std::string manyFrames =
      fixture::id3v2Header(3, static_cast<std::uint32_t>(tinyFrames.size())) + tinyFrames;
  // An APE tag whose size, in its footer, says it begins right behind the ID3v2 tag's header.
  std::string apeBeforeAudio = fixture::apeTag({{"Year", "1999"}});
  const auto apeSize = static_cast<std::uint32_t>(tag.size() + audio.size() + apeBeforeAudio.size() - 10);
  for (int i = 0; i < 4; ++i)
    apeBeforeAudio[apeBeforeAudio.size() - 20 + i] = static_cast<char>(apeSize >> (8 * i));
  std::string claimsMany = fixture::apeTag({{"Title", "From APE"}});
  claimsMany[claimsMany.size() - 13] = '\xFF';  // the item count's high byte
  return {
      {"audio right after the tag", tag + audio, true, "Title"},
      {"audio within reach after the tag", tag + near + audio, true, "Title"},
      {"audio out of reach after the tag", tag + far + audio, false, "Title"},
      {"a lone frame header, then audio out of reach", tag + lone + far + audio, false,
       "Title"},
      {"frames of two kinds, then audio out of reach", tag + at48kHz + far + audio, false,
       "Title"},
      {"no tag, audio within reach", near + audio, true, ""},
      {"no tag, audio out of reach", far + audio, false, ""},
      {"zeros only", far + far, false, ""},
      {"junk before the tag", junk + tag + audio, true, "Title"},
      {"tag out of reach", far + tag + audio, false, ""},
      {"a tag of too many frames out of reach", far + manyFrames + audio, false, ""},
      {"a big tag stacked behind the first", tag + bigStackedTag + audio, true, "Title"},
      {"tags stacked to the limit", tag + repeat(emptyTag, kMaxStackedId3v2Tags) + audio, true,
       "Title"},
      {"tags stacked past the limit", tag + repeat(emptyTag, kMaxStackedId3v2Tags + 1) + audio,
       false, ""},
      {"frames, then zeros within reach of the end", audio + near + v1, true, "Old"},
      // TagLib finds no last frame, looking back from where the APE tag claims to begin, and
      // gives no duration; but it does not look far.
      {"APE tag claiming to begin before the audio", tag + audio + apeBeforeAudio, true, "Title"},
      {"frames, then zeros out of reach of the end", audio + far + far, false, ""},
      {"frames, then zeros out of reach of an ID3v1 tag", audio + far + v1, false, "Old"},
      {"Xing frames, then zeros", tag + xing + far + far, true, "Title"},
      {"APE tag", audio + fixture::apeTag({{"Title", "From APE"}}) + v1, true, "From APE"},
      {"APE tag of too many items", audio + manyItems, false, ""},
      {"APE tag that claims more items than it holds", audio + claimsMany, true, "From APE"},
      {"APE tag of too many items before ID3v1", audio + manyItems + v1, false, ""},
  };
}

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

// Where the audio is not found quickly TagLib does not look for it, and the tags are read
// without it.
TEST_P(LayoutTest, TagLibLooksForAudioOnlyWhereItFindsItQuickly) {
  SCOPED_TRACE(GetParam().name);
  testsupport::TempDir dir;
  const std::string path = (dir.path() / "layout.mp3").string();
  fixture::writeFile(path, GetParam().bytes);
  TagLibMp3Info mp3;
  EXPECT_EQ(mp3.read(path), GetParam().audio || *GetParam().title != '\0');
  EXPECT_EQ(mp3.bitrate() > 0, GetParam().audio);
  EXPECT_EQ(mp3.title(), GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(Table, LayoutTest, ::testing::ValuesIn(layouts()));

}  // namespace
}  // namespace importer
