#include "engine/numbers.h"

#include <charconv>
#include <limits>
#include <string>
#include <system_error>

namespace engine {

LeadingNumber scanLeadingNumber(std::string_view text, std::string_view exponentLetters) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t start = i;
  std::size_t digits = 0;
  while (i < text.size() && isAsciiDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isAsciiDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return {};

  // from_chars reads only "e" or "E" as the exponent; other letters are copied as "e".
  std::size_t exponent = std::string_view::npos;
  if (i < text.size() && exponentLetters.find(text[i]) != std::string_view::npos) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t exponentDigits = j;
    while (j < text.size() && isAsciiDigit(text[j])) ++j;
    if (j > exponentDigits) {
      exponent = i;
      i = j;
    }
  }
  std::string copy;
  std::string_view number = text.substr(start, i - start);
  if (exponent != std::string_view::npos && text[exponent] != 'e' && text[exponent] != 'E') {
    copy = number;
    copy[exponent - start] = 'e';
    number = copy;
  }

  LeadingNumber result;
  const auto [end, ec] =
      std::from_chars(number.data(), number.data() + number.size(), result.value);
  if (ec == std::errc::result_out_of_range) {
    result.value = std::numeric_limits<double>::infinity();
    result.outOfRange = true;
  } else if (ec != std::errc() || end != number.data() + number.size()) {
    return {};
  }
  if (negative) result.value = -result.value;
  result.length = i;
  return result;
}

}  // namespace engine
