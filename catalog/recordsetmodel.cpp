#include "catalog/recordsetmodel.h"

#include <algorithm>
#include <climits>
#include <string>
#include <string_view>

#include "catalog/lengths.h"
#include "catalog/statements.h"
#include "engine/errors.h"
#include "engine/sqltext.h"

namespace catalog {

namespace {

// Record selectors: the current row carries a marker, the others nothing.
const QString kCurrentRowMarker = QStringLiteral("\u25B6");

int clampRows(std::int64_t rows) { return static_cast<int>(std::min<std::int64_t>(rows, INT_MAX)); }

int columnNamed(std::string_view name) {
  for (int c = 0; c < kColumnCount; ++c)
    if (std::string_view(kColumns[c]) == name) return c;
  return -1;
}

}  // namespace

QString shownText(QString text) {
  if (text.size() <= kLongestShownText) return text;
  qsizetype keep = kLongestShownText;
  if (text.at(keep - 1).isHighSurrogate()) --keep;
  text.truncate(keep);
  text.append(QChar(0x2026));
  return text;
}

QString shownEnds(const QString& head, const QString& tail) {
  constexpr qsizetype kHalf = kLongestShownText / 2;
  qsizetype first = std::min(head.size(), kHalf);
  if (first > 0 && first < head.size() && head.at(first - 1).isHighSurrogate()) --first;
  qsizetype last = std::min(tail.size(), kHalf);
  if (last > 0 && last < tail.size() && tail.at(tail.size() - last).isLowSurrogate()) --last;
  return head.first(first) + QChar(0x2026) + tail.last(last);
}

QString shownPath(const QString& path) {
  return path.size() <= kLongestShownText ? path : shownEnds(path, path);
}

std::optional<QString> formatLength(const engine::Value& value) {
  if (!value.isInteger() || value.integer() < 0) return std::nullopt;
  return QString::fromStdString(lengthText(value.integer()));
}

std::optional<std::int64_t> parseLength(const QString& text) {
  const std::string typed = text.toStdString();
  return catalog::parseLength(typed);
}

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
  static const int column = columnNamed("Filename");
  return column;
}

int RecordsetModel::durationColumn() {
  static const int column = columnNamed("Duration");
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
  for (KeptEdit& kept : m_kept) kept.row = -1;
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
  for (KeptEdit& kept : m_kept) kept.row = -1;
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
    const KeptEdit* kept = keptAt(index.row(), index.column());
    if (role == Qt::EditRole)
      return cellText(index.column(), kept ? kept->value : m_recordset->value(index.row(), field));
    if (kept) {
      const engine::Value& whole = kept->value;
      return shownCell(index.column(), whole.isText() ? whole.text().size() : 0,
                       [&](std::size_t longest, std::size_t from) -> engine::Value {
                         if (!whole.isText()) return whole;
                         return std::string_view(whole.text()).substr(from, longest);
                       });
    }
    return shownCell(index.column(), m_recordset->textBytes(index.row(), field),
                     [&](std::size_t longest, std::size_t from) {
                       return m_recordset->value(index.row(), field, longest, from);
                     });
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

QString RecordsetModel::shownCell(
    int column, std::size_t bytes,
    const std::function<engine::Value(std::size_t longest, std::size_t from)>& part) const {
  const bool path = column == filenameColumn();
  if (bytes <= kShownTextBytes) {
    const QString text = cellText(column, part(std::string::npos, 0));
    return path ? shownPath(text) : shownText(text);
  }
  if (!path) return shownText(cellText(column, part(kShownTextBytes, 0)));
  // A path keeps both ends, so that the file's name shows. Each half is read with a character
  // more than it shows; a character cut at the join lies in what is left out.
  constexpr std::size_t kHalfBytes = kShownTextBytes / 2;
  return shownEnds(QString::fromStdString(part(kHalfBytes, 0).toText()),
                   QString::fromStdString(part(kHalfBytes, bytes - kHalfBytes).toText()));
}

QString RecordsetModel::cellText(int column, const engine::Value& value) const {
  if (column == durationColumn())
    if (const std::optional<QString> length = formatLength(value)) return *length;
  return QString::fromStdString(value.toText());
}

const RecordsetModel::KeptEdit* RecordsetModel::keptAt(int row, int column) const {
  if (row < 0) return nullptr;
  for (const KeptEdit& kept : m_kept)
    if (kept.row == row && kept.column == column) return &kept;
  return nullptr;
}

bool RecordsetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || index.row() >= m_rows ||
      !(flags(index) & Qt::ItemIsEditable))
    return false;
  const int field = fieldOfColumn(index.column());
  const QString text = value.toString();
  engine::Value typed(text.toStdString());
  try {
    if (!m_recordset->isRead(index.row())) m_recordset->ensureRow(index.row());
    const engine::Value stored = m_recordset->value(index.row(), field);
    const KeptEdit* kept = keptAt(index.row(), index.column());
    // An editor closed without a change writes nothing, so NULLs, numbers and bytes that are
    // not valid UTF-8 stay as they are. Typing the stored value again gives up an edit the lock
    // kept out; leaving the kept value as it was keeps it waiting.
    if (cellText(index.column(), stored) == text) {
      if (kept) dropKeptEdit(kept->id, kept->field);
      return true;
    }
    if (kept && cellText(index.column(), kept->value) == text) return true;
    if (index.column() == durationColumn()) {
      // A length is kept in seconds; an emptied cell holds none.
      const std::optional<std::int64_t> seconds = parseLength(text);
      if (!text.trimmed().isEmpty() && !seconds)
        throw engine::EngineError(
            kTypeMismatch, "'" + text.toStdString() +
                               "' is not a length: type minutes and seconds (3:07), hours, "
                               "minutes and seconds (1:02:03), or seconds (187).");
      typed = seconds ? engine::Value(*seconds) : engine::Value();
    }
    // Read before the write: afterwards the row holds the new value.
    const auto cell = catalogueCell(index.row(), field);
    emit cellAboutToBeWritten(index.row());
    updateRow(index.row(), {{field, typed}});
    // A kept edit of the same field, from this view or an earlier one, is older than this.
    if (cell) dropKeptEdit(cell->first, cell->second);
    emit cellWritten(index.row(), index.column());
  } catch (const engine::EngineError& e) {
    // What was typed stays, to be written once the other program lets go.
    if (engine::isLockTimeout(e) && keepEdit(index.row(), index.column(), field, typed))
      return true;
    reportError(e);
    return false;
  } catch (const std::exception& e) {
    reportError(e);
    return false;
  }
  return true;
}

std::optional<std::pair<std::int64_t, std::string>> RecordsetModel::catalogueCell(
    int row, int field) const {
  // Only an edit of a catalogue row whose ID the view lists can be written later, by that ID.
  const engine::Recordset::Origin& origin = m_recordset->origin(field);
  if (!engine::equalsIgnoringCase(origin.table, kTableName) || !m_recordset->isRead(row))
    return std::nullopt;
  for (int f = 0; f < m_recordset->fieldCount(); ++f) {
    const engine::Recordset::Origin& id = m_recordset->origin(f);
    if (!engine::equalsIgnoringCase(id.table, kTableName) ||
        !engine::equalsIgnoringCase(id.column, "ID"))
      continue;
    const engine::Value key = m_recordset->value(row, f);
    if (!key.isInteger()) return std::nullopt;
    return std::make_pair(key.integer(), origin.column);
  }
  return std::nullopt;
}

bool RecordsetModel::keepEdit(int row, int column, int field, const engine::Value& value) {
  const auto cell = catalogueCell(row, field);
  if (!cell) return false;
  KeptEdit kept{cell->first, cell->second, value, m_recordset->value(row, field), row, column};
  const auto same = std::find_if(m_kept.begin(), m_kept.end(), [&](const KeptEdit& k) {
    return k.id == kept.id && engine::equalsIgnoringCase(k.field, kept.field);
  });
  if (same != m_kept.end()) {
    const int oldRow = same->row;
    const int oldColumn = same->column;
    m_kept.erase(same);
    if (oldRow != row || oldColumn != column) announceCell(oldRow, oldColumn);
  }
  m_kept.push_back(std::move(kept));
  announceCell(row, column);
  emit editKept();
  return true;
}

void RecordsetModel::announceCell(int row, int column) {
  if (row >= 0 && row < m_rows) emit dataChanged(index(row, column), index(row, column));
}

void RecordsetModel::dropKeptEdit(std::int64_t id, const std::string& field) {
  const auto it = std::find_if(m_kept.begin(), m_kept.end(), [&](const KeptEdit& k) {
    return k.id == id && engine::equalsIgnoringCase(k.field, field);
  });
  if (it == m_kept.end()) return;
  const int row = it->row;
  const int column = it->column;
  m_kept.erase(it);
  announceCell(row, column);
}

void RecordsetModel::dropKeptEdits() {
  std::vector<KeptEdit> dropped;
  dropped.swap(m_kept);
  for (const KeptEdit& kept : dropped) announceCell(kept.row, kept.column);
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
