// check_bench FOLDER [RUNS] [--cold] [--threads N] [--spectral-seconds S]
//
// The file check's frame pass over every .mp3 below FOLDER on N threads (default: the cores),
// against reading the same files with `cat` (xargs -P N, into /dev/null) and with plain read()
// on the same threads, in one run. Each round times the three in turn after one warm-up; the
// median of RUNS rounds (default 3) counts, and the check's speed is given as a share of each.
// With --cold every file is evicted from the page cache (posix_fadvise DONTNEED) before each
// timed pass. Then the re-encode analysis: files per second over copies of one 320 kbit/s
// encode of S seconds (default 240) of noise that the benchmark makes with sox and lame.
//   bench/make-corpus 2000 /tmp/t2k && build/bin/check_bench /tmp/t2k

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "benchcatalogue.h"
#include "import/filehealth.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `work` over every path on `threads` threads; seconds.
double overThreads(const std::vector<std::string>& paths, int threads,
                   const std::function<void(const std::string&)>& work) {
  std::atomic<std::size_t> next{0};
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < paths.size();) work(paths[i]);
    });
  for (std::thread& thread : pool) thread.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::atomic<long long> g_readBytes{0};

void readPlain(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<char> buffer(256 * 1024);
  long long total = 0;
  for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) total += got;
  ::close(fd);
  g_readBytes += total;
}

std::atomic<long long> g_findings{0};

void checkFrames(const std::string& path) {
  static const std::atomic<bool> stop{false};
  g_findings += static_cast<long long>(importer::checkFileHealth(path, {}, stop).size());
}

double catAll(const std::string& listFile, int threads) {
  const std::string command = "xargs -0 -P " + std::to_string(threads) + " -n 64 cat < " +
                              bench::shellQuoted(listFile) + " > /dev/null";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cat failed\n");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool cold = std::erase(args, std::string("--cold")) > 0;
  const auto threadsOption = bench::takeOption(args, "--threads");
  const auto secondsOption = bench::takeOption(args, "--spectral-seconds");
  if (args.empty() || args.size() > 2) {
    std::fprintf(stderr,
                 "usage: %s FOLDER [RUNS] [--cold] [--threads N] [--spectral-seconds S]\n",
                 argv[0]);
    return 2;
  }
  const std::string folder = args[0];
  const int runs = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 3;
  const int threads = threadsOption ? std::max(1, std::atoi(threadsOption->c_str()))
                                    : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int spectralSeconds = secondsOption ? std::max(1, std::atoi(secondsOption->c_str())) : 240;

  std::vector<std::string> paths;
  long long bytes = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".mp3") continue;
    paths.push_back(entry.path().string());
    bytes += static_cast<long long>(entry.file_size());
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) {
    std::fprintf(stderr, "no .mp3 files below %s\n", folder.c_str());
    return 1;
  }
  const std::string listFile = std::filesystem::temp_directory_path() / "check_bench.list";
  {
    std::ofstream list(listFile, std::ios::binary);
    for (const std::string& path : paths) list << path << '\0';
  }

  std::vector<double> catTimes, readTimes, checkTimes;
  for (int round = 0; round <= runs; ++round) {
    const bool timed = round > 0;
    if (cold && timed) bench::evictFromCache(paths);
    const double c = catAll(listFile, threads);
    if (cold && timed) bench::evictFromCache(paths);
    const double r = overThreads(paths, threads, readPlain);
    if (cold && timed) bench::evictFromCache(paths);
    g_findings = 0;
    const double k = overThreads(paths, threads, checkFrames);
    if (!timed) continue;
    catTimes.push_back(c);
    readTimes.push_back(r);
    checkTimes.push_back(k);
  }
  const double cat = bench::median(catTimes), plain = bench::median(readTimes),
               check = bench::median(checkTimes);
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%zu files, %.1f MB, %d threads, %s, median of %d\n", paths.size(), mb, threads,
              cold ? "cold" : "warm", runs);
  std::printf("  cat (xargs -P %d)   %8.3f s  %8.1f MB/s\n", threads, cat, mb / cat);
  std::printf("  read() on threads   %8.3f s  %8.1f MB/s\n", plain, mb / plain);
  std::printf("  frame check         %8.3f s  %8.1f MB/s  (%lld findings)\n", check, mb / check,
              g_findings.load());
  std::printf("  check / cat  %.2f   check / read()  %.2f\n", cat / check, plain / check);

  // The re-encode analysis decodes; what it costs is the decoding, not the reading.
  const std::filesystem::path spectralDir =
      std::filesystem::temp_directory_path() / "check_bench_spectral";
  std::filesystem::create_directories(spectralDir);
  const std::string source = (spectralDir / "source.mp3").string();
  if (!bench::encodePinkNoise(source, spectralSeconds)) return 1;
  std::vector<std::string> copies;
  for (int i = 0; i < 40 * threads; ++i) {
    const std::string copy = (spectralDir / ("copy" + std::to_string(i) + ".mp3")).string();
    if (!std::filesystem::exists(copy)) std::filesystem::copy_file(source, copy);
    copies.push_back(copy);
  }
  const auto spectral = [](const std::string& path) {
    static const std::atomic<bool> stop{false};
    g_findings += static_cast<long long>(
        importer::checkFileHealth(path, {.spectral = true}, stop).size());
  };
  std::vector<double> spectralTimes;
  for (int round = 0; round <= runs; ++round) {
    g_findings = 0;
    const double s = overThreads(copies, threads, spectral);
    if (round > 0) spectralTimes.push_back(s);
  }
  const double s = bench::median(spectralTimes);
  std::printf("re-encode analysis: %zu files of %d s at 320 kbit/s, %d threads: %.1f files/s "
              "(%lld findings)\n",
              copies.size(), spectralSeconds, threads, static_cast<double>(copies.size()) / s,
              g_findings.load());
  return 0;
}
