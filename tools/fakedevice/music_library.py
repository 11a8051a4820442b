"""A phone's music library, both generations: the one place that makes them.

The old generation (iPhone OS 3 and 4) is an "mhbd" database: a header that
starts with its magic and its own length, then the body. The phone keeps it
compressed (`iTunesCDB`: the header, then a zlib stream of the body) and
leaves a 0-byte plain `iTunesDB` beside it; getDB yields header + body.

The modern generation is `MediaLibrary.sqlitedb`, an SQLite database in WAL
mode whose newest commits live only in `MediaLibrary.sqlitedb-wal`. Every
write here is one commit that keeps the invariant `invariant_violations`
checks, so every committed state of a library made here, and of one the
emulated media daemon goes on writing, passes it; a copy that mixes pages
from before and after a commit or a checkpoint almost never does.
"""

import collections
import functools
import hashlib
import os
import random
import shutil
import sqlite3
import string
import struct
import tempfile
import zlib

ITUNES = "iTunes_Control/iTunes"
CDB = "/%s/iTunesCDB" % ITUNES
PLAIN_DB = "/%s/iTunesDB" % ITUNES
LIBRARY = "/%s/MediaLibrary.sqlitedb" % ITUNES
LIBRARY_WAL = LIBRARY + "-wal"
USER_VERSION = 2120020
FIRST_BASE_LOCATION = 3840  # iTunes_Control/Music/F00
MUSIC_FOLDERS = 50          # F00 .. F49
APPLE_EPOCH = 978307200     # library times count seconds from 2001-01-01

# One row per track in each of item, item_extra, item_stats and the primary
# container's container_item; db_info counts them and the plays, and its
# revision moves with the primary container's on every commit.
SCHEMA = """
CREATE TABLE db_info (db_pid INTEGER PRIMARY KEY, primary_container_pid INTEGER,
    revision INTEGER, item_count INTEGER, play_count_total INTEGER);
CREATE TABLE item (item_pid INTEGER PRIMARY KEY, media_type INTEGER, album_pid INTEGER,
    item_artist_pid INTEGER, album_artist_pid INTEGER, genre_id INTEGER,
    track_number INTEGER, disc_number INTEGER, base_location_id INTEGER,
    in_my_library INTEGER);
CREATE TABLE item_extra (item_pid INTEGER PRIMARY KEY, title TEXT, sort_title TEXT,
    total_time_ms INTEGER, year INTEGER, location TEXT, file_size INTEGER,
    media_kind INTEGER, comment TEXT);
CREATE TABLE item_artist (item_artist_pid INTEGER PRIMARY KEY, item_artist TEXT);
CREATE TABLE album_artist (album_artist_pid INTEGER PRIMARY KEY, album_artist TEXT);
CREATE TABLE album (album_pid INTEGER PRIMARY KEY, album TEXT, album_artist_pid INTEGER);
CREATE TABLE genre (genre_id INTEGER PRIMARY KEY, genre TEXT);
CREATE TABLE base_location (base_location_id INTEGER PRIMARY KEY, path TEXT);
CREATE TABLE item_stats (item_pid INTEGER PRIMARY KEY, play_count_user INTEGER,
    date_played INTEGER, user_rating INTEGER);
CREATE TABLE container (container_pid INTEGER PRIMARY KEY, name TEXT, revision INTEGER);
CREATE TABLE container_item (container_item_pid INTEGER PRIMARY KEY, container_pid INTEGER,
    item_pid INTEGER, position INTEGER);
CREATE INDEX container_item_by_container ON container_item (container_pid, position);
"""

ARTISTS = ["Northern Lanterns", "Mara Quell", "The Paper Tigers", "Ostinato Club",
           "Lina Vardell", "Harbour Static", "Juniper Oak", "Sable & Stone"]
GENRES = ["Pop", "Rock", "Jazz", "Electronic", "Folk", "Classical"]
WORDS = ["river", "night", "glass", "summer", "echo", "velvet", "north", "ember",
         "paper", "signal", "harbour", "quiet", "golden", "winter", "orbit", "lantern"]

# Where long comments are cut from: text that reads as words, made once.
LINER_NOTES = " ".join(random.Random(7).choice(WORDS) for _ in range(16384))

Track = collections.namedtuple("Track", "pid title artist album path")
Library = collections.namedtuple("Library", "main wal tracks wal_only track_count")
Library.__doc__ = """What make_modern_library made: the host paths of the main
file and its -wal, the named tracks (padding left out), those of them whose
commits are only in the -wal, and how many tracks the library holds in all."""


def pseudo_random(size, seed=1):
    """Incompressible, reproducible bytes (a stream of hashes)."""
    out = bytearray()
    block = seed.to_bytes(8, "little")
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out.extend(block)
    return bytes(out[:size])


# ---- the old generation ------------------------------------------------------

def database_header(length, seed=None):
    """A header as handhelds write it: "mhbd", then its own length (LE); the
    rest is reproducible noise, so a copy that loses or moves a byte shows."""
    header = bytearray(pseudo_random(length, seed=length if seed is None else seed))
    header[0:4] = b"mhbd"
    header[4:8] = struct.pack("<I", length)
    return bytes(header)


def database_body(tracks):
    """A recognisable body: a section of one record per track."""
    records = []
    for number in range(tracks):
        title = ("Track %04d - %s - Demo Album" % (number, ARTISTS[number % len(ARTISTS)])).encode()
        records.append(b"mhit" + struct.pack("<II", 16 + len(title), number) + b"\0" * 4 + title)
    return b"mhsd" + struct.pack("<I", len(records)) + b"".join(records)


def compressed_database(header, body, level=6):
    """The phone's iTunesCDB: the header as it is, then the body deflated."""
    return header + zlib.compress(body, level)


def make_old_library(root, tracks=500, header_length=244, plain=b""):
    """An iPhone OS 4 library folder under root: iTunesCDB and a plain
    iTunesDB (0 bytes, as such phones leave it). Returns what getDB yields."""
    header, body = database_header(header_length), database_body(tracks)
    _write(root, CDB, compressed_database(header, body))
    _write(root, PLAIN_DB, plain)
    return header + body


def _write(root, device_path, data):
    host = os.path.join(root, device_path.lstrip("/"))
    os.makedirs(os.path.dirname(host), exist_ok=True)
    with open(host, "wb") as f:
        f.write(data)


# ---- the modern generation: commits that keep the invariant ----------------

@functools.lru_cache(maxsize=None)
def _pid(kind, name):
    """A stable 63-bit key for a named artist, album or genre."""
    return int.from_bytes(hashlib.sha256(("%s:%s" % (kind, name)).encode()).digest()[:8],
                          "little") >> 1


def audio_file(title, artist):
    """A small MP3: an ID3v2.3 tag naming the track, then silent MPEG frames."""
    def frame(tag, text):
        data = b"\x03" + text.encode()
        return tag + struct.pack(">I", len(data)) + b"\0\0" + data
    frames = frame(b"TIT2", title) + frame(b"TPE1", artist)
    size = len(frames)
    syncsafe = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    return b"ID3\x03\x00\x00" + syncsafe + frames + (b"\xff\xfb\x90\x64" + bytes(413)) * 4


def create(conn, rng):
    """The schema, the fixed rows and an empty primary container, one commit."""
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA user_version=%d" % USER_VERSION)
    conn.executescript("BEGIN;" + SCHEMA + "COMMIT;")
    primary = rng.getrandbits(62)
    with _transaction(conn):
        conn.executemany("INSERT INTO base_location VALUES (?, ?)",
                         [(FIRST_BASE_LOCATION + n, "iTunes_Control/Music/F%02d" % n)
                          for n in range(MUSIC_FOLDERS)])
        conn.execute("INSERT INTO container VALUES (?, 'Library', 0)", (primary,))
        conn.execute("INSERT INTO db_info VALUES (?, ?, 0, 0, 0)", (rng.getrandbits(62), primary))


class _transaction:
    """BEGIN IMMEDIATE ... COMMIT, or ROLLBACK when the block fails."""

    def __init__(self, conn):
        self.conn = conn

    def __enter__(self):
        self.conn.execute("BEGIN IMMEDIATE")

    def __exit__(self, kind, *_):
        self.conn.execute("COMMIT" if kind is None else "ROLLBACK")


def _bump(conn, tracks=0, plays=0):
    primary = conn.execute("SELECT primary_container_pid FROM db_info").fetchone()[0]
    conn.execute("UPDATE db_info SET revision = revision + 1, item_count = item_count + ?,"
                 " play_count_total = play_count_total + ?", (tracks, plays))
    conn.execute("UPDATE container SET revision = revision + 1 WHERE container_pid = ?",
                 (primary,))


def add_tracks(conn, rng, count, root=None, comment_bytes=0):
    """Adds count tracks in one commit. With root each gets an audio file at
    /iTunes_Control/Music/Fxx/ABCD.mp3 there; without, it has none (a track in
    the cloud). Returns them as Track records."""
    made, rows = [], ([], [], [], [])
    names = {"item_artist": set(), "album_artist": set(), "album": set(), "genre": set()}
    with _transaction(conn):
        primary, position = conn.execute(
            "SELECT primary_container_pid, item_count FROM db_info").fetchone()
        for n in range(count):
            pid = rng.getrandbits(62) | (1 << 62)
            artist, genre = rng.choice(ARTISTS), rng.choice(GENRES)
            album = "%s %s" % (rng.choice(WORDS).title(), rng.choice(WORDS).title())
            title = "%s %s %d" % (rng.choice(WORDS).title(), rng.choice(WORDS), pid % 10000)
            location, folder, size, path = "", 0, 0, ""
            if root is not None:
                folder = FIRST_BASE_LOCATION + rng.randrange(MUSIC_FOLDERS)
                path = ""
                while not path or os.path.exists(os.path.join(root, path.lstrip("/"))):
                    location = "".join(rng.choice(string.ascii_uppercase) for _ in range(4))
                    location += ".mp3"
                    path = "/iTunes_Control/Music/F%02d/%s" % (folder - FIRST_BASE_LOCATION,
                                                               location)
                data = audio_file(title, artist)
                size = len(data)
                _write(root, path, data)
            names["item_artist"].add((_pid("artist", artist), artist))
            names["album_artist"].add((_pid("artist", artist), artist))
            names["album"].add((_pid("album", album), album, _pid("artist", artist)))
            names["genre"].add((_pid("genre", genre), genre))
            rows[0].append((pid, 8, _pid("album", album), _pid("artist", artist),
                            _pid("artist", artist), _pid("genre", genre), n % 12 + 1, 1, folder, 1))
            comment = None
            if comment_bytes:
                start = rng.randrange(len(LINER_NOTES) - comment_bytes)
                comment = LINER_NOTES[start:start + comment_bytes]
            rows[1].append((pid, title, title.lower(), 180000 + pid % 120000,
                            1990 + pid % 35, location, size, 1, comment))
            rows[2].append((pid, 0, 0, 0))
            rows[3].append((None, primary, pid, position + n))
            made.append(Track(pid, title, artist, album, path))
        for table, named in names.items() if count else ():
            conn.executemany("INSERT OR IGNORE INTO %s VALUES (%s)"
                             % (table, ",".join("?" * len(next(iter(named))))), named)
        for table, row in zip(("item", "item_extra", "item_stats", "container_item"), rows):
            conn.executemany("INSERT INTO %s VALUES (%s)" % (table, ",".join("?" * len(row[0]))),
                             row)
        _bump(conn, tracks=count)
    return made


def record_plays(conn, rng, count=1):
    """Plays count tracks (picked at random) once each, in one commit."""
    with _transaction(conn):
        played = 0
        for _ in range(count):
            row = conn.execute("SELECT item_pid FROM item_stats WHERE item_pid >= ?"
                               " ORDER BY item_pid LIMIT 1", (rng.getrandbits(63),)).fetchone()
            row = row or conn.execute("SELECT min(item_pid) FROM item_stats").fetchone()
            if row is None or row[0] is None:
                break
            conn.execute("UPDATE item_stats SET play_count_user = play_count_user + 1,"
                         " date_played = ? WHERE item_pid = ?",
                         (int(rng.random() * 1e6) + 700000000, row[0]))
            played += 1
        _bump(conn, plays=played)


def checkpoint(conn, mode):
    """PRAGMA wal_checkpoint(mode); True when it was not held off by a reader."""
    busy, _, _ = conn.execute("PRAGMA wal_checkpoint(%s)" % mode).fetchone()
    return busy == 0


def open_library(path, timeout=1.0):
    """A writer's connection: explicit transactions, no automatic checkpoints."""
    conn = sqlite3.connect(path, timeout=timeout, isolation_level=None,
                           check_same_thread=False)
    conn.execute("PRAGMA wal_autocheckpoint=0")
    conn.execute("PRAGMA synchronous=NORMAL")
    return conn


def make_modern_library(root, tracks=40, wal_tracks=5, main_bytes=None, wal_bytes=None,
                        audio=True, seed=1):
    """A modern library under root: MediaLibrary.sqlitedb in WAL mode, its base
    tracks checkpointed into it, then the last wal_tracks tracks committed one
    by one and left only in MediaLibrary.sqlitedb-wal. main_bytes and wal_bytes
    grow each file to about that size with more tracks in the cloud carrying
    long comments, as a library grows. With audio, every named track has its
    file on the phone."""
    rng = random.Random(seed)
    files = root if audio else None
    target = os.path.join(root, LIBRARY.lstrip("/"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="medialib-")
    try:
        built = os.path.join(scratch, os.path.basename(target))
        conn = open_library(built)
        try:
            create(conn, rng)
            named = add_tracks(conn, rng, max(tracks - wal_tracks, 0), files)
            conn.execute("PRAGMA cache_size=-65536")
            padding = _grow(conn, rng, lambda: _page_bytes(conn), main_bytes, 2000)
            checkpoint(conn, "TRUNCATE")
            wal_only = []
            for _ in range(min(wal_tracks, tracks)):
                wal_only += add_tracks(conn, rng, 1, files)
            padding += _grow(conn, rng, lambda: os.path.getsize(built + "-wal"), wal_bytes, 100)
            # Copied while the connection is open: closing the last one would
            # fold the -wal into the main file and delete it.
            shutil.copyfile(built, target)
            shutil.copyfile(built + "-wal", target + "-wal")
        finally:
            conn.close()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    # An index of whatever library was here before does not describe this one.
    if os.path.exists(target + "-shm"):
        os.unlink(target + "-shm")
    return Library(target, target + "-wal", named + wal_only, wal_only,
                   len(named) + len(wal_only) + padding)


def _page_bytes(conn):
    page_size = conn.execute("PRAGMA page_size").fetchone()[0]
    return conn.execute("PRAGMA page_count").fetchone()[0] * page_size


def _grow(conn, rng, size, wanted, batch):
    """Commits batches of cloud tracks with long comments until size() reaches wanted."""
    added = 0
    while wanted and size() < wanted:
        add_tracks(conn, rng, batch, comment_bytes=3000)
        added += batch
    return added


# ---- reading a library: its tracks, and the invariant ----------------------

def _read_only(db_path):
    return sqlite3.connect("file:%s?mode=ro" % db_path, uri=True, isolation_level=None)


def read_tracks(db_path):
    """The tracks of a library file, in the primary container's order, as
    Track records (path: the device path of the track's file, or "")."""
    conn = _read_only(db_path)
    try:
        rows = conn.execute(
            "SELECT i.item_pid, e.title, a.item_artist, al.album,"
            " CASE WHEN i.base_location_id = 0 THEN ''"
            "  ELSE '/' || b.path || '/' || e.location END"
            " FROM db_info d JOIN container_item c ON c.container_pid = d.primary_container_pid"
            " JOIN item i ON i.item_pid = c.item_pid"
            " JOIN item_extra e ON e.item_pid = i.item_pid"
            " LEFT JOIN item_artist a ON a.item_artist_pid = i.item_artist_pid"
            " LEFT JOIN album al ON al.album_pid = i.album_pid"
            " LEFT JOIN base_location b ON b.base_location_id = i.base_location_id"
            " ORDER BY c.position").fetchall()
    finally:
        conn.close()
    return [Track(*row) for row in rows]


INVARIANT = [
    ("tracks in item", "SELECT count(*) FROM item"),
    ("tracks in item_extra", "SELECT count(*) FROM item_extra"),
    ("tracks in item_stats", "SELECT count(*) FROM item_stats"),
    ("tracks in the primary container", "SELECT count(*) FROM container_item c, db_info d"
     " WHERE c.container_pid = d.primary_container_pid"),
    ("distinct positions in the primary container",
     "SELECT count(DISTINCT position) FROM container_item c, db_info d"
     " WHERE c.container_pid = d.primary_container_pid AND position < d.item_count"),
    ("items with their extra, stats and place", "SELECT count(*) FROM item i"
     " JOIN item_extra USING (item_pid) JOIN item_stats USING (item_pid)"
     " JOIN container_item c ON c.item_pid = i.item_pid"
     " JOIN db_info d ON c.container_pid = d.primary_container_pid"),
]


def invariant_violations(db_path):
    """What is wrong with a library file (and the -wal beside it), as a list
    of sentences; empty when every committed state's invariant holds: the
    file is sound, db_info's track count matches each per-track table and
    the primary container, its play total is the sum of the plays, and its
    revision is the primary container's. Read in one transaction."""
    try:
        conn = _read_only(db_path)
    except sqlite3.Error as e:
        return ["cannot open: %s" % e]
    wrong = []
    try:
        conn.execute("BEGIN")
        check = [row[0] for row in conn.execute("PRAGMA quick_check")]
        if check != ["ok"]:
            wrong.append("quick_check: %s" % "; ".join(check[:5]))
        info = conn.execute("SELECT d.item_count, d.play_count_total, d.revision, c.revision"
                            " FROM db_info d LEFT JOIN container c"
                            " ON c.container_pid = d.primary_container_pid").fetchall()
        if len(info) != 1:
            return wrong + ["db_info has %d rows" % len(info)]
        count, plays, revision, container_revision = info[0]
        for what, query in INVARIANT:
            found = conn.execute(query).fetchone()[0]
            if found != count:
                wrong.append("%s: %d, db_info counts %d" % (what, found, count))
        played = conn.execute("SELECT total(play_count_user) FROM item_stats").fetchone()[0]
        if played != plays:
            wrong.append("plays: %d, db_info counts %d" % (played, plays))
        if revision != container_revision:
            wrong.append("revision: db_info %s, primary container %s"
                         % (revision, container_revision))
    except sqlite3.Error as e:
        wrong.append("cannot read: %s" % e)
    finally:
        conn.close()
    return wrong
