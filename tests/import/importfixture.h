#pragma once

// A catalogue made by quollsong-mkdb, a music folder beside it, and a folder import whose
// component reads every file as a song titled after its file name.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "import/folderimport.h"
#include "support/tempdir.h"

namespace fixture {

// Reads every file as a song titled after its file name; the files' contents do not matter.
// Runs `beforeRead` (from a reader thread) before each read.
class NamedSongs final : public importer::Mp3Info {
 public:
  explicit NamedSongs(std::function<void(const std::string&)> beforeRead)
      : m_beforeRead(std::move(beforeRead)) {}
  bool read(const std::string& path) override;
  std::string title() override { return m_title; }
  std::string artist() override { return "Band"; }
  std::string album() override { return "Disc"; }
  std::string track() override { return "2/9"; }
  std::string genre() override { return "(17)Rock"; }
  int bitrate() override { return 128; }
  int duration() override { return 61; }
  bool vbr() override { return true; }

 private:
  std::function<void(const std::string&)> m_beforeRead;
  std::string m_title;
};

// Makes a catalogue at `path` with quollsong-mkdb.
void makeCatalogue(const std::filesystem::path& path);

class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override;

  std::filesystem::path root() const { return dir.path() / "music"; }
  std::filesystem::path cataloguePath() const { return dir.path() / "music_1.mdb"; }
  // Writes a one-byte file below the music folder, making its folders.
  void touch(const std::filesystem::path& relative);

  importer::FolderImport& makeImport(importer::FolderImport::Options options = {});
  importer::ImportEnd run(const std::string& folder);

  // The stored values of a column, file names relative to the music folder, in row order.
  std::vector<std::string> stored(const std::string& column = "Filename");
  std::int64_t rowCount() { return static_cast<std::int64_t>(stored().size()); }

  testsupport::TempDir dir;
  std::shared_ptr<engine::Database> db;
  std::unique_ptr<importer::FolderImport> import;
  std::function<void(const std::string&)> beforeRead;
  std::function<void()> onYield;
  std::atomic<int> componentsMade{0};
};

}  // namespace fixture
