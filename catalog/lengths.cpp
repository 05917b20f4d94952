#include "catalog/lengths.h"

#include <cstdio>

namespace catalog {

std::string lengthText(std::int64_t seconds) {
  const bool negative = seconds < 0;
  // Negated as unsigned, so that the smallest value does not overflow.
  const std::uint64_t s = negative ? 0 - static_cast<std::uint64_t>(seconds)
                                   : static_cast<std::uint64_t>(seconds);
  char text[48];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%s%llu:%02llu:%02llu", negative ? "-" : "",
                  static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned long long>(s / 60 % 60),
                  static_cast<unsigned long long>(s % 60));
  else
    std::snprintf(text, sizeof text, "%s%llu:%02llu", negative ? "-" : "",
                  static_cast<unsigned long long>(s / 60), static_cast<unsigned long long>(s % 60));
  return text;
}

}  // namespace catalog
