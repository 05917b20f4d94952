#pragma once

#include <string>
#include <vector>

// Catalogue files for tests, made and read with SQLite directly, outside the engine under test.
namespace testcatalogue {

// Makes a catalogue from the program's schema at `path`, then runs `extraSql` on it.
// Throws std::runtime_error.
void make(const std::string& path, const std::string& extraSql = "");

// Makes a SQLite file at `path` holding only what `sql` creates. Throws std::runtime_error.
void makePlain(const std::string& path, const std::string& sql);

// Runs SQL on the file. Throws std::runtime_error.
void run(const std::string& path, const std::string& sql);

// The rows of a query, each field as text ("NULL" for null). Throws std::runtime_error.
std::vector<std::vector<std::string>> rows(const std::string& path, const std::string& sql);

// The first field of the first row as text.
std::string scalar(const std::string& path, const std::string& sql);

// "INSERT ... VALUES (...)" for songs with the given titles and artists.
void addSongs(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& titlesAndArtists);

}  // namespace testcatalogue
