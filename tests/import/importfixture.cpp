#include "importfixture.h"

#include <cstdlib>

#include "mp3fixture.h"

namespace fs = std::filesystem;

namespace fixture {

bool NamedSongs::read(const std::string& path) {
  if (m_beforeRead) m_beforeRead(path);
  m_title = path.substr(path.rfind('/') + 1);
  return true;
}

void makeCatalogue(const fs::path& path) {
  const std::string command =
      std::string("'") + QUOLLSONG_MKDB + "' '" + path.string() + "' > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

void ImportTest::SetUp() {
  makeCatalogue(cataloguePath());
  db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(cataloguePath().string());
  fs::create_directories(root());
}

void ImportTest::touch(const fs::path& relative) {
  fs::create_directories((root() / relative).parent_path());
  writeFile(root() / relative, "x");
}

importer::FolderImport& ImportTest::makeImport(importer::FolderImport::Options options) {
  import = std::make_unique<importer::FolderImport>(
      [this] {
        ++componentsMade;
        return std::make_unique<NamedSongs>(beforeRead);
      },
      options);
  return *import;
}

importer::ImportEnd ImportTest::run(const std::string& folder) {
  if (!import) makeImport();
  return import->run(
      folder, [this] { return db; },
      [this] {
        if (onYield) onYield();
      });
}

std::vector<std::string> ImportTest::stored(const std::string& column) {
  auto rows = db->OpenRecordset("SELECT " + column + " FROM music_shelf ORDER BY ID");
  rows->readAll();
  std::vector<std::string> names;
  const std::string prefix = root().string() + "/";
  for (std::int64_t i = 0; i < rows->rowCount(); ++i) {
    std::string value = rows->value(i, 0).toText();
    names.push_back(value.starts_with(prefix) ? value.substr(prefix.size()) : value);
  }
  return names;
}

}  // namespace fixture
