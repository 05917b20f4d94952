#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "catalogue_fixture.h"
#include "engine/jetlike.h"

namespace {

// A stop check that counts how often it is asked and says stop from its `stopFrom`-th time on
// (never when 0).
struct CountingStop {
  int asked = 0;
  int stopFrom = 0;

  static bool check(void* self) {
    auto* s = static_cast<CountingStop*>(self);
    ++s->asked;
    return s->stopFrom != 0 && s->asked >= s->stopFrom;
  }
};

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
  // A match this short never asks whether to stop, so even a check that always says stop
  // leaves the answer alone.
  CountingStop stop{.stopFrom = 1};
  EXPECT_EQ(pattern->matches(c.text, &CountingStop::check, &stop), c.expect == kYes);
  EXPECT_EQ(stop.asked, 0);
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

// An in-memory SQLite connection with Jet's like() and the given stop check.
class MemoryConnection {
 public:
  explicit MemoryConnection(engine::StopCheck stop = nullptr, void* context = nullptr) {
    EXPECT_EQ(sqlite3_open(":memory:", &m_db), SQLITE_OK);
    EXPECT_EQ(engine::registerJetLike(m_db, stop, context), SQLITE_OK);
  }
  ~MemoryConnection() { sqlite3_close(m_db); }
  MemoryConnection(const MemoryConnection&) = delete;
  MemoryConnection& operator=(const MemoryConnection&) = delete;

  // Runs a query of one value: the first step's result code, and the value in `value`.
  int query(const std::string& sql, std::int64_t* value = nullptr) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW && value) *value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return rc;
  }
  sqlite3* handle() const { return m_db; }

 private:
  sqlite3* m_db = nullptr;
};

// Pattern and text of matches long enough to ask the stop check, one for each way of matching.
struct LongMatch {
  const char* name;
  const char* sql;  // SELECT <text> LIKE <pattern>
  std::int64_t answer;
};

// '*' then 120000 '?' then 'b' over 120000 'a': 120000 x 120000 steps, a minute and a half.
constexpr const char* kSlowMatch =
    "SELECT printf('%.*c',120000,'a') LIKE ('*'||printf('%.*c',120000,'?')||'b')";

const LongMatch kLongMatches[] = {
    {"automaton, no", "SELECT printf('%.*c',3000,'a') LIKE ('*'||printf('%.*c',2000,'?')||'b')", 0},
    {"automaton, yes",
     "SELECT printf('%.*c',3000,'a')||'b' LIKE ('*'||printf('%.*c',2000,'?')||'b')", 1},
    {"automaton with escape",
     "SELECT printf('%.*c',3000,'a')||'?' LIKE ('*'||printf('%.*c',2000,'?')||'\\?') "
     "ESCAPE '\\'",
     1},
    {"substring, no", "SELECT printf('%.*c',400000,'a') LIKE ('*'||printf('%.*c',1000,'a')||'b*')",
     0},
    {"substring, yes",
     "SELECT printf('%.*c',400000,'a')||'B' LIKE ('*'||printf('%.*c',1000,'a')||'b*')", 1},
    {"exact, no", "SELECT printf('%.*c',400000,'a') LIKE (printf('%.*c',399999,'A')||'b')", 0},
    {"exact, yes", "SELECT printf('%.*c',400000,'a') LIKE printf('%.*c',400000,'A')", 1},
};

TEST(LikeStopCheck, EndsTheSlowMatchWithInterruptWhenToldTo) {
  CountingStop stop{.stopFrom = 3};
  MemoryConnection db(&CountingStop::check, &stop);
  EXPECT_EQ(db.query(kSlowMatch), SQLITE_INTERRUPT);
  EXPECT_EQ(sqlite3_errcode(db.handle()), SQLITE_INTERRUPT);
  // The match ended when the check first said stop.
  EXPECT_EQ(stop.asked, 3);

  // The connection goes on working, and short matches do not ask.
  std::int64_t value = -1;
  EXPECT_EQ(db.query("SELECT 'Summer Love Song' LIKE '*LOVE*'", &value), SQLITE_ROW);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(stop.asked, 3);
}

TEST(LikeStopCheck, EveryWayOfMatchingStopsWhenToldTo) {
  for (const LongMatch& match : kLongMatches) {
    CountingStop stop{.stopFrom = 1};
    MemoryConnection db(&CountingStop::check, &stop);
    EXPECT_EQ(db.query(match.sql), SQLITE_INTERRUPT) << match.name;
    EXPECT_EQ(stop.asked, 1) << match.name;
  }
}

TEST(LikeStopCheck, ACheckThatNeverStopsChangesNoAnswer) {
  MemoryConnection plain;
  for (const LongMatch& match : kLongMatches) {
    CountingStop stop;
    MemoryConnection db(&CountingStop::check, &stop);
    std::int64_t withCheck = -1, without = -1;
    ASSERT_EQ(db.query(match.sql, &withCheck), SQLITE_ROW) << match.name;
    ASSERT_EQ(plain.query(match.sql, &without), SQLITE_ROW) << match.name;
    EXPECT_EQ(withCheck, match.answer) << match.name;
    EXPECT_EQ(without, match.answer) << match.name;
    EXPECT_GT(stop.asked, 0) << match.name << ": long enough to be asked";
  }
}

TEST(LikeStopCheck, IsNotAskedWhileMatchingManyShortTitles) {
  // The work is counted per call: a query over a large catalogue of ordinary titles never
  // pays for a single check (SQLite's own progress handler sees between rows).
  CountingStop stop{.stopFrom = 1};
  MemoryConnection db(&CountingStop::check, &stop);
  std::int64_t value = -1;
  ASSERT_EQ(db.query("CREATE TABLE t(title)"), SQLITE_DONE);
  ASSERT_EQ(db.query("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                     "WHERE i < 20000) INSERT INTO t SELECT printf('Track %05d of the Long "
                     "Summer Love Song, remastered', i) FROM n"),
            SQLITE_DONE);
  for (const char* pattern : {"*love*", "track 1*", "*[j-l] ##*", "*?o?e*s*", "*remastered"}) {
    ASSERT_EQ(db.query(std::string("SELECT count(*) FROM t WHERE title LIKE '") + pattern + "'",
                       &value),
              SQLITE_ROW)
        << pattern;
    EXPECT_GT(value, 0) << pattern;
  }
  EXPECT_EQ(stop.asked, 0);
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
