// Reading the filter box's text: every form it takes, and what it refuses.
#include "catalog/filterquery.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/searchfold.h"

namespace {

using catalog::FilterTerm;
using Field = FilterTerm::Field;
using Kind = FilterTerm::Kind;

struct Read {
  const char* typed;
  Field field;
  Kind kind;
  bool excluded;
  const char* text;  // Text terms
  long long low, high;  // Number terms; -2 for open
};

constexpr long long kOpen = -2;

class ReadsTerm : public testing::TestWithParam<Read> {};

TEST_P(ReadsTerm, AsOneTerm) {
  const Read& r = GetParam();
  const catalog::FilterQuery query = catalog::parseFilter(r.typed);
  ASSERT_TRUE(query.valid()) << r.typed << ": " << query.problems.front();
  ASSERT_EQ(query.terms.size(), 1u) << r.typed;
  const FilterTerm& term = query.terms.front();
  EXPECT_EQ(term.field, r.field) << r.typed;
  EXPECT_EQ(term.kind, r.kind) << r.typed;
  EXPECT_EQ(term.excluded, r.excluded) << r.typed;
  if (r.kind == Kind::Text) {
    EXPECT_EQ(term.text, r.text) << r.typed;
  }
  if (r.kind == Kind::Number) {
    EXPECT_EQ(term.low.value_or(kOpen), r.low) << r.typed;
    EXPECT_EQ(term.high.value_or(kOpen), r.high) << r.typed;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Filter, ReadsTerm,
    testing::Values(
        Read{"Beatles", Field::Any, Kind::Text, false, "beatles", 0, 0},
        Read{"CAFÉ", Field::Any, Kind::Text, false, "cafe", 0, 0},
        Read{"\"the long road\"", Field::Any, Kind::Text, false, "the long road", 0, 0},
        Read{"\"say \"\"hi\"\"\"", Field::Any, Kind::Text, false, "say \"hi\"", 0, 0},
        Read{"-live", Field::Any, Kind::Text, true, "live", 0, 0},
        Read{"-\"live at\"", Field::Any, Kind::Text, true, "live at", 0, 0},
        Read{"ARTIST:beatles", Field::Artist, Kind::Text, false, "beatles", 0, 0},
        Read{"artist:\"the beatles\"", Field::Artist, Kind::Text, false, "the beatles", 0, 0},
        Read{"-genre:pop", Field::Genre, Kind::Text, true, "pop", 0, 0},
        Read{"path:/mnt/usb", Field::Path, Kind::Text, false, "/mnt/usb", 0, 0},
        Read{"filename:x.mp3", Field::Path, Kind::Text, false, "x.mp3", 0, 0},
        Read{"file:x", Field::Path, Kind::Text, false, "x", 0, 0},
        Read{"comment:rip", Field::Comment, Kind::Text, false, "rip", 0, 0},
        Read{"year:unknown", Field::Year, Kind::Text, false, "unknown", 0, 0},
        Read{"bitrate<128", Field::Bitrate, Kind::Number, false, "", kOpen, 127},
        Read{"bitrate<=128", Field::Bitrate, Kind::Number, false, "", kOpen, 128},
        Read{"bitrate>128", Field::Bitrate, Kind::Number, false, "", 129, kOpen},
        Read{"bitrate>=320", Field::Bitrate, Kind::Number, false, "", 320, kOpen},
        Read{"bitrate:128", Field::Bitrate, Kind::Number, false, "", 128, 128},
        Read{"bitrate:>=256", Field::Bitrate, Kind::Number, false, "", 256, kOpen},
        Read{"track=1", Field::Track, Kind::Number, false, "", 1, 1},
        Read{"bitrate:128..192", Field::Bitrate, Kind::Number, false, "", 128, 192},
        Read{"year:1990..1999", Field::Year, Kind::Number, false, "", 1990, 1999},
        Read{"year:..1979", Field::Year, Kind::Number, false, "", kOpen, 1979},
        Read{"year:2000..", Field::Year, Kind::Number, false, "", 2000, kOpen},
        Read{"duration>=10:00", Field::Duration, Kind::Number, false, "", 600, kOpen},
        Read{"length<90", Field::Duration, Kind::Number, false, "", kOpen, 89},
        Read{"track<0", Field::Track, Kind::Number, false, "", kOpen, -1},
        Read{"duration:1:02:03", Field::Duration, Kind::Number, false, "", 3723, 3723},
        Read{"Id:42", Field::Id, Kind::Number, false, "", 42, 42},
        Read{"-id:42", Field::Id, Kind::Number, true, "", 42, 42},
        Read{"vbr:yes", Field::Vbr, Kind::Flag, false, "", 0, 0},
        Read{"missing:NO", Field::Missing, Kind::Flag, false, "", 0, 0},
        Read{"Re:Zero", Field::Any, Kind::Text, false, "re:zero", 0, 0},
        Read{"love<3", Field::Any, Kind::Text, false, "love<3", 0, 0},
        Read{"-colour:red", Field::Any, Kind::Text, true, "colour:red", 0, 0},
        Read{"Tür:\"zu auf\"", Field::Any, Kind::Text, false, "tur:zu auf", 0, 0}));

TEST(Filter, BlankTextIsNoFilterAndWordsAllCount) {
  EXPECT_TRUE(catalog::parseFilter("").empty());
  EXPECT_TRUE(catalog::parseFilter("  \t ").empty());
  const auto query = catalog::parseFilter("  red   artist:blue \"green tea\" -x ");
  ASSERT_TRUE(query.valid());
  ASSERT_EQ(query.terms.size(), 4u);
  EXPECT_EQ(query.terms[2].text, "green tea");
  EXPECT_TRUE(query.terms[3].excluded);
  const auto title = catalog::parseFilter("Star Wars: Episode");
  ASSERT_TRUE(title.valid());
  ASSERT_EQ(title.terms.size(), 3u);
  EXPECT_EQ(title.terms[1].text, "wars:");
  const auto flags = catalog::parseFilter("vbr:no missing:yes");
  EXPECT_FALSE(flags.terms[0].flag);
  EXPECT_TRUE(flags.terms[1].flag);
}

class RefusesText : public testing::TestWithParam<const char*> {};

TEST_P(RefusesText, WithAProblemNamingTheTerm) {
  const std::string typed = GetParam();
  const catalog::FilterQuery query = catalog::parseFilter("fine " + typed);
  EXPECT_FALSE(query.valid()) << typed;
  ASSERT_EQ(query.problems.size(), 1u) << typed;
  EXPECT_FALSE(query.empty());
  // The sentence names what was typed, for the box's tooltip; a bare "-" has nothing to name.
  if (typed != "-") {
    EXPECT_NE(query.problems.front().find(typed.substr(0, 4)), std::string::npos)
        << query.problems.front();
  }
}

INSTANTIATE_TEST_SUITE_P(Filter, RefusesText,
                         testing::Values("bitrate<abc", "year:1999..1990",
                                         "\"unclosed words", "artist:\"open", "-",
                                         "duration>=1:75", "duration:1:5", "artist:",
                                         "vbr:maybe", "missing<1", "title>abc", "track:..",
                                         "bitrate:1..x", "\xCC\x81"));

// A NUL would end the SQL text; \x01 once stood for a quote inside the reader.
TEST(Filter, RefusesControlCharactersButTakesBlanksInQuotes) {
  for (const std::string& typed : {std::string("abc\0def", 7), std::string("\"ab\0\"", 5),
                                  std::string("\x01" "abc\x01"), std::string("title:\x01x\x01"),
                                  std::string("a\x1B" "b"), std::string("x\x7F")}) {
    const catalog::FilterQuery query = catalog::parseFilter("fine " + typed + " other");
    ASSERT_EQ(query.problems.size(), 1u) << testing::PrintToString(typed);
    EXPECT_NE(query.problems.front().find("control character"), std::string::npos);
    EXPECT_EQ(query.problems.front().find('\0'), std::string::npos);
  }
  const catalog::FilterQuery query = catalog::parseFilter("\"a\tb\"");
  ASSERT_TRUE(query.valid());
  EXPECT_EQ(query.terms.front().text, "a\tb");
}

TEST(SearchFold, DropsCaseAndAccentsAsTheIndexStoresThem) {
  EXPECT_EQ(engine::foldForSearch("Café"), "cafe");
  EXPECT_EQ(engine::foldForSearch("CAFÉ"), "cafe");
  EXPECT_EQ(engine::foldForSearch("Cafe\xCC\x81"), "cafe");
  EXPECT_EQ(engine::foldForSearch("Straße Ærø Œuvre Łódź Đorđe"), "strasse aero oeuvre lodz dorde");
  EXPECT_EQ(engine::foldForSearch("Ǆ Ș ș Ț"), "dz s s t");
  EXPECT_EQ(engine::foldForSearch("ΑΒΓ Жук"), "αβγ жук");
  EXPECT_EQ(engine::foldForSearch("STRAẞE ΟΔΟΣ οδος"), "strasse οδοσ οδοσ");
  EXPECT_EQ(engine::foldForSearch(std::string("a\xFF" "b")), "a\xEF\xBF\xBD" "b");
  // What FTS5 would index otherwise: cut at NUL, or read as U+FFFD.
  EXPECT_EQ(engine::foldForSearch(std::string("A\0B\xEF\xBF\xBE" "C\xEF\xBF\xBF", 10)),
            "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD");
}

}  // namespace
