-- The filter's index: the texts of music_shelf's text columns, folded as the filter compares
-- them (lower case, no accents), under each row's ID, in an FTS5 table whose trigrams find any
-- part of a word. Only the program can fold, so other programs that change music_shelf (the
-- sqlite3 shell, DB Browser for SQLite) never touch it: the triggers below only note the IDs of
-- rows they added, changed or deleted in shelf_search_queue, with SQLite's own statements. The
-- program folds those rows into shelf_search a few hundred at a time, and until it has, the
-- filter checks them itself; the results are the same either way.
CREATE VIRTUAL TABLE IF NOT EXISTS shelf_search USING fts5(
  Title, Artist, Album, Genre, Year, Comment, Filename,
  tokenize = 'trigram case_sensitive 1'
);
CREATE TABLE IF NOT EXISTS shelf_search_queue (
  Seq INTEGER PRIMARY KEY,
  ID INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS shelf_search_queue_ID ON shelf_search_queue (ID);
CREATE TRIGGER IF NOT EXISTS shelf_search_added AFTER INSERT ON music_shelf BEGIN
  INSERT INTO shelf_search_queue (ID) VALUES (new.ID);
END;
CREATE TRIGGER IF NOT EXISTS shelf_search_changed
AFTER UPDATE OF ID, Title, Artist, Album, Genre, Year, Comment, Filename ON music_shelf BEGIN
  INSERT INTO shelf_search_queue (ID) VALUES (new.ID);
  INSERT INTO shelf_search_queue (ID) SELECT old.ID WHERE old.ID IS NOT new.ID;
END;
CREATE TRIGGER IF NOT EXISTS shelf_search_deleted AFTER DELETE ON music_shelf BEGIN
  INSERT INTO shelf_search_queue (ID) VALUES (old.ID);
END;
