#!/usr/bin/env python3
"""Writes the seed corpora, fuzz/corpus/<target>/<seed>, from scratch.

Each seed is laid out as its harness reads it (see the comment at the top
of fuzz/<target>.cpp). Run it after changing a harness's input layout:
    python3 fuzz/make_corpus.py
It replaces every file it makes and leaves other files alone.
"""
import os
import plistlib
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "corpus")
sys.path.insert(0, os.path.join(HERE, "..", "tools", "fakedevice"))

from music_library import compressed_database, database_header  # noqa: E402


def u16(v):
    return struct.pack(">H", v)


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- tokenizer: options, markers, allocation failure, text -----------------

def tokenize_seeds():
    # options: bit 0/1 keep backslashes/offsets, bits 2-3 singles, 4-5 separators
    # markers: bits 0-1 line comment, 2-3 block start, 4-5 block end
    seeds = {
        "command_line": (0x10, 0x00, 0x00, b'getFile "/a b/c" \'/tmp/x y\' plain\\ word'),
        "keep_offsets": (0x12, 0x00, 0x00, b'one "two three" four'),
        "backslashes": (0x11, 0x00, 0x00, b'a\\ b "c\\"d" \\\\e'),
        "comments": (0x3c, 0x2a, 0x00, b"key=value; # note\n/* block */ x = \"y z\"\n// end"),
        "singles": (0x28, 0x01, 0x00, b"a=b;c==;\"q=r\";'s t'#"),
        "no_memory": (0x10, 0x00, 0x83, b'alpha beta "gamma delta" epsilon ' * 8),
        "unterminated": (0x10, 0x2a, 0x00, b'"open quote and /* open comment'),
    }
    for name, (options, markers, failure, text) in seeds.items():
        write("fuzz_tokenize", name, bytes([options, markers, failure]) + text)


# ---- command loop: scene, device failure, lines ----------------------------

def command_seeds():
    # scene: bit 0 connected, bit 1 no compressed database, bit 2 damaged one,
    # bits 4-7 largest reply / 97; failure: bits 0-1 call, 2-4 nth, 5-7 status
    seeds = {
        "connected": (0x01, 0x00, b"status\ngetDB /dev/null\ngetFile /a out\n"
                      b"getFile /missing /dev/null\npid\nXMLDebug\ndisconnect\ngetDB x\n"),
        "offline": (0x00, 0x00, b"status\nconnect\ngetDB /dev/null\n"
                    b"nonsense \"quoted word\" \\ esc\nXMLPath\n\n   \nquit\n"),
        "fallback": (0x13, 0x25, b"getDB db\ngetFile /a \"with blank\"\nstatus\n"),
        "damaged": (0x25, 0x00, b"getDB /dev/null\ngetDB\ngetFile /a\ngetFile a b c\n"),
        "link_lost": (0x51, 0x09, b"getFile /iTunes_Control/iTunes/iTunesDB /dev/null\n"
                      b"status\ngetDB /dev/null\nstatus\n"),
        "open_fails": (0x01, 0x40, b"getFile /a /dev/null\ngetDB /dev/null\nXMLPath\n"),
        "library": (0x01, 0x00, b"getLibrary lib\ngetLibrary\ngetLibrary a b\ngetDB lib\n"),
    }
    for name, (scene, failure, text) in seeds.items():
        write("fuzz_command", name, bytes([scene, failure]) + text)


# ---- compressed copy: reads, cut, cut offset, header length, file ----------

def music_database(header_length, body):
    return compressed_database(database_header(header_length), body, 9)


def compressed_copy_seeds():
    body = b"".join(b"mhit" + struct.pack("<I", i) + b"track %d " % i * 3 for i in range(40))
    # reads: 0 any, 1-31 bytes, else (n - 31) * 67; cut: 0 none, else status n % 8
    # header: 0 -> 188, 1 -> 244, 2 -> 0, 3 -> 8192, 4 -> 8, 5 -> 189
    seeds = {
        "whole": (0, 0, 0, 0, music_database(188, body)),
        "own_header_244": (7, 0, 0, 0, music_database(244, body)),
        "one_byte_reads": (1, 0, 0, 1, music_database(244, body) + b"trailing"),
        "cut_inside": (40, 1, 700, 0, music_database(188, body)),
        "truncated": (100, 0, 0, 0, music_database(188, body)[:-5]),
        "no_header": (0, 0, 0, 2, zlib.compress(b"x" * 5000)),
        "raw_deflate": (13, 0, 0, 0, database_header(188)
                        + zlib.compressobj(6, zlib.DEFLATED, -15).compress(body)),
    }
    for name, (reads, cut, cut_at, header, data) in seeds.items():
        write("fuzz_compressed_copy", name, bytes([reads, cut]) + u16(cut_at) + bytes([header]) + data)


# ---- alias records ----------------------------------------------------------

def pascal(text, field):
    text = text[: field - 1]
    return bytes([len(text)]) + text + bytes(field - 1 - len(text))


def item(tag, value):
    out = struct.pack(">hH", tag, len(value)) + value
    return out + (b"\0" if len(value) & 1 else b"")


def unicode_name(text):
    units = text.encode("utf-16-be")
    return struct.pack(">H", len(units) // 2) + units


def record_v2(items, kind=1, volume=b"Macintosh HD", name=b"Music", attributes=0x0920,
              nlvl=(-1, -1), user_type=0):
    fixed = struct.pack(">H", kind) + pascal(volume, 28)
    fixed += struct.pack(">IHHI", 0xC6AB1986, 0x482B, 0, 625488)
    fixed += pascal(name, 64)
    fixed += struct.pack(">IIIIhhIH", 625489, 0xC6E7A211, 0, 0, nlvl[0], nlvl[1], attributes, 0)
    fixed += bytes(10)
    body = fixed + b"".join(items) + b"\xff\xff\x00\x00"
    return struct.pack(">IHH", user_type, 8 + len(body), 2) + body


def record_v3(items, kind=1):
    fixed = struct.pack(">H", kind) + struct.pack(">Q", 0xCE18710E0000)
    fixed += b"H+\0\0" + struct.pack(">HII", 0, 0x26EAE, 0x26EB1)
    fixed += struct.pack(">QI", 0xCBF70A4F0000, 0x0920)
    fixed += bytes.fromhex("fffe00000000000000000000ffff")[:14]
    body = fixed + b"".join(items) + b"\xff\xff\x00\x00"
    return struct.pack(">IHH", 0, 8 + len(body), 3) + body


def folder_record(path, version=2):
    """A record of a folder on the boot volume: tag 18 without its leading /."""
    parts = path.strip("/").split("/")
    name = parts[-1].encode()
    hfs = b"Macintosh HD:" + b":".join(p.encode() for p in parts)
    if version == 3:
        return record_v3([item(1, struct.pack(">II", 7, 9)), item(14, unicode_name(parts[-1])),
                          item(15, unicode_name("Macintosh HD")),
                          item(18, "/".join(parts).encode()), item(19, b"/")])
    return record_v2([
        item(0, parts[-2].encode() if len(parts) > 1 else b"Macintosh HD"),
        item(16, struct.pack(">Q", 0xC6AB7BF60000)),
        item(17, struct.pack(">Q", 0xC6E804810000)),
        item(1, struct.pack(">III", 625488, 625431, 37095)),
        item(2, hfs), item(14, unicode_name(parts[-1])), item(15, unicode_name("Macintosh HD")),
        item(18, "/".join(parts).encode()), item(19, b"/"), item(21, struct.pack(">H", 13)),
    ], name=name)


LIBRARY = "/tmp/afclink-fuzz-locator/library"


def alias_seeds():
    v2 = folder_record("/Users/someone/Music/iTunes")
    seeds = {
        "v2_home_folder": v2,
        "v3_folder": folder_record("/Applications/iTunes.app/Contents", version=3),
        "v2_hfs_path_only": record_v2([
            item(2, b"Backup:Users:\0someone:\0Music/Old:\0iTunes"),
            item(15, unicode_name("Backup"))], attributes=0x0002, volume=b"Backup"),
        "v2_other_volume": record_v2([item(18, b"/.background/background.tiff"),
                                      item(19, b"/Volumes/Disk")], kind=0,
                                     volume=b"Disk", attributes=0x0D02, name=b"background.tiff"),
        "v2_nested_image": record_v2([
            item(18, b"/x"), item(19, b"/Volumes/Image"),
            item(20, record_v2([item(18, b"Users/someone/image.dmg"), item(19, b"/")], kind=0))]),
        "v2_relative": record_v2([item(18, b"tmp/afclink-fuzz-locator/library"), item(19, b"/")],
                                 nlvl=(2, 3)),
        "v2_mac_roman": record_v2([item(0, b"Caf\x8e"), item(18, b"Users/caf\x8e/M\x9fsik")]),
        "v2_trailing_bytes": v2 + b"application bytes after the record",
        "v2_unknown_tags": record_v2([item(3, b"zone"), item(9, b"\x01\x02\x03"),
                                      item(30000, b""), item(18, b"tmp"), item(19, b"/")]),
        "v2_locator_library": folder_record(LIBRARY),
    }
    for index, (name, record) in enumerate(seeds.items()):
        # form: bit 0 archive, bits 1-2 base folder
        write("fuzz_alias", name, bytes([(index % 4) << 1]) + record)
    write("fuzz_alias", "archive_binary",
          bytes([1]) + plistlib.dumps(folder_record(LIBRARY), fmt=plistlib.FMT_BINARY))
    write("fuzz_alias", "archive_xml",
          bytes([3]) + plistlib.dumps(seeds["v2_other_volume"], fmt=plistlib.FMT_XML))


# ---- locator: scene, iApps length, iApps file, iTunes file ------------------

def locator_seeds():
    xml, binary = plistlib.FMT_XML, plistlib.FMT_BINARY
    iapps = plistlib.dumps({"iTunesRecentDatabasePaths": ["~/Music/iTunes/iTunes Library.xml"]},
                           fmt=xml)
    iapps_empty = plistlib.dumps({"iTunesRecentDatabasePaths": [""], "Other": 3}, fmt=binary)
    iapps_wrong = plistlib.dumps({"iTunesRecentDatabasePaths": "not an array"}, fmt=xml)
    itunes_library = plistlib.dumps({"alis:1:iTunes Library Location": folder_record(LIBRARY)},
                                    fmt=binary)
    itunes_music = plistlib.dumps(
        {"alis:11345:Music Folder Location": folder_record(LIBRARY, version=3)}, fmt=xml)
    itunes_empty = plistlib.dumps({"alis:1:iTunes Library Location": b"",
                                   "alis:11345:Music Folder Location": folder_record(LIBRARY)},
                                  fmt=binary)
    itunes_nothing = plistlib.dumps(
        {"alis:1:iTunes Library Location": folder_record("/tmp/afclink-fuzz-locator/empty")},
        fmt=xml)
    itunes_damaged = plistlib.dumps(
        {"alis:1:iTunes Library Location": folder_record(LIBRARY)[:100]}, fmt=binary)
    itunes_wrong = plistlib.dumps({"alis:1:iTunes Library Location": "a string",
                                   "alis:11345:Music Folder Location": [1, 2]}, fmt=binary)
    # scene: bit 0 iApps present, 1 iTunes present, 2/3 each a folder instead,
    # 4 ~/Music/iTunes/iTunes Library.xml exists
    seeds = {
        "recent_path": (0x03, iapps, itunes_library),
        "recent_empty_then_alias": (0x03, iapps_empty, itunes_library),
        "music_folder_v3": (0x02, b"", itunes_music),
        "empty_alias_is_none": (0x12, b"", itunes_empty),
        "alias_folder_without_library": (0x02, b"", itunes_nothing),
        "damaged_alias": (0x02, b"", itunes_damaged),
        "wrong_types_fallback": (0x13, iapps_wrong, itunes_wrong),
        "prefs_are_folders": (0x1f, iapps, itunes_library),
        "nothing_at_all": (0x00, b"", b""),
    }
    for name, (scene, first, second) in seeds.items():
        write("fuzz_locator", name, bytes([scene]) + u16(len(first)) + first + second)


# ---- file-service layer: connection, size, rules, then caller operations ---

def length_small(v):
    assert v < 1 << 14
    return u16(v)


def length_kib(v):
    assert v < 1 << 14
    return u16(3 << 14 | v)


def length_near_64k(units, delta):
    return u16(2 << 14 | units << 6 | (delta + 32))


def afc_seeds():
    # Rule kinds: 0 short reply, 1 failed read, 2 over-reported reply,
    # 3 seek fails, 4 tell fails, 5 write fails, 6 open fails, 7 close fails;
    # +8: from that position on.
    def rule(kind, from_on, param, position):
        return bytes([kind | (8 if from_on else 0), param]) + position

    def header(size, rules, client=0):
        return bytes([client]) + size + bytes([len(rules)]) + b"".join(rules)

    # Modes other than 1 and 3, and seeks from the current position (whence
    # 1), are refused by the layer: the seeds that use them still run, with
    # those operations refused.
    def open_file(slot, mode, which=0):
        return bytes([4 | slot << 3 | (mode - 1) << 4, which])

    def read(slot, length):
        return bytes([slot << 3]) + length

    def read_through(slot, piece):  # piece: 0 8192, 1 one byte, 2 seven, 3 4096, 4 64 KiB...
        return bytes([7 | slot << 3, piece])

    def seek(slot, whence, negative, length):
        return bytes([2 | slot << 3 | whence << 4 | (0x40 if negative else 0)]) + length

    def write_bytes(slot, length):
        return bytes([3 | slot << 3]) + length

    def close(slot):
        return bytes([5 | slot << 3])

    seeds = {
        "read_through": header(length_kib(5120), []) + open_file(0, 1) + read_through(0, 0),
        "short_reply_at_piece": header(length_near_64k(80, 5), [rule(0, False, 10, length_kib(2048))])
        + open_file(0, 1) + read_through(0, 4),
        "fails_from_3mib": header(length_kib(7000), [rule(1, True, 0, length_kib(3072))])
        + open_file(0, 1) + read_through(0, 0),
        "overclaim": header(length_kib(4100), [rule(2, True, 5, length_small(0))])
        + open_file(0, 1) + read(0, length_kib(3000)) + read_through(0, 5),
        "read_write_seek": header(length_kib(4200), []) + open_file(0, 2)
        + read(0, length_small(10000)) + seek(0, 1, True, length_small(5000))
        + write_bytes(0, length_small(3000)) + read_through(0, 0)
        + seek(0, 2, True, length_small(10)) + read(0, length_small(100)),
        "two_files": header(length_kib(4500), []) + open_file(0, 1) + open_file(1, 1)
        + read(0, length_small(8192)) + read(1, length_kib(2048)) + read(0, length_kib(3000))
        + read_through(1, 5) + close(0) + read_through(1, 0),
        "seek_fails_midway": header(length_kib(6000), [rule(3, False, 1, length_kib(2100))])
        + open_file(0, 1) + read(0, length_kib(2100)) + seek(0, 0, False, length_small(100))
        + read_through(0, 0),
        "close_fails": header(length_kib(3000), [rule(7, True, 0, length_small(0))])
        + open_file(0, 1) + read(0, length_small(8192)) + close(0) + read_through(0, 0),
        "append_and_truncate": header(length_kib(100), []) + open_file(0, 6)
        + write_bytes(0, length_kib(2500)) + seek(0, 0, False, length_small(0))
        + read_through(0, 0) + close(0) + open_file(0, 4) + write_bytes(0, length_small(5))
        + read_through(0, 2),
        "end_of_file_probe": header(length_kib(2048), []) + open_file(0, 1)
        + read(0, length_kib(2048)) + read(0, length_small(1)) + seek(0, 0, False, length_kib(4096))
        + read(0, length_small(10)),
        "client_refused": header(length_small(0), [], client=0xFF) + open_file(0, 1),
    }
    for name, data in seeds.items():
        write("fuzz_afc", name, data)


def main():
    tokenize_seeds()
    command_seeds()
    compressed_copy_seeds()
    alias_seeds()
    locator_seeds()
    afc_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
