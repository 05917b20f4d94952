#pragma once

#include <fcntl.h>

#include <string>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

#include "mp3info.h"

namespace importer {

// A read-only file stream for TagLib that keeps the few blocks of a file TagLib looks at (the
// tags at both ends, the first and last audio frames) in memory. TagLib's own file stream
// seeks and reads a few bytes at a time, some twenty system calls per file; this one needs an
// open, a stat, about one read per end of the file and a close. Only regular files open: a
// pipe or a device would block or never end. One stream serves file after file, keeping its
// buffers.
class ReadOnlyStream final : public TagLib::IOStream {
 public:
  ReadOnlyStream() = default;
  ~ReadOnlyStream() override;

  // Closes the current file and opens `path`; false when it is no regular file that can be
  // opened for reading.
  bool open(const std::string& path) { return openAt(AT_FDCWD, path, path, {}); }
  // The same for the entry `name` of the folder open as `folderFd`, which reaches files whose
  // full path `path` is too long for the system to open by name. When `open` holds a descriptor it
  // is that file, already open for reading: it is read and left open for its owner to close,
  // and a size given with it spares asking the system again.
  bool openAt(int folderFd, const std::string& name, const std::string& path, OpenFile open);
  void close();

  // Small reads (TagLib looks for frames a kilobyte at a time) count against a limit per file;
  // past it they come back empty, as at the end of the file, and scanLimitReached() says so.
  // Reads of whole tags do not count. No limit until one is set; a negative one lifts it.
  void setScanLimit(long bytes) { m_scanLimit = bytes; }
  bool scanLimitReached() const { return m_scanLimitReached; }

  // Copies the `size` bytes at `offset` into `into`: from a block in memory when one holds
  // them, otherwise with one read of exactly those bytes, which no block keeps. For the few
  // short stretches read after TagLib is done, where a block each would cost more than the read.
  // False when the file ends before.
  bool copy(long offset, long size, char* into);

  TagLib::FileName name() const override { return m_path.c_str(); }
  TagLib::ByteVector readBlock(unsigned long length) override;
  void writeBlock(const TagLib::ByteVector&) override {}
  void insert(const TagLib::ByteVector&, unsigned long = 0, unsigned long = 0) override {}
  void removeBlock(unsigned long = 0, unsigned long = 0) override {}
  bool readOnly() const override { return true; }
  bool isOpen() const override { return m_fd >= 0; }
  void seek(long offset, Position p = Beginning) override;
  long tell() const override { return m_position; }
  long length() override { return m_length; }
  void truncate(long) override {}

 private:
  struct Block {
    long offset = 0;
    long size = -1;  // bytes held; -1 for an unused block
    std::vector<char> bytes;
  };

  // The block holding [m_position, m_position + length), read when none does.
  const Block& blockFor(long length);

  std::string m_path;
  int m_fd = -1;
  bool m_ownsFd = false;
  long m_length = 0;
  long m_position = 0;
  std::vector<Block> m_blocks;
  std::size_t m_nextVictim = 0;
  long m_scanLimit = -1;
  long m_scanned = 0;
  bool m_scanLimitReached = false;
};

}  // namespace importer
