#include "catalog/export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <span>
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

// The file an export writes: a hidden file beside the target, which replaces the target only
// when commit() has written and flushed every byte. Until then the target is never touched, and
// a file that is dropped before commit() takes its temporary file with it.
class ExportFile {
 public:
  explicit ExportFile(const std::string& target) : m_target(target) {
    const std::filesystem::path at(target);
    const std::filesystem::path folder = at.parent_path().empty() ? "." : at.parent_path();
    m_folder = folder.string();
    m_buffer.reserve(kFlushAt + 64 * 1024);
    // O_EXCL makes a name that another file took a moment ago fail instead of sharing it.
    std::random_device seed;
    std::mt19937 random(seed());
    for (int tries = 0; m_fd < 0; ++tries) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
      m_temporary = (folder / ("." + at.filename().string() + ".export-" + suffix)).string();
      m_fd = ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (m_fd < 0 && (errno != EEXIST || tries == 100))
        fail("no new file can be made in the folder '" + m_folder + "'");
    }
    // A file that is replaced keeps who may read it.
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
      ::fchmod(m_fd, existing.st_mode & 07777);
  }

  ~ExportFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_committed) ::unlink(m_temporary.c_str());
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
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) fail("it could not be saved to the disk");
    if (::rename(m_temporary.c_str(), m_target.c_str()) != 0)
      fail("it could not take the place of the file there");
    m_committed = true;
    // The new name on the disk too; the file itself is complete whether or not this succeeds.
    const int folder = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      ::fsync(folder);
      ::close(folder);
    }
  }

 private:
  static constexpr std::size_t kFlushAt = std::size_t{1} << 20;

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

  std::string m_target;
  std::string m_folder;
  std::string m_temporary;
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
