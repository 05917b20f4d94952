#include "app/frmstatistics.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QPieSeries>
#include <QPieSlice>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include <utility>

#include "catalog/lengths.h"
#include "import/importsummary.h"

namespace {

const QString kGeometry = QStringLiteral("StatisticsWindow/Geometry");
constexpr int kStartWidth = 900;
constexpr int kStartHeight = 640;
// Smaller than this, a restored size was not the user's.
constexpr int kSmallest = 200;

template <typename Widget>
Widget* named(Widget* widget, const char* name, const QString& accessible) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setAccessibleName(accessible);
  return widget;
}

QString grouped(std::int64_t n) { return QString::fromStdString(importer::groupedNumber(n)); }

// A cell that sorts by the number behind it rather than by its text ("1:02:03" after "9:59").
class NumberItem final : public QTableWidgetItem {
 public:
  NumberItem(const QString& text, std::int64_t value) : QTableWidgetItem(text), m_value(value) {
    setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  }
  bool operator<(const QTableWidgetItem& other) const override {
    if (const auto* number = dynamic_cast<const NumberItem*>(&other))
      return m_value < number->m_value;
    return QTableWidgetItem::operator<(other);
  }

 private:
  std::int64_t m_value;
};

// Qt's category axis drops a category it already has, and the bars after it lose their place:
// two genres whose names are not UTF-8 both read as U+FFFD, a genre called "(no genre)".
QString uniqueLabel(const QStringList& taken, const QString& label) {
  if (!taken.contains(label)) return label;
  for (int n = 2;; ++n) {
    const QString numbered = label + QStringLiteral(" (%1)").arg(n);
    if (!taken.contains(numbered)) return numbered;
  }
}

QChartView* chartView(QWidget* parent, const char* name, const QString& accessible) {
  auto* view = named(new QChartView(parent), name, accessible);
  view->setRenderHint(QPainter::Antialiasing);
  view->setChart(new QChart());
  return view;
}

}  // namespace

frmStatistics::frmStatistics(const std::string& catalogPath, ViewSql viewSql, ShowSongs showSongs,
                             std::shared_ptr<QSettings> settings, QWidget* parent)
    : QWidget(parent, Qt::Window),
      m_viewSql(std::move(viewSql)),
      m_showSongs(std::move(showSongs)),
      m_settings(std::move(settings)),
      m_reader(std::make_unique<catalog::StatisticsReader>(catalogPath)) {
  setObjectName(QStringLiteral("frmStatistics"));
  setWindowTitle(QStringLiteral("Statistics"));
  setAttribute(Qt::WA_DeleteOnClose);
  buildControls();
  restoreSize();
  connect(m_reader.get(), &catalog::StatisticsReader::statisticsRead, this,
          [this](std::uint64_t generation, const catalog::CatalogueStatistics& statistics) {
            // An answer to a question no longer asked (the choice changed meanwhile).
            if (generation != m_generation) return;
            showStatistics(statistics);
          });
}

frmStatistics::~frmStatistics() = default;

void frmStatistics::buildControls() {
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout();
  auto* scopeCaption = new QLabel(QStringLiteral("&Statistics of:"), this);
  cboScope = named(new QComboBox(this), "cboScope", QStringLiteral("Statistics of"));
  cboScope->addItems({QStringLiteral("Current view"), QStringLiteral("Whole catalogue")});
  scopeCaption->setBuddy(cboScope);
  cmdRefresh = named(new QPushButton(QStringLiteral("&Refresh"), this), "cmdRefresh",
                     QStringLiteral("Refresh"));
  lblState = named(new QLabel(this), "lblState", QStringLiteral("State"));
  top->addWidget(scopeCaption);
  top->addWidget(cboScope);
  top->addWidget(cmdRefresh);
  top->addWidget(lblState, 1);
  layout->addLayout(top);

  lblNotes = named(new QLabel(this), "lblNotes", QStringLiteral("Notes"));
  lblNotes->setWordWrap(true);
  lblNotes->setTextFormat(Qt::PlainText);
  lblNotes->hide();
  layout->addWidget(lblNotes);

  auto* totals = new QFormLayout();
  auto total = [&](const char* name, const QString& caption) {
    auto* value = named(new QLabel(this), name, caption);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    totals->addRow(caption + QLatin1Char(':'), value);
    return value;
  };
  lblSongs = total("lblSongs", QStringLiteral("Songs"));
  lblLength = total("lblLength", QStringLiteral("Total length"));
  lblArtists = total("lblArtists", QStringLiteral("Artists"));
  lblAlbums = total("lblAlbums", QStringLiteral("Albums"));
  lblFolders = total("lblFolders", QStringLiteral("Folders"));
  layout->addLayout(totals);

  tabStatistics = named(new QTabWidget(this), "tabStatistics", QStringLiteral("Charts"));
  chartGenres = chartView(tabStatistics, "chartGenres", QStringLiteral("Songs by genre"));
  chartBitrates = chartView(tabStatistics, "chartBitrates", QStringLiteral("Songs by bit rate"));
  chartEncodings = chartView(tabStatistics, "chartEncodings", QStringLiteral("CBR and VBR"));
  chartYears = chartView(tabStatistics, "chartYears", QStringLiteral("Songs by year"));
  chartLengths = chartView(tabStatistics, "chartLengths", QStringLiteral("Songs by length"));
  tabStatistics->addTab(chartGenres, QStringLiteral("Genres"));
  tabStatistics->addTab(chartBitrates, QStringLiteral("Bit rates"));
  tabStatistics->addTab(chartEncodings, QStringLiteral("CBR / VBR"));
  tabStatistics->addTab(chartYears, QStringLiteral("Years"));
  tabStatistics->addTab(chartLengths, QStringLiteral("Lengths"));

  auto* largest = new QWidget(tabStatistics);
  auto* largestLayout = new QVBoxLayout(largest);
  auto* byRow = new QHBoxLayout();
  auto* byCaption = new QLabel(QStringLiteral("The 20 largest &by:"), largest);
  cboLargestBy = named(new QComboBox(largest), "cboLargestBy", QStringLiteral("Largest by"));
  cboLargestBy->addItems({QStringLiteral("Songs"), QStringLiteral("Length")});
  byCaption->setBuddy(cboLargestBy);
  byRow->addWidget(byCaption);
  byRow->addWidget(cboLargestBy);
  byRow->addStretch(1);
  largestLayout->addLayout(byRow);
  auto* tables = new QSplitter(Qt::Horizontal, largest);
  auto table = [&](const char* name, const QString& accessible, const QStringList& headings) {
    auto* t = named(new QTableWidget(0, static_cast<int>(headings.size()), tables), name,
                    accessible);
    t->setHorizontalHeaderLabels(headings);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->setSortingEnabled(true);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    tables->addWidget(t);
    // The row's place among the figures, not its condition as text: a name that is not UTF-8
    // would not come back from a QString as it went in.
    connect(t, &QTableWidget::cellClicked, this, [this, t](int row, int) {
      const QTableWidgetItem* item = t->item(row, 0);
      if (!item) return;
      const bool bySongs = cboLargestBy->currentIndex() == 0;
      const std::vector<catalog::LargestEntry>& entries =
          t == tblArtists ? (bySongs ? m_statistics.artistsBySongs : m_statistics.artistsByLength)
                          : (bySongs ? m_statistics.albumsBySongs : m_statistics.albumsByLength);
      bool ok = false;
      const int index = item->data(Qt::UserRole).toInt(&ok);
      if (ok && index >= 0 && index < static_cast<int>(entries.size()))
        showCondition(entries[static_cast<std::size_t>(index)].condition);
    });
    return t;
  };
  tblArtists = table("tblArtists", QStringLiteral("Largest artists"),
                     {QStringLiteral("Artist"), QStringLiteral("Songs"), QStringLiteral("Length")});
  tblAlbums = table("tblAlbums", QStringLiteral("Largest albums"),
                    {QStringLiteral("Album"), QStringLiteral("Artist"), QStringLiteral("Songs"),
                     QStringLiteral("Length")});
  tblAlbums->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  largestLayout->addWidget(tables, 1);
  tabStatistics->addTab(largest, QStringLiteral("Largest"));
  layout->addWidget(tabStatistics, 1);

  connect(cboScope, &QComboBox::currentIndexChanged, this, &frmStatistics::refresh);
  connect(cmdRefresh, &QPushButton::clicked, this, &frmStatistics::refresh);
  connect(cboLargestBy, &QComboBox::currentIndexChanged, this, &frmStatistics::fillLargest);
}

void frmStatistics::restoreSize() {
  resize(kStartWidth, kStartHeight);
  if (!m_settings) return;
  const QVariant geometry = m_settings->value(kGeometry);
  // A damaged entry leaves the window as it starts without one.
  if (geometry.typeId() != QMetaType::QByteArray || !restoreGeometry(geometry.toByteArray()) ||
      width() < kSmallest || height() < kSmallest)
    resize(kStartWidth, kStartHeight);
}

void frmStatistics::refresh() {
  m_filled = false;
  std::string viewSql;
  if (cboScope->currentIndex() == kCurrentView && m_viewSql) viewSql = m_viewSql();
  // The main window shows what a click here asked for: its figures are a bar's, not the view's
  // the user chose.
  m_countingShown = !viewSql.empty() && !m_lastShown.empty() &&
                    viewSql.find(m_lastShown) != std::string::npos;
  // A catalogue that could not be opened is tried again: the reader answers either way.
  lblState->setText(QStringLiteral("Counting\u2026"));
  m_generation = m_reader->read(std::move(viewSql));
}

void frmStatistics::closeEvent(QCloseEvent* event) {
  // The read in progress is of no use to anyone now; its thread ends with the window.
  m_reader->cancel();
  m_generation = 0;
  if (m_settings) {
    m_settings->setValue(kGeometry, saveGeometry());
    m_settings->sync();
  }
  event->accept();
}

void frmStatistics::retire(QChartView* view, QChart* chart) {
  QChart* old = view->chart();
  view->setChart(chart);
  if (!old) return;
  // A click on the old chart may still be on the stack, below the main window's error box or an
  // event loop that brought this answer: it goes once that click has returned.
  if (m_clickDepth > 0)
    m_retired.emplace_back(old);
  else
    old->deleteLater();
}

void frmStatistics::showStatistics(const catalog::CatalogueStatistics& statistics) {
  if (!statistics.opened) {
    lblState->setText(QStringLiteral("The catalogue cannot be opened for statistics."));
    return;
  }
  m_statistics = statistics;
  if (statistics.wholeCatalogue)
    lblState->setText(QStringLiteral("Whole catalogue"));
  else if (m_countingShown)
    lblState->setText(QStringLiteral("Current view: the songs of a clicked bar or row"));
  else
    lblState->setText(QStringLiteral("Current view"));
  QStringList notes;
  for (const std::string& note : statistics.notes) notes << QString::fromStdString(note);
  lblNotes->setText(notes.join(QLatin1Char('\n')));
  lblNotes->setVisible(!notes.isEmpty());

  auto optional = [](const std::optional<std::int64_t>& n) {
    return n ? grouped(*n) : QStringLiteral("\u2013");
  };
  lblSongs->setText(grouped(statistics.songs));
  lblLength->setText(QString::fromStdString(catalog::daysLengthText(statistics.seconds)));
  lblArtists->setText(optional(statistics.artists));
  lblAlbums->setText(optional(statistics.albums));
  lblFolders->setText(optional(statistics.folders));

  struct Bars {
    QChartView* view;
    const std::vector<catalog::StatisticsBin>* bins;
    QString title;
    bool horizontal;
  };
  const Bars bars[] = {
      {chartGenres, &m_statistics.genres, QStringLiteral("Songs by genre"), true},
      {chartBitrates, &m_statistics.bitrates, QStringLiteral("Songs by bit rate (kbit/s)"), false},
      {chartYears, &m_statistics.years, QStringLiteral("Songs by year"), false},
      {chartLengths, &m_statistics.lengths, QStringLiteral("Songs by length"), false},
  };
  for (const Bars& b : bars) {
    auto* chart = new QChart();
    chart->setTitle(b.title);
    chart->legend()->hide();
    if (b.bins->empty()) {
      chart->setTitle(b.title + QStringLiteral(": nothing to show"));
    } else {
      auto* set = new QBarSet(QStringLiteral("Songs"));
      QStringList categories;
      double most = 0;
      for (const catalog::StatisticsBin& bin : *b.bins) {
        *set << static_cast<double>(bin.songs);
        categories << uniqueLabel(categories, QString::fromStdString(bin.label));
        most = std::max(most, static_cast<double>(bin.songs));
      }
      QAbstractBarSeries* series = b.horizontal ? static_cast<QAbstractBarSeries*>(
                                                      new QHorizontalBarSeries())
                                                : new QBarSeries();
      series->append(set);
      chart->addSeries(series);
      auto* categoryAxis = new QBarCategoryAxis();
      categoryAxis->append(categories);
      auto* valueAxis = new QValueAxis();
      valueAxis->setRange(0, std::max(1.0, most));
      valueAxis->setLabelFormat(QStringLiteral("%d"));
      chart->addAxis(categoryAxis, b.horizontal ? Qt::AlignLeft : Qt::AlignBottom);
      chart->addAxis(valueAxis, b.horizontal ? Qt::AlignBottom : Qt::AlignLeft);
      series->attachAxis(categoryAxis);
      series->attachAxis(valueAxis);
      const std::vector<catalog::StatisticsBin>* bins = b.bins;
      connect(set, &QBarSet::clicked, this, [this, bins](int index) { showBin(*bins, index); });
    }
    retire(b.view, chart);
  }

  auto* pie = new QChart();
  pie->setTitle(QStringLiteral("CBR and VBR"));
  if (m_statistics.encodings.empty()) {
    pie->setTitle(QStringLiteral("CBR and VBR: nothing to show"));
  } else {
    auto* series = new QPieSeries();
    for (const catalog::StatisticsBin& bin : m_statistics.encodings) {
      QPieSlice* slice = series->append(
          QString::fromStdString(bin.label) + QStringLiteral(" (") + grouped(bin.songs) +
              QLatin1Char(')'),
          static_cast<double>(bin.songs));
      slice->setLabelVisible(bin.songs > 0);
    }
    connect(series, &QPieSeries::clicked, this, [this, series](QPieSlice* slice) {
      showBin(m_statistics.encodings, static_cast<int>(series->slices().indexOf(slice)));
    });
    pie->addSeries(series);
  }
  retire(chartEncodings, pie);

  fillLargest();
  m_filled = true;
  emit filled();
}

void frmStatistics::fillLargest() {
  const bool bySongs = cboLargestBy->currentIndex() == 0;
  auto fill = [bySongs](QTableWidget* table, const std::vector<catalog::LargestEntry>& entries,
                        bool albums) {
    table->setSortingEnabled(false);
    table->clearContents();
    table->setRowCount(static_cast<int>(entries.size()));
    for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
      const catalog::LargestEntry& e = entries[static_cast<std::size_t>(row)];
      auto* name = new QTableWidgetItem(QString::fromStdString(e.name));
      name->setData(Qt::UserRole, row);
      int column = 0;
      table->setItem(row, column++, name);
      if (albums) table->setItem(row, column++, new QTableWidgetItem(QString::fromStdString(e.artist)));
      table->setItem(row, column++, new NumberItem(grouped(e.songs), e.songs));
      table->setItem(row, column++,
                     new NumberItem(QString::fromStdString(catalog::lengthText(e.seconds)),
                                    e.seconds));
    }
    table->setSortingEnabled(true);
    // Largest first, by what was asked; a heading click sorts otherwise.
    const int songsColumn = albums ? 2 : 1;
    table->sortByColumn(bySongs ? songsColumn : songsColumn + 1, Qt::DescendingOrder);
  };
  fill(tblArtists, bySongs ? m_statistics.artistsBySongs : m_statistics.artistsByLength, false);
  fill(tblAlbums, bySongs ? m_statistics.albumsBySongs : m_statistics.albumsByLength, true);
}

void frmStatistics::showBin(const std::vector<catalog::StatisticsBin>& bins, int index) {
  if (index < 0 || index >= static_cast<int>(bins.size())) return;
  showCondition(bins[static_cast<std::size_t>(index)].condition);
}

void frmStatistics::showCondition(const std::string& condition) {
  if (condition.empty() || !m_showSongs) return;
  // Within the counted view: a click shows the songs of the bar, not the catalogue's.
  const std::string& restriction = m_statistics.restriction;
  m_lastShown = restriction.empty() ? condition : "(" + restriction + ") AND (" + condition + ")";
  // Copied: a new answer meanwhile replaces m_lastShown and the figures it came from.
  const std::string shown = m_lastShown;
  ++m_clickDepth;
  const auto done = qScopeGuard([this] {
    if (--m_clickDepth > 0) return;
    for (const QPointer<QChart>& chart : m_retired)
      if (chart) chart->deleteLater();
    m_retired.clear();
  });
  m_showSongs(shown);
}
