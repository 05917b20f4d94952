#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QTableView>

#include <vector>

namespace catalog {

class DataControl;

// The grid bound to a data control: its columns, record selectors at the left, cells edited in
// place where the record set allows. Headings never sort on the client; a click is reported
// through headClick for the window to re-run its query. The grid's current row and the data
// control's are one. Columns fit what they show when a view is shown, unless the user sized
// them; paths are cut in the middle. End and Ctrl+End go to the view's last row. Whole rows are
// selected, several at a time with Shift and Ctrl; Ctrl+A selects the whole view, also the rows
// not read yet.
class BoundGrid final : public QTableView {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(BoundGrid)

 public:
  explicit BoundGrid(QWidget* parent = nullptr);
  ~BoundGrid() override;

  void setDataControl(DataControl* dataControl);
  void setModel(QAbstractItemModel* model) override;

  // A column's heading text.
  QString columnCaption(int column) const;

  // Sizes every column to its heading and the rows read so far (the first batch), between a
  // small minimum and 40% of the grid's width; a column the user sized keeps that width.
  void fitColumns();

  // The selected rows in ascending order; the current row alone when none is selected.
  std::vector<int> selectedRowNumbers() const;
  // True after Ctrl+A (or selectAll()) until the selection changes: every row of the view is
  // meant, also those the grid has not read yet.
  bool wholeViewSelected() const { return m_wholeView; }

 public slots:
  void selectAll() override;
  // The widths the user dragged, by heading, and the order the user dragged the headings into,
  // so that the window can keep them between runs. Set, they apply to the shown view and to every
  // later one: a heading the user never sized is still fitted, and columns whose headings the
  // order does not name stay where the view puts them.
  QHash<QString, int> userWidths() const { return m_userWidths; }
  void setUserWidths(const QHash<QString, int>& widths);
  QStringList userColumnOrder() const { return m_userOrder; }
  void setUserColumnOrder(const QStringList& headings);

 signals:
  void headClick(int column);
  // The user asked for a row's menu (right click, or the menu key for the current row), to be
  // shown at `globalPos`.
  void rowMenuRequested(int row, const QPoint& globalPos);
  // Delete was pressed with no cell being edited.
  void deletePressed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void selectionChanged(const QItemSelection& selected,
                        const QItemSelection& deselected) override;

 private:
  void followRow(int row);
  // Sets every measured column's width: the user's, or what it holds within the limits.
  void applyWidths();
  int widestColumn() const;
  // Records the shown view's headings in the order the user left them; puts a new view's
  // columns in that order.
  void keepUserOrder();
  void applyUserOrder();

  DataControl* m_dataControl = nullptr;
  std::vector<int> m_contentWidths;  // by column: what the shown view's heading and rows need
  QHash<QString, int> m_userWidths;  // by heading: widths the user dragged
  bool m_fitting = false;           // the grid itself is sizing columns
  bool m_wholeView = false;
  bool m_selectingAll = false;
  QStringList m_userOrder;           // headings, in the order the user dragged them into
  bool m_ordering = false;           // the grid itself is moving columns
};

}  // namespace catalog
