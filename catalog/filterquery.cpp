#include "filterquery.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "catalog/lengths.h"
#include "engine/searchfold.h"
#include "engine/sqltext.h"

namespace catalog {

namespace {

using Field = FilterTerm::Field;
using Kind = FilterTerm::Kind;

struct FieldName {
  std::string_view name;
  Field field;
};
constexpr std::array<FieldName, 17> kFields = {{
    {"title", Field::Title},       {"artist", Field::Artist},   {"album", Field::Album},
    {"genre", Field::Genre},       {"year", Field::Year},       {"comment", Field::Comment},
    {"path", Field::Path},         {"filename", Field::Path},   {"file", Field::Path},
    {"track", Field::Track},       {"duration", Field::Duration}, {"length", Field::Duration},
    {"bitrate", Field::Bitrate},   {"vbr", Field::Vbr},         {"missing", Field::Missing},
    {"id", Field::Id},             {"any", Field::Any},
}};

// The column a field reads; Any reads all text columns.
constexpr std::string_view columnOf(Field field) {
  switch (field) {
    case Field::Title: return "Title";
    case Field::Artist: return "Artist";
    case Field::Album: return "Album";
    case Field::Genre: return "Genre";
    case Field::Year: return "Year";
    case Field::Comment: return "Comment";
    case Field::Path: return "Filename";
    case Field::Track: return "Track";
    case Field::Duration: return "Duration";
    case Field::Bitrate: return "Bitrate";
    case Field::Vbr: return "VBR";
    case Field::Missing: return "Filename";
    case Field::Id: return "ID";
    case Field::Any: break;
  }
  return "";
}

constexpr std::string_view kTextColumns = "Title, Artist, Album, Genre, Year, Comment, Filename";

bool isNumberField(Field f) {
  return f == Field::Track || f == Field::Duration || f == Field::Bitrate || f == Field::Id ||
         f == Field::Year;
}

std::string quoted(std::string_view text) { return "'" + engine::doubleApostrophes(text) + "'"; }

std::size_t codePoints(std::string_view utf8) {
  std::size_t n = 0;
  for (const char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::optional<std::int64_t> wholeNumber(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::optional<bool> yesOrNo(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  for (std::string_view yes : {"yes", "y", "true", "1", "on"})
    if (lower == yes) return true;
  for (std::string_view no : {"no", "n", "false", "0", "off"})
    if (lower == no) return false;
  return std::nullopt;
}

struct Token {
  std::string text;  // quotes removed from a whole-phrase token
  bool phrase = false;
  bool excluded = false;
  std::string typed;
};

// Splits the text into terms. A term runs to the next blank outside quotes; a quote inside a
// quoted part is written twice.
std::vector<Token> split(std::string_view text, std::vector<std::string>& problems) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  const auto control = [&](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && !blank(c)) || c == '\x7F';
  };
  while (i < text.size()) {
    if (blank(text[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    Token token;
    if (text[i] == '-') {
      token.excluded = true;
      ++i;
    }
    // Quotes stay in the text as \x01 marks, so that field:"a value" can tell its parts.
    bool open = false;
    while (i < text.size() && (open || !blank(text[i]))) {
      if (text[i] == '"' && open && i + 1 < text.size() && text[i + 1] == '"') {
        token.text.push_back('"');
        i += 2;
      } else if (text[i] == '"') {
        token.text.push_back('\x01');
        open = !open;
        ++i;
      } else {
        token.text.push_back(text[i++]);
      }
    }
    // "a phrase": quoted from its first character to its last.
    token.phrase = token.text.size() >= 2 && token.text.front() == '\x01' &&
                   token.text.back() == '\x01' &&
                   token.text.find('\x01', 1) == token.text.size() - 1;
    if (token.phrase) token.text = token.text.substr(1, token.text.size() - 2);
    token.typed = std::string(text.substr(start, i - start));
    // No tag or path holds one as a rule, and SQL text ends at a NUL: refused, rather than
    // looked for as something else.
    if (std::any_of(token.typed.begin(), token.typed.end(), control)) {
      std::string shown = token.typed;
      std::replace_if(shown.begin(), shown.end(), control, '?');
      problems.push_back("'" + shown + "' holds a control character, which the filter cannot "
                         "look for.");
      continue;
    }
    if (open) {
      problems.push_back("The quote in '" + token.typed + "' is never closed.");
      continue;
    }
    if (token.text.empty() || (!token.phrase && token.text.find_first_not_of('\x01') ==
                                                    std::string::npos)) {
      problems.push_back(token.excluded ? "A '-' must stand right before what it excludes."
                                        : "Nothing to search for in '" + token.typed + "'.");
      continue;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

// The value of a field:value term with the quotes of field:"a value" taken off.
std::string unquoted(std::string_view value) {
  std::string out;
  for (const char c : value)
    if (c != '\x01') out.push_back(c);
  return out;
}

bool parseNumber(Field field, std::string_view text, std::int64_t& out) {
  const auto value = field == Field::Duration ? parseLength(text) : wholeNumber(text);
  if (!value) return false;
  out = *value;
  return true;
}

void addTextTerm(FilterQuery& query, FilterTerm term, std::string_view value) {
  term.kind = Kind::Text;
  term.text = engine::foldForSearch(value);
  if (term.text.empty()) {
    query.problems.push_back("Nothing to search for in '" + term.typed + "'.");
    return;
  }
  query.terms.push_back(std::move(term));
}

void addFieldTerm(FilterQuery& query, FilterTerm term, std::string_view op, std::string value) {
  const std::string& typed = term.typed;
  if (value.empty()) {
    query.problems.push_back("'" + typed + "' needs a value after '" + std::string(op) + "'.");
    return;
  }
  if (term.field == Field::Vbr || term.field == Field::Missing) {
    const auto flag = op == ":" || op == "=" ? yesOrNo(value) : std::nullopt;
    if (!flag) {
      query.problems.push_back("'" + typed + "': " + std::string(op == ":" ? "" : "use ':'; ") +
                               "the value must be yes or no.");
      return;
    }
    term.kind = Kind::Flag;
    term.flag = *flag;
    query.terms.push_back(std::move(term));
    return;
  }
  if (!isNumberField(term.field)) {
    if (op != ":") {
      query.problems.push_back("'" + typed + "': a text field takes ':', as in title:word.");
      return;
    }
    addTextTerm(query, std::move(term), value);
    return;
  }
  // field:<128 reads as field<128.
  if (op == ":" && !value.empty() && (value[0] == '<' || value[0] == '>' || value[0] == '=')) {
    const std::size_t length = value.size() > 1 && value[1] == '=' && value[0] != '=' ? 2 : 1;
    const std::string newOp = value.substr(0, length);
    value.erase(0, length);
    return addFieldTerm(query, std::move(term), newOp, std::move(value));
  }
  term.kind = Kind::Number;
  const std::string what = term.field == Field::Duration
                               ? "a duration (seconds, m:ss or h:mm:ss)"
                               : "a whole number";
  std::int64_t a = 0, b = 0;
  if (op == ":" && value.find("..") != std::string::npos) {
    const std::size_t dots = value.find("..");
    const std::string lowText = value.substr(0, dots), highText = value.substr(dots + 2);
    if ((lowText.empty() && highText.empty()) || (!lowText.empty() && !parseNumber(term.field, lowText, a)) ||
        (!highText.empty() && !parseNumber(term.field, highText, b))) {
      query.problems.push_back("'" + typed + "': each end of a range must be " + what + ".");
      return;
    }
    if (!lowText.empty()) term.low = a;
    if (!highText.empty()) term.high = b;
    if (term.low && term.high && a > b) {
      query.problems.push_back("'" + typed + "': the range runs backwards; write the smaller "
                               "number first.");
      return;
    }
    query.terms.push_back(std::move(term));
    return;
  }
  if (!parseNumber(term.field, value, a)) {
    if (term.field == Field::Year && op == ":") {  // year:unknown looks for the text
      addTextTerm(query, std::move(term), value);
      return;
    }
    query.problems.push_back("'" + typed + "': the value must be " + what + ".");
    return;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  if (op == ":" || op == "=") term.low = term.high = a;
  else if (op == "<") term.high = a - 1;  // another program may store a track of -1
  else if (op == "<=") term.high = a;
  else if (op == ">") term.low = a < kMax ? a + 1 : a;
  else term.low = a;  // >=
  query.terms.push_back(std::move(term));
}

}  // namespace

FilterQuery parseFilter(std::string_view text) {
  FilterQuery query;
  std::vector<Token> tokens = split(text, query.problems);
  // Each term is a few levels of SQLite's expression tree, which stops at 1000.
  constexpr std::size_t kMostTerms = 200;
  if (tokens.size() > kMostTerms) {
    query.problems.push_back("Too many terms (" + std::to_string(tokens.size()) +
                             "); the filter takes at most " + std::to_string(kMostTerms) + ".");
    return query;
  }
  for (Token& token : tokens) {
    FilterTerm term;
    term.excluded = token.excluded;
    term.typed = token.typed;
    if (token.phrase) {
      addTextTerm(query, std::move(term), token.text);
      continue;
    }
    // field, then an operator: ':', '=', '<', '<=', '>', '>='.
    const std::string& t = token.text;
    std::size_t nameEnd = 0;
    while (nameEnd < t.size() && ((t[nameEnd] >= 'a' && t[nameEnd] <= 'z') ||
                                  (t[nameEnd] >= 'A' && t[nameEnd] <= 'Z')))
      ++nameEnd;
    const bool hasOp = nameEnd > 0 && nameEnd < t.size() &&
                       (t[nameEnd] == ':' || t[nameEnd] == '<' || t[nameEnd] == '>' ||
                        t[nameEnd] == '=');
    if (!hasOp) {
      addTextTerm(query, std::move(term), unquoted(t));
      continue;
    }
    const std::string name = t.substr(0, nameEnd);
    std::size_t opLength = 1;
    if ((t[nameEnd] == '<' || t[nameEnd] == '>') && nameEnd + 1 < t.size() && t[nameEnd + 1] == '=')
      opLength = 2;
    const std::string op = t.substr(nameEnd, opLength);
    const FieldName* found = nullptr;
    for (const FieldName& f : kFields)
      if (engine::equalsIgnoringCase(f.name, name)) found = &f;
    if (!found) {  // "Re:Zero", "Wars:", "love<3": words of a title, not a field
      addTextTerm(query, std::move(term), unquoted(t));
      continue;
    }
    term.field = found->field;
    addFieldTerm(query, std::move(term), op, unquoted(t.substr(nameEnd + opLength)));
  }
  return query;
}

namespace {

// Whether the index can find the term: a text to look for of at least three characters, the
// trigram index's smallest unit.
bool indexable(const FilterTerm& term) {
  return term.kind == Kind::Text && !term.excluded && codePoints(term.text) >= 3;
}

std::string ftsPhrase(const FilterTerm& term) {
  std::string phrase = "\"";
  for (const char c : term.text) {
    if (c == '"') phrase += "\"\"";
    else phrase.push_back(c);
  }
  phrase += '"';
  if (term.field == Field::Any) return phrase;
  return std::string(columnOf(term.field)) + " : " + phrase;
}

// The year as a number where the stored text reads as one: digits alone, or a date that starts
// with four.
constexpr std::string_view kYearNumber =
    "(CASE WHEN Year <> '' AND Year NOT GLOB '*[^0-9]*' THEN CAST(Year AS INTEGER) "
    "WHEN Year GLOB '[0-9][0-9][0-9][0-9]-*' THEN CAST(substr(Year, 1, 4) AS INTEGER) END)";

// The term's test on one row of music_shelf: 1 or 0, never NULL, so that NOT excludes exactly.
std::string condition(const FilterTerm& term) {
  std::string test;
  switch (term.kind) {
    case Kind::Text:
      test = "search_has(" + quoted(term.text) + ", " +
             std::string(term.field == Field::Any ? kTextColumns : columnOf(term.field)) + ")";
      break;
    case Kind::Flag:
      if (term.field == Field::Vbr)
        test = "coalesce(VBR IN ('true', 'yes', 'y', '1', '-1', 'on'), 0)";
      else
        test = "(Filename IS NOT NULL AND Filename <> '' AND file_exists(Filename) = 0)";
      if (!term.flag) test = "NOT " + test;
      break;
    case Kind::Number: {
      std::string value;
      std::string guard;
      if (term.field == Field::Year) {
        value = std::string(kYearNumber);
      } else if (term.field == Field::Id) {
        value = "music_shelf.ID";
      } else {
        value = std::string(columnOf(term.field));
        guard = "typeof(" + value + ") IN ('integer', 'real') AND ";
      }
      std::string bounds;
      if (term.low && term.high && *term.low == *term.high)
        bounds = value + " = " + std::to_string(*term.low);
      else {
        if (term.low) bounds = value + " >= " + std::to_string(*term.low);
        if (term.high)
          bounds += (bounds.empty() ? "" : " AND ") + value + " <= " + std::to_string(*term.high);
        if (!term.low && !term.high) bounds = value + " IS NOT NULL";
      }
      test = "coalesce(" + guard + bounds + ", 0)";
      break;
    }
  }
  return term.excluded ? "NOT " + test : test;
}

std::string orderBy(const std::optional<SortOrder>& order, std::string_view idColumn) {
  static constexpr std::array<std::string_view, 12> kColumns = {
      "ID", "Title", "Artist", "Album", "Year", "Genre", "Track", "Comment", "Filename",
      "Duration", "Bitrate", "VBR"};
  if (order)
    for (std::string_view column : kColumns)
      if (engine::equalsIgnoringCase(column, order->column)) {
        const std::string direction = order->descending ? " DESC" : "";
        const std::string sorted = "music_shelf." + std::string(column) + direction;
        if (column == "ID") return " ORDER BY " + sorted;
        return " ORDER BY " + sorted + ", music_shelf.ID" + direction;
      }
  return " ORDER BY " + std::string(idColumn);
}

std::string joined(const std::vector<std::string>& parts, std::string_view with) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += with;
    out += part;
  }
  return out;
}

}  // namespace

std::string filterSql(const FilterQuery& query, bool indexed,
                      const std::optional<SortOrder>& order) {
  std::vector<std::string> found, others, phrases;
  for (const FilterTerm& term : query.terms) {
    if (indexed && indexable(term)) {
      found.push_back(condition(term));
      phrases.push_back(ftsPhrase(term));
    } else {
      others.push_back(condition(term));
    }
  }
  if (phrases.empty()) {
    const std::string where = others.empty() ? "" : " WHERE " + joined(others, " AND ");
    return "SELECT * FROM music_shelf" + where + orderBy(order, "ID");
  }
  // The index's hits in ID order, each joined to its row: the first rows show before the last
  // hit is found. Rows the index has not caught up with come as queued and are checked here.
  const std::string match = joined(phrases, " AND ");
  std::string sql = "SELECT music_shelf.* FROM search_hits(" + quoted(match) +
                    ") AS hits CROSS JOIN music_shelf ON music_shelf.ID = hits.id WHERE (hits.queued = 0 OR (" +
                    joined(found, " AND ") + "))";
  if (!others.empty()) sql += " AND " + joined(others, " AND ");
  return sql + orderBy(order, "hits.id");
}

bool narrowedByIndex(const FilterQuery& query) {
  for (const FilterTerm& term : query.terms)
    if (indexable(term)) return true;
  return false;
}

}  // namespace catalog
