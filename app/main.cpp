// Until the main window exists: open the catalogue beside the program and report its size.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "engine/engine.h"

int main() {
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string folder = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(".");
  folder = folder.substr(0, folder.rfind('/'));
  const std::string path = folder + "/music_1.mdb";
  try {
    engine::Workspace& ws = engine::DBEngine::instance().Workspaces(0);
    auto db = ws.OpenDatabase(path);
    auto rs = db->OpenRecordset("SELECT count(*) FROM music_shelf", engine::dbOpenSnapshot);
    std::printf("%s: %s rows\n", path.c_str(), rs->Fields(0).Value().toText().c_str());
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "Error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
  return 0;
}
