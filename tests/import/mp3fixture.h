#pragma once

// Writes small MP3 files byte by byte: ID3v2.3/2.4 and ID3v1 tags around MPEG audio frames
// whose first frame may carry a Xing, Info or VBRI header.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/tempdir.h"


namespace fixture {

// One ID3v2 text frame: its id ("TIT2") and its values (UTF-8; more than one for a list).
struct TextFrame {
  std::string id;
  std::vector<std::string> values;
};

// An ID3v2 tag. Version 3 writes texts as UTF-16 with a byte order mark, version 4 as UTF-8.
std::string id3v2Tag(int version, const std::vector<TextFrame>& frames);

// The ten bytes that begin an ID3v2 tag of `size` bytes (not counting these ten).
std::string id3v2Header(int version, std::uint32_t size, std::uint8_t flags = 0);

// The header of an ID3v2 frame of `size` bytes: version 2 writes three-byte ids and sizes,
// version 3 plain 32-bit sizes, version 4 syncsafe ones.
std::string id3v2FrameHeader(int version, const std::string& id, std::uint32_t size);

// A whole ID3v2 frame.
std::string id3v2Frame(int version, const std::string& id, const std::string& content);

// An ID3v1.1 tag (128 bytes); track 0 writes an ID3v1.0 comment without a track byte.
std::string id3v1Tag(const std::string& title, const std::string& artist,
                     const std::string& album, int track, int genre);

// An APE tag (version 2, with a footer and no header) of text items: key and value.
std::string apeTag(const std::vector<std::pair<std::string, std::string>>& items);

enum class Header {
  None,  // audio frames only
  Xing,  // "Xing"
  Info,  // "Info", as LAME writes into constant bit rate files
  Vbri,  // Fraunhofer "VBRI"
};

// LAME's extension after a Xing or Info header: the encoder's name (9 bytes, cut or padded with
// NULs) and the bit rate method (1 and 8 are constant bit rate).
struct Lame {
  std::string encoder = "LAME3.100";
  int method = 0;
};

enum class Mpeg { Version1Stereo, Version1Mono, Version2Stereo, Version2Mono };

struct Audio {
  int frames = 120;  // audio frames, not counting the header frame
  Header header = Header::None;
  Mpeg mpeg = Mpeg::Version1Stereo;
  // The optional Xing fields present: frame count 1, byte count 2, seek table 4, quality 8.
  std::uint32_t xingFlags = 0x0F;
  std::optional<Lame> lame = std::nullopt;  // after a Xing or Info header
  // The audio frames' bit rates in kbit/s, one frame after another and round again; none: 128
  // for MPEG-1, 64 for MPEG-2.
  std::vector<int> bitrates = {};
  // 44100, 48000 or 32000 for MPEG-1, half as much for MPEG-2; 0: 44100 or 22050.
  int sampleRate = 0;
};

// Layer III frames without padding: by default MPEG-1 at 128 kbit/s and 44100 Hz (417-byte
// frames), or MPEG-2 at 64 kbit/s and 22050 Hz (208-byte frames). With a header, one more frame
// comes first, at the first audio frame's bit rate or, as LAME does when the header would not
// fit in that, the lowest one it fits in. A Xing or VBRI byte count includes that frame, as
// LAME's does; the frame count does not.
std::string mpegAudio(const Audio& audio);

// Bytes of one frame of the given kind at the default rates (header only, zeros after it).
std::size_t frameLength(Mpeg mpeg);

// Bytes of one Layer III frame without padding at `bitrate` kbit/s and `sampleRate` Hz.
std::size_t frameLength(Mpeg mpeg, int bitrate, int sampleRate);

// The bytes of the audio frames mpegAudio() writes, not counting a header frame.
std::size_t audioBytes(const Audio& audio);

using testsupport::writeFile;

// A complete file: optional ID3v2 tag, audio, optional ID3v1 tag.
void writeMp3(const std::filesystem::path& path, const std::string& id3v2,
              const Audio& audio = {}, const std::string& id3v1 = {});

}  // namespace fixture
