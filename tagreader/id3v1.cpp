#include "id3v1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

#include "id3v1genres.h"

namespace tagreader {

static_assert(sizeof(off_t) >= 8, "file lengths must be 64-bit");

TagReadError::TagReadError(int number, std::string description)
    : std::runtime_error(description), m_number(number), m_description(std::move(description)) {}

namespace {

// Windows-1252 from 0x80 to 0x9F; the rest of the code page is Latin-1.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

void appendUtf8(std::string& out, char16_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string_view field(const Id3v1Block& block, std::size_t offset, std::size_t width) {
  return {reinterpret_cast<const char*>(block.data()) + offset, width};
}

[[noreturn]] void fail(int number, const std::string& path, const std::string& reason) {
  throw TagReadError(number, "Cannot read the tag of \"" + path + "\": " + reason + ".");
}

// Turns an errno from looking up or opening `path` into the error the user sees.
[[noreturn]] void failOpen(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      fail(err::kFileNotFound, path, "there is no such file");
    case ENOTDIR:
      fail(err::kPathNotFound, path, "a part of the path is not a folder");
    case EACCES:
    case EPERM:
      fail(err::kPermissionDenied, path, "permission denied");
    case ENAMETOOLONG:
      fail(err::kBadFileName, path, "the name is too long");
    default:
      fail(err::kPathFileAccess, path, std::generic_category().message(error));
  }
}

[[noreturn]] void failNotRegular(const struct stat& st, const std::string& path) {
  if (S_ISDIR(st.st_mode)) fail(err::kPathFileAccess, path, "it is a folder, not a file");
  fail(err::kPathFileAccess, path, "it is not a regular file (a pipe, a device or a socket)");
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

std::string windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    appendUtf8(out, byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : char16_t{byte});
  }
  return out;
}

std::string fieldText(std::string_view bytes) {
  while (!bytes.empty() && bytes.back() == ' ') bytes.remove_suffix(1);
  if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) {
    bytes = bytes.substr(0, nul);
  }
  return windows1252ToUtf8(bytes);
}

std::string genreText(unsigned char number) {
  if (number == 255) return {};
  const char* name = id3v1GenreName(number);
  if (name == nullptr) return std::to_string(number);
  return std::string(name) + " (" + std::to_string(number) + ")";
}

std::optional<Id3v1Tag> parseId3v1(const Id3v1Block& block) {
  if (field(block, 0, 3) != "TAG") return std::nullopt;
  Id3v1Tag tag;
  tag.Title = fieldText(field(block, 3, 30));
  tag.Artist = fieldText(field(block, 33, 30));
  tag.Album = fieldText(field(block, 63, 30));
  tag.Year = fieldText(field(block, 93, 4));
  tag.Comment = fieldText(field(block, 97, 30));
  tag.GenreNumber = block[127];
  tag.Genre = genreText(tag.GenreNumber);
  return tag;
}

Id3v1Block readId3v1Block(const std::string& path) {
  if (path.empty()) fail(err::kBadFileName, path, "no file name was given");
  if (path.find('\0') != std::string::npos) {
    fail(err::kBadFileName, path, "the name contains a NUL character");
  }

  // Look before opening: opening a pipe could wait for a writer, opening a device could act on
  // it. The check is repeated on the open file in case the path changed in between.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) failOpen(errno, path);
  if (!S_ISREG(st.st_mode)) failNotRegular(st, path);

  // Read-only and without O_CREAT: a missing file stays missing.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) failOpen(errno, path);
  if (::fstat(file.get(), &st) != 0) {
    fail(err::kDeviceIO, path, std::generic_category().message(errno));
  }
  if (!S_ISREG(st.st_mode)) failNotRegular(st, path);

  const off_t length = st.st_size;
  if (length < static_cast<off_t>(kId3v1BlockSize)) {
    fail(err::kFileTooShort, path,
         "the file is " + std::to_string(length) + " bytes long, shorter than a 128-byte tag");
  }

  Id3v1Block block{};
  std::size_t done = 0;
  while (done < block.size()) {
    const ssize_t n =
        ::pread(file.get(), block.data() + done, block.size() - done,
                length - static_cast<off_t>(kId3v1BlockSize) + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(err::kDeviceIO, path, std::generic_category().message(errno));
    }
    if (n == 0) fail(err::kDeviceIO, path, "the file became shorter while it was read");
    done += static_cast<std::size_t>(n);
  }
  return block;
}

std::optional<Id3v1Tag> readId3v1(const std::string& path) {
  return parseId3v1(readId3v1Block(path));
}

}  // namespace tagreader
