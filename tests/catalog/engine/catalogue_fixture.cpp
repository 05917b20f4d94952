#include "catalogue_fixture.h"

#include <sqlite3.h>

#include <fstream>

#include "schema.h"

void CatalogueTest::SetUp() {
  m_path = (m_dir / "music_1.mdb").string();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(m_path.c_str(), &db), SQLITE_OK);
  const std::string sql = std::string("PRAGMA journal_mode=WAL;") + kCatalogueSchema;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

std::shared_ptr<engine::Database> CatalogueTest::open() const {
  return engine::DBEngine::instance().Workspaces(0).OpenDatabase(m_path);
}

void CatalogueTest::insertSong(engine::Database& db, const std::string& title,
                               const std::string& artist) const {
  db.Execute("INSERT INTO music_shelf (Title, Artist) VALUES ('" + title + "','" + artist + "')",
             64);
}

std::int64_t CatalogueTest::count(engine::Database& db, const std::string& where) const {
  auto rs = db.OpenRecordset("SELECT count(*) FROM music_shelf " + where, engine::dbOpenSnapshot);
  return rs->Fields(0).Value().integer();
}
