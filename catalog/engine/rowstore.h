#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "value.h"

namespace engine {

// Rows of a record set, packed one after another into large chunks. Each field is a kind byte
// and then: a number as a variable-length integer (or 8 bytes for a real), a text as its length
// and bytes, or the index of a text kept once for its column. A catalogue repeats itself a
// lot (artists, albums, genres, the folders of its paths), so a column keeps the texts it sees
// often once, and a path keeps its folder once; a million rows fit in well under 200 MB.
class RowStore {
 public:
  explicit RowStore(int columns);
  ~RowStore();
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  std::int64_t size() const { return static_cast<std::int64_t>(m_rows.size()); }
  // Memory held: the chunks, the row index and the kept texts.
  std::size_t bytes() const {
    return m_chunkBytes + m_rows.capacity() * sizeof(const char*) + m_sharedBytes;
  }
  // Appends the statement's current row.
  void append(sqlite3_stmt* stmt);
  // A text comes as at most `longestText` of its bytes from byte `from` on (not minding
  // characters): a value that is only shown is never copied whole.
  engine::Value get(std::int64_t row, int column, std::size_t longestText = std::string::npos,
                    std::size_t from = 0) const;
  // The length in bytes of a text field; 0 for a number or null.
  std::size_t textBytes(std::int64_t row, int column) const;
  // Re-packs one row with some of its fields replaced; the old bytes stay unused.
  void replace(std::int64_t row, const std::vector<std::pair<int, engine::Value>>& changes);

 private:
  // Texts one column has seen, each kept once, found by their bytes.
  struct SharedTexts {
    std::deque<std::string> texts;  // stable addresses for the views below
    std::unordered_map<std::string_view, std::uint32_t> index;
    std::int64_t tries = 0;
    std::int64_t hits = 0;
    bool open = true;  // still taking new texts
  };
  struct Field {
    int kind;
    std::int64_t integer;
    double real;
    std::string_view text;
  };

  // A field as it is kept: a text is its head (the whole text, or a path's folder) and then its
  // tail (a path's name).
  struct Located {
    int kind;
    std::int64_t integer;
    double real;
    std::string_view head;
    std::string_view tail;
  };
  Located locate(std::int64_t row, int column) const;

  char* reserve(std::size_t bytes);
  std::size_t encodedSize(int column, Field& field);
  char* encode(char* out, const Field& field) const;
  // The index of `text` among the column's kept texts, keeping it when it may; -1 when not kept.
  std::int64_t share(SharedTexts& shared, std::string_view text);
  void packRow(std::vector<Field>& fields);

  int m_columns;
  std::vector<std::unique_ptr<char[]>> m_chunks;
  std::size_t m_used = 0;        // bytes used in the last chunk
  std::size_t m_capacity = 0;    // size of the last chunk
  std::size_t m_chunkBytes = 0;  // size of all chunks
  std::size_t m_sharedBytes = 0;
  std::vector<const char*> m_rows;
  std::vector<SharedTexts> m_values;   // whole texts, per column
  std::vector<SharedTexts> m_folders;  // the folder part of paths, per column
  std::vector<Field> m_scratch;        // one row's fields while it is packed
};

}  // namespace engine
