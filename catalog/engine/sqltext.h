#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace engine {

// The text with every apostrophe doubled, ready to stand between single quotes in SQL. This is
// the only way user or file text may be pasted into a statement.
std::string doubleApostrophes(std::string_view text);

// The name between double quotes, inner quotes doubled: a table or column name in SQL the engine
// writes itself.
std::string quoteIdentifier(std::string_view name);

// The statement's first word, after blanks and comments ("VACUUM" of "/* x */ vacuum;"), as
// written; empty when it starts with something else.
std::string_view firstKeyword(std::string_view sql);

// The statement without a final ORDER BY clause at its top level, when it ends in one (and no
// LIMIT follows it); otherwise the statement as it is. For counting rows, whose order does not
// matter. Trailing blanks and semicolons are dropped either way.
std::string_view withoutFinalOrderBy(std::string_view sql);

// The statement without the blanks, semicolons and comments after its last token.
std::string_view withoutTrailingEnd(std::string_view sql);

// Hands each statement of a script to `each`, in order, its comment lines dropped; a trigger's
// body keeps its semicolons. For the program's own schema texts.
void forEachStatement(std::string_view script, const std::function<void(const std::string&)>& each);

// The statement as the inside of another, in parentheses on lines of their own, so that a
// comment at its end cannot swallow the closing one. Give it without its trailing end.
std::string asSubquery(std::string_view sql);

// True when the statement joins SELECTs with UNION, INTERSECT or EXCEPT at its top level.
bool isCompoundSelect(std::string_view sql);

// ASCII case-insensitive equality, as SQL compares names.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace engine
