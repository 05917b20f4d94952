#include "fileexists.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "utf8.h"

namespace engine {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The names in `folder` that read as `storedName` once made valid UTF-8.
std::vector<std::string> namesStoredAs(const std::string& folder, std::string_view storedName) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() > storedName.size() * 3 || name.size() * 3 < storedName.size()) continue;
    if (validUtf8(name) == storedName) names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

// Follows the stored path one part at a time from `resolved` on, trying every real name each
// part may stand for. Only parts that hold U+FFFD need a listing of their folder.
bool existsBelow(const std::string& resolved, std::string_view rest) {
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  if (rest.empty()) return isRegularFile(resolved);
  const std::size_t slash = rest.find('/');
  const std::string_view part = rest.substr(0, slash);
  const std::string_view after = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  const bool last = after.find_first_not_of('/') == std::string_view::npos;
  const auto tryName = [&](std::string_view name) {
    const std::string next = resolved + "/" + std::string(name);
    if (last) return isRegularFile(next) || existsBelow(next, after);
    return isFolder(next) && existsBelow(next, after);
  };
  if (part.find(kReplacement) == std::string_view::npos) return tryName(part);
  for (const std::string& name : namesStoredAs(resolved, part))
    if (tryName(name)) return true;
  return false;
}

void fileExistsFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;  // NULL in, NULL out
  const auto* bytes = static_cast<const char*>(sqlite3_value_blob(argv[0]));
  const int size = sqlite3_value_bytes(argv[0]);
  const std::string_view path(bytes ? bytes : "", static_cast<std::size_t>(size));
  try {
    sqlite3_result_int(ctx, fileExists(path) ? 1 : 0);
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(ctx);
  }
}

}  // namespace

bool fileExists(std::string_view path) {
  // A NUL cannot stand in a file name; nor can an empty path name anything.
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  const std::string whole(path);
  if (isRegularFile(whole)) return true;
  // A name made valid UTF-8 no longer names the file; its folders' listings still can.
  if (path.find(kReplacement) == std::string_view::npos || path.front() != '/') return false;
  return existsBelow(std::string(), path);
}

int registerFileExists(sqlite3* db) {
  return sqlite3_create_function_v2(db, "file_exists", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                    nullptr, fileExistsFunction, nullptr, nullptr, nullptr);
}

}  // namespace engine
