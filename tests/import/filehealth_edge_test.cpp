#include "import/filehealth.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "findingtexts.h"
#include "mp3fixture.h"
#include "support/tempdir.h"

// The edges of the per-file check: files that change or fail under it, stream kinds TagLib
// does not read, tag frames with optional bytes, and stopping part way.

namespace importer {
namespace {

constexpr std::int64_t kBlock = 256 * 1024;  // what the check reads at a time
constexpr std::size_t kFrame = 417;          // the fixture's default Layer III frame

std::vector<HealthFinding> check(const std::string& path, bool spectral = false,
                                 const ReadHook& beforeRead = {}) {
  const std::atomic<bool> stop{false};
  HealthOptions options;
  options.spectral = spectral;
  return checkFileHealthHooked(path, options, stop, beforeRead);
}

using findingtexts::everything;
using findingtexts::problems;

std::string tag() { return fixture::id3v2Tag(4, {{"TIT2", {"Song"}}, {"TPE1", {"Band"}}}); }

// Eight seconds of stereo sound from sox's `synth`, through `effect`, encoded by lame.
std::string encode(const testsupport::TempDir& dir, const std::string& name,
                   const std::string& synth, const std::string& effect,
                   const std::string& lameOptions) {
  const std::string wav = dir.path(name + ".wav");
  const std::string mp3 = dir.path(name + ".mp3");
  const std::string command = "sox -R -n -r 44100 -c 2 -b 16 '" + wav + "' synth 8 " + synth +
                              " vol 0.5 " + effect + " && lame --quiet " + lameOptions + " '" +
                              wav + "' '" + mp3 + "'";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << "failed: " << command;
  return mp3;
}

// ---------------------------------------------------------------------------------------------
// Files that change or fail while they are read

// A tagger rewrites the file while it is checked: the first frame begins just before the end of
// the first block read, so that confirming it by the frame behind it reads on into the next
// block, and the file is cut short of that first frame before the check comes back to it.
TEST(FileHealthEdgeTest, SurvivesAFileShrinkingBelowItsFirstFrame) {
  const testsupport::TempDir dir;
  const std::string start = tag() + std::string(kBlock - 200, '\0');
  const std::int64_t first = static_cast<std::int64_t>(start.size());
  const std::string bytes = start + fixture::mpegAudio({});
  const std::string path = dir.write("song.mp3", bytes);

  // The tags at the end are read first; then the block that holds the first frame, then on.
  bool readOnward = false;
  const ReadHook beforeRead = [&](std::int64_t offset) {
    if (offset > first && offset + 1024 < static_cast<std::int64_t>(bytes.size()))
      readOnward = true;
    if (offset == first && readOnward) {
      EXPECT_EQ(::truncate(path.c_str(), first), 0);
    }
    return 0;
  };
  const std::vector<HealthFinding> findings = check(path, false, beforeRead);
  ASSERT_TRUE(readOnward) << "the layout no longer makes the check read past the first frame";
  EXPECT_EQ(problems(findings), "Cut short") << everything(findings);
  ASSERT_FALSE(findings.empty());
  EXPECT_EQ(findings[0].detail.rfind("Became shorter while being checked: at most ", 0), 0u)
      << findings[0].detail;
}

TEST(FileHealthEdgeTest, ToldWhereTheDiskFailsAndWhy) {
  const testsupport::TempDir dir;
  const std::string bytes = tag() + fixture::mpegAudio({.frames = 1000});
  const std::string path = dir.write("song.mp3", bytes);
  // The disk fails from the second block of audio on; the tags at either end still read.
  std::int64_t failed = -1;
  const ReadHook beforeRead = [&](std::int64_t offset) {
    if (offset < kBlock || offset + 1024 > static_cast<std::int64_t>(bytes.size())) return 0;
    if (failed < 0) failed = offset;
    return EIO;
  };
  const std::string found = everything(check(path, false, beforeRead));
  ASSERT_GE(failed, kBlock);
  ASSERT_LT(failed, 1000000);
  char byte[16];
  std::snprintf(byte, sizeof byte, "%d,%03d", static_cast<int>(failed / 1000),
                static_cast<int>(failed % 1000));
  EXPECT_EQ(found, "Cut short: Cannot be read from byte " + std::string(byte) +
                       " on: Input/output error");
}

// A pipe or a device is looked at, never opened: opening one may wait on, or change, the
// thing behind it. inotify reports each open as it happens.
TEST(FileHealthEdgeTest, NeverOpensWhatIsNoRegularFile) {
  const testsupport::TempDir dir;
  const std::string pipe = dir.path("pipe.mp3");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, pipe.c_str(), IN_OPEN), 0);

  EXPECT_EQ(everything(check(pipe)), "File missing: Not a regular file");
  char events[4096];
  const ssize_t got = ::read(watch, events, sizeof events);
  const int error = errno;
  EXPECT_EQ(got, -1) << "the pipe was opened";
  EXPECT_EQ(error, EAGAIN);
  ::close(watch);
}

// ---------------------------------------------------------------------------------------------
// Stream kinds

// Free format: no bit rate in the header, every frame as long as the distance between two.
TEST(FileHealthEdgeTest, ReadsFreeFormatStreams) {
  const testsupport::TempDir dir;
  const std::string free = encode(dir, "free", "whitenoise", "", "--freeformat -b 320");
  EXPECT_EQ(everything(check(free)), "");

  // The same stream with the second half of its frames gone, and a damaged stretch.
  std::string bytes;
  {
    std::FILE* file = std::fopen(free.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, n);
    std::fclose(file);
  }
  const std::string half = dir.write("half.mp3", bytes.substr(0, bytes.size() / 2));
  const std::vector<HealthFinding> cut = check(half);
  ASSERT_EQ(problems(cut), "Cut short") << everything(cut);
  EXPECT_NE(cut[0].detail.find("bytes of audio its Info header promises"), std::string::npos)
      << cut[0].detail;

  std::string damagedBytes = bytes;
  damagedBytes.replace(bytes.size() / 3, 40, std::string(40, '\x55'));
  EXPECT_EQ(problems(check(dir.write("damaged.mp3", damagedBytes))), "Damaged audio");

  // Nothing but headers of one free format frame: no length to be had, so no audio.
  std::string lone = std::string("\xFF\xFB\x00\x64", 4) + std::string(5000, '\0');
  EXPECT_EQ(problems(check(dir.write("lone.mp3", lone))), "No audio");
}

// Layer I frames are counted in four-byte slots: at 384 kbit/s and 44.1 kHz a frame is 104
// slots, 416 bytes, where a byte count would give 417.
TEST(FileHealthEdgeTest, MeasuresLayerOneFramesInSlots) {
  const std::string header("\xFF\xFE\xC0\x00", 4);  // MPEG-1 Layer I with a checksum
  std::string frames;
  for (int i = 0; i < 200; ++i) frames += header + std::string(416 - 4, '\0');
  const testsupport::TempDir dir;
  EXPECT_EQ(everything(check(dir.write("layer1.mp1", tag() + frames))), "");
  // Cut within the last frame: 16 of its 416 bytes are missing.
  EXPECT_EQ(everything(check(dir.write("cut.mp1", tag() + frames.substr(0, frames.size() - 16)))),
            "Cut short: Its last frame lacks 16 of its 416 bytes");
}

// ---------------------------------------------------------------------------------------------
// Tag frames

// A frame header with its flags' second byte set to `flags`.
std::string flaggedHeader(int version, const std::string& id, std::size_t size, char flags) {
  std::string header = fixture::id3v2FrameHeader(version, id, static_cast<std::uint32_t>(size));
  header[9] = flags;
  return header;
}

std::string withTag(int version, const std::string& frames) {
  return fixture::id3v2Header(version, static_cast<std::uint32_t>(frames.size())) + frames +
         fixture::mpegAudio({});
}

// A grouping identity byte sits between the frame's header and its text; it is no encoding.
TEST(FileHealthEdgeTest, PassesOverGroupingBytes) {
  const testsupport::TempDir dir;
  const std::string v1 = fixture::id3v1Tag("Song", "Band", "", 1, 17);
  const std::string text("\x42\x00Song", 6);  // group 0x42, Latin-1, "Song"
  for (const auto& [version, flags] : {std::pair{3, '\x20'}, std::pair{4, '\x40'}}) {
    SCOPED_TRACE(version);
    const std::string frames = flaggedHeader(version, "TIT2", text.size(), flags) + text +
                               fixture::id3v2Frame(version, "TPE1", std::string("\x00" "Band", 5));
    EXPECT_EQ(everything(check(dir.write("grouped.mp3", withTag(version, frames) + v1))), "");
    // The text is read past the byte too: against another title it disagrees as "Song".
    const std::string other = fixture::id3v1Tag("Other", "Band", "", 1, 17);
    EXPECT_EQ(everything(check(dir.write("other.mp3", withTag(version, frames) + other))),
              "Tags disagree: Title: \"Song\" in ID3v2, \"Other\" in ID3v1");
  }
}

// Version 2.4 ids have four characters: three of them and a stray byte are no frame.
TEST(FileHealthEdgeTest, TellsAStrayIdFromAFrameTooLarge) {
  const testsupport::TempDir dir;
  const std::string band = fixture::id3v2Frame(4, "TPE1", std::string("\x03" "Band", 5));
  EXPECT_EQ(everything(check(dir.write("stray.mp3", withTag(4, band + "TIT\x01junkjunkjunk")))),
            "Unreadable tag frames: The ID3v2.4 tag's frames stop after 1 readable frame: no "
            "frame id at byte 15");
  EXPECT_EQ(everything(check(dir.write(
                "large.mp3", withTag(4, band + fixture::id3v2FrameHeader(4, "TIT2", 5000) + "x")))),
            "Unreadable tag frames: The ID3v2.4 tag's frames stop after 1 readable frame: the "
            "frame at byte 15 is larger than the tag");
}

// A file of tags and no audio counts the bytes searched after its tags, not the tags; a tag of
// one frame that cannot be read says so in the singular.
TEST(FileHealthEdgeTest, SaysWhatItSearchedAndWhatItCouldNotRead) {
  const testsupport::TempDir dir;
  const std::string silent = tag() + std::string(20000, '\0');
  EXPECT_EQ(everything(check(dir.write("silent.mp3", silent))),
            "No audio: No MPEG audio frame in its first 20,000 bytes after the tags");
  const std::string unknown = fixture::id3v2Frame(3, "TIT2", std::string("\x07" "Song", 5));
  EXPECT_EQ(everything(check(dir.write("one.mp3", withTag(3, unknown)))),
            "Unreadable tag frames: The ID3v2.3 tag's only frame cannot be read: TIT2: unknown "
            "text encoding 7");
}

// ---------------------------------------------------------------------------------------------
// Stopping and threads

// Asked to stop while it walks the frames (the second block read), the check reads no further
// into the audio and reports nothing of what lies beyond: not the damage near the end.
TEST(FileHealthEdgeTest, StopsPartWayThroughTheFrames) {
  const testsupport::TempDir dir;
  std::string bytes = tag() + fixture::mpegAudio({.frames = 5000});
  const std::size_t damageAt = tag().size() + 4500 * kFrame;
  bytes.replace(damageAt, 10, "0123456789");
  const std::string path = dir.write("damaged.mp3", bytes);
  ASSERT_EQ(problems(check(path)), "Damaged audio");

  std::atomic<bool> stop{false};
  std::vector<std::int64_t> afterStop;
  // The end's tags are read first; the walk's second block is the first read in the middle.
  const auto middle = [&](std::int64_t offset) {
    return offset >= kBlock && offset < static_cast<std::int64_t>(bytes.size()) / 2;
  };
  const ReadHook beforeRead = [&](std::int64_t offset) {
    if (stop) {
      afterStop.push_back(offset);
    } else if (middle(offset)) {
      stop = true;
    }
    return 0;
  };
  EXPECT_EQ(everything(checkFileHealthHooked(path, {}, stop, beforeRead)), "");
  ASSERT_TRUE(stop);
  for (std::int64_t offset : afterStop) EXPECT_LT(offset, 3 * kBlock) << "read on after stop";
}

// The re-encode analysis decodes on each thread with its own decoder: several at once find
// what each finds alone.
TEST(FileHealthEdgeTest, AnalysesTheSoundOnSeveralThreadsAtOnce) {
  const testsupport::TempDir dir;
  const std::vector<std::string> paths = {
      encode(dir, "broad", "whitenoise", "", "-b 320"),
      encode(dir, "lowpassed", "whitenoise", "sinc -16k", "-b 320"),
      encode(dir, "lowpassedvbr", "whitenoise", "sinc -16k", "-V 0 -b 256")};
  std::vector<std::string> alone;
  for (const std::string& path : paths) alone.push_back(everything(check(path, true)));
  ASSERT_EQ(problems(check(paths[1], true)), "Suspected re-encode");

  std::vector<std::vector<std::string>> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2; ++round)
        for (const std::string& path : paths)
          seen[t].push_back(everything(check(path, true)));
    });
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> twice = alone;
  twice.insert(twice.end(), alone.begin(), alone.end());
  for (const auto& results : seen) EXPECT_EQ(results, twice);
}

}  // namespace
}  // namespace importer
