// export_bench [ROWS]
//
// A catalogue of ROWS rows (100,000 unless given) in a temporary folder, and the all-rows view
// ordered by ID opened as a dynaset, as "Show All Records" opens it: the view has read its first
// batch. Then the view exported to CSV and to an M3U8 playlist, each the median of 3 rounds,
// against SQLite alone running the same query with every field read, in the same run. The
// targets are under 1 s and under 100 MB for 100,000 rows.
//
// The same exports are also timed through the real window (offscreen): "Show All Records", then
// Catalogue > Export View with a save dialog that answers at once.
//
// Memory is the growth of the peak resident size during one export, measured in a fresh
// process of this program (--memory FORMAT PATH) so that nothing else the benchmark did counts:
// it opens the catalogue and the view, resets its peak to what it holds then
// (/proc/self/clear_refs), exports, and reads the peak (VmHWM) again. Where the peak cannot be
// reset it takes the peak before the export instead, which can only understate the growth.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QFile>

#include "app/frmmain.h"
#include "benchcatalogue.h"
#include "catalog/export.h"
#include "engine/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

// The view "Show All Records" opens, and the same query in SQLite's own dialect: the engine's
// like() takes "*" as Jet does, where SQLite's takes "%".
constexpr const char* kView = "Select * from music_shelf where Title like '*' ORDER BY ID";
constexpr const char* kPlain = "SELECT * FROM music_shelf WHERE Title LIKE '%' ORDER BY ID";

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long statusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// The child's part: prints "peak-growth-kB reset" for one export of the view.
int measureMemory(const std::string& format, const std::string& path) {
  try {
    auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    auto view = db->OpenRecordset(kView, engine::dbOpenDynaset);
    const std::string target = path + "." + format;
    const long before = statusKb("VmRSS:");
    std::ofstream clear("/proc/self/clear_refs");
    const bool reset = static_cast<bool>(clear << "5" << std::flush);
    const long start = reset ? before : statusKb("VmHWM:");
    catalog::exportView(*db, *view,
                        format == "m3u8" ? catalog::ExportFormat::M3u8 : catalog::ExportFormat::Csv,
                        target);
    const long peak = statusKb("VmHWM:");
    std::filesystem::remove(target);
    std::printf("%ld %d\n", peak - start, reset ? 1 : 0);
    return 0;
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "Error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
}

// Runs this program again to measure one export's memory; -1 when that fails.
double exportMegabytes(const char* self, const std::string& format, const std::string& path,
                       bool& reset) {
  const std::string command =
      std::string("'") + self + "' --memory " + format + " '" + path + "'";
  double megabytes = -1;
  if (FILE* child = ::popen(command.c_str(), "r")) {
    long kb = 0;
    int wasReset = 0;
    if (std::fscanf(child, "%ld %d", &kb, &wasReset) == 2) {
      megabytes = static_cast<double>(kb) / 1024.0;
      reset = wasReset != 0;
    }
    ::pclose(child);
  }
  return megabytes;
}

// Milliseconds for Export View on the real window, the all-rows view shown first.
double windowExportMs(const std::string& path, const std::string& target, const char* filter) {
  int errors = 0;
  frmMain window(
      QString::fromStdString(path),
      [&](int number, const QString& text) {
        ++errors;
        std::fprintf(stderr, "error %d: %s\n", number, qPrintable(text));
      },
      [](QWidget*, const QString&, const QString&) { return std::optional<QString>(); },
      [] { return std::unique_ptr<importer::Mp3Info>(); });
  window.setSaveDialog([&](QWidget*, const QString&, const QString&, const frmMain::SaveChoice&) {
    return std::optional<frmMain::SaveChoice>(
        frmMain::SaveChoice{QFile::decodeName(target.c_str()), QString::fromLatin1(filter)});
  });
  if (!window.Form_Load()) std::exit(1);
  window.show();
  window.cmdShowAll_Click();
  QCoreApplication::processEvents();
  const auto start = Clock::now();
  window.mnuExport_Click();
  QCoreApplication::processEvents();
  const double ms = msSince(start);
  if (errors) std::exit(1);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--memory") == 0) return measureMemory(argv[2], argv[3]);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quollsong-export-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "music_1.mdb").string();
  auto start = Clock::now();
  if (!bench::makeCatalogue(path, rows)) {
    std::fprintf(stderr, "cannot make the catalogue\n");
    return 1;
  }
  std::printf("catalogue: %d rows, built in %.0f ms; files written to %s\n", rows, msSince(start),
              dir.c_str());

  int status = 0;
  try {
    auto db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(path);
    auto view = db->OpenRecordset(kView, engine::dbOpenDynaset);
    std::printf("view: %s, %lld rows read by the view before the export\n", kView,
                static_cast<long long>(view->rowCount()));

    bench::sqliteAlone(path, kPlain);  // warms the file cache
    std::vector<double> floor;
    for (int round = 0; round < 3; ++round) floor.push_back(bench::sqliteAlone(path, kPlain).allMs);
    const double floorMs = bench::median(floor);
    std::printf("%-44s %8.1f ms\n", "SQLite alone, every field of every row:", floorMs);

    struct Format {
      const char* name;
      const char* extension;
      catalog::ExportFormat format;
    };
    for (const Format& f : {Format{"CSV", "csv", catalog::ExportFormat::Csv},
                            Format{"M3U8", "m3u8", catalog::ExportFormat::M3u8}}) {
      const std::string target = (dir / (std::string("view.") + f.extension)).string();
      std::vector<double> times;
      std::int64_t written = 0;
      for (int round = 0; round < 3; ++round) {
        start = Clock::now();
        written = catalog::exportView(*db, *view, f.format, target);
        times.push_back(msSince(start));
      }
      const double ms = bench::median(times);
      const double mb = static_cast<double>(std::filesystem::file_size(target)) / 1e6;
      bool reset = false;
      const double memory = exportMegabytes(argv[0], f.extension, path, reset);
      char label[64];
      std::snprintf(label, sizeof label, "export %s, %lld rows, %.1f MB file:", f.name,
                    static_cast<long long>(written), mb);
      std::printf("%-44s %8.1f ms (ratio %.2f)\n", label, ms, ms / floorMs);
      std::vector<double> windowTimes;
      for (int round = 0; round < 3; ++round)
        windowTimes.push_back(windowExportMs(
            path, target, f.format == catalog::ExportFormat::Csv ? catalog::kCsvFilter
                                                                 : catalog::kM3u8Filter));
      const double windowMs = bench::median(windowTimes);
      const std::string through = std::string("window, Export View ") + f.name + ":";
      std::printf("%-44s %8.1f ms (ratio %.2f)\n", through.c_str(), windowMs, windowMs / floorMs);
      if (memory < 0) {
        std::printf("export %-4s peak memory growth: not measured\n", f.name);
        status = 1;
      } else {
        const std::string growth = std::string("export ") + f.name + ", peak memory growth:";
        std::printf("%-44s %8.1f MB (%s)\n", growth.c_str(), memory,
                    reset ? "peak reset before the export" : "peak before the export subtracted");
      }
    }
    std::printf("targets at 100,000 rows: each export under 1000 ms and under 100 MB\n");
    std::printf("rows the view holds after the exports: %lld\n",
                static_cast<long long>(view->rowCount()));
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "Error %d: %s\n", e.number(), e.description().c_str());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
