#pragma once

#include <QFrame>
#include <QPointer>
#include <QString>

#include <memory>
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
  void setRecordset(std::shared_ptr<engine::Recordset> recordset);

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

  RecordsetModel* model() const { return m_model; }
  // The current row; -1 when there is none.
  int currentRow() const;

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
  void error(int number, const QString& description);

 private:
  struct Binding {
    QPointer<QLineEdit> box;
    std::string field;
    QString loaded;  // the text put there last, to tell typed changes
  };

  void rowsReplaced();
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
