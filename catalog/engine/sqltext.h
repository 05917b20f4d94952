#pragma once

#include <string>
#include <string_view>

namespace engine {

// The text with every apostrophe doubled, ready to stand between single quotes in SQL. This is
// the only way user or file text may be pasted into a statement.
std::string doubleApostrophes(std::string_view text);

// The name between double quotes, inner quotes doubled: a table or column name in SQL the engine
// writes itself.
std::string quoteIdentifier(std::string_view name);

// ASCII case-insensitive equality, as SQL compares names.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace engine
