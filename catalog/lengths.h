#pragma once

#include <cstdint>
#include <string>

namespace catalog {

// A length of whole seconds as people read it: "0:08", "3:07", and from an hour on "1:02:03";
// hours are not capped ("60123:41:07"). A negative length keeps its sign.
std::string lengthText(std::int64_t seconds);

}  // namespace catalog
