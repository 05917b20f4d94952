#include "mp3fixture.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "engine/utf8.h"

namespace fixture {

namespace {

void appendBigEndian(std::string& out, std::uint32_t value, int bytes = 4) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void appendSyncSafe(std::string& out, std::uint32_t value) {
  for (int shift = 21; shift >= 0; shift -= 7) out.push_back(static_cast<char>((value >> shift) & 0x7F));
}

void appendUtf16Le(std::string& out, const std::string& utf8) {
  auto unit = [&](char16_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (char32_t c : engine::decodeUtf8(utf8)) {
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(static_cast<char16_t>(0xD800 + (c >> 10)));
      unit(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      unit(static_cast<char16_t>(c));
    }
  }
}

std::string fixed(const std::string& text, std::size_t size) {
  std::string out = text.substr(0, size);
  out.resize(size, '\0');
  return out;
}

bool isMpeg1(Mpeg mpeg) { return mpeg == Mpeg::Version1Stereo || mpeg == Mpeg::Version1Mono; }

// Layer III bit rates in kbit/s by bit rate index, for MPEG-1 and for MPEG-2.
constexpr int kBitrates[2][15] = {
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};

const int* bitrateTable(Mpeg mpeg) { return kBitrates[isMpeg1(mpeg) ? 0 : 1]; }

int defaultBitrate(Mpeg mpeg) { return isMpeg1(mpeg) ? 128 : 64; }

int sampleRateOf(const Audio& audio) {
  if (audio.sampleRate != 0) return audio.sampleRate;
  return isMpeg1(audio.mpeg) ? 44100 : 22050;
}

int bitrateOfFrame(const Audio& audio, std::size_t frame) {
  if (audio.bitrates.empty()) return defaultBitrate(audio.mpeg);
  return audio.bitrates[frame % audio.bitrates.size()];
}

// The four header bytes of one Layer III frame without padding or CRC.
std::string frameHeader(Mpeg mpeg, int bitrate, int sampleRate) {
  const bool v1 = isMpeg1(mpeg);
  const bool mono = mpeg == Mpeg::Version1Mono || mpeg == Mpeg::Version2Mono;
  const int* const rates = bitrateTable(mpeg);
  const int bitrateIndex = static_cast<int>(std::find(rates + 1, rates + 15, bitrate) - rates);
  const int base = v1 ? sampleRate : sampleRate * 2;
  const int sampleRateIndex = base == 44100 ? 0 : base == 48000 ? 1 : base == 32000 ? 2 : 3;
  if (bitrateIndex == 15 || sampleRateIndex == 3)
    throw std::invalid_argument("no Layer III frame at " + std::to_string(bitrate) +
                                " kbit/s and " + std::to_string(sampleRate) + " Hz");
  std::string h;
  h.push_back(static_cast<char>(0xFF));
  h.push_back(static_cast<char>(v1 ? 0xFB : 0xF3));  // version, Layer III, no CRC
  h.push_back(static_cast<char>(bitrateIndex << 4 | sampleRateIndex << 2));
  h.push_back(static_cast<char>(mono ? 0xC0 : 0x00));
  return h;
}

std::size_t sideInfoLength(Mpeg mpeg) {
  switch (mpeg) {
    case Mpeg::Version1Stereo: return 32;
    case Mpeg::Version1Mono: return 17;
    case Mpeg::Version2Stereo: return 17;
    case Mpeg::Version2Mono: return 9;
  }
  return 32;
}

std::string lameExtension(const Lame& lame) {
  std::string ext = fixed(lame.encoder, 9);
  ext.push_back(static_cast<char>(0x00 | (lame.method & 0x0F)));  // revision 0, method
  ext.append(26, '\0');
  return ext;
}

// The first frame, holding the Xing, Info or VBRI header.
std::string headerFrame(const Audio& audio) {
  const int sampleRate = sampleRateOf(audio);
  std::string content;
  const auto audioLength = static_cast<std::uint32_t>(audioBytes(audio));
  const auto frames = static_cast<std::uint32_t>(audio.frames);
  if (audio.header == Header::Vbri) {
    content.append(32, '\0');
    content += "VBRI";
    appendBigEndian(content, 1, 2);   // version
    appendBigEndian(content, 0, 2);   // delay
    appendBigEndian(content, 75, 2);  // quality
    content.append(4, '\0');          // byte count, once the frame's length is known
    appendBigEndian(content, frames);
    appendBigEndian(content, 0, 2);  // seek table entries
    appendBigEndian(content, 1, 2);  // scale
    appendBigEndian(content, 2, 2);  // entry size
    appendBigEndian(content, 1, 2);  // frames per entry
  } else {
    content.append(sideInfoLength(audio.mpeg), '\0');
    content += audio.header == Header::Info ? "Info" : "Xing";
    appendBigEndian(content, audio.xingFlags);
    if (audio.xingFlags & 0x01) appendBigEndian(content, frames);
    if (audio.xingFlags & 0x02) content.append(4, '\0');  // byte count, as above
    if (audio.xingFlags & 0x04)
      for (int i = 0; i < 100; ++i) content.push_back(static_cast<char>(i * 255 / 100));
    if (audio.xingFlags & 0x08) appendBigEndian(content, 50);  // quality
    if (audio.lame) content += lameExtension(*audio.lame);
  }

  const int* const rates = bitrateTable(audio.mpeg);
  int bitrate = bitrateOfFrame(audio, 0);
  for (int i = 1; i < 15 && frameLength(audio.mpeg, bitrate, sampleRate) < 4 + content.size(); ++i)
    bitrate = std::max(bitrate, rates[i]);
  const std::size_t length = frameLength(audio.mpeg, bitrate, sampleRate);
  if (length < 4 + content.size()) throw std::invalid_argument("the header fits in no frame");

  std::string frame = frameHeader(audio.mpeg, bitrate, sampleRate) + content;
  const std::size_t xing = 4 + sideInfoLength(audio.mpeg) + 8 + (audio.xingFlags & 0x01 ? 4 : 0);
  const std::size_t byteCount = audio.header == Header::Vbri ? 4 + 32 + 10 : xing;
  if (audio.header == Header::Vbri || (audio.xingFlags & 0x02)) {
    std::string count;
    appendBigEndian(count, audioLength + static_cast<std::uint32_t>(length));
    frame.replace(byteCount, 4, count);
  }
  frame.resize(length, '\0');
  return frame;
}

}  // namespace

std::string id3v2Header(int version, std::uint32_t size, std::uint8_t flags) {
  std::string header = "ID3";
  header.push_back(static_cast<char>(version));
  header.push_back('\0');  // revision
  header.push_back(static_cast<char>(flags));
  appendSyncSafe(header, size);
  return header;
}

std::string id3v2FrameHeader(int version, const std::string& id, std::uint32_t size) {
  std::string header = id;
  if (version == 2) {
    appendBigEndian(header, size, 3);
    return header;
  }
  if (version == 4) appendSyncSafe(header, size);
  else appendBigEndian(header, size);
  header.append(2, '\0');  // flags
  return header;
}

std::string id3v2Frame(int version, const std::string& id, const std::string& content) {
  return id3v2FrameHeader(version, id, static_cast<std::uint32_t>(content.size())) + content;
}

std::string id3v2Tag(int version, const std::vector<TextFrame>& frames) {
  std::string body;
  for (const TextFrame& f : frames) {
    std::string content;
    if (version == 3) {
      content.push_back('\x01');  // UTF-16 with byte order mark, per value
      for (std::size_t i = 0; i < f.values.size(); ++i) {
        if (i > 0) content.append(2, '\0');
        content += "\xFF\xFE";
        appendUtf16Le(content, f.values[i]);
      }
    } else {
      content.push_back('\x03');  // UTF-8
      for (std::size_t i = 0; i < f.values.size(); ++i) {
        if (i > 0) content.push_back('\0');
        content += f.values[i];
      }
    }
    body += id3v2Frame(version, f.id, content);
  }
  body.append(64, '\0');  // padding
  return id3v2Header(version, static_cast<std::uint32_t>(body.size())) + body;
}

std::string id3v1Tag(const std::string& title, const std::string& artist,
                     const std::string& album, int track, int genre) {
  std::string tag = "TAG" + fixed(title, 30) + fixed(artist, 30) + fixed(album, 30) + "2001";
  if (track > 0) {
    tag += fixed("comment", 28);
    tag.push_back('\0');
    tag.push_back(static_cast<char>(track));
  } else {
    tag += fixed("a comment without track", 30);
  }
  tag.push_back(static_cast<char>(genre));
  return tag;
}

std::string apeTag(const std::vector<std::pair<std::string, std::string>>& items) {
  auto appendLittleEndian = [](std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
  };
  std::string body;
  for (const auto& [key, value] : items) {
    appendLittleEndian(body, static_cast<std::uint32_t>(value.size()));
    appendLittleEndian(body, 0);  // flags: UTF-8 text
    body += key;
    body.push_back('\0');
    body += value;
  }
  std::string footer = "APETAGEX";
  appendLittleEndian(footer, 2000);  // version
  appendLittleEndian(footer, static_cast<std::uint32_t>(body.size() + 32));
  appendLittleEndian(footer, static_cast<std::uint32_t>(items.size()));
  appendLittleEndian(footer, 0);  // flags: footer only
  footer.append(8, '\0');
  return body + footer;
}

std::size_t frameLength(Mpeg mpeg) {
  return frameLength(mpeg, defaultBitrate(mpeg), isMpeg1(mpeg) ? 44100 : 22050);
}

std::size_t frameLength(Mpeg mpeg, int bitrate, int sampleRate) {
  const int samples = isMpeg1(mpeg) ? 1152 : 576;
  return static_cast<std::size_t>(samples / 8 * bitrate * 1000 / sampleRate);
}

std::size_t audioBytes(const Audio& audio) {
  std::size_t bytes = 0;
  for (int i = 0; i < audio.frames; ++i)
    bytes += frameLength(audio.mpeg, bitrateOfFrame(audio, static_cast<std::size_t>(i)),
                         sampleRateOf(audio));
  return bytes;
}

std::string mpegAudio(const Audio& audio) {
  std::string out;
  if (audio.header != Header::None) out += headerFrame(audio);
  out.reserve(out.size() + audioBytes(audio));
  const int sampleRate = sampleRateOf(audio);
  for (int i = 0; i < audio.frames; ++i) {
    const int bitrate = bitrateOfFrame(audio, static_cast<std::size_t>(i));
    std::string frame = frameHeader(audio.mpeg, bitrate, sampleRate);
    frame.resize(frameLength(audio.mpeg, bitrate, sampleRate), '\0');
    out += frame;
  }
  return out;
}


void writeMp3(const std::filesystem::path& path, const std::string& id3v2, const Audio& audio,
              const std::string& id3v1) {
  writeFile(path, id3v2 + mpegAudio(audio) + id3v1);
}

}  // namespace fixture
