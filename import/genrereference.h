#pragma once

#include <string_view>

namespace importer {

// Whether `text` is an ID3 genre reference without its parentheses: a genre number of one to
// three digits, or "RX" (remix) or "CR" (cover). Such references stand in parentheses before a
// genre text ("(17)Rock"), and alone as a value of an ID3v2 genre frame, which TagLib hands over
// without the parentheses ("17").
bool isGenreReference(std::string_view text);

}  // namespace importer
