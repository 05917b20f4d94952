#include "filehealth.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>

#include <kiss_fftr.h>
#include <mpg123.h>

#include "engine/utf8.h"
#include "filecheck.h"
#include "mpegframes.h"

namespace importer {

namespace {

using std::int64_t;

// Reads as `cat` does: large blocks, front to back, so that the check keeps up with the disk.
constexpr std::size_t kBlockBytes = 256 * 1024;
// A tag larger than this is passed over unchecked rather than held in memory (cover images of
// a few megabytes are common; a quarter-gigabyte tag is not).
constexpr int64_t kMostCheckedTagBytes = 32 * 1024 * 1024;
constexpr std::size_t kId3v1Bytes = 128;
constexpr std::size_t kId3v1FieldBytes = 30;
// How often the byte-by-byte search for the next frame looks at `stop`.
constexpr int64_t kStopPollBytes = 64 * 1024;
// Values shown in a detail are cut to this many characters.
constexpr std::size_t kShownCharacters = 60;

// ---------------------------------------------------------------------------------------------
// Texts

std::string thousands(int64_t value) {
  const std::string digits = std::to_string(value < 0 ? -value : value);
  std::string text = value < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

// 1:02, or 1:02:03 from an hour on.
std::string timeText(double seconds) {
  const auto whole = static_cast<int64_t>(std::max(0.0, seconds));
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(whole / 3600),
                  static_cast<int>(whole / 60 % 60), static_cast<int>(whole % 60));
  else
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(whole / 60),
                  static_cast<int>(whole % 60));
  return text;
}

std::string counted(int64_t count, const char* one, const char* many) {
  return thousands(count) + " " + (count == 1 ? one : many);
}

// A tag value as a detail shows it: in quotes, control characters as spaces, cut when long.
std::string shown(const std::u32string& text) {
  std::string out = "\"";
  std::size_t n = 0;
  for (char32_t c : text) {
    if (++n > kShownCharacters) {
      out += "…";
      break;
    }
    engine::appendUtf8(out, c < 0x20 || c == 0x7F ? U' ' : c);
  }
  return out + "\"";
}

// ---------------------------------------------------------------------------------------------
// Reading

// The file's bytes front to back in large blocks; a look back (rare) reads on its own.
class FileBytes {
 public:
  FileBytes(int fd, int64_t size, const ReadHook& beforeRead)
      : m_fd(fd), m_size(size), m_buffer(kBlockBytes), m_beforeRead(beforeRead) {}

  int64_t size() const { return m_size; }
  // Where a read failed (the file shrank or the disk gave an error), -1 while none has; the
  // error is 0 when the file shrank.
  int64_t failedAt() const { return m_failedAt; }
  int error() const { return m_error; }

  // The `count` bytes at `offset`, or null when they are not all there. Valid until the next
  // call.
  const unsigned char* at(int64_t offset, std::size_t count) {
    if (offset < 0 || offset + static_cast<int64_t>(count) > m_size) return nullptr;
    if (offset >= m_start && offset + static_cast<int64_t>(count) <= m_start + m_filled)
      return m_buffer.data() + (offset - m_start);
    if (offset < m_start) return aside(offset, count);
    // Keep what is already here from `offset` on, then read on behind it.
    if (offset < m_start + m_filled) {
      const auto kept = static_cast<std::size_t>(m_start + m_filled - offset);
      std::memmove(m_buffer.data(), m_buffer.data() + (offset - m_start), kept);
      m_filled = static_cast<int64_t>(kept);
    } else {
      m_filled = 0;
    }
    m_start = offset;
    if (m_buffer.size() < count) m_buffer.resize(count);
    while (m_filled < static_cast<int64_t>(count)) {
      const int64_t at = m_start + m_filled;
      const std::size_t want =
          static_cast<std::size_t>(std::min<int64_t>(m_buffer.size() - m_filled, m_size - at));
      if (want == 0 || !readInto(m_buffer.data() + m_filled, want, at)) return nullptr;
      m_filled += static_cast<int64_t>(m_got);
    }
    return m_buffer.data() + (offset - m_start);
  }

  // `count` bytes at `offset` into `out`; false when they are not all there.
  bool copy(int64_t offset, std::size_t count, std::vector<unsigned char>& out) {
    // Never read past the size at the start: a read that comes short then means the file shrank.
    if (offset < 0 || offset + static_cast<int64_t>(count) > m_size) return false;
    out.resize(count);
    std::size_t done = 0;
    while (done < count) {
      if (!readInto(out.data() + done, count - done, offset + static_cast<int64_t>(done)))
        return false;
      done += m_got;
    }
    return true;
  }

 private:
  const unsigned char* aside(int64_t offset, std::size_t count) {
    return copy(offset, count, m_aside) ? m_aside.data() : nullptr;
  }

  // One read of up to `count` bytes at `offset`: false at the end or on an error.
  bool readInto(unsigned char* to, std::size_t count, int64_t offset) {
    for (;;) {
      const int injected = m_beforeRead ? m_beforeRead(offset) : 0;
      if (injected != 0) errno = injected;
      const ssize_t got = injected != 0 ? -1 : ::pread(m_fd, to, count, offset);
      if (got > 0) {
        m_got = static_cast<std::size_t>(got);
        return true;
      }
      if (got < 0 && errno == EINTR) continue;
      if (m_failedAt < 0) {
        m_failedAt = offset;
        m_error = got < 0 ? errno : 0;
      }
      return false;
    }
  }

  const int m_fd;
  const int64_t m_size;
  std::vector<unsigned char> m_buffer;
  int64_t m_start = 0;
  int64_t m_filled = 0;
  std::size_t m_got = 0;
  std::vector<unsigned char> m_aside;
  const ReadHook& m_beforeRead;
  int64_t m_failedAt = -1;
  int m_error = 0;
};

class Descriptor {
 public:
  explicit Descriptor(int fd) : m_fd(fd) {}
  ~Descriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

std::uint32_t bigEndian(const unsigned char* p, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | p[i];
  return value;
}

std::uint32_t littleEndian(const unsigned char* p, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

bool isFrameIdChar(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// ---------------------------------------------------------------------------------------------
// ID3v2

struct TagTexts {
  std::optional<std::u32string> title, artist, album;
};

// The first value of a text frame's content (encoding byte, then text).
std::optional<std::u32string> textValue(const unsigned char* data, std::size_t size) {
  if (size < 1 || data[0] > 3) return std::nullopt;
  const unsigned encoding = data[0];
  ++data;
  --size;
  std::u32string text;
  if (encoding == 0) {
    for (std::size_t i = 0; i < size && data[i] != 0; ++i) text.push_back(data[i]);
  } else if (encoding == 3) {
    std::size_t end = 0;
    while (end < size && data[end] != 0) ++end;
    text = engine::decodeUtf8(std::string_view(reinterpret_cast<const char*>(data), end));
  } else {
    bool little = false;
    std::size_t i = 0;
    if (encoding == 1) {
      if (size < 2) return std::u32string();
      if (data[0] == 0xFF && data[1] == 0xFE) little = true;
      else if (!(data[0] == 0xFE && data[1] == 0xFF)) return std::nullopt;
      i = 2;
    }
    char32_t high = 0;
    for (; i + 1 < size; i += 2) {
      const char32_t unit = little ? (data[i] | (data[i + 1] << 8)) : ((data[i] << 8) | data[i + 1]);
      if (unit == 0) break;
      if (unit >= 0xD800 && unit < 0xDC00) {
        high = unit;
        continue;
      }
      if (unit >= 0xDC00 && unit < 0xE000 && high) {
        text.push_back(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
      } else {
        text.push_back(unit >= 0xD800 && unit < 0xE000 ? U'\uFFFD' : unit);
      }
      high = 0;
    }
  }
  return text;
}

// Why a frame cannot be read, or empty.
std::string frameFault(int version, const unsigned char* id, std::size_t idLength,
                       const unsigned char* flags, const unsigned char* data, std::size_t size) {
  if (version >= 3) {
    // Encrypted frames need a key nobody has; a compressed 2.4 frame must give its length.
    const bool encrypted = version == 3 ? (flags[1] & 0x40) : (flags[1] & 0x04);
    if (encrypted) return "encrypted";
    if (version == 4 && (flags[1] & 0x08) && !(flags[1] & 0x01))
      return "compressed without its length";
  }
  if (id[0] == 'T' && !(idLength == 4 && std::memcmp(id, "TXXX", 4) == 0) &&
      !(idLength == 3 && std::memcmp(id, "TXX", 3) == 0)) {
    if (version >= 3 && (flags[1] & (version == 3 ? 0x80 : 0x08))) return {};  // compressed
    if (size < 1) return "empty";
    if (data[0] > 3 || (version < 4 && data[0] > 1))
      return "unknown text encoding " + std::to_string(data[0]);
    if (!textValue(data, size)) return "UTF-16 text without a byte order mark";
  }
  return {};
}

struct TagReport {
  int version = 0;
  int frames = 0;
  int unreadable = 0;
  std::string firstUnreadable;  // "TIT2: unknown text encoding 7"
  std::string stopped;          // why the frames stop before the tag's end
  bool tooMany = false;         // more frames than kMaxTagEntries
  TagTexts texts;
};

// The size of the last frame of a version 2.4 tag, `left` bytes from its start to the tag's end:
// syncsafe as written, or plain as iTunes writes it, the one that a frame id follows (as
// walkId3v2Frames takes it).
std::size_t lastId3v24FrameSize(const unsigned char* frame, std::size_t left) {
  const std::size_t plain = bigEndian(frame + 4, 4);
  if (std::any_of(frame + 4, frame + 8, [](unsigned char b) { return (b & 0x80) != 0; }))
    return plain;
  std::size_t syncSafe = 0;
  for (int i = 4; i < 8; ++i) syncSafe = (syncSafe << 7) | frame[i];
  const auto idAt = [&](std::size_t at) {
    return at + 4 <= left && std::all_of(frame + at, frame + at + 4, isFrameIdChar);
  };
  return syncSafe > 127 && !idAt(10 + syncSafe) && idAt(10 + plain) ? plain : syncSafe;
}

// The frames of one ID3v2 tag: `header` its ten bytes, `body` what follows.
TagReport readId3v2(const unsigned char* header, const unsigned char* body, std::size_t size) {
  TagReport report;
  report.version = header[3];
  const Id3v2Frames walk =
      walkId3v2Frames(header, body, size, kMaxTagEntries, Id3v2Reading::AsWritten);
  const unsigned char* bytes = walk.bytes();
  const bool version2 = report.version < 3;
  const std::size_t headerBytes = version2 ? 6 : 10;
  std::size_t end = 0;
  std::vector<unsigned char> frameData;
  for (std::size_t i = 0; i < walk.offsets.size(); ++i) {
    const std::size_t offset = walk.offsets[i];
    const unsigned char* frame = bytes + offset;
    const std::size_t idLength = version2 || (report.version == 3 && frame[3] == 0) ? 3 : 4;
    // The size as the walk took it: up to the next frame it found. Only the last one's is read
    // here, and the walk stopped before any frame reaching past the tag.
    std::size_t frameSize = 0;
    if (i + 1 < walk.offsets.size()) {
      frameSize = walk.offsets[i + 1] - offset - headerBytes;
    } else if (version2) {
      frameSize = bigEndian(frame + 3, 3);
    } else if (report.version == 3) {
      frameSize = bigEndian(frame + 4, 4);
    } else {
      frameSize = lastId3v24FrameSize(frame, walk.size - offset);
    }
    frameSize = std::min(frameSize, walk.size - offset - headerBytes);
    end = offset + headerBytes + frameSize;
    ++report.frames;

    const unsigned char* flags = version2 ? nullptr : frame + 8;
    const unsigned char* data = frame + headerBytes;
    std::size_t dataSize = frameSize;
    // A grouping identity byte comes before the content (2.3: after a compressed frame's
    // size, but those are passed over unread; 2.4: before everything else).
    const bool grouped = !version2 && (flags[1] & (report.version == 3 ? 0x20 : 0x40)) != 0;
    if (grouped && dataSize >= 1) {
      ++data;
      --dataSize;
    }
    if (report.version == 4) {
      // A data length indicator comes next; unsynchronisation is undone frame by frame.
      if ((flags[1] & 0x01) && dataSize >= 4) {
        data += 4;
        dataSize -= 4;
      }
      if (flags[1] & 0x02) {
        frameData.clear();
        for (std::size_t i = 0; i < dataSize; ++i) {
          frameData.push_back(data[i]);
          if (data[i] == 0xFF && i + 1 < dataSize && data[i + 1] == 0) ++i;
        }
        data = frameData.data();
        dataSize = frameData.size();
      }
    }
    const std::string fault = frameFault(report.version, frame, idLength, flags, data, dataSize);
    if (!fault.empty()) {
      if (report.unreadable++ == 0)
        report.firstUnreadable = std::string(reinterpret_cast<const char*>(frame), idLength) +
                                 ": " + fault;
      continue;
    }
    const bool compressed =
        !version2 && (flags[1] & (report.version == 3 ? 0x80 : 0x08)) != 0;
    if (compressed) continue;
    const std::string id(reinterpret_cast<const char*>(frame), idLength);
    std::optional<std::u32string>* slot = nullptr;
    if (id == "TIT2" || id == "TT2") slot = &report.texts.title;
    if (id == "TPE1" || id == "TP1") slot = &report.texts.artist;
    if (id == "TALB" || id == "TAL") slot = &report.texts.album;
    if (slot && !*slot) *slot = textValue(data, dataSize);
  }
  if (walk.overLimit) {
    report.tooMany = true;
  } else if (end < walk.size && bytes[end] != 0) {
    // Not padding: whatever is there is no frame a reader can take.
    const std::size_t left = walk.size - end;
    if (left < headerBytes)
      report.stopped = "a frame cut short at byte " + thousands(static_cast<int64_t>(end));
    else if (!std::all_of(bytes + end,
                          bytes + end + (version2 || (report.version == 3 && bytes[end + 3] == 0) ? 3 : 4),
                          isFrameIdChar))
      report.stopped = "no frame id at byte " + thousands(static_cast<int64_t>(end));
    else
      report.stopped = "the frame at byte " + thousands(static_cast<int64_t>(end)) +
                       " is larger than the tag";
  }
  return report;
}

// ---------------------------------------------------------------------------------------------
// ID3v1 against ID3v2

char32_t folded(char32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  return c;
}

std::u32string trimmed(std::u32string text) {
  const auto blank = [](char32_t c) { return c == U' ' || c == 0 || c == U'\t'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::size_t first = 0;
  while (first < text.size() && blank(text[first])) ++first;
  return text.substr(first);
}

// An ID3v1 field: Latin-1 as the format has it, or UTF-8 where a writer put that in (a cut
// sequence at the end dropped).
std::u32string id3v1Text(const unsigned char* field, bool& full) {
  std::size_t length = 0;
  while (length < kId3v1FieldBytes && field[length] != 0) ++length;
  full = length == kId3v1FieldBytes;
  std::string_view bytes(reinterpret_cast<const char*>(field), length);
  const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0; });
  if (!ascii) {
    std::size_t valid = 0;
    while (valid < bytes.size()) {
      const std::size_t n = engine::utf8SequenceLength(bytes, valid);
      if (n == 0) break;
      valid += n;
    }
    // Valid up to at most a sequence cut by the field's end.
    if (valid == bytes.size() || (full && bytes.size() - valid < 4 &&
                                  static_cast<unsigned char>(bytes[valid]) >= 0xC0))
      return trimmed(engine::decodeUtf8(bytes.substr(0, valid)));
  }
  std::u32string text;
  for (char c : bytes) text.push_back(static_cast<unsigned char>(c));
  return trimmed(text);
}

// Whether the ID3v1 field says what the ID3v2 value says, as far as 30 Latin-1 bytes can: a
// character ID3v1 cannot hold matches any, and a full field may end where the value goes on.
bool agree(const std::u32string& v1, bool v1Full, const std::u32string& v2) {
  if (v1.empty() || v2.empty()) return true;
  if (v1.size() > v2.size() || (v1.size() < v2.size() && !v1Full)) return false;
  for (std::size_t i = 0; i < v1.size(); ++i)
    if (v2[i] <= 0xFF && folded(v1[i]) != folded(v2[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Frames

struct StreamHeader {
  enum Kind { None, Xing, Info, Vbri } kind = None;
  int64_t frames = -1;  // audio frames it promises, the header's own not counted
  int64_t bytes = -1;   // bytes of audio it promises, the header's frame counted
  const char* name() const { return kind == Vbri ? "VBRI" : kind == Info ? "Info" : "Xing"; }
};

bool mpeg1(const unsigned char* h) { return ((h[1] >> 3) & 0x03) == 3; }
bool mono(const unsigned char* h) { return (h[3] >> 6) == 3; }
bool layer3(const unsigned char* h) { return ((h[1] >> 1) & 0x03) == 1; }
bool hasCrc(const unsigned char* h) { return (h[1] & 0x01) == 0; }
bool layer1(const unsigned char* h) { return ((h[1] >> 1) & 0x03) == 3; }
bool padded(const unsigned char* h) { return (h[2] & 0x02) != 0; }
bool freeFormat(const unsigned char* h) { return (h[2] >> 4) == 0; }
// Padding adds one slot: four bytes in Layer I, one in the others.
int paddingBytes(const unsigned char* h) { return padded(h) ? (layer1(h) ? 4 : 1) : 0; }

// A frame header as a decoder reads it. mpegHeader() reads as TagLib does, which the import
// must follow, but which takes no free format frame and rounds a Layer I frame's length in
// bytes rather than in four-byte slots. `freeBytes` is a free format stream's frame length
// without padding, 0 while none is known.
MpegHeader decoderHeader(const unsigned char* h, int freeBytes) {
  if (freeFormat(h)) {
    if (freeBytes <= 0) return {};
    // Any bit rate gives the rest of the header; the length is the stream's own.
    const unsigned char rated[4] = {h[0], h[1], static_cast<unsigned char>(h[2] | 0x10), h[3]};
    MpegHeader parsed = mpegHeader(rated);
    if (parsed.length == 0) return {};
    parsed.length = freeBytes + paddingBytes(h);
    parsed.bitrate = static_cast<int>(
        std::lround(static_cast<double>(freeBytes) * parsed.sampleRate / (parsed.samples * 125.0)));
    return parsed;
  }
  MpegHeader parsed = mpegHeader(h);
  if (parsed.length > 0 && layer1(h))
    parsed.length = (12000 * parsed.bitrate / parsed.sampleRate + (padded(h) ? 1 : 0)) * 4;
  return parsed;
}

// Free format frames are measured by the distance to the next header of the stream, as
// libmpg123 does; no such frame is longer than this (640 kbit/s at 32 kHz is 2,880 bytes).
constexpr int kMostFreeFormatBytes = 4096;
constexpr int kLeastFreeFormatBytes = 24;

int sideInfoBytes(const unsigned char* h) {
  return mpeg1(h) ? (mono(h) ? 17 : 32) : (mono(h) ? 9 : 17);
}

StreamHeader streamHeader(const unsigned char* frame, int length) {
  StreamHeader header;
  const auto at = [&](int offset, const char* tag) {
    return offset + 4 <= length && std::memcmp(frame + offset, tag, 4) == 0;
  };
  const int xing = 4 + sideInfoBytes(frame);
  if (at(xing, "Xing") || at(xing, "Info")) {
    header.kind = at(xing, "Info") ? StreamHeader::Info : StreamHeader::Xing;
    if (xing + 8 > length) return header;
    const std::uint32_t flags = bigEndian(frame + xing + 4, 4);
    int field = xing + 8;
    if ((flags & 0x01) && field + 4 <= length) header.frames = bigEndian(frame + field, 4);
    if (flags & 0x01) field += 4;
    if ((flags & 0x02) && field + 4 <= length) header.bytes = bigEndian(frame + field, 4);
  } else if (at(36, "VBRI") && 36 + 18 <= length) {
    header.kind = StreamHeader::Vbri;
    header.bytes = bigEndian(frame + 36 + 10, 4);
    header.frames = bigEndian(frame + 36 + 14, 4);
  }
  return header;
}

// Reads the side information of a Layer III frame bit by bit.
class Bits {
 public:
  Bits(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}
  unsigned get(int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i, ++m_at) {
      const unsigned bit =
          m_at / 8 < m_size ? (m_data[m_at / 8] >> (7 - m_at % 8)) & 1u : 0u;
      value = (value << 1) | bit;
    }
    return value;
  }

 private:
  const unsigned char* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

std::uint16_t crc16(std::uint16_t crc, const unsigned char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

// Whether a Layer III frame can be decoded as far as its header says: the checksum, when it
// has one, matches, and its side information stays within what a decoder accepts (the same
// limits libmpg123 refuses a frame for). Frames of other layers pass.
bool frameDecodable(const unsigned char* frame, int length) {
  if (!layer3(frame)) return true;
  const int side = sideInfoBytes(frame);
  const int crcBytes = hasCrc(frame) ? 2 : 0;
  if (4 + crcBytes + side > length) return false;
  const unsigned char* info = frame + 4 + crcBytes;
  if (crcBytes) {
    std::uint16_t crc = crc16(0xFFFF, frame + 2, 2);
    crc = crc16(crc, info, static_cast<std::size_t>(side));
    if (crc != bigEndian(frame + 4, 2)) return false;
  }
  const bool v1 = mpeg1(frame);
  const int channels = mono(frame) ? 1 : 2;
  Bits bits(info, static_cast<std::size_t>(side));
  const unsigned mainDataBegin = bits.get(v1 ? 9 : 8);
  bits.get(v1 ? (channels == 1 ? 5 : 3) : (channels == 1 ? 1 : 2));
  if (v1) bits.get(4 * channels);
  unsigned long mainBits = 0;
  for (int granule = 0; granule < (v1 ? 2 : 1); ++granule) {
    for (int channel = 0; channel < channels; ++channel) {
      mainBits += bits.get(12);
      if (bits.get(9) > 288) return false;  // big_values beyond the 576 lines
      bits.get(8);
      bits.get(v1 ? 4 : 9);
      if (bits.get(1)) {
        if (bits.get(2) == 0) return false;  // window switching with a normal block
        bits.get(1 + 2 * 5 + 3 * 3);
      } else {
        bits.get(3 * 5 + 4 + 3);
      }
      bits.get(v1 ? 3 : 2);
    }
  }
  const long available = static_cast<long>(mainDataBegin) + length - 4 - crcBytes - side;
  return static_cast<long>(mainBits) <= available * 8;
}

struct Place {
  int64_t count = 0;
  int64_t firstByte = -1;
  double firstSeconds = 0;
  void add(int64_t byte, double seconds) {
    if (count++ == 0) {
      firstByte = byte;
      firstSeconds = seconds;
    }
  }
};

struct AudioWalk {
  bool found = false;
  int64_t first = -1;  // where the first frame begins
  StreamHeader header;
  int64_t frames = 0;  // audio frames, the header's frame not counted
  int64_t bytes = 0;
  int64_t samples = 0;
  int sampleRate = 0;
  int minKbps = 0, maxKbps = 0;
  int64_t span = 0;  // from the first frame to the end of the last, skipped bytes counted
  Place lostSync;
  Place damaged;
  int64_t lastFrameMissing = 0;  // bytes of the last frame that are not there
  int lastFrameLength = 0;
  bool stopped = false;

  double seconds() const { return sampleRate ? static_cast<double>(samples) / sampleRate : 0; }
  bool variable() const { return minKbps != maxKbps; }
  double averageKbps() const {
    return seconds() > 0 ? static_cast<double>(bytes) * 8 / seconds() / 1000 : 0;
  }
};

class FrameWalker {
 public:
  FrameWalker(FileBytes& file, int64_t start, int64_t end, const std::atomic<bool>& stop)
      : m_file(file), m_start(start), m_end(end), m_stop(stop) {}

  AudioWalk walk() {
    AudioWalk walk;
    const int64_t first = nextFrame(m_start, std::min(m_end, m_start + kAudioSearchBytes), nullptr);
    if (first < 0) return walk;
    walk.found = true;
    walk.first = first;
    // Its bytes as nextFrame() read them: the buffer may have moved on past them since, and the
    // file may have shrunk below them.
    std::memcpy(m_reference, m_found, 4);
    walk.sampleRate = header(m_reference).sampleRate;

    int64_t offset = first;
    bool headerFrame = true;
    while (offset + 4 <= m_end) {
      if (m_stop.load(std::memory_order_relaxed)) {
        walk.stopped = true;
        break;
      }
      const unsigned char* bytes = m_file.at(offset, 4);
      if (!bytes) break;
      const MpegHeader frame =
          sameMpegStream(bytes, m_reference) ? header(bytes) : MpegHeader{};
      if (frame.length == 0) {
        const int64_t next = nextFrame(offset + 1, m_end, &walk.stopped);
        if (next < 0) break;  // what follows the last frame is no audio: not a place inside it
        walk.lostSync.add(offset, walk.seconds());
        offset = next;
        continue;
      }
      if (offset + frame.length > m_end) {
        walk.lastFrameMissing = offset + frame.length - m_end;
        walk.lastFrameLength = frame.length;
        break;
      }
      const unsigned char* whole = m_file.at(offset, static_cast<std::size_t>(frame.length));
      if (!whole) break;
      if (headerFrame) {
        headerFrame = false;
        walk.header = streamHeader(whole, frame.length);
        if (walk.header.kind != StreamHeader::None) {
          offset += frame.length;
          continue;
        }
      }
      if (!frameDecodable(whole, frame.length)) walk.damaged.add(offset, walk.seconds());
      if (walk.frames == 0 || frame.bitrate < walk.minKbps) walk.minKbps = frame.bitrate;
      if (frame.bitrate > walk.maxKbps) walk.maxKbps = frame.bitrate;
      ++walk.frames;
      walk.bytes += frame.length;
      walk.samples += frame.samples;
      offset += frame.length;
    }
    walk.span = std::min(offset, m_end) - first;
    return walk;
  }

 private:
  // Where, from `from` on and beginning before `limit`, a frame begins with the next frame of
  // the same stream right behind it, or ending where the audio ends; -1 when nowhere. Before
  // the first frame any stream will do; after it, the first frame's.
  int64_t nextFrame(int64_t from, int64_t limit, bool* stopped) {
    const bool any = stopped == nullptr;
    limit = std::min(limit, m_end - 4);
    for (int64_t offset = from; offset <= limit; ++offset) {
      if ((offset - from) % kStopPollBytes == kStopPollBytes - 1 &&
          m_stop.load(std::memory_order_relaxed)) {
        if (stopped) *stopped = true;
        return -1;
      }
      const unsigned char* h = m_file.at(offset, 4);
      if (!h) return -1;
      if (h[0] != 0xFF) continue;
      if (!any && !sameMpegStream(h, m_reference)) continue;
      // Kept, as any further read may move the buffer on.
      std::memcpy(m_found, h, 4);
      // The first free format frame tells how long all of the stream's are.
      const bool measured = any && m_freeBytes == 0 && freeFormat(m_found);
      if (measured) m_freeBytes = freeFormatBytes(offset);
      const int length = header(m_found).length;
      const int64_t next = offset + length;
      if (length > 0 && next == m_end) return offset;
      const unsigned char* following = length > 0 && next + 4 <= m_end ? m_file.at(next, 4) : nullptr;
      if (following && sameMpegStream(m_found, following) && header(following).length > 0)
        return offset;
      if (measured) m_freeBytes = 0;
    }
    return -1;
  }

  MpegHeader header(const unsigned char* h) const { return decoderHeader(h, m_freeBytes); }

  // The length without padding of the free format frame in m_found, at `offset`: up to where
  // the next header of its stream begins. 0 when none follows close enough.
  int freeFormatBytes(int64_t offset) {
    const int64_t count = std::min<int64_t>(kMostFreeFormatBytes + 4, m_end - offset);
    if (count < kLeastFreeFormatBytes + 4) return 0;
    const unsigned char* bytes = m_file.at(offset, static_cast<std::size_t>(count));
    if (!bytes) return 0;
    for (int distance = kLeastFreeFormatBytes; distance + 4 <= count; ++distance) {
      const unsigned char* h = bytes + distance;
      // Padding and the private bit may change from frame to frame; nothing else may.
      if (h[0] == 0xFF && (h[1] & 0xFE) == (m_found[1] & 0xFE) &&
          (h[2] & 0xFC) == (m_found[2] & 0xFC) && (h[3] & 0xC0) == (m_found[3] & 0xC0))
        return std::max(0, distance - paddingBytes(m_found));
    }
    return 0;
  }

  FileBytes& m_file;
  const int64_t m_start;
  const int64_t m_end;
  const std::atomic<bool>& m_stop;
  unsigned char m_reference[4] = {};
  unsigned char m_found[4] = {};  // the header of the frame nextFrame() last found
  int m_freeBytes = 0;            // a free format stream's frame length without padding
};

// ---------------------------------------------------------------------------------------------
// The sound above 16 kHz

void initMpg123() {
  static std::once_flag once;
  std::call_once(once, [] { mpg123_init(); });
}

struct Mpg123Closer {
  void operator()(mpg123_handle* handle) const noexcept {
    mpg123_close(handle);
    mpg123_delete(handle);
  }
};

struct FftCloser {
  void operator()(kiss_fftr_cfg cfg) const noexcept { kiss_fftr_free(cfg); }
};

// The audio's bytes as libmpg123 reads them: from the first frame to where the audio ends,
// so that it never sees a tag.
struct AudioSource {
  FileBytes* file = nullptr;
  int64_t at = 0;
  int64_t end = 0;
};

ssize_t readAudio(void* handle, void* out, std::size_t count) {
  auto* source = static_cast<AudioSource*>(handle);
  const std::size_t want =
      static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(count), source->end - source->at));
  if (want == 0) return 0;
  const std::size_t piece = std::min(want, kBlockBytes);
  const unsigned char* bytes = source->file->at(source->at, piece);
  if (!bytes) return -1;
  std::memcpy(out, bytes, piece);
  source->at += static_cast<int64_t>(piece);
  return static_cast<ssize_t>(piece);
}

off_t noSeek(void*, off_t, int) { return -1; }

// Within 50 dB, the band above is sound; an encoder's low-pass leaves it far below that.
constexpr double kNoSoundRatio = 1e-5;

struct Spectrum {
  bool analysed = false;
  double bandRatio = 1;  // mean power from kReencodeBandHz on against the band below
  double topHz = 0;      // the highest frequency with sound in it
};

// Decodes up to kReencodeSeconds of the audio from `first` to `end` (mixed to one channel)
// and compares the sound in the band kReencodeBandHz..kReencodeTopHz with the band below it.
Spectrum analyseSpectrum(FileBytes& file, int64_t first, int64_t end, const std::atomic<bool>& stop) {
  Spectrum result;
  initMpg123();
  int error = MPG123_OK;
  std::unique_ptr<mpg123_handle, Mpg123Closer> handle(mpg123_new(nullptr, &error));
  if (!handle) return result;
  mpg123_handle* h = handle.get();
  mpg123_param(h, MPG123_ADD_FLAGS,
               MPG123_QUIET | MPG123_FORCE_MONO | MPG123_FORCE_FLOAT | MPG123_SKIP_ID3V2 |
                   MPG123_NO_PEEK_END | MPG123_NO_FRANKENSTEIN,
               0);
  mpg123_param(h, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
  mpg123_format_none(h);
  for (long rate : {44100L, 48000L}) mpg123_format(h, rate, MPG123_MONO, MPG123_ENC_FLOAT_32);
  AudioSource source{&file, first, end};
  if (mpg123_replace_reader_handle(h, readAudio, noSeek, nullptr) != MPG123_OK ||
      mpg123_open_handle(h, &source) != MPG123_OK)
    return result;

  constexpr int kSize = 2048;
  std::unique_ptr<kiss_fftr_state, FftCloser> fft(kiss_fftr_alloc(kSize, 0, nullptr, nullptr));
  if (!fft) return result;
  std::vector<float> window(kSize);
  for (int i = 0; i < kSize; ++i)
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (kSize - 1)));
  std::vector<float> block(kSize);
  std::vector<kiss_fft_cpx> bins(kSize / 2 + 1);
  std::vector<double> power(kSize / 2 + 1, 0.0);
  int filled = 0;
  long rate = 0;
  int64_t decoded = 0;
  int blocks = 0;

  for (;;) {
    if (stop.load(std::memory_order_relaxed)) return result;
    off_t frameNumber = 0;
    unsigned char* audio = nullptr;
    std::size_t bytes = 0;
    const int rc = mpg123_decode_frame(h, &frameNumber, &audio, &bytes);
    if (rc == MPG123_NEW_FORMAT) {
      int channels = 0, encoding = 0;
      mpg123_getformat(h, &rate, &channels, &encoding);
      continue;
    }
    if (rc != MPG123_OK) break;
    if (rate == 0) continue;
    const auto* samples = reinterpret_cast<const float*>(audio);
    const std::size_t count = bytes / sizeof(float);
    for (std::size_t i = 0; i < count; ++i) {
      block[filled] = samples[i] * window[filled];
      if (++filled == kSize) {
        kiss_fftr(fft.get(), block.data(), bins.data());
        for (int b = 0; b <= kSize / 2; ++b)
          power[b] += static_cast<double>(bins[b].r) * bins[b].r +
                      static_cast<double>(bins[b].i) * bins[b].i;
        filled = 0;
        ++blocks;
      }
    }
    decoded += static_cast<int64_t>(count);
    if (decoded >= static_cast<int64_t>(kReencodeSeconds * rate)) break;
  }
  if (blocks == 0 || rate == 0) return result;

  const double binHz = static_cast<double>(rate) / kSize;
  const auto bandMean = [&](double fromHz, double toHz) {
    const int from = static_cast<int>(std::ceil(fromHz / binHz));
    const int to = std::min(kSize / 2, static_cast<int>(std::floor(toHz / binHz)));
    double sum = 0;
    for (int b = from; b <= to; ++b) sum += power[b];
    return to >= from ? sum / (to - from + 1) : 0.0;
  };
  const double below = bandMean(kReencodeBandHz - 6000, kReencodeBandHz - 1500);
  const double above = bandMean(kReencodeBandHz, kReencodeTopHz);
  result.analysed = true;
  result.bandRatio = below > 0 ? above / below : 1;
  // Where the sound ends: the top of the highest stretch of about 250 Hz below the band's top
  // that still has sound in it.
  constexpr int kStretch = 12;
  for (double to = kReencodeTopHz; to > 1000; to -= kStretch * binHz)
    if (bandMean(to - kStretch * binHz, to) > below * kNoSoundRatio) {
      result.topHz = to;
      break;
    }
  // So quiet a band below says nothing: a sine or a silence is no re-encode.
  const double all = bandMean(100, kReencodeBandHz - 1500);
  if (all <= 0 || below < all * 1e-5) result.analysed = false;
  return result;
}

// ---------------------------------------------------------------------------------------------

class HealthCheck {
 public:
  HealthCheck(const std::string& path, const HealthOptions& options, const std::atomic<bool>& stop,
              const ReadHook& beforeRead)
      : m_path(path), m_options(options), m_stop(stop), m_beforeRead(beforeRead) {}

  std::vector<HealthFinding> run() {
    try {
      check();
    } catch (const std::exception&) {
      // Out of memory, say: what was found so far stands.
    }
    return std::move(m_findings);
  }

 private:
  void add(const char* problem, std::string detail) {
    m_findings.push_back({problem, std::move(detail)});
  }

  void check() {
    if (m_path.empty() || m_path.find('\0') != std::string::npos) {
      add(health::kFileMissing, "No file name");
      return;
    }
    const auto missing = [this](int error) {
      add(health::kFileMissing, error == ENOENT || error == ENOTDIR
                                    ? std::string("Not found")
                                    : std::string("Cannot be opened: ") + std::strerror(error));
    };
    // Looked at before it is opened: opening a device can rewind a tape or wait for a modem.
    struct stat status {};
    if (::stat(m_path.c_str(), &status) != 0) {
      missing(errno);
      return;
    }
    if (!S_ISREG(status.st_mode)) {
      add(health::kFileMissing, "Not a regular file");
      return;
    }
    // Non-blocking, so that a pipe put in the file's place since cannot hold the check up.
    Descriptor fd(::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
      missing(errno);
      return;
    }
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
      add(health::kFileMissing, "Not a regular file");
      return;
    }
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    FileBytes file(fd.get(), status.st_size, m_beforeRead);

    // ID3v1 (and the APE or Lyrics3 tag before it) first: it bounds where the audio may end.
    int64_t audioEnd = file.size();
    std::vector<unsigned char> v1;
    const bool hasV1 = file.size() >= static_cast<int64_t>(kId3v1Bytes) &&
                       file.copy(file.size() - static_cast<int64_t>(kId3v1Bytes), kId3v1Bytes, v1) &&
                       std::memcmp(v1.data(), "TAG", 3) == 0;
    if (hasV1) audioEnd -= static_cast<int64_t>(kId3v1Bytes);
    audioEnd = beforeEndTags(file, audioEnd);

    const int64_t audioStart = readStartTags(file);
    if (m_stop.load(std::memory_order_relaxed)) return;
    if (hasV1 && m_v2) compareTags(v1.data());

    FrameWalker walker(file, std::min(audioStart, audioEnd), audioEnd, m_stop);
    const AudioWalk walk = walker.walk();
    if (file.failedAt() >= 0 && file.error() != 0) {
      add(health::kCutShort, "Cannot be read from byte " + thousands(file.failedAt()) + " on: " +
                                 std::strerror(file.error()));
      return;
    }
    if (file.failedAt() >= 0) {
      // Reads never go past the size the file had when it was opened.
      add(health::kCutShort, "Became shorter while being checked: at most " +
                                 thousands(file.failedAt()) + " of its " +
                                 thousands(file.size()) +
                                 " bytes are left; another program may be writing it");
      return;
    }
    if (!walk.found) {
      add(health::kNoAudio, file.size() == 0 ? std::string("The file is empty")
                                             : "No MPEG audio frame in its first " +
                                                   thousands(std::min<int64_t>(
                                                       audioEnd - std::min(audioStart, audioEnd),
                                                       kAudioSearchBytes)) +
                                                   " bytes after the tags");
      return;
    }
    if (walk.stopped) return;
    reportFrames(walk);
    if (m_options.spectral && !m_stop.load(std::memory_order_relaxed)) reencode(file, walk, audioEnd);
  }

  // Where the audio ends before an APE or Lyrics3v2 tag that ends at `end`.
  static int64_t beforeEndTags(FileBytes& file, int64_t end) {
    std::vector<unsigned char> bytes;
    if (end >= 32 && file.copy(end - 32, 32, bytes) &&
        std::memcmp(bytes.data(), "APETAGEX", 8) == 0) {
      const int64_t size = littleEndian(bytes.data() + 12, 4);
      const bool header = (littleEndian(bytes.data() + 20, 4) & 0x80000000u) != 0;
      const int64_t whole = size + (header ? 32 : 0);
      if (size >= 32 && whole <= end) end -= whole;
    }
    if (end >= 15 && file.copy(end - 15, 15, bytes) &&
        std::memcmp(bytes.data() + 6, "LYRICS200", 9) == 0 &&
        std::all_of(bytes.data(), bytes.data() + 6, [](unsigned char c) { return c >= '0' && c <= '9'; })) {
      const int64_t size = std::stoll(std::string(bytes.begin(), bytes.begin() + 6));
      if (size + 15 <= end) end -= size + 15;
    }
    return end;
  }

  // Reads the ID3v2 tag at the start (and any right behind it); where the audio may begin.
  int64_t readStartTags(FileBytes& file) {
    int64_t offset = 0;
    for (int tag = 0; tag <= kMaxStackedId3v2Tags; ++tag) {
      std::vector<unsigned char> header;
      if (!file.copy(offset, 10, header) || std::memcmp(header.data(), "ID3", 3) != 0) break;
      const bool syncSafe = std::none_of(header.begin() + 6, header.end(),
                                         [](unsigned char b) { return (b & 0x80) != 0; });
      if (header[3] < 2 || header[3] > 4 || !syncSafe) {
        if (tag == 0)
          add(health::kUnreadableTagFrames,
              "The ID3v2 tag's header is no valid version 2.2 to 2.4 header");
        return offset + 10;
      }
      const int64_t size = (int64_t{header[6]} << 21) | (int64_t{header[7]} << 14) |
                           (int64_t{header[8]} << 7) | header[9];
      const int64_t whole = 10 + size + ((header[5] & 0x10) && header[3] == 4 ? 10 : 0);
      if (offset + whole > file.size()) {
        if (tag == 0)
          add(health::kUnreadableTagFrames,
              "The ID3v2 tag claims " + thousands(size) + " bytes, the file holds " +
                  thousands(file.size() - offset - 10) + " after its header");
        return offset + 10;
      }
      if (tag == 0 && size <= kMostCheckedTagBytes) {
        std::vector<unsigned char> body;
        if (!file.copy(offset + 10, static_cast<std::size_t>(size), body)) return offset + whole;
        checkTag(header.data(), body);
      }
      offset += whole;
    }
    return offset;
  }

  void checkTag(const unsigned char* header, const std::vector<unsigned char>& body) {
    const TagReport report = readId3v2(header, body.data(), body.size());
    m_v2 = report.texts;
    std::string detail;
    const std::string tag = "ID3v2." + std::to_string(report.version);
    if (report.unreadable > 0)
      detail = report.frames == 1
                   ? "The " + tag + " tag's only frame cannot be read: " + report.firstUnreadable
                   : thousands(report.unreadable) + " of the " + tag + " tag's " +
                         counted(report.frames, "frame", "frames") + " cannot be read, the first " +
                         report.firstUnreadable;
    std::string stop;
    if (report.tooMany)
      stop = "the " + tag + " tag holds more than " +
             thousands(static_cast<int64_t>(kMaxTagEntries)) + " frames, more than are read";
    else if (!report.stopped.empty())
      stop = "the " + tag + " tag's frames stop after " +
             counted(report.frames, "readable frame", "readable frames") + ": " + report.stopped;
    if (!stop.empty()) {
      if (!detail.empty()) detail += "; ";
      detail += stop;
      detail[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(detail[0])));
    }
    if (!detail.empty()) add(health::kUnreadableTagFrames, detail);
  }

  void compareTags(const unsigned char* v1) {
    struct Field {
      const char* name;
      const unsigned char* bytes;
      const std::optional<std::u32string>& v2;
    };
    const Field fields[] = {{"Title", v1 + 3, m_v2->title},
                            {"Artist", v1 + 33, m_v2->artist},
                            {"Album", v1 + 63, m_v2->album}};
    std::string detail;
    for (const Field& field : fields) {
      if (!field.v2) continue;
      bool full = false;
      const std::u32string one = id3v1Text(field.bytes, full);
      const std::u32string two = trimmed(*field.v2);
      if (agree(one, full, two)) continue;
      if (!detail.empty()) detail += "; ";
      detail += std::string(field.name) + ": " + shown(two) + " in ID3v2, " + shown(one) +
                " in ID3v1";
    }
    if (!detail.empty()) add(health::kTagsDisagree, detail);
  }

  void reportFrames(const AudioWalk& walk) {
    // Cut short: fewer frames or bytes than the header promises, or a last frame cut.
    std::string cut;
    const StreamHeader& header = walk.header;
    const double secondsPerFrame =
        walk.frames > 0 ? walk.seconds() / static_cast<double>(walk.frames) : 0;
    if (header.bytes > 0 && walk.span < header.bytes) {
      cut = thousands(walk.span) + " of the " + thousands(header.bytes) + " bytes of audio its " +
            header.name() + " header promises";
    } else if (header.frames > 0 && walk.frames + 1 < header.frames) {
      // One frame less may be an encoder that counts its header's frame too.
      cut = thousands(walk.frames) + " of the " + thousands(header.frames) + " frames its " +
            header.name() + " header promises (" + timeText(walk.seconds()) + " of " +
            timeText(secondsPerFrame * static_cast<double>(header.frames)) + ")";
    }
    if (walk.lastFrameMissing > 0) {
      if (!cut.empty()) cut += "; ";
      cut += (cut.empty() ? "Its" : "its") + std::string(" last frame lacks ") +
             thousands(walk.lastFrameMissing) + " of its " + thousands(walk.lastFrameLength) +
             " bytes";
    }
    if (!cut.empty()) add(health::kCutShort, cut);

    std::string damage;
    if (walk.lostSync.count > 0)
      damage = counted(walk.lostSync.count, "place loses", "places lose") + " sync, first at " +
               timeText(walk.lostSync.firstSeconds) + " (byte " +
               thousands(walk.lostSync.firstByte) + ")";
    if (walk.damaged.count > 0) {
      if (!damage.empty()) damage += "; ";
      damage += counted(walk.damaged.count, "frame fails", "frames fail") +
                " to decode, first at " + timeText(walk.damaged.firstSeconds) + " (byte " +
                thousands(walk.damaged.firstByte) + ")";
    }
    if (!damage.empty()) add(health::kDamagedAudio, damage);

    if (walk.frames == 0) return;
    const long average = std::lround(walk.averageKbps());
    if (walk.variable() && header.kind == StreamHeader::None)
      add(health::kVbrWithoutHeader,
          "Bit rates from " + std::to_string(walk.minKbps) + " to " +
              std::to_string(walk.maxKbps) + " kbit/s (average " + std::to_string(average) +
              ") with no Xing or VBRI header to give the length");
    if (!walk.variable() && walk.minKbps < 128)
      add(health::kLowBitRate, "Constant " + std::to_string(walk.minKbps) + " kbit/s");
    if (walk.variable() && walk.averageKbps() < 100)
      add(health::kLowBitRate, "Variable, averaging " + std::to_string(average) + " kbit/s");
  }

  void reencode(FileBytes& file, const AudioWalk& walk, int64_t audioEnd) {
    const double nominal = walk.variable() ? walk.averageKbps() : walk.minKbps;
    if (nominal < kReencodeMinKbps || walk.sampleRate < 44100) return;
    const Spectrum spectrum = analyseSpectrum(file, walk.first, audioEnd, m_stop);
    if (!spectrum.analysed || spectrum.bandRatio >= kNoSoundRatio) return;
    char top[32];
    std::snprintf(top, sizeof top, "%.1f", spectrum.topHz / 1000);
    add(health::kSuspectedReencode,
        std::string("No sound above ") + top + " kHz at " +
            std::to_string(std::lround(nominal)) + " kbit/s" +
            (walk.variable() ? " (average)" : ""));
  }

  const std::string& m_path;
  const HealthOptions& m_options;
  const std::atomic<bool>& m_stop;
  const ReadHook& m_beforeRead;
  std::optional<TagTexts> m_v2;
  std::vector<HealthFinding> m_findings;
};

}  // namespace

std::vector<HealthFinding> checkFileHealth(const std::string& path, const HealthOptions& options,
                                           const std::atomic<bool>& stop) {
  return checkFileHealthHooked(path, options, stop, ReadHook());
}

std::vector<HealthFinding> checkFileHealthHooked(const std::string& path,
                                                 const HealthOptions& options,
                                                 const std::atomic<bool>& stop,
                                                 const ReadHook& beforeRead) {
  return HealthCheck(path, options, stop, beforeRead).run();
}

}  // namespace importer
