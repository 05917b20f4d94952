#pragma once

#include <cstddef>
#include <string_view>

namespace engine {

// The largest text or blob a statement may make or read, and the largest row record: far above
// any tag or path, and small enough to build in well under a second.
inline constexpr int kLongestValue = 64 << 20;

// The longest value a file's tag gives a row of the catalogue: a sixteenth of the limit, so that
// a row of such values, and each copy of it, fits in a record (see importer::kLongestFileValue).
inline constexpr std::size_t kLongestFileValue = static_cast<std::size_t>(kLongestValue) / 16;

// The longest prefix of `value` that is at most kLongestFileValue bytes and ends on a whole
// character of valid UTF-8; `value` itself when it fits. A character takes at most four bytes,
// so the one the cap splits begins at most three bytes before it; text that is not valid UTF-8
// is cut there all the same. SQL calls it as storable_part() (registered on every connection),
// to measure what a file gives now against a value stored before there was a cut.
inline std::string_view storablePart(std::string_view value) {
  if (value.size() <= kLongestFileValue) return value;
  const auto continuesCharacter = [](char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
  };
  std::size_t end = kLongestFileValue;
  while (end > kLongestFileValue - 3 && continuesCharacter(value[end])) --end;
  return value.substr(0, end);
}

}  // namespace engine
