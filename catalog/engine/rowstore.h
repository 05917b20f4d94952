#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "value.h"

namespace engine {

// Rows of a record set, packed one after another into large chunks: a tag byte per field, then
// 8 bytes for a number or a 4-byte length and the bytes for text. A 100,000-row catalogue takes
// about a fifth of what one heap object per value would.
class RowStore {
 public:
  explicit RowStore(int columns) : m_columns(columns) {}

  std::int64_t size() const { return static_cast<std::int64_t>(m_rows.size()); }
  // Memory held: the chunks and the row index.
  std::size_t bytes() const { return m_chunkBytes + m_rows.capacity() * sizeof(const char*); }
  // Appends the statement's current row.
  void append(sqlite3_stmt* stmt);
  engine::Value get(std::int64_t row, int column) const;
  // Re-packs one row with some of its fields replaced; the old bytes stay unused.
  void replace(std::int64_t row, const std::vector<std::pair<int, engine::Value>>& changes);

 private:
  enum Tag : unsigned char { kNull, kInteger, kReal, kText };
  char* reserve(std::size_t bytes);
  static std::size_t encodedSize(const engine::Value& v);
  static char* encode(char* out, const engine::Value& v);

  int m_columns;
  std::vector<std::unique_ptr<char[]>> m_chunks;
  std::size_t m_used = 0;      // bytes used in the last chunk
  std::size_t m_capacity = 0;  // size of the last chunk
  std::size_t m_chunkBytes = 0;  // size of all chunks
  std::vector<const char*> m_rows;
};

}  // namespace engine
