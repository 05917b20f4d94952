#include "import/readmp3info.h"

#include <clocale>
#include <locale>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace importer {
namespace {

// The steps at which the fake component can be told to fail, in the order the reader takes them.
enum class Step { Create, Read, Album, Artist, Title, Genre, Track, Bitrate, Duration, Vbr, None };

struct FakeFile {
  bool readable = true;
  std::string title, artist, album, track, genre;
  int bitrate = 0, duration = 0;
  bool vbr = false;
};

// Hands over raw texts exactly as given and logs every call.
class FakeMp3Info final : public Mp3Info {
 public:
  FakeMp3Info(FakeFile file, Step failAt, std::vector<std::string>& log)
      : m_file(std::move(file)), m_failAt(failAt), m_log(log) {}

  bool read(const std::string& path) override {
    step(Step::Read, "read " + path);
    return m_file.readable;
  }
  std::string album() override { return step(Step::Album, "album"), m_file.album; }
  std::string artist() override { return step(Step::Artist, "artist"), m_file.artist; }
  std::string title() override { return step(Step::Title, "title"), m_file.title; }
  std::string genre() override { return step(Step::Genre, "genre"), m_file.genre; }
  std::string track() override { return step(Step::Track, "track"), m_file.track; }
  int bitrate() override { return step(Step::Bitrate, "bitrate"), m_file.bitrate; }
  int duration() override { return step(Step::Duration, "duration"), m_file.duration; }
  bool vbr() override { return step(Step::Vbr, "vbr"), m_file.vbr; }

  void setFile(FakeFile file) { m_file = std::move(file); }
  void setFailAt(Step step) { m_failAt = step; }

 private:
  void step(Step s, const std::string& entry) {
    m_log.push_back(entry);
    if (s == m_failAt) throw std::runtime_error("component failed at " + entry);
  }

  FakeFile m_file;
  Step m_failAt;
  std::vector<std::string>& m_log;
};

FakeFile fullFile() {
  FakeFile f;
  f.title = "Song";
  f.artist = "Band";
  f.album = "Disc";
  f.genre = "Rock";
  f.track = "3";
  f.bitrate = 192;
  f.duration = 215;
  f.vbr = true;
  return f;
}

class ReaderTest : public ::testing::Test {
 protected:
  // Reads `file` through a fresh fake that fails at `failAt`.
  SongInfo readWith(const FakeFile& file, Step failAt = Step::None) {
    component.reset();
    factory = [&, file, failAt]() -> std::unique_ptr<Mp3Info> {
      ++creations;
      if (failAt == Step::Create) throw std::runtime_error("not installed");
      return std::make_unique<FakeMp3Info>(file, failAt, log);
    };
    SongInfo info;
    ReadMp3Info("/m/a.mp3", info, component, factory);
    return info;
  }

  void expectUnknown(const SongInfo& info, int bitrate) {
    EXPECT_EQ(info.Title, "Unknown");
    EXPECT_EQ(info.Artist, "Unknown");
    EXPECT_EQ(info.Album, "Unknown");
    EXPECT_EQ(info.Genre, "Unknown");
    EXPECT_EQ(info.Track, "");
    EXPECT_EQ(info.Bitrate, bitrate);
    EXPECT_EQ(info.Duration, 0);
    EXPECT_FALSE(info.VBR);
  }

  std::unique_ptr<Mp3Info> component;
  Mp3InfoFactory factory;
  std::vector<std::string> log;
  int creations = 0;
};

TEST_F(ReaderTest, ReadsEveryValueInOrder) {
  const SongInfo info = readWith(fullFile());
  EXPECT_EQ(log, (std::vector<std::string>{"read /m/a.mp3", "album", "artist", "title", "genre",
                                           "track", "bitrate", "duration", "vbr"}));
  EXPECT_EQ(info.Title, "Song");
  EXPECT_EQ(info.Artist, "Band");
  EXPECT_EQ(info.Album, "Disc");
  EXPECT_EQ(info.Genre, "Rock");
  EXPECT_EQ(info.Track, "3");
  EXPECT_EQ(info.Bitrate, 192);
  EXPECT_EQ(info.Duration, 215);
  EXPECT_TRUE(info.VBR);
}

TEST_F(ReaderTest, UnreadableFileGivesDefaultsWithBitrateZero) {
  FakeFile file = fullFile();
  file.readable = false;
  expectUnknown(readWith(file), 0);
  EXPECT_EQ(log, std::vector<std::string>{"read /m/a.mp3"});
}

class ReaderFailureTest : public ReaderTest, public ::testing::WithParamInterface<Step> {};

TEST_P(ReaderFailureTest, AnyFailureDiscardsEverythingRead) {
  expectUnknown(readWith(fullFile(), GetParam()), -1);
}

INSTANTIATE_TEST_SUITE_P(EachStep, ReaderFailureTest,
                         ::testing::Values(Step::Create, Step::Read, Step::Album, Step::Artist,
                                           Step::Title, Step::Genre, Step::Track, Step::Bitrate,
                                           Step::Duration, Step::Vbr));

TEST_F(ReaderTest, CreationIsRetriedWhileItFailsThenKept) {
  int attempts = 0;
  factory = [&]() -> std::unique_ptr<Mp3Info> {
    if (++attempts <= 2) throw std::runtime_error("not registered");
    return std::make_unique<FakeMp3Info>(fullFile(), Step::None, log);
  };
  SongInfo info;
  ReadMp3Info("/m/1.mp3", info, component, factory);
  EXPECT_EQ(info.Bitrate, -1);
  EXPECT_EQ(component, nullptr);
  ReadMp3Info("/m/2.mp3", info, component, factory);
  EXPECT_EQ(info.Bitrate, -1);
  ReadMp3Info("/m/3.mp3", info, component, factory);
  EXPECT_EQ(info.Title, "Song");
  Mp3Info* const kept = component.get();
  ReadMp3Info("/m/4.mp3", info, component, factory);
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(component.get(), kept);
}

TEST_F(ReaderTest, FactoryGivingNothingCountsAsFailure) {
  factory = [] { return std::unique_ptr<Mp3Info>(); };
  SongInfo info;
  ReadMp3Info("/m/a.mp3", info, component, factory);
  expectUnknown(info, -1);
}

TEST_F(ReaderTest, SecondFileInTheSameRecordLeavesNothingOfTheFirst) {
  auto* fake = new FakeMp3Info(fullFile(), Step::None, log);
  component.reset(fake);
  SongInfo info;
  ReadMp3Info("/m/a.mp3", info, component, factory);
  ASSERT_EQ(info.Title, "Song");

  FakeFile unreadable = fullFile();
  unreadable.readable = false;
  fake->setFile(unreadable);
  ReadMp3Info("/m/b.mp3", info, component, factory);
  expectUnknown(info, 0);

  fake->setFile(fullFile());
  ReadMp3Info("/m/c.mp3", info, component, factory);
  fake->setFailAt(Step::Duration);
  ReadMp3Info("/m/d.mp3", info, component, factory);
  expectUnknown(info, -1);

  FakeFile partial;  // tags empty, audio values set
  partial.bitrate = 64;
  partial.duration = 7;
  fake->setFile(partial);
  fake->setFailAt(Step::None);
  ReadMp3Info("/m/e.mp3", info, component, factory);
  EXPECT_EQ(info.Title, "Unknown");
  EXPECT_EQ(info.Track, "");
  EXPECT_EQ(info.Bitrate, 64);
  EXPECT_EQ(info.Duration, 7);
  EXPECT_FALSE(info.VBR);
}

TEST_F(ReaderTest, TrimsOnlyBlanks) {
  FakeFile file = fullFile();
  file.title = "  Song\t ";
  file.artist = " \tBand";
  file.album = "   ";
  const SongInfo info = readWith(file);
  EXPECT_EQ(info.Title, "Song\t");
  EXPECT_EQ(info.Artist, "\tBand");
  EXPECT_EQ(info.Album, "Unknown");
}

struct TextCase {
  const char* raw;
  const char* expected;
};

class GenreRuleTest : public ReaderTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(GenreRuleTest, LeadingReferencesGoTheRestStays) {
  FakeFile file = fullFile();
  file.genre = GetParam().raw;
  EXPECT_EQ(readWith(file).Genre, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GenreRuleTest,
    ::testing::Values(TextCase{"(17)Rock", "Rock"}, TextCase{" (2) Country ", "Country"},
                      TextCase{"Pop", "Pop"}, TextCase{"(17)", "Unknown"},
                      TextCase{"(17)(RX)", "Unknown"}, TextCase{"(17)(RX)Remix", "Remix"},
                      TextCase{"Rock (Live)", "Rock (Live)"},
                      TextCase{"(Live) Rock", "(Live) Rock"},
                      TextCase{"(2021) Hits", "(2021) Hits"}, TextCase{"(17", "(17"},
                      TextCase{"", "Unknown"}, TextCase{"  ", "Unknown"}));

class TrackRuleTest : public ReaderTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TrackRuleTest, StoresTheNumbersTextForm) {
  FakeFile file = fullFile();
  file.track = GetParam().raw;
  EXPECT_EQ(readWith(file).Track, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrackRuleTest,
    ::testing::Values(
        TextCase{"03/12", "3"}, TextCase{" 4 / 10", "4"}, TextCase{"7", "7"},
        TextCase{"12a", "12"}, TextCase{"0", ""}, TextCase{"/5", ""}, TextCase{"A1", ""},
        TextCase{"", ""}, TextCase{"-3", "-3"}, TextCase{"+4", "4"}, TextCase{"1 2", "12"},
        TextCase{"1\t2\n3", "123"}, TextCase{"1\r2", "1"}, TextCase{"&H1F", "31"},
        TextCase{"&hff/2", "255"}, TextCase{"&O17", "15"}, TextCase{"&o19", "1"},
        TextCase{"&X1", ""}, TextCase{"&H", ""}, TextCase{"1E3", "1000"},
        TextCase{"2d2", "200"}, TextCase{"1e", "1"}, TextCase{"1e+", "1"},
        TextCase{"2.5", "2.5"}, TextCase{".5", "0.5"}, TextCase{"3.", "3"},
        TextCase{"3.0", "3"}, TextCase{"0.1", "0.1"}, TextCase{"1.5e-7", "0.00000015"},
        TextCase{"1e-5", "0.00001"}, TextCase{"-2.5E-6", "-0.0000025"},
        TextCase{"0.0001", "0.0001"}, TextCase{"1.23456789012345678e-10", "0.000000000123456789012346"},
        TextCase{"0.1234567890123456", "0.123456789012346"},
        TextCase{"12345678901234.56", "12345678901234.6"},
        TextCase{"999999999999999.9", "1E+15"}, TextCase{"1.5e20", "1.5E+20"},
        TextCase{"1e20", "1E+20"}, TextCase{"123456789012345", "123456789012345"},
        TextCase{"1234567890123456", "1.23456789012346E+15"}, TextCase{"1e999", ""},
        TextCase{"1e-999", ""}, TextCase{"-0", ""}, TextCase{"'7'", ""}));

TEST(NumberTextTest, ExtremesKeepTheirForm) {
  const std::string tiny = numberText(4.9406564584124654e-324);  // the smallest double
  EXPECT_EQ(tiny.substr(0, 6), "0.0000");
  EXPECT_EQ(tiny.size(), 2u + 323u + 15u);
  EXPECT_EQ(tiny.substr(tiny.size() - 15), "494065645841247");
  EXPECT_EQ(numberText(-1.7976931348623157e308), "-1.79769313486232E+308");
  EXPECT_EQ(numberText(-0.5), "-0.5");
}

// The desktop may set a locale whose decimal separator is a comma. No such locale need be
// installed for this one: the C++ global locale gets a comma from a facet of the test's own.
TEST(NumericValueTest, DoesNotFollowTheCxxGlobalLocale) {
  struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  const double value = numericValue("2.5");
  const std::string fraction = numberText(0.25);
  const std::string large = numberText(1234567);
  const std::string exponent = numberText(1.5e20);
  std::locale::global(saved);
  EXPECT_EQ(value, 2.5);
  EXPECT_EQ(fraction, "0.25");
  EXPECT_EQ(large, "1234567");
  EXPECT_EQ(exponent, "1.5E+20");
}

// The same for the C library's locale. scripts/test generates de_DE.UTF-8 for this.
TEST(NumericValueTest, DoesNotFollowTheCLibraryLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  bool found = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8",
                           "ru_RU.UTF-8", "de_DE", "fr_FR"})
    if (std::setlocale(LC_NUMERIC, name) && *std::localeconv()->decimal_point == ',') {
      found = true;
      break;
    }
  if (!found) {
    std::setlocale(LC_NUMERIC, saved.c_str());
    FAIL() << "no locale with a decimal comma is installed; scripts/test generates de_DE.UTF-8 "
              "(as root)";
  }
  const double value = numericValue("2.5");
  const std::string text = numberText(0.25);
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(value, 2.5);
  EXPECT_EQ(text, "0.25");
}

}  // namespace
}  // namespace importer
