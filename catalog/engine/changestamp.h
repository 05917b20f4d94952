#pragma once

#include <cstdint>

namespace engine {

// What the catalogue looked like to one connection: two equal stamps mean that no row and no
// table changed in between, through that connection or any other.
struct ChangeStamp {
  std::int64_t dataVersion = -1;    // bumped by commits of other connections
  std::int64_t ownChanges = -1;     // rows the connection itself changed
  std::int64_t schemaVersion = -1;  // bumped by every change of a table, index or view
  bool operator==(const ChangeStamp&) const = default;
};

}  // namespace engine
