#include "support/smalldisk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

SmallDisk::SmallDisk(const std::filesystem::path& at, std::size_t bytes) : m_at(at) {
  std::filesystem::create_directory(m_at);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  if (::mount("tmpfs", m_at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
    m_mounted = true;
  else
    m_whyNot = std::strerror(errno);
}

SmallDisk::~SmallDisk() {
  if (!m_mounted) return;
  if (::umount2(m_at.c_str(), 0) != 0) ::umount2(m_at.c_str(), MNT_DETACH);
}

std::string SmallDisk::whyNot() const {
  return "cannot mount a tmpfs here (" + m_whyNot + "); this case needs root or CAP_SYS_ADMIN";
}

bool SmallDisk::makeReadOnly() {
  return ::mount(nullptr, m_at.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                 nullptr) == 0;
}

bool SmallDisk::fill() {
  const int fd = ::open(path("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string block(64 * 1024, 'f');
  for (std::size_t chunk = block.size(); chunk > 0; chunk /= 2)
    while (::write(fd, block.data(), chunk) == static_cast<ssize_t>(chunk)) {
    }
  ::close(fd);
  struct statvfs fs {};
  return ::statvfs(m_at.c_str(), &fs) == 0 && fs.f_bavail == 0;
}

void SmallDisk::freeUp() { ::unlink(path("filler").c_str()); }

}  // namespace testsupport
