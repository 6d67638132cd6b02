#!/usr/bin/env python3
"""Shows the plug-in's ID3 tag file in hex and what mutagen, an independent
ID3 reader, makes of it, and compares its artist, title and album with the
tags of the media file it was made from.

The tag file marks its texts as ISO-8859-1 (encoding 0) but holds them in
the system's ANSI code page, byte for byte as the tag library delivered
them; the demo runs with code page 932, so they are also shown as Shift-JIS.

usage: show_tag_file.py TAG_FILE [SOURCE_MEDIA_FILE]
Exit code 1 when the texts differ from the source file's.
"""
import sys

import mutagen
import mutagen.id3


def hex_dump(data):
    for at in range(0, len(data), 16):
        row = data[at:at + 16]
        hexes = " ".join(f"{b:02x}" for b in row)
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in row)
        print(f"  {at:04x}  {hexes:<47}  {text}")


def ansi_text(frame):
    """The frame's text as the bytes in the file, read as code page 932."""
    raw = str(frame.text[0]) if frame.text else ""
    if frame.encoding == 0:
        try:
            return raw.encode("latin-1").decode("cp932")
        except (UnicodeEncodeError, UnicodeDecodeError):
            return raw
    return raw


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    print(f"{len(data)} bytes:")
    hex_dump(data)

    tag = mutagen.id3.ID3(sys.argv[1])
    print(f"mutagen reads ID3v2.{tag.version[1]}.{tag.version[2]}, "
          f"tag size {tag.size} bytes, {len(tag.values())} frames:")
    found = {}
    for frame in tag.values():
        shown = ansi_text(frame)
        print(f"  {frame.FrameID}  encoding {int(frame.encoding)}  "
              f"mutagen: {str(frame.text[0]) if frame.text else ''!r:<28}  "
              f"as Shift-JIS: {shown!r}")
        found[frame.FrameID] = shown

    if len(sys.argv) == 3:
        source = mutagen.File(sys.argv[2])
        tags = source.tags if source is not None else None
        failed = False
        print(f"compared with the source file {sys.argv[2]}:")
        for frame_id, label in (("TPE1", "artist"), ("TIT2", "title"),
                                ("TALB", "album")):
            expected = str(tags[frame_id].text[0]) if tags and frame_id in tags else ""
            got = found.get(frame_id)
            ok = got == expected
            failed |= not ok
            print(f"  {label:<6} {expected!r:<20} {'same' if ok else 'DIFFERENT: ' + repr(got)}")
        sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
