#include "sqltext.h"

#include <sqlite3.h>

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

namespace {

// Where the next token starts: after blanks, comments and, when `semicolons`, semicolons.
std::size_t skipSpace(std::string_view sql, std::size_t i, bool semicolons) {
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || (semicolons && c == ';')) {
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
  return i;
}

}  // namespace

std::string_view firstKeyword(std::string_view sql) {
  const std::size_t i = skipSpace(sql, 0, false);
  std::size_t end = i;
  while (end < sql.size() && ((sql[end] >= 'a' && sql[end] <= 'z') ||
                              (sql[end] >= 'A' && sql[end] <= 'Z') || sql[end] == '_'))
    ++end;
  return sql.substr(i, end - i);
}

namespace {

struct Shape {
  std::size_t end = 0;                           // just after the last token
  std::size_t orderAt = std::string_view::npos;  // the last top-level ORDER BY
  bool limitAfter = false;                       // a top-level LIMIT follows it
  bool compound = false;                         // a top-level UNION, INTERSECT or EXCEPT
};

// Where a statement's tokens end and its last top-level ORDER BY starts, skipping strings,
// quoted names, comments and what stands in parentheses.
Shape shapeOf(std::string_view sql) {
  auto isWordChar = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || static_cast<unsigned char>(c) >= 0x80;
  };
  std::size_t orderAt = std::string_view::npos;  // the last top-level ORDER BY
  bool limitAfter = false;
  bool compound = false;
  std::string_view previousWord;
  std::size_t previousAt = 0;
  int depth = 0;
  std::size_t end = 0;  // just after the last token
  for (std::size_t i = skipSpace(sql, 0, true); i < sql.size(); i = skipSpace(sql, i, true)) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      std::size_t j = i + 1;
      while (j < sql.size()) {
        if (sql[j] == close) {
          if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
            j += 2;  // a doubled quote stands for itself
            continue;
          }
          break;
        }
        ++j;
      }
      i = std::min(j + 1, sql.size());
      end = i;
      previousWord = {};
    } else if (isWordChar(c)) {
      std::size_t j = i;
      while (j < sql.size() && isWordChar(sql[j])) ++j;
      const std::string_view word = sql.substr(i, j - i);
      if (depth == 0) {
        if (equalsIgnoringCase(word, "BY") && equalsIgnoringCase(previousWord, "ORDER")) {
          orderAt = previousAt;
          limitAfter = false;
        } else if (equalsIgnoringCase(word, "LIMIT") && orderAt != std::string_view::npos) {
          limitAfter = true;
        } else if (equalsIgnoringCase(word, "UNION") || equalsIgnoringCase(word, "INTERSECT") ||
                   equalsIgnoringCase(word, "EXCEPT")) {
          compound = true;
        }
      }
      previousWord = word;
      previousAt = i;
      i = j;
      end = i;
    } else {
      if (c == '(') ++depth;
      if (c == ')') --depth;
      previousWord = {};
      ++i;
      end = i;
    }
  }
  return {end, orderAt, limitAfter, compound};
}

}  // namespace

std::string_view withoutFinalOrderBy(std::string_view sql) {
  const Shape shape = shapeOf(sql);
  if (shape.orderAt == std::string_view::npos || shape.limitAfter) return sql.substr(0, shape.end);
  return sql.substr(0, shape.orderAt);
}

std::string_view withoutTrailingEnd(std::string_view sql) { return sql.substr(0, shapeOf(sql).end); }

bool isCompoundSelect(std::string_view sql) { return shapeOf(sql).compound; }

std::string asSubquery(std::string_view sql) { return "(\n" + std::string(sql) + "\n)"; }

void forEachStatement(std::string_view script,
                      const std::function<void(const std::string&)>& each) {
  std::string statement;
  for (std::string_view rest = script; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const std::size_t text = line.find_first_not_of(" \t\r");
    if (text == std::string_view::npos || line.substr(text, 2) == "--") continue;
    statement.append(line).push_back('\n');
    if (sqlite3_complete(statement.c_str())) {
      each(statement);
      statement.clear();
    }
  }
}

}  // namespace engine
