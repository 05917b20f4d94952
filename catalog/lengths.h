#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace catalog {

// A length of whole seconds as people read it: "0:08", "3:07", and from an hour on "1:02:03";
// hours are not capped ("60123:41:07"). A negative length keeps its sign.
std::string lengthText(std::int64_t seconds);

// A typed length in whole seconds: "m:ss", "h:mm:ss" or plain seconds ("187"), blanks around it
// ignored. Minutes after hours and seconds after minutes are two digits each, below 60; the
// first part has at most 15 digits. nullopt for anything else.
std::optional<std::int64_t> parseLength(std::string_view text);

}  // namespace catalog
