#pragma once

#include <string>
#include <utility>

// A 128-byte ID3v1 block: TagBlock().title("Song").genre(17).bytes(). Fields are filled up to
// their width with the fill byte (NUL unless set).
class TagBlock {
 public:
  TagBlock& marker(std::string s) { return set(0, std::move(s)); }
  TagBlock& title(std::string s) { return set(1, std::move(s)); }
  TagBlock& artist(std::string s) { return set(2, std::move(s)); }
  TagBlock& album(std::string s) { return set(3, std::move(s)); }
  TagBlock& year(std::string s) { return set(4, std::move(s)); }
  TagBlock& comment(std::string s) { return set(5, std::move(s)); }
  TagBlock& genre(unsigned char number) { return (m_genre = number, *this); }
  TagBlock& fill(char c) { return (m_fill = c, *this); }

  std::string bytes() const {
    static constexpr std::size_t kWidths[] = {3, 30, 30, 30, 4, 30};
    std::string out;
    for (std::size_t i = 0; i < 6; ++i) {
      std::string field = m_fields[i];
      field.resize(kWidths[i], m_fill);
      out += field;
    }
    return out + static_cast<char>(m_genre);
  }

 private:
  TagBlock& set(std::size_t i, std::string s) { return (m_fields[i] = std::move(s), *this); }

  std::string m_fields[6] = {"TAG"};
  unsigned char m_genre = 255;
  char m_fill = '\0';
};
