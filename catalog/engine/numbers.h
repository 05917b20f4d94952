#pragma once

#include <cstddef>
#include <string_view>

namespace engine {

// An ASCII digit, whatever the locale says.
constexpr bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal number at the start of a text.
struct LeadingNumber {
  std::size_t length = 0;   // characters it takes; 0 when the text starts with no number
  double value = 0;         // signed; infinity when out of range
  bool outOfRange = false;  // too large or too small in magnitude for a double
};

// Reads the longest decimal number at the start of `text`: an optional "+" or "-", digits with an
// optional "." and digits (at least one digit in all), then an exponent when one of
// `exponentLetters` is followed by an optional sign and at least one digit. Nothing is skipped
// before it. Independent of the locale.
LeadingNumber scanLeadingNumber(std::string_view text, std::string_view exponentLetters = "Ee");

}  // namespace engine
