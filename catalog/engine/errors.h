#pragma once

#include <stdexcept>
#include <string>

namespace engine {

// The one error type of the engine. Failures that SQLite reports carry SQLite's extended result
// code and message; the engine's own failures carry one of the numbers below.
class EngineError : public std::runtime_error {
 public:
  EngineError(int number, std::string description);

  int number() const noexcept { return m_number; }
  const std::string& description() const noexcept { return m_description; }

 private:
  int m_number;
  std::string m_description;
};

// The engine's own error numbers. They lie outside SQLite's result codes (whose low byte is
// always below 128), so one number names one kind of failure.
namespace err {
inline constexpr int kInvalidArgument = 3001;   // unknown record set type, bad index
inline constexpr int kNoCurrentRecord = 3021;   // BOF or EOF, or an empty record set
inline constexpr int kFileNotFound = 3024;      // the catalogue file does not exist
inline constexpr int kNotUpdatable = 3027;      // record set or column cannot be written
inline constexpr int kSelectNotAllowed = 3065;  // Execute was given a statement returning rows
inline constexpr int kTableNotFound = 3078;     // table-type source names no table
inline constexpr int kRecordDeleted = 3167;     // the row to update is gone
inline constexpr int kTrailingText = 3142;      // more than one statement in one text
inline constexpr int kItemNotFound = 3265;      // no such field or workspace
inline constexpr int kNotADatabase = 3343;      // empty, foreign or Jet-format file
inline constexpr int kObjectClosed = 3420;      // handle used after Close
inline constexpr int kEmptyStatement = 3501;    // SQL text with no statement in it
inline constexpr int kStatementRefused = 3502;  // transaction control, ATTACH, setting PRAGMAs
inline constexpr int kTransactionLeftOpen = 3503;  // a statement left a transaction open
inline constexpr int kViewTooLarge = 3504;      // a record set outgrew the row cache
inline constexpr int kChangeIgnored = 3505;     // a trigger left the edited row as it was
inline constexpr int kExportFailed = 3506;      // a view could not be written to a file
}  // namespace err

// True for SQLITE_BUSY and its extended codes: another connection held the catalogue for longer
// than the statement would wait. Not SQLITE_BUSY_SNAPSHOT (517): a write that began in an old
// snapshot fails at once, and waiting does not change that.
inline bool isLockTimeout(const EngineError& error) {
  return (error.number() & 0xFF) == 5 && error.number() != 517;
}

}  // namespace engine
