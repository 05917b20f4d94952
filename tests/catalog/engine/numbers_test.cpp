#include "engine/numbers.h"

#include <limits>
#include <ostream>

#include <gtest/gtest.h>

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct NumberCase {
  const char* text;
  const char* exponentLetters;
  std::size_t length;
  double value;
  bool outOfRange;
};

void PrintTo(const NumberCase& c, std::ostream* os) {
  *os << "'" << c.text << "' with exponents '" << c.exponentLetters << "'";
}

class LeadingNumberTable : public ::testing::TestWithParam<NumberCase> {};

TEST_P(LeadingNumberTable, ReadsTheLeadingPart) {
  const NumberCase& c = GetParam();
  const engine::LeadingNumber number = engine::scanLeadingNumber(c.text, c.exponentLetters);
  EXPECT_EQ(number.length, c.length);
  EXPECT_EQ(number.value, c.value);
  EXPECT_EQ(number.outOfRange, c.outOfRange);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LeadingNumberTable,
    ::testing::Values(
        // No number: a digit is needed, and nothing before the number is skipped.
        NumberCase{"", "Ee", 0, 0, false}, NumberCase{"abc", "Ee", 0, 0, false},
        NumberCase{".", "Ee", 0, 0, false}, NumberCase{"-", "Ee", 0, 0, false},
        NumberCase{"+-1", "Ee", 0, 0, false}, NumberCase{" 1", "Ee", 0, 0, false},
        NumberCase{"e5", "Ee", 0, 0, false}, NumberCase{"inf", "Ee", 0, 0, false},
        NumberCase{"nan", "Ee", 0, 0, false},
        NumberCase{"\xD9\xA1\xD9\xA2", "Ee", 0, 0, false},  // Arabic-Indic digits
        // Sign, digits and fraction.
        NumberCase{"12", "Ee", 2, 12, false}, NumberCase{"+8", "Ee", 2, 8, false},
        NumberCase{"-3.5x", "Ee", 4, -3.5, false}, NumberCase{".5", "Ee", 2, 0.5, false},
        NumberCase{"5.", "Ee", 2, 5, false}, NumberCase{"0.1", "Ee", 3, 0.1, false},
        NumberCase{"1.2.3", "Ee", 3, 1.2, false}, NumberCase{"1,5", "Ee", 1, 1, false},
        NumberCase{"0x10", "Ee", 1, 0, false},
        NumberCase{"12345678901234567890", "Ee", 20, 12345678901234567890.0, false},
        // An exponent counts only with a digit; otherwise the number ends before its letter.
        NumberCase{"1e3", "Ee", 3, 1000, false}, NumberCase{"1E+3", "Ee", 4, 1000, false},
        NumberCase{"2e-1z", "Ee", 4, 0.2, false}, NumberCase{"1e", "Ee", 1, 1, false},
        NumberCase{"1e+", "Ee", 1, 1, false}, NumberCase{"1e-x", "Ee", 1, 1, false},
        NumberCase{"1.5e3.5", "Ee", 5, 1500, false},
        // Only the letters asked for.
        NumberCase{"1D3", "Ee", 1, 1, false}, NumberCase{"1D3", "EeDd", 3, 1000, false},
        NumberCase{"-1d-2", "EeDd", 5, -0.01, false}, NumberCase{"1e3", "Dd", 1, 1, false},
        // Beyond a double: infinity, with its sign.
        NumberCase{"1e999", "Ee", 5, kInfinity, true},
        NumberCase{"-1D999", "EeDd", 6, -kInfinity, true}));

}  // namespace
