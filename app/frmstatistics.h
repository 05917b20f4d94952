#pragma once

#include <QChart>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalog/statistics.h"

class QComboBox;
class QLabel;
class QPushButton;
class QSettings;
class QTabWidget;
class QTableWidget;
class QChartView;

// Statistics of the catalogue or of the main window's view: totals, charts of songs by genre, bit
// rate, encoding, year and length, and the largest artists and albums. A window of its own beside
// the main one; the figures are read on the statistics reader's thread, so neither window waits
// for them. A click on a bar, a slice or a table row hands the condition that lists its songs to
// the main window.
class frmStatistics final : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmStatistics)

 public:
  // The main window's view as a SELECT; empty when it shows none.
  using ViewSql = std::function<std::string()>;
  // Shows the songs a condition on music_shelf selects.
  using ShowSongs = std::function<void(const std::string& condition)>;

  // `settings` keeps the window's size between runs; without one it lasts this run only.
  frmStatistics(const std::string& catalogPath, ViewSql viewSql, ShowSongs showSongs,
                std::shared_ptr<QSettings> settings, QWidget* parent = nullptr);
  ~frmStatistics() override;

  // What the figures are of, the choice at the top.
  enum Scope { kCurrentView = 0, kWholeCatalogue = 1 };

  // Reads the figures again, of the view the main window shows now when that is the choice.
  void refresh();

  bool isFilled() const { return m_filled; }
  // For tests: the reader, to hold its thread.
  catalog::StatisticsReader* reader() const { return m_reader.get(); }

 signals:
  // Every total, chart and table shows the figures just read.
  void filled();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls();
  void restoreSize();
  void showStatistics(const catalog::CatalogueStatistics& statistics);
  void fillLargest();
  void showBin(const std::vector<catalog::StatisticsBin>& bins, int index);
  void showCondition(const std::string& condition);
  // Shows `chart` in `view`, the old one deleted once no click on it can still be running.
  void retire(QChartView* view, QChart* chart);

  ViewSql m_viewSql;
  ShowSongs m_showSongs;
  std::shared_ptr<QSettings> m_settings;
  std::unique_ptr<catalog::StatisticsReader> m_reader;
  std::uint64_t m_generation = 0;
  bool m_filled = false;
  catalog::CatalogueStatistics m_statistics;
  // What the last click showed in the main window, to tell when the view counted is its.
  std::string m_lastShown;
  bool m_countingShown = false;
  // Clicks whose handling has not returned yet, and the charts replaced meanwhile.
  int m_clickDepth = 0;
  std::vector<QPointer<QChart>> m_retired;

  QComboBox* cboScope = nullptr;
  QPushButton* cmdRefresh = nullptr;
  QLabel* lblState = nullptr;
  QLabel* lblNotes = nullptr;
  QLabel* lblSongs = nullptr;
  QLabel* lblLength = nullptr;
  QLabel* lblArtists = nullptr;
  QLabel* lblAlbums = nullptr;
  QLabel* lblFolders = nullptr;
  QTabWidget* tabStatistics = nullptr;
  QChartView* chartGenres = nullptr;
  QChartView* chartBitrates = nullptr;
  QChartView* chartEncodings = nullptr;
  QChartView* chartYears = nullptr;
  QChartView* chartLengths = nullptr;
  QComboBox* cboLargestBy = nullptr;
  QTableWidget* tblArtists = nullptr;
  QTableWidget* tblAlbums = nullptr;
};
