// identity_check FOLDER [--retag [FILES]]
//
// Reads every MP3 file below FOLDER with the program's TagLib component and counts the audio
// identities it finds: how many files have one, how many different ones there are, and how many
// identities more than one file shares. A rescan takes a new file whose identity is that of a
// row whose file is gone for that file moved, so in a folder of different songs (a corpus made
// with bench/make-corpus --distinct) no two files may share one.
//
// With --retag it also copies FILES of them (300 unless given, spread over the folder) to a
// temporary folder, changes their tags there with python3-mutagen, and reads them again: the
// identity is the audio's, so none may change. Each copy gets one of these changes, in turn:
//   title        a new ID3v2 title, the tag's padding dropped, so the audio moves up (down
//                where there was no ID3v2 tag: one is added)
//   padding      a new ID3v2 title and 8 KB of padding, so the audio moves down
//   id3v1        an ID3v1 tag added (and a new ID3v2 title), or removed where there was one
//   ape          an APEv2 tag added at the end (before the ID3v1 tag where there is one)
//   id3v2        the ID3v2 tag removed, or one added where there was none
//   all          a new title in an ID3v2.3 tag with padding, ID3v1 added or removed, APEv2 added
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "benchcatalogue.h"
#include "import/audioidentity.h"
#include "import/mp3info.h"

namespace {

namespace fs = std::filesystem;

// Changes the tags of the files named after the script, each in the way its place in the list
// says (its index modulo the number of ways, in the order listed at the top of this file).
constexpr const char* kRetagScript = R"(import sys
from mutagen import apev2, id3

def has_v1(path):
    with open(path, "rb") as f:
        f.seek(-128, 2)
        return f.read(3) == b"TAG"

def has_v2(path):
    with open(path, "rb") as f:
        return f.read(3) == b"ID3"

def v2(path):
    return id3.ID3(path, load_v1=False) if has_v2(path) else None

def retitle(path, index, padding, version=4, v1=1):
    tag = v2(path) or id3.ID3()
    tag.delall("TIT2")
    tag.add(id3.TIT2(encoding=id3.Encoding.UTF8 if version == 4 else id3.Encoding.UTF16,
                     text=["Retagged %d" % index]))
    tag.save(path, v1=v1, v2_version=version, padding=lambda info: padding)

def ape(path, index):
    tag = apev2.APEv2()
    tag["Title"] = "Retagged %d" % index
    tag["Comment"] = "x" * (index % 300)
    tag.save(path)

for index, path in enumerate(sys.argv[1:]):
    way = index % 6
    if way == 0:
        retitle(path, index, 0)
    elif way == 1:
        retitle(path, index, 8192)
    elif way == 2:
        if has_v1(path):
            id3.delete(path, delete_v1=True, delete_v2=False)
        else:
            retitle(path, index, 0, v1=2)
    elif way == 3:
        ape(path, index)
    elif way == 4:
        if has_v2(path):
            id3.delete(path, delete_v1=False, delete_v2=True)
        else:
            retitle(path, index, 1024)
    else:
        retitle(path, index, 4096, version=3, v1=0 if has_v1(path) else 2)
        ape(path, index)
)";

constexpr const char* kWays[] = {"title", "padding", "id3v1", "ape", "id3v2", "all"};
constexpr int kWayCount = 6;

struct IdentityLess {
  bool operator()(const importer::AudioIdentity& a, const importer::AudioIdentity& b) const {
    return a.hash != b.hash ? a.hash < b.hash : a.bytes < b.bytes;
  }
};

struct Reading {
  bool readable = false;
  bool measured = false;  // a bit rate and a duration
  std::optional<importer::AudioIdentity> identity;
};

Reading readFile(importer::Mp3Info& info, const std::string& path) {
  Reading reading;
  reading.readable = info.read(path);
  if (!reading.readable) return reading;
  reading.measured = info.bitrate() > 0 && info.duration() > 0;
  reading.identity = info.audioIdentity();
  return reading;
}

bool isMp3(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".mp3";
}

std::vector<std::string> mp3FilesBelow(const std::string& folder) {
  std::vector<std::string> paths;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error) && isMp3(it->path())) paths.push_back(it->path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Copies `count` of the files, spread over the list, retags the copies and reads them again.
// Returns false when the copies could not be made or retagged.
bool retag(const std::vector<std::string>& paths, const std::vector<Reading>& readings,
           std::size_t count, importer::Mp3Info& info) {
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < paths.size() && chosen.size() < count; ++i) {
    // Every file whose audio was found, evenly spaced.
    const std::size_t index = i * paths.size() / std::min(count, paths.size());
    if (index >= paths.size()) break;
    if (readings[index].identity) chosen.push_back(index);
  }
  char pattern[] = "/tmp/identity_check.XXXXXX";
  if (!::mkdtemp(pattern)) {
    std::perror("mkdtemp");
    return false;
  }
  const fs::path work = pattern;
  std::vector<std::string> copies;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const fs::path copy = work / (std::to_string(i) + ".mp3");
    std::error_code error;
    fs::copy_file(paths[chosen[i]], copy, error);
    if (error) {
      std::fprintf(stderr, "cannot copy %s: %s\n", paths[chosen[i]].c_str(),
                   error.message().c_str());
      fs::remove_all(work);
      return false;
    }
    copies.push_back(copy.string());
  }
  const fs::path script = work / "retag.py";
  std::ofstream(script) << kRetagScript;
  std::string command = "/usr/bin/python3 " + bench::shellQuoted(script.string());
  for (const std::string& copy : copies) command += " " + bench::shellQuoted(copy);
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "retagging failed (is python3-mutagen installed?)\n");
    fs::remove_all(work);
    return false;
  }

  int tried[kWayCount] = {}, changedOnDisk[kWayCount] = {}, changed[kWayCount] = {},
      lost[kWayCount] = {};
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const int way = static_cast<int>(i % kWayCount);
    ++tried[way];
    std::error_code error;
    if (fs::file_size(copies[i], error) != fs::file_size(paths[chosen[i]], error)) {
      ++changedOnDisk[way];
    } else {
      std::ifstream a(copies[i], std::ios::binary), b(paths[chosen[i]], std::ios::binary);
      if (!std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b)))
        ++changedOnDisk[way];
    }
    const Reading again = readFile(info, copies[i]);
    if (!again.identity) ++lost[way];
    else if (*again.identity != *readings[chosen[i]].identity) ++changed[way];
  }
  fs::remove_all(work);

  int allTried = 0, allChanged = 0, allLost = 0;
  std::printf("retagged copies of %zu files:\n", copies.size());
  for (int way = 0; way < kWayCount; ++way) {
    std::printf("  %-8s %4d files, %4d changed on disk, identity changed %d, lost %d\n",
                kWays[way], tried[way], changedOnDisk[way], changed[way], lost[way]);
    allTried += tried[way];
    allChanged += changed[way];
    allLost += lost[way];
  }
  std::printf("identities changed by retagging: %d of %d (lost: %d)\n", allChanged, allTried,
              allLost);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<std::size_t> retagCount;
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (*it != "--retag") continue;
    retagCount = 300;
    auto next = std::next(it);
    if (next != args.end() && !next->empty() &&
        next->find_first_not_of("0123456789") == std::string::npos) {
      retagCount = std::max(1, std::atoi(next->c_str()));
      args.erase(next);
    }
    args.erase(it);
    break;
  }
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: %s FOLDER [--retag [FILES]]\n", argv[0]);
    return 2;
  }
  const std::vector<std::string> paths = mp3FilesBelow(args[0]);
  if (paths.empty()) {
    std::fprintf(stderr, "no MP3 files below %s\n", args[0].c_str());
    return 1;
  }

  const std::unique_ptr<importer::Mp3Info> info = importer::createTagLibMp3Info();
  std::vector<Reading> readings;
  readings.reserve(paths.size());
  std::map<importer::AudioIdentity, std::size_t, IdentityLess> groups;
  std::size_t readable = 0, measured = 0, identified = 0;
  for (const std::string& path : paths) {
    readings.push_back(readFile(*info, path));
    const Reading& reading = readings.back();
    readable += reading.readable;
    measured += reading.measured;
    if (reading.identity) {
      ++identified;
      ++groups[*reading.identity];
    }
  }
  std::size_t shared = 0, filesInShared = 0, largest = 0;
  for (const auto& [identity, files] : groups) {
    largest = std::max(largest, files);
    if (files > 1) {
      ++shared;
      filesInShared += files;
    }
  }
  std::printf("%zu MP3 files below %s\n", paths.size(), args[0].c_str());
  std::printf("  read as MP3: %zu, with a bit rate and a duration: %zu\n", readable, measured);
  std::printf("  with an audio identity: %zu\n", identified);
  std::printf("  distinct identities: %zu\n", groups.size());
  std::printf("  identities shared by more than one file: %zu (%zu files; largest group %zu)\n",
              shared, filesInShared, largest);

  if (retagCount && !retag(paths, readings, *retagCount, *info)) return 1;
  return 0;
}
