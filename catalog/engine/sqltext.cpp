#include "sqltext.h"

#include <algorithm>
#include <cctype>

namespace engine {

std::string doubleApostrophes(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  return out;
}

std::string quoteIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  return out + "\"";
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view firstKeyword(std::string_view sql) {
  std::size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
      ++i;
    } else if (sql.substr(i, 2) == "--") {
      const auto end = sql.find('\n', i);
      i = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (sql.substr(i, 2) == "/*") {
      const auto end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? sql.size() : end + 2;
    } else {
      break;
    }
  }
  std::size_t end = i;
  while (end < sql.size() && ((sql[end] >= 'a' && sql[end] <= 'z') ||
                              (sql[end] >= 'A' && sql[end] <= 'Z') || sql[end] == '_'))
    ++end;
  return sql.substr(i, end - i);
}

}  // namespace engine
