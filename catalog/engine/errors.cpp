#include "errors.h"

namespace engine {

EngineError::EngineError(int number, std::string description)
    : std::runtime_error("Error " + std::to_string(number) + ": " + description),
      m_number(number),
      m_description(std::move(description)) {}

}  // namespace engine
