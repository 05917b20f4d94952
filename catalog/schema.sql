-- The catalogue: one row per MP3 file.
-- Text compares and sorts without regard to case; Track, Duration and Bitrate have INTEGER
-- affinity, so quoted numbers ('215') are stored and sorted as numbers while an empty track
-- stays empty text.
CREATE TABLE music_shelf (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Title TEXT COLLATE NOCASE,
  Artist TEXT COLLATE NOCASE,
  Album TEXT COLLATE NOCASE,
  Year TEXT COLLATE NOCASE,
  Genre TEXT COLLATE NOCASE,
  Track INTEGER,
  Comment TEXT COLLATE NOCASE,
  Filename TEXT COLLATE NOCASE,
  Duration INTEGER,
  Bitrate INTEGER,
  VBR TEXT COLLATE NOCASE
);

-- One index per column a heading can sort by, so that a sorted view walks the index and shows
-- its first screen at once instead of after sorting every row. ID, the row's key, needs none. A
-- catalogue without them works the same, only slower to sort.
CREATE INDEX music_shelf_Title ON music_shelf (Title);
CREATE INDEX music_shelf_Artist ON music_shelf (Artist);
CREATE INDEX music_shelf_Album ON music_shelf (Album);
CREATE INDEX music_shelf_Year ON music_shelf (Year);
CREATE INDEX music_shelf_Genre ON music_shelf (Genre);
CREATE INDEX music_shelf_Track ON music_shelf (Track);
CREATE INDEX music_shelf_Comment ON music_shelf (Comment);
CREATE INDEX music_shelf_Filename ON music_shelf (Filename);
CREATE INDEX music_shelf_Duration ON music_shelf (Duration);
CREATE INDEX music_shelf_Bitrate ON music_shelf (Bitrate);
CREATE INDEX music_shelf_VBR ON music_shelf (VBR);
