// import_bench FOLDER [RUNS]
//
// Imports every MP3 file below FOLDER the way "Add Directory" does (the real walk, the real
// reader over TagLib, one committed statement per file on a fresh catalogue, the event loop
// run at every yield), and beside it reads the same files with TagLib alone: the same MPEG file
// open with audio properties, the five tag values and the three audio values. Both after one
// warm pass; the best of RUNS (default 3) counts.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <taglib/mpegfile.h>
#include <taglib/mpegproperties.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/tag.h>

#include "engine/engine.h"
#include "engine/errors.h"
#include "import/readmp3info.h"
#include "import/readonlystream.h"
#include "import/scanfolder.h"

namespace {

using importer::ImportHost;
using importer::SongInfo;

// Collects the files the walk would import, without reading or storing them.
class ListingHost final : public ImportHost {
 public:
  void runStatement(const std::string&) override {}
  void yield() override {}
  bool stopRequested() const override { return false; }
  void readMp3Info(const std::string& path, SongInfo&) override { paths.push_back(path); }
  std::vector<std::string> paths;
};

// The window's side of an import, without the window.
class ImportingHost final : public ImportHost {
 public:
  explicit ImportingHost(engine::Database& db) : m_db(db) {}
  void runStatement(const std::string& sql) override { m_db.Execute(sql, 64); }
  void yield() override { QCoreApplication::processEvents(); }
  bool stopRequested() const override { return false; }
  void readMp3Info(const std::string& path, SongInfo& info) override {
    importer::ReadMp3Info(path, info, m_component, importer::createTagLibMp3Info);
  }

 private:
  engine::Database& m_db;
  std::unique_ptr<importer::Mp3Info> m_component;
};

// TagLib alone; returns a checksum so that nothing is left out. With `ownStream`, TagLib reads
// through the import's cached stream instead of its own, which shows how much of the import's
// lead comes from reading files with fewer system calls.
std::size_t readWithTagLib(const std::vector<std::string>& paths, bool ownStream = false) {
  std::size_t sum = 0;
  importer::ReadOnlyStream stream;
  for (const std::string& path : paths) {
    std::unique_ptr<TagLib::MPEG::File> opened;
    if (ownStream) {
      if (!stream.open(path)) continue;
      opened = std::make_unique<TagLib::MPEG::File>(
          &stream, TagLib::ID3v2::FrameFactory::instance(), true, TagLib::AudioProperties::Average);
    } else {
      opened = std::make_unique<TagLib::MPEG::File>(path.c_str(), true,
                                                    TagLib::AudioProperties::Average);
    }
    TagLib::MPEG::File& file = *opened;
    if (!file.isValid()) continue;
    if (const TagLib::Tag* tag = file.tag()) {
      sum += tag->title().to8Bit(true).size() + tag->artist().to8Bit(true).size() +
             tag->album().to8Bit(true).size() + tag->genre().to8Bit(true).size() + tag->track();
    }
    if (const TagLib::MPEG::Properties* p = file.audioProperties())
      sum += static_cast<std::size_t>(p->bitrate() + p->lengthInSeconds()) +
             (p->xingHeader() != nullptr);
  }
  return sum;
}

double importOnce(const std::string& folder, const QString& catalogueDir, int run) {
  const std::string catalogue =
      (catalogueDir + QStringLiteral("/music_%1.mdb").arg(run)).toStdString();
  const std::string command =
      std::string("'") + QUOLLSONG_MKDB + "' '" + catalogue + "' > /dev/null";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "cannot make a catalogue at %s\n", catalogue.c_str());
    std::exit(1);
  }
  auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(catalogue);
  ImportingHost host(*db);
  QElapsedTimer timer;
  timer.start();
  importer::ScanFolder(folder, host);
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  db->Close();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FOLDER [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 3;

  ListingHost listing;
  importer::ScanFolder(folder, listing);
  const std::vector<std::string>& paths = listing.paths;
  if (paths.empty()) {
    std::fprintf(stderr, "no MP3 files below %s\n", folder.c_str());
    return 1;
  }
  QTemporaryDir catalogueDir;
  if (!catalogueDir.isValid()) return 1;

  // One warm pass of each, then the runs of the two in turn, so that anything else the machine
  // does at the time weighs on both alike.
  std::size_t checksum = readWithTagLib(paths);
  checksum += readWithTagLib(paths, true);
  double tagLibBest = 1e300;
  double streamBest = 1e300;
  double importBest = 1e300;
  try {
    importOnce(folder, catalogueDir.path(), 0);
    for (int run = 1; run <= runs; ++run) {
      QElapsedTimer timer;
      timer.start();
      checksum += readWithTagLib(paths);
      tagLibBest = std::min(tagLibBest, static_cast<double>(timer.nsecsElapsed()) / 1e9);
      timer.restart();
      checksum += readWithTagLib(paths, true);
      streamBest = std::min(streamBest, static_cast<double>(timer.nsecsElapsed()) / 1e9);
      importBest = std::min(importBest, importOnce(folder, catalogueDir.path(), run));
    }
  } catch (const engine::EngineError& error) {
    std::fprintf(stderr, "import failed: %d %s\n", error.number(), error.description().c_str());
    return 1;
  }

  const double files = static_cast<double>(paths.size());
  std::printf("files:          %zu (checksum %zu)\n", paths.size(), checksum);
  std::printf("TagLib alone:   %.3f s  %8.0f files/s\n", tagLibBest, files / tagLibBest);
  std::printf("TagLib, cached stream: %.3f s  %8.0f files/s\n", streamBest, files / streamBest);
  std::printf("import:         %.3f s  %8.0f files/s\n", importBest, files / importBest);
  std::printf("import/TagLib:  %.2f\n", importBest / tagLibBest);
  std::printf("import/TagLib over the same stream: %.2f\n", importBest / streamBest);
  return 0;
}
