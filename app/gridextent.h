#pragma once

#include <cstdint>
#include <optional>

#include "ui/twips.h"

// The main window's rule for fitting its grid, in twips.
namespace twips {

// The grid's new extent along one axis from the room the window leaves it (in twips, single
// precision): rounded to a whole number with halves to the even neighbour, and nullopt when
// that is 15 or less (or beyond 32 bits), so that a tiny or minimized window changes nothing.
std::optional<std::int32_t> gridExtent(float room);

}  // namespace twips
