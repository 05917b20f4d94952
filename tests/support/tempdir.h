#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with everything in it at the end,
// even folders a test made unreadable.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::string string() const { return m_path.string(); }

  // The path of `name` (which may hold folders) inside this folder.
  std::string path(std::string_view name) const { return (m_path / name).string(); }

  // Writes `bytes` into the file `name`, replacing any; returns its path.
  std::string write(std::string_view name, std::string_view bytes) const;

 private:
  std::filesystem::path m_path;
};

// Writes `bytes` into the file at `path`, replacing any. Throws std::runtime_error.
void writeFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace testsupport
