#pragma once

#include <cstdint>
#include <optional>

// Window measures in twips: 1/1440 inch, 15 to a pixel at 96 dots per inch.
namespace twips {

inline constexpr int kPerPixel = 15;

constexpr int toPixels(std::int64_t twips) {
  return static_cast<int>((twips + kPerPixel / 2) / kPerPixel);
}

// The grid's new extent along one axis from the room the window leaves it (in twips, single
// precision): rounded to a whole number with halves to the even neighbour, and nullopt when
// that is 15 or less (or beyond 32 bits), so that a tiny or minimized window changes nothing.
std::optional<std::int32_t> gridExtent(float room);

}  // namespace twips
