#include "fileexists.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "utf8.h"

namespace engine {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

PathState stateOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISREG(st.st_mode) ? PathState::RegularFile
                                                                  : PathState::Other;
  return errno == ENOENT || errno == ENOTDIR ? PathState::Absent : PathState::Unknown;
}

// One answer from several candidates: a file found wins, then doubt, then anything there.
PathState better(PathState a, PathState b) {
  const auto rank = [](PathState s) {
    switch (s) {
      case PathState::RegularFile: return 3;
      case PathState::Unknown: return 2;
      case PathState::Other: return 1;
      case PathState::Absent: return 0;
    }
    return 0;
  };
  return rank(a) >= rank(b) ? a : b;
}

struct LookUp {
  StopCheck stop;
  void* context;

  bool stopped() const { return stop && stop(context); }

  // The names in `folder` that read as `storedName` once made valid UTF-8; false when the
  // folder could not be listed whole.
  bool namesStoredAs(const std::string& folder, std::string_view storedName,
                     std::vector<std::string>& names) const {
    DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
    if (!dir) return false;
    std::size_t seen = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if ((++seen & 0x3FF) == 0 && stopped()) {
        ::closedir(dir);
        return false;
      }
      const std::string_view name = entry->d_name;
      if (name.size() > storedName.size() || name.size() * 3 < storedName.size()) continue;
      if (validUtf8(name) == storedName) names.emplace_back(name);
    }
    const bool complete = errno == 0;
    ::closedir(dir);
    return complete;
  }

  // Follows the stored path one part at a time from `resolved` on, trying every real name each
  // part may stand for. Only parts that hold U+FFFD need a listing of their folder.
  // `found` gets the real path of the regular file found.
  PathState below(const std::string& resolved, std::string_view rest,
                  std::string* found = nullptr) const {
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    if (rest.empty()) {
      const PathState state = stateOf(resolved.empty() ? "/" : resolved);
      if (found && state == PathState::RegularFile) *found = resolved;
      return state;
    }
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    const std::string_view after =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    const auto follow = [&](std::string_view name) {
      return below(resolved + "/" + std::string(name), after, found);
    };
    if (part.find(kReplacement) == std::string_view::npos) return follow(part);
    std::vector<std::string> names;
    PathState state = namesStoredAs(resolved, part, names) ? PathState::Absent : PathState::Unknown;
    for (const std::string& name : names) {
      state = better(state, follow(name));
      if (state == PathState::RegularFile) break;
    }
    return state;
  }
};

void fileExistsFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;  // NULL in, NULL out
  const auto* bytes = static_cast<const char*>(sqlite3_value_blob(argv[0]));
  const int size = sqlite3_value_bytes(argv[0]);
  const std::string_view path(bytes ? bytes : "", static_cast<std::size_t>(size));
  const auto* hook = static_cast<const LookUp*>(sqlite3_user_data(ctx));
  try {
    const PathState state = lookUpStoredPath(path, hook->stop, hook->context);
    sqlite3_result_int(ctx, state == PathState::RegularFile ? 1 : 0);
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(ctx);
  } catch (...) {
    sqlite3_result_error(ctx, "file_exists failed", -1);
  }
}

}  // namespace

namespace {

// What is at a stored path, and in `found` the real path of the regular file there.
PathState lookUp(std::string_view path, StopCheck stop, void* context, std::string* found) {
  // A NUL cannot stand in a file name; a relative path would depend on where the program runs.
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos)
    return PathState::Absent;
  std::string whole(path);
  const PathState state = stateOf(whole);
  if (state == PathState::RegularFile) {
    if (found) *found = std::move(whole);
    return state;
  }
  // A name made valid UTF-8 no longer names the file; its folders' listings still can.
  if (path.find(kReplacement) == std::string_view::npos) return state;
  return better(state, LookUp{stop, context}.below(std::string(), path, found));
}

}  // namespace

PathState lookUpStoredPath(std::string_view path, StopCheck stop, void* context) {
  return lookUp(path, stop, context, nullptr);
}

std::optional<std::string> realPathOf(std::string_view path) {
  std::string found;
  if (lookUp(path, nullptr, nullptr, &found) != PathState::RegularFile) return std::nullopt;
  return found;
}

bool fileExists(std::string_view path) {
  return lookUpStoredPath(path) == PathState::RegularFile;
}

int registerFileExists(sqlite3* db, StopCheck stop, void* context) {
  auto* hook = new (std::nothrow) LookUp{stop, context};
  if (hook == nullptr) return SQLITE_NOMEM;
  return sqlite3_create_function_v2(db, "file_exists", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, hook,
                                    fileExistsFunction, nullptr, nullptr,
                                    [](void* p) { delete static_cast<LookUp*>(p); });
}

}  // namespace engine
