#include "scanfolder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/sqltext.h"

namespace importer {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at s[i], or 0 when none starts there.
std::size_t validSequenceLength(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return length;
}

// The text cut at a NUL, with every byte that starts no valid UTF-8 sequence shown as U+FFFD.
std::string validUtf8(std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = validSequenceLength(text, i);
    if (length == 0) {
      out += kReplacementCharacter;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

void appendQuotedValue(std::string& out, std::string_view text) {
  out += engine::doubleApostrophes(validUtf8(text));
}

bool endsWithMp3(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'm' && (tail[2] | 0x20) == 'p' && tail[3] == '3';
}

// The names in a folder other than ".", ".." and hidden ones, in byte order, so that imports
// are repeatable. A folder that cannot be listed has none.
std::vector<std::string> listFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden entries
    names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

class Walker {
 public:
  explicit Walker(ImportHost& host) : m_host(host) {}

  void walk(const std::string& path);
  bool stopped() const { return m_stopped; }

 private:
  // Lets the window run; false once it asked the walk to stop.
  bool yield() {
    m_host.yield();
    m_stopped = m_host.stopRequested();
    return !m_stopped;
  }

  ImportHost& m_host;
  // Folders already walked, by device and inode: a linked folder is walked once, and a link
  // that leads back up the tree ends there.
  std::set<std::pair<dev_t, ino_t>> m_walked;
  bool m_stopped = false;
};

void Walker::walk(const std::string& path) {
  struct stat folder {};
  if (::stat(path.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return;
  if (!m_walked.emplace(folder.st_dev, folder.st_ino).second) return;

  const std::vector<std::string> names = listFolder(path);
  const std::string prefix = path + "/";
  std::vector<std::string> subfolders;
  SongInfo info;
  std::string fullPath;
  for (const std::string& name : names) {
    fullPath = prefix + name;
    // Follows links; an entry gone since the listing, or a broken link, fails here.
    struct stat entry {};
    if (::stat(fullPath.c_str(), &entry) != 0) continue;
    if (S_ISDIR(entry.st_mode)) {
      subfolders.push_back(fullPath);
      continue;
    }
    // Sockets, devices and pipes are system entries; a pipe would block the reader forever.
    if (!S_ISREG(entry.st_mode) || !endsWithMp3(name)) continue;

    m_host.readMp3Info(fullPath, info);
    const std::string statement = buildInsertStatement(info, fullPath);
    if (!yield()) return;
    m_host.runStatement(statement);
    if (!yield()) return;
  }

  for (const std::string& subfolder : subfolders) {
    if (!yield()) return;
    walk(subfolder);
    if (m_stopped || !yield()) return;
  }
}

}  // namespace

std::string buildInsertStatement(const SongInfo& info, const std::string& path) {
  std::string sql;
  sql.reserve(160 + info.Title.size() + info.Artist.size() + info.Album.size() +
              info.Genre.size() + info.Track.size() + path.size());
  sql +=
      "INSERT INTO music_shelf (Title, Artist, Album,  Genre, Track, Filename, Duration, Bitrate, "
      "VBR) VALUES ('";
  appendQuotedValue(sql, info.Title);
  sql += "','";
  appendQuotedValue(sql, info.Artist);
  sql += "', '";
  appendQuotedValue(sql, info.Album);
  sql += "', '";
  appendQuotedValue(sql, info.Genre);
  sql += "','";
  appendQuotedValue(sql, info.Track);
  sql += "', '";
  appendQuotedValue(sql, path);
  sql += "','";
  sql += std::to_string(info.Duration);
  sql += "','";
  sql += std::to_string(info.Bitrate);
  sql += "','";
  sql += info.VBR ? "True" : "False";
  sql += "');";
  return sql;
}

void ScanFolder(const std::string& path, ImportHost& host) {
  if (host.stopRequested()) return;
  Walker(host).walk(path);
}

}  // namespace importer
