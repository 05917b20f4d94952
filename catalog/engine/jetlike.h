#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// Asked now and then during a long match; true ends the statement with SQLITE_INTERRUPT.
using StopCheck = bool (*)(void* context);

// A pattern with Jet's like rules: case-insensitive; "*" any run of characters, "?" one
// character, "#" one digit, "[abc]", "[a-z]" and "[!abc]" character lists. "%" and "_" are
// ordinary characters. Matching costs at most text length times pattern length, and only text
// length for a pattern without wildcards or with "*" only at both ends.
class JetPattern {
 public:
  // Returns the compiled pattern, or nullopt with `error` set for a malformed one ("[abc",
  // "[z-a]"). `escape`, when given, makes the character after it literal.
  static std::optional<JetPattern> compile(std::string_view pattern, std::string* error,
                                           std::optional<char32_t> escape = std::nullopt);

  bool matches(std::string_view utf8Text) const;
  // The same, asking `stop(context)` each time a few hundred thousand steps of work (a step is
  // one text character against one pattern token) have been done since it last asked: a match
  // over a catalogue's titles never asks. Returns nullopt, at once, when the answer is true.
  std::optional<bool> matches(std::string_view utf8Text, StopCheck stop, void* context) const;

 private:
  class Work;
  std::optional<bool> matchExact(std::string_view utf8Text, Work& work) const;
  std::optional<bool> matchSubstring(std::string_view utf8Text, Work& work) const;
  std::optional<bool> matchTokens(std::string_view utf8Text, Work& work) const;

  enum class Kind { Literal, AnyChar, Digit, List, Star };
  struct Range {
    char32_t lo, hi;
  };
  struct Token {
    Kind kind = Kind::Literal;
    char32_t ch = 0;        // Literal, folded
    bool negated = false;   // List
    std::vector<Range> ranges;  // List, folded bounds
  };

  bool tokenMatches(const Token& token, char32_t c) const;

  std::vector<Token> m_tokens;
  std::size_t m_stepsPerCharacter = 1;  // the automaton's work for one text character
  bool m_allStars = false;             // "*", "**": matches any text
  std::optional<std::u32string> m_substring;  // "*abc*" with no other wildcard
  std::vector<std::size_t> m_border;          // of m_substring's prefixes, for the search
  std::optional<std::u32string> m_exact;      // no wildcard at all
};

// Case folding used by like(): ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters.
char32_t foldCase(char32_t c);

// Replaces SQLite's like() (two and three arguments) on the connection with Jet's. A long match
// asks `stop(context)` now and then, and ends the statement with SQLITE_INTERRUPT when it
// answers true; `context` must outlive the connection's use of like().
int registerJetLike(sqlite3* db, StopCheck stop = nullptr, void* context = nullptr);

}  // namespace engine
