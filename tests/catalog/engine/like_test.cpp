#include <gtest/gtest.h>

#include "catalogue_fixture.h"
#include "engine/jetlike.h"

namespace {

enum Expect { kNo, kYes, kBad };

struct LikeCase {
  const char* pattern;
  const char* text;
  Expect expect;
};

void PrintTo(const LikeCase& c, std::ostream* os) {
  *os << "'" << c.text << "' like '" << c.pattern << "'";
}

class JetLikeTable : public ::testing::TestWithParam<LikeCase> {};

TEST_P(JetLikeTable, Matches) {
  const LikeCase& c = GetParam();
  std::string error;
  auto pattern = engine::JetPattern::compile(c.pattern, &error);
  if (c.expect == kBad) {
    EXPECT_FALSE(pattern.has_value());
    EXPECT_FALSE(error.empty());
    return;
  }
  ASSERT_TRUE(pattern.has_value()) << error;
  EXPECT_EQ(pattern->matches(c.text), c.expect == kYes);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, JetLikeTable,
    ::testing::Values(
        // "*" is any run, including none; the whole text must match.
        LikeCase{"*", "", kYes}, LikeCase{"*", "anything", kYes}, LikeCase{"**", "x", kYes},
        LikeCase{"*love*", "Summer Love Song", kYes}, LikeCase{"*love*", "Summer Song", kNo},
        LikeCase{"love", "Love", kYes}, LikeCase{"love", "Lovely", kNo},
        LikeCase{"a*b*c", "aXXbYYc", kYes}, LikeCase{"a*b*c", "aXXbYY", kNo},
        LikeCase{"love", "lov", kNo}, LikeCase{"", "", kYes}, LikeCase{"", "a", kNo},
        // A substring search that falls back after a partial match.
        LikeCase{"*abab*", "abaabab", kYes}, LikeCase{"*abab*", "abaaba", kNo},
        LikeCase{"*aab*", "aaab", kYes}, LikeCase{"*aab*", "aaaa", kNo},
        LikeCase{"*ABAC*", "ababac", kYes}, LikeCase{"*aa*", "a", kNo},
        // "?" one character, "#" one digit.
        LikeCase{"b?d", "bed", kYes}, LikeCase{"b?d", "bd", kNo}, LikeCase{"b?d", "bééd", kNo},
        LikeCase{"b?d", "béd", kYes}, LikeCase{"19##", "1999", kYes}, LikeCase{"19##", "19x9", kNo},
        // Character lists, ranges and negation; case-insensitive.
        LikeCase{"[abc]*", "Bravo", kYes}, LikeCase{"[abc]*", "Delta", kNo},
        LikeCase{"[a-f]x", "Ex", kYes}, LikeCase{"[A-F]x", "ex", kYes},
        LikeCase{"[!a-f]x", "gx", kYes}, LikeCase{"[!a-f]x", "cx", kNo},
        LikeCase{"[*]*", "*star", kYes}, LikeCase{"[?]", "?", kYes}, LikeCase{"[#]", "#", kYes},
        LikeCase{"[-a]", "-", kYes}, LikeCase{"[a-]", "-", kYes}, LikeCase{"a[]b", "ab", kYes},
        // "%" and "_" are ordinary characters.
        LikeCase{"50%", "50%", kYes}, LikeCase{"50%", "500", kNo}, LikeCase{"a_b", "axb", kNo},
        LikeCase{"a_b", "a_b", kYes},
        // Case folding beyond ASCII.
        LikeCase{"*café*", "CAFÉ DEL MAR", kYes}, LikeCase{"ÆTHER", "æther", kYes},
        LikeCase{"łukasz*", "ŁUKASZ Trio", kYes}, LikeCase{"мир", "МИР", kYes},
        // Malformed patterns are errors, never crashes.
        LikeCase{"[abc", "a", kBad}, LikeCase{"[z-a]", "m", kBad}, LikeCase{"x[", "x", kBad}));

TEST(JetLike, PathologicalPatternRunsInPolynomialTime) {
  // Backtracking matchers take exponential time here; the automaton is text x pattern.
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern += "a*";
  pattern += "b";
  const std::string text(20000, 'a');
  std::string error;
  auto compiled = engine::JetPattern::compile(pattern, &error);
  ASSERT_TRUE(compiled.has_value());
  EXPECT_FALSE(compiled->matches(text));
  EXPECT_TRUE(compiled->matches(text + "b"));
}

TEST(JetLike, SubstringSearchRunsInLinearTime) {
  // A search restarting one character after each near miss costs text x needle here.
  const std::string needle(500000, 'a');
  const std::string text(1000000, 'a');
  std::string error;
  auto compiled = engine::JetPattern::compile("*" + needle + "b*", &error);
  ASSERT_TRUE(compiled.has_value());
  EXPECT_FALSE(compiled->matches(text));
  EXPECT_TRUE(compiled->matches(text + "b"));
  EXPECT_TRUE(compiled->matches("b" + text + "bA"));
}

TEST(JetLike, InvalidUtf8NeverBreaksMatching) {
  std::string error;
  auto any = engine::JetPattern::compile("?", &error);
  ASSERT_TRUE(any.has_value());
  EXPECT_TRUE(any->matches("\xff"));         // one bad byte is one character
  EXPECT_FALSE(any->matches("\xe2\x82"));    // a cut sequence is two
  EXPECT_TRUE(any->matches("\xe2\x82\xac"));  // the euro sign is one
  // Bad bytes read as U+FFFD in every kind of pattern.
  for (const char* pattern : {"\xef\xbf\xbd\xef\xbf\xbd", "*\xef\xbf\xbd\xef\xbf\xbd*",
                              "[\xef\xbf\xbd]\xef\xbf\xbd"}) {
    auto replaced = engine::JetPattern::compile(pattern, &error);
    ASSERT_TRUE(replaced.has_value()) << pattern;
    EXPECT_TRUE(replaced->matches("\xe2\x82")) << pattern;
    EXPECT_FALSE(replaced->matches("\xe2\x82\xac")) << pattern;
  }
}

class LikeInSql : public CatalogueTest {};

TEST_F(LikeInSql, FollowsJetRulesAndNullsStayOut) {
  auto db = open();
  insertSong(*db, "Don''t Stop", "Band");
  insertSong(*db, "", "Empty Title");
  db->Execute("INSERT INTO music_shelf (Artist) VALUES ('No Title')", 64);
  insertSong(*db, "100% Pure", "x");
  // "*" keeps empty titles and leaves NULL ones out.
  EXPECT_EQ(count(*db, "WHERE Title like '*'"), 3);
  EXPECT_EQ(count(*db, "WHERE Title like '*don''t*'"), 1);
  EXPECT_EQ(count(*db, "WHERE Title like '%'"), 0);
  EXPECT_EQ(count(*db, "WHERE Title like '*[%]*'"), 1);
  EXPECT_EQ(count(*db, "WHERE Title LIKE '*P_re'"), 0);
  EXPECT_EQ(count(*db, "WHERE like('d*', Title)"), 1);
  EXPECT_EQ(count(*db, "WHERE Title like 'x!*' ESCAPE '!'"), 0);
  // Numbers are matched as their text.
  db->Execute("INSERT INTO music_shelf (Title, Track) VALUES ('t', '12')", 64);
  EXPECT_EQ(count(*db, "WHERE Track like '1#'"), 1);
}

TEST_F(LikeInSql, MalformedPatternIsAnErrorOfTheQuery) {
  auto db = open();
  insertSong(*db, "a", "b");
  try {
    db->OpenRecordset("SELECT * FROM music_shelf WHERE Title like '[abc'", engine::dbOpenDynaset);
    FAIL() << "expected an error";
  } catch (const engine::EngineError& e) {
    EXPECT_NE(e.description().find("Invalid pattern"), std::string::npos) << e.description();
  }
}

}  // namespace
