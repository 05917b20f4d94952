#include "tagreader/id3v1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <taglib/id3v1genres.h>

#include "support/childprocess.h"
#include "support/tempdir.h"
#include "tagblock.h"
#include "tagreader/id3v1genres.h"

namespace tagreader {
namespace {

using namespace std::string_literals;
using testsupport::TempDir;

const std::string kAudio(5000, '\xFF');

// ---- Fields -------------------------------------------------------------------------------

struct FieldCase {
  const char* name;
  std::string raw;  // the rest of the 30 bytes is NUL
  std::string shown;
};
void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class FieldTextTest : public ::testing::TestWithParam<FieldCase> {};

// The case goes into all four 30-byte fields, so each is also checked to come from its place.
TEST_P(FieldTextTest, TextFieldsFollowTheDisplayRule) {
  const std::string& raw = GetParam().raw;
  TempDir dir;
  const std::optional<Id3v1Tag> tag = readId3v1(dir.write(
      "song.mp3", kAudio + TagBlock().title(raw).artist(raw).album(raw).comment(raw).bytes()));
  ASSERT_TRUE(tag.has_value());
  for (const std::string* shown : {&tag->Title, &tag->Artist, &tag->Album, &tag->Comment}) {
    EXPECT_EQ(*shown, GetParam().shown);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FieldTextTest,
    ::testing::Values(
        FieldCase{"NulFilled", "Abc", "Abc"},
        FieldCase{"SpaceFilled", "Abc" + std::string(27, ' '), "Abc"},
        FieldCase{"SpacesBeforeNul", "Abc  ", "Abc  "},
        FieldCase{"AllSpaces", std::string(30, ' '), ""},
        FieldCase{"StartsWithNul", "\0Hidden"s, ""},
        FieldCase{"CutAtFirstNul", "ab   \0cd\0ef"s, "ab   "},
        FieldCase{"SpacesAfterNul", "ab\0"s + std::string(27, ' '), "ab"},
        FieldCase{"LeadingSpacesAndTabsStay", " \tAbc\t" + std::string(24, ' '), " \tAbc\t"},
        FieldCase{"FullWidth", std::string(30, 'x'), std::string(30, 'x')},
        FieldCase{"TrackInLastTwoBytes", "Nice one" + std::string(21, '\0') + "\x07", "Nice one"},
        FieldCase{"Windows1252", "Caf\xE9 \x80 \x81\xA0", "Caf\u00E9 \u20AC \u0081\u00A0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadId3v1, EveryFieldFromItsPlace) {
  TempDir dir;
  const TagBlock block = TagBlock().title("Title").artist("Artist").album("Album").fill(' ');
  std::optional<Id3v1Tag> tag = readId3v1(
      dir.write("a.mp3", TagBlock(block).year("1999").comment("Comment").genre(1).bytes()));
  ASSERT_TRUE(tag.has_value());
  EXPECT_EQ(tag->Title, "Title");
  EXPECT_EQ(tag->Artist, "Artist");
  EXPECT_EQ(tag->Album, "Album");
  EXPECT_EQ(tag->Year, "1999");
  EXPECT_EQ(tag->Comment, "Comment");
  EXPECT_EQ(tag->Genre, "Classic Rock (1)");

  tag = readId3v1(dir.write("b.mp3", TagBlock(block).year("    ").comment("x").bytes()));
  ASSERT_TRUE(tag.has_value());
  EXPECT_EQ(tag->Year, "");
  EXPECT_EQ(tag->Comment, "x");
  EXPECT_EQ(tag->Genre, "");
}

TEST(Windows1252, EachByteIsOneCharacter) {
  std::string high;
  for (int b = 0x80; b < 0xA0; ++b) high += static_cast<char>(b);
  EXPECT_EQ(windows1252ToUtf8(high),
            "\u20AC\u0081\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152"
            "\u008D\u017D\u008F\u0090\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122"
            "\u0161\u203A\u0153\u009D\u017E\u0178");
  EXPECT_EQ(windows1252ToUtf8("\t~\x7F\xA0\xE9\xFF"s + '\0'), "\t~\x7F\u00A0\u00E9\u00FF"s + '\0');
}

// ---- Genre --------------------------------------------------------------------------------

TEST(Genre, ShownAsNameAndNumber) {
  const std::pair<int, const char*> cases[] = {
      {0, "Blues (0)"}, {17, "Rock (17)"}, {80, "Folk (80)"}, {191, "Psybient (191)"},
      {192, "192"},     {254, "254"},      {255, ""}};
  for (const auto& [number, shown] : cases) {
    EXPECT_EQ(genreText(static_cast<unsigned char>(number)), shown) << number;
  }
}

// The folder import names genres through TagLib: both must name every number alike.
TEST(Genre, SameNamesAsTagLib) {
  for (int number = -1; number <= 256; ++number) {
    const char* name = id3v1GenreName(number);
    EXPECT_EQ(name ? name : "", TagLib::ID3v1::genre(number).to8Bit(true)) << number;
  }
}

// ---- Whole files ----------------------------------------------------------------------------

struct FileCase {
  const char* name;
  std::string contents;
  std::optional<std::string> title;  // nullopt: no tag
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class FileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileTest, TagOnlyWhenTheLast128BytesBeginWithTAG) {
  TempDir dir;
  const std::optional<Id3v1Tag> tag = readId3v1(dir.write("song.mp3", GetParam().contents));
  ASSERT_EQ(tag.has_value(), GetParam().title.has_value());
  if (tag) {
    EXPECT_EQ(tag->Title, *GetParam().title);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileTest,
    ::testing::Values(
        FileCase{"Exactly128Bytes", TagBlock().title("All tag").bytes(), "All tag"},
        FileCase{"TagAfterAudio", kAudio + TagBlock().title("Song").bytes(), "Song"},
        FileCase{"LowerCaseMarker", TagBlock().marker("tag").title("x").bytes(), {}},
        FileCase{"MixedCaseMarker", TagBlock().marker("Tag").title("x").bytes(), {}},
        FileCase{"OneByteAfterTheTag", TagBlock().title("x").bytes() + "\n", {}},
        FileCase{"TagEndsOneByteEarly", "\n" + TagBlock().title("x").bytes().substr(0, 127), {}},
        FileCase{"AudioOnly", kAudio, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Lengths past 31 and 32 bits: sparse files with the tag at the very end.
class LargeFileTest : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(LargeFileTest, TagAtTheEndOfAHugeFile) {
  TempDir dir;
  const std::string path = dir.path("huge.mp3");
  const std::string block = TagBlock().title("Far away").bytes();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const bool sparse =
      ::ftruncate(fd, GetParam()) == 0 && ::pwrite(fd, block.data(), 128, GetParam() - 128) == 128;
  ::close(fd);
  if (!sparse) GTEST_SKIP() << "no room for a sparse file of " << GetParam() << " bytes";
  const std::optional<Id3v1Tag> tag = readId3v1(path);
  ASSERT_TRUE(tag.has_value());
  EXPECT_EQ(tag->Title, "Far away");
}

INSTANTIATE_TEST_SUITE_P(Lengths, LargeFileTest,
                         ::testing::Values(std::int64_t{1} << 31, (std::int64_t{1} << 31) + 127,
                                           (std::int64_t{1} << 32) + 1000));

// ---- Failures -------------------------------------------------------------------------------

struct ErrorCase {
  const char* name;
  std::function<std::string(const TempDir&)> setUp;  // returns the path to read
  int number;
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorTest, FailsNamingThePathAndCreatesNothing) {
  TempDir dir;
  const std::string path = GetParam().setUp(dir);
  const auto existed = std::filesystem::exists(std::filesystem::symlink_status(path));
  try {
    readId3v1(path);
    FAIL() << "no error";
  } catch (const TagReadError& e) {
    EXPECT_EQ(e.number(), GetParam().number);
    EXPECT_NE(e.description().find("\"" + path + "\""), std::string::npos) << e.description();
  }
  EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(path)), existed);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ErrorTest,
    ::testing::Values(
        ErrorCase{"EmptyPath", [](const TempDir&) { return ""s; }, err::kBadFileName},
        ErrorCase{"NulInPath",
                  [](const TempDir& d) { return d.write("a.mp3", kAudio) + "\0.txt"s; },
                  err::kBadFileName},
        ErrorCase{"MissingFile", [](const TempDir& d) { return d.path("gone.mp3"); },
                  err::kFileNotFound},
        ErrorCase{"MissingFolder", [](const TempDir& d) { return d.path("no/such.mp3"); },
                  err::kFileNotFound},
        ErrorCase{"FileAsFolder", [](const TempDir& d) { return d.write("a.mp3", kAudio) + "/x"; },
                  err::kPathNotFound},
        ErrorCase{"Folder",
                  [](const TempDir& d) {
                    std::filesystem::create_directory(d.path("album.mp3"));
                    return d.path("album.mp3");
                  },
                  err::kPathFileAccess},
        ErrorCase{"Fifo",  // opening it for reading would wait for a writer
                  [](const TempDir& d) {
                    if (::mkfifo(d.path("pipe.mp3").c_str(), 0600) != 0) throw std::exception();
                    return d.path("pipe.mp3");
                  },
                  err::kPathFileAccess},
        ErrorCase{"Device", [](const TempDir&) { return "/dev/zero"s; }, err::kPathFileAccess},
        ErrorCase{"EmptyFile", [](const TempDir& d) { return d.write("e.mp3", ""); },
                  err::kFileTooShort},
        ErrorCase{"Bytes127",
                  [](const TempDir& d) { return d.write("s.mp3", TagBlock().bytes().substr(1)); },
                  err::kFileTooShort}),
    [](const auto& info) { return std::string(info.param.name); });

// Read without root, who may read any file.
TEST(ReadId3v1Errors, UnreadableFile) {
  TempDir dir;
  const std::string path = dir.write("locked.mp3", TagBlock().bytes());
  testsupport::handToUnprivilegedUser(dir.path());
  std::filesystem::permissions(path, std::filesystem::perms::none);
  testsupport::ChildProcess child(
      [&](const testsupport::Channel&) {
        try {
          readId3v1(path);
          ADD_FAILURE() << "no error";
        } catch (const TagReadError& e) {
          EXPECT_EQ(e.number(), err::kPermissionDenied);
        }
      },
      {.withoutRoot = true});
  EXPECT_EQ(child.wait(), 0);
}

TEST(ReadId3v1Errors, NoFileIsLeftOpen) {
  TempDir dir;
  const std::string tagged = dir.write("tagged.mp3", TagBlock().bytes());
  const std::string untagged = dir.write("untagged.mp3", kAudio);
  const std::string tooShort = dir.write("short.mp3", "abc");
  const auto openFiles = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const auto before = openFiles();
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(readId3v1(tagged).has_value());
    EXPECT_FALSE(readId3v1(untagged).has_value());
    EXPECT_THROW(readId3v1(tooShort), TagReadError);
  }
  EXPECT_EQ(openFiles(), before);
}

// ---- Robustness -------------------------------------------------------------------------------

std::size_t characters(const std::string& utf8) {
  std::size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

TEST(Robustness, RandomBlocks) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  struct Slot {
    std::size_t offset, width;
    std::string Id3v1Tag::*field;
  };
  const Slot slots[] = {{3, 30, &Id3v1Tag::Title},
                        {33, 30, &Id3v1Tag::Artist},
                        {63, 30, &Id3v1Tag::Album},
                        {93, 4, &Id3v1Tag::Year},
                        {97, 30, &Id3v1Tag::Comment}};
  for (int round = 0; round < 5000; ++round) {
    Id3v1Block block;
    for (auto& b : block) b = static_cast<unsigned char>(byte(random));
    if (round % 2 == 0) std::copy_n("TAG", 3, block.begin());
    const std::optional<Id3v1Tag> tag = parseId3v1(block);
    ASSERT_EQ(tag.has_value(), std::equal(block.begin(), block.begin() + 3, "TAG"));
    if (!tag) continue;
    for (const Slot& s : slots) {
      const std::string raw(block.begin() + s.offset, block.begin() + s.offset + s.width);
      const std::string& shown = (*tag).*s.field;
      EXPECT_EQ(shown.find('\0'), std::string::npos);
      // One character per byte, up to the first NUL, or up to the trailing spaces.
      const std::size_t nul = raw.find('\0');
      const std::size_t end = nul != std::string::npos ? nul : raw.find_last_not_of(' ') + 1;
      EXPECT_EQ(characters(shown), end);
    }
    EXPECT_EQ(tag->GenreNumber, block[127]);
  }
}

}  // namespace
}  // namespace tagreader
