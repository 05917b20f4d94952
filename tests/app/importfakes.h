#pragma once

// What the tests that run imports share: an MP3 component that names each song after its file,
// a file whose read waits for the test, music folders of empty files and catalogues with or
// without the companion table.

#include <QString>

#include <string>

#include "import/mp3info.h"

namespace importfakes {

// Reads every file as a song titled after its file name; the held file's read waits.
class NamedSongs final : public importer::Mp3Info {
 public:
  bool read(const std::string& path) override;
  std::string title() override { return m_title; }
  std::string artist() override { return "Band"; }
  std::string album() override { return "Disc"; }
  std::string track() override { return "1"; }
  std::string genre() override { return "Rock"; }
  int bitrate() override { return 128; }
  int duration() override { return 60; }
  bool vbr() override { return false; }

 private:
  std::string m_title;
};

importer::Mp3InfoFactory namedSongs();

// The next import's read of the file whose path ends in `name` waits until letGo(), so that a
// test can act in the middle of an import, while that file and those after it are surely still
// to come. Set before an import starts.
void hold(const std::string& name);
void letGo();
// For a test's start: nothing held, and a new gate.
void resetHold();
// For a test's end, once no import runs: false when a read of the held file waited in vain
// all along.
bool endHold();

// Files "song 00.mp3" .. in `folder`, the odd ones in its sub-folder "sub". In the order of
// their rows: the folder's own "song 00.mp3", "song 02.mp3" .., then those of "sub". Held at
// the sixth, an import stores five.
void makeMusic(const QString& folder, int files);
// An empty file.
void touch(const QString& path);

// A catalogue as quollsong-mkdb makes it now, with the companion table shelf_files.
void makeCatalogue(const std::string& path);
// A catalogue made before the companion table came.
void makeOlderCatalogue(const std::string& path);

}  // namespace importfakes
