#pragma once

#include <cstdint>
#include <string>

namespace importer {

// What the catalogue stores about one MP3 file besides its path.
struct SongInfo {
  std::string Title;
  std::string Artist;
  std::string Album;
  std::string Genre;
  std::string Track;
  std::int32_t Bitrate = 0;
  std::int32_t Duration = 0;
  bool VBR = false;
};

}  // namespace importer
