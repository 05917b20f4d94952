#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace engine {

// One field value as the engine hands it out: null, a 64-bit integer, a double or UTF-8 text.
class Value {
 public:
  Value() = default;
  Value(std::nullptr_t) {}
  Value(std::int64_t v) : m_v(v) {}
  Value(int v) : m_v(std::int64_t{v}) {}
  Value(double v) : m_v(v) {}
  Value(std::string v) : m_v(std::move(v)) {}
  Value(std::string_view v) : m_v(std::string(v)) {}
  Value(const char* v) : m_v(std::string(v)) {}

  bool isNull() const { return std::holds_alternative<std::monostate>(m_v); }
  bool isInteger() const { return std::holds_alternative<std::int64_t>(m_v); }
  bool isReal() const { return std::holds_alternative<double>(m_v); }
  bool isText() const { return std::holds_alternative<std::string>(m_v); }

  // Only valid for the matching kind.
  std::int64_t integer() const { return std::get<std::int64_t>(m_v); }
  double real() const { return std::get<double>(m_v); }
  const std::string& text() const { return std::get<std::string>(m_v); }

  // The value as text, the way SQLite would render it; null gives "".
  std::string toText() const;

  bool operator==(const Value&) const = default;

 private:
  std::variant<std::monostate, std::int64_t, double, std::string> m_v;
};

}  // namespace engine
