#pragma once

// What is wrong with one MP3 file, read from its bytes alone: the frames, the header that gives
// the length, the tags, and on request the sound above 16 kHz. Never writes to the file.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace importer {

struct HealthFinding {
  std::string problem;  // the Problem column's text: "File missing", "No audio", "Cut short", "Damaged audio", "VBR without header", "Tags disagree", "Unreadable tag frames", "Low bit rate", "Suspected re-encode" ("Missing tracks" is the runner's, from the catalogue)
  std::string detail;   // the Detail column's text, e.g. "3 frames lose sync, first at 1:02 (byte 1,234,567)"
};
struct HealthOptions {
  bool spectral = false;  // the re-encode analysis, which decodes up to 30 s
};
// What is wrong with the file at `path` (the Filename's bytes as stored); empty for a sound file.
// Never throws for a bad, hostile or vanished file; polls `stop` between frames and returns what it has when it is set. Thread-safe: called from several threads at once.
std::vector<HealthFinding> checkFileHealth(const std::string& path, const HealthOptions& options, const std::atomic<bool>& stop);

// The same, with `beforeRead` called on the checking thread before each read of the file's
// bytes, with where the read begins; a nonzero answer fails that read with it as errno. Lets a
// test change the file between two reads, stop the check, or make the disk fail, at a point it
// chooses.
// (A name of its own, so that checkFileHealth stays one function callers can pass on.)
using ReadHook = std::function<int(std::int64_t offset)>;
std::vector<HealthFinding> checkFileHealthHooked(const std::string& path,
                                                 const HealthOptions& options,
                                                 const std::atomic<bool>& stop,
                                                 const ReadHook& beforeRead);

// The Problem column's texts, for callers that sort or count findings by kind.
namespace health {
inline constexpr const char* kFileMissing = "File missing";
inline constexpr const char* kNoAudio = "No audio";
inline constexpr const char* kCutShort = "Cut short";
inline constexpr const char* kDamagedAudio = "Damaged audio";
inline constexpr const char* kVbrWithoutHeader = "VBR without header";
inline constexpr const char* kTagsDisagree = "Tags disagree";
inline constexpr const char* kUnreadableTagFrames = "Unreadable tag frames";
inline constexpr const char* kLowBitRate = "Low bit rate";
inline constexpr const char* kSuspectedReencode = "Suspected re-encode";
}  // namespace health

// How much of a file the re-encode analysis decodes, and what it looks at: the sound from
// kReencodeBandHz up to kReencodeTopHz against the band below it, in files of at least
// kReencodeMinKbps (constant, or the average of a variable rate).
inline constexpr double kReencodeSeconds = 30.0;
inline constexpr int kReencodeMinKbps = 256;
inline constexpr double kReencodeBandHz = 17000.0;
inline constexpr double kReencodeTopHz = 19500.0;

}  // namespace importer
