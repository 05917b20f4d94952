#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace catalog {

// One field as the catalogue holds it, as text; nullopt for NULL. Numbers come back as numbers
// when written again, through the columns' affinity.
using FieldText = std::optional<std::string>;

// A music_shelf row with every one of its twelve columns (ID first), and its shelf_files row when
// it has one, so that a row brought back is known to the rescan as before.
struct SongRow {
  std::int64_t id = 0;
  std::vector<FieldText> song;
  std::optional<std::vector<FieldText>> file;

  bool operator==(const SongRow&) const = default;
};

// A value as readSongRows gives it back: the text SQLite renders, nullopt for NULL.
FieldText fieldTextOf(const engine::Value& value);
// The field of `row` named `column` (any case); nullptr for no catalogue column of that name.
const FieldText* songField(const SongRow& row, std::string_view column);

// The rows with these IDs as they are now, in the order of `ids`; nullopt for an ID with no row.
// Throws engine::EngineError.
std::vector<std::optional<SongRow>> readSongRows(engine::Database& db,
                                                 const std::vector<std::int64_t>& ids);

// Deletes the music_shelf rows with these IDs in one statement; returns how many went.
// Throws engine::EngineError, with nothing deleted.
std::int64_t deleteSongRows(engine::Database& db, const std::vector<std::int64_t>& ids);

// Writes one column of one row, waiting at most `lockWait` for another program's lock; NULL for
// a null value. Throws engine::EngineError (isLockTimeout when the wait ran out).
void writeSongField(engine::Database& db, std::int64_t id, const std::string& column,
                    const engine::Value& value, std::chrono::milliseconds lockWait);

// What the window did to the catalogue, to be undone and redone: deletes, edits and added rows.
// Each step keeps the rows as they were before it and as it left them. Undo makes the catalogue
// hold the rows as before again, redo as after, each in one unit of the engine; rows come back
// with their IDs and every value. Where a row is no longer as the step left it (another program
// changed it, or it is gone, or it is there again), the question is asked first, and No leaves
// everything as it is. A step that fails stays where it was.
class UndoStack final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(UndoStack)

 public:
  using Question = std::function<bool(const QString& text)>;
  // A delete of more rows than this is done without a step: the rows would take too much memory.
  static constexpr std::size_t kMostRowsKept = 100000;

  explicit UndoStack(QObject* parent = nullptr);
  ~UndoStack() override;

  // Deletes the rows with these IDs, in one statement, as the step `label`; returns how many
  // went. Throws engine::EngineError, with nothing deleted and no step.
  std::int64_t deleteRows(engine::Database& db, const std::vector<std::int64_t>& ids,
                          const QString& label);
  // Records a step for rows the window changed itself: `before` as read just before (nullopt
  // where there was no row); the rows are read again now for how it left them. An edit (`edit`
  // true) is compared and written back column by column, only in the columns it changed; a
  // step that changed nothing is not kept. Throws engine::EngineError, with no step.
  void record(engine::Database& db, const QString& label,
              const std::vector<std::int64_t>& ids,
              const std::vector<std::optional<SongRow>>& before, bool edit);

  bool canUndo() const { return !m_done.empty(); }
  bool canRedo() const { return !m_undone.empty(); }
  // The step's name ("Delete 12 Songs"); empty when there is none.
  QString undoLabel() const;
  QString redoLabel() const;

  // What an undo or redo did: whether it ran, and the row to make current (the first row it
  // brought back or changed; for rows it removed, the first of them, which is gone).
  struct Outcome {
    bool done = false;
    std::optional<std::int64_t> row;
  };
  // Throw engine::EngineError, with the catalogue and both lists as they were.
  Outcome undo(engine::Database& db, const Question& ask);
  Outcome redo(engine::Database& db, const Question& ask);

  void clear();

 signals:
  // The lists changed: the menu's entries say something else now.
  void changed();

 private:
  struct Step {
    QString label;
    std::vector<std::int64_t> ids;
    std::vector<std::optional<SongRow>> before;
    std::vector<std::optional<SongRow>> after;
    std::vector<int> columns;  // for an edit, the music_shelf columns it changed; else empty
  };
  // Makes the rows `to` where they are `from`, asking first where they are not.
  static bool apply(engine::Database& db, const Step& step, bool undoing, const Question& ask);
  Outcome carryOut(engine::Database& db, std::vector<Step>& from, std::vector<Step>& to,
                   bool undoing, const Question& ask);
  void push(Step step);

  std::vector<Step> m_done;
  std::vector<Step> m_undone;
};

}  // namespace catalog
