#pragma once

// Reading the ID3v1 tag of a file: the fixed 128-byte block at its very end. Plain C++, no Qt.

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tagreader {

inline constexpr std::size_t kId3v1BlockSize = 128;

// The last 128 bytes of a file, as read from it.
using Id3v1Block = std::array<unsigned char, kId3v1BlockSize>;

// A tag's fields as they are shown: UTF-8 texts after the display rule (see fieldText).
struct Id3v1Tag {
  std::string Title;
  std::string Artist;
  std::string Album;
  std::string Year;
  std::string Comment;
  unsigned char GenreNumber = 255;
  std::string Genre;  // genreText(GenreNumber)
};

// Why a tag could not be read. The description names the path.
class TagReadError : public std::runtime_error {
 public:
  TagReadError(int number, std::string description);

  int number() const noexcept { return m_number; }
  const std::string& description() const noexcept { return m_description; }

 private:
  int m_number;
  std::string m_description;
};

// Error numbers, after the run-time file errors users of such tools know.
namespace err {
inline constexpr int kBadFileName = 52;       // empty path, a NUL in it, a name too long
inline constexpr int kFileNotFound = 53;      // no such file, or a folder on the way is missing
inline constexpr int kDeviceIO = 57;          // the read itself failed
inline constexpr int kFileTooShort = 63;      // fewer than 128 bytes: no room for a tag
inline constexpr int kPermissionDenied = 70;  // not allowed to read the file
inline constexpr int kPathFileAccess = 75;    // a folder, a pipe, a device, a socket
inline constexpr int kPathNotFound = 76;      // a part of the path is a file, not a folder
}  // namespace err

// Decodes Windows-1252 bytes into UTF-8, one character per byte. The five bytes the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 controls of the same number.
std::string windows1252ToUtf8(std::string_view bytes);

// A fixed-width field as shown: trailing spaces (code 32 only) removed from the whole field,
// then the text cut before its first NUL; leading spaces, tabs and everything else stay.
// Returns UTF-8.
std::string fieldText(std::string_view bytes);

// The genre byte as shown: "Rock (17)" for a number with a name, the number alone for one
// without, and empty for 255 (no genre).
std::string genreText(unsigned char number);

// The tag in `block`, or nullopt when the block does not begin with "TAG" (case-sensitive).
std::optional<Id3v1Tag> parseId3v1(const Id3v1Block& block);

// Reads the last 128 bytes of the regular file at `path` (the file name's bytes). The file is
// opened read-only, never created, and closed again before this returns; only the tag block is
// read. Throws TagReadError (empty path, missing file, folder, pipe or device, no permission,
// fewer than 128 bytes, a failed read).
Id3v1Block readId3v1Block(const std::string& path);

// readId3v1Block, then parseId3v1. Throws TagReadError.
std::optional<Id3v1Tag> readId3v1(const std::string& path);

}  // namespace tagreader
