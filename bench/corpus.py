#!/usr/bin/python3
"""Writes a repeatable music folder of tagged MP3 files for the benchmarks.

usage: corpus.py N DIR [--seed S] [--no-header] [--distinct]

Makes exactly N MP3 files below DIR (which must be absent or empty), laid out as a collection
is: DIR/Artist/Album/NN Title.mp3, some albums split into CD1 and CD2, a Singles folder, and
now and then a cover image, a playlist or a text file beside the songs. The audio comes from
a few short clips that sox synthesises and lame encodes once (constant and variable bit rates,
mono and stereo, 44.1 and 22.05 kHz); every file is one of those clips with tags of its own
written by mutagen: ID3v2.4, ID3v2.3, either with an ID3v1 tag too, ID3v1 alone, or none.
Everything is drawn from one seeded generator, so the same N and seed give the same files,
byte for byte.

--no-header encodes every clip without the Xing/Info frame that tells a player the length of
a file (lame -t): half the files then have one bit rate throughout, half a variable one.

--distinct gives every file audio of its own, as a collection of different songs has, where
the clips make thousands of files with the same audio. For each clip lame encodes half a
minute of noise once at a fixed bit rate, without the bit reservoir (--nores), so that every
frame holds all of its own sound and frames can follow each other in any order; a clip of
variable bit rate gets a few such encodings at different rates. Each file is then a seeded
random run of those frames, of a length of its own around the clip's, drawn at random rate by
rate for the variable ones. Its first frame is an Info frame (a Xing frame where the rate
varies) that counts the file's own frames and bytes, as lame writes one; with --no-header
there is none. The names, folders and tags are those the same N and seed give without it.
"""

import argparse
import io
import os
import random
import shutil
import subprocess
import sys
import tempfile

from mutagen import id3

# name, sample rate, channels, seconds, what sox synthesises, lame's options
CLIPS = [
    ("cbr128", 44100, 2, 4, ["sine", "220-880"], ["-b", "128"]),
    ("cbr192", 44100, 2, 6, ["pinknoise"], ["-b", "192", "-m", "j"]),
    ("cbr320", 44100, 2, 3, ["brownnoise"], ["-b", "320", "-m", "s"]),
    ("cbr64mono22k", 22050, 1, 2, ["sine", "440"], ["-b", "64", "-m", "m"]),
    ("vbr2", 44100, 2, 8, ["pinknoise"], ["-V", "2"]),
    ("vbr5mono", 44100, 1, 5, ["sine", "330-660"], ["-V", "5", "-m", "m"]),
    ("vbr4_22k", 22050, 2, 7, ["whitenoise"], ["-V", "4"]),
]
# How often each clip is used, in the order above.
CLIP_WEIGHTS = [24, 16, 10, 6, 26, 10, 8]

TAG_KINDS = ["v2.4", "v2.3", "v2.3+v1", "v2.4+v1", "v1", "none"]
TAG_WEIGHTS = [40, 34, 12, 4, 6, 4]

FIRST = ("Amber Broken Copper Distant Electric Faded Golden Hollow Iron Lonely Midnight Neon "
         "Northern Paper Quiet Restless Scarlet Silver Southern Velvet Wandering Wild").split()
SECOND = ("Anchors Bells Canyons Comets Echoes Embers Engines Foxes Gardens Harbour Highway "
          "Islands Lanterns Machines Meadow Mirrors Orchard Owls Pilots Rivers Signals Sparrows "
          "Tides Wolves").split()
WORDS = ("again alone away back blue burning city cold dance down dream empty fall fire "
         "forever ghost gone golden heart home letters light line love machine morning night "
         "ocean open paper rain river road run shadow sky slow stars summer sweet time tonight "
         "train window winter wire").split()
# Names that catalogues get wrong: apostrophes, letters beyond ASCII, other scripts.
ODD_ARTISTS = ["O'Malley's Band", "Rock 'n' Roll Ghosts", "Café Mélodie", "Zoë & the Wolves",
               "Ølstrand", "Мирный Свет", "東京ナイトライン", "Dvořák Street Band", "Señor Nadie"]
ODD_TITLES = ["Don't Look Back", "I'm Still Here", "Can't Stop Now", "Déjà Vu", "Straße",
              "Naïve Melody", "Привет, мир", "夜明け前", "Either/Or", "Why?", "Part 1: Dawn",
              'The "Real" One', "50% Off", "Track #9", "Hello, Goodbye", "Señorita ♪"]
GENRES = ["(17)", "(17)Rock", "Rock", "Pop", "(13)Pop", "Jazz", "(8)", "Electronic", "(52)",
          "Hip-Hop", "Folk", "Indie Rock", "Drum 'n' Bass", "Singer/Songwriter", ""]


# What --distinct makes of each clip above: the same sample rate and channels, lame's stereo
# mode, and the fixed bit rates its frames come in (one for a constant rate, a few around the
# clip's average for a variable one). Frames of one clip share the MPEG version, layer, sample
# rate and channels.
DISTINCT = {
    "cbr128": ("j", [128]),
    "cbr192": ("j", [192]),
    "cbr320": ("s", [320]),
    "cbr64mono22k": ("m", [64]),
    "vbr2": ("j", [96, 112, 128, 160]),
    "vbr5mono": ("m", [32, 40, 48]),
    "vbr4_22k": ("j", [48, 56, 64, 80]),
}
# Seconds of noise each --distinct encoding holds: over a thousand frames to draw from.
DISTINCT_SECONDS = 30

# MPEG audio frame headers, Layer III: bit rates by index for MPEG-1 and for MPEG-2 and 2.5,
# sample rates by version.
BITRATES = {3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
            2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}
BITRATES[0] = BITRATES[2]
SAMPLE_RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def frame_length(header):
    """The length of the Layer III frame whose four header bytes are `header`."""
    version = (header[1] >> 3) & 3
    bitrate = BITRATES[version][header[2] >> 4] * 1000
    rate = SAMPLE_RATES[version][(header[2] >> 2) & 3]
    return (144 if version == 3 else 72) * bitrate // rate + ((header[2] >> 1) & 1)


def split_frames(data):
    """The frames of an MP3 stream that holds nothing else (lame -t, no tags)."""
    frames = []
    at = 0
    while at < len(data):
        header = data[at:at + 4]
        # Layer III without a checksum, as lame writes it unless told otherwise.
        if len(header) < 4 or header[0] != 0xFF or header[1] & 0xE7 != 0xE3:
            raise ValueError("no Layer III frame at byte %d" % at)
        length = frame_length(header)
        # Without the bit reservoir no frame's sound begins in the frames before it.
        main_data_begin = (data[at + 4] << 1 | data[at + 5] >> 7) if header[1] & 0x18 == 0x18 \
            else data[at + 4]
        if main_data_begin:
            raise ValueError("frame at byte %d leans on the one before it" % at)
        frames.append(data[at:at + length])
        at += length
    return frames


def make_distinct_sources(folder):
    """For each clip, its encodings' frames, one list per bit rate."""
    sources = {}
    for name, rate, channels, _, _, _ in CLIPS:
        mode, bitrates = DISTINCT[name]
        wav = os.path.join(folder, name + ".wav")
        subprocess.run(["sox", "-R", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", wav,
                        "synth", str(DISTINCT_SECONDS), "pinknoise", "vol", "0.4"], check=True)
        sources[name] = []
        for bitrate in bitrates:
            mp3 = os.path.join(folder, "%s-%d.mp3" % (name, bitrate))
            # At low rates lame would lower the sample rate unless told to keep it.
            subprocess.run(["lame", "--quiet", "--nores", "-t", "-b", str(bitrate), "-m", mode,
                            "--resample", str(rate / 1000), wav, mp3], check=True)
            with open(mp3, "rb") as f:
                sources[name].append(split_frames(f.read()))
        # Frames of one clip must make one stream, whichever follows which.
        stream = {(f[1], f[2] & 0x0C, f[3] >> 6 == 3) for frames in sources[name] for f in frames}
        if len(stream) != 1:
            raise ValueError("the encodings of %s are not one stream: %s" % (name, stream))
    return sources


def info_frame(first, frames, size, vbr):
    """A frame that holds no sound and tells the length of the `frames` frames of `size` bytes
    that follow it, as lame's Info frame does (a Xing frame where the rate varies): the header
    of the first of them without its padding, empty side information, then the tag, the flags
    for a frame count and a byte count, and the two counts. The byte count includes this
    frame."""
    header = bytes([first[0], first[1], first[2] & ~0x02, first[3]])
    length = frame_length(header)
    mpeg1 = header[1] & 0x18 == 0x18
    mono = header[3] >> 6 == 3
    side_info = (17 if mono else 32) if mpeg1 else (9 if mono else 17)
    fields = (b"Xing" if vbr else b"Info") + (3).to_bytes(4, "big") + \
        frames.to_bytes(4, "big") + (size + length).to_bytes(4, "big")
    frame = header + bytes(side_info) + fields
    return frame + bytes(length - len(frame))


class DistinctAudio:
    """Audio of its own for every file, looked up by clip name as the clips are, but new at every
    look-up. It draws from a generator apart from the one that lays out the folders and writes
    the tags, so that those stay as they are without --distinct."""

    def __init__(self, seed, sources, no_header):
        self.rng = random.Random("distinct %d" % seed)
        self.sources = sources
        self.no_header = no_header
        self.lengths = {name: seconds * rate for name, rate, _, seconds, _, _ in CLIPS}

    def __getitem__(self, clip):
        encodings = self.sources[clip]
        samples = 1152 if encodings[0][0][1] & 0x18 == 0x18 else 576
        # At least a second even for the shortest clip: a file of no whole second has no
        # duration to read.
        count = round(self.lengths[clip] / samples * self.rng.uniform(0.6, 1.4))
        frames = []
        for _ in range(count):
            # Where the clip has several encodings, each frame's rate is drawn anew.
            encoding = self.rng.choice(encodings)
            frames.append(self.rng.choice(encoding))
        audio = b"".join(frames)
        if self.no_header:
            return audio
        return info_frame(frames[0], count, len(audio), len(encodings) > 1) + audio


def make_clips(folder, no_header):
    clips = {}
    for name, rate, channels, seconds, synth, lame in CLIPS:
        wav = os.path.join(folder, name + ".wav")
        mp3 = os.path.join(folder, name + ".mp3")
        # -R: the noise generators start from the same seed every time.
        subprocess.run(["sox", "-R", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", wav,
                        "synth", str(seconds), *synth, "vol", "0.4"], check=True)
        subprocess.run(["lame", "--quiet", *lame, *(["-t"] if no_header else []), wav, mp3],
                       check=True)
        with open(mp3, "rb") as f:
            clips[name] = f.read()
    return clips


class Corpus:
    def __init__(self, rng, clips):
        self.rng = rng
        self.clips = clips
        self.artists = set()

    def title(self):
        if self.rng.random() < 0.12:
            return self.rng.choice(ODD_TITLES)
        words = self.rng.sample(WORDS, self.rng.choice((1, 2, 2, 3, 4)))
        return " ".join(w.capitalize() for w in words)

    def artist(self):
        while True:
            if self.rng.random() < 0.08:
                name = self.rng.choice(ODD_ARTISTS)
            else:
                name = self.rng.choice(FIRST) + " " + self.rng.choice(SECOND)
                if self.rng.random() < 0.25:
                    name = "The " + name
            if name in self.artists:
                name = "%s %d" % (name, len(self.artists))
            if name not in self.artists:
                self.artists.add(name)
                return name

    def encoding(self, text, version):
        """Latin-1 where it can hold the text and the dice say so, else UTF-16 (or UTF-8 in
        ID3v2.4)."""
        try:
            text.encode("latin-1")
            fits = True
        except UnicodeEncodeError:
            fits = False
        if fits and self.rng.random() < 0.5:
            return id3.Encoding.LATIN1
        if version == 4 and self.rng.random() < 0.7:
            return id3.Encoding.UTF8
        return id3.Encoding.UTF16

    def song(self, song):
        """The bytes of one file: a clip with the song's tags."""
        audio = self.clips[song["clip"]]
        kind = song["tags"]
        if kind == "none":
            return audio
        version = 4 if kind.startswith("v2.4") else 3
        tag = id3.ID3()
        for frame, text in [(id3.TIT2, song["title"]), (id3.TPE1, song["artist"]),
                            (id3.TALB, song["album"]), (id3.TCON, song["genre"])]:
            if text:
                tag.add(frame(encoding=self.encoding(text, version), text=[text]))
        if song["track"]:
            tag.add(id3.TRCK(encoding=id3.Encoding.LATIN1, text=[song["track"]]))
        if song["year"]:
            year = id3.TDRC if version == 4 else id3.TYER
            tag.add(year(encoding=id3.Encoding.LATIN1, text=[song["year"]]))
        if self.rng.random() < 0.2:
            tag.add(id3.COMM(encoding=id3.Encoding.LATIN1, lang="eng", desc="",
                             text=["Ripped for the benchmarks"]))
        data = io.BytesIO(audio)
        tag.save(data, v1=2 if kind.endswith("+v1") or kind == "v1" else 0,
                 v2_version=version, padding=lambda info: 256)
        if kind == "v1":
            id3.delete(data, delete_v1=False, delete_v2=True)
        return data.getvalue()


def file_name(text):
    for c in '/\\?*:"<>|':
        text = text.replace(c, "_")
    return text.strip(" .") or "_"


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", type=int, metavar="N")
    parser.add_argument("folder", metavar="DIR")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-header", action="store_true")
    parser.add_argument("--distinct", action="store_true")
    args = parser.parse_args()
    if args.count < 1:
        parser.error("N must be at least 1")
    if os.path.exists(args.folder) and os.listdir(args.folder):
        parser.error(args.folder + " is not empty")
    os.makedirs(args.folder, exist_ok=True)

    work = tempfile.mkdtemp(prefix="corpus-clips.")
    try:
        if args.distinct:
            clips = DistinctAudio(args.seed, make_distinct_sources(work), args.no_header)
        else:
            clips = make_clips(work, args.no_header)
    finally:
        shutil.rmtree(work)
    rng = random.Random(args.seed)
    corpus = Corpus(rng, clips)
    names = [c[0] for c in CLIPS]

    made = 0
    folders = 0
    while made < args.count:
        artist = corpus.artist()
        artist_folder = os.path.join(args.folder, file_name(artist))
        for _ in range(rng.choice((1, 1, 2, 3, 4))):
            if made >= args.count:
                break
            album = corpus.title()
            year = str(rng.randint(1962, 2024)) if rng.random() < 0.8 else ""
            genre = rng.choice(GENRES)
            tracks = min(rng.randint(4, 16), args.count - made)
            discs = 2 if tracks >= 10 and rng.random() < 0.1 else 1
            album_folder = os.path.join(artist_folder, file_name(album))
            # One artist may draw the same album title twice: the second gets a folder of its own.
            if os.path.exists(album_folder):
                album_folder += " (%d)" % made
            for disc in range(1, discs + 1):
                folder = os.path.join(album_folder, "CD%d" % disc) if discs > 1 else album_folder
                os.makedirs(folder, exist_ok=True)
                folders += 1
                if rng.random() < 0.3:
                    write(os.path.join(folder, "cover.jpg"), b"\xff\xd8\xff\xe0" + bytes(2048))
                if rng.random() < 0.05:
                    write(os.path.join(folder, "notes.txt"), b"Recorded live.\n")
                for number in range(1, tracks // discs + 1):
                    if made >= args.count:
                        break
                    title = corpus.title()
                    song = {
                        "clip": rng.choices(names, CLIP_WEIGHTS)[0],
                        "tags": rng.choices(TAG_KINDS, TAG_WEIGHTS)[0],
                        "title": title, "artist": artist, "album": album, "genre": genre,
                        "year": year,
                        "track": rng.choice(("%d/%d" % (number, tracks), "%02d" % number,
                                             str(number), "")),
                    }
                    extension = ".MP3" if rng.random() < 0.02 else ".mp3"
                    name = "%02d %s%s" % (number, file_name(title), extension)
                    write(os.path.join(folder, name), corpus.song(song))
                    made += 1
        # Now and then a song that belongs to no album.
        if made < args.count and rng.random() < 0.1:
            singles = os.path.join(args.folder, "Singles")
            os.makedirs(singles, exist_ok=True)
            song = {"clip": rng.choices(names, CLIP_WEIGHTS)[0],
                    "tags": rng.choices(TAG_KINDS, TAG_WEIGHTS)[0], "title": corpus.title(),
                    "artist": artist, "album": "", "genre": rng.choice(GENRES), "year": "",
                    "track": ""}
            name = "%s - %s.mp3" % (file_name(artist), file_name(song["title"]))
            path = os.path.join(singles, name)
            if not os.path.exists(path):
                write(path, corpus.song(song))
                made += 1

    print("%d MP3 files in %d album folders below %s%s%s" %
          (made, folders, args.folder, " (no Xing/Info frames)" if args.no_header else "",
           ", each with audio of its own" if args.distinct else ""))



# bench/make-problem-tree: a small folder of MP3 files with one problem planted in each, whose
# names say which, beside sound files and two hostile ones. EXPECTED.txt lists what Check Files
# is to report for each file.

def frame_offsets(data):
    """Where each MPEG audio frame of `data` (audio alone, no tags) begins."""
    offsets = []
    at = 0
    while at + 4 <= len(data) and data[at] == 0xFF and data[at + 1] & 0xE0 == 0xE0:
        offsets.append(at)
        at += frame_length(data[at:at + 4])
    return offsets


def encode(folder, name, seconds, synth, effect, lame):
    """`seconds` of stereo sound that sox synthesises, encoded by lame; the bytes."""
    wav = os.path.join(folder, name + ".wav")
    mp3 = os.path.join(folder, name + ".mp3")
    subprocess.run(["sox", "-R", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                    str(seconds), *synth, "vol", "0.5", *effect], check=True)
    subprocess.run(["lame", "--quiet", *lame, wav, mp3], check=True)
    with open(mp3, "rb") as f:
        return f.read()


def tagged(audio, title, album="", track="", v1=False):
    """`audio` with an ID3v2.4 tag (and an ID3v1 tag that agrees with it)."""
    tag = id3.ID3()
    tag.add(id3.TIT2(encoding=id3.Encoding.UTF8, text=[title]))
    tag.add(id3.TPE1(encoding=id3.Encoding.UTF8, text=["Planted Problems"]))
    if album:
        tag.add(id3.TALB(encoding=id3.Encoding.UTF8, text=[album]))
    if track:
        tag.add(id3.TRCK(encoding=id3.Encoding.LATIN1, text=[track]))
    data = io.BytesIO(audio)
    tag.save(data, v1=2 if v1 else 0, v2_version=4, padding=lambda info: 0)
    return data.getvalue()


def overwritten(data, at, replacement):
    return data[:at] + replacement + data[at + len(replacement):]


def syncsafe(value):
    return bytes((value >> shift) & 0x7F for shift in (21, 14, 7, 0))


def problem_tree(folder, work):
    noise = ["pinknoise"]
    cbr = encode(work, "cbr", 8, noise, [], ["-b", "128"])
    vbr = encode(work, "vbr", 8, noise, [], ["-V", "2"])
    middle = frame_offsets(cbr)[len(frame_offsets(cbr)) // 2]
    xing = vbr.find(b"Xing")
    files = [
        # name, bytes, what Check Files is to report
        ("Planted/cut-short.mp3", tagged(vbr[:len(vbr) // 2 + 17], "Cut Short"), "Cut short"),
        ("Planted/lost-sync.mp3", tagged(overwritten(cbr, middle, b"U" * 10), "Lost Sync"),
         "Damaged audio"),
        # Side information of ones: more big values than a granule holds.
        ("Planted/damaged-frame.mp3",
         tagged(overwritten(cbr, middle + 4, b"\xff" * 32), "Damaged Frame"), "Damaged audio"),
        ("Planted/vbr-no-header.mp3",
         tagged(encode(work, "vbrt", 8, noise, [], ["-V", "2", "-t"]), "VBR No Header"),
         "VBR without header"),
        ("Planted/low-rate-cbr.mp3", tagged(encode(work, "cbr96", 8, noise, [], ["-b", "96"]),
                                            "Low Rate CBR"), "Low bit rate"),
        ("Planted/low-rate-vbr.mp3",
         tagged(encode(work, "vbr9", 8, noise, [], ["-V", "9", "--resample", "44.1"]),
                "Low Rate VBR"), "Low bit rate"),
        ("Planted/no-audio.mp3", tagged(bytes(20000), "No Audio"), "No audio"),
        ("Planted/reencoded-320.mp3",
         tagged(encode(work, "lowpassed", 8, ["whitenoise"], ["sinc", "-16k"], ["-b", "320"]),
                "Reencoded 320"), "Suspected re-encode (with the re-encode analysis ticked)"),
        ("Sound/sound-cbr.mp3", tagged(cbr, "Sound CBR", v1=True), ""),
        ("Sound/sound-vbr.mp3", tagged(vbr, "Sound VBR"), ""),
        ("Sound/sound-320.mp3",
         tagged(encode(work, "broad", 8, ["whitenoise"], [], ["-b", "320"]), "Sound 320"), ""),
        ("Hostile/huge-tag-size.mp3", b"ID3\x04\x00\x00" + syncsafe(0x0FFFFFFF) + cbr,
         "Unreadable tag frames"),
        ("Hostile/xing-billions.mp3",
         tagged(overwritten(vbr, xing + 8, b"\xff" * 8), "Xing Billions"), "Cut short"),
    ]
    # ID3v1 says another title than ID3v2.
    agreeing = tagged(cbr, "Tags Disagree", v1=True)
    files.append(("Planted/tags-disagree.mp3",
                  agreeing[:-125] + b"Another Title".ljust(30, b"\0") + agreeing[-95:],
                  "Tags disagree"))
    # An ID3v2.3 frame in a text encoding that does not exist.
    frame = b"TIT2" + (5).to_bytes(4, "big") + b"\0\0" + b"\x07Song"
    files.append(("Planted/unreadable-tag-frame.mp3",
                  b"ID3\x03\x00\x00" + syncsafe(len(frame)) + frame + cbr,
                  "Unreadable tag frames"))
    for track in (1, 2, 4):
        files.append(("Gappy Album/%02d Track.mp3" % track,
                      tagged(cbr, "Track %d" % track, "Gappy Album", str(track)),
                      "Missing tracks (track 3 missing of 1-4)"))
    for track in (1, 2, 3):
        files.append(("Whole Album/%02d Track.mp3" % track,
                      tagged(vbr, "Track %d" % track, "Whole Album", "%d/3" % track), ""))
    lines = []
    for name, data, expected in files:
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write(path, data)
        lines.append("%s\t%s\n" % (name, expected or "nothing"))
    write(os.path.join(folder, "EXPECTED.txt"), "".join(lines).encode("utf-8"))
    return len(files)


def problem_tree_main(argv):
    parser = argparse.ArgumentParser(
        prog="make-problem-tree",
        description="Writes a small folder of MP3 files, each with one problem planted.")
    parser.add_argument("folder", metavar="DIR")
    args = parser.parse_args(argv)
    if os.path.exists(args.folder) and os.listdir(args.folder):
        parser.error(args.folder + " is not empty")
    os.makedirs(args.folder, exist_ok=True)
    work = tempfile.mkdtemp(prefix="problem-tree.")
    try:
        count = problem_tree(args.folder, work)
    finally:
        shutil.rmtree(work)
    print("%d MP3 files below %s; EXPECTED.txt says what each is to show" % (count, args.folder))
    return 0

if __name__ == "__main__":
    sys.exit(main())
