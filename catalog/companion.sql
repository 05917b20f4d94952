-- What the program knows of each row's file beyond what music_shelf shows, one row per
-- music_shelf row, under the same ID. With it a rescan follows a file that was moved, renamed
-- or retagged, and keeps the user's edits. music_shelf itself is never changed for it.
--   Filename               the path the file was read at, as music_shelf stored it; where
--                          another program has changed the row's Filename since, the rest is
--                          not the row's file any longer and counts as unknown.
--   AudioBytes, AudioHash  the file's audio: how many bytes lie between the tags, and a hash of
--                          stretches of them; the same in two files when they hold the same
--                          audio, whatever their tags and names. NULL when no audio was found.
--   FileSize, FileModified, FileChanged
--                          the file's size, modification time and status change time
--                          (nanoseconds since 1970) when it was last read. A tagger may set the
--                          modification time back; the status change time no program can.
--   Title ... VBR          the values the file gave then, as they went into music_shelf.
-- A row here without its music_shelf row means nothing and is cleaned up; a music_shelf row
-- without one here is simply not known yet.
CREATE TABLE IF NOT EXISTS shelf_files (
  ID INTEGER PRIMARY KEY,
  Filename TEXT,
  AudioBytes INTEGER,
  AudioHash INTEGER,
  FileSize INTEGER,
  FileModified INTEGER,
  FileChanged INTEGER,
  Title TEXT,
  Artist TEXT,
  Album TEXT,
  Genre TEXT,
  Track INTEGER,
  Duration INTEGER,
  Bitrate INTEGER,
  VBR TEXT
);
-- No index on the audio: its hashes are random, so every imported row would write to a page of
-- its own there, which costs an import more than it saves the one view that groups by them.

-- What the last Check Files found wrong with each checked row's file, one row per problem; a
-- file checked again loses its old findings, and a sound one has none here.
--   ID, Filename   the music_shelf row and the path its file was read at; once the row names
--                  another path the findings are not its file's any longer and do not show.
--   Problem        the kind of problem, e.g. "Cut short"; Detail says where and how much.
--   Checked        when the file was checked (seconds since 1970).
-- A rescan that reads a row's file again drops its findings, and a deleted row's go with it:
-- by the trigger, so that also a row another program deletes leaves none behind. An Undo that
-- brings a deleted row back cannot bring its findings back: its file is simply checked again
-- by the next Check Files, which costs less than keeping findings of rows that are gone.
CREATE TABLE IF NOT EXISTS shelf_findings (
  ID INTEGER NOT NULL,
  Filename TEXT NOT NULL,
  Problem TEXT NOT NULL,
  Detail TEXT,
  Checked INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS shelf_findings_ID ON shelf_findings (ID);
CREATE TRIGGER IF NOT EXISTS shelf_findings_deleted AFTER DELETE ON music_shelf BEGIN
  DELETE FROM shelf_findings WHERE ID = old.ID;
END;
