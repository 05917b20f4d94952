#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "catalogue_fixture.h"
#include "engine/errors.h"
#include "engine/fileexists.h"
#include "engine/sqltext.h"

namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::optional<std::string>>;

class FileExistsTest : public CatalogueTest {
 protected:
  // The first field of each row the statement gives.
  Texts column(engine::Database& db, const std::string& sql,
               const std::vector<std::string>& parameters = {}) {
    Texts out;
    db.ForEachRow(sql, parameters, [&](engine::Database::RowTexts fields) {
      out.push_back(fields[0] ? std::optional<std::string>(*fields[0]) : std::nullopt);
    });
    return out;
  }

  std::optional<std::string> fileExists(engine::Database& db, const std::string& argument) {
    return column(db, "SELECT file_exists(" + argument + ")").at(0);
  }
};

TEST_F(FileExistsTest, OneOnlyForAnExistingRegularFile) {
  auto db = open();
  writeFile(m_dir / "song.mp3", "x");
  fs::create_directories(m_dir / "folder");
  fs::create_symlink(m_dir / "song.mp3", m_dir / "link.mp3");
  fs::create_symlink(m_dir / "absent.mp3", m_dir / "broken.mp3");
  ASSERT_EQ(::mkfifo((m_dir / "pipe.mp3").c_str(), 0644), 0);
  const auto quoted = [&](const std::string& name) {
    return "'" + engine::doubleApostrophes((m_dir / name).string()) + "'";
  };
  writeFile(m_dir / "it's.mp3", "x");

  EXPECT_EQ(fileExists(*db, quoted("song.mp3")), "1");
  EXPECT_EQ(fileExists(*db, quoted("link.mp3")), "1");
  EXPECT_EQ(fileExists(*db, quoted("it's.mp3")), "1");
  for (const char* name : {"folder", "broken.mp3", "pipe.mp3", "absent.mp3", "song.mp3/x"})
    EXPECT_EQ(fileExists(*db, quoted(name)), "0") << name;
  EXPECT_EQ(fileExists(*db, "NULL"), std::nullopt);
  EXPECT_EQ(fileExists(*db, "''"), "0");
  EXPECT_EQ(fileExists(*db, "42"), "0");
  // A relative path would name a file by where the program happens to run.
  EXPECT_EQ(fileExists(*db, "'" + (m_dir / "song.mp3").relative_path().string() + "'"), "0");
  // A NUL cannot be part of a name: the part before it is not looked up instead.
  EXPECT_EQ(fileExists(*db, quoted("song.mp3") + " || char(0) || 'x'"), "0");
  EXPECT_EQ(fileExists(*db, "CAST(" + quoted("song.mp3") + " AS BLOB)"), "1");
}

// A name that is not UTF-8 is stored with U+FFFD in place of each odd byte; the stored name
// still finds its file, through every folder on the way.
TEST_F(FileExistsTest, FindsFilesWhoseStoredNamesReplacedBytesThatWereNotUtf8) {
  fs::create_directories(m_dir / "caf\xE9");
  writeFile(m_dir / "caf\xE9/\xFF.mp3", "x");
  fs::create_directories(m_dir / "caf\xE8");  // stored the same way, holding nothing
  const std::string stored = (m_dir / "caf\xEF\xBF\xBD/\xEF\xBF\xBD.mp3").string();
  EXPECT_TRUE(engine::fileExists(stored));
  EXPECT_FALSE(engine::fileExists((m_dir / "caf\xEF\xBF\xBD/\xEF\xBF\xBD\xEF\xBF\xBD.mp3").string()));
  EXPECT_FALSE(engine::fileExists((m_dir / "caf\xEF\xBF\xBD").string()));  // a folder
  auto db = open();
  EXPECT_EQ(column(*db, "SELECT file_exists(?1)", {stored}), Texts{"1"});
}

// What exists on the disk is the user's to ask about, not a catalogue's schema's: the function
// runs in statements but not in views or triggers stored in the file.
TEST_F(FileExistsTest, WorksInStatementsButNotInTheSchema) {
  auto db = open();
  writeFile(m_dir / "a.mp3", "x");
  db->Execute("INSERT INTO music_shelf (Filename) VALUES ('" + (m_dir / "a.mp3").string() +
              "'), ('/nowhere/b.mp3'), (NULL)");
  EXPECT_EQ(column(*db, "SELECT count(*) FROM music_shelf WHERE file_exists(Filename)"),
            Texts{"1"});
  db->Execute("UPDATE music_shelf SET Comment = 'gone' WHERE NOT file_exists(Filename)");
  EXPECT_EQ(count(*db, "WHERE Comment = 'gone'"), 1);

  db->Execute("CREATE VIEW present AS SELECT * FROM music_shelf WHERE file_exists(Filename)");
  EXPECT_NE(errorNumber([&] { column(*db, "SELECT count(*) FROM present"); }), 0);
  EXPECT_NE(errorNumber([&] {
              db->Execute(
                  "CREATE TRIGGER t AFTER INSERT ON music_shelf BEGIN UPDATE music_shelf SET "
                  "Comment = file_exists(NEW.Filename) WHERE ID = NEW.ID; END");
              db->Execute("INSERT INTO music_shelf (Filename) VALUES ('x')");
            }),
            0);
  EXPECT_NE(errorNumber([&] { db->Execute("CREATE INDEX e ON music_shelf (file_exists(Filename))"); }),
            0);
}

TEST_F(FileExistsTest, ForEachRowBindsTextsAndReadsOnly) {
  auto db = open();
  db->Execute("INSERT INTO music_shelf (Title, Artist) VALUES ('It''s', 'Band')");
  insertSong(*db, "Other", "Band");
  EXPECT_EQ(column(*db, "SELECT Title FROM music_shelf WHERE Title = ?1", {"It's"}),
            Texts{"It's"});
  EXPECT_EQ(column(*db, "SELECT Year FROM music_shelf WHERE Artist = ?1 ORDER BY ID", {"Band"}),
            (Texts{std::nullopt, std::nullopt}));
  EXPECT_EQ(errorNumber([&] { column(*db, "DELETE FROM music_shelf RETURNING ID"); }),
            engine::err::kStatementRefused);
  EXPECT_EQ(count(*db), 2);
  EXPECT_NE(errorNumber([&] { column(*db, "SELECT nonsense FROM music_shelf"); }), 0);
}

}  // namespace
