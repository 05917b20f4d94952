#include "app/gridextent.h"

#include <limits>

#include "catalog/statements.h"

namespace twips {

std::optional<std::int32_t> gridExtent(float room) {
  const double whole = catalog::roundHalfEven(static_cast<double>(room));
  if (!(whole > kPerPixel && whole <= std::numeric_limits<std::int32_t>::max())) return std::nullopt;
  return static_cast<std::int32_t>(whole);
}

}  // namespace twips
