#include "import/filehealth.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "findingtexts.h"
#include "mp3fixture.h"
#include "support/childprocess.h"
#include "support/soundfiles.h"
#include "support/tempdir.h"

namespace importer {
namespace {

using fixture::Audio;
using fixture::Header;

std::vector<HealthFinding> check(const std::string& path, bool spectral = false) {
  const std::atomic<bool> stop{false};
  return checkFileHealth(path, HealthOptions{.spectral = spectral}, stop);
}

using findingtexts::everything;
using findingtexts::problems;

const std::size_t kFrame = 417;  // MPEG-1 Layer III, 128 kbit/s, 44100 Hz, no padding

std::string tag() { return fixture::id3v2Tag(4, {{"TIT2", {"Song"}}, {"TPE1", {"Band"}}}); }

std::string audio(const Audio& a = {}) { return fixture::mpegAudio(a); }

// The bytes of a file, with `edit` applied to its audio, which begins after tag().
struct FileCase {
  const char* name;
  std::string bytes;
  std::string problems;  // " | " between them, in the order found
  std::string detail;    // part of the first finding's detail
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

// 1,234,567
std::string grouped(std::size_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
    digits = digits.substr(0, static_cast<std::size_t>(at)) + "," + digits.substr(static_cast<std::size_t>(at));
  return digits;
}

std::string cut(std::string bytes, std::size_t drop) {
  bytes.resize(bytes.size() - drop);
  return bytes;
}

std::string overwritten(std::string bytes, std::size_t at, const std::string& with) {
  bytes.replace(at, with.size(), with);
  return bytes;
}

std::vector<FileCase> frameCases() {
  const std::size_t t = tag().size();
  const Audio xing{.frames = 120, .header = Header::Xing, .lame = fixture::Lame{}};
  const std::string withXing = tag() + audio(xing);
  const std::string plain = tag() + audio();
  return {
      {"SoundCbr", plain, "", ""},
      {"SoundWithInfoHeader",
       tag() + audio({.header = Header::Info, .lame = fixture::Lame{}}) +
           fixture::id3v1Tag("Song", "Band", "", 1, 17),
       "", ""},
      {"SoundVbrWithXing", tag() + audio({.header = Header::Xing, .bitrates = {128, 160, 320}}),
       "", ""},
      {"SoundVbrWithVbri", tag() + audio({.header = Header::Vbri, .bitrates = {128, 192}}), "",
       ""},
      // Half the frames are gone, and the last one lacks 17 bytes.
      {"CutBelowItsXingHeader", cut(withXing, 60 * kFrame + 17), "Cut short",
       "bytes of audio its Xing header promises; its last frame lacks 17 of its 417 bytes"},
      {"CutBelowItsVbriHeader",
       cut(tag() + audio({.frames = 120, .header = Header::Vbri}), 30 * kFrame), "Cut short",
       "of the"},
      {"CutBelowXingFramesAlone",
       cut(tag() + audio({.frames = 120, .header = Header::Xing, .xingFlags = 0x01}), 30 * kFrame),
       "Cut short", "90 of the 120 frames its Xing header promises (0:02 of 0:03)"},
      {"LastFrameCut", cut(plain, 100), "Cut short", "Its last frame lacks 100 of its 417 bytes"},
      // Ten bytes of frame 60's header and side information overwritten.
      {"LostSyncInTheMiddle", overwritten(plain, t + 60 * kFrame, std::string(10, '\x55')),
       "Damaged audio",
       "1 place loses sync, first at 0:01 (byte " + grouped(t + 60 * kFrame) + ")"},
      {"StrayBytesBetweenFrames",
       plain.substr(0, t + 30 * kFrame) + "garbage" + plain.substr(t + 30 * kFrame, 30 * kFrame) +
           "more garbage" + plain.substr(t + 60 * kFrame),
       "Damaged audio", "2 places lose sync, first at 0:00 (byte " +
                            grouped(t + 30 * kFrame) + ")"},
      // Side information of ones: 511 big values, more than a granule holds.
      {"FrameThatFailsToDecode", overwritten(plain, t + 40 * kFrame + 4, std::string(32, '\xFF')),
       "Damaged audio",
       "1 frame fails to decode, first at 0:01 (byte " + grouped(t + 40 * kFrame) + ")"},
      {"HeaderlessVbr", tag() + audio({.bitrates = {128, 160, 192, 320}}), "VBR without header",
       "Bit rates from 128 to 320 kbit/s (average 200) with no Xing or VBRI header"},
      {"LowConstantRate", tag() + audio({.bitrates = {96}}), "Low bit rate", "Constant 96 kbit/s"},
      {"LowVariableRate", tag() + audio({.header = Header::Xing, .bitrates = {64, 96}}),
       "Low bit rate", "Variable, averaging 80 kbit/s"},
      {"HeaderlessLowVbr", tag() + audio({.bitrates = {64, 96}}),
       "VBR without header | Low bit rate", ""},
      {"Zeros", std::string(20000, '\0'), "No audio", "No MPEG audio frame in its first 20,000"},
      {"Text", std::string(3000, 'x'), "No audio", ""},
      {"Empty", "", "No audio", "The file is empty"},
      {"TagAlone", tag(), "No audio", ""},
      // A header claiming four thousand million frames and bytes is only a number to compare.
      {"XingClaimsGigabytes",
       overwritten(withXing, t + 4 + 32 + 8, std::string(8, '\xFF')),
       "Cut short", "of the 4,294,967,295 bytes of audio its Xing header promises"},
      // An ID3v2 size past the file's end: the audio after the header is still checked.
      {"TagClaimsMoreThanTheFile",
       fixture::id3v2Header(4, 0x0FFFFFFF) + audio(), "Unreadable tag frames",
       "The ID3v2 tag claims 268,435,455 bytes, the file holds"},
  };
}

class FrameCheckTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(FrameCheckTest, FindsWhatIsWrong) {
  const testsupport::TempDir dir;
  const std::string path = dir.write("song.mp3", GetParam().bytes);
  const std::vector<HealthFinding> findings = check(path);
  EXPECT_EQ(problems(findings), GetParam().problems) << everything(findings);
  if (!GetParam().detail.empty() && !findings.empty()) {
    EXPECT_NE(findings[0].detail.find(GetParam().detail), std::string::npos)
        << everything(findings);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, FrameCheckTest, ::testing::ValuesIn(frameCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------

struct TagCase {
  const char* name;
  std::string id3v2;
  std::string id3v1;
  std::string problems;
  std::string detail;
};

std::string v2(const std::string& title, const std::string& artist, const std::string& album,
               int version = 4) {
  return fixture::id3v2Tag(version,
                           {{"TIT2", {title}}, {"TPE1", {artist}}, {"TALB", {album}}});
}

std::string v1(const std::string& title, const std::string& artist, const std::string& album) {
  return fixture::id3v1Tag(title, artist, album, 3, 17);
}

// A version 2.3 tag of one frame with content written as given.
std::string rawTag(const std::string& frames) {
  return fixture::id3v2Header(3, static_cast<std::uint32_t>(frames.size())) + frames;
}

std::vector<TagCase> tagCases() {
  const std::string longTitle = "A Title That Runs On Well Past Thirty Bytes";
  return {
      {"SameTexts", v2("Song", "Band", "Album"), v1("Song", "Band", "Album"), "", ""},
      {"CaseAndSpacesDiffer", v2("Song ", "THE BAND", "Album"), v1("song", "The Band  ", "Album"),
       "", ""},
      {"Version1CutAtThirtyBytes", v2(longTitle, "Band", "Album"),
       v1(longTitle.substr(0, 30), "Band", "Album"), "", ""},
      {"Version23Utf16", v2("Café", "Band", "Album", 3), v1("Caf\xE9", "Band", "Album"), "", ""},
      {"Version1HoldsUtf8", v2("Café", "Band", "Album"), v1("Café", "Band", "Album"), "", ""},
      {"BeyondLatin1", v2("Привет", "Band", "Album"), v1("??????", "Band", "Album"), "", ""},
      {"Version1LeftEmpty", v2("Song", "Band", "Album"), v1("", "", ""), "", ""},
      {"TitlesDisagree", v2("Song", "Band", "Album"), v1("Other Song", "Band", "Album"),
       "Tags disagree", "Title: \"Song\" in ID3v2, \"Other Song\" in ID3v1"},
      {"ShortVersion1NotCut", v2(longTitle, "Band", "Album"), v1("A Title", "Band", "Album"),
       "Tags disagree", "Title:"},
      {"ArtistAndAlbumDisagree", v2("Song", "Band", "Album"), v1("Song", "Other", "Another"),
       "Tags disagree",
       "Artist: \"Band\" in ID3v2, \"Other\" in ID3v1; Album: \"Album\" in ID3v2, \"Another\" in "
       "ID3v1"},
      {"UnknownTextEncoding",
       rawTag(fixture::id3v2Frame(3, "TIT2", std::string("\x07Song", 5)) +
              fixture::id3v2Frame(3, "TPE1", std::string("\x00" "Band", 5))),
       "", "Unreadable tag frames",
       "1 of the ID3v2.3 tag's 2 frames cannot be read, the first TIT2: unknown text encoding 7"},
      {"Utf16WithoutByteOrderMark",
       rawTag(fixture::id3v2Frame(3, "TIT2", std::string("\x01S\0o\0", 5))), "",
       "Unreadable tag frames", "TIT2: UTF-16 text without a byte order mark"},
      {"EncryptedFrame",
       rawTag(fixture::id3v2FrameHeader(3, "TIT2", 5).substr(0, 8) + std::string("\x00\x40", 2) +
              std::string("\x01\x02\x03\x04\x05", 5)),
       "", "Unreadable tag frames", "TIT2: encrypted"},
      {"FrameLargerThanTheTag",
       rawTag(fixture::id3v2Frame(3, "TPE1", std::string("\x00" "Band", 5)) +
              fixture::id3v2FrameHeader(3, "TIT2", 5000) + "tail"),
       "", "Unreadable tag frames",
       "The ID3v2.3 tag's frames stop after 1 readable frame: the frame at byte 15 is larger "
       "than the tag"},
      {"GarbageAfterTheFrames",
       rawTag(fixture::id3v2Frame(3, "TPE1", std::string("\x00" "Band", 5)) + "\x01\x02junkjunkjunk"),
       "", "Unreadable tag frames", "no frame id at byte 15"},
      {"HeaderOfAnUnknownVersion", "ID3\x09" + std::string(6, '\0'), "", "Unreadable tag frames",
       ""},
  };
}

void PrintTo(const TagCase& c, std::ostream* out) { *out << c.name; }

class TagCheckTest : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagCheckTest, ComparesAndReadsTags) {
  const testsupport::TempDir dir;
  const std::string path = dir.write("song.mp3", GetParam().id3v2 + audio() + GetParam().id3v1);
  const std::vector<HealthFinding> findings = check(path);
  EXPECT_EQ(problems(findings), GetParam().problems) << everything(findings);
  if (!GetParam().detail.empty() && !findings.empty()) {
    EXPECT_NE(findings[0].detail.find(GetParam().detail), std::string::npos)
        << everything(findings);
  }
}

INSTANTIATE_TEST_SUITE_P(Tags, TagCheckTest, ::testing::ValuesIn(tagCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------

TEST(FileHealthTest, TellsWhyAFileCannotBeRead) {
  const testsupport::TempDir dir;
  EXPECT_EQ(everything(check(dir.path("gone.mp3"))), "File missing: Not found");
  EXPECT_EQ(everything(check(dir.path("gone/song.mp3"))), "File missing: Not found");
  EXPECT_EQ(problems(check(dir.string())), "File missing");
  EXPECT_EQ(problems(check("")), "File missing");

  // A pipe in the file's place: nobody writes to it, and the check must not wait for anyone.
  const std::string pipe = dir.path("pipe.mp3");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(everything(check(pipe)), "File missing: Not a regular file");

  const std::string locked = dir.write("locked.mp3", tag() + audio());
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  testsupport::handToUnprivilegedUser(dir.path());
  testsupport::ChildProcess child(
      [&](const testsupport::Channel&) {
        EXPECT_EQ(everything(check(locked)), "File missing: Cannot be opened: Permission denied");
      },
      {.withoutRoot = true});
  EXPECT_EQ(child.wait(), 0);
}

// Files far larger than what they hold: the check reads what it must and no more.
TEST(FileHealthTest, HostileSizesCostNoMoreThanTheFile) {
  const testsupport::TempDir dir;
  // A gigabyte of nothing (a sparse file): no frame within the first megabyte, so no audio.
  const std::string sparse = dir.path("sparse.mp3");
  ASSERT_EQ(::truncate(dir.write("sparse.mp3", "").c_str(), 1L << 30), 0);
  EXPECT_EQ(everything(check(sparse)),
            "No audio: No MPEG audio frame in its first 1,048,576 bytes after the tags");

  // A tag of the largest size with its frames written out: more than a reader may keep.
  std::string frames;
  const std::string tiny = fixture::id3v2Frame(3, "PRIV", "x");
  while (frames.size() < 11 * 10000 + 100) frames += tiny;
  const std::vector<HealthFinding> many =
      check(dir.write("many.mp3", rawTag(frames) + audio()));
  EXPECT_EQ(everything(many),
            "Unreadable tag frames: The ID3v2.3 tag holds more than 10,000 frames, more than are "
            "read");
}

TEST(FileHealthTest, StopsWhenAsked) {
  const testsupport::TempDir dir;
  const std::string plain = tag() + audio({.frames = 400});
  const std::string path =
      dir.write("damaged.mp3", overwritten(plain, tag().size() + 200 * kFrame, "0123456789"));
  ASSERT_EQ(problems(check(path)), "Damaged audio");
  const std::atomic<bool> stop{true};
  EXPECT_EQ(problems(checkFileHealth(path, {}, stop)), "");
}

// Several threads at once, each file's findings the same as alone.
TEST(FileHealthTest, ChecksOnSeveralThreadsAtOnce) {
  const testsupport::TempDir dir;
  std::vector<std::string> paths;
  std::vector<std::string> alone;
  const std::vector<FileCase> cases = frameCases();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    paths.push_back(dir.write(std::to_string(i) + ".mp3", cases[i].bytes));
    alone.push_back(everything(check(paths.back())));
  }
  std::vector<std::vector<std::string>> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] {
      for (const std::string& path : paths) seen[t].push_back(everything(check(path)));
    });
  for (std::thread& thread : threads) thread.join();
  for (const auto& results : seen) EXPECT_EQ(results, alone);
}

// ---------------------------------------------------------------------------------------------

// Eight seconds of stereo sound from sox's `synth`, through its `effect` when given, encoded by
// lame.
std::string encode(const testsupport::TempDir& dir, const std::string& name,
                   const std::string& synth, const std::string& effect,
                   const std::string& lameOptions) {
  const std::string mp3 = dir.path(name + ".mp3");
  if (!testsupport::encodeSound(mp3, 8, synth, effect, lameOptions))
    ADD_FAILURE() << "sox or lame failed for " << name;
  return mp3;
}

TEST(FileHealthTest, FindsAnEncodeOfSoundWithNothingAbove16kHz) {
  const testsupport::TempDir dir;
  const std::string broad = encode(dir, "broad", "whitenoise", "", "-b 320");
  const std::string lowPassed = encode(dir, "lowpassed", "whitenoise", "sinc -16k", "-b 320");
  const std::string lowPassedVbr =
      encode(dir, "lowpassedvbr", "whitenoise", "sinc -16k", "-V 0 -b 256");
  const std::string lowRate = encode(dir, "lowrate", "whitenoise", "sinc -16k", "-b 192");
  // A sine has nothing above 16 kHz and nothing in the band below either: no sign of a filter.
  const std::string sine = encode(dir, "sine", "sine 440", "", "-b 320");

  EXPECT_EQ(everything(check(broad, true)), "");
  EXPECT_EQ(everything(check(lowPassed, false)), "");
  const std::vector<HealthFinding> found = check(lowPassed, true);
  ASSERT_EQ(problems(found), "Suspected re-encode");
  EXPECT_NE(found[0].detail.find("kHz at 320 kbit/s"), std::string::npos) << found[0].detail;
  EXPECT_EQ(found[0].detail.rfind("No sound above 16.", 0), 0u) << found[0].detail;
  EXPECT_EQ(problems(check(lowPassedVbr, true)), "Suspected re-encode");
  EXPECT_EQ(everything(check(lowRate, true)), "");
  EXPECT_EQ(everything(check(sine, true)), "");
}

}  // namespace
}  // namespace importer
