-- The filter's index: the texts of music_shelf's text columns, folded as the filter compares
-- them (lower case, no accents), under each row's ID, in an FTS5 table whose trigrams find any
-- part of a word. Only the program can fold, so other programs that change music_shelf (the
-- sqlite3 shell, DB Browser for SQLite) never touch it.
--
-- New rows get IDs above every earlier one, so the index needs no note of them: every row above
-- shelf_search_state's Upto counts as not indexed yet. The triggers below note, with SQLite's
-- own statements, only the IDs of rows changed or deleted, and of rows added at or below Upto
-- (Undo putting a deleted row back, another program choosing its own ID), in
-- shelf_search_queue. Their statements cannot fail (OR IGNORE; an ID is never NULL): one that
-- could would make SQLite keep a copy of every page each row of a batch touches, in case it had
-- to undo that row alone, and that doubled the cost of writing a row. The program folds those
-- rows into shelf_search a few hundred at a time, and until it has, the filter checks them
-- itself; the results are the same either way. An import thus pays one look at a one-row table
-- per row, and nothing is written for the index.
CREATE VIRTUAL TABLE IF NOT EXISTS shelf_search USING fts5(
  Title, Artist, Album, Genre, Year, Comment, Filename,
  tokenize = 'trigram case_sensitive 1'
);
-- FTS5 merges its segments on its own when a write ends, in lumps that grow with the index and
-- at times take hundreds of milliseconds, in the window's idle time. The program merges a step
-- in proportion to the rows of each slice instead (see catchUpSearchIndex).
INSERT INTO shelf_search (shelf_search, rank) VALUES ('automerge', 0);
CREATE TABLE IF NOT EXISTS shelf_search_queue (
  Seq INTEGER PRIMARY KEY,
  ID INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS shelf_search_queue_ID ON shelf_search_queue (ID);
-- Fold: the version of search_fold() the index was folded with (kSearchFoldVersion in
-- catalog/engine/searchfold.h). 0 until the index is wholly made; any other than the program's
-- and the index is not used, and made anew where the catalogue is writable.
CREATE TABLE IF NOT EXISTS shelf_search_state (
  Upto INTEGER NOT NULL,
  Fold INTEGER NOT NULL DEFAULT 0
);
INSERT INTO shelf_search_state (Upto) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM shelf_search_state);
CREATE TRIGGER IF NOT EXISTS shelf_search_added AFTER INSERT ON music_shelf
WHEN new.ID <= (SELECT Upto FROM shelf_search_state) BEGIN
  INSERT OR IGNORE INTO shelf_search_queue (ID) VALUES (new.ID);
END;
CREATE TRIGGER IF NOT EXISTS shelf_search_changed
AFTER UPDATE OF ID, Title, Artist, Album, Genre, Year, Comment, Filename ON music_shelf BEGIN
  INSERT OR IGNORE INTO shelf_search_queue (ID) VALUES (new.ID);
  INSERT OR IGNORE INTO shelf_search_queue (ID) SELECT old.ID WHERE old.ID IS NOT new.ID;
END;
CREATE TRIGGER IF NOT EXISTS shelf_search_deleted AFTER DELETE ON music_shelf BEGIN
  INSERT OR IGNORE INTO shelf_search_queue (ID) VALUES (old.ID);
END;
-- An update that names the key by rowid, oid or _rowid_ changes ID without naming it, and
-- shelf_search_changed never hears of it.
CREATE TRIGGER IF NOT EXISTS shelf_search_renamed AFTER UPDATE ON music_shelf
WHEN old.ID IS NOT new.ID BEGIN
  INSERT OR IGNORE INTO shelf_search_queue (ID) VALUES (new.ID);
  INSERT OR IGNORE INTO shelf_search_queue (ID) VALUES (old.ID);
END;
-- Rows at or below the watermark when the index is made never rise above it: they are queued.
-- After the triggers, so that one another program adds meanwhile is queued by one or the other.
INSERT INTO shelf_search_queue (ID) SELECT ID FROM music_shelf WHERE ID <= 0;
-- Last: the index is made, and a try cut short anywhere before is made anew.
UPDATE shelf_search_state SET Fold = 3;
