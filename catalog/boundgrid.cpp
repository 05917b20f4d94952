#include "catalog/boundgrid.h"

#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QLineEdit>
#include <QStyledItemDelegate>

#include <algorithm>
#include <utility>
#include <limits>

#include "catalog/datacontrol.h"
#include "catalog/recordsetmodel.h"

namespace catalog {

namespace {

constexpr double kGridPointSize = 8.25;
constexpr int kRecordSelectorWidth = 15;
// Fitted columns: never narrower than this, never wider than this share of the grid.
constexpr int kNarrowestColumn = 36;
constexpr double kWidestColumnShare = 0.4;
// The cell's padding and the grid line, beside its text.
constexpr int kCellMargin = 12;
// How many of a column's longest texts are measured for its width.
constexpr std::size_t kTextsMeasured = 12;

// Cell editors hold a cell's whole text: a line edit's own limit (32,767 characters) would cut a
// long comment short when the cell is merely opened and closed. Paths are cut in the middle,
// where the folders that tell them apart are, rather than at the end where the file name is.
class CellDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor))
      line->setMaxLength(std::numeric_limits<int>::max());
    return editor;
  }

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() == RecordsetModel::filenameColumn())
      option->textElideMode = Qt::ElideMiddle;
  }
};

}  // namespace

BoundGrid::BoundGrid(QWidget* parent) : QTableView(parent) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(kGridPointSize);
  setFont(font);

  setSortingEnabled(false);
  // Tab moves on to the next control, as in every other box of the window.
  setTabKeyNavigation(false);
  setFrameStyle(QFrame::Box | QFrame::Plain);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setStyleSheet(QStringLiteral("QTableView { gridline-color: #808080; }"));
  setItemDelegate(new CellDelegate(this));

  QHeaderView* headings = horizontalHeader();
  headings->setSectionsClickable(true);
  headings->setSortIndicatorShown(false);
  headings->setHighlightSections(false);
  connect(headings, &QHeaderView::sectionClicked, this, &BoundGrid::headClick);
  headings->setSectionResizeMode(QHeaderView::Interactive);
  // A width the user drags stays with that heading, for this view and the later ones.
  connect(headings, &QHeaderView::sectionResized, this, [this](int column, int, int width) {
    if (m_fitting || !model()) return;
    m_userWidths.insert(columnCaption(column), width);
  });
  // Headings can be dragged into another order; a click on one still only reports the click.
  headings->setSectionsMovable(true);
  connect(headings, &QHeaderView::sectionMoved, this, &BoundGrid::keepUserOrder);

  // Record selectors; rows keep a height the user can drag.
  QHeaderView* selectors = verticalHeader();
  selectors->setFixedWidth(kRecordSelectorWidth);
  selectors->setSectionResizeMode(QHeaderView::Interactive);
  selectors->setDefaultSectionSize(fontMetrics().height() + 4);
  selectors->setDefaultAlignment(Qt::AlignCenter);
}

BoundGrid::~BoundGrid() = default;

void BoundGrid::setDataControl(DataControl* dataControl) {
  m_dataControl = dataControl;
  setModel(dataControl->model());
  connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            if (current.isValid() && m_dataControl) m_dataControl->setCurrentRow(current.row());
          });
  connect(dataControl, &DataControl::currentRowChanged, this, &BoundGrid::followRow);
  // Another view, or the same one read again: "every row" no longer means what it did.
  connect(model(), &QAbstractItemModel::modelReset, this, [this] { m_wholeView = false; });
  connect(dataControl, &DataControl::recordsetShown, this, &BoundGrid::fitColumns);
}

void BoundGrid::followRow(int row) {
  if (row < 0 || row >= model()->rowCount()) return;
  const QModelIndex current = currentIndex();
  if (current.isValid() && current.row() == row) return;
  const int column = current.isValid() ? current.column() : 0;
  // The row alone, whatever keys are held: the navigator or the window moved, not a selection.
  selectionModel()->setCurrentIndex(model()->index(row, column),
                                    QItemSelectionModel::ClearAndSelect |
                                        QItemSelectionModel::Rows);
  scrollTo(currentIndex());
}

QString BoundGrid::columnCaption(int column) const {
  return model() ? model()->headerData(column, Qt::Horizontal).toString() : QString();
}

void BoundGrid::fitColumns() {
  QAbstractItemModel* rows = model();
  m_contentWidths.clear();
  if (!rows) return;
  const QFontMetrics cellText(font());
  const QFontMetrics headingText(horizontalHeader()->font());
  // Measuring stops once a column is sure to be as wide as it may be.
  const int widest = widestColumn();
  // The rows read so far are the first batch: measuring them reads nothing more.
  const int measured = std::min(rows->rowCount(), static_cast<int>(engine::Recordset::kBatchRows));
  std::vector<QString> texts;
  for (int column = 0; column < rows->columnCount(); ++column) {
    int width = headingText.horizontalAdvance(columnCaption(column));
    texts.clear();
    for (int row = 0; row < measured; ++row)
      texts.push_back(rows->index(row, column).data(Qt::DisplayRole).toString());
    // The widest text is among the longest ones: only those are measured.
    const std::size_t longest = std::min(texts.size(), kTextsMeasured);
    std::partial_sort(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(longest),
                      texts.end(),
                      [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (std::size_t i = 0; i < longest && width < widest; ++i)
      width = std::max(width, cellText.horizontalAdvance(texts[i]));
    m_contentWidths.push_back(width + kCellMargin);
  }
  applyWidths();
}

int BoundGrid::widestColumn() const {
  return std::max(kNarrowestColumn, static_cast<int>(viewport()->width() * kWidestColumnShare));
}

void BoundGrid::applyWidths() {
  m_fitting = true;
  const int widest = widestColumn();
  for (int column = 0; column < static_cast<int>(m_contentWidths.size()); ++column) {
    const auto user = m_userWidths.constFind(columnCaption(column));
    setColumnWidth(column, user != m_userWidths.constEnd()
                               ? *user
                               : std::clamp(m_contentWidths[column], kNarrowestColumn, widest));
  }
  m_fitting = false;
}

void BoundGrid::setUserWidths(const QHash<QString, int>& widths) {
  m_userWidths = widths;
  applyWidths();
}

void BoundGrid::setModel(QAbstractItemModel* model) {
  QTableView::setModel(model);
  // Connected after the headings' own reset, so the new view's columns are there to be moved.
  if (model) connect(model, &QAbstractItemModel::modelReset, this, &BoundGrid::applyUserOrder);
}

void BoundGrid::setUserColumnOrder(const QStringList& headings) {
  m_userOrder = headings;
  applyUserOrder();
}

void BoundGrid::keepUserOrder() {
  if (m_ordering || !model()) return;
  const QHeaderView* headings = horizontalHeader();
  QStringList order;
  for (int place = 0; place < headings->count(); ++place)
    order << columnCaption(headings->logicalIndex(place));
  // Headings of other views, the console's for one, keep their order after this view's.
  for (const QString& heading : std::as_const(m_userOrder))
    if (!order.contains(heading)) order << heading;
  m_userOrder = order;
}

void BoundGrid::applyUserOrder() {
  QHeaderView* headings = horizontalHeader();
  const int count = model() ? std::min(headings->count(), model()->columnCount()) : 0;
  // The columns the order names take the places those columns have in the view, in the order's
  // sequence; the others stay where the view puts them. Worked out from the view's own order
  // every time: the headings may still hold the moves of the view before.
  std::vector<int> wanted(static_cast<std::size_t>(count));
  std::vector<int> named;
  std::vector<qsizetype> rank(static_cast<std::size_t>(count), -1);
  for (int column = 0; column < count; ++column) {
    wanted[column] = column;
    rank[column] = m_userOrder.indexOf(columnCaption(column));
    if (rank[column] >= 0) named.push_back(column);
  }
  std::vector<int> ranked = named;
  std::stable_sort(ranked.begin(), ranked.end(), [&](int a, int b) { return rank[a] < rank[b]; });
  for (std::size_t i = 0; i < named.size(); ++i) wanted[named[i]] = ranked[i];
  m_ordering = true;
  for (int place = 0; place < count; ++place) {
    const int from = headings->visualIndex(wanted[place]);
    if (from != place) headings->moveSection(from, place);
  }
  m_ordering = false;
}

void BoundGrid::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  // A wider grid lets long columns grow with it (a maximized window fills its width); what
  // they hold was measured when the view was shown.
  if (event->oldSize().width() != event->size().width()) applyWidths();
}

void BoundGrid::keyPressEvent(QKeyEvent* event) {
  // The view's real last row, as the navigator's last button finds it, not the last one read.
  if (event->key() == Qt::Key_End && m_dataControl && state() != EditingState &&
      (event->modifiers() & ~Qt::KeypadModifier & ~Qt::ControlModifier) == Qt::NoModifier) {
    m_dataControl->moveLast();
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Delete && state() != EditingState &&
      (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    event->accept();
    emit deletePressed();
    return;
  }
  QTableView::keyPressEvent(event);
}

std::vector<int> BoundGrid::selectedRowNumbers() const {
  std::vector<int> rows;
  if (selectionModel())
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  if (rows.empty() && currentIndex().isValid()) rows.push_back(currentIndex().row());
  return rows;
}

void BoundGrid::selectAll() {
  m_selectingAll = true;
  QTableView::selectAll();
  m_selectingAll = false;
  m_wholeView = model() && model()->rowCount() > 0;
}

void BoundGrid::selectionChanged(const QItemSelection& selected,
                                 const QItemSelection& deselected) {
  QTableView::selectionChanged(selected, deselected);
  if (!m_selectingAll) m_wholeView = false;
}

void BoundGrid::contextMenuEvent(QContextMenuEvent* event) {
  int row = -1;
  QPoint at = event->globalPos();
  if (event->reason() == QContextMenuEvent::Mouse) {
    row = indexAt(viewport()->mapFromGlobal(event->globalPos())).row();
  } else if (currentIndex().isValid()) {
    // From the keyboard: the current row, at its cell.
    row = currentIndex().row();
    at = viewport()->mapToGlobal(visualRect(currentIndex()).center());
  }
  if (row < 0) return;
  event->accept();
  emit rowMenuRequested(row, at);
}

}  // namespace catalog
