#pragma once

// The round trips a benchmark's pass cost on a slowmedium mount, read through the mount's
// --stats file: the benchmark passes `--medium PID:FILE` (slowmedium's process and its stats
// file), and each timed pass is bracketed by two readings. Header-only, so that the import and
// rescan benchmarks can use it without a library of its own, and without libfuse3.
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

namespace bench {

// slowmedium's counters at one moment.
struct MediumCounts {
  // In the order of the stats line: stat, opendir, readdir, open, read, readlink.
  static constexpr std::array<const char*, 6> kKinds = {"stat", "opendir", "readdir",
                                                        "open", "read",    "readlink"};
  std::array<long long, kKinds.size()> trips{};
  long long readBytes = 0;
  double busyMs = 0;
  int peakInFlight = 0;  // since the reading before this one

  long long totalTrips() const {
    long long total = 0;
    for (long long n : trips) total += n;
    return total;
  }
};

// What a row's passes cost, summed over the passes.
struct MediumCost {
  MediumCounts trips;  // differences; peakInFlight is the highest of the passes'
  double wallSeconds = 0;
  int passes = 0;

  void add(const MediumCounts& before, const MediumCounts& after, double seconds) {
    for (std::size_t k = 0; k < trips.trips.size(); ++k)
      trips.trips[k] += after.trips[k] - before.trips[k];
    trips.readBytes += after.readBytes - before.readBytes;
    trips.busyMs += after.busyMs - before.busyMs;
    trips.peakInFlight = std::max(trips.peakInFlight, after.peakInFlight);
    wallSeconds += seconds;
    ++passes;
  }

  // "stat 4.00 opendir 0.11 … total 6.3 a file; 12.4 in flight on average, at most 32",
  // per file and pass.
  std::string perFile(long long files) const {
    if (passes == 0 || files <= 0) return "not measured";
    const double per = static_cast<double>(files) * passes;
    std::string text;
    char part[96];
    for (std::size_t k = 0; k < trips.trips.size(); ++k) {
      std::snprintf(part, sizeof part, "%s %.2f  ", MediumCounts::kKinds[k],
                    static_cast<double>(trips.trips[k]) / per);
      text += part;
    }
    std::snprintf(part, sizeof part, "total %.2f a file (%.0f KiB read); ",
                  static_cast<double>(trips.totalTrips()) / per,
                  static_cast<double>(trips.readBytes) / per / 1024);
    text += part;
    std::snprintf(part, sizeof part, "%.1f in flight on average, at most %d",
                  wallSeconds > 0 ? trips.busyMs / 1000 / wallSeconds : 0.0, trips.peakInFlight);
    return text + part;
  }
};

// A slowmedium mount's counters, read on demand.
class MediumCounters {
 public:
  // From "PID:FILE"; nothing when the text is not of that form.
  static std::optional<MediumCounters> fromArgument(const std::string& argument) {
    const std::size_t colon = argument.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == argument.size()) return {};
    char* end = nullptr;
    const long pid = std::strtol(argument.c_str(), &end, 10);
    if (end != argument.c_str() + colon || pid <= 0) return {};
    return MediumCounters(static_cast<pid_t>(pid), argument.substr(colon + 1));
  }

  // Asks slowmedium for its counters (SIGUSR1) and waits for the file it writes: removed first,
  // so its reappearance is the answer (slowmedium renames it into place whole). Nothing when the
  // process is gone or does not answer within a few seconds.
  std::optional<MediumCounts> read() const {
    if (::unlink(m_file.c_str()) != 0 && errno != ENOENT) return {};
    if (::kill(m_pid, SIGUSR1) != 0) return {};
    // It answers at once unless the machine is very busy; ten seconds is only a limit to failure.
    for (int tries = 0; tries < 10000; ++tries) {
      std::ifstream in(m_file);
      std::string line;
      if (in && std::getline(in, line)) return parse(line);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
  }

  // One stats line; nothing when a field is missing.
  static std::optional<MediumCounts> parse(const std::string& line) {
    MediumCounts counts;
    unsigned seen = 0;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      const std::size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      const std::string name = word.substr(0, eq);
      const char* value = word.c_str() + eq + 1;
      for (std::size_t k = 0; k < MediumCounts::kKinds.size(); ++k)
        if (name == MediumCounts::kKinds[k]) {
          counts.trips[k] = std::atoll(value);
          seen |= 1u << k;
        }
      if (name == "read_bytes") {
        counts.readBytes = std::atoll(value);
        seen |= 1u << 6;
      } else if (name == "busy_ms") {
        counts.busyMs = std::atof(value);
        seen |= 1u << 7;
      } else if (name == "peak_in_flight") {
        counts.peakInFlight = std::atoi(value);
        seen |= 1u << 8;
      }
    }
    if (seen != (1u << 9) - 1) return {};
    return counts;
  }

 private:
  MediumCounters(pid_t pid, std::string file) : m_pid(pid), m_file(std::move(file)) {}

  pid_t m_pid;
  std::string m_file;
};

// Runs `pass` (which returns its own timed seconds) between two readings of `medium`, when there
// is one, and adds the difference to `cost`. Returns the pass's seconds.
template <typename Pass>
double measuredPass(const std::optional<MediumCounters>& medium, MediumCost& cost, Pass&& pass) {
  if (!medium) return pass();
  const std::optional<MediumCounts> before = medium->read();
  const double seconds = pass();
  const std::optional<MediumCounts> after = medium->read();
  if (before && after)
    cost.add(*before, *after, seconds);
  else
    std::fprintf(stderr, "the slow medium's counters could not be read\n");
  return seconds;
}

}  // namespace bench
