#include "readmp3info.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "engine/numbers.h"
#include "genrereference.h"

namespace importer {

namespace {

// Only U+0020 counts as a blank here: tabs, NULs and other white space stay part of the text.
std::string_view trimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

int digitIn(char c, int base) {
  int d = -1;
  if (engine::isAsciiDigit(c)) d = c - '0';
  else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
  return d < base ? d : -1;
}

// "&H1F", "&o17": an unsigned integer in base 16 or 8, read as far as the digits go.
double prefixedInteger(std::string_view digits, int base) {
  double value = 0;
  for (char c : digits) {
    const int d = digitIn(c, base);
    if (d < 0) break;
    value = value * base + d;
  }
  return std::isfinite(value) ? value : 0;
}

// The track rule: the part before a "/" total, as the text form of its numeric value.
std::string trackText(std::string_view raw) {
  std::string_view track = trimBlanks(raw);
  if (const auto slash = track.find('/'); slash != std::string_view::npos)
    track = trimBlanks(track.substr(0, slash));
  return numberText(numericValue(track));
}

void clear(SongInfo& info) {
  info.Title.clear();
  info.Album.clear();
  info.Artist.clear();
  info.Genre.clear();
  info.Track.clear();
  info.Bitrate = 0;
  info.Duration = 0;
  info.VBR = false;
}

void defaultIfEmpty(std::string& text) {
  if (text.empty()) text = "Unknown";
}

}  // namespace

double numericValue(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n') s.push_back(c);

  if (s.size() >= 2 && s[0] == '&') {
    const char kind = s[1];
    if (kind == 'H' || kind == 'h') return prefixedInteger(std::string_view(s).substr(2), 16);
    if (kind == 'O' || kind == 'o') return prefixedInteger(std::string_view(s).substr(2), 8);
    return 0;
  }

  const engine::LeadingNumber number = engine::scanLeadingNumber(s, "EeDd");
  return number.outOfRange ? 0 : number.value;  // beyond a double: 0
}

std::string numberText(double value) {
  if (!std::isfinite(value)) return "0";
  char buffer[512];  // the smallest doubles take some 330 characters in plain form
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value));
    return std::string(buffer, result.ptr);
  }
  // Rounded to 15 significant digits, the decimal exponent says whether the integer part fits.
  const auto rounded =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 14);
  int exponent = 0;
  const char* e = std::find(buffer, rounded.ptr, 'e');
  std::from_chars(e + 1 + (e[1] == '+'), rounded.ptr, exponent);
  if (exponent >= 15) {
    // Too large for 15 digits: exponent form, trailing zeros dropped ("1.5E+20").
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    for (char& c : text)
      if (c == 'e') c = 'E';
    return text;
  }
  // Plain digits to the 15th significant one, trailing zeros dropped ("0.00000015").
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::fixed, 14 - exponent);
  std::string text(buffer, result.ptr);
  if (text.find('.') != std::string::npos) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

std::string stripGenreReferences(std::string_view genre) {
  std::string_view text = trimBlanks(genre);
  std::size_t i = 0;
  while (i < text.size() && text[i] == '(') {
    const auto close = text.find(')', i + 1);
    if (close == std::string_view::npos || !isGenreReference(text.substr(i + 1, close - i - 1)))
      break;
    i = close + 1;
    while (i < text.size() && text[i] == ' ') ++i;
  }
  return std::string(trimBlanks(text.substr(i)));
}

namespace {

template <typename Read>
void readSongInfo(SongInfo& info, std::unique_ptr<Mp3Info>& objMp3Info,
                  const Mp3InfoFactory& factory, const Read& read,
                  std::optional<AudioIdentity>* identity = nullptr) {
  if (identity) identity->reset();
  try {
    if (!objMp3Info) {
      objMp3Info = factory();
      if (!objMp3Info) throw std::runtime_error("the MP3 metadata component was not created");
    }
    clear(info);
    Mp3Info& component = *objMp3Info;
    if (read(component)) {
      info.Album = trimBlanks(component.album());
      info.Artist = trimBlanks(component.artist());
      info.Title = trimBlanks(component.title());
      info.Genre = stripGenreReferences(component.genre());
      info.Track = trackText(component.track());
      info.Bitrate = component.bitrate();
      info.Duration = component.duration();
      info.VBR = component.vbr();
      if (identity) *identity = component.audioIdentity();
    }
    defaultIfEmpty(info.Album);
    defaultIfEmpty(info.Artist);
    defaultIfEmpty(info.Title);
    defaultIfEmpty(info.Genre);
    if (numericValue(info.Track) == 0) info.Track.clear();
  } catch (...) {
    // Whatever failed, the file still gets a row; nothing half-read survives.
    info.Title = "Unknown";
    info.Album = "Unknown";
    info.Artist = "Unknown";
    info.Genre = "Unknown";
    info.Track.clear();
    info.Bitrate = -1;
    info.Duration = 0;
    info.VBR = false;
    if (identity) identity->reset();
  }
}

}  // namespace

void ReadMp3Info(const std::string& path, SongInfo& info, std::unique_ptr<Mp3Info>& objMp3Info,
                 const Mp3InfoFactory& factory) {
  readSongInfo(info, objMp3Info, factory, [&](Mp3Info& component) { return component.read(path); });
}

void ReadMp3Info(int folderFd, const std::string& name, const std::string& path, OpenFile open,
                 SongInfo& info, std::unique_ptr<Mp3Info>& objMp3Info,
                 const Mp3InfoFactory& factory, std::optional<AudioIdentity>* identity) {
  readSongInfo(
      info, objMp3Info, factory,
      [&](Mp3Info& component) { return component.readAt(folderFd, name, path, open); },
      identity);
}

}  // namespace importer
