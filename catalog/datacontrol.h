#pragma once

#include <QFrame>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/recordset.h"

class QLabel;
class QLineEdit;
class QToolButton;

namespace catalog {

class RecordsetModel;

// The record navigator: first, previous, next and last buttons with a caption between the
// arrows. It holds the record set that the grid lists and the bound text boxes show; its
// current row is the record set's. It takes no focus.
class DataControl final : public QFrame {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(DataControl)
  Q_PROPERTY(QString Caption READ Caption WRITE setCaption)

 public:
  explicit DataControl(QWidget* parent = nullptr);
  ~DataControl() override;

  std::shared_ptr<engine::Recordset> Recordset() const;
  // Lists the record set's rows with its first row current and reloads the bound boxes.
  // `fitColumns` false keeps the grid's column widths (the same rows in another order).
  void setRecordset(std::shared_ptr<engine::Recordset> recordset, bool fitColumns = true);

  // Writes the bound boxes whose text was changed into the current row, all in one update.
  // Throws engine::EngineError: kNoCurrentRecord without a record set or current row,
  // kNotUpdatable for a record set that cannot be updated, kItemNotFound when a changed box's
  // field is not in the record set, and what the engine's update raises.
  void UpdateRecord();
  // Reloads the bound boxes from the current row; typed text is discarded. Without a record
  // set the boxes are left as they are. Never throws.
  void UpdateControls();
  // Runs the record set's source again: rows changed since show, the first row becomes current.
  // Does nothing without a record set. Throws engine::EngineError; the rows stay as they were.
  void Refresh();

  // The text shown between the arrows.
  QString Caption() const;
  void setCaption(const QString& caption);

  // Shows `field` of the current row in `box`.
  void bindTextBox(QLineEdit* box, const std::string& field);
  // What a bound box holds to search for: its text, or, while it still shows a value cut as it
  // was given, the part of the value it shows.
  QString searchText(const QLineEdit* box) const;

  RecordsetModel* model() const { return m_model; }
  // The current row; -1 when there is none.
  int currentRow() const;

  // The catalogue ID of `row`, reading up to it; nullopt when the view lists no ID of the
  // catalogue, or no such row. Never throws.
  std::optional<std::int64_t> idOfRow(int row);
  // Makes the row with catalogue ID `id` current: looks at row `near` first, then at the rows
  // read so far, then at the view's last rows, then reads on a few batches past `near` for at
  // most a fifth of a second. False, with nothing moved, when it is not found so. Never throws.
  bool setCurrentRowById(std::int64_t id, int near);
  // How many rows the view lists, counted without reading them all; nullopt without a record
  // set or when they cannot be counted. Never throws: a failure is reported through error().
  std::optional<std::int64_t> countRows();

 public slots:
  // Makes `row` current when it exists, reading up to it, and reloads the bound boxes.
  void setCurrentRow(int row);
  void moveFirst();
  void movePrevious();
  void moveNext();
  void moveLast();
  // Lets the grid know about rows the record set read behind its back.
  void syncRows();

 signals:
  // After every change of the current row, and after a new or re-read record set.
  void currentRowChanged(int row);
  // A new record set is listed (not a re-read of the same one) whose columns are to fit it.
  void recordsetShown();
  void error(int number, const QString& description);

 private:
  struct Binding {
    QPointer<QLineEdit> box;
    std::string field;
    QString loaded;  // the text put there last, to tell typed changes
    bool cut = false;  // it was given a value cut to show
  };

  void rowsReplaced();
  // The field holding the catalogue's ID; -1 when the view lists none.
  int idField() const;
  void reportError(const std::exception& e);

  RecordsetModel* m_model;
  QToolButton* m_first;
  QToolButton* m_previous;
  QToolButton* m_next;
  QToolButton* m_last;
  QLabel* m_caption;
  QString m_captionText;
  std::vector<Binding> m_bindings;
};

}  // namespace catalog
