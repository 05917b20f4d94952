#include "import/readonlystream.h"

#include <sys/stat.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "mp3fixture.h"
#include "support/tempdir.h"

namespace importer {
namespace {

std::string patterned(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::string text(const TagLib::ByteVector& v) { return std::string(v.data(), v.size()); }

// Mixed seeks and reads, small and large, across block edges and past the end, against the
// bytes written.
TEST(ReadOnlyStreamTest, ReadsWhatIsInTheFile) {
  testsupport::TempDir dir;
  const std::string path = (dir.path() / "data.bin").string();
  const std::string bytes = patterned(600 * 1024 + 17, 3);
  fixture::writeFile(path, bytes);

  ReadOnlyStream stream;
  ASSERT_TRUE(stream.open(path));
  EXPECT_EQ(stream.length(), static_cast<long>(bytes.size()));
  const long size = static_cast<long>(bytes.size());
  std::mt19937 generator(7);
  for (int i = 0; i < 2000; ++i) {
    SCOPED_TRACE(i);
    const int kind = static_cast<int>(generator() % 3);
    const long jump = static_cast<long>(generator() % (bytes.size() + 100));
    if (kind == 0) stream.seek(jump);
    if (kind == 1) stream.seek(-static_cast<long>(generator() % 70000), TagLib::IOStream::End);
    if (kind == 2) stream.seek(static_cast<long>(generator() % 5000) - 2500, TagLib::IOStream::Current);
    const long at = stream.tell();
    ASSERT_GE(at, 0);
    const unsigned long length = generator() % 8 == 0 ? generator() % 400000 : generator() % 5000;
    const std::string expected =
        at >= size ? std::string() : bytes.substr(static_cast<std::size_t>(at), length);
    ASSERT_EQ(text(stream.readBlock(length)), expected);
    EXPECT_EQ(stream.tell(), at + static_cast<long>(expected.size()));
  }
}

TEST(ReadOnlyStreamTest, NextFileForgetsTheLastOne) {
  testsupport::TempDir dir;
  const std::string a = (dir.path() / "a").string(), b = (dir.path() / "b").string();
  fixture::writeFile(a, patterned(50000, 1));
  fixture::writeFile(b, patterned(40000, 2));
  ReadOnlyStream stream;
  ASSERT_TRUE(stream.open(a));
  stream.seek(-1000, TagLib::IOStream::End);
  stream.readBlock(1000);
  stream.seek(0);
  stream.readBlock(100);
  ASSERT_TRUE(stream.open(b));
  EXPECT_EQ(stream.tell(), 0);
  EXPECT_EQ(text(stream.readBlock(100)), patterned(40000, 2).substr(0, 100));
  stream.seek(-1000, TagLib::IOStream::End);
  EXPECT_EQ(text(stream.readBlock(1000)), patterned(40000, 2).substr(39000));
}

TEST(ReadOnlyStreamTest, SmallReadsStopAtTheScanLimit) {
  testsupport::TempDir dir;
  const std::string path = (dir.path() / "data.bin").string();
  const std::string bytes = patterned(400 * 1024, 4);
  fixture::writeFile(path, bytes);
  ReadOnlyStream stream;
  ASSERT_TRUE(stream.open(path));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(stream.readBlock(1024).size(), 1024u);  // no limit yet
  stream.setScanLimit(10000);
  ASSERT_TRUE(stream.open(path));
  stream.seek(5000);
  EXPECT_EQ(text(stream.readBlock(6000)), bytes.substr(5000, 6000));
  EXPECT_EQ(text(stream.readBlock(4000)), bytes.substr(11000, 4000));
  EXPECT_FALSE(stream.scanLimitReached());
  EXPECT_TRUE(stream.readBlock(1).isEmpty());
  EXPECT_TRUE(stream.scanLimitReached());
  EXPECT_EQ(stream.tell(), 15000);
  stream.seek(0);
  EXPECT_EQ(text(stream.readBlock(300 * 1024)), bytes.substr(0, 300 * 1024));  // a whole tag
  ASSERT_TRUE(stream.open(path));  // each file starts afresh
  EXPECT_FALSE(stream.scanLimitReached());
  EXPECT_EQ(stream.readBlock(9000).size(), 9000u);
}

TEST(ReadOnlyStreamTest, OnlyRegularFilesOpen) {
  testsupport::TempDir dir;
  ReadOnlyStream stream;
  EXPECT_FALSE(stream.open((dir.path() / "absent").string()));
  EXPECT_FALSE(stream.open(dir.path().string()));
  const std::string pipe = (dir.path() / "pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  EXPECT_FALSE(stream.open(pipe));  // returns at once instead of waiting for a writer
  EXPECT_FALSE(stream.isOpen());
  EXPECT_TRUE(stream.readBlock(10).isEmpty());
  const std::string empty = (dir.path() / "empty").string();
  fixture::writeFile(empty, "");
  ASSERT_TRUE(stream.open(empty));
  EXPECT_TRUE(stream.readBlock(10).isEmpty());
}

}  // namespace
}  // namespace importer
