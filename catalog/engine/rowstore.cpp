#include "rowstore.h"

#include <cstring>

namespace engine {

namespace {
constexpr std::size_t kChunkBytes = 1 << 20;

template <typename T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
}  // namespace

char* RowStore::reserve(std::size_t bytes) {
  if (m_chunks.empty() || m_capacity - m_used < bytes) {
    m_capacity = std::max(kChunkBytes, bytes);
    m_chunks.push_back(std::make_unique<char[]>(m_capacity));
    m_chunkBytes += m_capacity;
    m_used = 0;
  }
  char* p = m_chunks.back().get() + m_used;
  m_used += bytes;
  return p;
}

std::size_t RowStore::encodedSize(const engine::Value& v) {
  if (v.isNull()) return 1;
  if (v.isText()) return 1 + 4 + v.text().size();
  return 1 + 8;
}

char* RowStore::encode(char* out, const engine::Value& v) {
  if (v.isNull()) {
    *out++ = kNull;
  } else if (v.isInteger()) {
    *out++ = kInteger;
    const std::int64_t i = v.integer();
    std::memcpy(out, &i, 8);
    out += 8;
  } else if (v.isReal()) {
    *out++ = kReal;
    const double d = v.real();
    std::memcpy(out, &d, 8);
    out += 8;
  } else {
    *out++ = kText;
    const auto n = static_cast<std::uint32_t>(v.text().size());
    std::memcpy(out, &n, 4);
    std::memcpy(out + 4, v.text().data(), n);
    out += 4 + n;
  }
  return out;
}

void RowStore::append(sqlite3_stmt* stmt) {
  std::size_t bytes = 0;
  for (int c = 0; c < m_columns; ++c) {
    switch (sqlite3_column_type(stmt, c)) {
      case SQLITE_NULL:
        bytes += 1;
        break;
      case SQLITE_INTEGER:
      case SQLITE_FLOAT:
        bytes += 9;
        break;
      default:
        // Text (blobs are kept as their bytes). column_bytes after column_text: UTF-8 length.
        sqlite3_column_text(stmt, c);
        bytes += 5 + static_cast<std::size_t>(sqlite3_column_bytes(stmt, c));
    }
  }
  char* out = reserve(bytes);
  m_rows.push_back(out);
  for (int c = 0; c < m_columns; ++c) {
    switch (sqlite3_column_type(stmt, c)) {
      case SQLITE_NULL:
        *out++ = kNull;
        break;
      case SQLITE_INTEGER: {
        *out++ = kInteger;
        const std::int64_t i = sqlite3_column_int64(stmt, c);
        std::memcpy(out, &i, 8);
        out += 8;
        break;
      }
      case SQLITE_FLOAT: {
        *out++ = kReal;
        const double d = sqlite3_column_double(stmt, c);
        std::memcpy(out, &d, 8);
        out += 8;
        break;
      }
      default: {
        *out++ = kText;
        const auto* text = sqlite3_column_text(stmt, c);
        const auto n = static_cast<std::uint32_t>(sqlite3_column_bytes(stmt, c));
        std::memcpy(out, &n, 4);
        if (n) std::memcpy(out + 4, text, n);
        out += 4 + n;
      }
    }
  }
}

engine::Value RowStore::get(std::int64_t row, int column) const {
  const char* p = m_rows[static_cast<std::size_t>(row)];
  for (int c = 0;; ++c) {
    const auto tag = static_cast<Tag>(*p++);
    std::size_t skip = 0;
    switch (tag) {
      case kNull:
        if (c == column) return {};
        break;
      case kInteger:
        if (c == column) return load<std::int64_t>(p);
        skip = 8;
        break;
      case kReal:
        if (c == column) return load<double>(p);
        skip = 8;
        break;
      case kText: {
        const auto n = load<std::uint32_t>(p);
        if (c == column) return std::string(p + 4, n);
        skip = 4 + n;
        break;
      }
    }
    p += skip;
  }
}

void RowStore::replace(std::int64_t row,
                       const std::vector<std::pair<int, engine::Value>>& changes) {
  std::vector<engine::Value> values(static_cast<std::size_t>(m_columns));
  for (int c = 0; c < m_columns; ++c) values[c] = get(row, c);
  for (const auto& [column, value] : changes) values.at(static_cast<std::size_t>(column)) = value;
  std::size_t bytes = 0;
  for (const auto& v : values) bytes += encodedSize(v);
  char* out = reserve(bytes);
  m_rows[static_cast<std::size_t>(row)] = out;
  for (const auto& v : values) out = encode(out, v);
}

}  // namespace engine
