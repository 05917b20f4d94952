#include "genrereference.h"

#include <algorithm>

#include "engine/numbers.h"

namespace importer {

bool isGenreReference(std::string_view text) {
  if (text == "RX" || text == "CR") return true;
  return !text.empty() && text.size() <= 3 &&
         std::all_of(text.begin(), text.end(), engine::isAsciiDigit);
}

}  // namespace importer
