#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audioidentity.h"

namespace importer {

// A file the caller has open for reading already, with its size where the system told it
// (else -1); it stays the caller's to close.
struct OpenFile {
  int fd = -1;
  std::int64_t size = -1;
};

// The MP3 metadata component: reads one file's tag texts and audio properties. Every getter
// describes the last file that read() answered true for. Any operation, creation included, may
// fail by throwing; ReadMp3Info absorbs that.
class Mp3Info {
 public:
  virtual ~Mp3Info() = default;

  // `path` is the file name's bytes. True when the file was read and its tag and audio
  // properties are available; a file in which no audio is found but whose tags say something
  // is read too, with 0 for its audio properties.
  virtual bool read(const std::string& path) = 0;
  // The same for the entry `name` of the folder open as `folderFd`; `path` is its full path,
  // which may be too long to open by name. `open` is the file where the caller has it open
  // already. A component that cannot read that way reads `path`.
  virtual bool readAt(int folderFd, const std::string& name, const std::string& path,
                      OpenFile open) {
    (void)folderFd;
    (void)name;
    (void)open;
    return read(path);
  }

  // Tag texts, UTF-8.
  virtual std::string title() = 0;
  virtual std::string artist() = 0;
  virtual std::string album() = 0;
  virtual std::string track() = 0;
  virtual std::string genre() = 0;

  // Audio properties: bit rate in kbit/s, duration in whole seconds, variable bit rate.
  virtual int bitrate() = 0;
  virtual int duration() = 0;
  virtual bool vbr() = 0;

  // What the file's audio is, whatever its tags and name (see AudioIdentity); nullopt where no
  // audio was found, or a component does not tell.
  virtual std::optional<AudioIdentity> audioIdentity() { return std::nullopt; }
};

// Creates a component; throws when it cannot be created.
using Mp3InfoFactory = std::function<std::unique_ptr<Mp3Info>()>;

// The real component, over TagLib.
std::unique_ptr<Mp3Info> createTagLibMp3Info();

}  // namespace importer
