#include "jetlike.h"

#include <algorithm>
#include <memory>
#include <new>

#include "utf8.h"

namespace engine {

char32_t foldCase(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs upper/lower as even/odd, except in two runs that pair odd/even.
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 1) ? c + 1 : c;
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

std::optional<JetPattern> JetPattern::compile(std::string_view pattern, std::string* error,
                                              std::optional<char32_t> escape) {
  const std::u32string p = decodeUtf8(pattern);
  JetPattern result;
  auto fail = [&](const char* what) -> std::optional<JetPattern> {
    if (error) *error = std::string("Invalid pattern string in like: ") + what;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < p.size(); ++i) {
    char32_t c = p[i];
    Token t;
    t.kind = Kind::Literal;
    if (escape && c == *escape) {
      if (i + 1 >= p.size()) return fail("escape character at the end of the pattern");
      t.ch = foldCase(p[++i]);
    } else if (c == '*') {
      if (!result.m_tokens.empty() && result.m_tokens.back().kind == Kind::Star) continue;
      t.kind = Kind::Star;
    } else if (c == '?') {
      t.kind = Kind::AnyChar;
    } else if (c == '#') {
      t.kind = Kind::Digit;
    } else if (c == '[') {
      std::size_t j = i + 1;
      t.kind = Kind::List;
      if (j < p.size() && p[j] == '!') {
        t.negated = true;
        ++j;
      }
      const std::size_t first = j;
      while (j < p.size() && p[j] != ']') {
        char32_t lo = p[j];
        // A hyphen between two characters makes a range; first or last it is literal.
        if (j + 2 < p.size() && p[j + 1] == '-' && p[j + 2] != ']') {
          char32_t hi = p[j + 2];
          if (foldCase(lo) > foldCase(hi)) return fail("a range runs backwards");
          t.ranges.push_back({foldCase(lo), foldCase(hi)});
          j += 3;
        } else {
          t.ranges.push_back({foldCase(lo), foldCase(lo)});
          ++j;
        }
      }
      if (j >= p.size()) return fail("a character list has no closing ]");
      i = j;
      if (j == first && !t.negated) continue;  // "[]" stands for no character at all
      if (j == first) t.kind = Kind::AnyChar;  // "[!]": any one character
    } else {
      t.ch = foldCase(c);
    }
    result.m_tokens.push_back(std::move(t));
  }

  const auto& toks = result.m_tokens;
  // One text character costs a look at every token, and at every range of a list, plus the
  // states' bookkeeping.
  result.m_stepsPerCharacter = 1;
  for (const Token& t : toks) result.m_stepsPerCharacter += 1 + t.ranges.size();
  auto isLiteral = [](const Token& t) { return t.kind == Kind::Literal; };
  if (!toks.empty() && std::all_of(toks.begin(), toks.end(),
                                   [](const Token& t) { return t.kind == Kind::Star; })) {
    result.m_allStars = true;
  } else if (std::all_of(toks.begin(), toks.end(), isLiteral)) {
    std::u32string s;
    for (const Token& t : toks) s.push_back(t.ch);
    result.m_exact = std::move(s);
  } else if (toks.size() >= 2 && toks.front().kind == Kind::Star && toks.back().kind == Kind::Star &&
             std::all_of(toks.begin() + 1, toks.end() - 1, isLiteral)) {
    std::u32string s;
    for (std::size_t k = 1; k + 1 < toks.size(); ++k) s.push_back(toks[k].ch);
    // m_border[k]: length of the longest proper prefix of s[0..k] that also ends it.
    std::vector<std::size_t> border(s.size(), 0);
    for (std::size_t k = 1, length = 0; k < s.size(); ++k) {
      while (length > 0 && s[k] != s[length]) length = border[length - 1];
      if (s[k] == s[length]) ++length;
      border[k] = length;
    }
    result.m_border = std::move(border);
    result.m_substring = std::move(s);
  }
  return result;
}

bool JetPattern::tokenMatches(const Token& token, char32_t c) const {
  switch (token.kind) {
    case Kind::Literal:
      return foldCase(c) == token.ch;
    case Kind::AnyChar:
      return true;
    case Kind::Digit:
      return c >= '0' && c <= '9';
    case Kind::List: {
      const char32_t f = foldCase(c);
      const bool in = std::any_of(token.ranges.begin(), token.ranges.end(),
                                  [f](const Range& r) { return f >= r.lo && f <= r.hi; });
      return in != token.negated;
    }
    case Kind::Star:
      return true;
  }
  return false;
}

namespace {

// Decodes the character at text[i] as decodeUtf8 does (a byte that starts no valid sequence is
// one U+FFFD) and moves i past it, so long texts are matched without a decoded copy.
char32_t nextCharacter(std::string_view text, std::size_t& i) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  const std::size_t length = utf8SequenceLength(text, i);
  if (length == 0) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = static_cast<unsigned char>(text[i]) & kLeadMask[length];
  for (std::size_t k = 1; k < length; ++k)
    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  i += length;
  return c;
}

}  // namespace

// Counts the steps of one match and asks the stop check whenever enough have piled up since it
// last asked. A step costs a few nanoseconds, so a stop is noticed within a millisecond or two
// and asking costs nothing measurable.
class JetPattern::Work {
 public:
  static constexpr std::size_t kStepsBetweenChecks = std::size_t{1} << 18;

  Work(StopCheck stop, void* context) : m_stop(stop), m_context(context) {}

  // Counts `steps` more; true when the match must stop.
  bool stopAfter(std::size_t steps) {
    if (m_stop == nullptr) return false;
    m_steps += steps;
    if (m_steps < kStepsBetweenChecks) return false;
    m_steps = 0;
    return m_stop(m_context);
  }

 private:
  StopCheck m_stop;
  void* m_context;
  std::size_t m_steps = 0;
};

bool JetPattern::matches(std::string_view utf8Text) const {
  return *matches(utf8Text, nullptr, nullptr);
}

std::optional<bool> JetPattern::matches(std::string_view utf8Text, StopCheck stop,
                                        void* context) const {
  if (m_allStars) return true;
  Work work(stop, context);
  if (m_exact) return matchExact(utf8Text, work);
  if (m_substring) return matchSubstring(utf8Text, work);
  return matchTokens(utf8Text, work);
}

std::optional<bool> JetPattern::matchExact(std::string_view utf8Text, Work& work) const {
  const std::u32string& exact = *m_exact;
  std::size_t matched = 0;
  for (std::size_t i = 0; i < utf8Text.size();) {
    if (matched == exact.size() || foldCase(nextCharacter(utf8Text, i)) != exact[matched])
      return false;
    ++matched;
    if (work.stopAfter(1)) return std::nullopt;
  }
  return matched == exact.size();
}

std::optional<bool> JetPattern::matchSubstring(std::string_view utf8Text, Work& work) const {
  // Knuth-Morris-Pratt: on a mismatch the search falls back to the longest border of what has
  // matched so far instead of starting again one character on, so "*aaaab*" over a long run of
  // "a" stays linear.
  const std::u32string& needle = *m_substring;
  if (needle.empty()) return true;
  std::size_t matched = 0;
  for (std::size_t i = 0; i < utf8Text.size();) {
    const char32_t c = foldCase(nextCharacter(utf8Text, i));
    while (matched > 0 && needle[matched] != c) matched = m_border[matched - 1];
    if (needle[matched] == c && ++matched == needle.size()) return true;
    // Falling back never undoes more than the characters before it advanced: two steps each.
    if (work.stopAfter(2)) return std::nullopt;
  }
  return false;
}

std::optional<bool> JetPattern::matchTokens(std::string_view utf8Text, Work& work) const {
  // Simulate the pattern as an automaton: state k means "the first k tokens are matched".
  const std::size_t m = m_tokens.size();
  std::vector<char> active(m + 1, 0), next(m + 1, 0);
  auto close = [&](std::vector<char>& set) {
    for (std::size_t k = 0; k < m; ++k)
      if (set[k] && m_tokens[k].kind == Kind::Star) set[k + 1] = 1;
  };
  active[0] = 1;
  close(active);
  for (std::size_t i = 0; i < utf8Text.size();) {
    const char32_t c = nextCharacter(utf8Text, i);
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (std::size_t k = 0; k < m; ++k) {
      if (!active[k]) continue;
      if (m_tokens[k].kind == Kind::Star) {
        next[k] = 1;
        any = true;
      } else if (tokenMatches(m_tokens[k], c)) {
        next[k + 1] = 1;
        any = true;
      }
    }
    if (!any) return false;
    close(next);
    active.swap(next);
    if (work.stopAfter(m_stepsPerCharacter)) return std::nullopt;
  }
  return active[m] != 0;
}

namespace {

// The stop check of one registration of like(), SQLite's user data for the function.
struct StopHook {
  StopCheck stop;
  void* context;
};

// Sets the call's result to the match, or to SQLITE_INTERRUPT when the stop check ended it.
void answer(sqlite3_context* ctx, const JetPattern& pattern, std::string_view text) {
  const auto* hook = static_cast<const StopHook*>(sqlite3_user_data(ctx));
  const std::optional<bool> matched =
      hook ? pattern.matches(text, hook->stop, hook->context) : pattern.matches(text);
  if (matched)
    sqlite3_result_int(ctx, *matched ? 1 : 0);
  else
    sqlite3_result_error_code(ctx, SQLITE_INTERRUPT);
}

void jetLike(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  for (int i = 0; i < argc; ++i)
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return;  // NULL in, NULL out

  std::optional<char32_t> escape;
  if (argc == 3) {
    // One character is at most four bytes; a longer text need not be decoded to be refused.
    const auto* e = reinterpret_cast<const char*>(sqlite3_value_text(argv[2]));
    const int bytes = e ? sqlite3_value_bytes(argv[2]) : 0;
    const std::u32string esc =
        bytes <= 4 ? decodeUtf8(std::string_view(e ? e : "", bytes)) : std::u32string();
    if (esc.size() != 1) {
      sqlite3_result_error(ctx, "ESCAPE expression must be a single character", -1);
      return;
    }
    escape = esc[0];
  }

  const auto* s = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  const std::string_view text(s ? s : "", s ? sqlite3_value_bytes(argv[1]) : 0);
  try {
    // SQLite keeps the compiled pattern between rows while the pattern argument is constant.
    if (auto* cached = static_cast<JetPattern*>(sqlite3_get_auxdata(ctx, 0))) {
      answer(ctx, *cached, text);
      return;
    }
    const auto* raw = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::string_view source(raw ? raw : "", raw ? sqlite3_value_bytes(argv[0]) : 0);
    // A compiled pattern takes some forty bytes a character, and compiling cannot be stopped.
    constexpr std::size_t kLongestPattern = 1 << 20;
    if (source.size() > kLongestPattern) {
      sqlite3_result_error(ctx, "The like pattern is too long: at most 1,048,576 bytes.", -1);
      return;
    }
    std::string error;
    std::optional<JetPattern> compiled = JetPattern::compile(source, &error, escape);
    if (!compiled) {
      sqlite3_result_error(ctx, error.c_str(), -1);
      return;
    }
    answer(ctx, *compiled, text);
    // Last: SQLite may discard the pattern before set_auxdata returns.
    sqlite3_set_auxdata(ctx, 0, new JetPattern(std::move(*compiled)),
                        [](void* p) { delete static_cast<JetPattern*>(p); });
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(ctx);
  }
}

}  // namespace

int registerJetLike(sqlite3* db, StopCheck stop, void* context) {
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  for (const int arguments : {2, 3}) {
    // Each registration owns its hook; SQLite destroys it with the function, or at once when
    // the registration fails.
    StopHook* hook = nullptr;
    if (stop) {
      hook = new (std::nothrow) StopHook{stop, context};
      if (hook == nullptr) return SQLITE_NOMEM;
    }
    const int rc = sqlite3_create_function_v2(
        db, "like", arguments, flags, hook, jetLike, nullptr, nullptr,
        [](void* p) { delete static_cast<StopHook*>(p); });
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

}  // namespace engine
