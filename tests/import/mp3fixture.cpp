#include "mp3fixture.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace fixture {

namespace {

void appendBigEndian(std::string& out, std::uint32_t value, int bytes = 4) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void appendSyncSafe(std::string& out, std::uint32_t value) {
  for (int shift = 21; shift >= 0; shift -= 7) out.push_back(static_cast<char>((value >> shift) & 0x7F));
}

std::u32string decodeUtf8(const std::string& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(c);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

void appendUtf16Le(std::string& out, const std::string& utf8) {
  auto unit = [&](char16_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (char32_t c : decodeUtf8(utf8)) {
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

// The four header bytes of one frame without padding or CRC.
std::string frameHeader(Mpeg mpeg) {
  const bool v1 = mpeg == Mpeg::Version1Stereo || mpeg == Mpeg::Version1Mono;
  const bool mono = mpeg == Mpeg::Version1Mono || mpeg == Mpeg::Version2Mono;
  std::string h;
  h.push_back(static_cast<char>(0xFF));
  h.push_back(static_cast<char>(v1 ? 0xFB : 0xF3));  // version, Layer III, no CRC
  h.push_back(static_cast<char>(v1 ? 0x90 : 0x80));  // 128 kbit/s @ 44100, 64 kbit/s @ 22050
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

std::string headerFrame(const Audio& audio) {
  const std::size_t length = frameLength(audio.mpeg);
  std::string frame = frameHeader(audio.mpeg);
  const auto audioBytes = static_cast<std::uint32_t>(length * static_cast<std::size_t>(audio.frames));
  const auto frames = static_cast<std::uint32_t>(audio.frames);
  if (audio.header == Header::Vbri) {
    frame.append(32, '\0');
    frame += "VBRI";
    appendBigEndian(frame, 1, 2);           // version
    appendBigEndian(frame, 0, 2);           // delay
    appendBigEndian(frame, 75, 2);          // quality
    appendBigEndian(frame, audioBytes + static_cast<std::uint32_t>(length));
    appendBigEndian(frame, frames);
    appendBigEndian(frame, 0, 2);           // seek table entries
    appendBigEndian(frame, 1, 2);           // scale
    appendBigEndian(frame, 2, 2);           // entry size
    appendBigEndian(frame, 1, 2);           // frames per entry
  } else {
    frame.append(sideInfoLength(audio.mpeg), '\0');
    frame += audio.header == Header::Info ? "Info" : "Xing";
    appendBigEndian(frame, audio.xingFlags);
    if (audio.xingFlags & 0x01) appendBigEndian(frame, frames);
    if (audio.xingFlags & 0x02) appendBigEndian(frame, audioBytes + static_cast<std::uint32_t>(length));
    if (audio.xingFlags & 0x04)
      for (int i = 0; i < 100; ++i) frame.push_back(static_cast<char>(i * 255 / 100));
    if (audio.xingFlags & 0x08) appendBigEndian(frame, 50);  // quality
    if (audio.lame) frame += lameExtension(*audio.lame);
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
  const bool v1 = mpeg == Mpeg::Version1Stereo || mpeg == Mpeg::Version1Mono;
  return v1 ? 144 * 128000 / 44100 : 72 * 64000 / 22050;
}

std::string mpegAudio(const Audio& audio) {
  std::string out;
  if (audio.header != Header::None) out += headerFrame(audio);
  std::string frame = frameHeader(audio.mpeg);
  frame.resize(frameLength(audio.mpeg), '\0');
  for (int i = 0; i < audio.frames; ++i) out += frame;
  return out;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeMp3(const std::filesystem::path& path, const std::string& id3v2, const Audio& audio,
              const std::string& id3v1) {
  writeFile(path, id3v2 + mpegAudio(audio) + id3v1);
}

}  // namespace fixture
