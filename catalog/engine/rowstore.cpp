#include "rowstore.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace {

constexpr std::size_t kChunkBytes = 1 << 20;

enum Kind : unsigned char { kNull, kInteger, kReal, kText, kShared, kInFolder };

// Texts longer than this are never looked up: they seldom repeat and cost the most to compare.
constexpr std::size_t kLongestShared = 256;
// A column keeps at most this many texts, and stops taking new ones when fewer than half of
// its first texts were seen before; it stops looking when fewer than one in ten are.
constexpr std::size_t kMostShared = 1 << 16;
constexpr std::int64_t kTrial = 4096;
// A folder part shorter than this is not worth a lookup.
constexpr std::size_t kShortestFolder = 8;

std::size_t varintSize(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

char* putVarint(char* out, std::uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<char>(v);
  return out;
}

std::uint64_t getVarint(const char*& in) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*in++);
    v |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return v;
  }
}

std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

std::int64_t unzigzag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

}  // namespace

RowStore::RowStore(int columns)
    : m_columns(columns),
      m_values(static_cast<std::size_t>(columns)),
      m_folders(static_cast<std::size_t>(columns)),
      m_scratch(static_cast<std::size_t>(columns)) {}

RowStore::~RowStore() = default;

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

std::int64_t RowStore::share(SharedTexts& shared, std::string_view text) {
  if (!shared.open && shared.hits * 10 < shared.tries) return -1;  // a column of unique texts
  ++shared.tries;
  if (auto it = shared.index.find(text); it != shared.index.end()) {
    ++shared.hits;
    return it->second;
  }
  if (shared.open && shared.tries >= kTrial && shared.hits * 2 < shared.tries) shared.open = false;
  if (!shared.open || shared.texts.size() >= kMostShared) return -1;
  const std::string& kept = shared.texts.emplace_back(text);
  const auto index = static_cast<std::uint32_t>(shared.texts.size() - 1);
  shared.index.emplace(kept, index);
  m_sharedBytes += kept.capacity() + sizeof(std::string) + 48;  // the text, its slot, its node
  return index;
}

// Chooses how a field is kept and returns how many bytes it takes.
std::size_t RowStore::encodedSize(int column, Field& field) {
  switch (field.kind) {
    case kNull:
      return 1;
    case kInteger:
      return 1 + varintSize(zigzag(field.integer));
    case kReal:
      return 1 + 8;
    default:
      break;
  }
  const std::string_view text = field.text;
  if (text.size() <= kLongestShared) {
    if (const std::int64_t index = share(m_values[column], text); index >= 0) {
      field.kind = kShared;
      field.integer = index;
      return 1 + varintSize(static_cast<std::uint64_t>(index));
    }
  }
  const auto slash = text.rfind('/');
  if (slash != std::string_view::npos && slash + 1 >= kShortestFolder &&
      slash + 1 <= kLongestShared) {
    if (const std::int64_t index = share(m_folders[column], text.substr(0, slash + 1));
        index >= 0) {
      field.kind = kInFolder;
      field.integer = index;
      field.text = text.substr(slash + 1);
      return 1 + varintSize(static_cast<std::uint64_t>(index)) + varintSize(field.text.size()) +
             field.text.size();
    }
  }
  field.kind = kText;
  return 1 + varintSize(text.size()) + text.size();
}

char* RowStore::encode(char* out, const Field& field) const {
  *out++ = static_cast<char>(field.kind);
  switch (field.kind) {
    case kNull:
      break;
    case kInteger:
      out = putVarint(out, zigzag(field.integer));
      break;
    case kReal:
      std::memcpy(out, &field.real, 8);
      out += 8;
      break;
    case kShared:
      out = putVarint(out, static_cast<std::uint64_t>(field.integer));
      break;
    case kInFolder:
      out = putVarint(out, static_cast<std::uint64_t>(field.integer));
      [[fallthrough]];
    default:  // kText, and the rest of a path
      out = putVarint(out, field.text.size());
      if (!field.text.empty()) std::memcpy(out, field.text.data(), field.text.size());
      out += field.text.size();
  }
  return out;
}

void RowStore::packRow(std::vector<Field>& fields) {
  std::size_t bytes = 0;
  for (int c = 0; c < m_columns; ++c) bytes += encodedSize(c, fields[c]);
  char* out = reserve(bytes);
  m_rows.push_back(out);
  for (const Field& field : fields) out = encode(out, field);
}

void RowStore::append(sqlite3_stmt* stmt) {
  for (int c = 0; c < m_columns; ++c) {
    Field& field = m_scratch[c];
    switch (sqlite3_column_type(stmt, c)) {
      case SQLITE_NULL:
        field.kind = kNull;
        break;
      case SQLITE_INTEGER:
        field.kind = kInteger;
        field.integer = sqlite3_column_int64(stmt, c);
        break;
      case SQLITE_FLOAT:
        field.kind = kReal;
        field.real = sqlite3_column_double(stmt, c);
        break;
      default: {
        // Text (blobs are kept as their bytes). column_bytes after column_text: UTF-8 length.
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        const auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt, c));
        field.kind = kText;
        field.text = std::string_view(text ? text : "", text ? n : 0);
      }
    }
  }
  packRow(m_scratch);
}

RowStore::Located RowStore::locate(std::int64_t row, int column) const {
  const char* p = m_rows[static_cast<std::size_t>(row)];
  for (int c = 0;; ++c) {
    const auto kind = static_cast<Kind>(*p++);
    Located field{kind, 0, 0, {}, {}};
    switch (kind) {
      case kNull:
        break;
      case kInteger:
        field.integer = unzigzag(getVarint(p));
        break;
      case kReal:
        std::memcpy(&field.real, p, 8);
        p += 8;
        break;
      case kShared: {
        const auto index = getVarint(p);
        if (c == column) field.head = m_values[c].texts[index];
        break;
      }
      case kInFolder: {
        const auto index = getVarint(p);
        if (c == column) field.head = m_folders[c].texts[index];
        const auto n = getVarint(p);
        field.tail = std::string_view(p, n);
        p += n;
        break;
      }
      case kText: {
        const auto n = getVarint(p);
        field.head = std::string_view(p, n);
        p += n;
        break;
      }
    }
    if (c == column) return field;
  }
}

engine::Value RowStore::get(std::int64_t row, int column, std::size_t longestText,
                            std::size_t from) const {
  const Located field = locate(row, column);
  switch (field.kind) {
    case kNull:
      return {};
    case kInteger:
      return field.integer;
    case kReal:
      return field.real;
    default:
      break;
  }
  // The text is head then tail; the part asked for may lie in either or span both.
  const std::size_t size = field.head.size() + field.tail.size();
  from = std::min(from, size);
  const std::size_t end = size - from < longestText ? size : from + longestText;
  if (end <= field.head.size()) return field.head.substr(from, end - from);
  if (from >= field.head.size())
    return field.tail.substr(from - field.head.size(), end - from);
  std::string text;
  text.reserve(end - from);
  text.append(field.head.substr(from));
  text.append(field.tail.substr(0, end - field.head.size()));
  return text;
}

std::size_t RowStore::textBytes(std::int64_t row, int column) const {
  const Located field = locate(row, column);
  return field.head.size() + field.tail.size();
}

void RowStore::replace(std::int64_t row,
                       const std::vector<std::pair<int, engine::Value>>& changes) {
  std::vector<engine::Value> values(static_cast<std::size_t>(m_columns));
  for (int c = 0; c < m_columns; ++c) values[c] = get(row, c);
  for (const auto& [column, value] : changes) values.at(static_cast<std::size_t>(column)) = value;
  std::vector<Field> fields(values.size());
  for (std::size_t c = 0; c < values.size(); ++c) {
    const engine::Value& v = values[c];
    Field& field = fields[c];
    if (v.isNull()) {
      field.kind = kNull;
    } else if (v.isInteger()) {
      field.kind = kInteger;
      field.integer = v.integer();
    } else if (v.isReal()) {
      field.kind = kReal;
      field.real = v.real();
    } else {
      field.kind = kText;
      field.text = v.text();
    }
  }
  packRow(fields);
  // packRow appended the row; it takes the old one's place instead.
  m_rows[static_cast<std::size_t>(row)] = m_rows.back();
  m_rows.pop_back();
}

}  // namespace engine
