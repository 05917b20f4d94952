#include "catalog/boundgrid.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QLineEdit>
#include <QStyledItemDelegate>

#include <limits>

#include "catalog/datacontrol.h"
#include "catalog/recordsetmodel.h"

namespace catalog {

namespace {

constexpr double kGridPointSize = 8.25;
constexpr int kRecordSelectorWidth = 15;

// Cell editors hold a cell's whole text: a line edit's own limit (32,767 characters) would cut a
// long comment short when the cell is merely opened and closed.
class WholeTextDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor))
      line->setMaxLength(std::numeric_limits<int>::max());
    return editor;
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
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setStyleSheet(QStringLiteral("QTableView { gridline-color: #808080; }"));
  setItemDelegate(new WholeTextDelegate(this));

  QHeaderView* headings = horizontalHeader();
  headings->setSectionsClickable(true);
  headings->setSortIndicatorShown(false);
  headings->setHighlightSections(false);
  connect(headings, &QHeaderView::sectionClicked, this, &BoundGrid::headClick);

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
}

void BoundGrid::followRow(int row) {
  if (row < 0 || row >= model()->rowCount()) return;
  const QModelIndex current = currentIndex();
  if (current.isValid() && current.row() == row) return;
  const int column = current.isValid() ? current.column() : 0;
  setCurrentIndex(model()->index(row, column));
  scrollTo(currentIndex());
}

QString BoundGrid::columnCaption(int column) const {
  return model() ? model()->headerData(column, Qt::Horizontal).toString() : QString();
}

}  // namespace catalog
