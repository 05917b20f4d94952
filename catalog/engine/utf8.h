#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace engine {

// Length of the valid UTF-8 sequence that starts at text[i], or 0 when none does (a stray
// continuation byte, an overlong form, a surrogate, a value past U+10FFFF, a cut sequence).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i);

// Whether every byte of the text belongs to a valid UTF-8 sequence.
bool isValidUtf8(std::string_view text);

// Appends the UTF-8 bytes of the code point `c`.
void appendUtf8(std::string& out, char32_t c);

// Decodes UTF-8; a byte that does not start a valid sequence becomes one U+FFFD.
std::u32string decodeUtf8(std::string_view text);

// The text with every byte that starts no valid sequence replaced by U+FFFD, so that what is
// stored as text is always valid UTF-8 (a file name's raw bytes, say).
std::string validUtf8(std::string_view text);
// The same into `out`, whose storage is reused.
void assignValidUtf8(std::string& out, std::string_view text);

}  // namespace engine
