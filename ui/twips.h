#pragma once

#include <cstdint>

// Window measures in twips: 1/1440 inch, 15 to a pixel at 96 dots per inch. Both windows lay
// their controls out in twips and place them through this one conversion.
namespace twips {

inline constexpr int kPerPixel = 15;

// Rounds to the nearest pixel. Measures that are whole pixels (multiples of 15) convert
// exactly, as every place of the tag reader's controls does.
constexpr int toPixels(std::int64_t twips) {
  return static_cast<int>((twips + kPerPixel / 2) / kPerPixel);
}

}  // namespace twips
