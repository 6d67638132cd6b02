#!/usr/bin/env python3
"""Reads the tag files written by tag_file_mutagen_writer with mutagen, an
ID3 reader that owes nothing to the plug-in: each must be an ID3v2.3.0 tag
with exactly TPE1, TIT2, TALB and an empty TRCK holding the texts given.

Encoding byte 0 means ISO-8859-1, so mutagen decodes the Shift-JIS bytes as
Latin-1; the expected texts are decoded the same way."""
import os
import sys

from mutagen.id3 import ID3

SAMPLES = {
    "ascii.mp3": (b"The Artist", b"The Title", b"The Album"),
    "shift_jis.mp3": (b"\x83\x65\x83\x8B\x83\x7E\x83\x93",
                      b"\x8B\xC8\x96\xBC \xB1",
                      b"\x83\x41\x83\x8B\x83\x6F\x83\x80"),
    "empty.mp3": (b"", b"", b""),
    "long.mp3": (b"L" * 255, b"L" * 255, b"L" * 255),
}


def check(path, artist, title, album):
    problems = []
    tags = ID3(path)
    if tags.version != (2, 3, 0):
        problems.append("version %r" % (tags.version,))
    size = os.path.getsize(path)
    if tags.size != size:
        problems.append("tag size %d, file size %d" % (tags.size, size))
    expected = {"TPE1": artist, "TIT2": title, "TALB": album, "TRCK": b""}
    found = sorted(tags.keys())
    if found != sorted(expected):
        problems.append("frames %r" % (found,))
    for frame_id, text in expected.items():
        if frame_id not in tags:
            continue
        frame = tags[frame_id]
        if frame.encoding != 0:
            problems.append("%s encoding %r" % (frame_id, frame.encoding))
        got = "".join(str(t) for t in frame.text)
        if got != text.decode("latin-1"):
            problems.append("%s text %r, expected %r" %
                            (frame_id, got, text.decode("latin-1")))
    return problems


def main():
    folder = sys.argv[1]
    failed = False
    for name, (artist, title, album) in SAMPLES.items():
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            print("%s: missing" % path)
            failed = True
            continue
        problems = check(path, artist, title, album)
        print("%s: %s" % (name, "; ".join(problems) if problems else "ok"))
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
