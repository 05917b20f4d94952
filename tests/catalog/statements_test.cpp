#include "catalog/statements.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/errors.h"

namespace {

using catalog::nextSort;
using catalog::SortStep;

TEST(Statements, FixedTexts) {
  EXPECT_EQ(catalog::allRowsSql(), "Select * from music_shelf where Title like '*' ORDER BY ID");
  EXPECT_EQ(catalog::snapshotSql(), "Select * from music_shelf where Title like '*' ");
  EXPECT_EQ(catalog::addSql(),
            "INSERT INTO music_shelf (Title, Artist) VALUES ('unknown','unknown')");
  EXPECT_EQ(catalog::sortedSql("Title", false),
            "Select * from music_shelf where Title like '*' ORDER BY Title");
  EXPECT_EQ(catalog::sortedSql("Title", true),
            "Select * from music_shelf where Title like '*' ORDER BY Title DESC;");
}

TEST(Statements, DeleteWritesPlainDecimalDigits) {
  EXPECT_EQ(catalog::deleteSql(17), "DELETE FROM music_shelf WHERE ID = 17");
  EXPECT_EQ(catalog::deleteSql(-5), "DELETE FROM music_shelf WHERE ID = -5");
  EXPECT_EQ(catalog::deleteSql(std::numeric_limits<std::int32_t>::min()),
            "DELETE FROM music_shelf WHERE ID = -2147483648");
}

struct SearchCase {
  const char* title;
  const char* artist;
  std::optional<std::string> sql;
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << "title=" << c.title << " artist=" << c.artist; }

class Search : public ::testing::TestWithParam<SearchCase> {};

TEST_P(Search, BuildsConditionsArtistFirst) {
  EXPECT_EQ(catalog::searchSql(GetParam().title, GetParam().artist), GetParam().sql);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Search,
    ::testing::Values(
        SearchCase{"", "", std::nullopt},
        SearchCase{"", "a", "SELECT * FROM music_shelf WHERE Artist like '*a*'"},
        SearchCase{"b", "", "SELECT * FROM music_shelf WHERE Title like '*b*'"},
        SearchCase{"b", "a",
                   "SELECT * FROM music_shelf WHERE Artist like '*a*' AND Title like '*b*'"},
        // Blanks count as text; nothing is trimmed.
        SearchCase{" ", "", "SELECT * FROM music_shelf WHERE Title like '* *'"},
        // An apostrophe cannot close the pattern early.
        SearchCase{"Don't", "O'Brien",
                   "SELECT * FROM music_shelf WHERE Artist like '*O''Brien*' AND "
                   "Title like '*Don''t*'"},
        SearchCase{"x' OR '1'='1", "",
                   "SELECT * FROM music_shelf WHERE Title like '*x'' OR ''1''=''1*'"},
        // Pattern characters stay pattern characters.
        SearchCase{"a?c[0-9]*", "", "SELECT * FROM music_shelf WHERE Title like '*a?c[0-9]**'"}));

struct SelectCase {
  const char* text;
  bool select;
};

void PrintTo(const SelectCase& c, std::ostream* os) { *os << c.text; }

class SelectTest : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectTest, LooksAtTheFirstSixCharactersOnly) {
  EXPECT_EQ(catalog::isSelectQuery(GetParam().text), GetParam().select) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Console, SelectTest,
                         ::testing::Values(SelectCase{"SELECT * FROM music_shelf", true},
                                           SelectCase{"select * from music_shelf", true},
                                           SelectCase{"sElEcT", true},
                                           SelectCase{"selectx", true},
                                           SelectCase{" select * from music_shelf", false},
                                           SelectCase{"\nselect * from music_shelf", false},
                                           SelectCase{"(select 1)", false},
                                           SelectCase{"selec", false},
                                           SelectCase{"", false},
                                           SelectCase{"DELETE FROM music_shelf", false},
                                           SelectCase{"s\xC3\xA9lect", false}));

// Applies clicks from the start state and returns the directions asked for.
std::vector<std::pair<int, bool>> click(const std::vector<std::int16_t>& columns) {
  std::int16_t sortCol = 0;
  bool idDescending = false;
  std::vector<std::pair<int, bool>> result;
  for (std::int16_t column : columns) {
    const SortStep step = nextSort(sortCol, idDescending, column);
    sortCol = step.sortCol;
    idDescending = step.idDescending;
    result.emplace_back(sortCol, step.descending);
  }
  return result;
}

TEST(SortRule, RepeatedClicksAlternate) {
  using R = std::vector<std::pair<int, bool>>;
  EXPECT_EQ(click({1, 1, 1}), (R{{1, false}, {-1, true}, {1, false}}));
  // Another column always starts ascending, whatever its direction before.
  EXPECT_EQ(click({1, 1, 2, 1}), (R{{1, false}, {-1, true}, {2, false}, {1, false}}));
  EXPECT_EQ(click({3, 3, 3, 3}), (R{{3, false}, {-3, true}, {3, false}, {-3, true}}));
}

TEST(SortRule, ColumnZeroAlternatesStartingDescending) {
  using R = std::vector<std::pair<int, bool>>;
  // The all-rows view is already ascending by ID, so the first click turns it round.
  EXPECT_EQ(click({0, 0, 0}), (R{{0, true}, {0, false}, {0, true}}));
  // After another column, ID starts ascending and then alternates.
  EXPECT_EQ(click({2, 0, 0}), (R{{2, false}, {0, false}, {0, true}}));
  EXPECT_EQ(click({0, 2, 2, 0}), (R{{0, true}, {2, false}, {-2, true}, {0, false}}));
  // From ID to another column: ascending.
  EXPECT_EQ(click({0, 1}), (R{{0, true}, {1, false}}));
}

struct IdCase {
  engine::Value value;
  std::int32_t id;
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << c.value.toText(); }

class RecordId : public ::testing::TestWithParam<IdCase> {};

TEST_P(RecordId, Converts) { EXPECT_EQ(catalog::toRecordId(GetParam().value), GetParam().id); }

INSTANTIATE_TEST_SUITE_P(
    Values, RecordId,
    ::testing::Values(IdCase{engine::Value(42), 42}, IdCase{engine::Value(-7), -7},
                      IdCase{engine::Value(std::int64_t{2147483647}), 2147483647},
                      IdCase{engine::Value(std::int64_t{-2147483648LL}), -2147483647 - 1},
                      // Halves go to the even neighbour.
                      IdCase{engine::Value(2.5), 2}, IdCase{engine::Value(3.5), 4},
                      IdCase{engine::Value(-2.5), -2}, IdCase{engine::Value(-3.5), -4},
                      IdCase{engine::Value(2.4999), 2}, IdCase{engine::Value(2.5001), 3},
                      IdCase{engine::Value(2147483647.4), 2147483647},
                      // Text that reads as a number.
                      IdCase{engine::Value("12"), 12}, IdCase{engine::Value(" 12 "), 12},
                      IdCase{engine::Value("-3"), -3}, IdCase{engine::Value("+8"), 8},
                      IdCase{engine::Value("4.5"), 4}, IdCase{engine::Value("1e3"), 1000},
                      IdCase{engine::Value(".5"), 0}));

struct BadIdCase {
  engine::Value value;
  int number;
};

void PrintTo(const BadIdCase& c, std::ostream* os) {
  *os << (c.value.isNull() ? std::string("NULL") : c.value.toText());
}

class BadRecordId : public ::testing::TestWithParam<BadIdCase> {};

TEST_P(BadRecordId, IsRefused) {
  try {
    catalog::toRecordId(GetParam().value);
    FAIL() << "converted " << GetParam().value.toText();
  } catch (const engine::EngineError& e) {
    EXPECT_EQ(e.number(), GetParam().number) << GetParam().value.toText();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadRecordId,
    ::testing::Values(BadIdCase{engine::Value(), catalog::kInvalidUseOfNull},
                      BadIdCase{engine::Value("abc"), catalog::kTypeMismatch},
                      BadIdCase{engine::Value(""), catalog::kTypeMismatch},
                      BadIdCase{engine::Value("12abc"), catalog::kTypeMismatch},
                      BadIdCase{engine::Value("0x10"), catalog::kTypeMismatch},
                      BadIdCase{engine::Value("inf"), catalog::kTypeMismatch},
                      BadIdCase{engine::Value("nan"), catalog::kTypeMismatch},
                      BadIdCase{engine::Value("1e"), catalog::kTypeMismatch},
                      BadIdCase{engine::Value(std::int64_t{2147483648LL}), catalog::kOverflow},
                      BadIdCase{engine::Value(std::int64_t{-2147483649LL}), catalog::kOverflow},
                      BadIdCase{engine::Value(2147483647.5), catalog::kOverflow},
                      BadIdCase{engine::Value(-1e300), catalog::kOverflow},
                      BadIdCase{engine::Value("99999999999"), catalog::kOverflow},
                      BadIdCase{engine::Value("1e999"), catalog::kOverflow}));

TEST(RoundHalfEven, IgnoresTheRoundingMode) {
  EXPECT_EQ(catalog::roundHalfEven(0.5), 0.0);
  EXPECT_EQ(catalog::roundHalfEven(1.5), 2.0);
  EXPECT_EQ(catalog::roundHalfEven(-0.5), 0.0);
  EXPECT_EQ(catalog::roundHalfEven(-1.5), -2.0);
  EXPECT_EQ(catalog::roundHalfEven(1e17), 1e17);
}

}  // namespace
