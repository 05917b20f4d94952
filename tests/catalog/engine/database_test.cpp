#include <gtest/gtest.h>

#include <filesystem>

#include "catalogue_fixture.h"
#include "engine/errors.h"
#include "engine/sqltext.h"

namespace {

namespace fs = std::filesystem;
using engine::EngineError;
namespace err = engine::err;


class OpenDatabaseTest : public CatalogueTest {};

TEST_F(OpenDatabaseTest, RefusesWhatIsNotACatalogueAndCreatesNothing) {
  auto& ws = engine::DBEngine::instance().Workspaces(0);
  const fs::path missing = m_dir / "missing.mdb";
  std::string text;
  EXPECT_EQ(errorNumber([&] { ws.OpenDatabase(missing.string()); }, &text), err::kFileNotFound);
  EXPECT_NE(text.find(missing.string()), std::string::npos);
  EXPECT_FALSE(fs::exists(missing));

  writeFile(m_dir / "empty.mdb", "");
  EXPECT_EQ(errorNumber([&] { ws.OpenDatabase((m_dir / "empty.mdb").string()); }),
            err::kNotADatabase);

  writeFile(m_dir / "junk.mdb", std::string(4096, 'x'));
  EXPECT_EQ(errorNumber([&] { ws.OpenDatabase((m_dir / "junk.mdb").string()); }, &text),
            err::kNotADatabase);
  EXPECT_NE(text.find("junk.mdb"), std::string::npos);

  for (const char* kind : {"Standard Jet DB", "Standard ACE DB"}) {
    writeFile(m_dir / "access.mdb", std::string("\0\1\0\0", 4) + kind + std::string(2000, '\0'));
    EXPECT_EQ(errorNumber([&] { ws.OpenDatabase((m_dir / "access.mdb").string()); }, &text),
              err::kNotADatabase);
    EXPECT_NE(text.find("Access"), std::string::npos) << text;
  }

  EXPECT_EQ(errorNumber([&] { ws.OpenDatabase(m_dir.string()); }), err::kNotADatabase);
  EXPECT_EQ(errorNumber([&] { engine::DBEngine::instance().Workspaces(1); }), err::kItemNotFound);
}

TEST_F(OpenDatabaseTest, DamagedCatalogueNamesItsPath) {
  // A valid header followed by garbage.
  writeFile(m_dir / "damaged.mdb", std::string("SQLite format 3\0", 16) + std::string(8192, '\x7f'));
  std::string text;
  EXPECT_NE(errorNumber([&] { engine::DBEngine::instance().Workspaces(0).OpenDatabase(
                                  (m_dir / "damaged.mdb").string()); },
                        &text),
            0);
  EXPECT_NE(text.find("damaged.mdb"), std::string::npos) << text;
}

class ExecuteTest : public CatalogueTest {};

TEST_F(ExecuteTest, RunsOneStatementAndCountsRows) {
  auto db = open();
  insertSong(*db, "a", "x");
  insertSong(*db, "b", "x");
  db->Execute("UPDATE music_shelf SET Year = '1999' WHERE Artist = 'X';  ;\n -- done\n", 64);
  EXPECT_EQ(db->RecordsAffected(), 2);  // COLLATE NOCASE: 'X' equals 'x'
  db->Execute("DELETE FROM music_shelf WHERE Title = 'a' /* trailing comment */");
  EXPECT_EQ(count(*db), 1);
}

TEST_F(ExecuteTest, RefusesWhatWouldSurpriseTheProgram) {
  auto db = open();
  insertSong(*db, "a", "x");
  struct Case {
    std::string sql;
    int number;
  };
  const Case cases[] = {
      {"SELECT * FROM music_shelf", err::kSelectNotAllowed},
      {"select 1", err::kSelectNotAllowed},
      {"PRAGMA table_info(music_shelf)", err::kSelectNotAllowed},
      {"DELETE FROM music_shelf; DELETE FROM music_shelf", err::kTrailingText},
      {"DELETE FROM music_shelf; garbage", err::kTrailingText},
      {"BEGIN", err::kStatementRefused},
      {"BEGIN TRANSACTION", err::kStatementRefused},
      {"COMMIT", err::kStatementRefused},
      {"ROLLBACK", err::kStatementRefused},
      {"SAVEPOINT s", err::kStatementRefused},
      {"RELEASE s", err::kStatementRefused},
      {"ATTACH DATABASE ':memory:' AS other", err::kStatementRefused},
      {"DETACH DATABASE other", err::kStatementRefused},
      {"PRAGMA case_sensitive_like = 1", err::kStatementRefused},
      {"PRAGMA journal_mode = DELETE", err::kStatementRefused},
      {"", err::kEmptyStatement},
      {"   ;  -- nothing\n", err::kEmptyStatement},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(errorNumber([&] { db->Execute(c.sql, 64); }, &text), c.number)
        << c.sql << " -> " << text;
  }
  // Nothing of the refused texts was applied.
  EXPECT_EQ(count(*db), 1);
  EXPECT_EQ(count(*db, "WHERE Title like 'A'"), 1);  // like still ours: case-insensitive
}

TEST_F(ExecuteTest, AnyTextEndsInAnErrorNeverACrash) {
  auto db = open();
  const std::string texts[] = {"garbage", "INSERT INTO", "DROP TABLE nothing_here", "'",
                               std::string("\0\1\2", 3), std::string(3 << 20, '(') + "1",
                               "INSERT INTO music_shelf (Title) VALUES ('" +
                                   std::string(4 << 20, 'x') + "') garbage"};
  for (const auto& sql : texts)
    EXPECT_NE(errorNumber([&] { db->Execute(sql, 64); }), 0) << sql.substr(0, 40);
  // A long but valid statement works.
  db->Execute("INSERT INTO music_shelf (Title) VALUES ('" + std::string(4 << 20, 'x') + "')", 64);
  EXPECT_EQ(count(*db), 1);
}

TEST_F(ExecuteTest, ClosedHandleRefusesAndWorkspaceCloseClosesItsDatabases) {
  auto db = open();
  db->Close();
  EXPECT_EQ(errorNumber([&] { db->Execute("DELETE FROM music_shelf"); }), err::kObjectClosed);
  EXPECT_EQ(errorNumber([&] { db->OpenRecordset("music_shelf"); }), err::kObjectClosed);

  auto& ws = engine::DBEngine::instance().Workspaces(0);
  auto other = open();
  ws.Close();
  EXPECT_FALSE(other->isOpen());
  // The default workspace stays usable after Close.
  EXPECT_TRUE(ws.OpenDatabase(m_path)->isOpen());
}

TEST_F(ExecuteTest, TwoHandlesOnOneFileWriteInTurn) {
  auto first = open();
  auto second = open();
  auto view = first->OpenRecordset("Select * from music_shelf where Title like '*' ORDER BY ID");
  for (int i = 0; i < 50; ++i) {
    insertSong(*first, "one " + std::to_string(i), "a");
    insertSong(*second, "two " + std::to_string(i), "b");
  }
  EXPECT_EQ(count(*first), 100);
  EXPECT_EQ(count(*second), 100);
}

}  // namespace

namespace {

// Counting a view's rows drops its final ORDER BY, and only that: not one in parentheses, in a
// string or a comment, nor one a LIMIT depends on.
TEST(SqlTextTest, FinalOrderByAndTrailingEnd) {
  using engine::withoutFinalOrderBy;
  using engine::withoutTrailingEnd;
  EXPECT_EQ(withoutFinalOrderBy("Select * from t where Title like '*' ORDER BY Title DESC;"),
            "Select * from t where Title like '*' ");
  EXPECT_EQ(withoutFinalOrderBy("SELECT a FROM t order /* x */ by a -- last\n"), "SELECT a FROM t ");
  EXPECT_EQ(withoutFinalOrderBy("SELECT a FROM t ORDER BY a LIMIT 5"),
            "SELECT a FROM t ORDER BY a LIMIT 5");
  EXPECT_EQ(withoutFinalOrderBy("SELECT (SELECT b FROM u ORDER BY b) FROM t"),
            "SELECT (SELECT b FROM u ORDER BY b) FROM t");
  EXPECT_EQ(withoutFinalOrderBy("SELECT 'ORDER BY x' FROM t;"), "SELECT 'ORDER BY x' FROM t");
  EXPECT_EQ(withoutFinalOrderBy("SELECT \"order\" FROM t ORDER BY [by]"), "SELECT \"order\" FROM t ");
  EXPECT_EQ(withoutTrailingEnd("SELECT 1 ; -- done\n ;"), "SELECT 1");
  EXPECT_EQ(withoutTrailingEnd("SELECT 'it''s;' /* c */"), "SELECT 'it''s;'");
}

}  // namespace
