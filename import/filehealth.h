#pragma once

#include <atomic>
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

}  // namespace importer
