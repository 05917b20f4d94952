// Thousands of generated statements, from random tokens to well-formed SQL and Jet like
// patterns, run through the engine the way the window runs what a user types. Whatever the text,
// the engine must answer with a row set or an EngineError: no other exception, no crash, no
// statement that runs on for good, and a catalogue file that stays sound.
//
// The generator is seeded, so every run sees the same statements. In the environment,
// QUOLLSONG_FUZZ_ECHO=1 prints each statement before it runs (to find the one that brought a run
// down) and how it ended; QUOLLSONG_FUZZ_SEED=n runs other statements than the usual ones.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "catalogue_fixture.h"
#include "engine/errors.h"
#include "engine/utf8.h"
#include "testcatalogue.h"

namespace {

using engine::EngineError;
namespace err = engine::err;

constexpr auto kTimeLimit = std::chrono::milliseconds(100);
constexpr std::size_t kCacheLimit = std::size_t{16} << 20;

// ---------------------------------------------------------------------------------------------
// Vocabulary

const char* const kColumns[] = {"ID",    "Title",   "Artist",   "Album",    "Year",    "Genre",
                                "Track", "Comment", "Filename", "Duration", "Bitrate", "VBR"};
const char* const kTextColumns[] = {"Title", "Artist", "Album", "Comment", "Filename", "Genre"};

const char* const kKeywords[] = {
    "SELECT", "FROM", "WHERE", "INSERT", "INTO", "VALUES", "UPDATE", "SET", "DELETE", "CREATE",
    "DROP", "TABLE", "VIEW", "INDEX", "TRIGGER", "VIRTUAL", "USING", "ON", "AS", "AND", "OR", "NOT",
    "NULL", "IS", "IN", "BETWEEN", "LIKE", "GLOB", "ESCAPE", "ORDER", "BY", "GROUP", "HAVING",
    "LIMIT", "OFFSET", "UNION", "ALL", "DISTINCT", "JOIN", "LEFT", "CROSS", "NATURAL", "WITH",
    "RECURSIVE", "CASE", "WHEN", "THEN", "ELSE", "END", "BEGIN", "COMMIT", "ROLLBACK", "SAVEPOINT",
    "RELEASE", "PRAGMA", "ATTACH", "DETACH", "DATABASE", "ALTER", "RENAME", "ADD", "COLUMN", "TO",
    "CAST", "COLLATE", "NOCASE", "EXISTS", "IF", "REPLACE", "IGNORE", "RETURNING", "DEFAULT",
    "PRIMARY", "KEY", "UNIQUE", "CHECK", "VACUUM", "ANALYZE", "REINDEX", "EXPLAIN", "QUERY", "PLAN",
    "TEMP", "AFTER", "BEFORE", "INSTEAD", "OF", "FOR", "EACH", "ROW", "RAISE", "ABORT", "OVER",
    "PARTITION", "WINDOW", "FILTER", "MATCH", "REGEXP", "WITHOUT", "ROWID", "STRICT", "GENERATED",
    "ALWAYS", "STORED"};

const char* const kNames[] = {
    "music_shelf", "sqlite_schema", "sqlite_master", "sqlite_sequence", "sqlite_temp_schema",
    "main", "temp", "rowid", "_rowid_", "scratch_t0", "scratch_v0", "scratch_f0", "x", "c",
    "printf", "zeroblob", "randomblob", "substr", "replace", "json_extract", "json_each", "like",
    "glob", "count", "max", "group_concat", "length", "typeof", "hex", "char", "load_extension",
    "readfile", "fts3_tokenizer", "fts4", "fts5", "dbstat", "pragma_table_info", "writable_schema",
    "journal_mode", "integrity_check"};

const char* const kOperators[] = {
    "=", "==", "!=", "<>", "<", "<=", ">", ">=", "+", "-", "*", "/", "%", "||", "&", "|", "<<",
    ">>", "~", ",", ";", ".", "(", ")", "(", ")", "?", "?1", ":a", "@b", "$c", "->", "->>"};

const char* const kOddTokens[] = {
    "'", "\"", "`", "[", "]", "--", "/*", "*/", "*", "?", "#", "!", "-", "'*'", "'[a-z]*'", "'[!",
    "é", "\xF0\x9F\x98\x80", "\xFF", "\\", "x'", "X'00", "0x", "1e", "9e999"};

// Sizes for printf's "%.*c", up to the largest; the connection's length limit keeps one call
// short whatever size is asked for.
const char* const kPrintfSizes[] = {
    "NULL", "-1", "0", "1", "1000", "1000000", "2147483647", "2147483648", "-2147483648", "'x'", "4294967296",
    "1e308", "9223372036854775807"};

// Values that tend to sit on an edge: limits of integer types, huge and tiny reals, empty and
// odd texts and blobs, JSON, printf formats, a pointer-sized blob.
const char* const kOddValues[] = {
    "NULL", "0", "-1", "1", "2", "3", "7", "255", "1000", "65536", "1000000", "2147483647",
    "2147483648", "-2147483648", "4294967296", "9223372036854775807", "-9223372036854775808",
    "9223372036854775808", "1e308", "-1e308", "1e999", "0.5", "-0.0", "'x'", "''", "'Summer'",
    "'*'", "'%'", "'[a-z]*'", "'%.*c'", "'%s%s%s%s'", "'%n'", "'%z'", "'%q%Q%w'", "'%!.30g'",
    "'%-2147483647d'", "'%.2147483647f'", "X''", "X'00'", "X'FF00FF'", "'é'", "'\xF0\x9F\x98\x80'",
    "char(0)", "'{\"a\":[1,2,{\"b\":null}]}'", "'[1,2,3]'", "'$.a[#-1]'", "'$'", "'$[1000000000]'",
    "'null'", "'not json'", "printf('%.*c', 1000, 'z')", "X'4141414141414141'", "'/etc/passwd'",
    "'simple'", "'porter'", "'unicode61'", "CAST(X'FF41' AS TEXT)", "'2024-02-30 25:61:61'",
    "'now'", "'+10000 years'"};

struct Function {
  const char* name;
  int minArgs, maxArgs;
};

// fts3_tokenizer with two arguments would install any pointer as a tokenizer; the connection
// switches that off, so it is called both ways.
const Function kFunctions[] = {
    {"printf", 1, 4}, {"format", 1, 4}, {"zeroblob", 1, 1}, {"randomblob", 1, 1}, {"substr", 2, 3},
    {"substring", 2, 3}, {"replace", 3, 3}, {"json", 1, 1}, {"json_array", 0, 4},
    {"json_object", 0, 4}, {"json_extract", 2, 3}, {"json_set", 3, 3}, {"json_insert", 3, 3},
    {"json_patch", 2, 2}, {"json_remove", 2, 2}, {"json_type", 1, 2}, {"json_valid", 1, 1},
    {"json_quote", 1, 1}, {"json_array_length", 1, 2}, {"json_group_array", 1, 1},
    {"fts3_tokenizer", 1, 2}, {"load_extension", 1, 2}, {"readfile", 1, 1}, {"length", 1, 1},
    {"upper", 1, 1}, {"lower", 1, 1}, {"hex", 1, 1}, {"quote", 1, 1}, {"char", 0, 4},
    {"unicode", 1, 1}, {"instr", 2, 2}, {"trim", 1, 2}, {"ltrim", 1, 2}, {"abs", 1, 1},
    {"round", 1, 2}, {"typeof", 1, 1}, {"coalesce", 2, 4}, {"ifnull", 2, 2}, {"nullif", 2, 2},
    {"iif", 3, 3}, {"max", 1, 4}, {"min", 1, 4}, {"sum", 1, 1}, {"total", 1, 1}, {"avg", 1, 1},
    {"count", 0, 1}, {"group_concat", 1, 2}, {"random", 0, 0}, {"likelihood", 2, 2},
    {"unlikely", 1, 1}, {"sqlite_version", 0, 0}, {"changes", 0, 0}, {"total_changes", 0, 0},
    {"last_insert_rowid", 0, 0}, {"soundex", 1, 1}, {"date", 1, 3}, {"datetime", 1, 3},
    {"julianday", 1, 2}, {"strftime", 2, 3}, {"like", 2, 3}, {"glob", 2, 2},
    {"sqlite_compileoption_get", 1, 1}, {"sqlite_offset", 1, 1}, {"pow", 2, 2}, {"log", 1, 2},
    {"sqrt", 1, 1}, {"mod", 2, 2}, {"ceil", 1, 1}, {"unhex", 1, 2}, {"writefile", 2, 2},
    {"edit", 1, 2}, {"sqlite_source_id", 0, 0}};

// Pieces of Jet patterns, each one character: wildcards, list syntax, letters of both cases,
// digits, characters SQL's own like treats specially, and letters beyond ASCII.
const char* const kPatternPieces[] = {
    "*", "*", "?", "#", "[", "]", "!", "-", "a", "b", "e", "s", "o", "A", "S", "L", "z", "1", "9",
    "0", "%", "_", "'", "\\", " ", "é", "É", "ł", "Ł", "ß", "Σ", "σ", "ж", "Ж", "\xF0\x9F\x98\x80",
    "\xEF\xBF\xBD", "\xFF"};
const char* const kComparisons[] = {"=", "<>", "<", ">=", "IS", "IS NOT", "LIKE", "GLOB"};
const char* const kTitles[] = {"Summer Love Song", "", "café", "1999", "[x]", "a*b", "ŁUKASZ"};
const char* const kEscapes[] = {
    "\\", "!", "x", "X", "[", "*", "?", "#", "é", "'", "\xFF", "ab", ""};

// Texts of the rows below, plain, for patterns that come near them.
const char* const kCatalogueTexts[] = {
    "Summer Love Song", "The Bands", "Seasons", "café del mar", "CAFÉ DEL MAR", "Café", "Ibiza",
    "ŁUKASZ Trio", "łukasz", "Мир", "МИР", "αβγ ΣΩ", "ΑΒΓ σω", "1999", "2001", "100% Pure", "a_b",
    "x%y", "[brackets]", "*star*", "what?", "#1 hit", "Don't Stop", "O'Brien",
    "emoji \xF0\x9F\x98\x80 track", "aaaaaaaaaaaaaaaaaaaaaaaaab", "aab", "Track 07", "Various",
    "Love Love Love", "Repeat", "/m/a.mp3", "/m/é.mp3", "best of", "fifteen", "3.5", "42"};

// What the catalogue holds while the statements run: the kinds of text a real one has, and the
// kinds that make matching and sorting work hard.
const char* const kSeedRows[] = {
    "('Summer Love Song', 'The Bands', 'Seasons', '1999', 'Pop', 1, 'best of', '/m/a.mp3', 215, "
    "192, 'No')",
    "('', 'Empty Title', '', '', '', '', '', '', 0, 0, '')",
    "(NULL, 'No Title', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)",
    "('café del mar', 'Café', 'Ibiza', '2001', 'Chill', 2, 'é', '/m/é.mp3', 300, 320, 'Yes')",
    "('CAFÉ DEL MAR', 'CAFÉ', 'IBIZA', '2001', 'CHILL', 3, 'É', '/m/É.mp3', 301, 128, 'No')",
    "('ŁUKASZ Trio', 'łukasz', 'Live', '1987', 'Jazz', 4, NULL, '/m/l.mp3', 1, 1, 'No')",
    "('Мир', 'МИР', 'мир', '2010', 'Rock', 5, 'ж', '/m/m.mp3', 2, 2, 'No')",
    "('αβγ ΣΩ', 'ΑΒΓ σω', 'Greek', '1970', 'Folk', 6, '', '/m/g.mp3', 3, 3, 'No')",
    "('1999', '2000', '2001', '1999', '', '12', '', '/m/1999.mp3', 4, 4, 'No')",
    "('100% Pure', 'a_b', 'x%y', '', '', 7, '', '/m/p.mp3', 5, 5, 'No')",
    "('[brackets]', '*star*', 'what?', '#1 hit', '!', 8, '-', '/m/b.mp3', 6, 6, 'No')",
    "('Don''t Stop', 'O''Brien', '''', '', '', 9, '\\', '/m/d.mp3', 7, 7, 'No')",
    "('emoji \xF0\x9F\x98\x80 track', '\xF0\x9F\x98\x80', '', '', '', 10, '', '/m/e.mp3', 8, 8, "
    "'No')",
    "(CAST(X'FF41C3' AS TEXT), CAST(X'E282' AS TEXT), '', '', '', 11, '', '/m/x.mp3', 9, 9, 'No')",
    "('nul' || char(0) || 'inside', 'x', '', '', '', 12, '', '/m/n.mp3', 10, 10, 'No')",
    "(printf('%.*c', 5000, 'a') || 'b', 'Long', 'Long', '', '', 13, '', '/m/long.mp3', 11, 11, "
    "'No')",
    "('aaaaaaaaaaaaaaaaaaaaaaaaab', 'aab', 'ab', '', '', 14, '', '/m/aab.mp3', 12, 12, 'No')",
    "(42, 3.5, X'00FF', 1e308, -1, 'fifteen', 9223372036854775807, '', 13, 13, 'No')",
    "('Track 07', 'Various', 'Mix', '1999', 'Pop', '07', '', '/m/07.mp3', '215', 'x', 'VBR')",
    "('Love Love Love', 'Repeat', 'Repeat', '', '', 16, '', '/m/r.mp3', 14, 14, 'No')"};

constexpr const char* kSeedColumns =
    "(Title, Artist, Album, Year, Genre, Track, Comment, Filename, Duration, Bitrate, VBR)";

// ---------------------------------------------------------------------------------------------
// The generator

// One statement and whether it returns rows, which decides how it is usually run.
struct Case {
  std::string sql;
  bool rows = false;
};

std::string sqlString(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// Draws from a std::mt19937 by modulo, not through the standard distributions, whose results
// differ between standard libraries.
class Generator {
 public:
  explicit Generator(std::uint32_t seed) : m_rng(seed) {}

  std::size_t below(std::size_t n) { return n == 0 ? 0 : m_rng() % n; }
  bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
  template <typename T, std::size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

  // (a) Tokens in any order: mostly nonsense, now and then a statement. Half of them are
  // statements of (b) with a few tokens dropped, repeated, replaced or added, which get further
  // into the engine than random tokens do.
  Case soup() {
    if (chance(50)) return mutated(statement());
    static const char* const kStarts[] = {
        "SELECT", "INSERT INTO music_shelf", "UPDATE music_shelf SET",
        "DELETE FROM music_shelf WHERE", "CREATE", "WITH", "PRAGMA",
        "SELECT * FROM music_shelf WHERE", "DROP", "ALTER TABLE", "VALUES ("};
    std::string sql = chance(60) ? pick(kStarts) : "";
    const std::size_t count = 1 + below(24);
    for (std::size_t i = 0; i < count; ++i) {
      if (!sql.empty() && chance(85)) sql += ' ';
      sql += token();
    }
    return {sql, chance(50)};
  }

  Case mutated(const Case& c) {
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= c.sql.size();) {
      const std::size_t end = std::min(c.sql.find(' ', start), c.sql.size());
      words.push_back(c.sql.substr(start, end - start));
      start = end + 1;
    }
    for (std::size_t n = 1 + below(3); n > 0; --n) {
      const auto at = words.begin() + static_cast<std::ptrdiff_t>(below(words.size()));
      switch (below(4)) {
        case 0:
          words.erase(at);
          break;
        case 1:
          words.insert(at, *at);
          break;
        case 2:
          *at = token();
          break;
        default:
          words.insert(at, token());
          break;
      }
      if (words.empty()) words.push_back(token());
    }
    std::string sql;
    for (const auto& w : words) sql += (sql.empty() ? "" : " ") + w;
    return {sql, chance(50) ? c.rows : !c.rows};
  }

  std::string token() {
    switch (below(7)) {
      case 0:
        return pick(kKeywords);
      case 1:
        return pick(kColumns);
      case 2:
        return pick(kNames);
      case 3:
        return pick(kOddValues);
      case 4:
      case 5:
        return pick(kOperators);
      default:
        return pick(kOddTokens);
    }
  }

  // (b) Well-formed statements of every kind the engine may be handed.
  Case statement() {
    const std::size_t kind = below(100);
    if (kind < 26) return {select(), true};
    if (kind < 34) return insert();
    if (kind < 40) return update();
    if (kind < 43) return remove();
    if (kind < 55) return {create(), false};
    if (kind < 60) return {drop(), false};
    if (kind < 62) return {alter(), false};
    if (kind < 69) return pragma();
    if (kind < 71) return {attach(), false};
    if (kind < 74) return {transaction(), false};
    if (kind < 80) return recursive();
    if (kind < 86) return {"SELECT " + bareCall(2) + (chance(50) ? ", " + bareCall(1) : ""), true};
    if (kind < 92) return {"SELECT " + call(2) + " FROM music_shelf" + where(1), true};
    if (kind < 96) return fullText();
    return maintenance();
  }

  // (c) A Jet pattern as pieces of one character each, and an escape character (or none).
  struct Pattern {
    std::vector<std::string> pieces;
    std::optional<std::string> escape;

    std::string text() const {
      std::string out;
      for (const auto& p : pieces) out += p;
      return out;
    }
  };

  Pattern pattern() {
    Pattern p;
    if (chance(50)) {
      p.pieces = nearMatch();
    } else {
      const std::size_t length = below(4) == 0 ? below(3) : below(14);
      for (std::size_t i = 0; i < length; ++i) p.pieces.push_back(pick(kPatternPieces));
    }
    // Some structure too, or almost every list would be left open.
    if (chance(30)) {
      const std::size_t at = below(p.pieces.size() + 1);
      static const char* const kLists[][4] = {{"[", "a", "-", "z"}, {"[", "!", "s", "]"},
                                              {"[", "0", "-", "9"}, {"[", "Σ", "-", "ω"},
                                              {"[", "z", "-", "a"}, {"[", "-", "a", "]"}};
      const auto& list = pick(kLists);
      p.pieces.insert(p.pieces.begin() + static_cast<std::ptrdiff_t>(at), list, list + 4);
      if (list[3][0] != ']')
        p.pieces.insert(p.pieces.begin() + static_cast<std::ptrdiff_t>(at) + 4, "]");
    }
    if (chance(25)) p.escape = pick(kEscapes);
    return p;
  }

  // A pattern made from a text the catalogue holds, worn down here and there, so that it
  // matches now and then: random pieces almost never do.
  std::vector<std::string> nearMatch() {
    const std::string_view text = pick(kCatalogueTexts);
    std::vector<std::string> pieces;
    if (chance(30)) pieces.push_back("*");
    for (std::size_t i = 0; i < text.size();) {
      const std::size_t length = std::max<std::size_t>(1, engine::utf8SequenceLength(text, i));
      std::string piece(text.substr(i, length));
      i += length;
      const std::size_t what = below(100);
      if (what < 8) {
        piece = "?";
      } else if (what < 12) {
        piece = "*";
      } else if (what < 15) {
        continue;
      } else if (what < 18 && piece.size() == 1 &&
                 std::isdigit(static_cast<unsigned char>(piece[0]))) {
        piece = "#";
      } else if (what < 22 && piece.size() == 1 &&
                 std::isalpha(static_cast<unsigned char>(piece[0]))) {
        piece[0] = static_cast<char>(piece[0] ^ 0x20);
      }
      pieces.push_back(piece);
    }
    if (chance(30)) pieces.resize(below(pieces.size() + 1));
    if (chance(40)) pieces.push_back("*");
    return pieces;
  }

  std::string column() { return pick(kColumns); }
  std::string textColumn() { return pick(kTextColumns); }

 private:
  std::string value() {
    if (chance(15)) return std::to_string(static_cast<int>(below(2000)) - 1000);
    if (chance(10)) return sqlString(std::string(1 + below(3), static_cast<char>('a' + below(26))));
    return pick(kOddValues);
  }

  std::string leaf() {
    if (!m_bare && chance(45)) return column();
    if (chance(5)) return "?";
    return value();
  }

  std::string bareCall(int depth) {
    const bool outer = m_bare;
    m_bare = true;
    std::string out = call(depth);
    m_bare = outer;
    return out;
  }

  std::string call(int depth) {
    const Function& f = pick(kFunctions);
    const int args = f.minArgs + static_cast<int>(below(f.maxArgs - f.minArgs + 1));
    std::string out = std::string(f.name) + "(";
    if (std::string_view(f.name) == "count" && args == 0) return "count(*)";
    if (std::string_view(f.name) == "printf" && chance(40)) {
      // A precision from an argument, which is where printf's sizes come from.
      return std::string("printf('%.*c', ") + pick(kPrintfSizes) + ", 'x')";
    }
    for (int i = 0; i < args; ++i) out += (i ? ", " : "") + expr(depth - 1);
    return out + ")";
  }

  std::string likeTest() {
    const Pattern p = pattern();
    std::string out = (m_bare ? sqlString(pick(kTitles)) : textColumn()) +
                      (chance(20) ? " NOT" : "") + " like " + sqlString(p.text());
    if (p.escape) out += " ESCAPE " + sqlString(*p.escape);
    return out;
  }

  std::string expr(int depth) {
    if (depth <= 0 || chance(30)) return leaf();
    const int d = depth - 1;
    static const char* const kBinary[] = {"=",   "<>", "<",  ">=",     "+",    "-",  "*",
                                          "/",   "%",  "||", "&",      "|",    "<<", ">>",
                                          "AND", "OR", "IS", "IS NOT", "GLOB", "->", "->>"};
    static const char* const kTypes[] = {"TEXT", "INTEGER", "REAL", "BLOB", "NUMERIC", "NONE"};
    switch (below(12)) {
      case 0:
        return expr(d) + " " + pick(kBinary) + " " + expr(d);
      case 1:
        return "(" + expr(d) + ")";
      case 2:
        return "NOT " + expr(d);
      case 3:
        return expr(d) + (chance(50) ? " IS NULL" : " NOTNULL");
      case 4:
        return expr(d) + " IN (" + expr(d) + ", " + leaf() + ")";
      case 5:
        return expr(d) + " BETWEEN " + leaf() + " AND " + leaf();
      case 6:
        return "CASE WHEN " + expr(d) + " THEN " + expr(d) + " ELSE " + leaf() + " END";
      case 7:
        return "CAST(" + expr(d) + " AS " + pick(kTypes) + ")";
      case 8:
        return call(d);
      case 9:
        return likeTest();
      case 10:
        return "(SELECT " + expr(d) + " FROM music_shelf" + where(d) + " LIMIT 1)";
      default:
        return expr(d) + " COLLATE " + (chance(50) ? "NOCASE" : "RTRIM");
    }
  }

  // An expression that names no column, for VALUES, constraints and queries without a table.
  std::string bareExpr(int depth) {
    const bool outer = m_bare;
    m_bare = true;
    std::string out = expr(depth);
    m_bare = outer;
    return out;
  }

  std::string where(int depth) { return chance(60) ? " WHERE " + expr(depth) : ""; }

  std::string select() {
    std::string sql = chance(10) ? "EXPLAIN " : "";
    sql += "SELECT ";
    if (chance(10)) sql += "DISTINCT ";
    bool grouped = false;
    switch (below(6)) {
      case 0:
        sql += "*";
        break;
      case 1:
        sql += "count(*), " + call(1);
        grouped = true;
        break;
      case 2:
        sql += "row_number() OVER (ORDER BY " + column() + "), " + column();
        break;
      default:
        sql += column();
        for (std::size_t i = below(4); i > 0; --i) sql += ", " + (chance(70) ? column() : expr(2));
    }
    sql += " FROM music_shelf";
    if (chance(8)) sql += " AS a CROSS JOIN music_shelf AS b";
    sql += where(3);
    if (chance(20)) {
      sql += " GROUP BY " + column();
      if (chance(40)) sql += " HAVING " + expr(2);
    } else if (grouped && chance(50)) {
      sql += " GROUP BY " + column();
    }
    if (chance(40)) {
      sql += " ORDER BY " + (chance(80) ? column() : expr(2));
      if (chance(50)) sql += chance(50) ? " DESC" : " ASC";
      if (chance(10)) sql += " NULLS FIRST";
    }
    if (chance(30)) {
      sql += " LIMIT " + value();
      if (chance(30)) sql += " OFFSET " + value();
    }
    return sql;
  }

  std::string returning() {
    if (!chance(15)) return "";
    m_returning = true;
    return " RETURNING " + (chance(50) ? std::string("*") : column());
  }

  Case insert() {
    static const char* const kVerbs[] = {"INSERT", "INSERT OR REPLACE", "INSERT OR IGNORE",
                                         "INSERT OR FAIL", "REPLACE"};
    m_returning = false;
    std::string sql = std::string(pick(kVerbs)) + " INTO ";
    switch (below(5)) {
      case 0:
        sql += "music_shelf DEFAULT VALUES";
        break;
      case 1:
        sql += "music_shelf (Title, Artist) SELECT " + expr(2) + ", Artist FROM music_shelf" +
               where(2) + " LIMIT " + std::to_string(below(6));
        break;
      case 2:
        sql += "scratch_t" + std::to_string(below(4)) + " VALUES (" + bareExpr(2) + ", " +
               bareExpr(0) + ")";
        break;
      default: {
        const std::string a = column(), b = textColumn();
        sql +=
            "music_shelf (" + a + ", " + b + ") VALUES (" + bareExpr(2) + ", " + bareExpr(1) + ")";
        if (chance(30)) sql += ", (" + value() + ", " + value() + ")";
      }
    }
    sql += returning();
    return {sql, m_returning};
  }

  Case update() {
    m_returning = false;
    std::string sql = std::string(chance(10) ? "UPDATE OR IGNORE" : "UPDATE") +
                      " music_shelf SET " + column() + " = " + expr(2);
    if (chance(30)) sql += ", " + textColumn() + " = " + expr(1);
    sql += chance(70) ? " WHERE ID = " + std::to_string(1 + below(30)) : where(2);
    sql += returning();
    if (chance(10)) sql += " ORDER BY " + column() + " LIMIT " + value();
    return {sql, m_returning};
  }

  Case remove() {
    m_returning = false;
    std::string sql = "DELETE FROM music_shelf WHERE ";
    sql += chance(70) ? "ID = " + std::to_string(1 + below(30)) : likeTest();
    sql += returning();
    return {sql, m_returning};
  }

  std::string scratch(const char* prefix) { return prefix + std::to_string(below(4)); }

  std::string create() {
    switch (below(7)) {
      case 0: {
        std::string sql = std::string(chance(20) ? "CREATE TEMP TABLE " : "CREATE TABLE ") +
                          (chance(30) ? "IF NOT EXISTS " : "") + scratch("scratch_t");
        if (chance(25)) return sql + " AS " + select();
        sql += " (a " + std::string(chance(50) ? "TEXT" : "ANY") + ", b INTEGER";
        if (chance(30)) sql += " PRIMARY KEY";
        if (chance(20))
          sql += std::string(" CHECK (a ") + pick(kComparisons) + " " + bareExpr(2) + ")";
        if (chance(20)) sql += ", c AS (b || " + bareExpr(1) + ")";
        sql += ")";
        if (chance(15)) sql += " STRICT";
        return sql;
      }
      case 1:
        return "CREATE VIEW " + scratch("scratch_v") + " AS " + select();
      case 2:
      case 3: {
        std::string sql = std::string(chance(20) ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") +
                          (chance(30) ? "IF NOT EXISTS " : "") + scratch("scratch_i") +
                          " ON music_shelf (" + (chance(70) ? column() : expr(1)) + ")";
        if (chance(20)) sql += " WHERE " + expr(1);
        return sql;
      }
      case 4:
      case 5: {
        static const char* const kWhen[] = {"BEFORE", "AFTER"};
        static const char* const kEvents[] = {"INSERT", "UPDATE", "DELETE", "UPDATE OF Title"};
        static const char* const kBodies[] = {
            "INSERT INTO scratch_t0 VALUES (new.Title, 1)",
            "UPDATE music_shelf SET Comment = 'seen' WHERE ID = new.ID",
            "INSERT INTO music_shelf (Title) VALUES ('again')",
            "DELETE FROM music_shelf WHERE ID = old.ID",
            "SELECT RAISE(ABORT, 'refused by trigger')",
            "SELECT RAISE(IGNORE)",
            "SELECT count(*) FROM music_shelf a, music_shelf b, music_shelf c"};
        std::string sql = "CREATE TRIGGER " + scratch("scratch_r") + " " + pick(kWhen) + " " +
                          pick(kEvents) + " ON music_shelf";
        if (chance(30)) sql += " WHEN " + expr(1);
        return sql + " BEGIN " + pick(kBodies) + "; END";
      }
      default: {
        static const char* const kModules[] = {"fts4(a, b)",        "fts3(a, tokenize=porter)",
                                               "fts5(a, b)",        "fts4(a, tokenize=unicode61)",
                                               "rtree(id, x0, x1)", "fts4(tokenize=nosuch)",
                                               "nosuch(a)",         "fts5(a, tokenize='x y')"};
        return "CREATE VIRTUAL TABLE " + scratch("scratch_f") + " USING " + pick(kModules);
      }
    }
  }

  std::string drop() {
    static const char* const kWhat[][2] = {{"TABLE", "scratch_t"}, {"VIEW", "scratch_v"},
                                           {"INDEX", "scratch_i"}, {"TRIGGER", "scratch_r"},
                                           {"TABLE", "scratch_f"}, {"TABLE", "scratch_v"}};
    const auto& what = pick(kWhat);
    return std::string("DROP ") + what[0] + (chance(50) ? " IF EXISTS " : " ") + scratch(what[1]);
  }

  std::string alter() {
    const std::string t = scratch("scratch_t");
    switch (below(5)) {
      case 0:
        return "ALTER TABLE " + t + " ADD COLUMN z DEFAULT " + value();
      case 1:
        return "ALTER TABLE " + t + " RENAME TO " + scratch("scratch_t");
      case 2:
        return "ALTER TABLE " + t + " RENAME COLUMN a TO z";
      case 3:
        return "ALTER TABLE " + t + " DROP COLUMN " + (chance(50) ? "a" : "b");
      default:
        return "ALTER TABLE music_shelf ADD COLUMN " + scratch("Extra") + " TEXT";
    }
  }

  Case pragma() {
    static const char* const kReading[] = {"PRAGMA table_info(music_shelf)",
                                           "PRAGMA index_list(music_shelf)",
                                           "PRAGMA integrity_check",
                                           "PRAGMA quick_check(5)",
                                           "PRAGMA foreign_key_check",
                                           "PRAGMA journal_mode",
                                           "PRAGMA user_version",
                                           "PRAGMA schema_version",
                                           "PRAGMA compile_options",
                                           "PRAGMA function_list",
                                           "PRAGMA database_list",
                                           "PRAGMA table_list",
                                           "PRAGMA main.table_xinfo(scratch_t0)",
                                           "PRAGMA index_xinfo(scratch_i0)",
                                           "SELECT * FROM pragma_table_info('music_shelf')",
                                           "SELECT * FROM pragma_integrity_check",
                                           "SELECT * FROM pragma_index_list('music_shelf')",
                                           "SELECT * FROM dbstat",
                                           "SELECT * FROM sqlite_stmt",
                                           "SELECT * FROM sqlite_schema",
                                           "SELECT * FROM sqlite_sequence",
                                           "PRAGMA writable_schema",
                                           "PRAGMA hard_heap_limit"};
    static const char* const kSetting[] = {"PRAGMA journal_mode=DELETE",
                                           "PRAGMA journal_mode=OFF",
                                           "PRAGMA writable_schema=ON",
                                           "PRAGMA schema_version=1",
                                           "PRAGMA user_version=7",
                                           "PRAGMA foreign_keys=1",
                                           "PRAGMA recursive_triggers=0",
                                           "PRAGMA query_only=1",
                                           "PRAGMA locking_mode=EXCLUSIVE",
                                           "PRAGMA synchronous=OFF",
                                           "PRAGMA cache_size=1",
                                           "PRAGMA max_page_count=1",
                                           "PRAGMA hard_heap_limit=1",
                                           "PRAGMA trusted_schema=1",
                                           "PRAGMA ignore_check_constraints=1",
                                           "PRAGMA page_size=512",
                                           "PRAGMA wal_checkpoint(TRUNCATE)",
                                           "PRAGMA main.integrity_check(1)",
                                           "PRAGMA table_info = 'music_shelf'",
                                           "PRAGMA temp_store_directory='/tmp'"};
    if (chance(50)) return {pick(kReading), true};
    return {pick(kSetting), chance(30)};
  }

  std::string attach() {
    static const char* const kStatements[] = {
        "ATTACH ':memory:' AS other", "ATTACH DATABASE 'file:x?mode=memory' AS other",
        "ATTACH (SELECT '/tmp/x.db') AS other", "DETACH other", "DETACH DATABASE main"};
    return pick(kStatements);
  }

  std::string transaction() {
    static const char* const kStatements[] = {
        "BEGIN",    "BEGIN IMMEDIATE", "BEGIN EXCLUSIVE", "COMMIT",       "END",
        "ROLLBACK", "SAVEPOINT s",     "RELEASE s",       "ROLLBACK TO s"};
    return pick(kStatements);
  }

  Case recursive() {
    const std::string head = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT ";
    // Endless ones only now and then: each costs the whole time limit.
    if (chance(4)) return {head + "x + 1 FROM c) SELECT x FROM c ORDER BY x DESC LIMIT 3", true};
    if (chance(3))
      return {head + "x + 1 FROM c) INSERT INTO music_shelf (Title) SELECT x FROM c", false};
    switch (below(4)) {
      case 0:
        return {head + "x + 1 FROM c WHERE x < " + std::to_string(below(5000)) +
                    ") SELECT count(*), " + bareCall(1) + " FROM c",
                true};
      case 1:
        // Text that doubles each round, past the connection's length limit.
        return {
            "WITH RECURSIVE c(x, s) AS (SELECT 1, 'ab' UNION ALL SELECT x + 1, s || s FROM c "
            "WHERE x < " +
                std::to_string(10 + below(30)) + ") SELECT x, length(s) FROM c",
            true};
      case 2:
        return {head + "x + 1 FROM c WHERE x < " + std::to_string(below(20)) +
                    ") INSERT INTO music_shelf (Title, Track) SELECT 'gen ' || x, x FROM c",
                false};
      default:
        // A negative or huge limit reads on until the row cache is full.
        return {head + "x + 1 FROM c LIMIT " + (chance(20) ? value() : std::to_string(below(300))) +
                    ") SELECT x FROM c",
                true};
    }
  }

  Case fullText() {
    const std::string t = scratch("scratch_f");
    switch (below(5)) {
      case 0:
        return {"INSERT INTO " + t + " VALUES (" + bareExpr(1) + ", " + bareExpr(0) + ")", false};
      case 1:
        return {"INSERT INTO " + t + "(" + t + ") VALUES ('optimize')", false};
      case 2:
        return {"INSERT INTO " + t + "(" + t + ") VALUES ('integrity-check')", false};
      case 3:
        return {"SELECT *, offsets(" + t + "), matchinfo(" + t + ", 'pcnalx') FROM " + t +
                    " WHERE " + t + " MATCH " + sqlString(pattern().text()),
                true};
      default:
        return {"SELECT * FROM " + t + " WHERE " + t + " MATCH " + value(), true};
    }
  }

  Case maintenance() {
    static const char* const kStatements[] = {"VACUUM",
                                              "ANALYZE",
                                              "REINDEX",
                                              "REINDEX NOCASE",
                                              "PRAGMA optimize",
                                              "PRAGMA wal_checkpoint",
                                              "SELECT * FROM json_each('[1,[2,{\"a\":3}]]')",
                                              "SELECT * FROM json_tree('{\"a\":[1,2,3]}')"};
    const char* sql = pick(kStatements);
    return {sql, std::string_view(sql).starts_with("SELECT")};
  }

  std::mt19937 m_rng;
  bool m_returning = false;  // the statement being made returns rows
  bool m_bare = false;       // expressions being made may name no column
};

// ---------------------------------------------------------------------------------------------
// Running

bool echo() {
  static const bool on = std::getenv("QUOLLSONG_FUZZ_ECHO") != nullptr;
  return on;
}

// The seed for one family: its own, unless the environment asks for others.
std::uint32_t seed(std::uint32_t usual) {
  const char* other = std::getenv("QUOLLSONG_FUZZ_SEED");
  return other ? usual ^ static_cast<std::uint32_t>(std::strtoul(other, nullptr, 10)) : usual;
}

// How the cases of one family ended.
struct Tally {
  int cases = 0;
  int ran = 0;
  std::map<int, int> errors;  // by number; SQLite's codes by their primary code

  int errorCount() const {
    int n = 0;
    for (const auto& [number, count] : errors) n += count;
    return n;
  }
};

std::ostream& operator<<(std::ostream& os, const Tally& t) {
  os << t.cases << " cases, " << t.ran << " ran, " << t.errorCount() << " errors (";
  bool first = true;
  for (const auto& [number, count] : t.errors) {
    os << (first ? "" : ", ") << number << ": " << count;
    first = false;
  }
  return os << ")";
}

class FuzzTest : public CatalogueTest {
 protected:
  void SetUp() override {
    CatalogueTest::SetUp();
    std::string seed = "INSERT INTO music_shelf " + std::string(kSeedColumns) + " VALUES ";
    for (std::size_t i = 0; i < std::size(kSeedRows); ++i)
      seed += (i ? ", " : "") + std::string(kSeedRows[i]);
    testcatalogue::run(m_path, seed);
    m_db = open();
    m_db->setQueryTimeout(kTimeLimit);
    m_db->setCacheLimit(kCacheLimit);
  }

  // Reads what a record set holds, as the grid would, through both ways in.
  static void walk(engine::Recordset& rs) {
    for (std::int64_t row = 0; row < std::min<std::int64_t>(rs.rowCount(), 50); ++row)
      for (int c = 0; c < rs.fieldCount(); ++c) (void)rs.value(row, c).toText();
    if (rs.rowCount() > 0) {
      rs.MoveLast();
      for (int c = 0; c < rs.fieldCount(); ++c) (void)rs.Fields(c).Value();
      rs.MoveFirst();
    }
  }

  // Runs one statement the way its kind is usually run, now and then another way; an
  // EngineError is a fine answer, anything else fails the test.
  void run(Generator& gen, const Case& c, Tally& tally) {
    ++tally.cases;
    m_held.reset();  // a set left reading by the case before
    if (echo()) std::cerr << "fuzz " << tally.cases << ": " << c.sql << std::endl;
    const auto start = std::chrono::steady_clock::now();
    struct Took {
      std::chrono::steady_clock::time_point start;
      ~Took() {
        if (echo())
          std::cerr << "  took "
                    << std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count()
                    << " ms" << std::endl;
      }
    } took{start};
    const std::size_t how = gen.below(100);
    try {
      if (c.rows ? how < 10 : how < 90) {
        m_db->Execute(c.sql, 64);
      } else if (c.rows && how < 20) {
        // Left reading: the next statement, a write perhaps, has to finish it first.
        m_held = m_db->OpenRecordset(c.sql, engine::dbOpenDynaset);
      } else {
        const int type = gen.chance(50) ? engine::dbOpenSnapshot : engine::dbOpenDynaset;
        auto rs = m_db->OpenRecordset(c.sql, type);
        rs->readAll();
        walk(*rs);
      }
      ++tally.ran;
    } catch (const EngineError& e) {
      if (echo()) std::cerr << "  error " << e.number() << ": " << e.description() << std::endl;
      // SQLite's codes by their primary code (the low byte, always below 128).
      const int number = (e.number() & 0xFF) < 128 ? (e.number() & 0xFF) : e.number();
      ++tally.errors[number];
    } catch (const std::exception& e) {
      ADD_FAILURE() << "case " << tally.cases << " threw " << typeid(e).name() << " (" << e.what()
                    << "), not an EngineError:\n"
                    << c.sql;
    } catch (...) {
      ADD_FAILURE() << "case " << tally.cases << " threw something not an exception:\n" << c.sql;
    }
  }

  // After a run: the file is sound and the engine still answers.
  void expectSoundCatalogue() {
    m_held.reset();
    auto rs = m_db->OpenRecordset("SELECT count(*) FROM music_shelf", engine::dbOpenSnapshot);
    EXPECT_GE(rs->Fields(0).Value().integer(), 0);
    m_db->Close();
    EXPECT_EQ(testcatalogue::scalar(m_path, "PRAGMA integrity_check"), "ok");
  }

  std::shared_ptr<engine::Database> m_db;
  std::shared_ptr<engine::Recordset> m_held;
};

TEST_F(FuzzTest, TokenSoupEndsInAnswersOrEngineErrors) {
  Generator gen(seed(20240601));
  Tally tally;
  for (int i = 0; i < 1500; ++i) run(gen, gen.soup(), tally);
  std::cout << "token soup: " << tally << "\n";
  EXPECT_GT(tally.errorCount(), 0);
  expectSoundCatalogue();
}

TEST_F(FuzzTest, StatementsEndInAnswersOrEngineErrors) {
  Generator gen(seed(7031));
  Tally tally;
  for (int i = 0; i < 2000; ++i) run(gen, gen.statement(), tally);
  std::cout << "statements: " << tally << "\n";
  // Most of them are meant to run; if few do, the generator has stopped testing anything.
  EXPECT_GT(tally.ran, tally.cases / 4);
  expectSoundCatalogue();
}

// Text of a pattern with every plain letter, digit and non-ASCII character outside a list
// written as a one-character list ("ab" becomes "[a][b]"), which must match the same texts;
// it also takes a pattern off the quick paths for exact and substring matches.
std::string bracketed(const Generator::Pattern& p) {
  const auto codePoint = [](const std::string& piece) { return engine::decodeUtf8(piece); };
  const std::u32string escape = p.escape ? codePoint(*p.escape) : std::u32string();
  if (escape == U"[") return p.text();  // every list would start with an escape
  std::string out;
  for (std::size_t i = 0; i < p.pieces.size(); ++i) {
    const std::string& piece = p.pieces[i];
    if (escape.size() == 1 && codePoint(piece) == escape) {
      out += piece;
      if (i + 1 < p.pieces.size()) out += p.pieces[++i];
    } else if (piece == "[") {
      out += piece;
      while (i + 1 < p.pieces.size() && p.pieces[i] != "]") out += p.pieces[++i];
    } else if (static_cast<unsigned char>(piece[0]) >= 0x80 ||
               std::isalnum(static_cast<unsigned char>(piece[0]))) {
      out += "[" + piece + "]";
    } else {
      out += piece;
    }
  }
  return out;
}

// The same with ASCII letters' case swapped, escape included.
std::string swappedCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 32);
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c + 32);
  }
  return text;
}

TEST_F(FuzzTest, LikePatternsEndInAnswersOrEngineErrors) {
  Generator gen(seed(1997));
  Tally tally;
  int compared = 0;
  // The IDs a like test keeps, or the error number it ends in.
  const std::string kCut = "error " + std::to_string(SQLITE_INTERRUPT);
  auto answer = [&](const std::string& test) -> std::string {
    const std::string sql =
        "SELECT group_concat(ID) FROM (SELECT ID FROM music_shelf WHERE " + test + " ORDER BY ID)";
    try {
      auto rs = m_db->OpenRecordset(sql, engine::dbOpenSnapshot);
      return "rows " + rs->Fields(0).Value().toText();
    } catch (const EngineError& e) {
      return "error " + std::to_string(e.number());
    }
  };
  for (int i = 0; i < 1500; ++i) {
    const Generator::Pattern p = gen.pattern();
    const std::string escape = p.escape ? " ESCAPE " + sqlString(*p.escape) : "";
    const std::string column = gen.textColumn();
    switch (gen.below(4)) {
      case 0: {
        // The same question four ways: as written, with cases swapped, with letters as lists,
        // and as a pattern made anew for every row.
        const std::string text = p.text();
        const std::string plain = answer(column + " like " + sqlString(text) + escape);
        const std::string swapped =
            answer(column + " like " + sqlString(swappedCase(text)) +
                   (p.escape ? " ESCAPE " + sqlString(swappedCase(*p.escape)) : ""));
        const std::string listed = answer(column + " like " + sqlString(bracketed(p)) + escape);
        const std::string perRow =
            answer("like(" + sqlString(text) + " || substr(" + column + ", 1, 0), " + column +
                   (p.escape ? ", " + sqlString(*p.escape) : "") + ")");
        // A question the time limit cut short has no answer to compare: on a busy machine
        // any one of the four may be cut.
        if (plain == kCut || swapped == kCut || listed == kCut || perRow == kCut) break;
        EXPECT_EQ(swapped, plain) << text << escape;
        EXPECT_EQ(listed, plain) << text << escape << " as " << bracketed(p);
        EXPECT_EQ(perRow, plain) << text << escape;
        ++compared;
        break;
      }
      case 1:
        run(gen,
            {"SELECT ID, " + column + " FROM music_shelf WHERE " + column + " like " +
                 sqlString(p.text()) + escape,
             true},
            tally);
        break;
      case 2:
        run(gen,
            {"SELECT " + sqlString(p.text()) + " like " + column + ", " + column +
                 " like Artist FROM music_shelf",
             true},
            tally);
        break;
      default:
        run(gen,
            {"UPDATE music_shelf SET Comment = 'matched' WHERE " + column + " like " +
                 sqlString(p.text()) + escape,
             false},
            tally);
    }
  }
  std::cout << "like patterns: " << tally << ", " << compared << " compared four ways\n";
  EXPECT_GT(tally.ran, tally.cases / 4);
  expectSoundCatalogue();
}

// Statements that once brought the engine down, each run on its own.

TEST_F(FuzzTest, SchemaCannotBeRewrittenFromSql) {
  std::string why;
  EXPECT_EQ(errorNumber([&] { m_db->Execute("PRAGMA writable_schema=1", 64); }, &why),
            err::kStatementRefused)
      << why;
  EXPECT_NE(errorNumber([&] {
              m_db->Execute("UPDATE sqlite_schema SET sql = 'garbage' WHERE name = 'music_shelf'",
                            64);
            }),
            0);
  // A new handle still reads the catalogue.
  auto again = open();
  auto rs = again->OpenRecordset("SELECT count(*) FROM music_shelf", engine::dbOpenSnapshot);
  EXPECT_EQ(rs->Fields(0).Value().integer(), static_cast<std::int64_t>(std::size(kSeedRows)));
  again->Close();
  expectSoundCatalogue();
}

TEST_F(FuzzTest, TokenizerAddressFromSqlNeverReachesAFullTextTable) {
  // With two arguments fts3_tokenizer takes any blob as the address of a tokenizer, and the
  // next full-text table made with that tokenizer calls through it.
  EXPECT_NE(errorNumber([&] {
              m_db->OpenRecordset("SELECT fts3_tokenizer('simple', X'4141414141414141')",
                                  engine::dbOpenSnapshot);
            }),
            0);
  const int created =
      errorNumber([&] { m_db->Execute("CREATE VIRTUAL TABLE v USING fts4(a)", 64); });
  if (created == 0) {
    // Then it is the real tokenizer that splits the words.
    m_db->Execute("INSERT INTO v VALUES ('summer love song')", 64);
    auto rs =
        m_db->OpenRecordset("SELECT count(*) FROM v WHERE v MATCH 'love'", engine::dbOpenSnapshot);
    EXPECT_EQ(rs->Fields(0).Value().integer(), 1);
  }
  expectSoundCatalogue();
}

}  // namespace
