#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalog/catalogue.h"
#include "engine/recordset.h"

namespace catalog {

// A length kept in whole seconds as the grid shows it: "0:08", "3:07", from an hour "1:02:03";
// nullopt for a value that is no whole number of seconds (NULL, text, a fraction, below zero),
// which shows as it is.
std::optional<QString> formatLength(const engine::Value& value);
// A typed length in whole seconds: "m:ss", "h:mm:ss" or plain seconds ("187"), blanks around
// it ignored; nullopt for anything else.
std::optional<std::int64_t> parseLength(const QString& text);

// The most characters of one value the grid shows; a longer value shows cut, with "…" after
// it. Laying out, measuring or reading aloud a title of megabytes would hold the window for
// seconds. The whole value stays in the catalogue, in the cell's editor and in exports.
inline constexpr int kLongestShownText = 4000;
// The bytes of a value to read to show it: a character takes at most 4, and one more character
// than is shown tells that it was cut. A read that ends inside a character ends past what shows.
inline constexpr std::size_t kShownTextBytes =
    4 * (static_cast<std::size_t>(kLongestShownText) + 1);
// `text` as the window shows a value: cut to kLongestShownText characters, never half a
// surrogate pair, "…" after a cut. (A cut may part a letter from an accent typed after it.)
QString shownText(QString text);
// A text too long to show whole, given its start and its end, as the window shows a path: half
// of kLongestShownText characters from each, "…" between, never half a surrogate pair.
QString shownEnds(const QString& head, const QString& tail);
// A path as the window shows it: whole, or cut in the middle as shownEnds() does.
QString shownPath(const QString& path);

// The grid's view of a record set: the twelve catalogue columns, each bound to the field of the
// same name (a field the record set lacks gives empty cells), then every other field of the
// record set, headed by its name. Rows come in batches as the view scrolls. Engine errors never
// leave the model: they are sent out through error() and the model stops reading or keeps the
// old value. Duration shows and is typed as minutes and seconds; it is stored in seconds. A cell
// edit that another program's lock kept out is not lost: it is kept (see keptEdits()) and the
// cell goes on showing it until the window writes it or gives it up.
class RecordsetModel final : public QAbstractTableModel {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(RecordsetModel)

 public:
  explicit RecordsetModel(QObject* parent = nullptr);
  ~RecordsetModel() override;

  const std::shared_ptr<engine::Recordset>& recordset() const { return m_recordset; }
  void setRecordset(std::shared_ptr<engine::Recordset> recordset);

  // Runs the record set's source again. Throws engine::EngineError; the rows stay as they were.
  void requery();

  // Announces rows the record set read on other callers' behalf (moving to a row further on,
  // the engine finishing its readers before a write), and any error kept from that reading.
  void syncRows();

  // Writes fields of one row in one update (field indexes of the record set), then shows the
  // stored values. Throws engine::EngineError.
  void updateRow(int row, const std::vector<std::pair<int, engine::Value>>& changes);

  // The record set's field behind a grid column; -1 when the record set lacks it.
  int fieldOfColumn(int column) const;
  // The grid column of the catalogue's Filename field, and of Duration.
  static int filenameColumn();
  static int durationColumn();

  // A cell edit that waits for another program to release the catalogue: the music_shelf row's
  // ID, its column's name there, the value to write and the value the field held when it was
  // typed (so that a change saved meanwhile is never overwritten). `row` and `column` place it in
  // the grid while the view is the one it was typed in (row -1 once the view was read again).
  struct KeptEdit {
    std::int64_t id = 0;
    std::string field;
    engine::Value value;
    engine::Value before;
    int row = -1;
    int column = -1;
  };
  // The kept edits, at most one per ID and field, oldest first: a later edit of the same field
  // replaces the earlier one and goes last.
  const std::vector<KeptEdit>& keptEdits() const { return m_kept; }
  // Forgets the kept edit of this ID and field (written, given up, or overwritten by a newer
  // save); its cell shows the stored value again.
  void dropKeptEdit(std::int64_t id, const std::string& field);
  void dropKeptEdits();

  // The row the record selector marks.
  void setCurrentRow(int row);
  int currentRow() const { return m_currentRow; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

 signals:
  void error(int number, const QString& description);
  // A cell edit is about to be written to `row`, and was written (not sent for a kept edit or
  // for updateRow): for the window to keep what it changed for Undo.
  void cellAboutToBeWritten(int row);
  void cellWritten(int row, int column);
  // A cell edit found the catalogue locked by another program and is kept: the last of
  // keptEdits().
  void editKept();

 private:
  void mapColumns();
  void finishReset();
  void reportError(const std::exception& e) const;
  // The music_shelf ID and column behind a cell; nullopt when the view cannot tell (not a
  // catalogue field, no ID listed, the row not read).
  std::optional<std::pair<std::int64_t, std::string>> catalogueCell(int row, int field) const;
  // The cell's text as the grid shows `value` there.
  QString cellText(int column, const engine::Value& value) const;
  // What the grid shows in a cell whose value is `bytes` long (0 for a number or null), reading
  // only the parts of it that show through `part`, which gives at most `longest` of its bytes
  // from byte `from` on.
  QString shownCell(
      int column, std::size_t bytes,
      const std::function<engine::Value(std::size_t longest, std::size_t from)>& part) const;
  // The kept edit shown in this cell, if any.
  const KeptEdit* keptAt(int row, int column) const;
  // Keeps an edit the lock refused; false when it cannot be told which catalogue row it is for.
  bool keepEdit(int row, int column, int field, const engine::Value& value);
  void announceCell(int row, int column);

  std::shared_ptr<engine::Recordset> m_recordset;
  std::array<int, kColumnCount> m_fields{};
  std::vector<int> m_extraFields;  // fields that are none of the catalogue's, in their order
  int m_rows = 0;  // rows announced to views
  int m_currentRow = -1;
  bool m_announcing = false;  // a reset or an insertion is being announced
  mutable bool m_readErrorShown = false;  // one message per view for a failing cell read
  std::vector<KeptEdit> m_kept;
};

}  // namespace catalog
