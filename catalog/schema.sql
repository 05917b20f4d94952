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
