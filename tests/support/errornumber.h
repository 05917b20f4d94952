#pragma once

#include <string>

#include "engine/errors.h"

namespace testsupport {

// The number of the EngineError that `action` throws, 0 when it throws none; `description`
// gets its text.
template <typename F>
int errorNumber(F&& action, std::string* description = nullptr) {
  try {
    action();
  } catch (const engine::EngineError& e) {
    if (description) *description = e.description();
    return e.number();
  }
  return 0;
}

}  // namespace testsupport
