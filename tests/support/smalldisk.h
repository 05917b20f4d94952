#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace testsupport {

// A file system of a given size, mounted for one test in its temporary folder, that can be
// filled to the last byte or made read-only. Mounting needs root (CAP_SYS_ADMIN); a test skips
// with whyNot() when mounted() is false.
class SmallDisk {
 public:
  SmallDisk(const std::filesystem::path& at, std::size_t bytes);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return m_mounted; }
  std::string whyNot() const;
  std::string path(const std::string& name) const { return (m_at / name).string(); }

  bool makeReadOnly();
  // Writes one file until not a byte more fits; true when the disk ends up full.
  bool fill();
  void freeUp();

 private:
  std::filesystem::path m_at;
  bool m_mounted = false;
  std::string m_whyNot;
};

}  // namespace testsupport
