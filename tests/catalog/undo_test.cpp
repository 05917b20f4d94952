// The undo list over a real catalogue, without a window: rows come back with their IDs, every
// value and their companion rows; a step over rows someone else changed asks first.
#include <gtest/gtest.h>

#include <QString>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/recordsetmodel.h"
#include "catalog/undo.h"
#include "engine/engine.h"
#include "support/tempdir.h"
#include "testcatalogue.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Every column of both tables, NULLs, numbers as numbers: what a step must bring back exactly.
const char* const kWholeRows =
    "SELECT s.*, typeof(s.Track), typeof(s.Duration), f.* FROM music_shelf AS s "
    "LEFT JOIN shelf_files AS f ON f.ID = s.ID ORDER BY s.ID";

class UndoStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = m_dir.path("music_1.mdb");
    testcatalogue::make(m_path);
    testcatalogue::run(
        m_path,
        "CREATE TABLE IF NOT EXISTS shelf_files (ID INTEGER PRIMARY KEY, Filename TEXT, "
        "AudioBytes INTEGER, AudioHash INTEGER, FileSize INTEGER, FileModified INTEGER, "
        "FileChanged INTEGER, Title TEXT, Artist TEXT, Album TEXT, Genre TEXT, Track INTEGER, "
        "Duration INTEGER, Bitrate INTEGER, VBR TEXT);"
        "INSERT INTO music_shelf VALUES (1, 'Help', 'The Beatles', 'Help!', '1965', 'Pop', 7, "
        "'it''s', '/m/help.mp3', 138, 320, 'No'), (2, NULL, 'Nobody', NULL, NULL, NULL, NULL, "
        "'', NULL, NULL, NULL, NULL), (3, 'Angie', 'Stones', NULL, '1973', NULL, 2, NULL, "
        "'/m/angie.mp3', 271, 192, 'Yes');"
        "INSERT INTO shelf_files VALUES (1, '/m/help.mp3', 2000, -9123456789012345678, 2100, "
        "1700000000000000000, 1700000000000000001, 'Help', 'The Beatles', 'Help!', 'Pop', 7, "
        "138, 320, 'No');");
    m_db = engine::DBEngine::instance().Workspaces(0).OpenDatabase(m_path);
  }

  Rows whole() { return testcatalogue::rows(m_path, kWholeRows); }
  std::vector<std::optional<catalog::SongRow>> read(std::vector<std::int64_t> ids) {
    return catalog::readSongRows(*m_db, ids);
  }

  testsupport::TempDir m_dir;
  std::string m_path;
  std::shared_ptr<engine::Database> m_db;
  catalog::UndoStack m_undo;
  std::vector<QString> m_asked;
  bool m_answer = true;
  catalog::UndoStack::Question m_ask = [this](const QString& text) {
    m_asked.push_back(text);
    return m_answer;
  };
};

TEST_F(UndoStackTest, DeleteComesBackWithIdsValuesAndCompanionRowsAndGoesAgain) {
  const Rows original = whole();
  EXPECT_EQ(m_undo.deleteRows(*m_db, {1, 2, 3}, "Delete 3 Songs"), 3);
  EXPECT_TRUE(whole().empty());
  // The companion row stays, as with any delete, until an import cleans it up; remove it here
  // to see that Undo brings it back.
  testcatalogue::run(m_path, "DELETE FROM shelf_files");
  EXPECT_EQ(m_undo.undoLabel(), "Delete 3 Songs");

  const auto undone = m_undo.undo(*m_db, m_ask);
  EXPECT_TRUE(undone.done);
  EXPECT_EQ(undone.row, 1);
  EXPECT_EQ(whole(), original);
  EXPECT_TRUE(m_asked.empty());
  EXPECT_FALSE(m_undo.canUndo());
  EXPECT_EQ(m_undo.redoLabel(), "Delete 3 Songs");

  EXPECT_TRUE(m_undo.redo(*m_db, m_ask).done);
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"), "0");
  EXPECT_TRUE(m_undo.undo(*m_db, m_ask).done);
  EXPECT_EQ(whole(), original);
}

TEST_F(UndoStackTest, EditIsUndoneColumnByColumnAndAsksWhenChangedSince) {
  const auto before = read({1});
  testcatalogue::run(m_path, "UPDATE music_shelf SET Title = 'Help me', Track = NULL WHERE ID = 1");
  m_undo.record(*m_db, "Edit Title", {1}, before, true);
  ASSERT_TRUE(m_undo.canUndo());

  // Another program changes a column the edit did not touch: no question.
  testcatalogue::run(m_path, "UPDATE music_shelf SET Comment = 'theirs' WHERE ID = 1");
  EXPECT_TRUE(m_undo.undo(*m_db, m_ask).done);
  EXPECT_TRUE(m_asked.empty());
  EXPECT_EQ(testcatalogue::rows(m_path, "SELECT Title, Track, typeof(Track), Comment FROM "
                                        "music_shelf WHERE ID = 1"),
            (Rows{{"Help", "7", "integer", "theirs"}}));

  // Then one it did: Redo asks, and No leaves both the row and the lists alone.
  testcatalogue::run(m_path, "UPDATE music_shelf SET Title = 'Theirs' WHERE ID = 1");
  m_answer = false;
  EXPECT_FALSE(m_undo.redo(*m_db, m_ask).done);
  ASSERT_EQ(m_asked.size(), 1u);
  EXPECT_TRUE(m_asked[0].contains("Song 1 was changed since")) << m_asked[0].toStdString();
  EXPECT_TRUE(m_asked[0].contains("Redo Edit Title anyway?")) << m_asked[0].toStdString();
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 1"), "Theirs");
  EXPECT_TRUE(m_undo.canRedo());
  // Yes writes the step over it.
  m_answer = true;
  EXPECT_TRUE(m_undo.redo(*m_db, m_ask).done);
  EXPECT_EQ(testcatalogue::rows(m_path, "SELECT Title, Track FROM music_shelf WHERE ID = 1"),
            (Rows{{"Help me", "NULL"}}));
}

TEST_F(UndoStackTest, RowsThatCameBackOrWentAskFirst) {
  ASSERT_EQ(m_undo.deleteRows(*m_db, {2}, "Delete 1 Song"), 1);
  testcatalogue::run(m_path, "INSERT INTO music_shelf (ID, Title) VALUES (2, 'Someone else''s')");
  m_answer = false;
  EXPECT_FALSE(m_undo.undo(*m_db, m_ask).done);
  ASSERT_EQ(m_asked.size(), 1u);
  EXPECT_TRUE(m_asked[0].contains("A song with ID 2 is in the catalogue again"));
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT Title FROM music_shelf WHERE ID = 2"),
            "Someone else's");

  // An edit whose row is gone asks too; Yes brings the row back as the edit found it.
  const auto before = read({3});
  testcatalogue::run(m_path, "UPDATE music_shelf SET Title = 'Angie!' WHERE ID = 3");
  m_undo.record(*m_db, "Edit Title", {3}, before, true);
  testcatalogue::run(m_path, "DELETE FROM music_shelf WHERE ID = 3");
  m_answer = true;
  EXPECT_TRUE(m_undo.undo(*m_db, m_ask).done);
  EXPECT_TRUE(m_asked.back().contains("Song 3 was deleted since"));
  EXPECT_EQ(testcatalogue::rows(m_path, "SELECT Title, Duration FROM music_shelf WHERE ID = 3"),
            (Rows{{"Angie", "271"}}));
}

TEST_F(UndoStackTest, StepsThatChangedNothingAreNotKeptAndNewStepsEndRedo) {
  m_undo.record(*m_db, "Update Mp3 Tags", {1}, read({1}), true);
  EXPECT_FALSE(m_undo.canUndo());
  testcatalogue::run(m_path, "INSERT INTO music_shelf (ID, Title) VALUES (9, 'unknown')");
  m_undo.record(*m_db, "Add One Song", {9}, {std::nullopt}, false);
  EXPECT_EQ(m_undo.undoLabel(), "Add One Song");
  EXPECT_TRUE(m_undo.undo(*m_db, m_ask).done);
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf WHERE ID = 9"), "0");
  EXPECT_TRUE(m_undo.canRedo());
  m_undo.deleteRows(*m_db, {3}, "Delete 1 Song");
  EXPECT_FALSE(m_undo.canRedo());
}

TEST_F(UndoStackTest, FailedStepLeavesTheListsAndTheRows) {
  m_undo.deleteRows(*m_db, {1}, "Delete 1 Song");
  // A trigger refuses the row coming back.
  testcatalogue::run(m_path, "CREATE TRIGGER no_help BEFORE INSERT ON music_shelf "
                             "BEGIN SELECT RAISE(ABORT, 'not that one'); END;");
  EXPECT_THROW(m_undo.undo(*m_db, m_ask), engine::EngineError);
  EXPECT_TRUE(m_undo.canUndo());
  EXPECT_FALSE(m_undo.canRedo());
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"), "2");
}

TEST_F(UndoStackTest, ThousandsOfRowsGoInOneStatementAndComeBack) {
  std::string values;
  for (int id = 10; id < 5010; ++id)
    values += (values.empty() ? "" : ",") + ("(" + std::to_string(id) + ", 'Song')");
  testcatalogue::run(m_path, "INSERT INTO music_shelf (ID, Title) VALUES " + values);
  std::vector<std::int64_t> ids;
  for (int id = 10; id < 5010; ++id) ids.push_back(id);
  const Rows original = whole();
  EXPECT_EQ(m_undo.deleteRows(*m_db, ids, "Delete 5,000 Songs"), 5000);
  EXPECT_EQ(testcatalogue::scalar(m_path, "SELECT count(*) FROM music_shelf"), "3");
  EXPECT_TRUE(m_undo.undo(*m_db, m_ask).done);
  EXPECT_EQ(whole(), original);
}

struct LengthCase {
  const char* typed;
  std::optional<std::int64_t> seconds;
};

// A kept cell edit is given up when the field no longer reads as the value the view held: the
// two readings must agree for every kind of value, or edits of numbers would never be saved.
TEST_F(UndoStackTest, ValuesReadAsTheStoredRowHoldsThem) {
  testcatalogue::run(m_path, "UPDATE music_shelf SET Duration = 2.5, Year = 1973 WHERE ID = 3");
  const std::optional<catalog::SongRow> angie = read({3})[0];
  ASSERT_TRUE(angie);
  const std::pair<const char*, engine::Value> fields[] = {{"Title", engine::Value("Angie")},
                                                          {"track", engine::Value(2)},
                                                          {"Duration", engine::Value(2.5)},
                                                          {"Album", engine::Value()},
                                                          {"Year", engine::Value("1973")}};
  for (const auto& [name, value] : fields) {
    const catalog::FieldText* held = catalog::songField(*angie, name);
    ASSERT_NE(held, nullptr) << name;
    EXPECT_EQ(*held, catalog::fieldTextOf(value)) << name;
  }
  EXPECT_EQ(catalog::songField(*angie, "Rating"), nullptr);
}

TEST(Lengths, ShownAndTyped) {
  EXPECT_EQ(catalog::formatLength(engine::Value(187)), QStringLiteral("3:07"));
  EXPECT_EQ(catalog::formatLength(engine::Value(8)), QStringLiteral("0:08"));
  EXPECT_EQ(catalog::formatLength(engine::Value(3723)), QStringLiteral("1:02:03"));
  EXPECT_EQ(catalog::formatLength(engine::Value(3600)), QStringLiteral("1:00:00"));
  for (const engine::Value& shownAsItIs :
       {engine::Value(), engine::Value(2.5), engine::Value("abc"), engine::Value(-3)})
    EXPECT_EQ(catalog::formatLength(shownAsItIs), std::nullopt);

  for (const LengthCase& c : std::vector<LengthCase>{{"187", 187},
                                                     {"3:07", 187},
                                                     {" 0:08 ", 8},
                                                     {"75:00", 4500},
                                                     {"1:02:03", 3723},
                                                     {"3:7", std::nullopt},
                                                     {"3:60", std::nullopt},
                                                     {"1:60:00", std::nullopt},
                                                     {"1:2:03", std::nullopt},
                                                     {"1:02:03:04", std::nullopt},
                                                     {"-5", std::nullopt},
                                                     {"3.5", std::nullopt},
                                                     {"abc", std::nullopt},
                                                     {":07", std::nullopt},
                                                     {"", std::nullopt},
                                                     {"9999999999999999", std::nullopt}})
    EXPECT_EQ(catalog::parseLength(QString::fromLatin1(c.typed)), c.seconds) << c.typed;
}

}  // namespace
