#include "catalog/datacontrol.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <limits>

#include "catalog/catalogue.h"
#include "catalog/recordsetmodel.h"
#include "catalog/statements.h"
#include "engine/errors.h"
#include "engine/sqltext.h"

namespace catalog {

namespace {

// How far past the row it was at, and how long, a row is looked for after the view is read
// again.
constexpr std::size_t kLookAhead = 4 * engine::Recordset::kBatchRows;
constexpr auto kLongestLook = std::chrono::milliseconds(200);

QToolButton* makeButton(QWidget* parent, const char* name, const QString& tip) {
  auto* button = new QToolButton(parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setToolTip(tip);
  // The buttons show only arrows: a screen reader says what the tip says.
  button->setAccessibleName(tip);
  button->setFocusPolicy(Qt::NoFocus);
  button->setAutoRaise(false);
  button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
  return button;
}

}  // namespace

DataControl::DataControl(QWidget* parent)
    : QFrame(parent),
      m_model(new RecordsetModel(this)),
      m_first(makeButton(this, "First", tr("First record"))),
      m_previous(makeButton(this, "Previous", tr("Previous record"))),
      m_next(makeButton(this, "Next", tr("Next record"))),
      m_last(makeButton(this, "Last", tr("Last record"))),
      m_caption(new QLabel(this)) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setFocusPolicy(Qt::NoFocus);
  m_first->setIcon(style()->standardIcon(QStyle::SP_MediaSkipBackward));
  m_previous->setArrowType(Qt::LeftArrow);
  m_next->setArrowType(Qt::RightArrow);
  m_last->setIcon(style()->standardIcon(QStyle::SP_MediaSkipForward));
  m_caption->setObjectName(QStringLiteral("Caption"));
  m_caption->setAlignment(Qt::AlignCenter);
  m_caption->setTextFormat(Qt::PlainText);
  m_caption->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(1, 1, 1, 1);
  layout->setSpacing(0);
  layout->addWidget(m_first);
  layout->addWidget(m_previous);
  layout->addWidget(m_caption, 1);
  layout->addWidget(m_next);
  layout->addWidget(m_last);

  connect(m_first, &QToolButton::clicked, this, &DataControl::moveFirst);
  connect(m_previous, &QToolButton::clicked, this, &DataControl::movePrevious);
  connect(m_next, &QToolButton::clicked, this, &DataControl::moveNext);
  connect(m_last, &QToolButton::clicked, this, &DataControl::moveLast);
  connect(m_model, &RecordsetModel::error, this, &DataControl::error);
}

DataControl::~DataControl() = default;

std::shared_ptr<engine::Recordset> DataControl::Recordset() const { return m_model->recordset(); }

void DataControl::setRecordset(std::shared_ptr<engine::Recordset> recordset, bool fitColumns) {
  m_model->setRecordset(std::move(recordset));
  rowsReplaced();
  if (fitColumns) emit recordsetShown();
}

int DataControl::idField() const {
  const auto& rs = m_model->recordset();
  if (!rs) return -1;
  for (int field = 0; field < rs->fieldCount(); ++field) {
    const engine::Recordset::Origin& origin = rs->origin(field);
    if (engine::equalsIgnoringCase(origin.table, kTableName) &&
        engine::equalsIgnoringCase(origin.column, "ID"))
      return field;
  }
  return -1;
}

std::optional<std::int64_t> DataControl::idOfRow(int row) {
  const auto& rs = m_model->recordset();
  const int field = idField();
  if (!rs || field < 0 || row < 0) return std::nullopt;
  try {
    if (!rs->isRead(row)) rs->ensureRow(row);
    syncRows();
    if (!rs->isRead(row)) return std::nullopt;
    const engine::Value id = rs->value(row, field);
    if (id.isInteger()) return id.integer();
  } catch (const engine::EngineError& e) {
    // Past the last row is no error: there is just no such row.
    if (e.number() != engine::err::kNoCurrentRecord && e.number() != engine::err::kItemNotFound)
      reportError(e);
    syncRows();
  } catch (const std::exception& e) {
    reportError(e);
    syncRows();
  }
  return std::nullopt;
}

bool DataControl::setCurrentRowById(std::int64_t id, int near) {
  const auto& rs = m_model->recordset();
  const int field = idField();
  if (!rs || field < 0) return false;
  const auto holds = [&](std::int64_t row) {
    if (row < 0 || !rs->isRead(row)) return false;
    const engine::Value value = rs->value(row, field);
    return value.isInteger() && value.integer() == id;
  };
  const auto moveTo = [&](std::int64_t row) {
    syncRows();
    if (row >= m_model->rowCount()) return false;
    setCurrentRow(static_cast<int>(row));
    return currentRow() == row;
  };
  try {
    if (holds(near)) return moveTo(near);
    for (std::int64_t row = 0; row < rs->rowCount(); ++row)
      if (holds(row)) return moveTo(row);
    // A new row usually comes last: the view's last rows are read without the ones between.
    if (rs->jumpToEnd())
      for (std::int64_t row = rs->knownRows() - 1; row >= 0 && rs->isRead(row); --row)
        if (holds(row)) return moveTo(row);
    // Then a little further, within a moment: a row that sorted far down a large view, or
    // that the view no longer lists, is not worth reading the whole view for.
    const std::int64_t readUpTo =
        std::max<std::int64_t>(near, 0) + static_cast<std::int64_t>(kLookAhead);
    const auto giveUp = std::chrono::steady_clock::now() + kLongestLook;
    for (std::size_t added = 0; !rs->isComplete() && rs->rowCount() < readUpTo &&
                                std::chrono::steady_clock::now() < giveUp &&
                                (added = rs->fetchMore()) > 0;)
      for (std::int64_t row = rs->rowCount() - static_cast<std::int64_t>(added);
           row < rs->rowCount(); ++row)
        if (holds(row)) return moveTo(row);
  } catch (const std::exception& e) {
    reportError(e);
  }
  syncRows();
  return false;
}

std::optional<std::int64_t> DataControl::countRows() {
  const auto& rs = m_model->recordset();
  if (!rs) return std::nullopt;
  std::optional<std::int64_t> rows;
  try {
    rows = rs->countRows();
  } catch (const std::exception& e) {
    reportError(e);
  }
  syncRows();
  return rows;
}

void DataControl::rowsReplaced() {
  const int row = currentRow();
  m_model->setCurrentRow(row);
  UpdateControls();
  emit currentRowChanged(row);
}

void DataControl::reportError(const std::exception& e) {
  const ErrorInfo info = describeError(e);
  emit error(info.number, QString::fromStdString(info.description));
}

int DataControl::currentRow() const {
  const auto& rs = m_model->recordset();
  if (!rs) return -1;
  const std::int64_t row = rs->AbsolutePosition();
  return row >= 0 && row < m_model->rowCount() ? static_cast<int>(row) : -1;
}

void DataControl::UpdateRecord() {
  const auto& rs = m_model->recordset();
  const int row = currentRow();
  if (!rs || row < 0) throw engine::EngineError(engine::err::kNoCurrentRecord, "No current record.");
  std::vector<std::pair<int, engine::Value>> changes;
  std::vector<Binding*> written;
  for (Binding& binding : m_bindings) {
    if (!binding.box || binding.box->text() == binding.loaded) continue;
    // Typed around the cut, the box would save the value's start, the mark and the typing: the
    // rest of the value, perhaps megabytes, would go without a word.
    if (binding.cut && binding.box->text().endsWith(binding.loaded.back()))
      throw engine::EngineError(
          engine::err::kNotUpdatable,
          binding.field + " is too long to edit in its box, which shows only its first " +
              std::to_string(kLongestShownText) +
              " characters. Edit it in its cell of the grid, or replace all of the box's text.");
    const int field = rs->fieldIndex(binding.field);
    if (field < 0)
      throw engine::EngineError(engine::err::kItemNotFound,
                                "Item '" + binding.field + "' not found in this collection.");
    changes.emplace_back(field, engine::Value(binding.box->text().toStdString()));
    written.push_back(&binding);
  }
  // With nothing typed this still checks that the row can be saved at all.
  m_model->updateRow(row, changes);
  for (Binding* binding : written) {
    binding->loaded = binding->box->text();
    binding->cut = false;
  }
}

void DataControl::UpdateControls() {
  const auto& rs = m_model->recordset();
  if (!rs) return;
  const int row = currentRow();
  for (Binding& binding : m_bindings) {
    if (!binding.box) continue;
    QString text;
    const int field = rs->fieldIndex(binding.field);
    if (row >= 0 && field >= 0) {
      try {
        text = QString::fromStdString(rs->value(row, field, kShownTextBytes).toText());
      } catch (const std::exception& e) {
        reportError(e);
      }
    }
    // A box lays out all of its text at every change and paint: a value too long for that shows
    // cut, as in the grid. Left as it is, it is not saved (see UpdateRecord); typed into, it
    // saves what it shows.
    binding.cut = text.size() > kLongestShownText;
    if (binding.cut) text = shownText(std::move(text));
    binding.loaded = text;
    binding.box->setText(text);
  }
}

void DataControl::Refresh() {
  if (!m_model->recordset()) return;
  try {
    m_model->requery();
  } catch (...) {
    rowsReplaced();
    throw;
  }
  rowsReplaced();
}

QString DataControl::searchText(const QLineEdit* box) const {
  const QString text = box->text();
  for (const Binding& binding : m_bindings)
    if (binding.box == box && binding.cut && text == binding.loaded) return text.chopped(1);
  return text;
}

QString DataControl::Caption() const { return m_captionText; }

void DataControl::setCaption(const QString& caption) {
  m_captionText = caption;
  m_caption->setText(shownText(caption));
}

void DataControl::bindTextBox(QLineEdit* box, const std::string& field) {
  // The box holds the field's whole text, however long.
  box->setMaxLength(std::numeric_limits<int>::max());
  m_bindings.push_back({box, field, box->text()});
}

void DataControl::setCurrentRow(int row) {
  const auto& rs = m_model->recordset();
  if (!rs || row < 0 || row == currentRow()) return;
  try {
    rs->setAbsolutePosition(row);
  } catch (const engine::EngineError& e) {
    // No such row is no error for a navigator: it stays where it is.
    if (e.number() != engine::err::kNoCurrentRecord) reportError(e);
    syncRows();
    return;
  } catch (const std::exception& e) {
    reportError(e);
    return;
  }
  syncRows();
  m_model->setCurrentRow(row);
  UpdateControls();
  emit currentRowChanged(row);
}

void DataControl::moveFirst() { setCurrentRow(0); }

void DataControl::movePrevious() {
  const int row = currentRow();
  if (row > 0) setCurrentRow(row - 1);
}

void DataControl::moveNext() {
  const int row = currentRow();
  if (row >= 0) setCurrentRow(row + 1);
}

void DataControl::moveLast() {
  const auto& rs = m_model->recordset();
  if (!rs) return;
  try {
    // The last rows only, when the set can be counted: the rows in between are read when shown.
    if (!rs->jumpToEnd()) rs->readAll();
  } catch (const std::exception& e) {
    // The rows read before the failure are still there to move to.
    reportError(e);
  }
  syncRows();
  setCurrentRow(m_model->rowCount() - 1);
}

void DataControl::syncRows() { m_model->syncRows(); }

}  // namespace catalog
