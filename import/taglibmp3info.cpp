#include "taglibmp3info.h"

#include <fcntl.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include <taglib/apetag.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegheader.h>
#include <taglib/mpegproperties.h>
#include <taglib/tag.h>
#include <taglib/textidentificationframe.h>

#include "filecheck.h"
#include "id3v2mend.h"
#include "mpegframes.h"
#include "genrereference.h"
#include "readonlystream.h"

namespace importer {

namespace {
template <typename> struct ArgumentOf;
template <typename R, typename C, typename A>
struct ArgumentOf<R (C::*)(A) const> {
  using type = A;
};
}  // namespace

// TagLib parses the frames inside chapter (CHAP) and table of contents (CTOC) frames, and the
// frames inside those, with no limit on the depth: some twenty thousand nested chapters in a
// 650 KB tag exhaust the stack. The import reads nothing from them, so they stay unparsed, kept
// as unknown frames.
class FlatFrameFactory final : public TagLib::ID3v2::FrameFactory {
  // TagLib keeps the frame header type to itself and its factories; it is named here through
  // the function that receives it.
  using HeaderPointer = ArgumentOf<decltype(&FlatFrameFactory::updateFrame)>::type;

 public:
  FlatFrameFactory() = default;

 protected:
  bool updateFrame(HeaderPointer header) const override {
    const bool updated = FrameFactory::updateFrame(header);
    const TagLib::ByteVector id = header->frameID();
    if (id == "CHAP" || id == "CTOC") return false;
    return updated;
  }
};

namespace {

// Room for the frame header, the largest side information, a Xing header with every optional
// field and the start of the LAME extension.
constexpr std::size_t kVbrProbeBytes = 192;

constexpr std::size_t kFrameHeaderBytes = 4;
constexpr std::size_t kVbriOffset = kFrameHeaderBytes + 32;

std::string_view trimWhiteSpace(std::string_view s) {
  constexpr std::string_view kWhite = " \t\r\n";
  const auto first = s.find_first_not_of(kWhite);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kWhite) - first + 1);
}

// A bare genre reference ("17", "RX"): the genre name, or empty when `ref` is no reference or
// a number no genre has.
std::string referencedGenre(std::string_view ref) {
  if (!isGenreReference(ref)) return {};
  if (ref == "RX") return "Remix";
  if (ref == "CR") return "Cover";
  int number = 0;
  std::from_chars(ref.data(), ref.data() + ref.size(), number);
  return utf8Text(TagLib::ID3v1::genre(number));
}

// The genre from the ID3v2 genre frame's own values; empty when there is none. While parsing,
// TagLib turns "(17)Rock" into "Rock", "(17)" into "17" and "(2) Country" into the two values
// "2" and " Country", which its merged genre text gives as "Country  Country"; so references are
// resolved here, values trimmed and repeats dropped.
std::string id3v2Genre(TagLib::ID3v2::Tag& tag) {
  std::vector<std::string> names;
  for (TagLib::ID3v2::Frame* frame : tag.frameList("TCON")) {
    const auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frame);
    if (!text) continue;
    for (const TagLib::String& field : text->fieldList()) {
      const std::string value = utf8Text(field);
      const std::string_view trimmed = trimWhiteSpace(value);
      if (trimmed.empty()) continue;
      std::string name = referencedGenre(trimmed);
      names.push_back(name.empty() ? std::string(trimmed) : std::move(name));
    }
  }
  std::string joined;
  std::vector<std::string_view> seen;
  for (const std::string& name : names) {
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
    seen.push_back(name);
    if (!joined.empty()) joined += " / ";
    joined += name;
  }
  return joined;
}

// The values of the first ID3v2 text frame `id`, joined with " / " where it holds several (as
// genres are; TagLib joins them with a blank); empty when there is none.
std::string id3v2Text(TagLib::ID3v2::Tag& tag, const char* id) {
  const TagLib::ID3v2::FrameList& frames = tag.frameList(id);
  if (frames.isEmpty()) return {};
  const auto* text = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frames.front());
  if (!text) return utf8Text(frames.front()->toString());
  std::string joined;
  for (const TagLib::String& field : text->fieldList()) {
    const std::string value = utf8Text(field);
    if (value.empty()) continue;
    if (!joined.empty()) joined += " / ";
    joined += value;
  }
  return joined;
}

// The raw text of the ID3v2 track frame ("03/12", "7", "12a"); empty when there is none. Of a
// frame with several values only the first counts: TagLib's own text joins them with a blank,
// which would make "3" and "12" track 312.
std::string id3v2Track(TagLib::ID3v2::Tag& tag) {
  const TagLib::ID3v2::FrameList& frames = tag.frameList("TRCK");
  if (frames.isEmpty()) return {};
  const auto* text = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frames.front());
  if (!text) return utf8Text(frames.front()->toString());
  const TagLib::StringList values = text->fieldList();
  return values.isEmpty() ? std::string() : utf8Text(values.front());
}

bool isPrintableAscii(unsigned char c) { return c >= 0x20 && c < 0x7F; }

enum class VbrHeader { None, Xing, Info, Vbri };

// The header a first frame holds, and where a Xing or Info one begins.
VbrHeader vbrHeaderIn(const unsigned char* frame, std::size_t size, std::size_t* xing = nullptr) {
  if (size < kFrameHeaderBytes || frame[0] != 0xFF || (frame[1] & 0xE0) != 0xE0)
    return VbrHeader::None;
  auto tagAt = [&](std::size_t offset, const char* tag) {
    return offset + 4 <= size && std::memcmp(frame + offset, tag, 4) == 0;
  };

  const int version = (frame[1] >> 3) & 0x03;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const bool mono = ((frame[3] >> 6) & 0x03) == 3;
  std::size_t sideInfo = 0;
  if (version == 3) sideInfo = mono ? 17 : 32;
  else sideInfo = mono ? 9 : 17;
  const std::size_t xingOffset = kFrameHeaderBytes + sideInfo;
  if (xing) *xing = xingOffset;

  if (tagAt(kVbriOffset, "VBRI")) return VbrHeader::Vbri;
  if (tagAt(xingOffset, "Info")) return VbrHeader::Info;
  if (tagAt(xingOffset, "Xing")) return VbrHeader::Xing;
  return VbrHeader::None;
}

// The bit rate named in the header of the first frame that holds sound: after a frame holding a
// Xing, Info or VBRI header, the next one's, unless that is no header of the same MPEG version
// and layer. 0 when the header used names none (free format).
int firstSoundFrameBitrate(TagLib::File& file, long firstFrame, bool headerFrame) {
  const TagLib::MPEG::Header first(&file, firstFrame, false);
  if (!first.isValid()) return 0;
  if (headerFrame) {
    const TagLib::MPEG::Header next(&file, firstFrame + first.frameLength(), false);
    if (next.isValid() && next.version() == first.version() && next.layer() == first.layer())
      return next.bitrate();
  }
  return first.bitrate();
}

}  // namespace

std::string utf8Text(const TagLib::String& text) {
  std::string out = text.to8Bit(true);
  if (const auto nul = out.find('\0'); nul != std::string::npos) out.resize(nul);
  return out;
}

bool frameAnnouncesVbr(const unsigned char* frame, std::size_t size) {
  std::size_t xing = 0;
  const VbrHeader header = vbrHeaderIn(frame, size, &xing);
  if (header != VbrHeader::Xing) return header == VbrHeader::Vbri;

  // The LAME extension follows the Xing fields that the flags say are present.
  if (xing + 8 > size) return true;
  const unsigned flags = frame[xing + 7];
  std::size_t lame = xing + 8;
  if (flags & 0x01) lame += 4;    // frame count
  if (flags & 0x02) lame += 4;    // byte count
  if (flags & 0x04) lame += 100;  // seek table
  if (flags & 0x08) lame += 4;    // quality
  // Encoder name (9 bytes, such as "LAME3.100" or "Lavc58.91"), then revision and method.
  if (lame + 10 > size) return true;
  if (!std::all_of(frame + lame, frame + lame + 4, isPrintableAscii)) return true;
  const int method = frame[lame + 9] & 0x0F;
  return method != 1 && method != 8;
}

void TagLibMp3Info::clear() {
  m_title.clear();
  m_artist.clear();
  m_album.clear();
  m_track.clear();
  m_genre.clear();
  m_bitrate = 0;
  m_duration = 0;
  m_vbr = false;
  m_identity.reset();
}

bool TagLibMp3Info::read(const std::string& path) { return readAt(AT_FDCWD, path, path, {}); }

bool TagLibMp3Info::readAt(int folderFd, const std::string& name, const std::string& path,
                           OpenFile open) {
  clear();
  bool readable = false;
  try {
    readable = m_stream->openAt(folderFd, name, path, open) && readOpenFile();
  } catch (...) {
    m_stream->close();
    clear();
    throw;
  }
  m_stream->close();
  if (!readable) clear();
  return readable;
}

bool TagLibMp3Info::readOpenFile() {
  const FileCheck check = checkForTagLib(*m_stream);
  if (!check.tagsFit) return false;
  // Where no audio frame is found (none at all, only free-format ones, or the last one out of
  // reach), the tags are still the file's: they are read without the audio properties. But
  // TagLib looks for an ID3v2 tag until it meets one or an audio frame, through the whole file
  // if need be: only a file in which the check met one of them, and so counted the tag's frames,
  // or no longer than the check looked through, is left to it.
  if (!check.audioFound && !check.startFound && m_stream->length() > kAudioSearchBytes)
    return false;
  TagLib::MPEG::File file(m_stream.get(), m_frameFactory.get(), check.audioFound,
                          TagLib::AudioProperties::Average);
  if (!file.isValid()) return false;
  readTags(file, check);
  if (!check.audioFound) {
    const bool anyText = !m_title.empty() || !m_artist.empty() || !m_album.empty() ||
                         !m_track.empty() || !m_genre.empty();
    return anyText && !m_stream->scanLimitReached();
  }

  const TagLib::MPEG::Properties* properties = file.audioProperties();
  if (!properties) return false;
  const long firstFrame = file.firstFrameOffset();
  if (firstFrame < 0) return false;
  m_bitrate = properties->bitrate();
  m_duration = properties->lengthInSeconds();

  file.seek(firstFrame);
  const TagLib::ByteVector head = file.readBlock(kVbrProbeBytes);
  const auto* headBytes = reinterpret_cast<const unsigned char*>(head.data());
  const VbrHeader header = vbrHeaderIn(headBytes, head.size());
  m_vbr = frameAnnouncesVbr(headBytes, head.size());
  if (header == VbrHeader::None) measureFramesWithoutHeader(file, firstFrame);
  // From an Info or Xing header's byte count, which includes the header's own frame, TagLib
  // works out 193 kbit/s for a file of 192; a constant rate is the one its frames name.
  if (!m_vbr) {
    if (const int nominal =
            firstSoundFrameBitrate(file, firstFrame, header != VbrHeader::None);
        nominal > 0)
      m_bitrate = nominal;
  }
  // TagLib looked for a frame through more of the file than any sound one makes it read.
  if (m_stream->scanLimitReached()) return false;
  // Its few reads are not TagLib's search for frames: they do not count against its limit.
  m_identity = importer::audioIdentity(*m_stream, firstFrame);
  return true;
}

void TagLibMp3Info::readTags(TagLib::MPEG::File& file, const FileCheck& check) {
  // Where TagLib misreads the ID3v2 tag, it is read again as it was written.
  std::unique_ptr<TagLib::ID3v2::Tag> asWritten;
  TagLib::ID3v2::Tag* id3v2 = file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr;
  if (check.id3v2Misread && check.id3v2Offset >= 0) {
    asWritten = readId3v2AsWritten(*m_stream, check.id3v2Offset, *m_frameFactory);
    // A writer may have broken the rules the other way, where TagLib happens to read it right.
    if (asWritten && (!id3v2 || asWritten->frameList().size() >= id3v2->frameList().size()))
      id3v2 = asWritten.get();
  }
  // A text comes from the first of the ID3v2, APE and ID3v1 tags that has it, as TagLib's merged
  // tag gives it.
  const TagLib::Tag* others[] = {file.hasAPETag() ? file.APETag() : nullptr,
                                 file.hasID3v1Tag() ? file.ID3v1Tag() : nullptr};
  const auto text = [&](const char* id, TagLib::String (TagLib::Tag::*get)() const) {
    std::string value = id3v2 ? id3v2Text(*id3v2, id) : std::string();
    for (const TagLib::Tag* other : others)
      if (value.empty() && other) value = utf8Text((other->*get)());
    return value;
  };
  m_title = text("TIT2", &TagLib::Tag::title);
  m_artist = text("TPE1", &TagLib::Tag::artist);
  m_album = text("TALB", &TagLib::Tag::album);
  if (id3v2) {
    m_track = id3v2Track(*id3v2);
    m_genre = id3v2Genre(*id3v2);
  }
  const TagLib::Tag* tag = file.tag();
  if (tag && m_track.find_first_not_of(" \t") == std::string::npos) {
    const unsigned number = tag->track();
    m_track = number ? std::to_string(number) : std::string();
  }
  if (tag && m_genre.empty()) m_genre = utf8Text(tag->genre());
}

// Without a Xing, Info or VBRI frame TagLib takes the first frame's bit rate for the whole
// file. That holds when a few stretches of frames across the file share it; otherwise every
// frame is counted, for the length of the frames and their average rate.
void TagLibMp3Info::measureFramesWithoutHeader(TagLib::MPEG::File& file, long firstFrame) {
  const long lastFrame = file.lastFrameOffset();
  if (lastFrame < firstFrame) return;
  const TagLib::MPEG::Header last(&file, lastFrame, false);
  const long end = lastFrame + (last.isValid() ? last.frameLength() : 0);
  if (sampledFramesShareOneRate(*m_stream, firstFrame, end)) return;
  const FrameTotals totals = countFrames(*m_stream, firstFrame, end);
  if (!totals.complete || totals.samples <= 0 || totals.sampleRate <= 0) return;
  const double milliseconds = static_cast<double>(totals.samples) * 1000.0 / totals.sampleRate;
  m_vbr = true;
  m_duration = static_cast<int>(milliseconds / 1000.0);
  m_bitrate = static_cast<int>(static_cast<double>(totals.bytes) * 8.0 / milliseconds + 0.5);
}

TagLibMp3Info::TagLibMp3Info()
    : m_stream(std::make_unique<ReadOnlyStream>()),
      m_frameFactory(std::make_unique<FlatFrameFactory>()) {
  m_stream->setScanLimit(kMaxScanBytes);
}

TagLibMp3Info::~TagLibMp3Info() = default;

std::unique_ptr<Mp3Info> createTagLibMp3Info() { return std::make_unique<TagLibMp3Info>(); }

}  // namespace importer
