#include "importfakes.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "schema.h"
#include "support/gate.h"
#include "testcatalogue.h"

namespace importfakes {

namespace {

std::string g_heldFile;
std::unique_ptr<testsupport::Gate> g_letGo = std::make_unique<testsupport::Gate>();
std::atomic<bool> g_neverLetGo{false};

}  // namespace

bool NamedSongs::read(const std::string& path) {
  if (!g_heldFile.empty() && path.ends_with(g_heldFile) && !g_letGo->wait()) g_neverLetGo = true;
  m_title = path.substr(path.rfind('/') + 1);
  return true;
}

importer::Mp3InfoFactory namedSongs() {
  return [] { return std::make_unique<NamedSongs>(); };
}

void hold(const std::string& name) { g_heldFile = name; }

void letGo() { g_letGo->open(); }

void resetHold() {
  g_heldFile.clear();
  g_letGo = std::make_unique<testsupport::Gate>();
  g_neverLetGo = false;
}

bool endHold() {
  g_letGo->open();
  g_heldFile.clear();
  return !g_neverLetGo;
}

void touch(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    throw std::runtime_error("cannot make " + path.toStdString());
}

void makeMusic(const QString& folder, int files) {
  QDir().mkpath(folder + QStringLiteral("/sub"));
  for (int i = 0; i < files; ++i)
    touch(QStringLiteral("%1/song %2.mp3")
              .arg(i % 2 ? folder + QStringLiteral("/sub") : folder)
              .arg(i, 2, 10, QLatin1Char('0')));
}

void makeCatalogue(const std::string& path) { testcatalogue::make(path, kCompanionSchema); }

void makeOlderCatalogue(const std::string& path) { testcatalogue::make(path); }

}  // namespace importfakes
