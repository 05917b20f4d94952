#include "catalog/export.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/numbers.h"
#include "engine/sqltext.h"
#include "engine/utf8.h"

namespace catalog {

namespace {

using engine::EngineError;
using RowTexts = engine::Database::RowTexts;

std::string failedTo(const std::string& path) {
  return "The view could not be exported to '" + path + "': ";
}
constexpr const char* kNothingChanged = " Any file there before is unchanged.";

// What follows ".export-" in the name of an export's file while it is written.
constexpr std::size_t kSuffixLength = 8;
constexpr std::string_view kInfix = ".export-";
// A file of an export that is older than this and that no export holds was left by one that
// was killed; a younger one may be one an export is about to hold.
constexpr auto kStaleAfter = std::chrono::seconds(10);

// Whether `name` is that of a file an export writes before it takes the target's place.
bool isExportsFile(std::string_view name) {
  if (name.size() < 1 + kInfix.size() + kSuffixLength || name[0] != '.') return false;
  const std::string_view suffix = name.substr(name.size() - kSuffixLength);
  return name.substr(name.size() - kSuffixLength - kInfix.size(), kInfix.size()) == kInfix &&
         suffix.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The file an export writes: a hidden file beside the target, which replaces the target only
// when commit() has written and flushed every byte. Until then the target is never touched, and
// a file that is dropped before commit() takes its temporary file with it, also when its
// folder was moved meanwhile. A target that is a symbolic link is written through it, to the
// file it leads to, and the link stays; a pipe, a device or a socket is refused. Files left by
// an export that was killed are removed the next time one writes into their folder.
class ExportFile {
 public:
  explicit ExportFile(const std::string& target) : m_target(target) {
    const std::filesystem::path at(followLinks(target));
    const std::filesystem::path folder = at.parent_path().empty() ? "." : at.parent_path();
    m_folder = folder.string();
    m_written = at.filename().string();
    m_buffer.reserve(kFlushAt + 64 * 1024);
    struct stat existing {};
    const bool exists = ::stat(at.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
      failBecause("what is there is " +
                  std::string(S_ISDIR(existing.st_mode) ? "a folder" : "no file (a pipe, a device or a socket)"));
    }
    m_folderFd.fd = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_folderFd.fd < 0) fail("no new file can be made in the folder '" + m_folder + "'");
    removeStaleFiles();
    // The name fits however long the target's is: its start, cut to leave room for the rest.
    const std::size_t room = NAME_MAX - 1 - kInfix.size() - kSuffixLength;
    const std::string stem = "." + m_written.substr(0, room) + std::string(kInfix);
    // O_EXCL makes a name that another file took a moment ago fail instead of sharing it.
    std::random_device seed;
    std::mt19937 random(seed());
    for (int tries = 0; m_fd < 0; ++tries) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
      m_temporary = stem + suffix;
      m_fd = ::openat(m_folderFd.fd, m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                      0666);
      if (m_fd < 0 && (errno != EEXIST || tries == 100)) {
        m_temporary.clear();
        fail("no new file can be made in the folder '" + m_folder + "'");
      }
    }
    // Held while it is written, so that another export does not take it for a stale one.
    ::flock(m_fd, LOCK_EX | LOCK_NB);
    // A file that is replaced keeps who may read it.
    if (exists) ::fchmod(m_fd, existing.st_mode & 07777);
  }

  ~ExportFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_committed && !m_temporary.empty()) ::unlinkat(m_folderFd.fd, m_temporary.c_str(), 0);
  }

  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;

  // Where the text goes; flushed to the file from time to time by written().
  std::string& buffer() { return m_buffer; }
  void written() {
    if (m_buffer.size() >= kFlushAt) flush();
  }

  void commit() {
    flush();
    if (::fsync(m_fd) != 0) fail("it could not be saved to the disk");
    // A folder moved or removed while the file was written is not where the file was asked for.
    struct stat now {};
    struct stat held {};
    if (::stat(m_folder.c_str(), &now) != 0 || ::fstat(m_folderFd.fd, &held) != 0 ||
        now.st_dev != held.st_dev || now.st_ino != held.st_ino) {
      errno = ENOENT;
      fail("its folder was moved or removed while it was written");
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) fail("it could not be saved to the disk");
    if (::renameat(m_folderFd.fd, m_temporary.c_str(), m_folderFd.fd, m_written.c_str()) != 0)
      fail("it could not take the place of the file there");
    m_committed = true;
    // The new name on the disk too; the file itself is complete whether or not this succeeds.
    ::fsync(m_folderFd.fd);
  }

 private:
  static constexpr std::size_t kFlushAt = std::size_t{1} << 20;

  // The path a target names once its symbolic links are followed: a link's own folder holds
  // what a relative link names. A link that leads nowhere gives the path it names.
  std::string followLinks(const std::string& target) const {
    std::filesystem::path at(target);
    for (int hops = 0;; ++hops) {
      struct stat status {};
      if (::lstat(at.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return at.string();
      if (hops == 40) {
        errno = ELOOP;
        fail("its links lead round in a circle");
      }
      std::string to(static_cast<std::size_t>(PATH_MAX), '\0');
      const ssize_t length = ::readlink(at.c_str(), to.data(), to.size());
      if (length < 0) fail("its link cannot be read");
      to.resize(static_cast<std::size_t>(length));
      const std::filesystem::path next(to);
      at = next.is_absolute() ? next : at.parent_path() / next;
    }
  }

  // Removes what exports that were killed left in the folder: their files that no export holds
  // and that are not new.
  void removeStaleFiles() const {
    const int listing = ::openat(m_folderFd.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
      ::close(listing);
      return;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir))
      if (isExportsFile(entry->d_name)) stale.emplace_back(entry->d_name);
    ::closedir(dir);
    const auto oldest = std::chrono::system_clock::now() - kStaleAfter;
    for (const std::string& name : stale) {
      const int fd = ::openat(m_folderFd.fd, name.c_str(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (fd < 0) continue;
      struct stat status {};
      const bool old = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                       std::chrono::system_clock::from_time_t(status.st_mtim.tv_sec) < oldest;
      if (old && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlinkat(m_folderFd.fd, name.c_str(), 0);
      ::close(fd);
    }
  }

  void flush() {
    std::size_t done = 0;
    while (done < m_buffer.size()) {
      const ssize_t n = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("it could not be written");
      done += static_cast<std::size_t>(n);
    }
    m_buffer.clear();
  }

  // Throws kExportFailed with errno's reason.
  [[noreturn]] void fail(const std::string& what) const {
    const std::string reason = std::error_code(errno, std::generic_category()).message();
    throw EngineError(engine::err::kExportFailed,
                      failedTo(m_target) + what + " (" + reason + ")." + kNothingChanged);
  }
  // Throws kExportFailed for what is no fault of the system's.
  [[noreturn]] void failBecause(const std::string& what) const {
    throw EngineError(engine::err::kExportFailed,
                      failedTo(m_target) + what + "." + kNothingChanged);
  }

  std::string m_target;   // as asked for
  std::string m_folder;   // where the file it leads to is
  std::string m_written;  // the name of that file in its folder
  std::string m_temporary;
  // The folder stays open for the file's sake, and closes also when the constructor fails.
  struct Descriptor {
    int fd = -1;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } m_folderFd;
  int m_fd = -1;
  bool m_committed = false;
  std::string m_buffer;
};

bool hasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// One field of a CSV line, quoted when it must be (RFC 4180).
void appendCsvField(std::string& out, std::string_view text, std::string& scratch) {
  if (!engine::isValidUtf8(text)) {
    engine::assignValidUtf8(scratch, text);
    text = scratch;
  }
  bool quote = false;
  for (const char c : text)
    if (c == ',' || c == '"' || c == '\r' || c == '\n') {
      quote = true;
      break;
    }
  if (!quote) {
    out += text;
    return;
  }
  out += '"';
  for (std::size_t start = 0;;) {
    const std::size_t q = text.find('"', start);
    if (q == std::string_view::npos) {
      out.append(text, start);
      break;
    }
    out.append(text, start, q + 1 - start);
    out += '"';
    start = q + 1;
  }
  out += '"';
}

class CsvWriter {
 public:
  explicit CsvWriter(const engine::Recordset& view) : m_columns(view.fieldCount()) {}

  void header(std::string& out, const engine::Recordset& view) {
    for (int c = 0; c < m_columns; ++c) {
      if (c) out += ',';
      appendCsvField(out, view.fieldName(c), m_scratch);
    }
    out += "\r\n";
  }

  bool row(std::string& out, RowTexts fields) {
    for (std::size_t c = 0; c < fields.size(); ++c) {
      if (c) out += ',';
      if (!fields[c]) continue;  // NULL
      if (fields[c]->empty()) out += "\"\"";
      else appendCsvField(out, *fields[c], m_scratch);
    }
    out += "\r\n";
    return true;
  }

 private:
  int m_columns;
  std::string m_scratch;
};

class PlaylistWriter {
 public:
  PlaylistWriter(const engine::Recordset& view, const std::string& path)
      : m_filename(view.fieldIndex("Filename")),
        m_duration(view.fieldIndex("Duration")),
        m_artist(view.fieldIndex("Artist")),
        m_title(view.fieldIndex("Title")) {
    if (m_filename < 0)
      throw EngineError(engine::err::kItemNotFound,
                        "The view cannot be exported to '" + path +
                            "' as a playlist: it has no Filename column.");
  }

  void header(std::string& out, const engine::Recordset&) { out += "#EXTM3U\n"; }

  bool row(std::string& out, RowTexts fields) {
    const std::optional<std::string_view> filename = fields[m_filename];
    if (!filename || filename->empty() || (*filename)[0] == '#' || hasLineBreak(*filename) ||
        !engine::isValidUtf8(*filename))
      return false;
    out += "#EXTINF:";
    out += std::to_string(duration(fields));
    out += ',';
    const std::string_view artist = text(fields, m_artist);
    const std::string_view title = text(fields, m_title);
    appendLabel(out, artist);
    if (!artist.empty() && !title.empty()) out += " - ";
    appendLabel(out, title);
    out += '\n';
    out += *filename;
    out += '\n';
    return true;
  }

 private:
  // Whole seconds; -1 when the row holds no number of seconds.
  long long duration(RowTexts fields) const {
    const std::string_view seconds = text(fields, m_duration);
    const engine::LeadingNumber number = engine::scanLeadingNumber(seconds);
    if (number.length == 0 || number.length != seconds.size() || number.outOfRange ||
        number.value < 0 || number.value > 1e12)
      return -1;
    return std::llround(number.value);
  }

  // A field's text; empty for a missing column or NULL.
  static std::string_view text(RowTexts fields, int column) {
    if (column < 0 || !fields[column]) return {};
    return *fields[column];
  }

  // Artist or title on the EXTINF line, which must stay one line.
  void appendLabel(std::string& out, std::string_view text) {
    if (!engine::isValidUtf8(text)) {
      engine::assignValidUtf8(m_scratch, text);
      text = m_scratch;
    }
    const std::size_t start = out.size();
    out += text;
    for (std::size_t i = start; i < out.size(); ++i)
      if (out[i] == '\r' || out[i] == '\n') out[i] = ' ';
  }

  int m_filename;
  int m_duration;
  int m_artist;
  int m_title;
  std::string m_scratch;
};

template <typename Writer>
std::int64_t writeRows(engine::Database& database, engine::Recordset& view, Writer& writer,
                       const std::string& path) {
  ExportFile file(path);
  writer.header(file.buffer(), view);
  std::int64_t written = 0;
  const auto write = [&](RowTexts fields) {
    if (writer.row(file.buffer(), fields)) ++written;
    file.written();
  };
  try {
    if (view.type() == engine::dbOpenSnapshot) {
      // Every row is in memory since the snapshot opened; reading on only meets a failure that
      // is still waiting to be reported.
      view.readAll();
      const int columns = view.fieldCount();
      std::vector<engine::Value> values(columns);
      std::vector<std::string> numbers(columns);
      std::vector<std::optional<std::string_view>> fields(columns);
      for (std::int64_t row = 0; row < view.rowCount(); ++row) {
        for (int c = 0; c < columns; ++c) {
          values[c] = view.value(row, c);
          if (values[c].isNull()) {
            fields[c].reset();
          } else if (values[c].isText()) {
            fields[c] = values[c].text();
          } else {
            numbers[c] = values[c].toText();
            fields[c] = numbers[c];
          }
        }
        write(fields);
      }
    } else {
      const auto columns = static_cast<std::size_t>(view.fieldCount());
      database.ForEachRow(view.sql(), {}, [&](RowTexts fields) {
        if (fields.size() != columns)
          throw EngineError(engine::err::kExportFailed,
                            failedTo(path) +
                                "its columns have changed since it was opened. Show the view "
                                "again and export it then." +
                                kNothingChanged);
        write(fields);
      });
    }
  } catch (const EngineError& e) {
    if (e.number() == engine::err::kExportFailed) throw;
    throw EngineError(e.number(), failedTo(path) + e.description() + kNothingChanged);
  }
  file.commit();
  return written;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         engine::equalsIgnoringCase(text.substr(text.size() - end.size()), end);
}

}  // namespace

ExportFormat exportFormatFor(std::string_view fileName, std::string_view selectedFilter) {
  if (endsWithIgnoringCase(fileName, ".m3u8") || endsWithIgnoringCase(fileName, ".m3u"))
    return ExportFormat::M3u8;
  if (endsWithIgnoringCase(fileName, ".csv")) return ExportFormat::Csv;
  if (selectedFilter.find("*.m3u") != std::string_view::npos) return ExportFormat::M3u8;
  return ExportFormat::Csv;
}

std::string withExportExtension(std::string_view fileName, ExportFormat format) {
  std::string name(fileName);
  const std::size_t slash = name.rfind('/');
  const std::string_view last =
      std::string_view(name).substr(slash == std::string::npos ? 0 : slash + 1);
  // A leading dot names a hidden file, not an extension.
  if (!last.empty() && last.find('.', 1) == std::string_view::npos)
    name += format == ExportFormat::M3u8 ? ".m3u8" : ".csv";
  return name;
}

std::int64_t exportView(engine::Database& database, engine::Recordset& view, ExportFormat format,
                        const std::string& path) {
  if (format == ExportFormat::M3u8) {
    PlaylistWriter writer(view, path);
    return writeRows(database, view, writer, path);
  }
  CsvWriter writer(view);
  return writeRows(database, view, writer, path);
}

}  // namespace catalog
