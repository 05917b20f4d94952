#include "catalog/lengths.h"

#include <cstdio>

namespace catalog {

std::string lengthText(std::int64_t seconds) {
  const bool negative = seconds < 0;
  // Negated as unsigned, so that the smallest value does not overflow.
  const std::uint64_t s =
      negative ? 0 - static_cast<std::uint64_t>(seconds) : static_cast<std::uint64_t>(seconds);
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

namespace catalog {

namespace {

std::optional<std::int64_t> digits(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > most) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::optional<std::int64_t> parseLength(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  // Up to 15 digits in front: well inside 64 bits however many hours they count.
  constexpr std::size_t kMostDigits = 15;
  std::size_t colon = text.find(':');
  std::optional<std::int64_t> total = digits(text.substr(0, colon), kMostDigits);
  for (int parts = 1; total && colon != std::string_view::npos; ++parts) {
    if (parts > 2) return std::nullopt;
    text.remove_prefix(colon + 1);
    colon = text.find(':');
    const std::optional<std::int64_t> part = digits(text.substr(0, colon), 2);
    if (!part || text.substr(0, colon).size() != 2 || *part >= 60) return std::nullopt;
    total = *total * 60 + *part;
  }
  return total;
}

}  // namespace catalog
