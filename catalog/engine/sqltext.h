#pragma once

#include <string>
#include <string_view>

namespace engine {

// The text with every apostrophe doubled, ready to stand between single quotes in SQL. This is
// the only way user or file text may be pasted into a statement.
std::string doubleApostrophes(std::string_view text);

}  // namespace engine
