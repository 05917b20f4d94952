#include "readonlystream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cerrno>

namespace importer {

namespace {

constexpr long kAlignment = 4096;
constexpr long kBlockBytes = 16 * 1024;          // enough for most tags and the frame scans
constexpr long kLargestCachedRead = 256 * 1024;  // pictures in tags are read directly
constexpr std::size_t kMaxBlocks = 4;
constexpr long kLargestScanRead = 64 * 1024;  // larger reads are whole tags

// Reads up to `size` bytes at `offset` into `into`; fewer at the end of the file or on an
// error. Returns how many.
long readAt(int fd, long offset, long size, char* into) {
  long done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, into + done, static_cast<std::size_t>(size - done),
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

}  // namespace

ReadOnlyStream::~ReadOnlyStream() { close(); }

bool ReadOnlyStream::openAt(int folderFd, const std::string& name, const std::string& path,
                            OpenFile open) {
  close();
  m_path = path;
  // Non-blocking, so that opening a pipe returns at once; it is refused just below.
  const bool owned = open.fd < 0;
  const int fd = owned ? ::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)
                       : open.fd;
  if (fd < 0) return false;
  // The caller who tells the size has seen that the file is a regular one.
  if (owned || open.size < 0) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (owned) ::close(fd);
      return false;
    }
    open.size = st.st_size;
  }
  m_fd = fd;
  m_ownsFd = owned;
  m_length = static_cast<long>(open.size);
  return true;
}

void ReadOnlyStream::close() {
  if (m_fd >= 0 && m_ownsFd) ::close(m_fd);
  m_fd = -1;
  m_ownsFd = false;
  m_length = 0;
  m_position = 0;
  m_scanned = 0;
  m_scanLimitReached = false;
  for (Block& block : m_blocks) block.size = -1;
}

void ReadOnlyStream::seek(long offset, Position p) {
  long base = 0;
  if (p == Current) base = m_position;
  if (p == End) base = m_length;
  const long target = base + offset;
  if (target >= 0) m_position = target;
}

const ReadOnlyStream::Block& ReadOnlyStream::blockFor(long length) {
  const long end = m_position + length;
  for (const Block& block : m_blocks) {
    if (block.size >= 0 && block.offset <= m_position && end <= block.offset + block.size)
      return block;
  }
  Block* block = nullptr;
  for (Block& unused : m_blocks)
    if (unused.size < 0) block = &unused;
  if (!block && m_blocks.size() < kMaxBlocks) block = &m_blocks.emplace_back();
  if (!block) {
    block = &m_blocks[m_nextVictim];
    m_nextVictim = (m_nextVictim + 1) % kMaxBlocks;
  }
  block->offset = m_position - m_position % kAlignment;
  const long size = std::min(std::max(kBlockBytes, end - block->offset), m_length - block->offset);
  if (static_cast<long>(block->bytes.size()) < size)
    block->bytes.resize(static_cast<std::size_t>(size));
  block->size = readAt(m_fd, block->offset, size, block->bytes.data());
  return *block;
}

bool ReadOnlyStream::copy(long offset, long size, char* into) {
  if (m_fd < 0 || offset < 0 || size < 0 || offset + size > m_length) return false;
  for (const Block& block : m_blocks) {
    if (block.size >= 0 && block.offset <= offset && offset + size <= block.offset + block.size) {
      std::memcpy(into, block.bytes.data() + (offset - block.offset), static_cast<std::size_t>(size));
      return true;
    }
  }
  return readAt(m_fd, offset, size, into) == size;
}

TagLib::ByteVector ReadOnlyStream::readBlock(unsigned long length) {
  if (m_fd < 0 || length == 0 || m_position >= m_length) return {};
  const long wanted = static_cast<long>(
      std::min<unsigned long>(length, static_cast<unsigned long>(m_length - m_position)));
  if (m_scanLimit >= 0 && wanted <= kLargestScanRead) {
    if (m_scanned + wanted > m_scanLimit) {
      m_scanLimitReached = true;
      return {};
    }
    m_scanned += wanted;
  }
  if (wanted > kLargestCachedRead) {
    TagLib::ByteVector bytes(static_cast<unsigned int>(wanted), '\0');
    const long got = readAt(m_fd, m_position, wanted, bytes.data());
    bytes.resize(static_cast<unsigned int>(got));
    m_position += got;
    return bytes;
  }
  const Block& block = blockFor(wanted);
  const long start = m_position - block.offset;
  const long available = std::max(0L, std::min(wanted, block.size - start));
  m_position += available;
  return TagLib::ByteVector(block.bytes.data() + start, static_cast<unsigned int>(available));
}

}  // namespace importer
