// The audio identity through the TagLib component, on files written byte by byte.
#include "import/audioidentity.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "import/mp3info.h"
#include "mp3fixture.h"

namespace importer {
namespace {

using fixture::Audio;

class AudioIdentityTest : public ::testing::Test {
 protected:
  std::optional<AudioIdentity> identityOf(const std::string& id3v2, const Audio& audio,
                                          const std::string& trailing = {}) {
    const auto path = dir.path() / ("song" + std::to_string(++m_files) + ".mp3");
    fixture::writeMp3(path, id3v2, audio, trailing);
    if (!m_component->read(path.string())) return std::nullopt;
    return m_component->audioIdentity();
  }

  testsupport::TempDir dir;

 private:
  std::unique_ptr<Mp3Info> m_component = createTagLibMp3Info();
  int m_files = 0;
};

// Whatever tags surround the audio, before it or after it, in whatever order a tagger left
// them, the identity is that of the audio.
TEST_F(AudioIdentityTest, TagsBeforeOrAfterTheAudioLeaveItAsItIs) {
  const Audio audio{.frames = 150, .header = fixture::Header::Xing, .lame = fixture::Lame{}};
  const auto plain = identityOf("", audio);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->bytes, static_cast<std::int64_t>(fixture::mpegAudio(audio).size()));
  const std::string small = fixture::id3v2Tag(3, {{"TIT2", {"Song"}}});
  const std::string large =
      fixture::id3v2Tag(4, {{"TIT2", {"Another title"}}, {"TPE1", {std::string(5000, 'x')}}});
  const std::string v1 = fixture::id3v1Tag("Song", "Band", "Disc", 3, 17);
  const std::string ape = fixture::apeTag({{"Title", "Song"}, {"Artist", "Band"}});
  const std::string lyricsBody = "LYRICSBEGININD00003110";  // a Lyrics3 v2 tag: one field
  const std::string lyrics = lyricsBody + "0000" + std::to_string(lyricsBody.size()) + "LYRICS200";
  for (const auto& [id3v2, trailing] : {std::pair{small, std::string()}, {large, v1},
                                        {small, ape}, {large, ape + v1}, {small, lyrics + v1}})
    EXPECT_EQ(identityOf(id3v2, audio, trailing), plain);
}

// Different audio: another length, other frames of the same length, another header.
TEST_F(AudioIdentityTest, DifferentAudioHasAnotherIdentity) {
  const auto base = identityOf("", Audio{.frames = 150});
  ASSERT_TRUE(base);
  EXPECT_NE(identityOf("", Audio{.frames = 151}), base);
  // The same length in bytes, other frames: pairs of 64 and 192 kbit/s frames take as many
  // bytes as two of 128.
  const auto mixed = identityOf("", Audio{.frames = 150, .bitrates = {64, 192}});
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->bytes, base->bytes);
  EXPECT_NE(mixed, base);
  EXPECT_NE(identityOf("", Audio{.frames = 150, .header = fixture::Header::Info}), base);
  // A longer file is read in stretches: one that differs only in its middle differs too.
  std::vector<int> rates(2000, 128);
  rates[1000] = 64;
  rates[1001] = 192;
  const auto longer = identityOf("", Audio{.frames = 2000});
  const auto middle = identityOf("", Audio{.frames = 2000, .bitrates = rates});
  ASSERT_TRUE(longer && middle);
  EXPECT_EQ(longer->bytes, middle->bytes);
  EXPECT_NE(longer, middle);
}

// A file in which no audio is found has no identity; its tags may still be read.
TEST_F(AudioIdentityTest, NoAudioNoIdentity) {
  EXPECT_EQ(identityOf(fixture::id3v2Tag(4, {{"TIT2", {"Only a tag"}}}), Audio{.frames = 0}),
            std::nullopt);
}

}  // namespace
}  // namespace importer
