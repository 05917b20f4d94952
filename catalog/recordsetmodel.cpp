#include "catalog/recordsetmodel.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "engine/errors.h"

namespace catalog {

namespace {

// Record selectors: the current row carries a marker, the others nothing.
const QString kCurrentRowMarker = QStringLiteral("\u25B6");

int clampRows(std::int64_t rows) { return static_cast<int>(std::min<std::int64_t>(rows, INT_MAX)); }

}  // namespace

RecordsetModel::RecordsetModel(QObject* parent) : QAbstractTableModel(parent) { m_fields.fill(-1); }

RecordsetModel::~RecordsetModel() = default;

void RecordsetModel::mapColumns() {
  for (int c = 0; c < kColumnCount; ++c)
    m_fields[c] = m_recordset ? m_recordset->fieldIndex(kColumns[c]) : -1;
  m_extraFields.clear();
  if (!m_recordset) return;
  for (int f = 0; f < m_recordset->fieldCount(); ++f)
    if (std::find(m_fields.begin(), m_fields.end(), f) == m_fields.end()) m_extraFields.push_back(f);
}

int RecordsetModel::filenameColumn() {
  static const int column = [] {
    for (int c = 0; c < kColumnCount; ++c)
      if (std::string_view(kColumns[c]) == "Filename") return c;
    return -1;
  }();
  return column;
}

void RecordsetModel::reportError(const std::exception& e) const {
  const ErrorInfo info = describeError(e);
  emit const_cast<RecordsetModel*>(this)->error(info.number, QString::fromStdString(info.description));
}

void RecordsetModel::finishReset() {
  // Rows fetched by a listener while the reset is still being announced would reach the
  // listeners after it before they heard of the reset.
  m_announcing = true;
  endResetModel();
  m_announcing = false;
}

void RecordsetModel::setRecordset(std::shared_ptr<engine::Recordset> recordset) {
  beginResetModel();
  m_recordset = std::move(recordset);
  m_rows = m_recordset ? clampRows(m_recordset->knownRows()) : 0;
  m_currentRow = -1;
  m_readErrorShown = false;
  mapColumns();
  finishReset();
}

void RecordsetModel::requery() {
  if (!m_recordset) return;
  beginResetModel();
  try {
    m_recordset->Requery();
  } catch (...) {
    // The record set is as it was; the views read it afresh all the same.
    m_rows = clampRows(m_recordset->knownRows());
    finishReset();
    throw;
  }
  m_rows = clampRows(m_recordset->knownRows());
  m_currentRow = -1;
  m_readErrorShown = false;
  mapColumns();
  finishReset();
}

void RecordsetModel::syncRows() {
  if (!m_recordset || m_announcing) return;
  try {
    // Reads nothing; throws the error of a read that failed while the engine finished the set.
    m_recordset->fetchMore(0);
  } catch (const std::exception& e) {
    reportError(e);
  }
  const int have = clampRows(m_recordset->knownRows());
  if (have > m_rows) {
    // Listeners may ask for more rows while they hear of these; they get them afterwards.
    m_announcing = true;
    beginInsertRows(QModelIndex(), m_rows, have - 1);
    m_rows = have;
    endInsertRows();
    m_announcing = false;
  }
}

void RecordsetModel::updateRow(int row, const std::vector<std::pair<int, engine::Value>>& changes) {
  if (!m_recordset)
    throw engine::EngineError(engine::err::kNoCurrentRecord, "No current record.");
  try {
    m_recordset->updateRow(row, changes);
  } catch (...) {
    syncRows();
    throw;
  }
  syncRows();
  if (row >= 0 && row < m_rows) emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

int RecordsetModel::fieldOfColumn(int column) const {
  if (column >= 0 && column < kColumnCount) return m_fields[column];
  const std::size_t extra = static_cast<std::size_t>(column - kColumnCount);
  return column >= kColumnCount && extra < m_extraFields.size() ? m_extraFields[extra] : -1;
}

void RecordsetModel::setCurrentRow(int row) {
  if (row == m_currentRow) return;
  const int old = m_currentRow;
  m_currentRow = row;
  if (old >= 0 && old < m_rows) emit headerDataChanged(Qt::Vertical, old, old);
  if (row >= 0 && row < m_rows) emit headerDataChanged(Qt::Vertical, row, row);
}

int RecordsetModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_rows;
}

int RecordsetModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount + static_cast<int>(m_extraFields.size());
}

QVariant RecordsetModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= m_rows) return {};
  // A path is shown cut in the middle; the whole of it shows on hovering.
  if (role == Qt::ToolTipRole && index.column() == filenameColumn()) role = Qt::DisplayRole;
  if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
  const int field = fieldOfColumn(index.column());
  if (field < 0 || !m_recordset) return QString();
  try {
    // A row between the first rows and the last ones that were read ahead is read now.
    if (!m_recordset->isRead(index.row())) m_recordset->ensureRow(index.row());
    return QString::fromStdString(m_recordset->value(index.row(), field).toText());
  } catch (const std::exception& e) {
    if (!m_readErrorShown) {
      m_readErrorShown = true;
      reportError(e);
    }
  }
  return QString();
}

QVariant RecordsetModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Horizontal) {
    if (section >= 0 && section < kColumnCount) return QString::fromLatin1(kColumns[section]);
    const int field = fieldOfColumn(section);
    return field >= 0 ? QVariant(QString::fromStdString(m_recordset->fieldName(field)))
                      : QVariant();
  }
  if (section < 0 || section >= m_rows) return {};
  return section == m_currentRow ? kCurrentRowMarker : QString();
}

Qt::ItemFlags RecordsetModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  const int field = fieldOfColumn(index.column());
  // ID is the row's identity: never edited in the grid, whatever the record set allows.
  if (index.column() != 0 && field >= 0 && m_recordset && m_recordset->isColumnUpdatable(field))
    flags |= Qt::ItemIsEditable;
  return flags;
}

bool RecordsetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || index.row() >= m_rows ||
      !(flags(index) & Qt::ItemIsEditable))
    return false;
  const int field = fieldOfColumn(index.column());
  const QString text = value.toString();
  try {
    // An editor closed without a change writes nothing, so NULLs, numbers and bytes that are
    // not valid UTF-8 stay as they are. The comparison is on what the editor showed.
    if (QString::fromStdString(m_recordset->value(index.row(), field).toText()) == text)
      return true;
    updateRow(index.row(), {{field, engine::Value(text.toStdString())}});
  } catch (const std::exception& e) {
    reportError(e);
    return false;
  }
  return true;
}

bool RecordsetModel::canFetchMore(const QModelIndex& parent) const {
  if (parent.isValid() || !m_recordset || m_announcing) return false;
  // Once the set's end is known the grid lists every row already; those in between are read as
  // they are shown.
  return m_recordset->knownRows() > m_rows ||
         (!m_recordset->isComplete() && m_recordset->knownRows() == m_recordset->rowCount());
}

void RecordsetModel::fetchMore(const QModelIndex& parent) {
  if (parent.isValid() || !m_recordset || m_announcing) return;
  if (m_recordset->knownRows() <= m_rows) {
    try {
      m_recordset->fetchMore(engine::Recordset::kBatchRows);
    } catch (const std::exception& e) {
      // The rows read before the failure stay; the record set reads no further.
      reportError(e);
    }
  }
  syncRows();
}

}  // namespace catalog
