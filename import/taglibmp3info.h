#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "mp3info.h"

#include <taglib/mpegfile.h>

namespace TagLib {
class String;
}

namespace importer {

class FlatFrameFactory;
class ReadOnlyStream;
struct FileCheck;

// The MP3 metadata component over TagLib's MPEG file. read() gathers everything at once and
// closes the file again; the getters hand out what it gathered. Creating one cannot fail. Files
// whose tags would ask too much of TagLib (see checkForTagLib()) are unreadable; those whose
// audio it may not look for give their tags alone.
class TagLibMp3Info final : public Mp3Info {
 public:
  TagLibMp3Info();
  ~TagLibMp3Info() override;

  bool read(const std::string& path) override;
  bool readAt(int folderFd, const std::string& name, const std::string& path,
              OpenFile open) override;

  std::string title() override { return m_title; }
  std::string artist() override { return m_artist; }
  std::string album() override { return m_album; }
  std::string track() override { return m_track; }
  std::string genre() override { return m_genre; }

  int bitrate() override { return m_bitrate; }
  int duration() override { return m_duration; }
  bool vbr() override { return m_vbr; }
  std::optional<AudioIdentity> audioIdentity() override { return m_identity; }

 private:
  void clear();
  // Reads the file open in m_stream into the fields.
  bool readOpenFile();
  void readTags(TagLib::MPEG::File& file, const FileCheck& check);
  void measureFramesWithoutHeader(TagLib::MPEG::File& file, long firstFrame);

  std::unique_ptr<ReadOnlyStream> m_stream;
  std::unique_ptr<FlatFrameFactory> m_frameFactory;

  std::string m_title;
  std::string m_artist;
  std::string m_album;
  std::string m_track;
  std::string m_genre;
  int m_bitrate = 0;
  int m_duration = 0;
  bool m_vbr = false;
  std::optional<AudioIdentity> m_identity;
};

// A tag text as UTF-8, cut at the first NUL: a NUL would end any text built from it early.
std::string utf8Text(const TagLib::String& text);

// Whether the first MPEG audio frame, whose bytes start at `frame`, announces a variable bit
// rate: a "VBRI" header does; an "Info" header does not; a "Xing" header does unless its LAME
// extension names a constant-bit-rate method; no header does not. `size` may be short: what is
// missing counts as absent.
bool frameAnnouncesVbr(const unsigned char* frame, std::size_t size);

}  // namespace importer
