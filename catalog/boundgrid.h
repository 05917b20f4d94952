#pragma once

#include <QString>
#include <QTableView>

namespace catalog {

class DataControl;

// The grid bound to a data control: its columns, record selectors at the left, cells edited in
// place where the record set allows. Headings never sort on the client; a click is reported
// through headClick for the window to re-run its query. The grid's current row and the data
// control's are one.
class BoundGrid final : public QTableView {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(BoundGrid)

 public:
  explicit BoundGrid(QWidget* parent = nullptr);
  ~BoundGrid() override;

  void setDataControl(DataControl* dataControl);

  // A column's heading text.
  QString columnCaption(int column) const;

 signals:
  void headClick(int column);

 private:
  void followRow(int row);

  DataControl* m_dataControl = nullptr;
};

}  // namespace catalog
